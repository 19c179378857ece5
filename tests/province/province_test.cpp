#include "province/province_choice.h"

#include <gtest/gtest.h>

#include <set>

namespace {
int box_of_flag(int flag) {
    for (int i = 0; i < PROVINCE_COUNT; ++i)
        if (PROVINCE_BOXES[i].flag == flag)
            return i;
    return -1;
}
// Ticks box i the way a click does: toggle, then the handler.
bool click(ProvinceState& s, int i) {
    s.ticked[i] = !s.ticked[i];
    return province_box_clicked(s, i);
}
} // namespace

TEST(ProvinceBoxes, IdsAndFlags) {
    std::set<int> flags;
    for (int i = 0; i < PROVINCE_COUNT; ++i) {
        EXPECT_EQ(PROVINCE_BOXES[i].id, 2000 + i);
        flags.insert(PROVINCE_BOXES[i].flag);
    }
    EXPECT_EQ(flags.size(), 34u);
    // The last two boxes swap their flags.
    EXPECT_STREQ(PROVINCE_BOXES[32].name, "台湾");
    EXPECT_EQ(PROVINCE_BOXES[32].flag, 33);
    EXPECT_STREQ(PROVINCE_BOXES[33].name, "澳门");
    EXPECT_EQ(PROVINCE_BOXES[33].flag, 32);
}

TEST(ProvinceChoice, CountLine) {
    EXPECT_EQ(province_count_line(0),
              "分省全部类型数据包，最多可自行勾选(12)个省数据，超过无法升级，请在地图上勾选。"
              "已勾选(0)省份。");
    ProvinceState s;
    EXPECT_EQ(s.count_line, province_count_line(0));
    click(s, 3);
    click(s, 4);
    EXPECT_EQ(s.count_line, province_count_line(2));
    click(s, 3); // unticking counts down
    EXPECT_EQ(s.count_line, province_count_line(1));
}

TEST(ProvinceChoice, ThirteenthProvinceIsRefused) {
    ProvinceState s;
    for (int i = 0; i < 12; ++i)
        ASSERT_TRUE(click(s, i));
    EXPECT_FALSE(click(s, 20));
    EXPECT_FALSE(s.ticked[20]);
    EXPECT_EQ(province_ticked_count(s), 12);
    EXPECT_EQ(s.count_line, province_count_line(12));
}

TEST(ProvinceChoice, NationalBoxAndProvincesExcludeEachOther) {
    ProvinceState s;
    click(s, 1);
    click(s, 2);
    s.national = true;
    province_national_clicked(s);
    EXPECT_EQ(province_ticked_count(s), 0);
    EXPECT_EQ(s.count_line, province_count_line(0));
    click(s, 5);
    EXPECT_FALSE(s.national);
    EXPECT_EQ(s.count_line, province_count_line(1));
    // Unticking the national box changes nothing else.
    s.national = false;
    province_national_clicked(s);
    EXPECT_TRUE(s.ticked[5]);
}

TEST(ProvinceChoice, OkByCount) {
    struct Case {
        int ticked;
        bool national;
        ProvinceOk::Action action;
        int mode;
        const char* text;
    } cases[] = {
        {0, false, ProvinceOk::MESSAGE, 1, "至少需选择一个省数据或者选择全国包！"},
        {5, false, ProvinceOk::ASK, 1,
         "只选择了5个省份，最多可以选择12个省份，更好的体验建议选满12个省份，确定不选择直接更新？"},
        {11, false, ProvinceOk::ASK, 1, nullptr},
        {12, false, ProvinceOk::END_OK, 1, ""},
        {13, false, ProvinceOk::MESSAGE, 1, "最多只能选择12个省分更新！"},
        {5, true, ProvinceOk::END_OK, 0, ""},
    };
    for (auto& c : cases) {
        ProvinceState s;
        for (int i = 0; i < c.ticked; ++i)
            s.ticked[i] = true;
        s.national = c.national;
        ProvinceOk r = province_ok(s);
        EXPECT_EQ(r.action, c.action) << c.ticked;
        EXPECT_EQ(r.mode, c.mode) << c.ticked;
        EXPECT_EQ(r.flags_set, !c.national);
        if (c.text) {
            EXPECT_EQ(r.text, c.text) << c.ticked;
        }
    }
}

TEST(ProvinceChoice, FlagsFollowTheFlagColumn) {
    for (const char* name : {"台湾", "澳门", "北京"}) {
        ProvinceState s;
        int box = -1;
        for (int i = 0; i < PROVINCE_COUNT; ++i)
            if (std::string(PROVINCE_BOXES[i].name) == name)
                box = i;
        s.ticked[box] = true;
        ProvinceOk r = province_ok(s);
        int want = PROVINCE_BOXES[box].flag;
        for (int f = 0; f < PROVINCE_COUNT; ++f)
            EXPECT_EQ(r.flags[f], f == want ? 1 : 0) << name << " " << f;
    }
    EXPECT_EQ(box_of_flag(33), 32);
    EXPECT_EQ(box_of_flag(32), 33);
}
