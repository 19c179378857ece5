// Dialog templates are laid out in dialog units: a quarter of the dialog
// font's average character width horizontally, an eighth of its height
// vertically. These turn them into pixels the same way.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

struct DialogBaseUnits {
    int x = 6;  // average width of "A".."Z" "a".."z" in pixels, rounded
    int y = 13; // character height in pixels
};

// The base units of font.
DialogBaseUnits dialog_base_units(const QFont& font);

// Rounded as the system's MulDiv does: (v * base + divisor / 2) / divisor.
int dialog_units_x(int du, const DialogBaseUnits& base);
int dialog_units_y(int du, const DialogBaseUnits& base);

// A template rectangle (x, y, width, height in dialog units) in pixels.
QRect dialog_units_rect(int x, int y, int w, int h, const DialogBaseUnits& base);
QSize dialog_units_size(int w, int h, const DialogBaseUnits& base);

class QWidget;

// Room for a dialog on the screen it will show on: the screen's available
// area less the window frame (title bar and borders) the desktop adds.
QSize dialog_available_size(const QWidget* w);

// The factor (at most 1) that scales a dialog of natural size into room,
// keeping its proportions.
double dialog_fit_factor(const QSize& natural, const QSize& room);
