// package_load: sections, program tables, province tables and what bad
// counts, offsets and sizes leave behind.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "package/bytes.h"
#include "package/package.h"
#include "package/scramble.h"
#include "support/checksum.h"
#include "test_util.h"

namespace {

struct PackageDeleter {
    void operator()(Package* p) const { package_free(p); }
};
using PackagePtr = std::unique_ptr<Package, PackageDeleter>;

PackagePtr load(const Bytes& file, PackageDirectory* dir = nullptr) {
    TempFile f;
    EXPECT_TRUE(f.write(file));
    return PackagePtr(package_load_with_directory(f.w(), dir));
}

Bytes section_bytes(const PackageSection* s) {
    return s && s->data ? Bytes(s->data, s->data + s->size) : Bytes();
}

Bytes records_of(int n, uint32_t seed) {
    return pkg_province_records(static_cast<size_t>(n), seed);
}

// A form C package with every section, both tables and two provinces.
PkgDescription full_package() {
    PkgDescription d;
    for (int n : {1, 3, 4, 5, 6, 7, 9, 10, 11, 12, 13})
        d.sections[n] = pkg_pattern(100 + 37 * static_cast<size_t>(n), static_cast<uint32_t>(n));
    PkgProgram a{"T73A", pkg_pattern(3001, 20)};
    a.server_size = 0x10000;
    a.variant_b = 7;
    a.version = 42;
    a.layout502 = 1;
    a.variant_c = 0;
    a.variant_d = 2;
    a.legacy = 0;
    a.track_size = 0x1800;
    a.server_reset = 1;
    d.programs.push_back(a);
    d.programs.push_back(PkgProgram{"T502", pkg_pattern(1502, 21)});
    d.province_table = true;
    d.province_stamp = 1700000000;
    d.provinces.push_back(PkgProvince{PROVINCE_NAMES[0], records_of(30, 1)});
    d.provinces.push_back(PkgProvince{PROVINCE_NAMES[27], records_of(70, 2)});
    return d;
}

TEST(PackageLoad, FullFormCPackageKeepsEverySectionAsStored) {
    PkgDescription d = full_package();
    PkgLayout layout;
    Bytes file = pkgbuild_bytes(d, &layout);
    PackageDirectory dir;
    PackagePtr p = load(file, &dir);
    ASSERT_TRUE(p);
    EXPECT_EQ(PACKAGE_FORM_C, dir.form);
    EXPECT_EQ(0, std::memcmp(p->client_id, TOOL_CUSTOMER_NAME, 12));
    EXPECT_EQ(1, package_is_for_customer(p.get(), TOOL_CUSTOMER_NAME, 12));
    for (int n : {1, 3, 4, 5, 6, 7, 9, 10, 11, 12, 13}) {
        const PackageSection* s = package_section(p.get(), n);
        Bytes stored(file.begin() + layout.offset[n],
                     file.begin() + layout.offset[n] + layout.size[n]);
        EXPECT_EQ(stored, section_bytes(s)) << "section " << n;
        // Scrambled sections are kept scrambled: unscrambling gives the plain bytes.
        bool scrambled = n == 1 || n == 3 || n == 5 || n == 13;
        EXPECT_EQ(scrambled ? pkg_scrambled(d.sections[n]) : d.sections[n], stored) << n;
    }
    EXPECT_EQ(1u, p->boot.flag);
    EXPECT_EQ(0u, p->boot_mode);
    EXPECT_EQ(1u, p->gps.flag);
    EXPECT_EQ(1u, p->gps_d.flag);
    EXPECT_EQ(0u, p->voice.flag);

    ASSERT_EQ(2u, p->program_count);
    EXPECT_EQ(1, p->program_layout);
    const ProgramImage& a = p->programs[0];
    EXPECT_EQ(0, std::memcmp(a.board_id, "T73A", 4));
    EXPECT_EQ(pkg_scrambled(d.programs[0].image), Bytes(a.data, a.data + a.size));
    EXPECT_EQ(0x10000u, a.server_size);
    EXPECT_EQ(1u, a.variant_b); // non-zero becomes 1
    EXPECT_EQ(42u, a.version);
    EXPECT_EQ(1u, a.scrambled);
    EXPECT_EQ(1u, a.layout502);
    EXPECT_EQ(0u, a.variant_c);
    EXPECT_EQ(1u, a.variant_d);
    EXPECT_EQ(0u, a.legacy);
    EXPECT_EQ(0x1800u, a.track_size);
    EXPECT_EQ(1u, a.server_reset);
    EXPECT_EQ(1502u, p->programs[1].size);

    EXPECT_EQ(1700000000u, p->province_stamp);
    ASSERT_EQ(2u, p->province_count);
    EXPECT_STREQ(PROVINCE_NAMES[27], p->provinces[1].name);
    EXPECT_EQ(70u, p->provinces[1].record_count);
    // Each block was scrambled from a fresh state and comes back plain.
    EXPECT_EQ(d.provinces[1].records,
              Bytes(p->provinces[1].records, p->provinces[1].records + 70 * 12));
    EXPECT_EQ(d.provinces[0].records,
              Bytes(p->provinces[0].records, p->provinces[0].records + 30 * 12));
    EXPECT_EQ(nullptr, p->merged_gps.data);
}

TEST(PackageLoad, ShortProgramLayoutReadsOnlyFirstSixteenBytes) {
    PkgDescription d = full_package();
    d.extended_programs = false;
    PackagePtr p = load(pkgbuild_bytes(d));
    ASSERT_TRUE(p);
    EXPECT_EQ(0, p->program_layout);
    ASSERT_EQ(2u, p->program_count);
    const ProgramImage& a = p->programs[0];
    EXPECT_EQ(pkg_scrambled(d.programs[0].image), Bytes(a.data, a.data + a.size));
    EXPECT_EQ(1u, a.scrambled);
    EXPECT_EQ(0u, a.version);
    EXPECT_EQ(0u, a.server_size);
    EXPECT_EQ(0u, a.variant_b);
    EXPECT_EQ(0u, a.track_size);
}

TEST(PackageLoad, ExtendedHeaderWithWrongChecksumIsReadAsShortLayout) {
    PkgDescription d = full_package();
    d.bad_program_header_sum = true;
    PackagePtr p = load(pkgbuild_bytes(d));
    ASSERT_TRUE(p);
    EXPECT_EQ(0, p->program_layout);
    // The first word of the header (60) is taken as the entry count.
    EXPECT_EQ(60u, p->program_count);
}

TEST(PackageLoad, FormAHasOnlyTheFirstFiveSections) {
    PkgDescription d;
    d.form = PACKAGE_FORM_A;
    d.sections[SECTION_RADAR] = pkg_pattern(700, 1);
    d.sections[SECTION_GPS] = pkg_pattern(900, 2);
    Bytes file = pkgbuild_bytes(d);
    // Pairs after the fifth cannot exist in form A; bytes after its trailer
    // in the directory stay zero.
    PackagePtr p = load(file);
    ASSERT_TRUE(p);
    EXPECT_EQ(nullptr, p->boot.data);
    EXPECT_EQ(0u, p->boot.flag);
    EXPECT_EQ(0u, p->program_count);
    EXPECT_EQ(700u, p->radar.size);
    EXPECT_EQ(900u, p->gps.size);
    for (int n = 6; n <= 13; ++n)
        if (const PackageSection* s = package_section(p.get(), n)) {
            EXPECT_EQ(0u, s->size) << n;
        }
    EXPECT_EQ(0u, p->province_count);
}

TEST(PackageLoad, VersionFiveSectionsNeedVersionFive) {
    for (uint32_t version : {4u, 5u}) {
        PkgDescription d;
        d.version = version;
        for (int n : {SECTION_VOICE, SECTION_VOICE_B, SECTION_PROVINCE_VOICE_B, SECTION_VOICE_CB,
                      SECTION_VOICE_C})
            d.sections[n] = pkg_pattern(300, static_cast<uint32_t>(n));
        PackagePtr p = load(pkgbuild_bytes(d));
        ASSERT_TRUE(p);
        uint32_t want = version >= 5 ? 300u : 0u;
        EXPECT_EQ(want, p->voice_b.size) << version;
        EXPECT_EQ(want, p->province_voice_b.size) << version;
        EXPECT_EQ(want, p->voice_cb.size) << version;
        EXPECT_EQ(300u, p->voice.size);
        EXPECT_EQ(300u, p->voice_c.size);
    }
}

TEST(PackageLoad, BadSectionPairLeavesOnlyThatSectionAbsent) {
    // A section pointing past the end (read after section 4) must not take
    // section 4, nor the sections read after it, with it.
    struct Case {
        const char* what;
        uint32_t offset;
        uint32_t size;
    } cases[] = {
        {"offset beyond the end", 0x7FFFFF00u, 100},
        {"size beyond the end", 0, 0xFFFFFFF0u},
        {"ends one byte past the file", 0, 0}, // filled in below
    };
    PkgDescription d = full_package();
    Bytes plain_file = pkgbuild_bytes(d);
    cases[2].size = static_cast<uint32_t>(plain_file.size()) + 1;
    for (const Case& c : cases) {
        PkgDescription bad = d;
        bad.pair_override[SECTION_VOICE_B] = {c.offset, c.size};
        PackagePtr p = load(pkgbuild_bytes(bad));
        ASSERT_TRUE(p) << c.what;
        EXPECT_EQ(0u, p->voice_b.size) << c.what;
        EXPECT_EQ(nullptr, p->voice_b.data) << c.what;
        EXPECT_EQ(d.sections[SECTION_VOICE], section_bytes(&p->voice)) << c.what;
        EXPECT_EQ(d.sections[SECTION_TOOL], section_bytes(&p->tool)) << c.what;
        EXPECT_EQ(2u, p->province_count) << c.what;
        EXPECT_EQ(d.sections[SECTION_VOICE_C], section_bytes(&p->voice_c)) << c.what;
    }
}

TEST(PackageLoad, ZeroSizeBootIsAbsent) {
    PkgDescription d;
    d.form = PACKAGE_FORM_A;
    d.sections[SECTION_VOICE] = pkg_pattern(2000, 1);
    PackagePtr p = load(pkgbuild_bytes(d));
    ASSERT_TRUE(p);
    EXPECT_EQ(nullptr, p->boot.data);
    EXPECT_EQ(0u, p->boot.size);
    EXPECT_EQ(2000u, p->voice.size);
}

TEST(PackageLoad, ProgramImageThatCannotBeReadWholeIsAbsent) {
    PkgDescription d = full_package();
    d.programs[0].size_override = 0x7FFFFFF0u;
    d.programs[1].offset_override = 0xFFFFFF00u;
    PackagePtr p = load(pkgbuild_bytes(d));
    ASSERT_TRUE(p);
    ASSERT_EQ(2u, p->program_count);
    for (uint32_t i = 0; i < 2; ++i) {
        EXPECT_EQ(0u, p->programs[i].size) << i;
        EXPECT_EQ(nullptr, p->programs[i].data) << i;
    }
    EXPECT_EQ(0, std::memcmp(p->programs[0].board_id, "T73A", 4)); // the entry itself stays
    EXPECT_EQ(42u, p->programs[0].version);
    EXPECT_EQ(pkg_scrambled(d.sections[SECTION_GPS_D]), section_bytes(&p->gps_d));
}

TEST(PackageLoad, SharedProgramImagesAreHeldUpToFourTimesTheFile) {
    // Entries may share one image, but a table repeating a large image many
    // times must not multiply the memory held: past four times the file's
    // size the further images are absent.
    PkgDescription d;
    const uint32_t table_head = PROGRAM_HEADER_SIZE + 10 * PROGRAM_ENTRY_SIZE;
    d.programs.emplace_back("T73A", pkg_pattern(100000, 1));
    for (int i = 1; i < 10; ++i) {
        PkgProgram shared("T73A", Bytes());
        shared.offset_override = table_head;
        shared.size_override = 100000;
        d.programs.push_back(shared);
    }
    Bytes file = pkgbuild_bytes(d);
    ASSERT_LT(file.size(), 110000u);
    PackagePtr p = load(file);
    ASSERT_TRUE(p);
    ASSERT_EQ(10u, p->program_count);
    for (uint32_t i = 0; i < 10; ++i) {
        bool held = i < 4;
        EXPECT_EQ(held ? 100000u : 0u, p->programs[i].size) << i;
        EXPECT_EQ(held, p->programs[i].data != nullptr) << i;
    }
    EXPECT_EQ(Bytes(p->programs[0].data, p->programs[0].data + 100000),
              Bytes(p->programs[3].data, p->programs[3].data + 100000));
}

TEST(PackageLoad, ProgramAndProvinceCountsFromTheFileAreChecked) {
    struct Case {
        const char* what;
        bool short_layout;
        uint32_t count; // written as the program count
    } cases[] = {
        {"extended count overflowing 32 bits", false, 0x02000000u},
        {"extended count beyond the file", false, 1000},
        {"short count beyond the file", true, 0xFFFFFFFFu},
    };
    for (const Case& c : cases) {
        PkgDescription d = full_package();
        d.extended_programs = !c.short_layout;
        PkgLayout layout;
        Bytes file = pkgbuild_bytes(d, &layout);
        put_u32(file.data(), layout.offset[SECTION_PROGRAMS] + (c.short_layout ? 0 : 12), c.count);
        if (!c.short_layout) // keep the header valid so the count is believed
            put_u32(file.data(), layout.offset[SECTION_PROGRAMS] + 56,
                    byte_sum(file.data() + layout.offset[SECTION_PROGRAMS], 56));
        PackagePtr p = load(file);
        ASSERT_TRUE(p) << c.what;
        EXPECT_EQ(0u, p->program_count) << c.what;
        EXPECT_EQ(nullptr, p->programs) << c.what;
        EXPECT_EQ(2u, p->province_count) << c.what;
    }

    // Province table: a huge entry count, and a record count beyond the file.
    for (int which = 0; which < 2; ++which) {
        PkgDescription d = full_package();
        if (which == 1)
            d.provinces[1].count_override = 0x20000000u;
        PkgLayout layout;
        Bytes file = pkgbuild_bytes(d, &layout);
        if (which == 0)
            put_u32(file.data(), layout.offset[SECTION_PROVINCES] + 4, 0xFFFFFFFFu);
        PackagePtr p = load(file);
        ASSERT_TRUE(p) << which;
        EXPECT_EQ(0u, p->province_count) << which;
        EXPECT_EQ(nullptr, p->provinces) << which;
        EXPECT_EQ(2u, p->program_count) << which;
        EXPECT_EQ(d.sections[SECTION_PROVINCE_VOICE], section_bytes(&p->province_voice)) << which;
    }
}

TEST(PackageLoad, EmptyProvinceTableIsAbsent) {
    PkgDescription d = full_package();
    d.provinces.clear();
    PackagePtr p = load(pkgbuild_bytes(d));
    ASSERT_TRUE(p);
    EXPECT_EQ(0u, p->province_count);
    EXPECT_EQ(nullptr, p->provinces);
}

TEST(PackageLoad, NotAPackage) {
    EXPECT_EQ(nullptr, package_load(nullptr));
    EXPECT_EQ(nullptr, package_load(u"/nonexistent/dir/x.dqv"));
    PkgDescription d = full_package();
    Bytes file = pkgbuild_bytes(d);
    EXPECT_FALSE(load(Bytes()));
    EXPECT_FALSE(load(Bytes(file.begin(), file.end() - 1))); // truncated
    EXPECT_FALSE(load(Bytes(100, 0)));
    Bytes flipped = file;
    flipped[file.size() - 100] ^= 0x40;
    EXPECT_FALSE(load(flipped));
}

TEST(PackageLoad, OtherCustomerLoadsButIsNotOurs) {
    PkgDescription d = full_package();
    d.customer = "SOMEONE ELSE";
    PackagePtr p = load(pkgbuild_bytes(d));
    ASSERT_TRUE(p);
    EXPECT_EQ(0, package_is_for_customer(p.get(), TOOL_CUSTOMER_NAME, 12));
    EXPECT_EQ(0, package_is_for_customer(nullptr, TOOL_CUSTOMER_NAME, 12));
}

TEST(PackageLoad, FreeIgnoresNull) {
    package_free(nullptr);
}

} // namespace
