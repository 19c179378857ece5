#include "tools/testbed/HidrawTestbed.h"

#include <umockdev.h>

#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "tools/testbed/child_runner.h"
#include "tools/testbed/hidraw_node.h"
#include "tools/testbed/hidraw_sysfs.h"
#include "tools/testbed/hidraw_uevent.h"
#include "tools/unitsim/UnitSim.h"

using hidraw_testbed::Node;

struct HidrawTestbed::Impl {
    UMockdevTestbed* testbed = nullptr;
    std::string root;
    std::vector<std::unique_ptr<Node>> nodes;
    std::function<void(int)> onPulled;
    std::function<void(int)> onEnded;
};

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
    if (!umockdev_testbed_add_from_string(
            impl_->testbed,
            hidraw_testbed::device_record(hidraw_testbed::unit_devices(n), first).c_str(),
            &error)) {
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
        UMockdevIoctlBase* handler = hidraw_testbed::new_node_handler(n);
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
    hidraw_testbed::send_events(impl_->root, n, "add");
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
        hidraw_testbed::update_ready(n);
    }
    hidraw_testbed::send_events(impl_->root, n, "remove");
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
            hidraw_testbed::sweep_closed(n);
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
    return hidraw_testbed::preload_environment(impl_->root);
}

int HidrawTestbed::run(const std::vector<std::string>& argv,
                       const std::function<void(long elapsedMs)>& tick) {
    if (argv.empty() || impl_->root.empty())
        return 127;
    bool dropCaps = false;
    for (auto& n : impl_->nodes)
        dropCaps = dropCaps || n->unreadable;
    return hidraw_testbed::run_child(
        argv, environment(), dropCaps, [this] { service(); }, tick);
}
