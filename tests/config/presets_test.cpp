#include "config/presets.h"
#include "config/records.h"
#include "test_util.h"

#include <gtest/gtest.h>

namespace {
std::u16string name_of(int row) {
    return CARRIER_PRESETS[row].name;
}
std::u16string rep(char16_t c, size_t n) {
    return std::u16string(n, c);
}
} // namespace

TEST(CarrierPresets, TableShape) {
    static_assert(sizeof(CarrierPreset) == 804);
    EXPECT_EQ(name_of(0), u"Movistar");
    EXPECT_EQ(name_of(11), u"Happy Móvil nuevo");
    EXPECT_EQ(name_of(16), u"RACC Tel");
    EXPECT_EQ(name_of(29), u"Others");
    for (int i = 0; i < CARRIER_PRESET_COUNT; ++i)
        EXPECT_EQ(CARRIER_PRESETS[i].editable != 0, i != 16) << i;
    for (int row : {4, 9, 10, 11})
        EXPECT_EQ(std::u16string(CARRIER_PRESETS[row].apn), u"internetmas");
}

TEST(CarrierPresets, MatchingTheUnitsApn) {
    EXPECT_EQ(carrier_preset_match(u"INTERNETMAS"), 11); // case ignored, last equal row wins
    EXPECT_EQ(carrier_preset_match(u"orangeworld"), 3);
    EXPECT_EQ(carrier_preset_match(u"nowhere.example"), 0);
    EXPECT_EQ(carrier_preset_match(u""), 29);
    EXPECT_EQ(carrier_preset_match(nullptr), 0);
}

TEST(GprsLoad, FromServerSettingsAndKindThree) {
    ServerRecord ss = make_server("INTERNETMAS", "192.168.1.9", 8080);
    GprsValues v = gprs_load(4, nullptr, ss.data());
    EXPECT_TRUE(v.present);
    EXPECT_EQ(v.row, 11);
    EXPECT_EQ(v.apn, u"internetmas");
    EXPECT_EQ(v.user, u""); // the row's, not the unit's
    EXPECT_EQ(v.server, u"192.168.1.9");
    EXPECT_EQ(v.port, u"8080");
    EXPECT_FALSE(v.server_port_editable);

    ServerRecord none{};
    EXPECT_FALSE(gprs_load(5, nullptr, none.data()).present);
    EXPECT_FALSE(gprs_load(1, nullptr, nullptr).present);

    ParamRecord p = make_param(3);
    rec_set_text(p.data() + P3_OFF_APN, 28, "", 0);
    rec_set_text(p.data() + P3_OFF_PORT, 7, "1234567", 7); // fills the field
    GprsValues k3 = gprs_load(3, p.data(), nullptr);
    EXPECT_TRUE(k3.present);
    EXPECT_EQ(k3.row, 29);
    EXPECT_TRUE(k3.row_editable);
    EXPECT_EQ(k3.port, u"1234567");
    EXPECT_TRUE(k3.server_port_editable);
}

TEST(GprsLoad, UnknownApnIsOfferedAsTheUnitsOwnEntry) {
    ServerRecord ss = make_server("private.apn", "h", 1);
    GprsValues v = gprs_load(5, nullptr, ss.data());
    EXPECT_TRUE(v.unit_entry);
    EXPECT_EQ(v.row, GPRS_UNIT_ROW);
    EXPECT_EQ(v.apn, u"private.apn");
    EXPECT_EQ(v.user, u"unituser");
    EXPECT_EQ(v.password, u"unitpass");
    EXPECT_TRUE(v.row_editable);
    // The list: the unit's entry first, named by its APN, then the rows.
    EXPECT_EQ(gprs_list_count(v), CARRIER_PRESET_COUNT + 1);
    EXPECT_EQ(gprs_list_name(v, 0), u"private.apn");
    EXPECT_EQ(gprs_list_name(v, 1), u"Movistar");
    EXPECT_EQ(gprs_list_name(v, CARRIER_PRESET_COUNT), u"Others");
    EXPECT_EQ(gprs_row_of_index(v, 4), 3);
    EXPECT_EQ(gprs_index_of_row(v, 3), 4);
    // Picking a row and then the unit's entry again brings its values back.
    gprs_select_row(v, 16);
    EXPECT_FALSE(v.row_editable);
    gprs_select_row(v, GPRS_UNIT_ROW);
    EXPECT_EQ(v.apn, u"private.apn");
    EXPECT_EQ(v.user, u"unituser");
    EXPECT_TRUE(v.row_editable);

    // A listed APN keeps the list as the table has it.
    GprsValues listed = gprs_load(5, nullptr, make_server("orangeworld", "h", 1).data());
    EXPECT_FALSE(listed.unit_entry);
    EXPECT_EQ(gprs_list_count(listed), CARRIER_PRESET_COUNT);
    EXPECT_EQ(gprs_row_of_index(listed, 3), 3);
    gprs_select_row(listed, GPRS_UNIT_ROW); // no such entry: nothing changes
    EXPECT_EQ(listed.row, 3);
}

TEST(GprsSelect, LockedRow) {
    GprsValues v;
    gprs_select_row(v, 16);
    EXPECT_FALSE(v.row_editable);
    EXPECT_EQ(v.apn, CARRIER_PRESETS[16].apn);
    gprs_select_row(v, 3);
    EXPECT_TRUE(v.row_editable);
    EXPECT_EQ(v.user, u"orange");
    gprs_select_row(v, 30); // outside the table: nothing changes
    EXPECT_EQ(v.row, 3);
}

TEST(GprsCheck, LimitsPerKindInColumnOrder) {
    ServerRecord ss = make_server("a", "b", 1);
    struct Case {
        int kind;
        GprsTexts t;
        GprsCheck want;
    } cases[] = {
        {4, {rep('a', 49), u"", u"", u"", u""}, GPRS_OK},
        {4, {rep('a', 50), u"", u"", u"", u""}, GPRS_BAD_APN},
        {3, {rep('a', 27), u"", u"", u"", u""}, GPRS_OK},
        {3, {rep('a', 28), u"", u"", u"", u""}, GPRS_BAD_APN},
        {3, {u"", rep('u', 28), rep('p', 28), u"", u""}, GPRS_BAD_USER},
        {5, {u"", u"", rep('p', 50), rep('s', 20), u""}, GPRS_BAD_PASSWORD},
        {1, {u"", u"", u"", rep('s', 20), u""}, GPRS_BAD_SERVER},
        {3, {u"", u"", u"", rep('s', 19), u"1234567"}, GPRS_BAD_PORT},
        {2, {u"", u"", u"", u"", u"123456"}, GPRS_OK},
        // Sizes are bytes of the unit's code page, where 中 takes 2.
        {4, {std::u16string(25, u'中'), u"", u"", u"", u""}, GPRS_BAD_APN},
        {4, {u"a" + std::u16string(24, u'中'), u"", u"", u"", u""}, GPRS_OK},
        {3, {u"", std::u16string(14, u'中'), u"", u"", u""}, GPRS_BAD_USER},
        {3, {u"", u"a" + std::u16string(13, u'中'), u"", u"", u""}, GPRS_OK},
        {5, {u"", u"", std::u16string(25, u'中'), u"", u""}, GPRS_BAD_PASSWORD},
        {1, {u"", u"", u"", std::u16string(10, u'中'), u""}, GPRS_BAD_SERVER},
    };
    for (auto& c : cases)
        EXPECT_EQ(gprs_check(c.kind, ss.data(), c.t), c.want) << c.kind;
    EXPECT_STREQ(gprs_check_message(GPRS_BAD_APN), "APN设置出错！");
    EXPECT_STREQ(gprs_check_message(GPRS_BAD_USER), "用户名出错！");
    EXPECT_STREQ(gprs_check_message(GPRS_BAD_PASSWORD), "密码出错！");
    EXPECT_STREQ(gprs_check_message(GPRS_BAD_SERVER), "服务器出错！");
    EXPECT_STREQ(gprs_check_message(GPRS_BAD_PORT), "端口出错！");
    // Without server settings a kind 4 unit stores nothing and checks nothing.
    ServerRecord none{};
    EXPECT_EQ(gprs_check(4, none.data(), {rep('a', 80), u"", u"", u"", u""}), GPRS_OK);
}

TEST(GprsStore, KindThreeKeepsThePortAsText) {
    ParamRecord p = make_param(3);
    ParamRecord before = p;
    GprsTexts t{u"movistar.es", u"movistar", u"movistar", u"10.1.2.3", u"8080"};
    ASSERT_EQ(gprs_store(3, p.data(), nullptr, t), GPRS_OK);
    const uint8_t port[7] = {'8', '0', '8', '0', 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(p.data() + P3_OFF_PORT, port, 7));
    char apn[40];
    rec_get_text(apn, sizeof apn, p.data() + P3_OFF_APN, 28);
    EXPECT_STREQ(apn, "movistar.es");
    // Nothing outside the five fields changed.
    for (int i = 0; i < 256; ++i)
        if (i < 53 || i >= 164) {
            EXPECT_EQ(p[i], before[i]) << i;
        }
}

TEST(GprsStore, ServerSettingsKeepThePortAsNumber) {
    ServerRecord ss = make_server("old", "old", 1);
    GprsTexts t{u"internet", u"", u"", u"srv", u" 8080x"};
    ASSERT_EQ(gprs_store(4, nullptr, ss.data(), t), GPRS_OK);
    EXPECT_EQ(rec_u32(ss.data() + SS_OFF_PORT), 8080u);
    EXPECT_EQ(ss[SS_OFF_USER], 0); // the unit's user replaced by the empty text
    EXPECT_EQ(rec_u32(ss.data() + SS_OFF_MAGIC), RECORD_MAGIC);
    ServerRecord bad = ss;
    EXPECT_EQ(gprs_store(4, nullptr, bad.data(), {std::u16string(50, 'x'), u"", u"", u"", u""}),
              GPRS_BAD_APN);
    EXPECT_EQ(bad, ss);
}

TEST(GprsStore, AnsiTextIsStoredWholeOrRefused) {
    // 13 Chinese characters are 26 GBK bytes; the kind 3 user field holds
    // 27 and its end, so 14 are refused rather than cut.
    std::u16string user(14, u'中');
    ParamRecord p = make_param(3);
    ParamRecord before = p;
    EXPECT_EQ(gprs_store(3, p.data(), nullptr, {u"", user, u"", u"", u""}), GPRS_BAD_USER);
    EXPECT_EQ(p, before);
    ASSERT_EQ(gprs_store(3, p.data(), nullptr, {u"", user.substr(0, 13), u"", u"", u""}), GPRS_OK);
    std::string gbk = ansi_from_u16(user.substr(0, 13));
    ASSERT_EQ(gbk.size(), 26u);
    EXPECT_EQ(0, std::memcmp(p.data() + P3_OFF_USER, gbk.data(), 26));
    EXPECT_EQ(p[P3_OFF_USER + 26], 0);
    // An odd width never keeps half a character.
    EXPECT_EQ(ansi_cut(ansi_from_u16(u"a中中"), 4), ansi_from_u16(u"a中"));
    EXPECT_EQ(ansi_field_text(p.data() + P3_OFF_USER, 28), user.substr(0, 13));
}
