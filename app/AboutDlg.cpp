#include "app/AboutDlg.h"

#include "app/window_preload.h"
#include "controls/dialog_units.h"
#include "controls/text_fit.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

#include <algorithm>

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QString::fromUtf8("关于 Trevik"));
    DialogBaseUnits b = dialog_base_units(font());
    auto* icon = new QLabel(this);
    icon->setPixmap(window_icon(QStringLiteral(":/res/trevik.pam")).pixmap(32, 32));
    icon->setGeometry(dialog_units_rect(14, 14, 21, 20, b));
    auto* name = new QLabel(QString::fromUtf8("Trevik，2.0 版"), this);
    name->setGeometry(dialog_units_rect(42, 14, 114, 8, b));
    auto* line = new QLabel(QStringLiteral("Updates and configures GPS speed-camera units"), this);
    line->setGeometry(dialog_units_rect(42, 26, 126, 8, b));
    auto* ok = new QPushButton(QString::fromUtf8("确定"), this);
    ok->setGeometry(dialog_units_rect(113, 41, 50, 14, b));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    // The lines keep their whole text: the box widens for a wider font, and
    // the button keeps its place at the right.
    QSize size = dialog_units_size(170, 62, b);
    int right = 0;
    for (QLabel* l : {name, line}) {
        QRect r = grow_to_text(l, false);
        r.setHeight(std::max(r.height(), l->sizeHint().height()));
        l->setGeometry(r);
        right = std::max(right, r.right() + 1);
    }
    grow_to_text(ok, false);
    int margin = dialog_units_x(7, b);
    int width = std::max(size.width(), right + margin);
    ok->move(width - margin - ok->width(), ok->y());
    setFixedSize(width,
                 std::max(size.height(), ok->geometry().bottom() + 1 + dialog_units_y(7, b)));
}
