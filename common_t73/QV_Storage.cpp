#include "common_t73/QV_Storage.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <string>
#include <strings.h>
#include <vector>

#include "support/hex.h"

namespace {

bool is_printable(int c) {
    return c >= 0x20 && c < 0x7F;
}

bool is_blank_digit(int c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Reads a small sysfs attribute; the kernel ends it with one LF, which is
// not part of the value.
bool read_attribute(const std::string& path, std::string* value) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    char buf[512];
    size_t n = fread(buf, 1, sizeof buf, f);
    fclose(f);
    value->assign(buf, n);
    if (!value->empty() && value->back() == '\n')
        value->pop_back();
    return true;
}

std::vector<std::string> list_dir(const std::string& path) {
    std::vector<std::string> names;
    DIR* d = opendir(path.c_str());
    if (!d)
        return names;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.')
            names.emplace_back(e->d_name);
    }
    closedir(d);
    return names;
}

} // namespace

char* QV_Storage_decodeIdString(const uint8_t* descriptor, size_t size, int offset, char* out,
                                size_t outSize) {
    if (!out || outSize == 0)
        return out;
    out[0] = 0;
    if (!descriptor || offset <= 0 || static_cast<size_t>(offset) >= size)
        return out;

    const uint8_t* s = descriptor + offset;
    size_t len = 0;
    while (offset + len < size && s[len] != 0)
        ++len;

    std::string result;
    bool hex = true;
    int high = -1;
    for (size_t i = 0; i < len && hex; ++i) {
        int c = std::tolower(s[i]);
        int v = is_blank_digit(c) ? 0 : hex_digit_value(c);
        if (v < 0) {
            hex = false;
            break;
        }
        if (high < 0) {
            high = v;
            continue;
        }
        int byte = high * 16 + v;
        high = -1;
        if (byte != 0 && !is_printable(byte)) {
            hex = false;
            break;
        }
        result.push_back(static_cast<char>(byte));
    }
    if (hex) {
        // A decoded 0 byte ends the text.
        size_t z = result.find('\0');
        if (z != std::string::npos)
            result.resize(z);
    } else {
        result.clear();
        for (size_t i = 0; i < len; ++i) {
            if (!is_printable(s[i])) {
                result.clear();
                break;
            }
            result.push_back(static_cast<char>(s[i]));
        }
    }

    size_t b = 0;
    while (b < result.size() && std::isspace(static_cast<unsigned char>(result[b])))
        ++b;
    size_t e = result.size();
    while (e > b && std::isspace(static_cast<unsigned char>(result[e - 1])))
        --e;
    size_t n = std::min(e - b, outSize - 1);
    memcpy(out, result.data() + b, n);
    out[n] = 0;
    return out;
}

const char* QV_Storage_stepName(QV_StorageStep step) {
    switch (step) {
    case QV_STORAGE_STEP_FIND:
        return "find the drive";
    case QV_STORAGE_STEP_MOUNT:
        return "mount";
    case QV_STORAGE_STEP_MARKER:
        return "write the marker";
    case QV_STORAGE_STEP_UNMOUNT:
        return "unmount";
    case QV_STORAGE_STEP_EJECT:
        return "eject";
    case QV_STORAGE_STEP_POWER_OFF:
        return "power off";
    }
    return "";
}

std::string QV_Storage_reportText(const QV_StorageReport& report) {
    std::string text;
    for (const std::string& f : report.failures)
        text += (text.empty() ? "The unit's drive: " : "; ") + f;
    return text;
}

int QV_Storage_probeUnitAt(const QV_StorageRoots* roots, QV_StorageReport* report) {
    if (!roots || !roots->sysfs || !roots->dev)
        return 0;
    std::string block = std::string(roots->sysfs) + "/block";
    std::vector<std::string> disks = list_dir(block);
    // Later drives first, as drive letters are walked from the end.
    std::sort(disks.begin(), disks.end(), std::greater<std::string>());
    for (const std::string& disk : disks) {
        std::string removable;
        if (!read_attribute(block + "/" + disk + "/removable", &removable) || removable != "1")
            continue;
        std::string model;
        if (!read_attribute(block + "/" + disk + "/device/model", &model))
            continue;
        // Laid out as a descriptor with the string at offset 1.
        std::vector<uint8_t> descriptor(1, 0);
        descriptor.insert(descriptor.end(), model.begin(), model.end());
        descriptor.push_back(0);
        std::vector<char> id(descriptor.size());
        QV_Storage_decodeIdString(descriptor.data(), descriptor.size(), 1, id.data(), id.size());
        if (strcasecmp(id.data(), QV_STORAGE_PRODUCT_ID) != 0)
            continue;

        std::string node = std::string(roots->dev) + "/" + disk;
        QV_StorageReleaseFn release = roots->release ? roots->release : QV_Storage_releaseByUdisks;
        release(node.c_str(), report, roots->release_context);
        return 1;
    }
    return 0;
}

int QV_Storage_probeUnit(QV_StorageReport* report) {
    QV_StorageRoots roots;
    return QV_Storage_probeUnitAt(&roots, report);
}
