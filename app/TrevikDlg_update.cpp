// Choosing a package (Open, drop) and the update run: its worker thread,
// the province question it asks and the window after its end (its host is
// in TrevikUpdateHost.cpp).
#include "app/TrevikDlg.h"

#include "app/TrevikUpdateHost.h"
#include "update/failure_text.h"
#include "update/outcome.h"
#include "update/progress_text.h"
#include "app/prompter.h"
#include "common_t73/QV_Hid.h"
#include "common_t73/QV_Machine.h"
#include "controls/ButtonST.h"
#include "controls/TextProgressCtrl.h"
#include "online/HttpDownload.h"
#include "update/safe_update.h"
#include "update/update_history.h"
#include "support/log.h"
#include "support/thread.h"
#include "trevik_version.h"

#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMimeData>
#include <QThread>
#include <QUrl>
#include <algorithm>
#include <mutex>

void CTrevikDlg::OnClickOpen() {
    QString path = m_prompter->openFileName(this, QString::fromLatin1(TEXT_UPDATE_FILE_FILTER),
                                            QStringLiteral("file"));
    if (path.isEmpty())
        return;
    ChoosePackage(path);
}

void CTrevikDlg::ChoosePackage(const QString& path) {
    // A running version check gives way to the chosen file; what it would
    // have found no longer matters.
    ApplyView(version_check_stop(m_vc, *m_download));
    m_packagePath = path;
    SetStatusText(path);
    if (IsConnected())
        m_btnUpdate->setEnabled(true);
    PlaceStartFocus();
}

void CTrevikDlg::OnDropFiles(const QStringList& paths) {
    if (IsUpdating() || paths.isEmpty())
        return;
    const QString& path = paths.first();
    if (!trevik_is_package_path(path.toStdString()))
        return;
    SetStatusText(path);
    m_packagePath = path;
    if (IsConnected())
        m_btnUpdate->setEnabled(true);
}

void CTrevikDlg::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void CTrevikDlg::dropEvent(QDropEvent* event) {
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile())
            paths << url.toLocalFile();
    OnDropFiles(paths);
    event->acceptProposedAction();
}

void CTrevikDlg::OnClickUpdate() {
    if (!IsConnected()) {
        m_prompter->messageBox(this, QString::fromLatin1(TEXT_NO_HARDWARE), QString(),
                               PromptIcon::Error, PromptButtons::Ok);
        return;
    }
    if (IsUpdating())
        return;
    m_startFocus = false;
    // A new run makes a new backup; a restore still waiting is given up.
    m_restoreFolder.clear();
    const DateStamp& d = m_machine->gps_date;
    uint32_t unitVersion = d.year * 10000u + d.month * 100u + d.day;
    if (version_check_should_ask(m_vc, !m_packagePath.isEmpty(), unitVersion)) {
        int answer = m_prompter->messageBox(this, QString::fromLatin1(TEXT_NEWEST_QUESTION),
                                            QString::fromLatin1(TEXT_CAPTION), PromptIcon::None,
                                            PromptButtons::YesNo);
        if (answer != PROMPT_IDYES)
            return;
    }
    // The run downloads with the same component: a version check still
    // running ends first, and its end message will change nothing. What the
    // last finished check found is what the run goes by: show it again.
    VersionCheckView stopped = version_check_stop(m_vc, *m_download);
    if (stopped.open == ControlChange::Enable)
        SetStatusText(m_statusBeforeCheck);
    ApplyView(stopped);
    m_closing = 0;
    UpdateSource source;
    source.package_path = m_packagePath.toStdU16String();
    source.list_form = m_vc.list_form;
    source.download_url = m_vc.package_url;
    auto run = std::make_unique<UpdateRun>(m_host.get(), m_machine, source);
    SafeUpdateOptions safety;
    safety.state_dir = trevik_state_directory();
    safety.tool_version = std::to_string(TOOL_VERSION);
    safety.tool_release = TREVIK_VERSION;
    m_guard = std::make_unique<SafeUpdateGuard>(safety);
    run->setGuard(m_guard.get());
    m_run = std::move(run);
    m_lastBoxText.clear();
    Thread* t = thread_create(&CTrevikDlg::RunWorker, this);
    if (!t) {
        m_run.reset();
        return;
    }
    // The worker may already have ended and posted its end; that is handled
    // after this in posting order.
    m_worker = t;
}

int CTrevikDlg::RunWorker(Thread* thread, void* window) {
    auto* dlg = static_cast<CTrevikDlg*>(window);
    update_worker(thread, dlg->m_run.get());
    // The end is handled on the window's thread after everything the run
    // posted before it.
    dlg->PostToWindow([dlg] { dlg->OnRunEnded(); });
    return 0;
}

void CTrevikDlg::OnRunEnded() {
    Thread* t = m_worker.exchange(nullptr);
    if (t)
        thread_destroy(t, 1);
    // After a run that reset the unit's settings: the way back, once the
    // window shows the unit as it is now.
    bool reset = m_run && !m_run->outcome().notice.empty();
    m_run.reset();
    if (m_guard)
        for (const std::string& w : m_guard->warnings())
            log_info("TrevikDlg", __LINE__, "OnRunEnded", "%s", w.c_str());
    if (!m_machine)
        return;
    if (IsClosing()) {
        // The window goes once it has told what the run owes (done).
        m_resetAtClose = reset;
        return;
    }
    SettleAfterRun();
    if (reset)
        OfferRestore(m_guard ? m_guard->backupFolder() : std::string());
}

void CTrevikDlg::SettleAfterRun() {
    // A unit that came or went during the run.
    PendingNotice notice = m_pendingNotice;
    m_pendingNotice = PendingNotice::None;
    if (notice == PendingNotice::Removal) {
        QV_Machine_attach(m_machine, nullptr);
        RefreshDeviceState();
    } else if (notice == PendingNotice::Arrival) {
        QV_Hid_findUnit(this, &CTrevikDlg::AttachUnit);
        RefreshDeviceState();
    } else if (IsConnected()) {
        // The run read the unit's information again at its end: the title
        // shows the date the unit reports now.
        ShowUnitTitle();
    }
}

void CTrevikDlg::SettleBarAfterFailure() {
    // Where the run stopped stays beside the failure box: the share it had
    // counted, else the stage it was in. A figure that reads complete is no
    // place a run stopped at, and a bar without a text shows nothing.
    QString text = m_progress->GetWindowText();
    if (text.isEmpty() || progress_text_reads_complete(text.toStdString())) {
        ClearBar();
        return;
    }
    int lo = m_progress->GetRangeMin(), hi = m_progress->GetRangeMax();
    if (hi > lo && m_progress->GetPos() >= hi)
        m_progress->SetPos(lo);
    uint64_t total = hi > lo ? uint64_t(hi - lo) : 0;
    uint64_t done = total ? uint64_t(std::max(m_progress->GetPos() - lo, 0)) : 0;
    m_progress->SetWindowText(
        QString::fromStdString(progress_stopped_text(text.toStdString(), done, total)));
}

void CTrevikDlg::ClearBar() {
    // An empty range draws no percentage.
    m_progress->SetRange(0, 0);
    m_progress->SetPos(0);
    m_progress->SetWindowText(QString());
    m_progress->update();
}

bool CTrevikDlg::WaitForRunEnd(int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (IsUpdating() && timer.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
    return !IsUpdating();
}

QString CTrevikDlg::LastRunBoxText() const {
    return m_lastBoxText;
}

intptr_t CTrevikDlg::OnAskProvince(int* mode, int* flags, const int* held) {
    static const char QUESTION[] =
        "进入省份选择界面（更新分省全部类型数据包）请选择‘是’；直接升级全国数据包测速照相类精简包"
        "(无生活安全提示数据类)请选择‘否’，建议选择‘是’！";
    int answer =
        m_prompter->messageBox(this, QString::fromUtf8(QUESTION), QString::fromLatin1(TEXT_CAPTION),
                               PromptIcon::None, PromptButtons::YesNoChoice);
    if (answer != PROMPT_IDYES) {
        m_provinceMode = 0;
    } else {
        int m = m_provinceMode;
        int f[PROVINCE_COUNT];
        std::copy(std::begin(m_provinceFlags), std::end(m_provinceFlags), f);
        // The dialog draws the map over its whole area: on a scaled screen
        // the twice-as-large drawing keeps it sharp. Loaded when first asked.
        if (m_provinceMap.isNull())
            m_provinceMap =
                QImage(devicePixelRatioF() > 1 ? QStringLiteral(":/res/province_map@2x.png")
                                               : QStringLiteral(":/res/province_map.png"));
        if (m_prompter->provinceDialog(this, m_provinceMap, held, &m, f) != 1)
            return 1;
        m_provinceMode = m;
        std::copy(std::begin(f), std::end(f), m_provinceFlags);
    }
    if (mode)
        *mode = m_provinceMode;
    if (flags)
        std::copy(std::begin(m_provinceFlags), std::end(m_provinceFlags), flags);
    return 0;
}
