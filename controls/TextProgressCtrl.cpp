#include "controls/TextProgressCtrl.h"

#include <QPaintEvent>
#include <QPalette>
#include <algorithm>

CMyMemDC::CMyMemDC(QPainter* target, const QRect& rect, bool printer)
    : m_target(target), m_rect(rect), m_buffered(!printer && target && !rect.isEmpty()) {
    if (m_buffered) {
        m_image = QImage(rect.size(), QImage::Format_ARGB32_Premultiplied);
        m_image.fill(Qt::transparent);
        m_memPainter.begin(&m_image);
        // Drawing uses the target's coordinates.
        m_memPainter.translate(-rect.topLeft());
        m_memPainter.setFont(target->font());
    }
}

CMyMemDC::~CMyMemDC() {
    if (m_buffered) {
        m_memPainter.end();
        m_target->drawImage(m_rect.topLeft(), m_image);
    }
}

CTextProgressCtrl::CTextProgressCtrl(QWidget* parent) : QWidget(parent) {
    // Colours are taken from the system once, when the control is built.
    const QPalette& pal = palette();
    m_colFore = pal.color(QPalette::Highlight);
    m_colBk = pal.color(QPalette::Dark);
    m_colTextOverBk = pal.color(QPalette::ButtonText);
    m_colTextOverBar = pal.color(QPalette::Base);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void CTextProgressCtrl::SetRange(int minimum, int maximum) {
    m_nMin = minimum;
    m_nMax = maximum;
}

int CTextProgressCtrl::SetPos(int position) {
    int old = m_nPos;
    m_nPos = position;
    double fraction = static_cast<double>(m_nPos - m_nMin) / static_cast<double>(m_nMax - m_nMin);
    double w = fraction * width();
    // An empty range gives no number; such a bar draws nothing anyway.
    int barWidth = (w == w && w > -1e9 && w < 1e9) ? static_cast<int>(w) : 0;
    if (barWidth != m_nBarWidth) {
        m_nBarWidth = barWidth;
        if (isVisible())
            repaint();
        else
            update();
    }
    return old;
}

void CTextProgressCtrl::SetWindowText(const QString& text) {
    if (text == m_strText)
        return;
    m_strText = text;
    update();
    emit textChanged(m_strText);
}

int CTextProgressCtrl::GetWindowText(char16_t* buffer, int size) const {
    if (!buffer || size <= 0)
        return 0;
    int n = std::min<int>(size - 1, m_strText.size());
    for (int i = 0; i < n; ++i)
        buffer[i] = m_strText.at(i).unicode();
    buffer[n] = 0;
    return std::min<int>(size, m_strText.size());
}

void CTextProgressCtrl::SetShowText(bool show) {
    if (show != m_bShowText) {
        m_bShowText = show;
        update();
    }
}

QString CTextProgressCtrl::PercentText(int minimum, int maximum, int position) {
    if (maximum <= minimum)
        return QString();
    double fraction = static_cast<double>(position - minimum) / (maximum - minimum);
    return QStringLiteral("%1%").arg(static_cast<int>(fraction * 100.0));
}

void CTextProgressCtrl::paintEvent(QPaintEvent*) {
    ++m_paintCount;
    QPainter target(this);
    QRect r = rect();
    CMyMemDC memDC(&target, r);
    QPainter* p = memDC.painter();
    // An empty range is a bar with nothing done yet: all of it the empty
    // part, with the caption (the stage a run is in) but no percentage.
    if (m_nMax <= m_nMin) {
        p->fillRect(r, m_colBk);
        if (m_bShowText && !m_strText.isEmpty()) {
            p->setFont(font());
            p->setPen(m_colTextOverBk);
            p->drawText(r, Qt::AlignCenter | Qt::TextSingleLine, m_strText);
        }
        return;
    }
    double fraction = static_cast<double>(m_nPos - m_nMin) / (m_nMax - m_nMin);

    int doneRight = r.left() + static_cast<int>(r.width() * fraction);
    QRect left = r;
    left.setRight(std::clamp(doneRight, r.left(), r.right() + 1) - 1);
    QRect right = r;
    right.setLeft(std::clamp(doneRight, r.left(), r.right() + 1));
    if (left.width() > 0)
        p->fillRect(left, m_colFore);
    if (right.width() > 0)
        p->fillRect(right, m_colBk);

    if (m_bShowText) {
        QString str = m_strText.isEmpty() ? PercentText(m_nMin, m_nMax, m_nPos) : m_strText;
        p->setFont(font());
        p->save();
        p->setClipRect(left);
        p->setPen(m_colTextOverBar);
        p->drawText(r, Qt::AlignCenter | Qt::TextSingleLine, str);
        p->setClipRect(right);
        p->setPen(m_colTextOverBk);
        p->drawText(r, Qt::AlignCenter | Qt::TextSingleLine, str);
        p->restore();
    }
}

void CTextProgressCtrl::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    m_nBarWidth = -1;
}
