// Pictures from the resources at the screen's scale.
#pragma once

#include <QByteArray>
#include <QIcon>
#include <QImage>
#include <QString>

// The icon of path (a PNG) together with its twice-as-large drawing
// (NAME@2x.png beside it) when there is one, so a screen scaled to 200 %
// shows it sharp. A missing file gives a null icon.
QIcon icon_with_2x(const QString& path);

// The same from images already read: one at the icon's size and, when not
// null, one twice as large.
QIcon icon_with_2x(const QImage& one, const QImage& twice);

// The image of a PAM file (netpbm's "P7": a text header naming WIDTH,
// HEIGHT, DEPTH 3 or 4 and MAXVAL 255, ended by ENDHDR, then the rows of
// 8-bit RGB or RGBA samples). The window keeps its drawings so because they
// need no decoding: the image is the bytes after the header, used as they
// are. A header it does not take, or too few bytes, gives a null image.
QImage image_from_pam(const QByteArray& data);

// The image of a file or resource path: a PAM file by image_from_pam, any
// other by its image reader. A missing file gives a null image.
QImage image_from_path(const QString& path);
