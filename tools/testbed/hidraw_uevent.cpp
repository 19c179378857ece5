#include "tools/testbed/hidraw_uevent.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "tools/testbed/hidraw_node.h"
#include "tools/testbed/hidraw_sysfs.h"

namespace hidraw_testbed {

namespace {

// MurmurHash2 of a text, seeded with its length: the subsystem and device
// type hashes of a udev monitor message, which receivers may filter on.
uint32_t murmur2(const std::string& text) {
    constexpr uint32_t M = 0x5bd1e995;
    uint32_t h = static_cast<uint32_t>(text.size());
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    size_t left = text.size();
    for (; left >= 4; p += 4, left -= 4) {
        uint32_t k = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                     static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
        k *= M;
        k ^= k >> 24;
        k *= M;
        h *= M;
        h ^= k;
    }
    switch (left) {
    case 3:
        h ^= static_cast<uint32_t>(p[2]) << 16;
        [[fallthrough]];
    case 2:
        h ^= static_cast<uint32_t>(p[1]) << 8;
        [[fallthrough]];
    case 1:
        h ^= p[0];
        h *= M;
    }
    h ^= h >> 13;
    h *= M;
    h ^= h >> 15;
    return h;
}

void put_be32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Sends one udev event to every monitor the programs in the testbed opened
// (the preload gives each one a datagram socket ROOT/eventN). The testbed's
// own event call looks the device up in the real /sys of this process, so
// the message is made here: udev's monitor header, then the properties.
void send_uevent(const std::string& root, const Device& d, const char* action) {
    static unsigned long long seqnum = 1;
    std::string props;
    auto add = [&props](const std::string& key, const std::string& value) {
        props += key + "=" + value;
        props.push_back('\0');
    };
    add("ACTION", action);
    add("DEVPATH", d.path);
    std::string subsystem, devtype;
    for (const auto& [key, value] : d.properties) {
        if (key == "SUBSYSTEM")
            subsystem = value;
        if (key == "DEVTYPE")
            devtype = value;
    }
    add("SUBSYSTEM", subsystem);
    add("SEQNUM", std::to_string(seqnum++));
    for (const auto& [key, value] : d.properties)
        if (key != "SUBSYSTEM")
            add(key, value);
    // The header: "libudev\0", magic (network order), header size,
    // properties offset and length, subsystem and device type hashes
    // (network order), tag bloom filter.
    uint8_t header[40] = {};
    std::memcpy(header, "libudev", 8);
    put_be32(header + 8, 0xfeedcafe);
    put_le32(header + 12, sizeof header);
    put_le32(header + 16, sizeof header);
    put_le32(header + 20, static_cast<uint32_t>(props.size()));
    put_be32(header + 24, murmur2(subsystem));
    if (!devtype.empty())
        put_be32(header + 28, murmur2(devtype));
    iovec parts[2] = {{header, sizeof header}, {props.data(), props.size()}};
    DIR* dir = ::opendir(root.c_str());
    if (!dir)
        return;
    while (dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name.rfind("event", 0) != 0 || name.size() == 5 ||
            name.find_first_not_of("0123456789", 5) != std::string::npos)
            continue;
        sockaddr_un to{};
        to.sun_family = AF_UNIX;
        std::string path = root + "/" + name;
        if (path.size() >= sizeof to.sun_path)
            continue;
        std::memcpy(to.sun_path, path.c_str(), path.size());
        int fd = ::socket(AF_UNIX, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            continue;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
            msghdr msg{};
            msg.msg_iov = parts;
            msg.msg_iovlen = 2;
            [[maybe_unused]] ssize_t sent = ::sendmsg(fd, &msg, 0);
        } else if (errno == ECONNREFUSED) {
            ::unlink(path.c_str()); // a program that has closed its monitor
        }
        ::close(fd);
    }
    ::closedir(dir);
}

} // namespace

void send_events(const std::string& root, const Node& n, const char* action) {
    std::vector<Device> devices = unit_devices(n);
    // The kernel announces parents first on arrival, children first on
    // removal.
    if (std::strcmp(action, "remove") == 0)
        std::reverse(devices.begin(), devices.end());
    for (const Device& d : devices)
        send_uevent(root, d, action);
}

} // namespace hidraw_testbed
