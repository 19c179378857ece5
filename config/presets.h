// Carrier presets: the fixed table of carriers whose APN, user name and
// password fill the GPRS area of the configuration dialog, and the GPRS
// values of a unit (kind 3 keeps them in the parameter record, the other
// kinds in the server-settings record): loading, checking, storing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr int CARRIER_TEXT_UNITS = 100;

// One row: 804 bytes, UTF-16 texts NUL-padded.
struct CarrierPreset {
    char16_t name[CARRIER_TEXT_UNITS];
    char16_t apn[CARRIER_TEXT_UNITS];
    char16_t user[CARRIER_TEXT_UNITS];
    char16_t password[CARRIER_TEXT_UNITS];
    uint32_t editable; // non-zero: the filled-in values may be changed
};

inline constexpr int CARRIER_PRESET_COUNT = 30;
extern const CarrierPreset CARRIER_PRESETS[CARRIER_PRESET_COUNT];

// Row of the unit's APN: the last row whose APN equals it without regard
// to letter case; 0 when none does (or apn is null).
int carrier_preset_match(const char16_t* apn);

// The row of the carrier list that stands for the unit's own APN, user name
// and password: offered first when the unit's APN is in no carrier row, so
// that confirming the dialog keeps a private access the unit already has.
inline constexpr int GPRS_UNIT_ROW = -1;

// The GPRS values the dialog shows for a unit.
struct GprsValues {
    bool present = false;     // false: the twelve GPRS controls are hidden
    int row = 0;              // selected carrier row, or GPRS_UNIT_ROW
    bool unit_entry = false;  // the list starts with the unit's own entry
    std::u16string apn;       // the selected entry's APN (what edit 1054 shows)
    std::u16string user;      // the selected entry's user name
    std::u16string password;  // the selected entry's password
    bool row_editable = true; // APN, user and password edits enabled
    std::u16string unit_apn;  // the APN stored in the unit
    std::u16string unit_user; // the user name stored in the unit
    std::u16string unit_password;
    std::u16string server;
    std::u16string port;
    bool server_port_editable = false; // kind 3 only
};

// Reads the unit's GPRS values and picks the carrier row: kind 3 from the
// parameter record, other kinds from the server-settings record (absent,
// present = false, when that is null or lacks RECORD_MAGIC at 174). When
// the unit's APN is in no row, the unit's own entry is offered first and
// selected.
GprsValues gprs_load(int kind, const uint8_t* param, const uint8_t* ss);

// Applies the selection of carrier row (or GPRS_UNIT_ROW when the list has
// the unit's entry) to values: APN, user name, password and whether they
// are editable. Anything else changes nothing.
void gprs_select_row(GprsValues& values, int row);

// The carrier list as the combo box shows it: the unit's entry (named by
// its APN) first when there is one, then the table's rows.
int gprs_list_count(const GprsValues& values);
std::u16string gprs_list_name(const GprsValues& values, int index);
// Row of a list index (GPRS_UNIT_ROW for the unit's entry), and back.
int gprs_row_of_index(const GprsValues& values, int index);
int gprs_index_of_row(const GprsValues& values, int row);
// Name of the selected entry: the carrier's, or the unit's APN.
std::u16string gprs_selected_name(const GprsValues& values);

// The five texts the user confirms.
struct GprsTexts {
    std::u16string apn, user, password, server, port;
};

// Result of checking the GPRS texts: 0 accepted, else the first text that
// is too long.
enum GprsCheck {
    GPRS_OK = 0,
    GPRS_BAD_APN,
    GPRS_BAD_USER,
    GPRS_BAD_PASSWORD,
    GPRS_BAD_SERVER,
    GPRS_BAD_PORT
};

// Most bytes a text takes in the unit's code page, its field keeping one
// for the end: APN, user name and password 27 on kind 3 and 49 on other
// kinds, server 19, port 6.
size_t gprs_text_max(int kind);
inline constexpr size_t GPRS_SERVER_MAX = 19;
inline constexpr size_t GPRS_PORT_MAX = 6;

// Bytes text takes in the unit's code page (a character it lacks counts as
// the one '?' it would become).
size_t gprs_ansi_size(const std::u16string& text);

// Checks sizes in the unit's code page (gprs_text_max, where a character
// beyond ASCII mostly takes 2 bytes) in the order APN, user, password,
// server, port. Kinds other than 3 without a valid server-settings record
// pass unchecked.
GprsCheck gprs_check(int kind, const uint8_t* ss, const GprsTexts& texts);

// The message shown for a failed check (UTF-8), "" for GPRS_OK.
const char* gprs_check_message(GprsCheck result);

// Checks, then stores the texts: kind 3 into the parameter record, other
// kinds into the server-settings record (port as a number). Each field is
// zeroed, then gets the ANSI text cut to its width (never in the middle of
// a double-byte character). A field whose text equals its text in
// as_loaded (the unit's values as read; may be null) keeps its bytes.
// Nothing is stored on a failed check, nor for kinds other than 3 without
// a valid server-settings record. Returns the check's result.
GprsCheck gprs_store(int kind, uint8_t* param, uint8_t* ss, const GprsTexts& texts,
                     const GprsTexts* as_loaded = nullptr);

// The unit's own five texts as gprs_load read them.
GprsTexts gprs_unit_texts(const GprsValues& values);

// ANSI (GBK) field to UTF-16: up to the first NUL, never past width.
std::u16string ansi_field_text(const uint8_t* field, size_t width);
// UTF-16 to ANSI bytes; characters the code page lacks become '?'.
std::string ansi_from_u16(const std::u16string& text);
// Cuts ANSI text to at most width bytes without splitting a double-byte
// character.
std::string ansi_cut(const std::string& ansi, size_t width);
