// Radar bands: the fixed table of the fixed-band record kinds (1 and 2),
// the five band groups that kinds 3 to 5 describe in the record, the check
// box texts, identifiers and placement, loading and storing the enables.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

inline constexpr int FIXED_BAND_COUNT = 12;
// Band names of the fixed table, "X Band" ... "Laser Band".
extern const char16_t* const FIXED_BAND_NAMES[FIXED_BAND_COUNT];
// Lower and upper edge of each fixed band, MHz.
extern const int32_t FIXED_BAND_EDGES[FIXED_BAND_COUNT][2];

inline constexpr int BAND_GROUP_COUNT = 5;
// "X", "Ku", "K", "Ka", "Laser": the groups of kinds 3 to 5 in record order.
extern const char* const BAND_GROUP_NAMES[BAND_GROUP_COUNT];

// The first band check box gets this control id, band i gets 100 + i.
inline constexpr int BAND_CHECKBOX_FIRST_ID = 100;
// Pixels between one band check box's bottom and the next one's top.
inline constexpr int BAND_ROW_GAP = 15;

struct BandInfo {
    std::string text;      // check box text, e.g. "K1 Band(24.060~24.410)"
    int id = 0;            // control id, 100 + index
    int enable_offset = 0; // record byte of its enable
    int lower_mhz = 0;
    int upper_mhz = 0;
    bool checked = false; // enable byte non-zero
};

// Check box text of one band: name followed by "(%.03f~%.03f)" of the edges
// in GHz.
std::string band_text(const std::string& name, int lower_mhz, int upper_mhz);

// The five group counts as the dialog uses them: negative counts count as
// 0, and the total is cut at param_band_capacity(kind) so that no enable or
// frequency entry lies outside the record. All zeros for kinds outside 3..5
// or a null record.
void band_group_counts(const uint8_t* rec, int kind, int counts[BAND_GROUP_COUNT]);

// The bands of a parameter record in check box order, with their texts and
// states; empty for a null record or a kind outside 1..5. Never more than
// the record holds enables, never a frequency entry read past byte 255.
std::vector<BandInfo> bands_load(const uint8_t* rec, int kind);

// Writes each band's state back to its enable byte as 1 or 0 (checked has
// one entry per band of bands_load; extra entries are ignored, missing
// ones leave their bytes unchanged). Counts and frequencies are never
// written. Returns the number of bytes written; 0 for null or a bad kind.
int bands_store(uint8_t* rec, int kind, const std::vector<bool>& checked);

// Index of the band that starts the second column: 6 for kinds 1 and 2,
// 7 for kinds 3 to 5.
int band_second_column_start(int kind);

struct BandRect {
    int x = 0, y = 0, w = 0, h = 0;
};
// Rectangle of band index i from the two marker rectangles (1013 first
// column, 1014 second column): each band sits under the previous one,
// BAND_ROW_GAP pixels below its bottom, with first's height.
BandRect band_rect(int index, int kind, const BandRect& first, const BandRect& second);
