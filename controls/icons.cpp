#include "controls/icons.h"

#include <QFile>

QIcon icon_with_2x(const QString& path) {
    if (!QFile::exists(path))
        return QIcon();
    QIcon icon(path);
    int dot = path.lastIndexOf(QLatin1Char('.'));
    QString twice = dot < 0 ? path + QStringLiteral("@2x")
                            : path.left(dot) + QStringLiteral("@2x") + path.mid(dot);
    if (QFile::exists(twice))
        icon.addFile(twice);
    return icon;
}
