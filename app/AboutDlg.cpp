#include "app/AboutDlg.h"

#include "app/dialog_units.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QString::fromUtf8("关于 Trevik"));
    DialogBaseUnits b = dialog_base_units(font());
    setFixedSize(dialog_units_size(170, 62, b));
    auto* icon = new QLabel(this);
    icon->setPixmap(QIcon(QStringLiteral(":/res/trevik.png")).pixmap(32, 32));
    icon->setGeometry(dialog_units_rect(14, 14, 21, 20, b));
    auto* name = new QLabel(QString::fromUtf8("Trevik，2.0 版"), this);
    name->setGeometry(dialog_units_rect(42, 14, 114, 8, b));
    auto* line = new QLabel(QStringLiteral("Updates and configures GPS speed-camera units"), this);
    line->setGeometry(dialog_units_rect(42, 26, 126, 8, b));
    auto* ok = new QPushButton(QString::fromUtf8("确定"), this);
    ok->setGeometry(dialog_units_rect(113, 41, 50, 14, b));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
