// Emulated units on hidraw nodes. A private sysfs/udev tree and /dev/hidrawK
// nodes (umockdev) for programs run under its preload library: each unit is
// a USB device, its HID interface, its hid device and its hidraw node, the
// way the kernel lays them out, so the programs' own hidapi and libudev code
// runs unchanged and only the far side of the node is emulated.
//
// The node answers as the kernel's hidraw does for this unit: a write of
// report id 0 and 64 bytes gives the unit its 64 bytes; a read returns one
// 64-byte input report; poll sees pending input; the HIDIOCG* requests
// answer; a pulled unit fails reads and writes and sends udev "remove"
// events. Where the preload cannot pass a call on, the testbed stands in:
//   - poll is not passed on: one byte kept in the node's terminal while input
//     is pending for a program makes poll see it;
//   - a read with nothing pending fails with EAGAIN instead of blocking (the
//     programs poll first, as hidapi does);
//   - input reports go to the programs that have written to the unit (a
//     program that only holds the node open, for its lock, gets none);
//   - a closed node is noticed when the testbed next looks, not at once.
//
// The process that builds the testbed does not run under the preload; the
// programs it starts do (run(), or environment()).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

class UnitSim;

class HidrawTestbed {
  public:
    HidrawTestbed();
    ~HidrawTestbed();
    HidrawTestbed(const HidrawTestbed&) = delete;
    HidrawTestbed& operator=(const HidrawTestbed&) = delete;

    // Adds unit behind /dev/hidrawK, K its index in adding order (returned);
    // the unit must outlive the testbed. Plugged in at once unless told not.
    int add(UnitSim* unit, const std::string& serial, bool plugged = true);
    // Plugs a unit in: its devices, its node and udev "add" events. False
    // when it is plugged in already or the testbed refuses the devices.
    bool plug(int index);
    // Pulls a unit out: udev "remove" events, its devices gone, reads and
    // writes on open nodes fail. False when it is not plugged in.
    bool pull(int index);
    bool plugged(int index) const;
    // Makes the unit's node unreadable and unwritable for its owner (now and
    // at each plug). Programs run as root lose the capabilities that pass
    // over file modes, so they meet the same refusal.
    void setUnreadable(int index, bool unreadable);
    // Calls onPulled(index) when a unit's model went away by itself (an
    // unplug fault); the testbed has then pulled it out.
    void onPulled(std::function<void(int)> onPulled);
    // Called when a program closed the unit's node after writing to it
    // (the unit's connection ended).
    void onConnectionEnded(std::function<void(int)> onEnded);

    // Notices closed nodes and units gone by themselves. Call it often
    // (run() does, every 10 ms) from the thread that built the testbed.
    void service();

    // The testbed's root folder, "" when it could not be built.
    std::string rootDir() const;
    // The environment of a program run in the testbed: this process's own,
    // with the preload library first in LD_PRELOAD and UMOCKDEV_DIR set.
    std::vector<std::string> environment() const;
    // Runs argv (argv[0] looked up in PATH) in the testbed and returns its
    // exit code (128 + the signal when it was killed), or 127 when it could
    // not be started. tick(elapsed ms) is called about every 10 ms while it
    // runs.
    int run(const std::vector<std::string>& argv,
            const std::function<void(long elapsedMs)>& tick = nullptr);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};
