#include "controls/ElideLabel.h"

#include <QEvent>
#include <QPainter>
#include <QStyle>

QString CElideLabel::DisplayText() const {
    return fontMetrics().elidedText(text(), Qt::ElideMiddle, contentsRect().width());
}

QSize CElideLabel::minimumSizeHint() const {
    // Any width will do: the text is elided to it.
    return QSize(0, QLabel::minimumSizeHint().height());
}

bool CElideLabel::event(QEvent* e) {
    // The tooltip is asked for at the moment it is shown, so it follows the
    // current text and width.
    if (e->type() == QEvent::ToolTip)
        setToolTip(IsElided() ? text() : QString());
    return QLabel::event(e);
}

void CElideLabel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    style()->drawItemText(&p, contentsRect(), static_cast<int>(alignment()), palette(), isEnabled(),
                          DisplayText(), foregroundRole());
}
