#include "controls/icons.h"

#include <QFile>
#include <QPixmap>
#include <QResource>

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

QIcon icon_with_2x(const QImage& one, const QImage& twice) {
    QIcon icon;
    // Pixmaps given directly: no icon engine is looked for by file type.
    if (!one.isNull())
        icon.addPixmap(QPixmap::fromImage(one));
    if (!twice.isNull())
        icon.addPixmap(QPixmap::fromImage(twice));
    return icon;
}

namespace {
// Largest side taken from a header: far beyond any drawing of the window,
// small enough that a row and the whole image stay well inside an int.
constexpr int PAM_MAX_SIDE = 8192;

// A whole number of at most PAM_MAX_SIDE, written in decimal.
bool pam_number(const QByteArray& text, int* value) {
    if (text.isEmpty() || text.size() > 5)
        return false;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    *value = v;
    return true;
}
} // namespace

QImage image_from_pam(const QByteArray& data) {
    // The header: lines of "KEY VALUE" after "P7", ended by "ENDHDR".
    static const char END[] = "\nENDHDR\n";
    if (!data.startsWith("P7\n"))
        return QImage();
    qsizetype end = data.indexOf(END);
    // A header is a few short lines.
    if (end < 0 || end > 256)
        return QImage();
    qsizetype body = end + qsizetype(sizeof END - 1);
    int width = -1, height = -1, depth = -1, maxval = -1;
    for (const QByteArray& line : data.mid(3, end - 3).split('\n')) {
        QList<QByteArray> words = line.simplified().split(' ');
        if (words.size() == 1 && words[0].isEmpty())
            continue;
        if (words.size() != 2)
            return QImage();
        int* field = words[0] == "WIDTH"    ? &width
                     : words[0] == "HEIGHT" ? &height
                     : words[0] == "DEPTH"  ? &depth
                     : words[0] == "MAXVAL" ? &maxval
                                            : nullptr;
        if (words[0] == "TUPLTYPE")
            continue;
        if (!field || !pam_number(words[1], field))
            return QImage();
    }
    if (width < 1 || height < 1 || width > PAM_MAX_SIDE || height > PAM_MAX_SIDE || maxval != 255 ||
        (depth != 3 && depth != 4))
        return QImage();
    qsizetype row = qsizetype(width) * depth;
    if (data.size() - body < row * height)
        return QImage();
    // The image uses the bytes in place and holds the array they are in.
    auto* keep = new QByteArray(data);
    return QImage(
        reinterpret_cast<const uchar*>(keep->constData() + body), width, height, row,
        depth == 3 ? QImage::Format_RGB888 : QImage::Format_RGBA8888,
        [](void* held) { delete static_cast<QByteArray*>(held); }, keep);
}

QImage image_from_path(const QString& path) {
    if (!QFile::exists(path))
        return QImage();
    if (!path.endsWith(QLatin1String(".pam")))
        return QImage(path);
    if (path.startsWith(QLatin1Char(':')))
        return image_from_pam(QResource(path).uncompressedData());
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QImage();
    return image_from_pam(file.readAll());
}
