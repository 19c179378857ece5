// The .dqv package layout: three trailer forms, the 520-byte directory every
// form is turned into, and the inner layouts of the program table and the
// province GPS table.
//
// A trailer sits at the very end of the file, scrambled as a whole with
// trailer_xor, and ends with the byte_sum of the bytes before it. Forms are
// tried newest first: C (520 bytes), B (320), A (304).
#pragma once

#include <cstddef>
#include <cstdint>

struct Stream;

inline constexpr size_t FORM_A_SIZE = 304;
inline constexpr size_t FORM_B_SIZE = 320;
inline constexpr size_t FORM_C_SIZE = 520;
inline constexpr size_t DIRECTORY_SIZE = 520;
inline constexpr size_t CLIENT_ID_SIZE = 256;

// Trailer form found, as package_find_trailer reports it.
inline constexpr int PACKAGE_FORM_NONE = 0;
inline constexpr int PACKAGE_FORM_A = 1;
inline constexpr int PACKAGE_FORM_B = 2;
inline constexpr int PACKAGE_FORM_C = 3;

// Size limits of forms A and B (form C limits only the boot image).
inline constexpr uint32_t LIMIT_BOOT_SIZE = 32768;
inline constexpr uint32_t LIMIT_RADAR_SIZE = 819200;
inline constexpr uint32_t LIMIT_VOICE_SIZE = 2097152;
inline constexpr uint32_t LIMIT_GPS_SIZE = 5382144;

// Directory layout (form C): version, client id, thirteen offset/size pairs,
// marker.
inline constexpr size_t DIR_COVERED = 0;
inline constexpr size_t DIR_VERSION = 4;
inline constexpr size_t DIR_CLIENT_ID = 8;
inline constexpr size_t DIR_PAIRS = 264;
inline constexpr size_t DIR_MARKER = 512;
inline constexpr size_t DIR_CHECKSUM = 516;
inline constexpr int SECTION_COUNT = 13;

// Section numbers.
inline constexpr int SECTION_BOOT = 1;
inline constexpr int SECTION_PROGRAMS = 2;
inline constexpr int SECTION_RADAR = 3;
inline constexpr int SECTION_VOICE = 4;
inline constexpr int SECTION_GPS = 5;
inline constexpr int SECTION_TOOL = 6;
inline constexpr int SECTION_VOICE_B = 7;
inline constexpr int SECTION_PROVINCES = 8;
inline constexpr int SECTION_PROVINCE_VOICE = 9;
inline constexpr int SECTION_PROVINCE_VOICE_B = 10;
inline constexpr int SECTION_VOICE_C = 11;
inline constexpr int SECTION_VOICE_CB = 12;
inline constexpr int SECTION_GPS_D = 13;

// Program table: a 60-byte header (marker at 4, count at 12, byte_sum of
// bytes 0..55 at 56) followed by 220-byte entries, or, without a valid
// header, a u32 count followed by 16-byte entries.
inline constexpr size_t PROGRAM_HEADER_SIZE = 60;
inline constexpr size_t PROGRAM_ENTRY_SIZE = 220;
inline constexpr size_t PROGRAM_SHORT_ENTRY_SIZE = 16;

// Program entry fields.
inline constexpr size_t PE_BOARD_ID = 0;
inline constexpr size_t PE_OFFSET = 4;
inline constexpr size_t PE_SIZE = 8;
inline constexpr size_t PE_SERVER_SIZE = 16;
inline constexpr size_t PE_VARIANT_B = 20;
inline constexpr size_t PE_VERSION = 24;
inline constexpr size_t PE_LAYOUT502 = 28;
inline constexpr size_t PE_VARIANT_C = 32;
inline constexpr size_t PE_VARIANT_D = 36;
inline constexpr size_t PE_LEGACY = 40;
inline constexpr size_t PE_TRACK_SIZE = 44;
inline constexpr size_t PE_SERVER_RESET = 48;

// Province GPS table: stamp, count N, N headers of a 50-byte name and a
// record count, then the N record blocks of 12-byte records.
inline constexpr size_t PROVINCE_NAME_SIZE = 50;
inline constexpr size_t PROVINCE_HEADER_SIZE = 54;
inline constexpr size_t PROVINCE_RECORD_SIZE = 12;

struct PackageDirectory {
    int form = PACKAGE_FORM_NONE;
    uint8_t bytes[DIRECTORY_SIZE] = {};
};

// Checks one unscrambled trailer record of the given form (n must be its
// size) and builds the directory from it. Returns 1, or 0 when the record is
// not a valid trailer of that form (dir is then left as it was).
int trailer_accept(const uint8_t* record, size_t n, int form, PackageDirectory* dir);

// Finds the trailer at the end of a reading stream, newest form first, and
// moves the stream back to where it was. Returns the form found
// (PACKAGE_FORM_A..C) with dir filled, or PACKAGE_FORM_NONE when the file is
// not a package or an argument is null. A file shorter than 520 bytes leaves
// the stream in its error state and is never accepted.
int package_find_trailer(Stream* s, PackageDirectory* dir);

// Directory fields; section numbers 1..13 (0 outside that range).
uint32_t directory_version(const PackageDirectory* dir);
uint32_t directory_offset(const PackageDirectory* dir, int section);
uint32_t directory_size(const PackageDirectory* dir, int section);

// The name of a trailer form: "A", "B", "C", or "" for none.
const char* package_form_name(int form);
