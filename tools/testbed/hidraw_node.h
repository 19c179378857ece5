// One unit's hidraw node: what the programs' reads, writes, polls and
// HIDIOCG* requests on /dev/hidrawK meet, answered from the unit's model the
// way the kernel's hidraw answers for this unit.
#pragma once

#include <umockdev.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "common_t73/QV_Hid.h"
#include "tools/testbed/HidrawTestbed.h"
#include "tools/testbed/hidraw_sysfs.h"

namespace hidraw_testbed {

constexpr int PAYLOAD = REPORT_SIZE - 1;

struct Reader {
    std::deque<std::array<uint8_t, PAYLOAD>> input;
    bool wrote = false; // it talked to the unit: its connection counts
    bool dead = false;  // its unit was pulled out under it
};

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

// Keeps the readiness byte in the node's terminal exactly while a reader has
// input pending or the unit is gone under open nodes (poll then wakes, and
// the read fails as on a removed device). Called with n.lock held.
void update_ready(Node& n);
// Ends the connections of readers whose programs closed the node. Called
// with n.lock held.
void sweep_closed(Node& n);
// A new handler answering the node's reads, writes and requests from n
// (which must outlive it); the caller owns the reference.
UMockdevIoctlBase* new_node_handler(Node& n);

} // namespace hidraw_testbed
