#include "controls/GroupFrame.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionGroupBox>
#include <QStylePainter>

#include <algorithm>

namespace {
// The style's room above a frame without a title.
constexpr int TOP_MARGIN = 3;
} // namespace

void CGroupFrame::paintEvent(QPaintEvent* event) {
    // Only the default style draws its frame from a picture; any other
    // style draws the whole box as it always does.
    if (style()->name() != QLatin1String("fusion")) {
        QGroupBox::paintEvent(event);
        return;
    }
    QStylePainter painter(this);
    QStyleOptionGroupBox option;
    initStyleOption(&option);
    QRect box =
        style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxFrame, this);
    int top = TOP_MARGIN;
    if (isCheckable() || !title().isEmpty())
        top += std::max(style()->pixelMetric(QStyle::PM_ExclusiveIndicatorHeight, &option, this),
                        option.fontMetrics.height());
    // The line runs through the middle of the frame's second pixel from the
    // left and the top and of its last pixel on the right and the bottom.
    QRectF line = QRectF(box.adjusted(0, top, 0, 0)).adjusted(1.5, 1.5, -0.5, -0.5);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    // A faint shade inside, a little deeper along the line, and a light
    // grey line with rounded corners.
    painter.setPen(QPen(QColor(0, 0, 0, 5), 1));
    painter.setBrush(QColor(0, 0, 0, 3));
    painter.drawRect(line.adjusted(1, 1, -1, -1));
    painter.setPen(QPen(QColor(0x75, 0x75, 0x75, 0x32), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(line, 1.2, 1.2);
    painter.restore();
    // The title (and a check box) as the style draws them.
    option.subControls &= ~QStyle::SC_GroupBoxFrame;
    painter.drawComplexControl(QStyle::CC_GroupBox, option);
}
