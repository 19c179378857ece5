// What the configuration dialog shows for a unit and what its OK changes,
// as plain functions over the copies of the unit's records. The dialog
// binds these to its widgets; tests and the command line use them directly.
#pragma once

#include "config/bands.h"
#include "config/presets.h"

#include <cstdint>
#include <string>
#include <vector>

// Everything the dialog shows, loaded from the record copies.
struct ConfigView {
    std::u16string caption;
    int kind = -1;
    std::vector<BandInfo> bands;
    bool freq_display_visible = false; // check box 1034
    bool freq_display_checked = false;
    bool twelve_hour_visible = false; // check box 1033 is never shown
    bool twelve_hour_checked = false;
    // The unit has the 12-hour clock setting: it goes with the time zone.
    bool twelve_hour_present = false;
    bool time_zone_visible = false; // label 1026 and combo box 1055
    int time_zone = 0;
    bool day_visible = false; // label 1027 and edit 1028
    int day_hour = 0;
    bool night_visible = false; // label 1029 and edit 1030
    int night_hour = 0;
    GprsValues gprs;
};

// Caption: prefix, 14 blanks, the board name (up to 4 characters, stopping
// at a NUL), "    Boot:", boot version, "     Program Version:", program
// version. Board name and program version come from ms (offsets 4, 8),
// else from the parameter record of the kind; zeros when neither is given.
std::u16string config_caption(const std::u16string& prefix, int boot_version, int kind,
                              const uint8_t* param, const uint8_t* ms);

// Loads what the dialog shows. param is required (an empty view with kind
// -1 otherwise); ms and ss may be null.
ConfigView config_view_load(const std::u16string& prefix, int boot_version, int kind,
                            const uint8_t* param, const uint8_t* ms, const uint8_t* ss);

// What the user has in the controls when pressing OK.
struct ConfigInput {
    std::vector<bool> bands; // one per band of the view, in order
    bool freq_display = false;
    bool twelve_hour = false;
    std::u16string time_zone;  // the combo box's edit text
    std::u16string day_hour;   // edit 1028
    std::u16string night_hour; // edit 1030
    GprsTexts gprs;
    // The 12-hour clock was set by name (the dialog never shows its box);
    // stored when the unit has the setting.
    bool twelve_hour_given = false;
    // Leave the unit's GPRS fields exactly as they are: neither checked nor
    // stored.
    bool keep_gprs = false;
};

// The input that leaves everything as loaded, with the GPRS edits as the
// dialog fills them (the selected entry's values).
ConfigInput config_input_from_view(const ConfigView& view);

// The input that changes nothing on the unit: the GPRS texts are the
// unit's own and kept as stored until a GPRS value is given.
ConfigInput config_input_unchanged(const ConfigView& view);

// Outcome of OK: accepted, an hour text that is not an integer, or a GPRS
// text that is too long.
struct ConfigOkResult {
    bool accepted = false;
    std::string message; // UTF-8 text of the message box when refused
};

inline constexpr const char* CONFIG_NOT_INTEGER_MESSAGE = "请输入一个整数。";

// OK: checks the hours (integers), then the GPRS texts, then stores into
// the copies only what the view shows; a GPRS text left as the unit had it
// keeps its bytes. On a refusal both copies stay as they were.
ConfigOkResult config_apply(const ConfigView& view, const ConfigInput& input, uint8_t* param,
                            uint8_t* ss);

// An integer as the hour edits take it: optional blanks, optional sign,
// decimal digits, optional blanks, nothing else, within int. Returns 1 and
// sets *out, or 0.
int config_parse_int(const std::u16string& text, int* out);

// The lenient time zone conversion: leading blanks, tabs, CR and LF
// skipped, one optional sign, digits up to the first other character; 0
// when there are none. Wraps like 32-bit arithmetic, never overflows.
int config_lenient_int(const std::u16string& text);

// Time zone values offered by combo box 1055, "-12" to "13".
inline constexpr int TIME_ZONE_MIN = -12;
inline constexpr int TIME_ZONE_MAX = 13;
