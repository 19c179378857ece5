// The decisions of the province selection dialog as plain functions: the
// 34 province boxes, the count line, what a click on a province box or on
// the national box changes, and what OK does.
#pragma once

#include <array>
#include <string>

#include "package/package.h"

// Most provinces one per-province package may carry.
inline constexpr int PROVINCE_MAX_SELECTED = 12;

// Ids of the dialog's own controls.
inline constexpr int IDC_PROVINCE_COUNT_LINE = 1039;
inline constexpr int IDC_PROVINCE_ADVICE = 1040;
inline constexpr int IDC_PROVINCE_NATIONAL = 1042;
inline constexpr int IDC_PROVINCE_FIRST = 2000;

// One province check box: control id, name (UTF-8), position and width in
// dialog units (10 high), and its index in the province flags.
struct ProvinceBox {
    int id;
    const char* name;
    int x, y, w;
    int flag;
};
extern const ProvinceBox PROVINCE_BOXES[PROVINCE_COUNT];

inline constexpr const char* PROVINCE_CAPTION = "省份选择";
inline constexpr const char* PROVINCE_ADVICE_TEXT = "建议使用:分省全部类型数据包。";
inline constexpr const char* PROVINCE_NATIONAL_TEXT =
    "全国数据包测速照相类精简包(无生活安全提示数据类)";
inline constexpr const char* PROVINCE_TOO_MANY_TEXT =
    "已经选择12个省份，分省数据包最多只能选择12个省份！请取消勾选省份后再选择。";
inline constexpr const char* PROVINCE_NONE_TEXT = "至少需选择一个省数据或者选择全国包！";
inline constexpr const char* PROVINCE_OVER_TEXT = "最多只能选择12个省分更新！";
// The tooltip of a province the package holds no data for.
inline constexpr const char* PROVINCE_NOT_HELD_TIP = "本数据包没有该省数据，无法勾选。";

// The province boxes (indices into PROVINCE_BOXES) in reading order over
// the map: row by row from the top, a row being the boxes that start within
// one box height (10 units) of its first, each row from left to right.
std::array<int, PROVINCE_COUNT> province_tab_order();

// The count line for count ticked provinces (UTF-8).
std::string province_count_line(int count);
// The question OK asks when fewer than 12 provinces are ticked (UTF-8).
std::string province_few_question(int count);

// What the boxes show.
struct ProvinceState {
    bool ticked[PROVINCE_COUNT] = {}; // in box order (ids 2000..2033)
    bool national = false;
    std::string count_line = province_count_line(0);
};

int province_ticked_count(const ProvinceState& s);

// A province box was clicked and has toggled itself. A 13th tick is undone
// (returns false: show PROVINCE_TOO_MANY_TEXT, the count line stays);
// otherwise the count line follows the count and a tick clears the national
// box (returns true). An index outside 0..33 changes nothing (true).
bool province_box_clicked(ProvinceState& s, int box);

// The national box was clicked and has toggled itself: ticking it clears
// every province box and sets the count line to 0.
void province_national_clicked(ProvinceState& s);

// What OK does.
struct ProvinceOk {
    enum Action { END_OK, MESSAGE, ASK } action = END_OK;
    std::string text; // MESSAGE or ASK text (UTF-8)
    int mode = 0;     // 0 national package, 1 per-province package
    bool flags_set = false;
    int flags[PROVINCE_COUNT] = {}; // by flag index, 1 = selected
};
// national ticked: END_OK with mode 0 (flags not set); otherwise mode 1 and
// the flags, then by the count: 0 MESSAGE, 1..11 ASK (Yes ends with OK),
// 12 END_OK, above 12 MESSAGE.
ProvinceOk province_ok(const ProvinceState& s);
