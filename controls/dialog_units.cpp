#include "controls/dialog_units.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <algorithm>

DialogBaseUnits dialog_base_units(const QFont& font) {
    QFontMetrics fm(font);
    DialogBaseUnits b;
    int w = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    b.x = (w / 26 + 1) / 2;
    b.y = fm.height();
    if (b.x <= 0)
        b.x = 6;
    if (b.y <= 0)
        b.y = 13;
    return b;
}

namespace {
int mul_div(int v, int mul, int div) {
    long long p = static_cast<long long>(v) * mul;
    return static_cast<int>(p >= 0 ? (p + div / 2) / div : (p - div / 2) / div);
}
} // namespace

int dialog_units_x(int du, const DialogBaseUnits& base) {
    return mul_div(du, base.x, 4);
}
int dialog_units_y(int du, const DialogBaseUnits& base) {
    return mul_div(du, base.y, 8);
}

QRect dialog_units_rect(int x, int y, int w, int h, const DialogBaseUnits& base) {
    return QRect(dialog_units_x(x, base), dialog_units_y(y, base), dialog_units_x(w, base),
                 dialog_units_y(h, base));
}

QSize dialog_units_size(int w, int h, const DialogBaseUnits& base) {
    return QSize(dialog_units_x(w, base), dialog_units_y(h, base));
}

QSize dialog_available_size(const QWidget* w) {
    QScreen* screen = w ? w->screen() : nullptr;
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return QSize(1 << 20, 1 << 20);
    QSize room = screen->availableGeometry().size();
    // The frame is not known before the window is shown: allow for a title
    // bar and thin borders.
    return QSize(room.width() - 16, room.height() - 48);
}

double dialog_fit_factor(const QSize& natural, const QSize& room) {
    if (natural.isEmpty() || room.isEmpty())
        return 1.0;
    double f =
        std::min(double(room.width()) / natural.width(), double(room.height()) / natural.height());
    return std::min(1.0, f);
}
