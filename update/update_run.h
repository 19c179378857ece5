// One update run: takes the chosen package (or downloads the newest one),
// unpacks it when it comes in a zip archive, loads and checks it, asks about
// the province database, writes it into the unit, reports the outcome and
// removes its temporary files.
//
// The run talks to whoever started it through UpdateHost, so the window
// (on its worker thread) and trevik-cli (on its main thread) run the same
// steps. Write progress does not pass through here: the device link reports
// it to the progress function its machine was created with.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "package/package.h"
#include "package/package_check.h"
#include "update/failure_text.h"
#include "update/package_open.h"
#include "update/write_plan.h"

struct QV_Machine;
struct Package;
struct Thread;
class CHttpDownload;
class DownloadOwner;

// Texts the run shows.
inline constexpr const char16_t* UPDATE_TEXT_UPDATING = u"updating";
inline constexpr const char16_t* UPDATE_TEXT_DECOMPRESSING = u"Decompressing database\u2026";
inline constexpr const char16_t* UPDATE_TEXT_SUCCESS = u"Update Successfully!";
inline constexpr const char16_t* UPDATE_TEXT_OPEN_FAILED = u"Open update file failed!";
inline constexpr const char16_t* UPDATE_TEXT_NO_UPDATE_FILE = u"Can not Find Update File!";
inline constexpr const char16_t* UPDATE_TEXT_FAILED = u"Update Failed!";
inline constexpr const char16_t* UPDATE_TEXT_TOO_LARGE = u"Error!The gps data is too large!";
inline constexpr const char16_t* UPDATE_TEXT_NO_SOUND = u"Error!No sound found!";
// Only provinces chosen that the package holds no data for.
inline constexpr const char16_t* UPDATE_TEXT_PROVINCE_NOT_HELD =
    u"所选省份不在此数据包中，无法升级！";
inline constexpr const char16_t* UPDATE_CAPTION = u"Update Tool";
// Name of the unpacked package in the run directory.
inline constexpr const char16_t* UPDATE_EXTRACTED_NAME = u"tmp.dqv";

// The customer name a package must begin with is compared over 12 bytes.
inline constexpr size_t UPDATE_CUSTOMER_NAME_COMPARE = 12;

enum class UpdateIcon { Information, Error };

// What the run needs from whoever started it. Every call comes from the
// thread that executes UpdateRun::run.
class UpdateHost {
  public:
    virtual ~UpdateHost() = default;
    // Enables or disables the Update, Setting and Open buttons together.
    virtual void enableButtons(bool enabled) = 0;
    // The progress bar's text; an empty text clears it.
    virtual void setProgressText(const std::u16string& text) = 0;
    // The progress bar's range 0..upper with position 0 (archive extraction).
    virtual void setProgressRange(uint32_t upper) = 0;
    // The progress bar's position.
    virtual void setProgressPos(uint32_t pos) = 0;
    // The province question of a package with a province table. Returns 0
    // to go on, with *mode (0 national condensed package, 1 per province)
    // and flags (1 = selected, in PROVINCE_NAMES order) filled; non-zero
    // abandons the run quietly.
    virtual int askProvince(int* mode, int flags[PROVINCE_COUNT]) = 0;
    // Which provinces the package's table holds (1 = held, PROVINCE_NAMES
    // order), told just before askProvince so the question offers only
    // those. A choice of none of them fails the run.
    virtual void provincesHeld(const int held[PROVINCE_COUNT]) { (void)held; }
    // A message box owned by the host; an empty caption means none.
    virtual void showMessage(const std::u16string& text, const std::u16string& caption,
                             UpdateIcon icon) = 0;
    // True once the host is closing: failures are then not reported.
    virtual bool isClosing() = 0;
    // True while the unit is connected (its machine holds an open channel).
    virtual bool isConnected() = 0;
    // The download component a package download uses, and the owner its
    // messages go to. Null when the host cannot download.
    virtual CHttpDownload* downloadComponent() = 0;
    virtual DownloadOwner* downloadOwner() = 0;
    // The text the host's download-end handling sets when a package
    // download failed; the run clears it before it downloads.
    virtual std::u16string downloadFailureText() = 0;
    virtual void clearDownloadFailureText() = 0;
    // Between the attempts of a package download whose connection dropped:
    // the text saying a retry follows; the empty text once the download is
    // over, to put back what it replaced.
    virtual void downloadNotice(const std::u16string& text) { (void)text; }
    // The run is over (its worker reference may be cleared).
    virtual void runEnded() {}
};

// Where the package comes from: the chosen package path wins (a package, or
// a zip archive that is unpacked like a downloaded one); otherwise the
// download URL, unless the version file was of the list form.
struct UpdateSource {
    std::u16string package_path;
    int list_form = 0;
    std::u16string download_url;
};

inline constexpr int UPDATE_SUCCEEDED = 0;
inline constexpr int UPDATE_FAILED = 1;
inline constexpr int UPDATE_ABANDONED = 2; // the province question was declined

// The step a run was at; a failed run tells where it stopped.
enum class UpdateStage {
    Source,    // choosing the package (nothing chosen, nothing to download)
    Download,  // fetching the package
    Unpack,    // unpacking the zip archive
    Load,      // loading and checking the package
    Provinces, // building the chosen provinces' image
    Plan,      // fitting the package to the unit
    Guard,     // the guard's steps before writing: backup, confirmation
    Write,     // writing into the unit
};

// How a run ended.
struct UpdateOutcome {
    int result = UPDATE_FAILED;
    UpdateStage stage = UpdateStage::Source; // where a failure happened
    std::u16string message;                  // failure message; empty on success
    int status = 0;                          // numeric status of the last device step, 0 = none
    std::u16string box_text; // the text of the box shown (or withheld while closing)
    // Dry runs: what would be written.
    int planned = 0;      // 1 when the plan below was computed
    int program_only = 0; // 1 for a package that holds one program image only
    WritePlan write_plan;  // data pointers cleared (the package is gone)
    std::string plan_text; // the plan, one item per line (write_plan_text)
    // Set by an UpdateGuard: a note for the end of the run (how to bring the
    // unit's settings back), and whether the run was stopped from outside.
    std::u16string notice;
    int interrupted = 0;
    // What was wrong with the package or archive when the run could not use
    // it (None otherwise).
    PackageCheck package;
    // Set by an UpdateGuard when the writes were acknowledged but the unit
    // could not confirm them afterwards (it could not be read after the
    // run, or still holds its old parameter record): why, for the user.
    // The run's own text stays; the result is not a confirmed success.
    std::u16string unconfirmed;
    // A failed package download: the server's answer or the transfer's
    // own words (an HTTP status named), empty when none came.
    FailureText download_cause;
};

// What a run is about to write into the unit, handed to its guard.
struct UpdateWriteStep {
    UpdateHost* host = nullptr;
    QV_Machine* machine = nullptr;
    const Package* pkg = nullptr; // loaded, provinces merged
    std::u16string package_path;  // the file loaded (an unpacked or downloaded one included)
    // The package as the user chose it: the file (a zip archive, not what
    // was unpacked from it) or the download URL; the archive's entry that
    // was unpacked (empty for a plain package); SHA-256 of the bytes the
    // package was loaded from (empty when they could not be hashed).
    std::u16string source;
    std::u16string archive_entry;
    std::string package_sha256;
    int has_province_table = 0;
    int province_mode = 0; // 1: the provinces below, 0: national
    int province_flags[PROVINCE_COUNT] = {};
    int program_only = 0;
    // The plan the run carries out, computed once before the guard is
    // asked (its result may refuse the run after the guard's steps).
    const WritePlan* plan = nullptr;
};

// Work around the writes of a run (a backup of the unit, the update
// history, a read-back check). The run calls beforeWrite once it is about to
// write, and afterWrite once the writes are over, whatever their result.
class UpdateGuard {
  public:
    virtual ~UpdateGuard() = default;
    // Returns an empty text to go on; otherwise the run ends as a failure
    // with that message and nothing is written.
    virtual std::u16string beforeWrite(const UpdateWriteStep& step) = 0;
    // The package is still loaded; outcome may be changed (a failed check
    // turns a success into a failure). Called on every way out of a run
    // that beforeWrite let go on, a failure thrown in between included.
    virtual void afterWrite(const UpdateWriteStep& step, UpdateOutcome* outcome) = 0;
};

// The run directory and download target of a package URL, kept inside the
// temporary directory.
struct UpdateDownloadNames {
    int valid = 0;            // 0: the URL names no file (empty, ".", "..")
    std::u16string name;      // the URL's file name
    std::u16string run_dir;   // temporary directory + stem, no trailing '/'
    std::u16string target;    // run_dir + '/' + name
    std::u16string extracted; // run_dir + "/tmp.dqv"
};

// Names for a download of url under temp_dir (ending in '/'). The name is
// the URL's last path segment without query or fragment; '\' counts as a
// separator too, and a stem of dots only counts as no stem, so neither the
// run directory nor the target can leave temp_dir. valid is 0 when nothing
// names a file.
UpdateDownloadNames update_download_names(const std::u16string& url,
                                          const std::u16string& temp_dir);

// The extension rule of a downloaded file: 1 for "rar", "zip" or "7z"
// (unpack), 2 for "dqv" (load), 0 otherwise; compared without case on the
// text after the name's last '.'.
int update_download_kind(const std::u16string& name);

// Whether the package holds exactly one program image and nothing else.
// 0 for null.
int update_is_program_only(const Package* pkg);

// Whether the unit's client id (identity block text up to a 0 byte or
// erased flash) begins with a known customer id. 0 for null.
int update_unit_has_known_client(const QV_Machine* m);

// The message box text of a failure: the message, then "  %d" with the
// status when it is not 0.
std::u16string update_failure_text(const std::u16string& message, int status);

// The failure text of a package download that gave up, with the reason
// (libcurl's message, UTF-8) on the next line; the text alone when there is
// no reason.
std::u16string update_download_failure_text(const std::u16string& text, const std::string& reason);

class UpdateRun {
  public:
    // machine is the connected unit's device link; host and machine must
    // outlive the run.
    UpdateRun(UpdateHost* host, QV_Machine* machine, UpdateSource source);

    // A dry run loads, checks and plans, but writes nothing to the unit and
    // shows no success box; the plan lands in the outcome.
    void setDryRun(bool dry) { dry_run_ = dry; }

    // A guard around the writes (not called in a dry run); null for none.
    // It must outlive the run.
    void setGuard(UpdateGuard* guard) { guard_ = guard; }

    // Replaces the pauses between download attempts (1 s, 2 s, 4 s): called
    // with the pause in ms, returns false to give up. Tests keep them short.
    void setDownloadPause(std::function<bool(int ms)> pause) { pause_ = std::move(pause); }

    // Runs at once on several units unpack the same chosen archive each into
    // a run directory of its own: its name begins with prefix.
    void setRunDirectoryPrefix(std::u16string prefix) { run_prefix_ = std::move(prefix); }

    // Carries out the whole run and returns how it ended. A null host or
    // machine ends it at once as a failure with "Open update file failed!".
    UpdateOutcome run();

    // The outcome of the last run.
    const UpdateOutcome& outcome() const { return outcome_; }

  private:
    bool obtainFromDownload(std::u16string* package_path);
    bool unpack(const std::u16string& archive, std::u16string* package_path);
    bool unpackChosen(std::u16string* package_path);
    // The unpack's progress, shown on the host's bar.
    PackageUnpackProgress unpackProgress();
    // Whether a downloaded file of kind (update_download_kind) holds a
    // package: one that loads and is this customer's, an archive whose
    // package unpacks whole.
    bool downloadedFileIsSound(const std::u16string& path, int kind);
    void writeIntoUnit(Package* pkg, const WritePlan& plan);
    void planOnly(const WritePlan& plan);
    // The failure of a check result other than PLAN_OK.
    void failPlan(int result);
    void fail(const std::u16string& message, int status = 0);
    void enter(UpdateStage stage) { outcome_.stage = stage; }
    void removeTemporaryFiles();
    // Sweeps leftovers of ended runs, prepares run_dir (unless it is top,
    // the temporary directory itself) and claims it for this run. False
    // when run_dir is not this user's own.
    bool claimRunDirectory(const std::u16string& run_dir, const std::u16string& top);

    UpdateHost* host_;
    QV_Machine* machine_;
    UpdateSource source_;
    bool dry_run_ = false;
    UpdateGuard* guard_ = nullptr;
    std::function<bool(int ms)> pause_;
    std::u16string run_prefix_;
    UpdateOutcome outcome_;
    std::u16string download_target_;
    std::u16string extracted_;
    std::u16string archive_entry_; // the entry an unpack took
    std::u16string run_dir_; // the run directory of a zip or download, when not the top one
    int run_claim_ = -1;     // this process's claim on the run directory
};

// Thread routine for a run started with thread_create: argument is the
// UpdateRun. Returns 0 when the run is over.
int update_worker(Thread* thread, void* argument);
