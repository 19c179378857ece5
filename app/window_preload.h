// What the window's first paint waits for, made quick: the font
// configuration is read on a thread of its own beside the rest of the start,
// and the window's drawings are PAM files in the resources, used in place
// with no decoding.
#pragma once

#include <QIcon>
#include <QImage>
#include <QString>

// Starts reading the system's font configuration. Called in main() before
// the application object exists.
void window_preload_fonts();

// Waits for that reading, if it was started. Called before the first text
// is measured: the toolkit would otherwise read the configuration a second
// time beside the first reading.
void window_preload_fonts_wait();

// The image of one of the window's drawings (a resource path). A missing
// file gives a null image.
QImage window_image(const QString& path);

// The icon of a resource path together with its twice-as-large drawing
// (NAME@2x.pam beside it).
QIcon window_icon(const QString& path);

// The window's picture for a screen of this scale: ":/res/picture@2x.pam"
// on a scaled screen, ":/res/picture.pam" otherwise.
QString window_picture_path(qreal devicePixelRatio);

// The resources the window's drawings are in, registered once.
void window_resources_init();
