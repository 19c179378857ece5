// Removable-drive probe: the unit can show up as a USB drive instead of its
// HID device. The probe recognises such a drive by its product id, leaves
// the marker file "1.txt" on it and hands the drive back; the window then
// looks for the HID device again.
//
// On this system a drive is a removable block device of sysfs; its product
// id is the device's model. The drive is mounted, marked, unmounted, ejected
// and powered off through UDisks2 on the system bus, as a file manager does.
// The sysfs root and the hand-back are injectable so tests use a fake tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Product id of the unit's storage descriptor, compared without case.
inline constexpr const char* QV_STORAGE_PRODUCT_ID = "kelvora";
// Marker file left in the root of the unit's drive, and its content.
inline constexpr const char* QV_STORAGE_MARKER_NAME = "1.txt";
inline constexpr const char* QV_STORAGE_MARKER_TEXT = "abcdefd";

// The steps of handing the unit's drive back, in their order.
enum QV_StorageStep {
    QV_STORAGE_STEP_FIND = 0,   // the drive and its filesystem in UDisks2
    QV_STORAGE_STEP_MOUNT,      // mounting the filesystem when it is not mounted
    QV_STORAGE_STEP_MARKER,     // writing and flushing the marker file
    QV_STORAGE_STEP_UNMOUNT,
    QV_STORAGE_STEP_EJECT,
    QV_STORAGE_STEP_POWER_OFF,
};

// The step's name as reports show it: "find the drive", "mount", "write the
// marker", "unmount", "eject", "power off"; "" for an unknown step.
const char* QV_Storage_stepName(QV_StorageStep step);

// What went wrong while the drive was handed back: one text per failed step,
// "<step> failed: <reason>", in the order of the steps.
struct QV_StorageReport {
    std::vector<std::string> failures;
};

// One line for the status text and the terminal: "The unit's drive: " and
// the failures joined by "; ". Empty when nothing failed.
std::string QV_Storage_reportText(const QV_StorageReport& report);

// Hands back the drive whose whole-disk node is devnode (/dev/sdX): mounts
// its filesystem when needed, writes and flushes the marker, unmounts,
// ejects and powers off. Returns 1 when every step succeeded, else 0 with
// the failed steps added to report (which may be null).
using QV_StorageReleaseFn = int (*)(const char* devnode, QV_StorageReport* report,
                                    void* context);

// The hand-back through UDisks2 on the system bus (DBUS_SYSTEM_BUS_ADDRESS
// chooses another bus). A failed step does not stop the later ones, except
// that nothing is written or unmounted without a mount point. Returns as
// QV_StorageReleaseFn.
int QV_Storage_releaseByUdisks(const char* devnode, QV_StorageReport* report, void* context);

struct QV_StorageRoots {
    const char* sysfs = "/sys";           // holds block/<disk>/...
    const char* dev = "/dev";             // where the disks' nodes are named
    QV_StorageReleaseFn release = nullptr; // null: through UDisks2
    void* release_context = nullptr;
};

// Looks for a drive of the unit on the system's own roots. Returns 1 when
// one was found (whether or not handing it back succeeded), else 0; report,
// when given, receives the failed steps.
int QV_Storage_probeUnit(QV_StorageReport* report = nullptr);

// The same over the given roots: removable disks in descending name order
// (the later drive first), the first whose product id decodes to "kelvora"
// (case ignored) is handed back with roots->release. Returns 1 when such a
// disk was found, 0 otherwise and for null roots.
int QV_Storage_probeUnitAt(const QV_StorageRoots* roots, QV_StorageReport* report = nullptr);

// Decodes the identity string at offset of descriptor (size bytes) into out
// (outSize bytes, always terminated): hex digit pairs when the whole string
// is such pairs of printable bytes (blanks, tabs, CR and LF count as the
// digit 0), else the string itself, which must be printable; leading and
// trailing white space removed. The string ends at its 0 byte or at the end
// of the descriptor. Returns out; empty for an offset of 0 or less, an
// offset past the descriptor, a string that is neither, or null arguments
// (out is returned as given, null included).
char* QV_Storage_decodeIdString(const uint8_t* descriptor, size_t size, int offset, char* out,
                                size_t outSize);
