#include "app/TrevikDlg.h"

#include "app/AboutDlg.h"
#include "app/device_notifier.h"
#include "controls/dialog_units.h"
#include "app/progress_text.h"
#include "app/prompter.h"
#include "common_t73/QV_Hid.h"
#include "common_t73/QV_HidChannel.h"
#include "common_t73/QV_Machine.h"
#include "common_t73/QV_Service.h"
#include "common_t73/QV_Storage.h"
#include "config/ConfigDialog.h"
#include "config/config_run.h"
#include "config/machine_unit.h"
#include "controls/ButtonST.h"
#include "controls/ElideLabel.h"
#include "controls/icons.h"
#include "controls/text_fit.h"
#include "controls/TextProgressCtrl.h"
#include "online/HttpDownload.h"
#include "package/safe_update.h"
#include "package/update_history.h"
#include "package/update_run.h"
#include "support/build_settings.h"
#include "support/log.h"
#include "support/text.h"
#include "support/thread.h"
#include "support/timer.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <cstdio>
#include <cstring>

// The window's pictures live in a static library: register them once.
static void init_resources() {
    Q_INIT_RESOURCE(trevik);
}

namespace {

QString from_u16(const std::u16string& s) {
    return QString::fromStdU16String(s);
}
std::u16string to_u16(const QString& s) {
    return s.toStdU16String();
}

uint32_t tick_now() {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

} // namespace

// ---------------------------------------------------------------------------
// The update run's view of the window. Every call comes from the worker.

class TrevikUpdateHost : public UpdateHost {
  public:
    explicit TrevikUpdateHost(CTrevikDlg* dlg) : dlg_(dlg) {}

    void enableButtons(bool enabled) override {
        dlg_->SendToWindow([this, enabled] {
            // Open waits for a running version check to end.
            dlg_->m_btnOpen->setEnabled(enabled);
            dlg_->m_btnUpdate->setEnabled(enabled);
            dlg_->m_btnSetting->setEnabled(enabled);
        });
    }
    void setProgressText(const std::u16string& text) override {
        QString t = from_u16(text);
        // The run clears the bar's text only as it fails.
        if (t.isEmpty()) {
            dlg_->SendToWindow([this] { dlg_->SettleBarAfterFailure(); });
            return;
        }
        dlg_->SendToWindow([this, t] { dlg_->m_progress->SetWindowText(t); });
    }
    void setProgressRange(uint32_t upper) override {
        dlg_->SendToWindow([this, upper] {
            dlg_->m_progress->SetRange(0, static_cast<int>(upper));
            dlg_->m_progress->SetPos(0);
        });
    }
    void setProgressPos(uint32_t pos) override {
        dlg_->SendToWindow([this, pos] { dlg_->m_progress->SetPos(static_cast<int>(pos)); });
    }
    int askProvince(int* mode, int flags[UPDATE_PROVINCE_COUNT]) override {
        // A closing window abandons the question.
        if (dlg_->IsClosing())
            return 1;
        intptr_t result = 1;
        int m = 0;
        int f[UPDATE_PROVINCE_COUNT] = {};
        dlg_->SendToWindow([&] { result = dlg_->IsClosing() ? 1 : dlg_->OnAskProvince(&m, f); });
        if (result == 0) {
            if (mode)
                *mode = m;
            for (int i = 0; i < UPDATE_PROVINCE_COUNT && flags; ++i)
                flags[i] = f[i];
        }
        return static_cast<int>(result);
    }
    void showMessage(const std::u16string& text, const std::u16string& caption,
                     UpdateIcon icon) override {
        QString t = from_u16(text), c = from_u16(caption);
        dlg_->SendToWindow([this, t, c, icon] {
            dlg_->m_lastBoxText = t;
            // A closing window withholds only failures: a finished update is
            // still reported before the window goes.
            if (dlg_->IsClosing() && icon == UpdateIcon::Error)
                return;
            // The box belongs to the window, which is disabled while closing.
            bool wasEnabled = dlg_->isEnabled();
            dlg_->setEnabled(true);
            dlg_->m_prompter->messageBox(
                dlg_, t, c, icon == UpdateIcon::Error ? PromptIcon::Error : PromptIcon::Information,
                PromptButtons::Ok);
            dlg_->setEnabled(wasEnabled);
        });
    }
    bool isClosing() override { return dlg_->IsClosing(); }
    bool isConnected() override { return QV_Machine_isConnected(dlg_->m_machine) != 0; }
    CHttpDownload* downloadComponent() override { return dlg_->m_download.get(); }
    DownloadOwner* downloadOwner() override { return dlg_; }
    std::u16string downloadFailureText() override {
        std::lock_guard<std::mutex> g(dlg_->m_failureLock);
        return dlg_->m_downloadFailure;
    }
    void clearDownloadFailureText() override {
        std::lock_guard<std::mutex> g(dlg_->m_failureLock);
        dlg_->m_downloadFailure.clear();
    }
    void runEnded() override {
        dlg_->PostToWindow([this] { dlg_->OnRunEnded(); });
    }

  private:
    CTrevikDlg* dlg_;
};

// ---------------------------------------------------------------------------
// Construction and layout

CTrevikDlg::CTrevikDlg(Prompter* prompter, QWidget* parent)
    : QDialog(parent), m_prompter(prompter), m_download(std::make_unique<CHttpDownload>()) {
    init_resources();
    m_host = std::make_unique<TrevikUpdateHost>(this);
    // TREVIK_VERSION_SERVER points the online check at another server
    // (the program refuses a malformed value before the window exists).
    version_hosts_from_environment(&m_hosts);
    m_probe = [this] {
        QV_StorageReport report;
        int found = QV_Storage_probeUnitAt(&m_storageRoots, &report);
        // A drive that could not be handed back is said, never left silent.
        std::string text = QV_Storage_reportText(report);
        if (!text.empty()) {
            SetStatusText(QString::fromStdString(text));
            std::fprintf(stderr, "%s\n", text.c_str());
        }
        return found;
    };
    setObjectName(QStringLiteral("TREVIK_CLASS"));
    setAcceptDrops(true);
    // Caption, system menu and minimise box; no resizing.
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    m_hIcon = icon_with_2x(QStringLiteral(":/res/trevik.png"));
    BuildControls();
}

void CTrevikDlg::BuildControls() {
    DialogBaseUnits b = dialog_base_units(font());
    setFixedSize(dialog_units_size(282, 250, b));

    m_picture = new QLabel(this);
    m_picture->setObjectName(QStringLiteral("1031"));
    m_picture->setAlignment(Qt::AlignCenter);
    m_picture->setGeometry(dialog_units_rect(0, 0, 282, 134, b));

    m_groupFile = new QGroupBox(this);
    m_groupFile->setObjectName(QStringLiteral("1012"));
    m_groupFile->setGeometry(dialog_units_rect(0, 136, 282, 36, b));

    m_status = new CElideLabel(this);
    m_status->setObjectName(QStringLiteral("1032"));
    m_status->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_status->setGeometry(dialog_units_rect(12, 148, 210, 18, b));

    m_btnOpen = new CShadeButtonST(this);
    m_btnOpen->setObjectName(QStringLiteral("1006"));
    m_btnOpen->setGeometry(dialog_units_rect(228, 146, 42, 20, b));

    m_groupProgress = new QGroupBox(this);
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

CTrevikDlg::~CTrevikDlg() {
    Shutdown();
}

bool CTrevikDlg::OnInitDialog() {
    setWindowIcon(m_hIcon);
    log_info("TrevikDlg", 557, "CTrevikDlg::OnInitDialog", "start");
    // The province dialog draws the map over its whole area: on a scaled
    // screen the twice-as-large drawing keeps it sharp.
    m_provinceMap = QImage(devicePixelRatioF() > 1 ? QStringLiteral(":/res/province_map@2x.png")
                                                   : QStringLiteral(":/res/province_map.png"));

    if (m_watchDevices) {
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
    m_timersStarted = timer_service_start() != 0;

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
    QPixmap picture(dpr > 1 ? QStringLiteral(":/res/picture@2x.png")
                            : QStringLiteral(":/res/picture.png"));
    if (!picture.isNull()) {
        picture =
            picture.scaled(m_picture->size() * dpr, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        picture.setDevicePixelRatio(dpr);
        m_picture->setPixmap(picture);
    }

    struct ButtonSetup {
        CShadeButtonST* button;
        const char* icon;
        const char* caption;
        bool grey;
    };
    const ButtonSetup buttons[] = {{m_btnOpen, ":/res/open.png", "Open", true},
                                   {m_btnClose, ":/res/close.png", "Close", false},
                                   {m_btnSetting, ":/res/setting.png", "Setting", false},
                                   {m_btnUpdate, ":/res/update.png", "Update", false}};
    for (const ButtonSetup& s : buttons) {
        s.button->SetShade(CShadeButtonST::SHS_VSHADE, 8, 20, 5, QColor(55, 55, 255));
        int iconSize = std::min(32, s.button->height() - 6);
        QIcon icon = icon_with_2x(QString::fromLatin1(s.icon));
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
        SetTitle(QString::fromLatin1(TEXT_CONNECTING));
        timer_add(m_delayedOpenMs, "Open", &CTrevikDlg::DelayedOpen, this);
    } else {
        QV_Hid_findUnit(this, &CTrevikDlg::AttachUnit);
        RefreshDeviceState();
    }
    return true;
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
// Functions handed to other parts

int CTrevikDlg::AcceptUnit(void*, const uint8_t* identity) {
    return trevik_accept_identity(identity, MACHINE_IDENTITY_SIZE, TOOL_CUSTOMER_NAME,
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
    } else if (QV_Hid_lastOpenError() == QV_HID_OPEN_BUSY) {
        // Another program has the unit; it is left alone until it is free.
        dlg->SetStatusText(QString::fromStdString(QV_Hid_inUseText()));
    }
    return 0;
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

// ---------------------------------------------------------------------------
// Device state

bool CTrevikDlg::IsConnected() const {
    return QV_Machine_isConnected(m_machine) != 0;
}

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
    m_btnUpdate->setEnabled(update);
    m_btnSetting->setEnabled(setting);
}

void CTrevikDlg::RefreshDeviceState() {
    if (!IsConnected()) {
        setWindowTitle(QString::fromStdString(trevik_title(false, 0, 0, 0)));
        EnableUpdateAndSetting(false, false);
        return;
    }
    const DateStamp& d = m_machine->gps_date;
    setWindowTitle(QString::fromStdString(trevik_title(true, d.year, d.month, d.day)));
    bool update = !m_packagePath.isEmpty() ||
                  (m_vc.list_form ? !m_vc.online_list.empty() : !m_vc.package_url.empty());
    // Nothing but the run itself may use the unit while it writes.
    if (IsUpdating())
        return;
    EnableUpdateAndSetting(update, true);
    if (!m_packagePath.isEmpty()) {
        m_btnOpen->setEnabled(true);
        return;
    }
    StartVersionCheck();
}

int CTrevikDlg::OnDeviceChange(unsigned event, int classCode, const QString& name) {
    std::u16string n = to_u16(name);
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

// ---------------------------------------------------------------------------
// Buttons and drops

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
    source.package_path = to_u16(m_packagePath);
    source.list_form = m_vc.list_form;
    source.download_url = m_vc.package_url;
    auto run = std::make_unique<UpdateRun>(m_host.get(), m_machine, source);
    SafeUpdateOptions safety;
    safety.state_dir = trevik_state_directory();
    safety.tool_version = std::to_string(TOOL_VERSION);
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
    // After a run that reset the unit's settings: the way back.
    std::u16string restore = m_run ? m_run->outcome().notice : std::u16string();
    m_run.reset();
    if (m_guard)
        for (const std::string& w : m_guard->warnings())
            log_info("TrevikDlg", __LINE__, "OnRunEnded", "%s", w.c_str());
    if (!restore.empty() && !IsClosing())
        SetStatusText(QString::fromStdU16String(restore));
    // A unit that came or went during the run.
    PendingNotice notice = m_pendingNotice;
    m_pendingNotice = PendingNotice::None;
    if (IsClosing() || !m_machine)
        return;
    if (notice == PendingNotice::Removal) {
        QV_Machine_attach(m_machine, nullptr);
        RefreshDeviceState();
    } else if (notice == PendingNotice::Arrival) {
        QV_Hid_findUnit(this, &CTrevikDlg::AttachUnit);
        RefreshDeviceState();
    } else if (IsConnected()) {
        // The run read the unit's information again at its end: the title
        // shows the date the unit reports now.
        const DateStamp& d = m_machine->gps_date;
        setWindowTitle(QString::fromStdString(trevik_title(true, d.year, d.month, d.day)));
    }
}

void CTrevikDlg::SettleBarAfterFailure() {
    // The last figure stays beside the failure box, unless it reads
    // complete; a bar left without a text shows no percentage either.
    QString text = m_progress->GetWindowText();
    if (!text.isEmpty() && !progress_text_reads_complete(text.toStdString())) {
        if (m_progress->GetRangeMax() > m_progress->GetRangeMin() &&
            m_progress->GetPos() >= m_progress->GetRangeMax())
            m_progress->SetPos(m_progress->GetRangeMin());
        return;
    }
    ClearBar();
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

void CTrevikDlg::OnClickClose() {
    done(QDialog::Accepted);
}

// ---------------------------------------------------------------------------
// Province question

intptr_t CTrevikDlg::OnAskProvince(int* mode, int* flags) {
    static const char QUESTION[] =
        "进入省份选择界面（更新分省全部类型数据包）请选择‘是’；直接升级全国数据包测速照相类精简包"
        "(无生活安全提示数据类)请选择‘否’，建议选择‘是’！";
    int answer =
        m_prompter->messageBox(this, QString::fromUtf8(QUESTION), QString::fromLatin1(TEXT_CAPTION),
                               PromptIcon::None, PromptButtons::YesNo);
    if (answer != PROMPT_IDYES) {
        m_provinceMode = 0;
    } else {
        int m = m_provinceMode;
        int f[TREVIK_PROVINCE_COUNT];
        std::copy(std::begin(m_provinceFlags), std::end(m_provinceFlags), f);
        if (m_prompter->provinceDialog(this, m_provinceMap, &m, f) != 1)
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
    QDialog::keyPressEvent(event);
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
    if (event->type() == QEvent::ToolTip) {
        for (int id : {IDC_OPEN, IDC_UPDATE, IDC_SETTING, IDC_CLOSE})
            if (watched == Button(id))
                Button(id)->setToolTip(ButtonTip(id));
    }
    return QDialog::eventFilter(watched, event);
}

// ---------------------------------------------------------------------------
// Closing

void CTrevikDlg::done(int result) {
    if (m_shuttingDown)
        return;
    Shutdown();
    QDialog::done(result);
}

void CTrevikDlg::Shutdown() {
    if (m_shutDown || m_shuttingDown)
        return;
    m_shuttingDown = true;
    m_closing = 1;
    if (IsUpdating()) {
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
    OnRunEnded();
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
