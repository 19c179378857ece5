// Removable-drive probe: the unit can show up as a USB drive instead of its
// HID device. The probe recognises such a drive by its product id, leaves
// the marker file "1.txt" on it and ejects it; the window then looks for the
// HID device again.
//
// On this system a drive is a removable block device of sysfs; its product
// id is the device's model, its mount point comes from mountinfo. The roots
// are injectable so a fake tree serves the tests.
#pragma once

#include <cstddef>
#include <cstdint>

// Product id of the unit's storage descriptor, compared without case.
inline constexpr const char* QV_STORAGE_PRODUCT_ID = "kelvora";
// Marker file left in the root of the unit's drive, and its content.
inline constexpr const char* QV_STORAGE_MARKER_NAME = "1.txt";
inline constexpr const char* QV_STORAGE_MARKER_TEXT = "abcdefd";

// Asks the system to eject the medium of the disk whose device node is
// devnode. Returns 1 when the request was accepted, else 0 (the probe does
// not look at it).
using QV_StorageEjectFn = int (*)(const char* devnode, void* context);

struct QV_StorageRoots {
    const char* sysfs = "/sys";                     // holds block/<disk>/...
    const char* mountinfo = "/proc/self/mountinfo"; // the mount table
    const char* dev = "/dev";                       // device nodes for the eject
    QV_StorageEjectFn eject = nullptr;              // null: eject by ioctl
    void* eject_context = nullptr;
};

// Looks for a drive of the unit on the system's own roots. Returns 1 when
// one was found (whether or not the marker and the eject succeeded), else 0.
int QV_Storage_probeUnit();

// The same over the given roots: removable disks in descending name order
// (the later drive first), the first whose product id decodes to "kelvora"
// (case ignored) gets the marker file on its first mounted volume (when it
// has one) and the eject request. Returns 1 when such a disk was found, 0
// otherwise and for null roots.
int QV_Storage_probeUnitAt(const QV_StorageRoots* roots);

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

// Default eject: CDROMEJECT, else SCSI START STOP UNIT with the eject bit
// through SG_IO. Returns 1 when either request was accepted, else 0.
int QV_Storage_ejectByIoctl(const char* devnode, void* context);
