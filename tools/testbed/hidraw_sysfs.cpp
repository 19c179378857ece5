#include "tools/testbed/hidraw_sysfs.h"

#include <cstdio>

#include "common_t73/QV_Hid.h"
#include "tools/testbed/hidraw_node.h"

namespace hidraw_testbed {

namespace {

std::string hex_text(const uint8_t* p, size_t n) {
    std::string out;
    char hex[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(hex, sizeof hex, "%02X", p[i]);
        out += hex;
    }
    return out;
}

} // namespace

std::vector<Device> unit_devices(const Node& n) {
    char text[64];
    std::snprintf(text, sizeof text, "%x/%x/100", UNIT_VENDOR_ID, UNIT_PRODUCT_ID);
    std::string usbProduct = text;
    std::snprintf(text, sizeof text, "0003:%08X:%08X", UNIT_VENDOR_ID, UNIT_PRODUCT_ID);
    std::string hidId = text;
    std::string k = std::to_string(n.index);
    std::string devnum = std::to_string(n.index + 2);
    std::snprintf(text, sizeof text, "%03d", n.index + 2);
    std::string devnum3 = text;
    std::vector<Device> d(4);
    d[0].path = n.usbPath();
    d[0].properties = {{"SUBSYSTEM", "usb"},    {"DEVTYPE", "usb_device"}, {"DRIVER", "usb"},
                       {"PRODUCT", usbProduct}, {"TYPE", "0/0/0"},         {"BUSNUM", "001"},
                       {"DEVNUM", devnum3}};
    std::snprintf(text, sizeof text, "%04x", UNIT_VENDOR_ID);
    d[0].attributes = {{"idVendor", text}};
    std::snprintf(text, sizeof text, "%04x", UNIT_PRODUCT_ID);
    d[0].attributes.push_back({"idProduct", text});
    d[0].attributes.insert(d[0].attributes.end(), {{"bcdDevice", "0100"},
                                                   {"manufacturer", MANUFACTURER},
                                                   {"product", PRODUCT},
                                                   {"serial", n.serial},
                                                   {"busnum", "1"},
                                                   {"devnum", devnum},
                                                   {"speed", "12"}});
    d[1].path = n.interfacePath();
    d[1].properties = {{"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_interface"},
                       {"DRIVER", "usbhid"}, {"PRODUCT", usbProduct},
                       {"TYPE", "0/0/0"},    {"INTERFACE", "3/0/0"}};
    d[1].attributes = {{"bInterfaceClass", "03"},
                       {"bInterfaceSubClass", "00"},
                       {"bInterfaceProtocol", "00"},
                       {"bInterfaceNumber", "00"},
                       {"bNumEndpoints", "02"}};
    d[2].path = n.hidPath();
    d[2].properties = {{"SUBSYSTEM", "hid"},   {"DRIVER", "hid-generic"}, {"HID_ID", hidId},
                       {"HID_NAME", n.name()}, {"HID_PHYS", n.phys()},    {"HID_UNIQ", n.serial}};
    d[2].descriptor = hex_text(REPORT_DESCRIPTOR, sizeof REPORT_DESCRIPTOR);
    d[3].path = n.hidrawPath();
    d[3].node = "hidraw" + k;
    d[3].properties = {
        {"SUBSYSTEM", "hidraw"}, {"DEVNAME", "/dev/hidraw" + k}, {"MAJOR", "241"}, {"MINOR", k}};
    d[3].attributes = {{"dev", "241:" + k}};
    d[3].deviceLink = "../../../" + n.hidName();
    return d;
}

// The devices as one record for the testbed, leaf first.
std::string device_record(const std::vector<Device>& devices, bool withNode) {
    std::string r;
    for (auto it = devices.rbegin(); it != devices.rend(); ++it) {
        r += "P: " + it->path + "\n";
        if (withNode && !it->node.empty())
            r += "N: " + it->node + "\n";
        for (const auto& [key, value] : it->properties)
            r += "E: " + key + "=" + value + "\n";
        for (const auto& [key, value] : it->attributes)
            r += "A: " + key + "=" + value + "\n";
        if (!it->descriptor.empty())
            r += "H: report_descriptor=" + it->descriptor + "\n";
        if (!it->deviceLink.empty())
            r += "L: device=" + it->deviceLink + "\n";
        r += "\n";
    }
    return r;
}

} // namespace hidraw_testbed
