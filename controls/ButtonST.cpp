#include "controls/ButtonST.h"

#include <QApplication>
#include <QEnterEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionButton>

namespace {

QPixmap grey_pixmap(const QPixmap& src) {
    QImage img = src.toImage().convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < img.height(); ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(img.scanLine(y));
        for (int x = 0; x < img.width(); ++x) {
            int g = qGray(line[x]);
            line[x] = qRgba(g, g, g, qAlpha(line[x]));
        }
    }
    return QPixmap::fromImage(img);
}

} // namespace

CButtonST::CButtonST(QWidget* parent) : QAbstractButton(parent) {
    setMouseTracking(true);
    setAttribute(Qt::WA_Hover, false);
    const QPalette& pal = palette();
    m_crColors[BTNST_COLOR_BK_IN] = pal.color(QPalette::Button);
    m_crColors[BTNST_COLOR_FG_IN] = pal.color(QPalette::ButtonText);
    m_crColors[BTNST_COLOR_BK_OUT] = pal.color(QPalette::Button);
    m_crColors[BTNST_COLOR_FG_OUT] = pal.color(QPalette::ButtonText);
}

void CButtonST::SetIcon(const QIcon& iconIn, const QIcon& iconOut, int size) {
    m_iconIn = iconIn;
    m_iconOut = iconOut;
    m_iconSize = size > 0 ? size : 32;
    update();
}

void CButtonST::SetIconGreyOut(const QIcon& iconIn, int size) {
    int s = size > 0 ? size : 32;
    QIcon grey;
    if (!iconIn.isNull())
        grey = QIcon(grey_pixmap(iconIn.pixmap(s, s)));
    SetIcon(iconIn, grey, s);
}

void CButtonST::SetColor(ColorIndex index, QColor colour) {
    m_crColors[index] = colour;
    update();
}

QColor CButtonST::GetColor(ColorIndex index) const {
    return m_crColors[index];
}

void CButtonST::SetMnemonic(int index) {
    QString t = text();
    if (index < 0 || index >= t.size() || !t[index].isLetterOrNumber()) {
        m_mnemonic = -1;
        setShortcut(QKeySequence());
    } else {
        m_mnemonic = index;
        setShortcut(QKeySequence::mnemonic(QStringLiteral("&") + t[index]));
    }
    update();
}

QIcon CButtonST::CurrentIcon() const {
    if (!isDown() && !m_bMouseOnButton && !m_iconOut.isNull())
        return m_iconOut;
    return m_iconIn;
}

QSize CButtonST::sizeHint() const {
    // The room paintEvent gives: the icon 4 pixels in and 2 before the
    // caption, the caption 3 pixels inside each edge, one more for the
    // shift while pressed.
    QFontMetrics fm(font());
    int h = std::max(height(), fm.height() + 7);
    int caption = fm.horizontalAdvance(text()) + 3 + 1;
    if (m_iconIn.isNull())
        return QSize(3 + caption, h);
    return QSize(4 + std::min(m_iconSize, h - 4) + 2 + caption, h);
}

void CButtonST::SetMouseOver(bool over) {
    if (over == m_bMouseOnButton)
        return;
    m_bMouseOnButton = over;
    update();
}

void CButtonST::mouseMoveEvent(QMouseEvent* event) {
    QAbstractButton::mouseMoveEvent(event);
    if (!m_bIsFlat || !isEnabled())
        return;
    bool inside = rect().contains(event->position().toPoint());
    // Moving in with the left button held does not start hovering.
    if (inside && !m_bMouseOnButton && (event->buttons() & Qt::LeftButton))
        return;
    SetMouseOver(inside && QApplication::activeWindow() != nullptr);
}

void CButtonST::enterEvent(QEnterEvent* event) {
    QAbstractButton::enterEvent(event);
    if (!m_bIsFlat || !isEnabled())
        return;
    if (QApplication::mouseButtons() & Qt::LeftButton)
        return;
    if (QApplication::activeWindow() != nullptr)
        SetMouseOver(true);
}

void CButtonST::leaveEvent(QEvent* event) {
    QAbstractButton::leaveEvent(event);
    SetMouseOver(false);
}

void CButtonST::mouseDoubleClickEvent(QMouseEvent* event) {
    // A double click counts as a single click.
    mousePressEvent(event);
}

void CButtonST::changeEvent(QEvent* event) {
    QAbstractButton::changeEvent(event);
    if (event->type() == QEvent::EnabledChange && !isEnabled())
        SetMouseOver(false);
}

void CButtonST::keyPressEvent(QKeyEvent* event) {
    // Enter presses the button that has the focus, as Space does.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        event->modifiers() == Qt::NoModifier) {
        if (isEnabled())
            animateClick();
        event->accept();
        return;
    }
    QAbstractButton::keyPressEvent(event);
}

void CButtonST::DrawBackground(QPainter* p, const QRect& r) {
    p->fillRect(r,
                m_bMouseOnButton ? m_crColors[BTNST_COLOR_BK_IN] : m_crColors[BTNST_COLOR_BK_OUT]);
}

void CButtonST::DrawBorder(QPainter* p, const QRect& r) {
    if (!m_bIsFlat || !m_bDrawBorder)
        return;
    bool pressed = isDown();
    if (!pressed && !m_bMouseOnButton)
        return;
    QColor hi = palette().color(QPalette::Light);
    QColor sh = palette().color(QPalette::Dark);
    // Raised while hovering, sunken while pressed.
    QColor topLeft = pressed ? sh : hi;
    QColor bottomRight = pressed ? hi : sh;
    p->setPen(topLeft);
    p->drawLine(r.topLeft(), r.topRight());
    p->drawLine(r.topLeft(), r.bottomLeft());
    p->setPen(bottomRight);
    p->drawLine(r.bottomLeft(), r.bottomRight());
    p->drawLine(r.topRight(), r.bottomRight());
}

void CButtonST::paintEvent(QPaintEvent*) {
    QPainter p(this);
    QRect r = rect();
    bool pressed = isDown();
    bool disabled = !isEnabled();

    DrawBackground(&p, r);
    DrawBorder(&p, r);

    // Icon on the left, caption centred in the space beside it.
    QRect captionRect = r.adjusted(3, 3, -3, -3);
    QIcon icon = CurrentIcon();
    if (!icon.isNull()) {
        int s = std::min(m_iconSize, r.height() - 4);
        QRect iconRect(r.left() + 4, r.top() + (r.height() - s) / 2, s, s);
        captionRect.setLeft(iconRect.right() + 2);
        if (pressed)
            iconRect.translate(1, 1);
        icon.paint(&p, iconRect, Qt::AlignCenter, disabled ? QIcon::Disabled : QIcon::Normal);
    }
    if (pressed)
        captionRect.translate(1, 1);
    m_lastCaptionRect = captionRect;
    int flags = Qt::AlignCenter | Qt::TextWordWrap;
    // The mnemonic letter is drawn underlined where the desktop shows them.
    QString caption = text();
    if (m_mnemonic >= 0 && m_mnemonic < caption.size()) {
        caption.replace(QLatin1Char('&'), QLatin1String("&&"));
        caption.insert(m_mnemonic + static_cast<int>(text().left(m_mnemonic).count('&')),
                       QLatin1Char('&'));
        flags |= style()->styleHint(QStyle::SH_UnderlineShortcut, nullptr, this)
                     ? Qt::TextShowMnemonic
                     : Qt::TextHideMnemonic;
    }
    p.setFont(font());
    if (disabled) {
        // Embossed: highlight offset by one pixel, then shadow.
        p.setPen(palette().color(QPalette::Light));
        p.drawText(captionRect.translated(1, 1), flags, caption);
        p.setPen(palette().color(QPalette::Dark));
        p.drawText(captionRect, flags, caption);
    } else {
        p.setPen(m_bMouseOnButton || pressed ? m_crColors[BTNST_COLOR_FG_IN]
                                             : m_crColors[BTNST_COLOR_FG_OUT]);
        p.drawText(captionRect, flags, caption);
    }

    if (hasFocus() && (!m_bIsFlat || m_bDrawFlatFocus)) {
        // A dotted rectangle inset by 3 pixels in the caption's colour, so it
        // shows on every part of the shaded picture.
        QPen pen(m_crColors[BTNST_COLOR_FG_OUT], 1, Qt::DotLine);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        p.drawRect(r.adjusted(3, 3, -4, -4));
    }
}

CShadeButtonST::CShadeButtonST(QWidget* parent) : CButtonST(parent) {}

void CShadeButtonST::SetShade(int, int granularity, int highlight, int coloring, QColor colour) {
    int w = width(), h = height();
    if (!m_dNormal.Create(w, h, 8)) {
        m_dOver.Clear();
        m_dDown.Clear();
        return;
    }
    const QPalette& pal = palette();
    QColor face = pal.color(QPalette::Button);
    QColor shadow = pal.color(QPalette::Dark);
    QColor hilight = pal.color(QPalette::Light);

    auto mix = [](QColor a, QColor b, int i) {
        return QColor(((128 - i) * a.red() + i * b.red()) / 128,
                      ((128 - i) * a.green() + i * b.green()) / 128,
                      ((128 - i) * a.blue() + i * b.blue()) / 128);
    };
    for (int i = 0; i <= 128; ++i)
        m_dNormal.SetPaletteIndex(i, mix(shadow, face, i));
    for (int i = 1; i < 128; ++i)
        m_dNormal.SetPaletteIndex(127 + i, mix(face, hilight, i));
    // Entry 255 (i = 128) is the highlight itself.
    m_dNormal.SetPaletteIndex(255, hilight);

    if (coloring > 0)
        m_dNormal.BlendPalette(colour, coloring);

    // A fixed seed keeps the grain the same from one start to the next.
    uint32_t seed = 0x2F6B1D3u;
    int grain = granularity > 0 ? granularity : 0;
    for (int y = 0; y < h; ++y) {
        int k = 239 * y / h + 8;
        for (int x = 0; x < w; ++x) {
            seed = seed * 1103515245u + 12345u;
            int rnd = static_cast<int>((seed >> 16) & 0x7FFF) / 2047; // 0..16
            int r = grain ? rnd * grain / 8 : 0;
            int v = std::clamp(k + r - grain, 0, 255);
            m_dNormal.SetPixelIndex(x, y, static_cast<uint8_t>(v));
        }
    }
    m_dOver.Clone(m_dNormal);
    m_dOver.BlendPalette(hilight, highlight);
    m_dDown.Clone(m_dOver);
    update();
}

void CShadeButtonST::DrawBackground(QPainter* p, const QRect& r) {
    if (!m_dNormal.IsValid()) {
        CButtonST::DrawBackground(p, r);
        return;
    }
    if (!IsMouseOver()) {
        m_lastBackground = 0;
        m_dNormal.Draw(p, 0, 0);
    } else if (isDown()) {
        m_lastBackground = 2;
        m_dDown.Draw(p, 1, 1);
    } else {
        m_lastBackground = 1;
        m_dOver.Draw(p, 0, 0);
    }
}
