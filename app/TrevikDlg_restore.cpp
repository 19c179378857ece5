// The context menu's way back after an update: an update resets the unit's
// settings, and the backup taken before it holds them. The newest backup of
// the attached unit is shown, then applied through the Setting run.
#include "app/TrevikDlg.h"

#include "app/prompter.h"
#include "app/window_config_prompter.h"
#include "common_t73/QV_Machine.h"
#include "config/config_model.h"
#include "config/config_run.h"
#include "config/machine_unit.h"
#include "config/settings_json.h"
#include "update/unit_backup.h"
#include "update/update_history.h"
#include "support/text.h"

namespace {

QString utf8(const std::string& s) {
    return QString::fromStdString(s);
}

// "key = value" lines of what will be applied; passwords are not shown.
QString values_text(const ConfigValues& values) {
    QString text;
    for (const auto& [key, value] : values)
        text += utf8(key) + QStringLiteral(" = ") +
                (key == "password" ? QStringLiteral("(not shown)") : utf8(value)) +
                QStringLiteral("\n");
    return text;
}

} // namespace

QString CTrevikDlg::RestoreMenuText() {
    return QStringLiteral("Restore settings from before the last update\u2026");
}

// This unit's own backups only: units of one customer share the client id,
// and another unit's APN and user do not belong on this one.
UnitBackupEntry CTrevikDlg::NewestBackup() const {
    return unit_backup_newest(unit_backups_root(trevik_state_directory()),
                              unit_identity_of(m_machine).key);
}

void CTrevikDlg::OnRestoreSettings() {
    if (!IsConnected() || IsUpdating())
        return;
    UnitBackupEntry backup = NewestBackup();
    if (backup.folder.empty()) {
        std::string root = unit_backups_root(trevik_state_directory());
        m_prompter->messageBox(
            this,
            QStringLiteral("No backup of this unit's settings was found in %1.")
                .arg(utf8(root.empty() ? std::string("the state directory (neither "
                                                     "XDG_STATE_HOME nor HOME is set)")
                                       : root)),
            QString::fromLatin1(TEXT_CAPTION), PromptIcon::Information, PromptButtons::Ok);
        return;
    }
    RestoreBackup(backup, true);
}

void CTrevikDlg::RestoreBackup(const UnitBackupEntry& backup, bool ask) {
    const QString caption = QString::fromLatin1(TEXT_CAPTION);
    auto tell = [&](const QString& text, PromptIcon icon) {
        m_prompter->messageBox(this, text, caption, icon, PromptButtons::Ok);
    };
    std::string file = backup.folder + "/" + BACKUP_SETTINGS_FILE;
    std::string text, why;
    if (config_settings_read_file(file, &text, &why) != 0) {
        tell(QStringLiteral("%1 cannot be read: %2").arg(utf8(file), utf8(why)), PromptIcon::Error);
        return;
    }
    ConfigSettingsFile settings = config_settings_from_json_text(text);
    if (!settings.ok) {
        tell(QStringLiteral("%1 holds no settings of a unit.").arg(utf8(file)), PromptIcon::Error);
        return;
    }
    // Right after an update the unit still runs without a valid record, or
    // with the default record of another kind: nothing can be applied yet.
    if (m_machine->param_kind != settings.kind) {
        tell(QStringLiteral("The settings cannot be restored yet: the unit's parameter record is "
                            "not valid or not of the backup's kind. Restore them once the unit "
                            "has restarted with its new program."),
             PromptIcon::Information);
        return;
    }
    QString question =
        QStringLiteral("Apply these settings from the backup of %1 of %2?\n%3\n\n%4")
            .arg(utf8(backup.time), utf8(unit_identity_text(unit_identity_of(m_machine))),
                 utf8(backup.folder), values_text(settings.values));
    if (ask && m_prompter->messageBox(this, question, caption, PromptIcon::Question,
                                      PromptButtons::YesNo) != PROMPT_IDYES)
        return;

    MachineConfigUnit unit(m_machine);
    WindowConfigPrompter prompter(m_prompter, this);
    std::vector<std::string> refused;
    bool other_kind = false;
    ConfigEditor editor = [&](const ConfigEditArgs& a) {
        // The run read the unit again: it must still hold a record of the
        // backup's kind.
        if (a.kind != settings.kind) {
            other_kind = true;
            return 0;
        }
        ConfigView v = config_view_load(a.title_prefix, a.boot_version, a.kind, a.param,
                                        a.main_setting, a.server_settings);
        ConfigInput input = config_input_unchanged(v);
        refused = settings.wrong_type;
        for (std::string& why : config_apply_each(v, input, settings.values))
            refused.push_back(std::move(why));
        ConfigOkResult ok = config_apply(v, input, a.param, a.server_settings);
        if (!ok.accepted) {
            refused.push_back(ok.message);
            return 0;
        }
        return 1;
    };
    ConfigWrites writes;
    ConfigRunResult r = config_run(unit, prompter, editor, nullptr, &writes);
    if (writes.param == 1)
        unit_backup_note_settings_written(m_machine, unit_backups_root(trevik_state_directory()));
    if (other_kind) {
        tell(QStringLiteral("Nothing was applied: the unit's parameter record is no longer of the "
                            "backup's kind."),
             PromptIcon::Error);
        return;
    }
    if (!refused.empty()) {
        QString list;
        for (const std::string& why : refused)
            list += QStringLiteral("\n") + utf8(why);
        tell((r == CONFIG_RUN_SUCCESS ? QStringLiteral("These settings were not applied:")
                                      : QStringLiteral("Nothing was applied:")) +
                 list,
             PromptIcon::Error);
    }
}

QString CTrevikDlg::RestoreOfferText(const std::string& folder, const std::string& earlier) {
    QString text = QStringLiteral(
        "The unit starts its new program with its default settings: radar bands, time zone, "
        "screen hours and GPRS access.");
    if (folder.empty())
        return text;
    if (!earlier.empty())
        return text + QStringLiteral("\n\nThe backup taken before this update holds its default "
                                     "settings, not its own. Its own settings were saved at %1, "
                                     "before an earlier update, in\n%2\n\nThey can be restored "
                                     "as soon as the unit has restarted. To do it later, choose "
                                     "\"%3\" in the window's right-click menu.")
                          .arg(utf8(earlier), utf8(folder), RestoreMenuText());
    return text + QStringLiteral("\n\nIts settings from before the update were saved in\n%1\n\n"
                                 "They can be restored as soon as the unit has restarted. To do "
                                 "it later, choose \"%2\" in the window's right-click menu.")
                      .arg(utf8(folder), RestoreMenuText());
}

void CTrevikDlg::OfferRestore(const std::string& run_folder) {
    const QString caption = QString::fromLatin1(TEXT_CAPTION);
    // The run's own backup may hold the defaults an earlier update left:
    // what is offered is the newest backup of this unit's own settings.
    UnitBackupOffer offer =
        unit_backup_offer(unit_backups_root(trevik_state_directory()), run_folder);
    const std::string& folder = offer.backup.folder;
    QString text = RestoreOfferText(folder, offer.older ? offer.backup.time : std::string());
    if (folder.empty()) {
        m_prompter->messageBox(this, text, caption, PromptIcon::Information, PromptButtons::Ok);
        return;
    }
    if (m_prompter->question(this, text, caption, PromptIcon::Question, RestoreNowText(),
                             QStringLiteral("Later")) != PROMPT_IDYES)
        return;
    m_restoreFolder = folder;
    m_statusBeforeRestore = StatusText();
    SetStatusText(QStringLiteral("The unit's settings are restored once it has restarted."));
    RestoreWhenBack();
}

void CTrevikDlg::RestoreWhenBack() {
    if (m_restoreFolder.empty() || !IsConnected() || IsUpdating() || IsClosing())
        return;
    // Until the unit has restarted with its new program its parameter record
    // is erased; another unit attached meanwhile keeps its own settings.
    if (m_machine->param_kind <= 0)
        return;
    UnitBackupEntry backup = NewestBackup();
    if (backup.folder != m_restoreFolder)
        return;
    m_restoreFolder.clear();
    SetStatusText(m_statusBeforeRestore);
    RestoreBackup(backup, false);
}
