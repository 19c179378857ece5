#include "tools/testbed/hidraw_node.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "tools/unitsim/UnitSim.h"

namespace hidraw_testbed {

namespace {

// Input reports a node keeps for one reader, as the kernel's hidraw does;
// more are dropped.
constexpr size_t READER_QUEUE = 64;
// Reports the unit sends ahead of the host's reads.
constexpr size_t READ_AHEAD = 16;

void fail(UMockdevIoctlClient* client, int err) {
    umockdev_ioctl_client_complete(client, -1, err);
}

} // namespace

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

namespace {

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

} // namespace

UMockdevIoctlBase* new_node_handler(Node& n) {
    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(on_ioctl), &n);
    g_signal_connect(handler, "handle-read", G_CALLBACK(on_read), &n);
    g_signal_connect(handler, "handle-write", G_CALLBACK(on_write), &n);
    return handler;
}

} // namespace hidraw_testbed
