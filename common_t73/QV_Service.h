// The two service read-outs of the attached unit: the device-information
// dump (command 10000) and the server-data read-out (command 10001). The
// window asks for the file and shows the outcome; trevik-cli takes the file
// from its command line and prints the outcome. Both call these functions.
#pragma once

#include <cstdint>

struct QV_Machine;

// What the user is told at the end of a service command.
struct QV_ServiceOutcome {
    int ok = 0;                   // 1 when the file was written
    const char* message = "";     // message box text (UTF-8)
    const char* caption = "";     // message box caption; "" = none
    int error_icon = 1;           // 1 error icon, 0 none
    const char* status = nullptr; // status text set on the progress bar (UTF-8); null = unchanged
};

inline constexpr const char* SERVICE_NO_HARDWARE = "   No hardware connected!";
inline constexpr const char* SERVICE_WRITE_OK = "Write Ok!";
inline constexpr const char* SERVICE_WRITE_ERROR = "Write Error!";

// Saves the twelve device-information lines of the attached unit in path.
// Not connected: "   No hardware connected!"; else "Write Ok!" or
// "Write Error!" (no caption, error icon either way).
QV_ServiceOutcome QV_Service_dumpInfo(QV_Machine* m, const char16_t* path);

// Reads the unit's server-data region (address and size from its
// main-setting record) in whole 256-byte pages and saves it in path; the
// file is as long as the region, an unread tail under 256 bytes is zero.
// Sets the machine's status text and progress as the read-out goes. The
// outcome names every failure: no unit, "out memory！", "read fail！" (also
// for a region that lies outside the unit's flash), "open file fail！", or a
// file that could not be written whole ("Write Error!").
QV_ServiceOutcome QV_Service_readServerData(QV_Machine* m, const char16_t* path);
