// The unit's drive handed back through UDisks2 on the system bus, the way a
// file manager does it: an ordinary user may mount, eject and power off a
// removable drive there (polkit decides), where opening /dev/sdX is not
// allowed.
#include "common_t73/QV_Storage.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char UDISKS_NAME[] = "org.freedesktop.UDisks2";
const char UDISKS_ROOT[] = "/org/freedesktop/UDisks2";
const char IFACE_BLOCK[] = "org.freedesktop.UDisks2.Block";
const char IFACE_FILESYSTEM[] = "org.freedesktop.UDisks2.Filesystem";
const char IFACE_DRIVE[] = "org.freedesktop.UDisks2.Drive";
// Long enough for the user to answer a password prompt of polkit.
const uint64_t CALL_TIMEOUT_US = 120ull * 1000 * 1000;

struct UdisksObject {
    bool block = false;
    bool filesystem = false;
    std::string device; // Block.Device without its terminating 0
    std::string drive;  // Block.Drive, "/" when none
    std::vector<std::string> mountPoints;
};

// Byte strings of UDisks2 carry their terminating 0.
std::string byte_string(const void* p, size_t n) {
    std::string s(static_cast<const char*>(p), n);
    size_t z = s.find('\0');
    if (z != std::string::npos)
        s.resize(z);
    return s;
}

int read_property(sd_bus_message* m, const std::string& iface, UdisksObject* o) {
    const char* name = nullptr;
    int r = sd_bus_message_read(m, "s", &name);
    if (r < 0)
        return r;
    std::string n = name;
    if (iface == IFACE_BLOCK && n == "Device") {
        const void* p = nullptr;
        size_t size = 0;
        if ((r = sd_bus_message_enter_container(m, 'v', "ay")) < 0 ||
            (r = sd_bus_message_read_array(m, 'y', &p, &size)) < 0)
            return r;
        o->device = byte_string(p, size);
        return sd_bus_message_exit_container(m);
    }
    if (iface == IFACE_BLOCK && n == "Drive") {
        const char* path = nullptr;
        if ((r = sd_bus_message_enter_container(m, 'v', "o")) < 0 ||
            (r = sd_bus_message_read(m, "o", &path)) < 0)
            return r;
        o->drive = path;
        return sd_bus_message_exit_container(m);
    }
    if (iface == IFACE_FILESYSTEM && n == "MountPoints") {
        if ((r = sd_bus_message_enter_container(m, 'v', "aay")) < 0 ||
            (r = sd_bus_message_enter_container(m, 'a', "ay")) < 0)
            return r;
        const void* p = nullptr;
        size_t size = 0;
        while ((r = sd_bus_message_read_array(m, 'y', &p, &size)) > 0)
            o->mountPoints.push_back(byte_string(p, size));
        if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0)
            return r;
        return sd_bus_message_exit_container(m);
    }
    return sd_bus_message_skip(m, "v");
}

// The objects of UDisks2 with the few properties the hand-back needs.
// Returns a negative errno-style code on failure.
int managed_objects(sd_bus* bus, std::map<std::string, UdisksObject>* out, sd_bus_error* error) {
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus, UDISKS_NAME, UDISKS_ROOT, "org.freedesktop.DBus.ObjectManager",
                               "GetManagedObjects", error, &reply, "");
    if (r < 0)
        return r;
    sd_bus_message* m = reply;
    r = sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}");
    while (r >= 0 && (r = sd_bus_message_enter_container(m, 'e', "oa{sa{sv}}")) > 0) {
        const char* path = nullptr;
        if ((r = sd_bus_message_read(m, "o", &path)) < 0 ||
            (r = sd_bus_message_enter_container(m, 'a', "{sa{sv}}")) < 0)
            break;
        UdisksObject& o = (*out)[path];
        while ((r = sd_bus_message_enter_container(m, 'e', "sa{sv}")) > 0) {
            const char* ifaceName = nullptr;
            if ((r = sd_bus_message_read(m, "s", &ifaceName)) < 0 ||
                (r = sd_bus_message_enter_container(m, 'a', "{sv}")) < 0)
                break;
            std::string iface = ifaceName;
            o.block = o.block || iface == IFACE_BLOCK;
            o.filesystem = o.filesystem || iface == IFACE_FILESYSTEM;
            while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
                if ((r = read_property(m, iface, &o)) < 0 ||
                    (r = sd_bus_message_exit_container(m)) < 0)
                    break;
            }
            if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0 ||
                (r = sd_bus_message_exit_container(m)) < 0)
                break;
        }
        if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0 ||
            (r = sd_bus_message_exit_container(m)) < 0)
            break;
    }
    if (r >= 0)
        r = sd_bus_message_exit_container(m);
    sd_bus_message_unref(reply);
    return r;
}

std::string error_text(int r, const sd_bus_error* error) {
    if (error && sd_bus_error_is_set(error) && error->message)
        return error->message;
    return std::strerror(r < 0 ? -r : r);
}

void fail(QV_StorageReport* report, QV_StorageStep step, const std::string& why) {
    if (report)
        report->failures.push_back(std::string(QV_Storage_stepName(step)) + " failed: " + why);
}

// Calls a method that takes only an empty options dictionary. Returns true on
// success; mountPath, when given, receives the returned string.
bool call_with_options(sd_bus* bus, const std::string& path, const char* iface,
                       const char* method, QV_StorageReport* report, QV_StorageStep step,
                       std::string* mountPath = nullptr) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus, UDISKS_NAME, path.c_str(), iface, method, &error, &reply,
                               "a{sv}", 0);
    if (r >= 0 && mountPath) {
        const char* s = nullptr;
        r = sd_bus_message_read(reply, "s", &s);
        if (r >= 0)
            *mountPath = s;
    }
    if (r < 0)
        fail(report, step, error_text(r, &error));
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    return r >= 0;
}

// Writes the marker into the root of the mounted drive and waits until it
// is on the medium. Returns 0, or an errno value.
int write_marker(const std::string& mountPoint) {
    std::string path = mountPoint;
    if (path.empty() || path.back() != '/')
        path += '/';
    path += QV_STORAGE_MARKER_NAME;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno;
    size_t len = std::strlen(QV_STORAGE_MARKER_TEXT);
    ssize_t n = ::write(fd, QV_STORAGE_MARKER_TEXT, len);
    int err = n < 0 ? errno : static_cast<size_t>(n) != len ? EIO : 0;
    if (::fsync(fd) != 0 && err == 0)
        err = errno;
    if (::close(fd) != 0 && err == 0)
        err = errno;
    return err;
}

} // namespace

int QV_Storage_releaseByUdisks(const char* devnode, QV_StorageReport* report, void*) {
    if (!devnode)
        return 0;
    QV_StorageReport local;
    if (!report)
        report = &local;
    size_t before = report->failures.size();
    sd_bus* bus = nullptr;
    int r = sd_bus_open_system(&bus);
    if (r < 0) {
        fail(report, QV_STORAGE_STEP_FIND, std::string("the system bus: ") + std::strerror(-r));
        return 0;
    }
    // Mounting a drive may need the user's consent through polkit.
    sd_bus_set_allow_interactive_authorization(bus, 1);
    sd_bus_set_method_call_timeout(bus, CALL_TIMEOUT_US);

    std::map<std::string, UdisksObject> objects;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    r = managed_objects(bus, &objects, &error);
    if (r < 0) {
        fail(report, QV_STORAGE_STEP_FIND, "UDisks2: " + error_text(r, &error));
        sd_bus_error_free(&error);
        sd_bus_unref(bus);
        return 0;
    }
    sd_bus_error_free(&error);

    std::string disk, drive;
    for (const auto& [path, o] : objects) {
        if (o.block && o.device == devnode) {
            disk = path;
            drive = o.drive;
            break;
        }
    }
    if (disk.empty() || drive.empty() || drive == "/") {
        fail(report, QV_STORAGE_STEP_FIND,
             std::string("UDisks2 knows no drive of ") + devnode);
        sd_bus_unref(bus);
        return 0;
    }
    // The filesystem of the disk itself, else of its first partition on the
    // same drive (the map is ordered by object path).
    std::string fs;
    if (objects[disk].filesystem) {
        fs = disk;
    } else {
        for (const auto& [path, o] : objects)
            if (o.block && o.filesystem && o.drive == drive) {
                fs = path;
                break;
            }
    }

    if (fs.empty()) {
        fail(report, QV_STORAGE_STEP_MOUNT, std::string("no filesystem on ") + devnode);
    } else {
        std::string mountPoint;
        if (!objects[fs].mountPoints.empty())
            mountPoint = objects[fs].mountPoints.front();
        else
            call_with_options(bus, fs, IFACE_FILESYSTEM, "Mount", report, QV_STORAGE_STEP_MOUNT,
                              &mountPoint);
        if (!mountPoint.empty()) {
            int err = write_marker(mountPoint);
            if (err != 0)
                fail(report, QV_STORAGE_STEP_MARKER, std::strerror(err));
            call_with_options(bus, fs, IFACE_FILESYSTEM, "Unmount", report,
                              QV_STORAGE_STEP_UNMOUNT);
        }
    }
    // The drive goes away whatever became of the marker, as it always has.
    call_with_options(bus, drive, IFACE_DRIVE, "Eject", report, QV_STORAGE_STEP_EJECT);
    call_with_options(bus, drive, IFACE_DRIVE, "PowerOff", report, QV_STORAGE_STEP_POWER_OFF);
    sd_bus_flush(bus);
    sd_bus_unref(bus);
    return report->failures.size() == before ? 1 : 0;
}
