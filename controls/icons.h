// Pictures from the resources at the screen's scale.
#pragma once

#include <QIcon>
#include <QString>

// The icon of path (a PNG) together with its twice-as-large drawing
// (NAME@2x.png beside it) when there is one, so a screen scaled to 200 %
// shows it sharp. A missing file gives a null icon.
QIcon icon_with_2x(const QString& path);
