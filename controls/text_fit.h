// Keeping a control's text whole when the font is wider or taller than the
// one a dialog was laid out for: a box grows to its text, never cuts it.
#pragma once

#include <QRect>
#include <QSize>

class QWidget;

// The size the widget needs to show its whole text: a one-line label or a
// button's size hint; a word-wrapped label's width as it is and the height
// of its wrapped text. Other widgets: their size hint.
QSize text_needed_size(const QWidget* w);

// Grows a one-line label or a button to the width its text needs (a label
// also to its line's height, downwards). With keepRight the right edge
// stays (a label before its field grows to the left), else the left edge.
// Never shrinks; returns the new geometry.
QRect grow_to_text(QWidget* w, bool keepRight);

// Widens a word-wrapped label to the left, down to minLeft at most, until
// its wrapped text fits its height; then fits the height to the text (top
// edge kept), so the label ends where its text ends.
QRect fit_wrapped_label(QWidget* w, int minLeft);
