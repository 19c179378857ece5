// The window's view of the online version check, and the download messages
// it and the update run's package download send to the window.
#include "app/TrevikDlg.h"

#include "update/progress_text.h"
#include "controls/ButtonST.h"
#include "controls/TextProgressCtrl.h"
#include "online/HttpDownload.h"

#include <mutex>

void CTrevikDlg::OnDownloadSize(uint32_t length) {
    m_downloadTotal = length;
    // The version file is no work of the user's: the bar keeps what the
    // last run left on it.
    if (m_vc.version_check == 1)
        return;
    m_progress->SetRange(0, static_cast<int>(length));
    m_progress->SetPos(0);
}

void CTrevikDlg::OnDownloadSpeed(uint32_t speed, uint32_t received) {
    if (m_vc.version_check == 1)
        return;
    m_progress->SetPos(static_cast<int>(received));
    m_progress->SetWindowText(
        QString::fromStdString(progress_download_text(m_downloadTotal, received, speed)));
}

void CTrevikDlg::ApplyView(const VersionCheckView& view) {
    if (view.set_status)
        SetStatusText(QString::fromStdU16String(view.status));
    // While a run goes on its buttons stay as the run set them.
    if (!IsUpdating()) {
        if (view.open != ControlChange::Keep)
            m_btnOpen->setEnabled(view.open == ControlChange::Enable);
        if (view.update != ControlChange::Keep)
            m_btnUpdate->setEnabled(view.update == ControlChange::Enable);
    }
    if (view.package_failed) {
        {
            std::lock_guard<std::mutex> g(m_failureLock);
            m_downloadFailure = VERSION_TEXT_PACKAGE_FAILED;
        }
        m_progress->SetWindowText(QString::fromStdU16String(VERSION_TEXT_PACKAGE_FAILED));
    }
    if (view.package_completed)
        OnDownloadSpeed(0, m_downloadTotal);
    PlaceStartFocus();
}

int CTrevikDlg::LoadVersionFile(const QString& path) {
    VersionCheckView view;
    std::u16string p = path.toStdU16String();
    int ok = ::LoadVersionFile(m_vc, p.c_str(), &view);
    ApplyView(view);
    if (ok && IsConnected() && !IsUpdating())
        m_btnUpdate->setEnabled(true);
    return ok;
}

void CTrevikDlg::StartVersionCheck() {
    // A check stopped by Update gives back the status it replaced.
    if (!m_vc.awaiting_end)
        m_statusBeforeCheck = StatusText();
    ApplyView(::StartVersionCheck(m_vc, m_machine, *m_download, this, m_hosts));
}

void CTrevikDlg::OnDownloadFinished(int result, intptr_t) {
    ApplyView(version_check_finished(m_vc, *m_download, result, IsConnected()));
}
