#include "tools/testbed/HidrawTestbed.h"

#include <umockdev.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/hidraw.h>
#include <map>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "common_t73/QV_Hid.h"
#include "tools/unitsim/UnitSim.h"

extern char** environ;

namespace {

constexpr int PAYLOAD = REPORT_SIZE - 1;
// Input reports a node keeps for one reader, as the kernel's hidraw does;
// more are dropped.
constexpr size_t READER_QUEUE = 64;
// Reports the unit sends ahead of the host's reads.
constexpr size_t READ_AHEAD = 16;
constexpr const char* PRELOAD = "libumockdev-preload.so.0";
constexpr const char* MANUFACTURER = "Emulated";
constexpr const char* PRODUCT = "GPS unit";

// One vendor-page application collection: a 64-byte input report and a
// 64-byte output report, no report ids.
constexpr uint8_t REPORT_DESCRIPTOR[] = {
    0x06, 0x00, 0xFF, // usage page (vendor 0xFF00)
    0x09, 0x01,       // usage 1
    0xA1, 0x01,       // collection (application)
    0x09, 0x02,       //   usage 2
    0x15, 0x00,       //   logical minimum 0
    0x26, 0xFF, 0x00, //   logical maximum 255
    0x75, 0x08,       //   report size 8
    0x95, 0x40,       //   report count 64
    0x81, 0x02,       //   input (data, variable, absolute)
    0x09, 0x03,       //   usage 3
    0x15, 0x00,       //   logical minimum 0
    0x26, 0xFF, 0x00, //   logical maximum 255
    0x75, 0x08,       //   report size 8
    0x95, 0x40,       //   report count 64
    0x91, 0x02,       //   output (data, variable, absolute)
    0xC0,             // end collection
};

struct Reader {
    std::deque<std::array<uint8_t, PAYLOAD>> input;
    bool wrote = false; // it talked to the unit: its connection counts
    bool dead = false;  // its unit was pulled out under it
};

} // namespace

struct Node {
    HidrawTestbed::Impl* owner = nullptr;
    int index = 0;
    UnitSim* unit = nullptr;
    std::string serial;
    bool unreadable = false;

    // Guards everything below and the unit model: the programs' calls come
    // on the testbed's worker thread, plugging on the owner's.
    std::mutex lock;
    bool plugged = false;
    bool everPlugged = false;
    UMockdevIoctlBase* handler = nullptr;
    int master = -1;    // the node's terminal, testbed side (the testbed owns it)
    int terminal = -1;  // the node's terminal, program side, opened to drain it
    bool ready = false; // the readiness byte is in the terminal
    std::map<UMockdevIoctlClient*, Reader> readers;
    int endedUnseen = 0; // connections ended since the owner last looked

    std::string devnode() const { return "/dev/hidraw" + std::to_string(index); }
    std::string usbPath() const {
        return "/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(index + 1);
    }
    std::string interfacePath() const {
        return usbPath() + "/1-" + std::to_string(index + 1) + ":1.0";
    }
    std::string hidName() const {
        char name[32];
        std::snprintf(name, sizeof name, "0003:%04X:%04X.%04X", UNIT_VENDOR_ID, UNIT_PRODUCT_ID,
                      index + 1);
        return name;
    }
    std::string hidPath() const { return interfacePath() + "/" + hidName(); }
    std::string hidrawPath() const { return hidPath() + "/hidraw/hidraw" + std::to_string(index); }
    std::string phys() const { return "usb-0000:00:14.0-" + std::to_string(index + 1) + "/input0"; }
    std::string name() const { return std::string(MANUFACTURER) + " " + PRODUCT; }
};

struct HidrawTestbed::Impl {
    UMockdevTestbed* testbed = nullptr;
    std::string root;
    std::vector<std::unique_ptr<Node>> nodes;
    std::function<void(int)> onPulled;
    std::function<void(int)> onEnded;
};

namespace {

void fail(UMockdevIoctlClient* client, int err) {
    umockdev_ioctl_client_complete(client, -1, err);
}

// One device of a unit as the kernel lays it out.
struct Device {
    std::string path; // below /sys
    std::string node; // below /dev, "" for none
    std::vector<std::pair<std::string, std::string>> properties, attributes;
    std::string descriptor; // report_descriptor attribute, as hex
    std::string deviceLink; // the hidraw node's "device" link
};

std::string hex_text(const uint8_t* p, size_t n) {
    std::string out;
    char hex[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(hex, sizeof hex, "%02X", p[i]);
        out += hex;
    }
    return out;
}

// The unit's devices, parents first: USB device, HID interface, hid device,
// hidraw node.
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

// Keeps the readiness byte in the node's terminal exactly while a reader has
// input pending or the unit is gone under open nodes (poll then wakes, and
// the read fails as on a removed device).
void update_ready(Node& n) {
    bool want = false;
    for (auto& [client, reader] : n.readers)
        if (reader.dead || !reader.input.empty())
            want = true;
    if (want && !n.ready && n.master >= 0) {
        char b = 'r';
        n.ready = ::write(n.master, &b, 1) == 1;
    } else if (!want && n.ready && n.terminal >= 0) {
        char buf[16];
        while (::read(n.terminal, buf, sizeof buf) > 0) {
        }
        n.ready = false;
    }
}

// Ends the connections of readers whose programs closed the node.
void sweep_closed(Node& n) {
    for (auto it = n.readers.begin(); it != n.readers.end();) {
        if (umockdev_ioctl_client_get_connected(it->first)) {
            ++it;
            continue;
        }
        if (it->second.wrote && !it->second.dead) {
            n.unit->connectionEnded();
            ++n.endedUnseen;
        }
        g_object_unref(it->first);
        it = n.readers.erase(it);
    }
    update_ready(n);
}

// Takes the unit's next reports while the reader has few pending: the unit
// sends as the host takes its reports, as over USB, never a whole read-back
// at once into a queue that would drop most of it.
void top_up(Node& n, const Reader& me) {
    uint8_t out[REPORT_SIZE];
    int k;
    while (me.input.size() < READ_AHEAD && (k = n.unit->send(out)) > 0) {
        // The unit's interrupt reports are whole: pad a short one.
        if (k < REPORT_SIZE)
            std::memset(out + k, 0xCC, static_cast<size_t>(REPORT_SIZE - k));
        std::array<uint8_t, PAYLOAD> in;
        std::memcpy(in.data(), out + 1, PAYLOAD);
        for (auto& [c, reader] : n.readers)
            if (reader.wrote && !reader.dead && reader.input.size() < READER_QUEUE)
                reader.input.push_back(in);
    }
}

Reader& reader_of(Node& n, UMockdevIoctlClient* client) {
    auto it = n.readers.find(client);
    if (it == n.readers.end()) {
        g_object_ref(client);
        it = n.readers.emplace(client, Reader{}).first;
    }
    return it->second;
}

gboolean on_write(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    Node& n = *static_cast<Node*>(user);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard<std::mutex> guard(n.lock);
    sweep_closed(n);
    Reader& me = reader_of(n, client);
    if (me.dead || !n.plugged || n.unit->unplugged()) {
        fail(client, ENODEV);
        return TRUE;
    }
    int count = arg ? arg->data_len : 0;
    if (count < 2 || count > 4096) {
        fail(client, EINVAL);
        return TRUE;
    }
    // Without report ids the kernel sends what follows a leading report id
    // 0; any other first byte goes out as data.
    const uint8_t* data = arg->data;
    int payload = count;
    if (data[0] == 0) {
        ++data;
        --payload;
    }
    uint8_t report[REPORT_SIZE] = {};
    std::memcpy(report + 1, data, static_cast<size_t>(std::min(payload, PAYLOAD)));
    me.wrote = true;
    if (!n.unit->receive(report, REPORT_SIZE)) {
        fail(client, ENODEV);
        return TRUE;
    }
    top_up(n, me);
    update_ready(n);
    umockdev_ioctl_client_complete(client, count, 0);
    return TRUE;
}

gboolean on_read(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    Node& n = *static_cast<Node*>(user);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard<std::mutex> guard(n.lock);
    Reader& me = reader_of(n, client);
    if (me.dead || !n.plugged) {
        fail(client, EIO);
        return TRUE;
    }
    if (me.input.empty()) {
        fail(client, EAGAIN);
        return TRUE;
    }
    int want = arg ? arg->data_len : 0;
    int k = std::min(want, PAYLOAD);
    if (k > 0)
        umockdev_ioctl_data_update(arg, 0, me.input.front().data(), k);
    me.input.pop_front();
    top_up(n, me);
    update_ready(n);
    umockdev_ioctl_client_complete(client, k, 0);
    return TRUE;
}

// Copies bytes into the memory the request's pointer argument points at.
bool answer(UMockdevIoctlClient* client, const void* bytes, size_t n, size_t room) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    GError* error = nullptr;
    UMockdevIoctlData* target = umockdev_ioctl_data_resolve(arg, 0, room, &error);
    if (!target) {
        if (error)
            g_error_free(error);
        return false;
    }
    umockdev_ioctl_data_update(target, 0, static_cast<guint8*>(const_cast<void*>(bytes)),
                               static_cast<gint>(n));
    g_object_unref(target);
    return true;
}

gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    Node& n = *static_cast<Node*>(user);
    unsigned long request = umockdev_ioctl_client_get_request(client);
    std::lock_guard<std::mutex> guard(n.lock);
    Reader& me = reader_of(n, client);
    if (_IOC_TYPE(request) != 'H') {
        fail(client, ENOTTY);
        return TRUE;
    }
    if (me.dead || !n.plugged) {
        fail(client, ENODEV);
        return TRUE;
    }
    size_t size = _IOC_SIZE(request);
    auto text = [&](const std::string& s) {
        // The text with its terminating zero, cut to the caller's room.
        size_t k = std::min(s.size() + 1, size);
        if (!answer(client, s.c_str(), k, size))
            fail(client, EFAULT);
        else
            umockdev_ioctl_client_complete(client, static_cast<glong>(k), 0);
    };
    switch (_IOC_NR(request)) {
    case _IOC_NR(HIDIOCGRDESCSIZE): {
        int32_t v = sizeof REPORT_DESCRIPTOR;
        if (answer(client, &v, sizeof v, sizeof v))
            umockdev_ioctl_client_complete(client, 0, 0);
        else
            fail(client, EFAULT);
        return TRUE;
    }
    case _IOC_NR(HIDIOCGRDESC): {
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        GError* error = nullptr;
        UMockdevIoctlData* d =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(hidraw_report_descriptor), &error);
        if (!d) {
            if (error)
                g_error_free(error);
            fail(client, EFAULT);
            return TRUE;
        }
        uint32_t len = 0;
        std::memcpy(&len, d->data, sizeof len);
        if (len > HID_MAX_DESCRIPTOR_SIZE - 1) {
            g_object_unref(d);
            fail(client, EINVAL);
            return TRUE;
        }
        size_t k = std::min<size_t>(len, sizeof REPORT_DESCRIPTOR);
        umockdev_ioctl_data_update(d, 4, const_cast<guint8*>(REPORT_DESCRIPTOR),
                                   static_cast<gint>(k));
        g_object_unref(d);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case _IOC_NR(HIDIOCGRAWINFO): {
        hidraw_devinfo info{};
        info.bustype = 3; // BUS_USB
        info.vendor = static_cast<int16_t>(UNIT_VENDOR_ID);
        info.product = static_cast<int16_t>(UNIT_PRODUCT_ID);
        if (answer(client, &info, sizeof info, sizeof info))
            umockdev_ioctl_client_complete(client, 0, 0);
        else
            fail(client, EFAULT);
        return TRUE;
    }
    case 0x04: // HIDIOCGRAWNAME(len)
        text(n.name());
        return TRUE;
    case 0x05: // HIDIOCGRAWPHYS(len)
        text(n.phys());
        return TRUE;
    case 0x08: // HIDIOCGRAWUNIQ(len)
        text(n.serial);
        return TRUE;
    default:
        // The unit has no feature reports.
        fail(client, EINVAL);
        return TRUE;
    }
}

void send_events(const std::string& root, const Node& n, const char* action) {
    std::vector<Device> devices = unit_devices(n);
    // The kernel announces parents first on arrival, children first on
    // removal.
    if (std::strcmp(action, "remove") == 0)
        std::reverse(devices.begin(), devices.end());
    for (const Device& d : devices)
        send_uevent(root, d, action);
}

} // namespace

HidrawTestbed::HidrawTestbed() : impl_(std::make_unique<Impl>()) {
    impl_->testbed = umockdev_testbed_new();
    if (impl_->testbed) {
        gchar* root = umockdev_testbed_get_root_dir(impl_->testbed);
        impl_->root = root ? root : "";
        g_free(root);
    }
}

HidrawTestbed::~HidrawTestbed() {
    for (auto& n : impl_->nodes) {
        std::lock_guard<std::mutex> guard(n->lock);
        for (auto& [client, reader] : n->readers)
            g_object_unref(client);
        n->readers.clear();
        if (n->terminal >= 0)
            ::close(n->terminal);
        n->terminal = -1;
    }
    for (auto& n : impl_->nodes)
        if (n->handler) {
            umockdev_testbed_detach_ioctl(impl_->testbed, n->devnode().c_str(), nullptr);
            g_object_unref(n->handler);
        }
    if (impl_->testbed)
        g_object_unref(impl_->testbed);
}

std::string HidrawTestbed::rootDir() const {
    return impl_->root;
}

int HidrawTestbed::add(UnitSim* unit, const std::string& serial, bool plugged) {
    auto n = std::make_unique<Node>();
    n->owner = impl_.get();
    n->index = static_cast<int>(impl_->nodes.size());
    n->unit = unit;
    n->serial = serial;
    impl_->nodes.push_back(std::move(n));
    int index = static_cast<int>(impl_->nodes.size()) - 1;
    if (plugged)
        plug(index);
    return index;
}

bool HidrawTestbed::plugged(int index) const {
    if (index < 0 || index >= static_cast<int>(impl_->nodes.size()))
        return false;
    Node& n = *impl_->nodes[static_cast<size_t>(index)];
    std::lock_guard<std::mutex> guard(n.lock);
    return n.plugged;
}

void HidrawTestbed::setUnreadable(int index, bool unreadable) {
    if (index < 0 || index >= static_cast<int>(impl_->nodes.size()))
        return;
    Node& n = *impl_->nodes[static_cast<size_t>(index)];
    n.unreadable = unreadable;
    // The node is a link to its terminal: the mode lands there.
    std::string node = impl_->root + n.devnode();
    if (n.plugged)
        ::chmod(node.c_str(), unreadable ? 0 : 0600);
}

bool HidrawTestbed::plug(int index) {
    if (!impl_->testbed || index < 0 || index >= static_cast<int>(impl_->nodes.size()))
        return false;
    Node& n = *impl_->nodes[static_cast<size_t>(index)];
    {
        std::lock_guard<std::mutex> guard(n.lock);
        if (n.plugged)
            return false;
    }
    // The node, its terminal and its handler are made at the first plug and
    // kept: a unit plugged in again comes back on the same node, as the
    // kernel gives it the lowest free number.
    bool first = n.handler == nullptr;
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(impl_->testbed,
                                          device_record(unit_devices(n), first).c_str(), &error)) {
        std::fprintf(stderr, "trevik-unit-testbed: cannot add unit %d: %s\n", index,
                     error ? error->message : "?");
        if (error)
            g_error_free(error);
        return false;
    }
    if (first) {
        int master = umockdev_testbed_get_dev_fd(impl_->testbed, n.devnode().c_str());
        int terminal = -1;
        if (master >= 0) {
            // Raw: one byte in the terminal is one pending input for poll.
            termios t{};
            if (::tcgetattr(master, &t) == 0) {
                ::cfmakeraw(&t);
                ::tcsetattr(master, TCSANOW, &t);
            }
            char name[128];
            if (::ptsname_r(master, name, sizeof name) == 0)
                terminal = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        }
        UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
        g_signal_connect(handler, "handle-ioctl", G_CALLBACK(on_ioctl), &n);
        g_signal_connect(handler, "handle-read", G_CALLBACK(on_read), &n);
        g_signal_connect(handler, "handle-write", G_CALLBACK(on_write), &n);
        if (!umockdev_testbed_attach_ioctl(impl_->testbed, n.devnode().c_str(), handler, &error)) {
            std::fprintf(stderr, "trevik-unit-testbed: cannot attach unit %d: %s\n", index,
                         error ? error->message : "?");
            if (error)
                g_error_free(error);
            g_object_unref(handler);
            if (terminal >= 0)
                ::close(terminal);
            return false;
        }
        std::lock_guard<std::mutex> guard(n.lock);
        n.handler = handler;
        n.master = master;
        n.terminal = terminal;
        n.ready = false;
    }
    {
        std::lock_guard<std::mutex> guard(n.lock);
        // A unit plugged in again starts afresh (no transfer half done, no
        // unplug count left); one plugged in for the first time keeps the
        // faults it was given.
        if (n.everPlugged)
            n.unit->replug();
        n.everPlugged = true;
        n.plugged = true;
    }
    if (n.unreadable)
        ::chmod((impl_->root + n.devnode()).c_str(), 0);
    send_events(impl_->root, n, "add");
    return true;
}

bool HidrawTestbed::pull(int index) {
    if (!impl_->testbed || index < 0 || index >= static_cast<int>(impl_->nodes.size()))
        return false;
    Node& n = *impl_->nodes[static_cast<size_t>(index)];
    {
        std::lock_guard<std::mutex> guard(n.lock);
        if (!n.plugged)
            return false;
        n.plugged = false;
        // Programs that still hold the node see it fail from now on; the
        // unit's connection ends with the unit.
        bool talked = false;
        for (auto& [client, reader] : n.readers) {
            talked = talked || (reader.wrote && !reader.dead);
            reader.dead = true;
            reader.input.clear();
        }
        if (talked) {
            n.unit->connectionEnded();
            ++n.endedUnseen;
        }
        update_ready(n);
    }
    send_events(impl_->root, n, "remove");
    umockdev_testbed_remove_device(impl_->testbed, ("/sys" + n.usbPath()).c_str());
    // The testbed removes the device folders and the USB device's own links
    // only: the children's links stay and would stop the unit from being
    // added again. The node stays too (the testbed cannot make it again);
    // it refuses every request until the unit is back.
    const std::string& root = impl_->root;
    const std::string k = std::to_string(n.index);
    for (const std::string& link :
         {"/sys/bus/usb/devices/" + n.interfacePath().substr(n.interfacePath().rfind('/') + 1),
          "/sys/bus/hid/devices/" + n.hidName(), "/sys/class/hidraw/hidraw" + k,
          "/sys/dev/char/241:" + k, "/dev/.node/hidraw" + k})
        ::unlink((root + link).c_str());
    return true;
}

void HidrawTestbed::onPulled(std::function<void(int)> onPulled) {
    impl_->onPulled = std::move(onPulled);
}

void HidrawTestbed::onConnectionEnded(std::function<void(int)> onEnded) {
    impl_->onEnded = std::move(onEnded);
}

void HidrawTestbed::service() {
    for (auto& np : impl_->nodes) {
        Node& n = *np;
        bool gone = false;
        int ended = 0;
        {
            std::lock_guard<std::mutex> guard(n.lock);
            sweep_closed(n);
            gone = n.plugged && n.unit->unplugged();
            ended = n.endedUnseen;
            n.endedUnseen = 0;
        }
        if (gone) {
            pull(n.index);
            std::lock_guard<std::mutex> guard(n.lock);
            ended += n.endedUnseen;
            n.endedUnseen = 0;
        }
        if (ended && impl_->onEnded)
            impl_->onEnded(n.index);
        if (gone && impl_->onPulled)
            impl_->onPulled(n.index);
    }
}

std::vector<std::string> HidrawTestbed::environment() const {
    std::vector<std::string> env;
    std::string preload = PRELOAD;
    for (char** e = environ; *e; ++e) {
        std::string v = *e;
        if (v.rfind("LD_PRELOAD=", 0) == 0) {
            std::string rest = v.substr(11);
            if (!rest.empty())
                preload += " " + rest;
            continue;
        }
        if (v.rfind("UMOCKDEV_DIR=", 0) == 0 || v.rfind("ASAN_OPTIONS=", 0) == 0)
            continue;
        env.push_back(v);
    }
    // A program built with the address sanitizer wants its runtime first;
    // the preload must come first to see the program's calls, and the
    // runtime works as well second.
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string asanOptions = asan && *asan ? std::string(asan) + ":" : std::string();
    env.push_back("ASAN_OPTIONS=" + asanOptions + "verify_asan_link_order=0");
    env.push_back("LD_PRELOAD=" + preload);
    env.push_back("UMOCKDEV_DIR=" + impl_->root);
    return env;
}

namespace {

pid_t g_child = -1;

void forward_signal(int sig) {
    if (g_child > 0)
        ::kill(g_child, sig);
}

// Root passes over file modes; without these capabilities a program run as
// root meets an unreadable node as any user does.
void drop_mode_override() {
    if (::geteuid() != 0)
        return;
    ::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
    ::prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (::syscall(SYS_capget, &header, data) != 0)
        return;
    for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) {
        uint32_t bit = 1u << (cap % 32);
        data[cap / 32].inheritable &= ~bit;
    }
    ::syscall(SYS_capset, &header, data);
}

} // namespace

int HidrawTestbed::run(const std::vector<std::string>& argv,
                       const std::function<void(long elapsedMs)>& tick) {
    if (argv.empty() || impl_->root.empty())
        return 127;
    std::vector<std::string> env = environment();
    std::vector<char*> args, envp;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    bool dropCaps = false;
    for (auto& n : impl_->nodes)
        dropCaps = dropCaps || n->unreadable;

    pid_t pid = ::fork();
    if (pid < 0)
        return 127;
    if (pid == 0) {
        if (dropCaps)
            drop_mode_override();
        ::execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    g_child = pid;
    struct sigaction sa {
    }, oldInt{}, oldTerm{};
    sa.sa_handler = forward_signal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, &oldInt);
    ::sigaction(SIGTERM, &sa, &oldTerm);
    auto start = std::chrono::steady_clock::now();
    int status = 0;
    for (;;) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
            break;
        if (r < 0 && errno != EINTR) {
            status = 127 << 8;
            break;
        }
        service();
        if (tick)
            tick(std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - start)
                     .count());
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    g_child = -1;
    ::sigaction(SIGINT, &oldInt, nullptr);
    ::sigaction(SIGTERM, &oldTerm, nullptr);
    service();
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 127;
}
