// The update package in memory.
//
// package_load reads a .dqv file into one Package: the client-id block and
// every section that could be read whole, each in its own heap buffer.
// Payloads stay as stored (scrambled or plain); only the province record
// blocks are unscrambled, because they are merged and scrambled again.
// A section is present when its size (program table: its count; province
// table: its count) is non-zero. package_free releases everything.
#pragma once

#include <cstddef>
#include <cstdint>

#include "package/package_format.h"

// One plain payload: its bytes as stored, their count, and a flag word kept
// with it (1 for the GPS images, 0 otherwise; the writes do not use it).
struct PackageSection {
    uint8_t* data = nullptr;
    uint32_t size = 0;
    uint32_t flag = 0;
};

// One entry of the program table. In the short table layout every field
// after size reads as 0 (scrambled stays 1). An image that could not be read
// whole has size 0 and no data; its other fields are kept.
struct ProgramImage {
    char board_id[4] = {};   // matched against the unit's board name
    uint32_t variant_b = 0;  // 0/1
    uint8_t* data = nullptr; // the image as stored (scrambled)
    uint32_t size = 0;
    uint32_t server_size = 0;  // server-data region size
    uint32_t version = 0;      // program version
    uint32_t scrambled = 1;    // always 1
    uint32_t layout502 = 0;    // 0/1: the alternative flash layout
    uint32_t server_reset = 0; // 0/1: reset the server record
    uint32_t variant_c = 0;    // 0/1
    uint32_t variant_d = 0;    // 0/1
    uint32_t legacy = 0;       // 0/1: legacy flash layout
    uint32_t track_size = 0;   // track region size
};

// One province of the province GPS table.
struct ProvinceGps {
    char name[PROVINCE_NAME_SIZE + 2] = {}; // GBK, 50 bytes as stored, always terminated
    uint32_t record_count = 0;
    uint8_t* records = nullptr; // record_count * 12 bytes, unscrambled
};

struct Package {
    uint8_t client_id[CLIENT_ID_SIZE]; // from the trailer; all 0xFF until then
    PackageSection boot;               // section 1; flag = 1 once read (scrambled)
    uint32_t boot_mode = 0;            // always 0
    int32_t program_layout = 0;        // 1 = extended table layout, 0 = short
    uint32_t program_count = 0;
    ProgramImage* programs = nullptr; // section 2
    PackageSection radar;             // section 3, flag 0
    PackageSection gps;               // section 5, flag 1
    PackageSection voice;             // section 4, flag 0
    PackageSection voice_b;           // section 7, flag 0
    PackageSection tool;              // section 6 (update-tool image), flag 0
    uint32_t province_stamp = 0;      // first word of section 8
    uint32_t province_count = 0;
    ProvinceGps* provinces = nullptr; // section 8
    PackageSection merged_gps;        // built by package_merge_provinces, flag 1
    PackageSection province_voice;    // section 9, flag 0
    PackageSection province_voice_b;  // section 10, flag 0
    PackageSection voice_c;           // section 11, flag 0
    PackageSection voice_cb;          // section 12, flag 0
    PackageSection gps_d;             // section 13, flag 1
};

inline constexpr int PROVINCE_COUNT = 34;
inline constexpr size_t PROVINCE_NAME_SLOT = 20;

// The 34 province names (GBK, one 20-byte slot each) in the order of the
// province selection flags.
extern const char PROVINCE_NAMES[PROVINCE_COUNT][PROVINCE_NAME_SLOT];

// The largest package file the loader takes: its stream positions are
// 32-bit. Unpacking a package stops beyond it.
inline constexpr uint64_t PACKAGE_MAX_FILE_SIZE = INT32_MAX;

// Reads a package file (UTF-16 path). Returns a new Package, or null when the
// file cannot be opened, is larger than PACKAGE_MAX_FILE_SIZE, memory is
// short or no valid trailer is found. Sections that cannot be read whole are
// absent; nothing else fails.
Package* package_load(const char16_t* path);

// The same, also handing back the directory the trailer gave (dir may be
// null). Returns null on the same failures as package_load.
Package* package_load_with_directory(const char16_t* path, PackageDirectory* dir);

// Builds the merged GPS image from the provinces whose flag (34 ints, in
// PROVINCE_NAMES order) is non-zero: stamp, record count, the records sorted
// by key, the whole image scrambled from a fresh encoder state. Returns 1, or
// 0 when an argument is null, the image would not fit in 32 bits or memory
// is short (the merged image is then absent).
int package_merge_provinces(Package* package, const int* flags);

// Which provinces the province table holds, as package_merge_provinces
// finds them by name: held[k] = 1 when it holds PROVINCE_NAMES[k], else 0
// (all 0 for a null package).
void package_provinces_held(const Package* package, int held[PROVINCE_COUNT]);
// 1 when the table holds at least one province whose flag (34 ints) is
// non-zero: a merge of the others would give a GPS image without records.
// 0 otherwise, or for null arguments.
int package_holds_any_province(const Package* package, const int* flags);

// Releases every buffer the record owns and the record. Null is ignored.
void package_free(Package* package);

// The plain section with that number (1, 3..7, 9..13), or null for the
// tables (2, 8), numbers outside 1..13 and a null package.
PackageSection* package_section(Package* package, int number);
const PackageSection* package_section(const Package* package, int number);

// Whether the client-id block begins with the customer name (its first n
// bytes, byte for byte). Returns 0 for null arguments.
int package_is_for_customer(const Package* package, const char* name, size_t n);

// The province sort key of a 12-byte record: bits 6..30 of its second word
// as a magnitude, negated when bit 31 is set.
int32_t province_record_key(const uint8_t* record);
