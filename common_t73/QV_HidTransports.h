// The report transports behind QV_Hid_open. Internal to the device link.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common_t73/QV_Hid.h"
#include "support/net.h"

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

// Connects to a unit emulator at "HOST:PORT" by TCP (where Unix-domain
// sockets are not to be had), with the same retries and the same flow
// control as QV_HidSocket_open. Returns none when the text is malformed or
// nothing accepts there.
std::unique_ptr<QV_ReportTransport> QV_HidTcp_open(const std::string& hostPort);

// The stream transport over the connection connect makes, tried again for a
// short while while it is refused.
std::unique_ptr<QV_ReportTransport> QV_HidStream_connect(
    const std::function<NetConnect(NetSocket*)>& connect);
