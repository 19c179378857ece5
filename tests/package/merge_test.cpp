// package_merge_provinces: selection, order of records, the scrambled image.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "package/bytes.h"
#include "package/package.h"
#include "package/scramble.h"
#include "test_util.h"

namespace {

struct PackageDeleter {
    void operator()(Package* p) const { package_free(p); }
};
using PackagePtr = std::unique_ptr<Package, PackageDeleter>;

PackagePtr load(const PkgDescription& d) {
    TempFile f;
    EXPECT_TRUE(f.write(pkgbuild_bytes(d)));
    return PackagePtr(package_load(f.w()));
}

// One record whose second word is w, tagged in its first word.
Bytes record(uint32_t tag, uint32_t w) {
    Bytes r(12, 0);
    put_u32(r.data(), 0, tag);
    put_u32(r.data(), 4, w);
    put_u32(r.data(), 8, ~tag);
    return r;
}

uint32_t sign_mag(bool negative, uint32_t magnitude, uint32_t low_bits = 0) {
    return (negative ? 0x80000000u : 0) | magnitude << 6 | low_bits;
}

Bytes unscrambled_merge(const Package* p) {
    Bytes img(p->merged_gps.data, p->merged_gps.data + p->merged_gps.size);
    RollingState st;
    rolling_decode(&st, img.data(), img.size());
    return img;
}

PkgDescription with_provinces(std::vector<PkgProvince> provinces) {
    PkgDescription d;
    d.sections[SECTION_VOICE] = pkg_pattern(64, 1);
    d.province_table = true;
    d.province_stamp = 0x12345678;
    d.provinces = std::move(provinces);
    return d;
}

TEST(ProvinceMerge, SelectedProvincesSortedByKeyAndScrambled) {
    Bytes bj, sh, gd;
    for (uint32_t i = 0; i < 50; ++i) {
        Bytes a = pkg_province_records(1, i), b = pkg_province_records(1, 100 + i);
        bj.insert(bj.end(), a.begin(), a.end());
        gd.insert(gd.end(), b.begin(), b.end());
    }
    sh = pkg_province_records(40, 7);
    PackagePtr p = load(with_provinces(
        {{PROVINCE_NAMES[0], bj}, {PROVINCE_NAMES[1], sh}, {PROVINCE_NAMES[27], gd}}));
    ASSERT_TRUE(p);
    int flags[PROVINCE_COUNT] = {};
    flags[0] = 1;
    flags[27] = 1; // Shanghai is in the package but not chosen
    ASSERT_EQ(1, package_merge_provinces(p.get(), flags));
    EXPECT_EQ(1u, p->merged_gps.flag);
    ASSERT_EQ(8u + 100 * 12, p->merged_gps.size);

    Bytes img = unscrambled_merge(p.get());
    EXPECT_EQ(0x12345678u, get_u32(img.data(), 0));
    EXPECT_EQ(100u, get_u32(img.data(), 4));
    std::vector<Bytes> got, want;
    for (size_t i = 0; i < 100; ++i) {
        const uint8_t* r = img.data() + 8 + 12 * i;
        got.emplace_back(r, r + 12);
        if (i > 0) {
            EXPECT_LE(province_record_key(r - 12), province_record_key(r)) << i;
        }
    }
    for (const Bytes* src : {&bj, &gd})
        for (size_t i = 0; i < src->size(); i += 12)
            want.emplace_back(src->begin() + i, src->begin() + i + 12);
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(want, got); // the same records, nothing lost or made up
}

TEST(ProvinceMerge, KeyIsSignAndMagnitude) {
    Bytes recs;
    struct {
        uint32_t tag, w;
    } in[] = {
        {1, sign_mag(false, 5)},         {2, sign_mag(true, 1)},
        {3, sign_mag(false, 0, 0x3F)},   {4, sign_mag(true, 0x1FFFFFF)},
        {5, sign_mag(false, 0x1FFFFFF)}, {6, sign_mag(true, 3, 0x15)},
        {7, sign_mag(false, 1)},
    };
    for (auto& r : in) {
        Bytes one = record(r.tag, r.w);
        recs.insert(recs.end(), one.begin(), one.end());
    }
    PackagePtr p = load(with_provinces({{PROVINCE_NAMES[5], recs}}));
    ASSERT_TRUE(p);
    int flags[PROVINCE_COUNT] = {};
    flags[5] = 1;
    ASSERT_EQ(1, package_merge_provinces(p.get(), flags));
    Bytes img = unscrambled_merge(p.get());
    std::vector<uint32_t> order;
    for (size_t i = 0; i < 7; ++i)
        order.push_back(get_u32(img.data(), 8 + 12 * i));
    // -0x1FFFFFF, -3, -1, 0, 1, 5, 0x1FFFFFF: bits 0..5 play no part.
    EXPECT_EQ((std::vector<uint32_t>{4, 6, 2, 3, 7, 1, 5}), order);
    EXPECT_EQ(-3, province_record_key(img.data() + 8 + 12));
}

TEST(ProvinceMerge, UnmatchedSelectionGivesHeaderOnly) {
    PackagePtr p = load(with_provinces({{PROVINCE_NAMES[3], pkg_province_records(5, 1)}}));
    ASSERT_TRUE(p);
    int flags[PROVINCE_COUNT] = {};
    flags[0] = flags[33] = 1;
    ASSERT_EQ(1, package_merge_provinces(p.get(), flags));
    ASSERT_EQ(8u, p->merged_gps.size);
    // The 8 bytes are stored scrambled from a fresh encoder state.
    Bytes want(8, 0);
    put_u32(want.data(), 0, 0x12345678);
    EXPECT_EQ(pkg_scrambled(want), Bytes(p->merged_gps.data, p->merged_gps.data + 8));
}

// Which provinces the table holds, and whether a choice gets any records.
TEST(ProvinceMerge, HeldProvincesAreTheTablesOwn) {
    PackagePtr p = load(with_provinces({{PROVINCE_NAMES[3], pkg_province_records(5, 1)},
                                        {PROVINCE_NAMES[33], pkg_province_records(2, 2)}}));
    ASSERT_TRUE(p);
    int held[PROVINCE_COUNT];
    package_provinces_held(p.get(), held);
    for (int k = 0; k < PROVINCE_COUNT; ++k)
        EXPECT_EQ(held[k], k == 3 || k == 33 ? 1 : 0) << k;
    const struct {
        std::vector<int> chosen;
        int any;
    } cases[] = {{{3}, 1}, {{0, 33}, 1}, {{0, 12}, 0}, {{}, 0}};
    for (const auto& c : cases) {
        int flags[PROVINCE_COUNT] = {};
        for (int k : c.chosen)
            flags[k] = 1;
        EXPECT_EQ(package_holds_any_province(p.get(), flags), c.any) << c.chosen.size();
    }
    int flags[PROVINCE_COUNT] = {1};
    EXPECT_EQ(package_holds_any_province(nullptr, flags), 0);
    package_provinces_held(nullptr, held);
    EXPECT_EQ(held[3], 0);
}

TEST(ProvinceMerge, DuplicateNameUsesTheFirstEntry) {
    Bytes first = record(1, sign_mag(false, 9));
    Bytes second = record(2, sign_mag(false, 8));
    PackagePtr p = load(with_provinces({{PROVINCE_NAMES[0], first}, {PROVINCE_NAMES[0], second}}));
    ASSERT_TRUE(p);
    int flags[PROVINCE_COUNT] = {};
    flags[0] = 1;
    ASSERT_EQ(1, package_merge_provinces(p.get(), flags));
    Bytes img = unscrambled_merge(p.get());
    ASSERT_EQ(20u, img.size());
    EXPECT_EQ(1u, get_u32(img.data(), 8));
}

TEST(ProvinceMerge, WholeNamesMatchNotPrefixes) {
    std::string name = PROVINCE_NAMES[12];
    PackagePtr p = load(with_provinces({{name + "x", record(1, 0)}, {name, record(2, 0)}}));
    ASSERT_TRUE(p);
    int flags[PROVINCE_COUNT] = {};
    flags[12] = 1;
    ASSERT_EQ(1, package_merge_provinces(p.get(), flags));
    Bytes img = unscrambled_merge(p.get());
    ASSERT_EQ(20u, img.size());
    EXPECT_EQ(2u, get_u32(img.data(), 8));
}

TEST(ProvinceMerge, RepeatedMergeReplacesTheImage) {
    PackagePtr p = load(with_provinces({{PROVINCE_NAMES[0], pkg_province_records(10, 1)},
                                        {PROVINCE_NAMES[1], pkg_province_records(20, 2)}}));
    ASSERT_TRUE(p);
    int flags[PROVINCE_COUNT] = {};
    flags[0] = 1;
    ASSERT_EQ(1, package_merge_provinces(p.get(), flags));
    EXPECT_EQ(8u + 120, p->merged_gps.size);
    flags[1] = 1;
    ASSERT_EQ(1, package_merge_provinces(p.get(), flags));
    EXPECT_EQ(8u + 360, p->merged_gps.size);
    EXPECT_EQ(0, package_merge_provinces(nullptr, flags));
    EXPECT_EQ(0, package_merge_provinces(p.get(), nullptr));
}

TEST(ProvinceMerge, ProvinceNamesAreGbk) {
    EXPECT_STREQ("\xB1\xB1\xBE\xA9", PROVINCE_NAMES[0]);
    EXPECT_STREQ("\xBA\xDA\xC1\xFA\xBD\xAD", PROVINCE_NAMES[4]);
    EXPECT_STREQ("\xCC\xA8\xCD\xE5", PROVINCE_NAMES[33]);
    char16_t w[8] = {};
    ASSERT_GT(ansi_to_wtext(w, 8, PROVINCE_NAMES[27], -1), 0);
    EXPECT_EQ(std::u16string(u"广东"), std::u16string(w));
}

} // namespace
