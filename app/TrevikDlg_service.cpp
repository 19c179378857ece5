// The unit's services besides the update: the settings dialog, the system
// menu's commands (about box, device information and server data read-outs)
// and the context menu.
#include "app/TrevikDlg.h"

#include "app/AboutDlg.h"
#include "app/prompter.h"
#include "app/window_config_prompter.h"
#include "common_t73/QV_Machine.h"
#include "common_t73/QV_Service.h"
#include "config/ConfigDialog.h"
#include "config/config_run.h"
#include "config/machine_unit.h"
#include "support/build_settings.h"
#include "update/unit_backup.h"
#include "update/update_history.h"
#include "support/text.h"

#include <QContextMenuEvent>
#include <QMenu>

void CTrevikDlg::OnClickSetting() {
    MachineConfigUnit unit(IsConnected() ? m_machine : nullptr);
    WindowConfigPrompter prompter(m_prompter, this);
    CConfigDialog dialog(this);
    ConfigEditor editor = [this, &dialog](const ConfigEditArgs& a) {
        return m_prompter->runDialog(QStringLiteral("CConfigDialog"), [&] {
            return dialog.RunForUnit(QString::fromStdU16String(a.title_prefix), a.boot_version,
                                     a.kind, a.param, a.main_setting, a.server_settings);
        });
    };
    ConfigWrites writes;
    config_run(unit, prompter, editor, nullptr, &writes);
    // What the unit holds now are the user's settings, not its defaults.
    if (writes.param == 1)
        unit_backup_note_settings_written(m_machine, unit_backups_root(trevik_state_directory()));
}

void CTrevikDlg::OnSysCommand(uint32_t id) {
    // The read-outs would share the unit's channel with a running update.
    if (IsUpdating() && (id == ID_SAVE_DEVICE_INFO || id == ID_READ_SERVER_DATA))
        return;
    if ((id & 0xFFF0) == SC_ABOUTBOX) {
        m_prompter->runDialog(QStringLiteral("CAboutDlg"), [this] {
            CAboutDlg about(this);
            return about.exec();
        });
    } else if (id == ID_SAVE_DEVICE_INFO) {
        SaveDeviceInfo();
    } else if (id == ID_READ_SERVER_DATA) {
        ReadServerData();
    }
}

QString CTrevikDlg::SystemMenuText() const {
    char16_t name[64] = {};
    ansi_to_wtext(name, 64, TOOL_CUSTOMER_NAME, static_cast<int>(TOOL_CUSTOMER_NAME_LEN));
    return QString::fromStdU16String(name) + QStringLiteral("Version") +
           QString::number(TOOL_VERSION);
}

void CTrevikDlg::contextMenuEvent(QContextMenuEvent* event) {
    // The system menu's item: the customer and the tool's version.
    QMenu menu(this);
    menu.addAction(SystemMenuText());
    // The way back after an update reset the unit's settings.
    QAction* restore = menu.addAction(RestoreMenuText());
    restore->setEnabled(IsConnected() && !IsUpdating());
    connect(restore, &QAction::triggered, this, &CTrevikDlg::OnRestoreSettings);
    menu.exec(event->globalPos());
}

void CTrevikDlg::SaveDeviceInfo() {
    SaveReadOut(TEXT_TXT_FILTER, &QV_Service_dumpInfo);
}

void CTrevikDlg::ReadServerData() {
    SaveReadOut(TEXT_BIN_FILTER, &QV_Service_readServerData);
}

void CTrevikDlg::SaveReadOut(const char* filter,
                             QV_ServiceOutcome (*readOut)(QV_Machine*, const char16_t*)) {
    if (!IsConnected()) {
        m_prompter->messageBox(this, QString::fromLatin1(TEXT_NO_HARDWARE), QString(),
                               PromptIcon::Error, PromptButtons::Ok);
        return;
    }
    QString path =
        m_prompter->saveFileName(this, QString::fromLatin1(filter), QStringLiteral("file"));
    if (path.isEmpty())
        return;
    std::u16string p = path.toStdU16String();
    QV_ServiceOutcome out = readOut(m_machine, p.c_str());
    m_prompter->messageBox(this, QString::fromUtf8(out.message), QString::fromUtf8(out.caption),
                           out.error_icon ? PromptIcon::Error : PromptIcon::None,
                           PromptButtons::Ok);
}
