#include "config/records.h"
#include "support/checksum.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <vector>

TEST(ParamKind, EachKindIsRecognised) {
    for (int kind = 1; kind <= 5; ++kind) {
        ParamRecord r = make_param(kind);
        EXPECT_EQ(param_record_kind(r.data()), kind) << kind;
    }
    ParamRecord blank{};
    blank[0] = 1; // no sum matches
    EXPECT_EQ(param_record_kind(blank.data()), -1);
    EXPECT_EQ(param_record_kind(nullptr), -1);
}

TEST(ParamKind, LongerSumWithoutMarkerFallsThrough) {
    // A kind 4 record whose bytes 63..114 are zero also matches the 111-byte
    // sum; without the marker at 111 it is still kind 4.
    ParamRecord r = make_param(4);
    std::fill(r.begin() + 63, r.begin() + 115, 0);
    param_record_seal(r.data(), 4);
    ASSERT_EQ(rec_u32(r.data()), byte_sum(r.data() + 4, 111));
    EXPECT_EQ(param_record_kind(r.data()), 4);
    // The same with the marker at 111 is kind 5.
    rec_set_u32(r.data() + 111, RECORD_MAGIC);
    std::fill(r.begin() + 59, r.begin() + 63, 0); // drop kind 4's marker
    param_record_seal(r.data(), 5);
    EXPECT_EQ(param_record_kind(r.data()), 5);
}

TEST(ParamKind, KindOneWhoseLongerSumMatchesIsKindTwo) {
    ParamRecord r = make_param(1);
    std::fill(r.begin() + 28, r.end(), 0);
    param_record_seal(r.data(), 1);
    EXPECT_EQ(param_record_kind(r.data()), 2);
}

TEST(ParamKind, ChecksumLengthsAndSeal) {
    const int want[][2] = {{-1, 24}, {0, 24}, {1, 24},  {2, 72},
                           {3, 170}, {4, 59}, {5, 111}, {6, -1}};
    for (auto& c : want)
        EXPECT_EQ(param_checksum_length(c[0]), c[1]) << c[0];
    ParamRecord r = make_param(3);
    ParamRecord before = r;
    EXPECT_EQ(param_record_seal(r.data(), 6), 0);
    EXPECT_EQ(r, before);
    r[100] ^= 0x55;
    EXPECT_EQ(param_record_seal(r.data(), 3), 1);
    EXPECT_EQ(rec_u32(r.data()), byte_sum(r.data() + 4, 170));
}

TEST(ParamTimeZone, KindFiveUsesLowFiveBits) {
    ParamRecord r = make_param(5);
    r[P35_OFF_TIME_ZONE] = 0xE8;
    EXPECT_EQ(param_time_zone(r.data(), 5), 8);
    ASSERT_EQ(param_set_time_zone(r.data(), 5, -3), 1);
    EXPECT_EQ(r[P35_OFF_TIME_ZONE], 0xE0 | 0x1D);
    EXPECT_EQ(param_time_zone(r.data(), 5), -3);
    // Other kinds store the whole byte.
    ParamRecord k4 = make_param(4);
    param_set_time_zone(k4.data(), 4, -3);
    EXPECT_EQ(k4[P35_OFF_TIME_ZONE], 0xFD);
    EXPECT_EQ(param_time_zone(k4.data(), 4), -3);
    ParamRecord k1 = make_param(1);
    param_set_time_zone(k1.data(), 1, 300);
    EXPECT_EQ(k1[P12_OFF_TIME_ZONE], 44);
}

TEST(ParamBoardAndVersion, TakenByKind) {
    struct Case {
        int kind, name_off, ver_off;
    } cases[] = {{5, 4, 8}, {4, 4, 8}, {3, 4, 8}, {2, 28, 32}, {1, -1, -1}, {-1, -1, -1}};
    for (auto c : cases) {
        ParamRecord r = make_param(c.kind < 1 ? 1 : c.kind);
        uint8_t board[4] = {9, 9, 9, 9};
        uint32_t version = 99;
        param_board_and_version(r.data(), c.kind, board, &version);
        if (c.name_off < 0) {
            EXPECT_EQ(version, 0u);
            EXPECT_EQ(board[0] | board[1] | board[2] | board[3], 0);
        } else {
            EXPECT_EQ(0, std::memcmp(board, r.data() + c.name_off, 4)) << c.kind;
            EXPECT_EQ(version, rec_u32(r.data() + c.ver_off)) << c.kind;
        }
    }
}

TEST(MainSettingBlock, BuildAndParseRoundTrip) {
    MainRecord ms = make_main("AB12", 1234);
    ServerRecord ss = make_server("internetmas", "10.0.0.1", 8080);
    std::vector<uint8_t> block(512);
    ASSERT_EQ(main_setting_block_build(block.data(), ms.data(), ss.data()), 1);
    EXPECT_EQ(rec_u32(&block[0]), byte_sum(ms.data(), 231));
    EXPECT_EQ(0, std::memcmp(&block[4], ms.data(), 231));
    for (int i = 235; i < 256; ++i)
        EXPECT_EQ(block[i], 0xFF) << i;
    EXPECT_EQ(rec_u32(&block[256]), byte_sum(ss.data(), 178));
    EXPECT_EQ(0, std::memcmp(&block[260], ss.data(), 178));
    for (int i = 438; i < 512; ++i)
        EXPECT_EQ(block[i], 0xFF) << i;

    MainRecord ms2{};
    ServerRecord ss2{};
    EXPECT_EQ(main_setting_block_parse(&block[0], &block[256], ms2.data(), ss2.data()), 1);
    EXPECT_EQ(ms2, ms);
    EXPECT_EQ(ss2, ss);
}

TEST(MainSettingBlock, AbsentServerSettings) {
    MainRecord ms = make_main("AB12", 1);
    ServerRecord no_magic = make_server("x", "y", 1);
    rec_set_u32(no_magic.data() + SS_OFF_MAGIC, 0);
    const uint8_t* choices[] = {nullptr, no_magic.data()};
    for (const uint8_t* ss : choices) {
        std::vector<uint8_t> block(512, 0);
        ASSERT_EQ(main_setting_block_build(block.data(), ms.data(), ss), 1);
        for (int i = 256; i < 512; ++i)
            ASSERT_EQ(block[i], 0xFF) << i;
        // Read back: the all-0xFF second half means no server settings.
        ServerRecord parsed;
        parsed.fill(0x77);
        main_setting_block_parse(&block[0], &block[256], nullptr, parsed.data());
        EXPECT_EQ(parsed, ServerRecord{});
    }
    EXPECT_EQ(main_setting_block_build(nullptr, ms.data(), nullptr), 0);
    std::vector<uint8_t> untouched(512, 0x11);
    EXPECT_EQ(main_setting_block_build(untouched.data(), nullptr, nullptr), 0);
    EXPECT_EQ(untouched, std::vector<uint8_t>(512, 0x11));
}

TEST(MainSettingBlock, InvalidRecordsReadAsZero) {
    MainRecord ms = make_main("AB12", 1);
    ServerRecord ss = make_server("a", "b", 2);
    std::vector<uint8_t> block(512);
    main_setting_block_build(block.data(), ms.data(), ss.data());
    std::vector<uint8_t> bad_sum = block;
    bad_sum[0] ^= 1;
    MainRecord out_ms;
    ServerRecord out_ss;
    EXPECT_EQ(main_setting_block_parse(&bad_sum[0], &bad_sum[256], out_ms.data(), out_ss.data()),
              0);
    EXPECT_EQ(out_ms, MainRecord{});
    EXPECT_EQ(out_ss, ServerRecord{}); // not read behind an invalid main record
    std::vector<uint8_t> bad_ss = block;
    bad_ss[300] ^= 1;
    EXPECT_EQ(main_setting_block_parse(&bad_ss[0], &bad_ss[256], out_ms.data(), out_ss.data()), 1);
    EXPECT_EQ(out_ms, ms);
    EXPECT_EQ(out_ss, ServerRecord{});
}

TEST(RecordText, FieldsWithoutTerminator) {
    uint8_t field[4] = {'A', 'B', 'C', 'D'};
    char out[16];
    rec_get_text(out, sizeof out, field, 4);
    EXPECT_STREQ(out, "ABCD");
    uint8_t f2[6];
    rec_set_text(f2, 6, "toolongtext", 11);
    EXPECT_EQ(0, std::memcmp(f2, "toolon", 6));
    rec_set_text(f2, 6, "ab", 2);
    const uint8_t want[6] = {'a', 'b', 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(f2, want, 6));
}
