#include "common_t73/QV_Storage.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/cdrom.h>
#include <scsi/sg.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

bool is_printable(int c) {
    return c >= 0x20 && c < 0x7F;
}

bool is_blank_digit(int c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int hex_value(int c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
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

bool is_dir(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
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

// mountinfo escapes blanks, tabs, LF and '\' in paths as \ooo.
std::string unescape_mount_path(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size()) {
            const char* p = s.c_str() + i + 1;
            if (p[0] >= '0' && p[0] <= '7' && p[1] >= '0' && p[1] <= '7' && p[2] >= '0' &&
                p[2] <= '7') {
                out.push_back(
                    static_cast<char>((p[0] - '0') * 64 + (p[1] - '0') * 8 + (p[2] - '0')));
                i += 3;
                continue;
            }
        }
        out.push_back(s[i]);
    }
    return out;
}

struct MountEntry {
    std::string devnum; // "major:minor"
    std::string mount_point;
    std::string source;
};

std::vector<MountEntry> read_mounts(const char* path) {
    std::vector<MountEntry> mounts;
    FILE* f = fopen(path, "rb");
    if (!f)
        return mounts;
    char line[4096];
    while (fgets(line, sizeof line, f)) {
        std::vector<std::string> fields;
        char* save = nullptr;
        for (char* tok = strtok_r(line, " \n", &save); tok; tok = strtok_r(nullptr, " \n", &save))
            fields.emplace_back(tok);
        if (fields.size() < 5)
            continue;
        MountEntry m;
        m.devnum = fields[2];
        m.mount_point = unescape_mount_path(fields[4]);
        auto dash = std::find(fields.begin() + 5, fields.end(), std::string("-"));
        if (dash != fields.end() && fields.end() - dash > 2)
            m.source = unescape_mount_path(*(dash + 2));
        mounts.push_back(m);
    }
    fclose(f);
    return mounts;
}

// The first mount point of the disk or one of its partitions, matched by
// device number, else by the device node's name.
std::string find_mount_point(const QV_StorageRoots& roots, const std::string& disk) {
    std::string base = std::string(roots.sysfs) + "/block/" + disk;
    std::vector<std::pair<std::string, std::string>> nodes; // name, devnum
    std::string devnum;
    read_attribute(base + "/dev", &devnum);
    nodes.emplace_back(disk, devnum);
    std::vector<std::string> children = list_dir(base);
    std::sort(children.begin(), children.end());
    for (const std::string& child : children) {
        std::string dir = base + "/" + child;
        if (child.compare(0, disk.size(), disk) != 0 || !is_dir(dir))
            continue;
        std::string part;
        read_attribute(dir + "/dev", &part);
        nodes.emplace_back(child, part);
    }
    std::vector<MountEntry> mounts = read_mounts(roots.mountinfo);
    for (const MountEntry& m : mounts) {
        for (const auto& [name, num] : nodes) {
            bool byNum = !num.empty() && m.devnum == num;
            bool byName = m.source == std::string("/dev/") + name;
            if (byNum || byName)
                return m.mount_point;
        }
    }
    return std::string();
}

// The marker is written and flushed to the medium before the eject, so it
// is on the drive when the unit looks for it.
void write_marker(const std::string& mount_point) {
    std::string path = mount_point;
    if (path.empty() || path.back() != '/')
        path += '/';
    path += QV_STORAGE_MARKER_NAME;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    size_t len = strlen(QV_STORAGE_MARKER_TEXT);
    ssize_t n = write(fd, QV_STORAGE_MARKER_TEXT, len);
    (void)n;
    fsync(fd);
    close(fd);
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
        int v = is_blank_digit(c) ? 0 : hex_value(c);
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

int QV_Storage_ejectByIoctl(const char* devnode, void*) {
    if (!devnode)
        return 0;
    int fd = open(devnode, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 0;
    int ok = ioctl(fd, CDROMEJECT, 0) == 0;
    if (!ok) {
        // START STOP UNIT with LoEj set and Start clear: eject the medium.
        unsigned char cdb[6] = {0x1B, 0, 0, 0, 0x02, 0};
        unsigned char sense[32] = {};
        sg_io_hdr_t io = {};
        io.interface_id = 'S';
        io.cmd_len = sizeof cdb;
        io.cmdp = cdb;
        io.dxfer_direction = SG_DXFER_NONE;
        io.sbp = sense;
        io.mx_sb_len = sizeof sense;
        io.timeout = 10000;
        ok = ioctl(fd, SG_IO, &io) == 0 && io.status == 0 && io.host_status == 0 &&
             io.driver_status == 0;
    }
    close(fd);
    return ok ? 1 : 0;
}

int QV_Storage_probeUnitAt(const QV_StorageRoots* roots) {
    if (!roots || !roots->sysfs || !roots->mountinfo || !roots->dev)
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

        std::string mount_point = find_mount_point(*roots, disk);
        if (!mount_point.empty())
            write_marker(mount_point);
        std::string node = std::string(roots->dev) + "/" + disk;
        QV_StorageEjectFn eject = roots->eject ? roots->eject : QV_Storage_ejectByIoctl;
        eject(node.c_str(), roots->eject_context);
        return 1;
    }
    return 0;
}

int QV_Storage_probeUnit() {
    QV_StorageRoots roots;
    return QV_Storage_probeUnitAt(&roots);
}
