#include "tools/cli/usb_hubs.h"

#include <filesystem>
#include <fstream>
#include <map>

namespace {

namespace fs = std::filesystem;

// The first line of a sysfs attribute, "" when it cannot be read.
std::string attribute(const fs::path& dir, const char* name) {
    std::ifstream in(dir / name);
    std::string line;
    std::getline(in, line);
    return line;
}

// The hub whose single transaction translator the unit's traffic passes,
// or "" when there is none: the nearest hub above the unit that is not a
// root hub decides (a multi-TT hub gives each port its own translator).
fs::path single_tt_hub(const std::string& hidraw, const std::string& sysfs_root) {
    std::error_code ec;
    fs::path node = fs::path(sysfs_root) / "class/hidraw" / fs::path(hidraw).filename() / "device";
    fs::path dir = fs::canonical(node, ec);
    if (ec)
        return {};
    bool below_unit = false;
    for (; dir.has_relative_path() && dir != dir.root_path(); dir = dir.parent_path()) {
        if (attribute(dir, "bDeviceClass").empty())
            continue; // an interface or the HID device, not a USB device
        if (!below_unit) {
            below_unit = true; // the unit's own USB device
            continue;
        }
        if (dir.filename().string().rfind("usb", 0) == 0)
            return {}; // a root hub: no translator shared with other ports
        if (attribute(dir, "bDeviceClass") != "09")
            continue;
        return attribute(dir, "bDeviceProtocol") == "01" ? dir : fs::path();
    }
    return {};
}

} // namespace

std::vector<std::string> usb_single_tt_warnings(const std::vector<std::string>& hidraw_paths,
                                                const std::string& sysfs_root) {
    std::map<fs::path, int> per_hub;
    for (const std::string& p : hidraw_paths) {
        fs::path hub = single_tt_hub(p, sysfs_root);
        if (!hub.empty())
            ++per_hub[hub];
    }
    std::vector<std::string> warnings;
    for (const auto& [hub, count] : per_hub) {
        if (count <= USB_UNITS_PER_SINGLE_TT)
            continue;
        std::string product = attribute(hub, "product");
        std::string name = hub.filename().string();
        warnings.push_back(std::to_string(count) +
                           " units hang behind the single-TT hub at USB port " + name +
                           (product.empty() ? "" : " (" + product + ")") +
                           ", which carries about " + std::to_string(USB_UNITS_PER_SINGLE_TT) +
                           " units polling every millisecond: their transfers slow down or fail. "
                           "Use a multi-TT hub or spread the units over several hubs.");
    }
    return warnings;
}
