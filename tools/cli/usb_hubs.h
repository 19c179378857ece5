// The USB budget of units behind one hub. A unit polls its interrupt
// endpoints every millisecond in both directions at full speed; behind a
// high-speed hub with a single transaction translator all full-speed units
// share one 1 ms frame's periodic budget, which carries about six of them.
#pragma once

#include <string>
#include <vector>

// Units that fit behind one single-TT hub.
inline constexpr int USB_UNITS_PER_SINGLE_TT = 6;

// One warning per single-TT hub (bDeviceProtocol 1) that more than
// USB_UNITS_PER_SINGLE_TT of the given units hang behind, found through
// sysfs under sysfs_root from each unit's hidraw node (/dev/hidrawN). Units
// whose node is not in sysfs are left out; none found: no warning.
std::vector<std::string> usb_single_tt_warnings(const std::vector<std::string>& hidraw_paths,
                                                const std::string& sysfs_root = "/sys");
