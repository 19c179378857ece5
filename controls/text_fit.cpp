#include "controls/text_fit.h"

#include <QLabel>
#include <QWidget>

#include <algorithm>

QSize text_needed_size(const QWidget* w) {
    if (!w)
        return QSize();
    if (auto* label = qobject_cast<const QLabel*>(w); label && label->wordWrap())
        return QSize(label->width(), label->heightForWidth(label->width()));
    return w->sizeHint();
}

QRect grow_to_text(QWidget* w, bool keepRight) {
    if (!w)
        return QRect();
    QRect r = w->geometry();
    QSize need = text_needed_size(w);
    if (need.width() > r.width()) {
        if (keepRight)
            r.setLeft(r.right() + 1 - need.width());
        else
            r.setWidth(need.width());
    }
    // A label also grows downwards to its line's height; a button's height
    // hint holds frame and margins its text does not need.
    if (qobject_cast<QLabel*>(w) && need.height() > r.height())
        r.setHeight(need.height());
    w->setGeometry(r);
    return r;
}

QRect fit_wrapped_label(QWidget* w, int minLeft) {
    auto* label = qobject_cast<QLabel*>(w);
    if (!label)
        return w ? w->geometry() : QRect();
    QRect r = label->geometry();
    while (label->heightForWidth(r.width()) > r.height() && r.left() > minLeft)
        r.setLeft(std::max(minLeft, r.left() - 4));
    r.setHeight(std::max(label->heightForWidth(r.width()), label->fontMetrics().height()));
    label->setGeometry(r);
    return r;
}
