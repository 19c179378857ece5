// Test package builder: writes .dqv packages from a description.
//
// The product never writes packages; this builder serves the tests of every
// module, the bundled sample and the benchmarks. Describe a package with
// PkgDescription (plain payloads, program entries, provinces), then call
// pkgbuild_bytes or pkgbuild_write. The builder lays the sections out one
// after the other from the start of the file (after an optional prefix),
// scrambles what is stored scrambled (boot, program images, radar mute, GPS,
// GPS variant D, each province block from a fresh state), and ends the file
// with the trailer of the chosen form, scrambled with the trailer key.
//
// Typical use in a test:
//   PkgDescription d;                          // form C, version 5, our customer
//   d.sections[SECTION_VOICE] = pkg_pattern(4096, 1);
//   d.programs.push_back(PkgProgram{"T73A", pkg_pattern(20000, 2)});
//   pkgbuild_write(d, "/tmp/x.dqv");
//
// The fault fields (pair_override, bad_checksum, ...) make invalid packages
// for the failure tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "package/package_format.h"
#include "support/sha256.h"

using Bytes = std::vector<uint8_t>;

struct PkgProgram {
    PkgProgram() = default;
    PkgProgram(std::string board, Bytes plain_image)
        : board_id(std::move(board)), image(std::move(plain_image)) {}

    std::string board_id = "T73A"; // first 4 bytes are stored (zero-padded)
    Bytes image;                   // plain; stored scrambled from a fresh state
    uint32_t server_size = 0;      // extended layout only, as all fields below
    uint32_t variant_b = 0;
    uint32_t version = 0;
    uint32_t layout502 = 0;
    uint32_t variant_c = 0;
    uint32_t variant_d = 0;
    uint32_t legacy = 0;
    uint32_t track_size = 0;
    uint32_t server_reset = 0;
    // Faults: an image offset (relative to the table) or size written in
    // place of the real one.
    std::optional<uint32_t> offset_override;
    std::optional<uint32_t> size_override;
};

struct PkgProvince {
    PkgProvince() = default;
    PkgProvince(std::string gbk_name, Bytes plain_records)
        : name(std::move(gbk_name)), records(std::move(plain_records)) {}

    std::string name; // GBK bytes, at most 50 (use PROVINCE_NAMES for the real ones)
    Bytes records;    // plain 12-byte records; stored scrambled from a fresh state
    std::optional<uint32_t> count_override; // fault: record count written instead
};

struct PkgDescription {
    int form = PACKAGE_FORM_C;
    uint32_t version = 5; // form C only; A is 1 and B is 3 by their form
    Bytes client_id;      // 256 bytes; empty = customer name, then blanks
    std::string customer; // empty = TOOL_CUSTOMER_NAME
    // Plain payloads by section number (1, 3..7, 9..13); sections 1, 3, 5 and
    // 13 are stored scrambled, each from a fresh encoder state.
    std::map<int, Bytes> sections;
    bool extended_programs = true;    // 60-byte header and 220-byte entries
    std::vector<PkgProgram> programs; // none = no program table
    bool province_table = false;      // write section 8 (also with no provinces)
    uint32_t province_stamp = 0;
    std::vector<PkgProvince> provinces;

    // Faults and oddities.
    Bytes prefix;                                               // bytes before the first section
    std::map<int, std::pair<uint32_t, uint32_t>> pair_override; // section -> (offset, size)
    bool bad_checksum = false;                                  // trailer checksum off by one
    bool bad_marker = false;                                    // form C marker wrong
    bool bad_program_header_sum = false; // extended header with a wrong checksum
    Bytes suffix;                        // bytes after the trailer
};

// Where the builder put each section: offset and size by number 1..13 (the
// values written into the trailer).
struct PkgLayout {
    uint32_t offset[SECTION_COUNT + 1] = {};
    uint32_t size[SECTION_COUNT + 1] = {};
    size_t trailer_at = 0;
};

// The package bytes. Returns an empty vector when the description cannot be
// written (an unknown form, a payload in a section the form cannot carry,
// a file beyond 4 GiB).
Bytes pkgbuild_bytes(const PkgDescription& d, PkgLayout* layout = nullptr);

// Writes the package to path. Returns 1, or 0 when it cannot be built or
// written.
int pkgbuild_write(const PkgDescription& d, const std::string& path);

// The unscrambled trailer record of a form (304, 320 or 520 bytes) for a
// directory laid out like form C, with its covered length and checksum.
// Returns an empty vector for an unknown form.
Bytes pkgbuild_trailer_record(int form, const uint8_t dir[DIRECTORY_SIZE]);

// The stored (scrambled) form of a plain payload: rolling_encode from a
// fresh state of the builder's own, so the process-wide states stay as they
// are.
Bytes pkg_scrambled(const Bytes& plain);

// Deterministic filler bytes for payloads.
Bytes pkg_pattern(size_t n, uint32_t seed);

// The parts of the standard package that tests and benchmarks write.
struct PkgStandardParts {
    Bytes boot = pkg_pattern(3000, 11);
    Bytes program = pkg_pattern(20000, 12);
    Bytes voice = pkg_pattern(9000, 13);
    Bytes radar = pkg_pattern(2100, 14);
    Bytes gps = pkg_pattern(16000, 15);
};

// The standard package: boot, one program for the board T73A (version 200,
// 0x1000 bytes of server data), voice, radar mute and GPS data.
PkgDescription pkg_standard_description(const PkgStandardParts& parts = {});

// n plain province records (12 bytes each) with varied keys, signs included.
Bytes pkg_province_records(size_t n, uint32_t seed);

// One zip entry for pkgbuild_zip: a name (with '/' for folders; a name
// ending in '/' makes a folder entry) and its content.
struct PkgZipEntry {
    PkgZipEntry() = default;
    PkgZipEntry(std::string entry_name, Bytes entry_data, bool stored = false,
                std::optional<uint64_t> declared = std::nullopt)
        : name(std::move(entry_name)), data(std::move(entry_data)), store(stored),
          declared_size(declared) {}

    std::string name;
    Bytes data;
    bool store = false; // stored instead of deflated
    // Fault: the uncompressed size the archive declares for the entry in
    // place of the real one (the data is deflated as it is).
    std::optional<uint64_t> declared_size;
};

// Writes a zip archive with the entries in order. Returns 1, or 0 on failure.
int pkgbuild_zip(const std::string& path, const std::vector<PkgZipEntry>& entries);

// Reads a whole file; empty on failure.
Bytes pkg_read_file(const std::string& path);

// Writes a whole file. Returns 1, or 0 on failure.
int pkg_write_file(const std::string& path, const Bytes& data);

// sha256_hex (support/sha256.h): SHA-256 of n bytes as 64 lower-case hex
// digits, which name package contents in reports and tests.
