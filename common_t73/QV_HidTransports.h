// The report transports behind QV_Hid_open. Internal to the device link.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common_t73/QV_Hid.h"

// The present units through hidapi, in enumeration order.
std::vector<QV_HidUnitInfo> QV_HidHidapi_enumerate();

// Opens a hidapi device path. Returns none on failure; why receives
// QV_HID_OPEN_DENIED when the node exists but this user may not open it.
std::unique_ptr<QV_ReportTransport> QV_HidHidapi_open(const std::string& path,
                                                      QV_HidOpenError* why);

// Connects to a unit emulator listening on a Unix-domain stream socket,
// trying again for a short while when the connection is refused (an
// emulator that has just started). Returns none when the path is too long,
// nothing listens there, or the connection is still refused. Each report
// written waits for the unit's SOCKET_REPORT_TAKEN byte.
std::unique_ptr<QV_ReportTransport> QV_HidSocket_open(const std::string& path);
