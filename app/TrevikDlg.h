// The program's only window: attaches the unit, shows its state in the
// title, lets the user choose a package (Open or drag and drop), starts the
// update run on a worker thread, runs the settings dialog and the online
// version check, and answers the workers' messages.
//
// Workers reach the window only through its marshalling point: posted
// messages are queued to the window's thread in posting order; sent
// messages run there and are waited for. Once the window is closing, a
// sent message that asks something is answered "abandon" and the others are
// posted instead, so a worker never blocks on a closing window.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QImage>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "package/package.h"
#include "update/trevik_decisions.h"
#include "common_t73/QV_Storage.h"
#include "online/VersionCheck.h"
#include "online/messages.h"
#include "update/unit_backup.h"

class QGroupBox;
class QLabel;
class CTextProgressCtrl;
class CShadeButtonST;
class CHttpDownload;
class DeviceNotifier;
class Prompter;
class UpdateRun;
class SafeUpdateGuard;
class TrevikUpdateHost;
struct QV_Machine;
struct QV_ServiceOutcome;
struct Thread;

// Message ids of the window besides the download messages.
inline constexpr uint32_t WM_USER_BASE = 0x0400;
inline constexpr uint32_t UWM_ASK_PROVINCE = WM_USER_BASE + 1000; // 0x7E8
inline constexpr uint32_t WM_COMMAND_MSG = 0x0111;
inline constexpr uint32_t WM_SYSCOMMAND_MSG = 0x0112;
inline constexpr uint32_t SC_ABOUTBOX = 0x10;
inline constexpr uint32_t ID_SAVE_DEVICE_INFO = 10000;
inline constexpr uint32_t ID_READ_SERVER_DATA = 10001;

class CTrevikDlg : public QDialog, public DownloadOwner {
    Q_OBJECT
  public:
    // prompter shows every message box and file dialog; not owned.
    explicit CTrevikDlg(Prompter* prompter, QWidget* parent = nullptr);
    ~CTrevikDlg() override;

    // ---- Set-up before OnInitDialog (tests) ----
    // The removable-drive probe (default QV_Storage_probeUnit).
    void SetStorageProbe(std::function<int()> probe) { m_probe = std::move(probe); }
    // Where the default probe looks and how it hands a drive back (tests: a
    // fake sysfs tree); the strings must outlive the window.
    void SetStorageRoots(const QV_StorageRoots& roots) { m_storageRoots = roots; }
    // Whether OnInitDialog starts the system's device notices (default yes).
    void SetWatchDevices(bool watch) { m_watchDevices = watch; }
    // Delay of the attach after the probe found the unit (default 2000 ms).
    void SetDelayedOpenMs(uint32_t ms) { m_delayedOpenMs = ms; }
    // Whether the unit is looked for and attached only after the window's
    // first paint, so the window shows at once (default no: at once in
    // OnInitDialog).
    void SetAttachAfterFirstPaint(bool later) { m_attachAfterPaint = later; }
    // Runs fn from the event loop once the window's first paint is over
    // (right away when it is).
    void CallAfterFirstPaint(std::function<void()> fn);
    // Where the version check looks (default: the build's hosts, or
    // TREVIK_VERSION_SERVER; tests: a server on 127.0.0.1).
    void SetVersionHosts(const VersionHosts& hosts) { m_hosts = hosts; }

    // Creates the device link, lays out the controls and attaches the unit.
    // Returns false when the device link cannot be created (after the
    // "Error" box); the window has then ended itself.
    bool OnInitDialog();

    // ---- Handlers ----
    void RefreshDeviceState();
    int OnDeviceChange(unsigned event, int classCode, const QString& name);
    void OnClickOpen();
    // Makes path the chosen package, as a file picked with Open is: a
    // running version check stops, the path is shown, Update follows the
    // connection.
    void ChoosePackage(const QString& path);
    void OnClickUpdate();
    void OnClickSetting();
    // Applies the newest backup of the attached unit's settings (taken
    // before an update) once its parameter record is valid again and of the
    // backup's kind, after showing what will be applied.
    void OnRestoreSettings();
    void OnClickClose();
    // After an update that reset the unit's settings: says so, names the
    // backup folder, and offers to restore them once the unit is back.
    void OfferRestore(const std::string& folder);
    // The offer's text, and the label of its button that restores.
    // earlier: the time of the backup offered when it was taken before an
    // earlier update (this run's own backup holds defaults); empty otherwise.
    static QString RestoreOfferText(const std::string& folder, const std::string& earlier = {});
    static QString RestoreNowText() { return QStringLiteral("Restore once restarted"); }
    // The backup folder waiting for the unit to come back (empty: none).
    const std::string& PendingRestore() const { return m_restoreFolder; }
    void OnDropFiles(const QStringList& paths);
    void OnSysCommand(uint32_t id);
    // The message table, on the window's thread: the download messages,
    // UWM_ASK_PROVINCE, WM_SYSCOMMAND and WM_COMMAND. Returns the handler's
    // result (0 for messages it does not handle).
    intptr_t SendMessage(uint32_t message, uintptr_t wParam, intptr_t lParam);
    // DownloadOwner: queues a download message to the window's thread.
    void post(uint32_t message, uintptr_t wParam, intptr_t lParam) override;

    // Reads a version file into the window's version-check state and shows
    // the outcome. Returns 1 read, 0 failed.
    int LoadVersionFile(const QString& path);

    // ---- State ----
    bool IsConnected() const;
    bool IsUpdating() const { return m_worker.load() != nullptr; }
    bool IsClosing() const { return m_closing.load() != 0; }
    QV_Machine* Machine() const { return m_machine; }
    QString PackagePath() const { return m_packagePath; }
    QString StatusText() const;
    QString ProgressText() const;
    CTextProgressCtrl* Progress() const { return m_progress; }
    CShadeButtonST* Button(int id) const;
    QWidget* Control(int id) const;
    int OnlineVersion() const { return m_vc.online_version; }
    const VersionCheckState& VersionState() const { return m_vc; }
    int ProvinceMode() const { return m_provinceMode; }
    const int* ProvinceFlags() const { return m_provinceFlags; }
    // The system menu's item: customer name, "Version", 407.
    QString SystemMenuText() const;
    // The context menu's item that restores the settings from a backup.
    static QString RestoreMenuText();
    // The last update run's outcome text shown or withheld ("" before any),
    // without the explanation shown under a failure.
    QString LastRunBoxText() const;
    // The tooltip button id shows now.
    QString ButtonTip(int id) const;
    // Runs the window's event loop until no update run is left (tests).
    bool WaitForRunEnd(int timeoutMs);

    // Functions handed to the device link and the timer service.
    static int AcceptUnit(void* window, const uint8_t* identity);
    static void ProgressFn(void* window, QV_Machine* machine, int kind, uint32_t value,
                           uint32_t startTick);
    static int AttachUnit(void* window, const char16_t* path);
    static void DelayedOpen(void* window);
    // A unit another program holds is looked for again every
    // BUSY_RETRY_MS until it is free or gone: its lock ends without a
    // device notice.
    static constexpr int BUSY_RETRY_MS = 1000;
    void RetryWhileBusy();
    // The worker thread's routine: the update run, then its end posted to
    // the window.
    static int RunWorker(Thread* thread, void* window);

  public slots:
    void done(int result) override;

  protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    // The first paint settles the start's focus and attaches the unit when
    // that was put off.
    void paintEvent(QPaintEvent* event) override;
    // Fills a button's tooltip from the window's state when it is asked for.
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    friend class TrevikUpdateHost;

    void BuildControls();
    // Starts the system's device notices (when watched) and the timer
    // service, once.
    void StartServices();
    // The default removable-drive probe: looks under m_storageRoots and
    // says in the status line a drive it could not hand back.
    int ProbeStorage();
    void FitButtons();
    // Focus on Update when it is enabled, else on Open, until the user has
    // pressed a key or a button.
    void PlaceStartFocus();
    void SetTitle(const QString& state);
    // The connected unit's title with the GPS date it last reported.
    void ShowUnitTitle();
    void EnableUpdateAndSetting(bool update, bool setting);
    void SetStatusText(const QString& text);
    // Runs fn on the window's thread and waits (directly when already there).
    void SendToWindow(const std::function<void()>& fn);
    void PostToWindow(const std::function<void()>& fn);
    // The province question; held: the provinces the package holds (34
    // flags, 1 = held), null when not told (every province is offered).
    intptr_t OnAskProvince(int* mode, int* flags, const int* held = nullptr);
    void OnDownloadFinished(int result, intptr_t detail);
    void OnDownloadSize(uint32_t length);
    void OnDownloadSpeed(uint32_t speed, uint32_t received);
    void StartVersionCheck();
    void ApplyView(const VersionCheckView& view);
    void SaveDeviceInfo();
    void ReadServerData();
    // Both read-outs: with a unit connected, asks where to save (filter),
    // runs readOut into that file and shows its outcome.
    void SaveReadOut(const char* filter,
                     QV_ServiceOutcome (*readOut)(QV_Machine*, const char16_t*));
    // The run's end on the window's thread, the one way it gets there: the
    // worker posts it once the run has returned.
    void OnRunEnded();
    // After a run: the unit notices that came meanwhile, then the title.
    void SettleAfterRun();
    // Closing while a run writes: waits for its end, then the settings
    // notice or the restore offer the run's end owes. False when the user
    // chose to restore now: the window then stays open.
    bool FinishRunBeforeClosing();
    // Waits for a running update to end with the window's loop running,
    // showing that it is finishing.
    void WaitForRunAtClose();
    // Before buttons are disabled: a focus on one of them moves to Open
    // when it stays usable, else to the window itself, never on to Close.
    void MoveFocusOffDisabled(std::initializer_list<QWidget*> leaving);
    // The bar after a failed run, and the bar that shows nothing.
    void SettleBarAfterFailure();
    // The newest backup of the attached unit (empty folder: none).
    UnitBackupEntry NewestBackup() const;
    // Applies a backup's settings, after showing them when ask is set.
    void RestoreBackup(const UnitBackupEntry& backup, bool ask);
    // The restore the user asked for, once the unit is back with a record.
    void RestoreWhenBack();
    void ClearBar();
    // Closing: waits for a running update to end (showing that it is
    // finishing), then stops the download, the timers and the device link.
    void Shutdown();

    Prompter* m_prompter;
    QIcon m_hIcon;
    QImage m_provinceMap;
    std::atomic<int> m_closing{0};
    std::atomic<Thread*> m_worker{nullptr};
    // Backup, history and read-back around the run's writes; outlives m_run.
    std::unique_ptr<SafeUpdateGuard> m_guard;
    std::unique_ptr<UpdateRun> m_run;
    std::unique_ptr<TrevikUpdateHost> m_host;
    QString m_packagePath;
    VersionCheckState m_vc;
    VersionHosts m_hosts;
    QV_Machine* m_machine = nullptr;
    int m_provinceMode = 0;
    int m_provinceFlags[PROVINCE_COUNT] = {};
    CTextProgressCtrl* m_progress = nullptr;
    CShadeButtonST* m_btnOpen = nullptr;
    CShadeButtonST* m_btnUpdate = nullptr;
    CShadeButtonST* m_btnClose = nullptr;
    CShadeButtonST* m_btnSetting = nullptr;
    QLabel* m_picture = nullptr;
    QGroupBox* m_groupFile = nullptr;
    QGroupBox* m_groupProgress = nullptr;
    QLabel* m_status = nullptr;
    std::unique_ptr<CHttpDownload> m_download;
    uint32_t m_downloadTotal = 0;
    mutable std::mutex m_failureLock;
    std::u16string m_downloadFailure;
    QString m_lastBoxText;
    // The backup to restore once the unit has restarted.
    std::string m_restoreFolder;
    // A run that reset the settings ended while the window was closing.
    bool m_resetAtClose = false;
    QString m_statusBeforeRestore;
    // The status text a running version check replaced.
    QString m_statusBeforeCheck;

    std::function<int()> m_probe;
    QV_StorageRoots m_storageRoots;
    bool m_watchDevices = true;
    uint32_t m_delayedOpenMs = 2000;
    bool m_attachAfterPaint = false;
    bool m_attachPending = false;
    bool m_painted = false;
    std::vector<std::function<void()>> m_afterFirstPaint;
    bool m_startFocus = true;
    DeviceNotifier* m_notifier = nullptr;
    // A unit notice that came while a run used the unit.
    enum class PendingNotice { None, Arrival, Removal };
    PendingNotice m_pendingNotice = PendingNotice::None;
    bool m_timersStarted = false;
    bool m_shutDown = false;
    bool m_busyRetry = false; // a look for a busy unit is due
    bool m_shuttingDown = false;
};
