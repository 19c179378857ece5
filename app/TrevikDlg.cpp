// The window itself: construction and start-up, the marshalling point the
// workers reach it through, its state, and closing. Its controls, the unit,
// the update run, the version check and the services have files of their
// own beside this one (TrevikDlg_*.cpp).
#include "app/TrevikDlg.h"

#include "app/TrevikUpdateHost.h"
#include "app/device_notifier.h"
#include "app/prompter.h"
#include "app/window_preload.h"
#include "common_t73/QV_Hid.h"
#include "common_t73/QV_Machine.h"
#include "controls/ButtonST.h"
#include "controls/TextProgressCtrl.h"
#include "online/HttpDownload.h"
#include "update/safe_update.h"
#include "update/update_run.h"
#include "support/log.h"
#include "support/thread.h"
#include "support/timer.h"

#include <QEventLoop>
#include <QGroupBox>
#include <QLabel>
#include <QThread>
#include <QTimer>
#include <algorithm>

// ---------------------------------------------------------------------------
// Construction and start-up

CTrevikDlg::CTrevikDlg(Prompter* prompter, QWidget* parent)
    : QDialog(parent), m_prompter(prompter), m_download(std::make_unique<CHttpDownload>()) {
    window_resources_init();
    m_host = std::make_unique<TrevikUpdateHost>(this);
    // TREVIK_VERSION_SERVER points the online check at another server
    // (the program refuses a malformed value before the window exists).
    version_hosts_from_environment(&m_hosts);
    m_probe = [this] { return ProbeStorage(); };
    setObjectName(QStringLiteral("TREVIK_CLASS"));
    setAcceptDrops(true);
    // Caption, system menu and minimise box; no resizing.
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    m_hIcon = window_icon(QStringLiteral(":/res/trevik.pam"));
    BuildControls();
}

CTrevikDlg::~CTrevikDlg() {
    Shutdown();
}

bool CTrevikDlg::OnInitDialog() {
    setWindowIcon(m_hIcon);
    log_info("TrevikDlg", 557, "CTrevikDlg::OnInitDialog", "start");
    // With the unit attached after the first paint, the device notices and
    // the timers start then too: nothing needs them before.
    if (!m_attachAfterPaint)
        StartServices();

    m_machine = QV_Machine_create(&CTrevikDlg::AcceptUnit, this, &CTrevikDlg::ProgressFn, this);
    if (!m_machine) {
        m_prompter->messageBox(this, QStringLiteral("Error"), QString::fromLatin1(TEXT_CAPTION),
                               PromptIcon::None, PromptButtons::Ok);
        done(QDialog::Accepted);
        return false;
    }

    setWindowTitle(QString::fromLatin1(TEXT_CAPTION));
    m_groupFile->setTitle(QStringLiteral("Update the File"));
    m_groupProgress->setTitle(QStringLiteral("Progress"));
    // Drawn from the twice-as-large picture on a scaled screen, so it stays
    // sharp there.
    qreal dpr = devicePixelRatioF();
    QImage picture = window_image(window_picture_path(dpr));
    if (!picture.isNull()) {
        picture =
            picture.scaled(m_picture->size() * dpr, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        picture.setDevicePixelRatio(dpr);
        m_picture->setPixmap(QPixmap::fromImage(std::move(picture)));
    }

    struct ButtonSetup {
        CShadeButtonST* button;
        const char* icon;
        const char* caption;
        bool grey;
    };
    const ButtonSetup buttons[] = {{m_btnOpen, ":/res/open.pam", "Open", true},
                                   {m_btnClose, ":/res/close.pam", "Close", false},
                                   {m_btnSetting, ":/res/setting.pam", "Setting", false},
                                   {m_btnUpdate, ":/res/update.pam", "Update", false}};
    for (const ButtonSetup& s : buttons) {
        s.button->SetShade(CShadeButtonST::SHS_VSHADE, 8, 20, 5, QColor(55, 55, 255));
        int iconSize = std::min(32, s.button->height() - 6);
        QIcon icon = window_icon(QString::fromLatin1(s.icon));
        if (s.grey)
            s.button->SetIconGreyOut(icon, iconSize);
        else
            s.button->SetIcon(icon, QIcon(), iconSize);
        s.button->setText(QString::fromLatin1(s.caption));
        // Alt with the caption's first letter, and a focus mark for Tab.
        s.button->SetMnemonic(0);
        s.button->DrawFlatFocus(true);
        s.button->installEventFilter(this);
    }
    FitButtons();
    m_btnUpdate->setFocus();
    m_btnSetting->setEnabled(false);
    m_btnUpdate->setEnabled(false);
    // No run has used the bar yet: it shows no figure.
    ClearBar();

    if (m_probe && m_probe()) {
        StartServices();
        SetTitle(QString::fromLatin1(TEXT_CONNECTING));
        timer_add(m_delayedOpenMs, "Open", &CTrevikDlg::DelayedOpen, this);
    } else if (m_attachAfterPaint) {
        // The title stays the bare caption until the unit has been looked
        // for: nothing claims "no hardware" while a unit is being attached.
        m_attachPending = true;
    } else {
        QV_Hid_findUnit(this, &CTrevikDlg::AttachUnit);
        RefreshDeviceState();
    }
    PlaceStartFocus();
    return true;
}

void CTrevikDlg::paintEvent(QPaintEvent* event) {
    QDialog::paintEvent(event);
    if (m_painted)
        return;
    m_painted = true;
    // A package chosen before the window showed puts the focus on Update.
    PlaceStartFocus();
    for (std::function<void()>& fn : m_afterFirstPaint)
        QTimer::singleShot(0, this, std::move(fn));
    m_afterFirstPaint.clear();
    if (!m_attachPending)
        return;
    m_attachPending = false;
    // Queued behind the rest of this paint, so the window is on the screen
    // before the unit is opened and read.
    QTimer::singleShot(0, this, [this] {
        if (m_shutDown || IsClosing() || !m_machine)
            return;
        // Notices first, so a unit plugged in from now on is not missed.
        StartServices();
        // A device notice may have attached the unit in the meantime.
        if (!IsConnected()) {
            QV_Hid_findUnit(this, &CTrevikDlg::AttachUnit);
            RefreshDeviceState();
        }
        PlaceStartFocus();
    });
}

void CTrevikDlg::CallAfterFirstPaint(std::function<void()> fn) {
    if (m_painted)
        QTimer::singleShot(0, this, std::move(fn));
    else
        m_afterFirstPaint.push_back(std::move(fn));
}

void CTrevikDlg::StartServices() {
    if (m_watchDevices && !m_notifier) {
        m_notifier = new DeviceNotifier(this);
        m_notifier->start();
        QString source = QString::fromStdString(QV_Hid_sourceText());
        if (source.startsWith(QLatin1String("socket:")))
            m_notifier->watchSocket(source.mid(7));
        connect(m_notifier, &DeviceNotifier::deviceChange, this,
                [this](unsigned event, int code, const QString& name) {
                    OnDeviceChange(event, code, name);
                });
    }
    if (!m_timersStarted && !m_shutDown)
        m_timersStarted = timer_service_start() != 0;
}

// ---------------------------------------------------------------------------
// Marshalling point

void CTrevikDlg::SendToWindow(const std::function<void()>& fn) {
    if (QThread::currentThread() == thread()) {
        fn();
        return;
    }
    // A closing window waits for the worker in its own loop: never block on it.
    if (IsClosing()) {
        PostToWindow(fn);
        return;
    }
    QMetaObject::invokeMethod(this, fn, Qt::BlockingQueuedConnection);
}

void CTrevikDlg::PostToWindow(const std::function<void()>& fn) {
    QMetaObject::invokeMethod(this, fn, Qt::QueuedConnection);
}

void CTrevikDlg::post(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    PostToWindow([this, message, wParam, lParam] { SendMessage(message, wParam, lParam); });
}

intptr_t CTrevikDlg::SendMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    switch (message) {
    case UWM_DOWNLOAD_FINISHED:
        OnDownloadFinished(static_cast<int>(wParam), lParam);
        return 0;
    case UWM_DOWNLOAD_SIZE:
        OnDownloadSize(static_cast<uint32_t>(wParam));
        return 0;
    case UWM_DOWNLOAD_PERCENT:
        return 0;
    case UWM_DOWNLOAD_SPEED:
        OnDownloadSpeed(static_cast<uint32_t>(wParam), static_cast<uint32_t>(lParam));
        return 0;
    case UWM_ASK_PROVINCE:
        return OnAskProvince(nullptr, nullptr);
    case WM_SYSCOMMAND_MSG:
        OnSysCommand(static_cast<uint32_t>(wParam));
        return 0;
    case WM_COMMAND_MSG:
        if ((wParam & 0xFFFF) == ID_SAVE_DEVICE_INFO && !IsUpdating())
            SaveDeviceInfo();
        return 0;
    default:
        return 0;
    }
}

// ---------------------------------------------------------------------------
// State

void CTrevikDlg::SetTitle(const QString& state) {
    setWindowTitle(QString::fromLatin1(TEXT_CAPTION) + state);
}

void CTrevikDlg::SetStatusText(const QString& text) {
    m_status->setText(text);
}

QString CTrevikDlg::StatusText() const {
    return m_status->text();
}

QString CTrevikDlg::ProgressText() const {
    return m_progress->GetWindowText();
}

void CTrevikDlg::EnableUpdateAndSetting(bool update, bool setting) {
    if (!update)
        MoveFocusOffDisabled({m_btnUpdate});
    if (!setting)
        MoveFocusOffDisabled({m_btnSetting});
    m_btnUpdate->setEnabled(update);
    m_btnSetting->setEnabled(setting);
}

void CTrevikDlg::MoveFocusOffDisabled(std::initializer_list<QWidget*> leaving) {
    // A disabled button hands the focus on to the next one, which may be
    // Close: the next Enter would then close the window.
    QWidget* focus = focusWidget();
    if (!focus || std::find(leaving.begin(), leaving.end(), focus) == leaving.end())
        return;
    bool openStays = std::find(leaving.begin(), leaving.end(), m_btnOpen) == leaving.end();
    if (openStays && m_btnOpen->isEnabled())
        m_btnOpen->setFocus();
    else
        setFocus();
}

// ---------------------------------------------------------------------------
// Closing

void CTrevikDlg::OnClickClose() {
    done(QDialog::Accepted);
}

void CTrevikDlg::done(int result) {
    if (m_shuttingDown)
        return;
    if (IsUpdating() && !m_shutDown && !FinishRunBeforeClosing())
        return;
    Shutdown();
    QDialog::done(result);
}

bool CTrevikDlg::FinishRunBeforeClosing() {
    m_shuttingDown = true;
    m_closing = 1;
    WaitForRunAtClose();
    m_shuttingDown = false;
    if (!m_resetAtClose || !m_machine)
        return true;
    // The run reset the unit's settings: the user hears so, and how to get
    // them back, before the window goes. Restoring now needs the window.
    m_resetAtClose = false;
    m_closing = 0;
    SettleAfterRun();
    if (!IsConnected())
        RefreshDeviceState();
    OfferRestore(m_guard ? m_guard->backupFolder() : std::string());
    if (!m_restoreFolder.empty())
        return false;
    return true;
}

void CTrevikDlg::WaitForRunAtClose() {
    if (!IsUpdating())
        return;
    // A flash write must not be cut short: wait for the run to end,
    // showing that it is finishing, with the window's loop running so the
    // run's messages are still handled.
    setWindowTitle(QString::fromLatin1(TEXT_CAPTION) + QStringLiteral("   ") +
                   QString::fromLatin1(TEXT_FINISHING));
    setEnabled(false);
    QEventLoop loop;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &loop, [this, &loop] {
        // A package download is no flash write: it need not finish.
        if (m_download->IsRunning())
            m_download->Abort();
        if (!IsUpdating())
            loop.quit();
    });
    poll.start(20);
    if (IsUpdating())
        loop.exec();
    setEnabled(true);
}

void CTrevikDlg::Shutdown() {
    if (m_shutDown || m_shuttingDown)
        return;
    m_shuttingDown = true;
    m_closing = 1;
    WaitForRunAtClose();
    // A run that was going has ended by now through its worker's post.
    if (m_download)
        m_download->Stop();
    if (m_timersStarted)
        timer_service_stop();
    m_timersStarted = false;
    if (m_machine) {
        QV_Machine_release(m_machine);
        m_machine = nullptr;
    }
    m_shutDown = true;
    m_shuttingDown = false;
}
