// The update run's view of the window. Every call comes from the worker and
// reaches the window through its marshalling point.
#pragma once

#include "update/update_run.h"

#include <QString>

class CTrevikDlg;

class TrevikUpdateHost : public UpdateHost {
  public:
    explicit TrevikUpdateHost(CTrevikDlg* dlg) : dlg_(dlg) {}

    void enableButtons(bool enabled) override;
    void setProgressText(const std::u16string& text) override;
    void setProgressRange(uint32_t upper) override;
    void setProgressPos(uint32_t pos) override;
    int askProvince(int* mode, int flags[PROVINCE_COUNT]) override;
    void provincesHeld(const int held[PROVINCE_COUNT]) override;
    void showMessage(const std::u16string& text, const std::u16string& caption,
                     UpdateIcon icon) override;
    bool isClosing() override;
    bool isConnected() override;
    CHttpDownload* downloadComponent() override;
    DownloadOwner* downloadOwner() override;
    std::u16string downloadFailureText() override;
    void clearDownloadFailureText() override;
    // Shown in the status text, which gets back what it said before.
    void downloadNotice(const std::u16string& text) override;
    // runEnded stays the base's no-op: the window learns of the run's end
    // from its worker routine once the run has returned, on every path.

  private:
    CTrevikDlg* dlg_;
    // Worker thread only: what the run's package holds, told before the
    // province question.
    int held_[PROVINCE_COUNT] = {};
    bool heldKnown_ = false;
    // Window thread only.
    bool noticeShown_ = false;
    QString statusBeforeNotice_;
};
