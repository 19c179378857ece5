// The window's plain decisions: which units it accepts, what its title says,
// which dropped files are packages and what a button's tooltip says. Plain
// C++, so trevik-cli and the tests share them without the window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Control ids of dialog template 102.
inline constexpr int IDD_TREVIK_DIALOG = 102;
inline constexpr int IDC_SETTING = 1000;
inline constexpr int IDC_UPDATE = 1002;
inline constexpr int IDC_OPEN = 1006;
inline constexpr int IDC_PROGRESS = 1007;
inline constexpr int IDC_CLOSE = 1008;
inline constexpr int IDC_GROUP_PROGRESS = 1011;
inline constexpr int IDC_GROUP_FILE = 1012;
inline constexpr int IDC_PICTURE = 1031;
inline constexpr int IDC_STATUS = 1032;

inline constexpr int TOOL_VERSION = 407;

inline constexpr const char* TEXT_CAPTION = "Update Tool";
inline constexpr const char* TEXT_CONNECTED = "   GPS Connected";
inline constexpr const char* TEXT_VERSION_PREFIX = "   V:";
inline constexpr const char* TEXT_NO_HARDWARE = "   No hardware connected!";
inline constexpr const char* TEXT_CONNECTING = "   GPS Connecting...";
inline constexpr const char* TEXT_NEWEST_QUESTION = "Already the newest version,Updated or Not?";
inline constexpr const char* TEXT_UPDATE_FILE_FILTER =
    "Update File(*.dqv)|*.dqv|Zip File(*.zip)|*.zip|All File(*.*)|*.*||";
inline constexpr const char* TEXT_TXT_FILTER = "txt File(*.txt)|*.txt|All File(*.*)|*.*||";
inline constexpr const char* TEXT_BIN_FILTER = "bin File(*.bin)|*.bin|All File(*.*)|*.*||";
inline constexpr const char* TEXT_FINISHING = "Finishing the update, please wait...";

// The acceptance rule for a unit's identity block (its start is the client
// id): 1 when the tool has no customer (customer name of 21 blanks), the id
// is not a known customer id, it begins with the customer name, or it
// belongs to a customer this build also serves; else 0. Null identity: 0.
int trevik_accept_identity(const uint8_t* identity, size_t size, const char* customer,
                           size_t customerLen);

// The title for a unit state: "Update Tool" and "   No hardware connected!"
// when not connected, else "   GPS Connected" and "   V:" with the GPS date
// as "%d%02d%02d" (nothing after "V:" when the year is 0).
std::string trevik_title(bool connected, int year, int month, int day);

// Whether a dropped file is a package: its extension (the text after the
// last '.', the whole path when there is none) is "dqv" or "zip" (a zip
// archive holding one, unpacked by the update run) in any case. path is UTF-8.
bool trevik_is_package_path(const std::string& path);

// What the window knows when a button's tooltip is asked for.
struct ButtonTipState {
    bool enabled = true;
    bool connected = false;
    bool updating = false;
    bool package = false;  // a chosen file, or a package found online
    bool checking = false; // the online version check is running
};

// A button's tooltip (Open, Update, Setting, Close by control id): what it
// does, and when it is disabled why. Empty for other ids.
std::string trevik_button_tip(int id, const ButtonTipState& state);
