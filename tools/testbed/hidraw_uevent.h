// udev monitor messages for the programs in the testbed: the add and remove
// events of a unit's devices, sent the way udev's monitor sends them.
#pragma once

#include <string>

namespace hidraw_testbed {

struct Node;

// Announces a unit's devices ("add" or "remove") to every monitor the
// programs opened: parents first on arrival, children first on removal.
void send_events(const std::string& root, const Node& n, const char* action);

} // namespace hidraw_testbed
