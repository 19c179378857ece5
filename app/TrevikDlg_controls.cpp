// The window's controls: their layout, the lookup by control id, the
// buttons' tooltips and the keyboard.
#include "app/TrevikDlg.h"

#include "controls/ButtonST.h"
#include "controls/ElideLabel.h"
#include "controls/GroupFrame.h"
#include "controls/TextProgressCtrl.h"
#include "controls/dialog_units.h"
#include "controls/text_fit.h"

#include <QContextMenuEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>

void CTrevikDlg::BuildControls() {
    DialogBaseUnits b = dialog_base_units(font());
    setFixedSize(dialog_units_size(282, 250, b));

    m_picture = new QLabel(this);
    m_picture->setObjectName(QStringLiteral("1031"));
    m_picture->setAlignment(Qt::AlignCenter);
    m_picture->setGeometry(dialog_units_rect(0, 0, 282, 134, b));

    m_groupFile = new CGroupFrame(this);
    m_groupFile->setObjectName(QStringLiteral("1012"));
    m_groupFile->setGeometry(dialog_units_rect(0, 136, 282, 36, b));

    m_status = new CElideLabel(this);
    m_status->setObjectName(QStringLiteral("1032"));
    m_status->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_status->setGeometry(dialog_units_rect(12, 148, 210, 18, b));

    m_btnOpen = new CShadeButtonST(this);
    m_btnOpen->setObjectName(QStringLiteral("1006"));
    m_btnOpen->setGeometry(dialog_units_rect(228, 146, 42, 20, b));

    m_groupProgress = new CGroupFrame(this);
    m_groupProgress->setObjectName(QStringLiteral("1011"));
    m_groupProgress->setGeometry(dialog_units_rect(0, 173, 282, 36, b));

    m_progress = new CTextProgressCtrl(this);
    m_progress->setObjectName(QStringLiteral("1007"));
    m_progress->setGeometry(dialog_units_rect(12, 185, 258, 16, b));

    m_btnSetting = new CShadeButtonST(this);
    m_btnSetting->setObjectName(QStringLiteral("1000"));
    m_btnSetting->setGeometry(dialog_units_rect(3, 215, 84, 28, b));

    m_btnUpdate = new CShadeButtonST(this);
    m_btnUpdate->setObjectName(QStringLiteral("1002"));
    m_btnUpdate->setGeometry(dialog_units_rect(96, 215, 84, 28, b));

    m_btnClose = new CShadeButtonST(this);
    m_btnClose->setObjectName(QStringLiteral("1008"));
    m_btnClose->setGeometry(dialog_units_rect(194, 215, 84, 28, b));

    // The group boxes lie behind the controls inside them.
    m_groupFile->lower();
    m_groupProgress->lower();

    connect(m_btnUpdate, &QAbstractButton::clicked, this, &CTrevikDlg::OnClickUpdate);
    connect(m_btnOpen, &QAbstractButton::clicked, this, &CTrevikDlg::OnClickOpen);
    connect(m_btnClose, &QAbstractButton::clicked, this, &CTrevikDlg::OnClickClose);
    connect(m_btnSetting, &QAbstractButton::clicked, this, &CTrevikDlg::OnClickSetting);
}

void CTrevikDlg::FitButtons() {
    // A caption wider than its room beside the icon widens its button: Open
    // to the left, taking the room from the path before it.
    for (int id : {IDC_SETTING, IDC_UPDATE, IDC_CLOSE})
        grow_to_text(Button(id), false);
    QRect open = grow_to_text(m_btnOpen, true);
    QRect status = m_status->geometry();
    int gap = dialog_units_x(6, dialog_base_units(font()));
    if (status.right() >= open.left() - gap)
        status.setRight(open.left() - gap - 1);
    m_status->setGeometry(status);
}

CShadeButtonST* CTrevikDlg::Button(int id) const {
    switch (id) {
    case IDC_OPEN:
        return m_btnOpen;
    case IDC_UPDATE:
        return m_btnUpdate;
    case IDC_CLOSE:
        return m_btnClose;
    case IDC_SETTING:
        return m_btnSetting;
    default:
        return nullptr;
    }
}

QWidget* CTrevikDlg::Control(int id) const {
    switch (id) {
    case IDC_PICTURE:
        return m_picture;
    case IDC_GROUP_FILE:
        return m_groupFile;
    case IDC_STATUS:
        return m_status;
    case IDC_GROUP_PROGRESS:
        return m_groupProgress;
    case IDC_PROGRESS:
        return m_progress;
    default:
        return Button(id);
    }
}

void CTrevikDlg::keyPressEvent(QKeyEvent* event) {
    // Escape ends the window as its Close button does; Enter is the focused
    // button's (a dialog would otherwise look for a default button).
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        event->accept();
        OnClickClose();
        return;
    }
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->ignore();
        return;
    }
    // Shift+F10 opens the context menu as the Menu key does, at the focused
    // control.
    if (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier) {
        event->accept();
        QWidget* at = focusWidget() ? focusWidget() : this;
        QPoint local = at->rect().center();
        QContextMenuEvent menu(QContextMenuEvent::Keyboard, at->mapTo(this, local),
                               at->mapToGlobal(local));
        contextMenuEvent(&menu);
        return;
    }
    QDialog::keyPressEvent(event);
}

void CTrevikDlg::PlaceStartFocus() {
    // The first Enter does what the window is there for: Update once a
    // package and a unit are there, else Open; never Close. The buttons
    // change as the unit is attached and its version is checked; the focus
    // follows them until the user has pressed a key or a button.
    if (!m_startFocus || IsUpdating())
        return;
    if (m_btnUpdate->isEnabled())
        m_btnUpdate->setFocus();
    else if (m_btnOpen->isEnabled())
        m_btnOpen->setFocus();
}

QString CTrevikDlg::ButtonTip(int id) const {
    ButtonTipState s;
    QWidget* b = Button(id);
    s.enabled = b && b->isEnabled();
    s.connected = IsConnected();
    s.updating = IsUpdating();
    s.package = !m_packagePath.isEmpty() ||
                (m_vc.list_form ? !m_vc.online_list.empty() : !m_vc.package_url.empty());
    s.checking = m_vc.version_check == 1;
    return QString::fromStdString(trevik_button_tip(id, s));
}

bool CTrevikDlg::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress || event->type() == QEvent::MouseButtonPress)
        m_startFocus = false;
    if (event->type() == QEvent::ToolTip) {
        for (int id : {IDC_OPEN, IDC_UPDATE, IDC_SETTING, IDC_CLOSE})
            if (watched == Button(id))
                Button(id)->setToolTip(ButtonTip(id));
    }
    return QDialog::eventFilter(watched, event);
}
