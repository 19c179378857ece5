// The sysfs tree of one emulated unit: its USB device, HID interface, hid
// device and hidraw node as the kernel lays them out, and the record that
// hands them to the testbed.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace hidraw_testbed {

struct Node;

inline constexpr const char* MANUFACTURER = "Emulated";
inline constexpr const char* PRODUCT = "GPS unit";

// One vendor-page application collection: a 64-byte input report and a
// 64-byte output report, no report ids.
inline constexpr uint8_t REPORT_DESCRIPTOR[] = {
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

// One device of a unit as the kernel lays it out.
struct Device {
    std::string path; // below /sys
    std::string node; // below /dev, "" for none
    std::vector<std::pair<std::string, std::string>> properties, attributes;
    std::string descriptor; // report_descriptor attribute, as hex
    std::string deviceLink; // the hidraw node's "device" link
};

// The unit's devices, parents first: USB device, HID interface, hid device,
// hidraw node.
std::vector<Device> unit_devices(const Node& n);
// The devices as one record for the testbed, leaf first; withNode adds the
// hidraw node's /dev entry (only at the first plug: the node is kept).
std::string device_record(const std::vector<Device>& devices, bool withNode);

} // namespace hidraw_testbed
