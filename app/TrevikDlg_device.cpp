// The unit: accepting and attaching it, the device link's progress, the
// system's device notices and the removable-drive probe that finds a unit
// still in its storage mode.
#include "app/TrevikDlg.h"

#include "app/device_notifier.h"
#include "update/progress_text.h"
#include "common_t73/QV_Hid.h"
#include "common_t73/QV_HidChannel.h"
#include "common_t73/QV_Machine.h"
#include "common_t73/QV_Storage.h"
#include "controls/ButtonST.h"
#include "controls/TextProgressCtrl.h"
#include "support/build_settings.h"
#include "support/text.h"

#include <QTimer>

#include <chrono>
#include <cstdio>

namespace {

uint32_t tick_now() {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

} // namespace

int CTrevikDlg::AcceptUnit(void*, const uint8_t* identity) {
    return trevik_accept_identity(identity, CLIENT_ID_SIZE, TOOL_CUSTOMER_NAME,
                                  TOOL_CUSTOMER_NAME_LEN);
}

void CTrevikDlg::ProgressFn(void* window, QV_Machine* machine, int kind, uint32_t value,
                            uint32_t startTick) {
    auto* dlg = static_cast<CTrevikDlg*>(window);
    if (!dlg)
        return;
    if (kind == 0) {
        dlg->SendToWindow([dlg, value] {
            dlg->m_progress->SetRange(0, static_cast<int>(value));
            dlg->m_progress->SetPos(0);
        });
        return;
    }
    std::string status;
    if (machine)
        status = wtext_to_utf8(machine->status_text);
    QString text = QString::fromStdString(
        progress_device_text(status, value, progress_elapsed_seconds(tick_now(), startTick)));
    dlg->SendToWindow([dlg, value, text] {
        dlg->m_progress->SetPos(static_cast<int>(value));
        dlg->m_progress->SetWindowText(text);
    });
}

int CTrevikDlg::AttachUnit(void* window, const char16_t* path) {
    auto* dlg = static_cast<CTrevikDlg*>(window);
    if (!dlg || !dlg->m_machine || !dlg->m_machine->channel)
        return 0;
    // The old handle goes first: an emulator serves one connection at a time.
    QV_Machine_attach(dlg->m_machine, nullptr);
    QV_HidHandle* handle = QV_Hid_open(path);
    if (handle) {
        QV_Machine_attach(dlg->m_machine, handle);
        QV_Machine_getDeveiceInfo(dlg->m_machine);
    } else if (QV_Hid_lastOpenError() == QV_HID_OPEN_DENIED) {
        // The unit is there but may not be opened: say what grants access.
        dlg->SetStatusText(QString::fromUtf8(QV_Hid_permissionText()));
    } else if (QV_Hid_lastOpenError() == QV_HID_OPEN_LOCK_FAILED) {
        // Without its lock the unit is left alone: say which file stops it.
        dlg->SetStatusText(QString::fromStdString(QV_Hid_lockFailedText()));
    } else if (QV_Hid_lastOpenError() == QV_HID_OPEN_BUSY) {
        // Another program has the unit; it is left alone until it is free.
        dlg->SetStatusText(QString::fromStdString(QV_Hid_inUseText()));
        dlg->RetryWhileBusy();
    }
    return 0;
}

void CTrevikDlg::RetryWhileBusy() {
    if (m_busyRetry)
        return;
    m_busyRetry = true;
    QTimer::singleShot(BUSY_RETRY_MS, this, [this] {
        m_busyRetry = false;
        if (m_shutDown || IsClosing() || IsUpdating() || IsConnected())
            return;
        QV_Hid_findUnit(this, &CTrevikDlg::AttachUnit);
        RefreshDeviceState();
    });
}

void CTrevikDlg::DelayedOpen(void* window) {
    auto* dlg = static_cast<CTrevikDlg*>(window);
    if (!dlg)
        return;
    // The unit is attached on the window's thread, like every other attach.
    QMetaObject::invokeMethod(
        dlg,
        [dlg] {
            if (dlg->m_shutDown || dlg->IsClosing())
                return;
            QV_Hid_findUnit(dlg, &CTrevikDlg::AttachUnit);
            dlg->RefreshDeviceState();
        },
        Qt::QueuedConnection);
}

bool CTrevikDlg::IsConnected() const {
    return QV_Machine_isConnected(m_machine) != 0;
}

void CTrevikDlg::ShowUnitTitle() {
    const DateStamp& d = m_machine->gps_date;
    setWindowTitle(QString::fromStdString(trevik_title(true, d.year, d.month, d.day)));
}

void CTrevikDlg::RefreshDeviceState() {
    if (!IsConnected()) {
        setWindowTitle(QString::fromStdString(trevik_title(false, 0, 0, 0)));
        EnableUpdateAndSetting(false, false);
        return;
    }
    ShowUnitTitle();
    bool update = !m_packagePath.isEmpty() ||
                  (m_vc.list_form ? !m_vc.online_list.empty() : !m_vc.package_url.empty());
    // Nothing but the run itself may use the unit while it writes.
    if (IsUpdating())
        return;
    // A unit back from its restart gets the settings the user asked back.
    if (!m_restoreFolder.empty())
        QTimer::singleShot(0, this, [this] { RestoreWhenBack(); });
    EnableUpdateAndSetting(update, true);
    if (!m_packagePath.isEmpty()) {
        m_btnOpen->setEnabled(true);
        PlaceStartFocus();
        return;
    }
    StartVersionCheck();
}

int CTrevikDlg::OnDeviceChange(unsigned event, int classCode, const QString& name) {
    std::u16string n = name.toStdU16String();
    bool unit = QV_Hid_isUnitPath(n.c_str());
    if (event == DBT_DEVICEARRIVAL) {
        if (classCode == DEVICE_CLASS_HID && unit) {
            // The run's unit must not be swapped under it: the arrival is
            // handled when the run ends.
            if (IsUpdating()) {
                m_pendingNotice = PendingNotice::Arrival;
                return 0;
            }
            QV_Hid_findUnit(this, &CTrevikDlg::AttachUnit);
            RefreshDeviceState();
        } else if (classCode == DEVICE_CLASS_VOLUME) {
            if (m_probe && m_probe())
                SetTitle(QString::fromLatin1(TEXT_CONNECTING));
        }
    } else if (event == DBT_DEVICEREMOVECOMPLETE) {
        if (classCode == DEVICE_CLASS_HID && unit && m_machine && m_machine->channel) {
            // The handle may be in the middle of a transfer on the run's
            // thread: it is closed when the run has ended (the run meanwhile
            // fails on its own as its transfers go unanswered).
            if (IsUpdating()) {
                m_pendingNotice = PendingNotice::Removal;
                return 0;
            }
            QV_Machine_attach(m_machine, nullptr);
            RefreshDeviceState();
        }
    }
    return 0;
}

int CTrevikDlg::ProbeStorage() {
    QV_StorageReport report;
    int found = QV_Storage_probeUnitAt(&m_storageRoots, &report);
    // A drive that could not be handed back is said, never left silent.
    std::string text = QV_Storage_reportText(report);
    if (!text.empty()) {
        SetStatusText(QString::fromStdString(text));
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    return found;
}
