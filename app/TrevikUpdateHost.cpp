// The update run's host in the window: the run's calls, made on its worker
// thread, carried to the window (its bar, its buttons, its boxes and the
// province question) through the window's one marshalling point.
#include "app/TrevikUpdateHost.h"

#include "app/TrevikDlg.h"
#include "app/prompter.h"
#include "common_t73/QV_Machine.h"
#include "controls/ButtonST.h"
#include "controls/TextProgressCtrl.h"
#include "online/HttpDownload.h"
#include "update/failure_text.h"
#include "update/outcome.h"
#include "update/progress_text.h"
#include "update/safe_update.h"

#include <QString>
#include <algorithm>

void TrevikUpdateHost::enableButtons(bool enabled) {
    dlg_->SendToWindow([this, enabled] {
        if (!enabled)
            dlg_->MoveFocusOffDisabled(
                {dlg_->m_btnOpen, dlg_->m_btnUpdate, dlg_->m_btnSetting});
        // Open waits for a running version check to end.
        dlg_->m_btnOpen->setEnabled(enabled);
        dlg_->m_btnUpdate->setEnabled(enabled);
        dlg_->m_btnSetting->setEnabled(enabled);
    });
}

void TrevikUpdateHost::setProgressText(const std::u16string& text) {
    QString t = QString::fromStdU16String(text);
    // The run clears the bar's text only as it fails.
    if (t.isEmpty()) {
        dlg_->SendToWindow([this] { dlg_->SettleBarAfterFailure(); });
        return;
    }
    dlg_->SendToWindow([this, t] { dlg_->m_progress->SetWindowText(t); });
}

void TrevikUpdateHost::setProgressRange(uint32_t upper) {
    dlg_->SendToWindow([this, upper] {
        dlg_->m_progress->SetRange(0, static_cast<int>(upper));
        dlg_->m_progress->SetPos(0);
    });
}

void TrevikUpdateHost::setProgressPos(uint32_t pos) {
    dlg_->SendToWindow([this, pos] { dlg_->m_progress->SetPos(static_cast<int>(pos)); });
}

int TrevikUpdateHost::askProvince(int* mode, int flags[PROVINCE_COUNT]) {
    // A closing window abandons the question.
    if (dlg_->IsClosing())
        return 1;
    intptr_t result = 1;
    int m = 0;
    int f[PROVINCE_COUNT] = {};
    const int* held = heldKnown_ ? held_ : nullptr;
    dlg_->SendToWindow(
        [&] { result = dlg_->IsClosing() ? 1 : dlg_->OnAskProvince(&m, f, held); });
    if (result == 0) {
        if (mode)
            *mode = m;
        for (int i = 0; i < PROVINCE_COUNT && flags; ++i)
            flags[i] = f[i];
    }
    return static_cast<int>(result);
}

void TrevikUpdateHost::provincesHeld(const int held[PROVINCE_COUNT]) {
    std::copy(held, held + PROVINCE_COUNT, held_);
    heldKnown_ = true;
}

void TrevikUpdateHost::showMessage(const std::u16string& text, const std::u16string& caption,
                                   UpdateIcon icon) {
    QString t = QString::fromStdU16String(text), c = QString::fromStdU16String(caption);
    dlg_->SendToWindow([this, t, c, icon] {
        dlg_->m_lastBoxText = t;
        // A closing window withholds only failures: a finished update is
        // still reported before the window goes.
        if (dlg_->IsClosing() && icon == UpdateIcon::Error)
            return;
        // The run has read the unit again before it reports success: the
        // title shows the new data date by the time the box says so.
        if (icon != UpdateIcon::Error && !dlg_->IsClosing() && dlg_->IsConnected())
            dlg_->ShowUnitTitle();
        // Under a failure's own text: its cause and the next step, the way
        // trevik-cli says them. The run waits for this box, so its outcome
        // and the guard's backup folder hold still.
        QString shown = t;
        if (icon == UpdateIcon::Error && dlg_->m_run) {
            // The same text and cause as the terminal's: a failed download
            // names the server's answer.
            const UpdateOutcome& o = dlg_->m_run->outcome();
            shown = QString::fromStdU16String(update_failure_shown_text(o));
            std::string line = failure_text_line(update_failure_cause(o, dlg_->m_guard.get()));
            if (!line.empty())
                shown += QStringLiteral("\n") + QString::fromStdString(line);
        }
        // The box belongs to the window, which is disabled while closing.
        bool wasEnabled = dlg_->isEnabled();
        dlg_->setEnabled(true);
        dlg_->m_prompter->messageBox(
            dlg_, shown, c, icon == UpdateIcon::Error ? PromptIcon::Error : PromptIcon::Information,
            PromptButtons::Ok);
        dlg_->setEnabled(wasEnabled);
    });
}

bool TrevikUpdateHost::isClosing() {
    return dlg_->IsClosing();
}

bool TrevikUpdateHost::isConnected() {
    return QV_Machine_isConnected(dlg_->m_machine) != 0;
}

CHttpDownload* TrevikUpdateHost::downloadComponent() {
    return dlg_->m_download.get();
}

DownloadOwner* TrevikUpdateHost::downloadOwner() {
    return dlg_;
}

std::u16string TrevikUpdateHost::downloadFailureText() {
    std::lock_guard<std::mutex> g(dlg_->m_failureLock);
    return dlg_->m_downloadFailure;
}

void TrevikUpdateHost::clearDownloadFailureText() {
    std::lock_guard<std::mutex> g(dlg_->m_failureLock);
    dlg_->m_downloadFailure.clear();
}

void TrevikUpdateHost::downloadNotice(const std::u16string& text) {
    QString t = QString::fromStdU16String(text);
    dlg_->SendToWindow([this, t] {
        if (!t.isEmpty()) {
            if (!noticeShown_)
                statusBeforeNotice_ = dlg_->StatusText();
            noticeShown_ = true;
            dlg_->SetStatusText(t);
        } else if (noticeShown_) {
            noticeShown_ = false;
            dlg_->SetStatusText(statusBeforeNotice_);
        }
    });
}
