#include "province/province_choice.h"

#include <algorithm>
#include <cstdio>

const ProvinceBox PROVINCE_BOXES[PROVINCE_COUNT] = {
    {2000, "北京", 461, 125, 32, 0},  {2001, "上海", 539, 204, 32, 1},
    {2002, "天津", 475, 136, 32, 2},  {2003, "重庆", 363, 218, 32, 3},
    {2004, "黑龙江", 555, 47, 40, 4}, {2005, "吉林", 549, 79, 32, 5},
    {2006, "辽宁", 523, 102, 32, 6},  {2007, "内蒙古", 358, 124, 40, 7},
    {2008, "河北", 444, 143, 32, 8},  {2009, "山西", 408, 149, 32, 9},
    {2010, "陕西", 367, 185, 32, 10}, {2011, "山东", 478, 156, 32, 11},
    {2012, "新疆", 119, 102, 32, 12}, {2013, "西藏", 100, 196, 32, 13},
    {2014, "青海", 208, 167, 32, 14}, {2015, "甘肃", 320, 177, 32, 15},
    {2016, "宁夏", 344, 156, 32, 16}, {2017, "河南", 425, 186, 32, 17},
    {2018, "江苏", 511, 188, 32, 18}, {2019, "湖北", 413, 211, 32, 19},
    {2020, "浙江", 516, 227, 32, 20}, {2021, "安徽", 476, 206, 32, 21},
    {2022, "福建", 495, 258, 32, 22}, {2023, "江西", 463, 244, 32, 23},
    {2024, "湖南", 409, 246, 32, 24}, {2025, "贵州", 349, 258, 32, 25},
    {2026, "四川", 297, 220, 32, 26}, {2027, "广东", 443, 284, 32, 27},
    {2028, "云南", 275, 280, 32, 28}, {2029, "广西", 375, 283, 32, 29},
    {2030, "海南", 396, 328, 32, 30}, {2031, "香港", 459, 299, 32, 31},
    {2032, "台湾", 542, 274, 32, 33}, {2033, "澳门", 444, 308, 32, 32},
};

std::array<int, PROVINCE_COUNT> province_tab_order() {
    std::array<int, PROVINCE_COUNT> order;
    for (int i = 0; i < PROVINCE_COUNT; ++i)
        order[i] = i;
    auto y = [](int i) { return PROVINCE_BOXES[i].y; };
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return y(a) < y(b); });
    for (auto row = order.begin(); row != order.end();) {
        int top = y(*row);
        auto end = std::find_if(row, order.end(), [&](int i) { return y(i) >= top + 10; });
        std::stable_sort(row, end,
                         [](int a, int b) { return PROVINCE_BOXES[a].x < PROVINCE_BOXES[b].x; });
        row = end;
    }
    return order;
}

std::string province_count_line(int count) {
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "分省全部类型数据包，最多可自行勾选(%d)个省数据，超过无法升级，请在地图上勾选。"
                  "已勾选(%d)省份。",
                  PROVINCE_MAX_SELECTED, count);
    return buf;
}

std::string province_few_question(int count) {
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "只选择了%d个省份，最多可以选择12个省份，更好的体验建议选满12个省份，"
                  "确定不选择直接更新？",
                  count);
    return buf;
}

int province_ticked_count(const ProvinceState& s) {
    int n = 0;
    for (bool t : s.ticked)
        n += t;
    return n;
}

bool province_box_clicked(ProvinceState& s, int box) {
    if (box < 0 || box >= PROVINCE_COUNT)
        return true;
    int n = province_ticked_count(s);
    if (n > PROVINCE_MAX_SELECTED) {
        s.ticked[box] = false;
        return false;
    }
    s.count_line = province_count_line(n);
    if (n > 0 && s.national)
        s.national = false;
    return true;
}

void province_national_clicked(ProvinceState& s) {
    if (!s.national)
        return;
    for (bool& t : s.ticked)
        t = false;
    s.count_line = province_count_line(province_ticked_count(s));
}

ProvinceOk province_ok(const ProvinceState& s) {
    ProvinceOk r;
    if (s.national) {
        r.mode = 0;
        return r;
    }
    r.mode = 1;
    r.flags_set = true;
    int n = 0;
    for (int i = 0; i < PROVINCE_COUNT; ++i) {
        r.flags[PROVINCE_BOXES[i].flag] = s.ticked[i] ? 1 : 0;
        n += s.ticked[i];
    }
    if (n == 0) {
        r.action = ProvinceOk::MESSAGE;
        r.text = PROVINCE_NONE_TEXT;
    } else if (n < PROVINCE_MAX_SELECTED) {
        r.action = ProvinceOk::ASK;
        r.text = province_few_question(n);
    } else if (n > PROVINCE_MAX_SELECTED) {
        r.action = ProvinceOk::MESSAGE;
        r.text = PROVINCE_OVER_TEXT;
    }
    return r;
}
