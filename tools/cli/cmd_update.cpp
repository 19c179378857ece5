// trevik-cli update: the update run of the window, on the terminal.
//
//   trevik-cli update [FILE] [--national | --provinces LIST] [--dry-run]
//                     [--unit hid|socket:PATH]
//
// With FILE the package is that file (a .dqv package); without it the
// newest package named by the unit's version file is downloaded.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "app/progress_text.h"
#include "common_t73/QV_Hid.h"
#include "common_t73/QV_Machine.h"
#include "online/HttpDownload.h"
#include "online/VersionCheck.h"
#include "package/package.h"
#include "package/update_run.h"
#include "support/build_settings.h"
#include "support/text.h"
#include "tools/cli/cli.h"
#include "tools/cli/safety.h"

namespace {

// What the user sees of the progress bar. On a terminal every text is
// redrawn in place. Otherwise each phase ("updating", "Decompressing
// database…") gets its own line, and the figures within a phase at most one
// line a second, the last of them always shown before the next phase.
class TerminalProgress {
  public:
    TerminalProgress() : tty_(isatty(fileno(stdout)) != 0) {}

    // A new phase of the run.
    void phase(const std::string& text) {
        if (text.empty())
            return;
        if (tty_) {
            draw(text);
            return;
        }
        flushPending();
        line(text);
        last_ = std::chrono::steady_clock::time_point();
    }

    // A new figure within the phase.
    void figure(const std::string& text) {
        if (text.empty() || text == shown_)
            return;
        if (tty_) {
            draw(text);
            return;
        }
        auto now = std::chrono::steady_clock::now();
        if (now - last_ < std::chrono::seconds(1)) {
            pending_ = text;
            return;
        }
        line(text);
        pending_.clear();
        last_ = now;
    }

    // Ends the progress display before other output.
    void finish() {
        if (tty_ && open_line_) {
            std::printf("\n");
            open_line_ = false;
        }
        flushPending();
        std::fflush(stdout);
    }

  private:
    void draw(const std::string& text) {
        std::printf("\r%s\033[K", text.c_str());
        std::fflush(stdout);
        shown_ = text;
        open_line_ = true;
    }
    void line(const std::string& text) {
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
        shown_ = text;
    }
    void flushPending() {
        if (!pending_.empty() && pending_ != shown_)
            line(pending_);
        pending_.clear();
    }

    bool tty_;
    bool open_line_ = false;
    std::string shown_;
    std::string pending_;
    std::chrono::steady_clock::time_point last_;
};

std::string utf8(const std::u16string& s) {
    return wtext_to_utf8(s.c_str());
}

// The province names as UTF-8, in flag order.
std::vector<std::string> province_names_utf8() {
    std::vector<std::string> names;
    for (int i = 0; i < PROVINCE_COUNT; ++i) {
        char16_t wide[32] = {};
        ansi_to_wtext(wide, 32, PROVINCE_NAMES[i], -1);
        names.push_back(wtext_to_utf8(wide));
    }
    return names;
}

} // namespace

std::string parse_province_list(const std::string& list, int flags[UPDATE_PROVINCE_COUNT]) {
    std::vector<std::string> names = province_names_utf8();
    for (int i = 0; i < UPDATE_PROVINCE_COUNT; ++i)
        flags[i] = 0;
    int count = 0;
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        std::string item =
            list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        size_t b = item.find_first_not_of(" \t");
        size_t e = item.find_last_not_of(" \t");
        item = b == std::string::npos ? std::string() : item.substr(b, e - b + 1);
        if (!item.empty()) {
            int index = -1;
            if (item.find_first_not_of("0123456789") == std::string::npos && item.size() <= 2)
                index = std::stoi(item);
            for (int i = 0; i < PROVINCE_COUNT && index < 0; ++i)
                if (names[i] == item)
                    index = i;
            if (index < 0 || index >= PROVINCE_COUNT)
                return "unknown province: " + item;
            if (!flags[index])
                ++count;
            flags[index] = 1;
        }
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (count == 0)
        return "至少需选择一个省数据或者选择全国包！";
    if (count > 12)
        return "最多只能选择12个省分更新！";
    return "";
}

namespace {

// How the province question is answered.
struct ProvinceChoice {
    bool national = false;
    std::string list; // --provinces
};

// Window's acceptance rule: units of other customers are refused.
int accept_unit(void* user, const uint8_t* identity) {
    (void)user;
    const char* id = reinterpret_cast<const char*>(identity);
    if (std::strcmp(TOOL_CUSTOMER_NAME, NO_CUSTOMER_NAME) == 0)
        return 1;
    if (known_customer_lookup(id, MACHINE_IDENTITY_SIZE) < 0)
        return 1;
    if (std::memcmp(id, TOOL_CUSTOMER_NAME, 12) == 0)
        return 1;
    if (std::memcmp(id, SERVED_CUSTOMER_PREFIX, SERVED_CUSTOMER_PREFIX_LEN) == 0)
        return 1;
    if (std::memcmp(id, SERVED_CUSTOMER_FULL, SERVED_CUSTOMER_FULL_LEN) == 0)
        return 1;
    return 0;
}

class CliUpdateHost : public UpdateHost, public DownloadOwner {
  public:
    CliUpdateHost(QV_Machine* m, TerminalProgress* progress, ProvinceChoice choice)
        : machine_(m), progress_(progress), choice_(std::move(choice)) {}

    // Device progress: the window's progress function, on the terminal.
    static void onDeviceProgress(void* user, QV_Machine* m, int kind, uint32_t value,
                                 uint32_t start_tick) {
        (void)start_tick;
        auto* self = static_cast<CliUpdateHost*>(user);
        if (!self)
            return;
        if (kind == 0) {
            self->device_start_ = std::chrono::steady_clock::now();
            return;
        }
        auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(
            std::chrono::steady_clock::now() - self->device_start_);
        self->progress_->figure(
            progress_device_text(wtext_to_utf8(m->status_text), value, uint32_t(elapsed.count())));
    }

    void setMachine(QV_Machine* m) { machine_ = m; }

    void enableButtons(bool) override {}
    void setProgressText(const std::u16string& text) override {
        text_ = utf8(text);
        progress_->phase(text_);
    }
    void setProgressRange(uint32_t upper) override {
        range_ = upper;
        setProgressPos(0);
    }
    void setProgressPos(uint32_t pos) override {
        if (range_ == 0 || text_.empty())
            return;
        char buf[32];
        std::snprintf(buf, sizeof buf, " %u%%", unsigned(uint64_t(pos) * 100 / range_));
        progress_->figure(text_ + buf);
    }

    int askProvince(int* mode, int flags[UPDATE_PROVINCE_COUNT]) override {
        if (choice_.national) {
            *mode = 0;
            return 0;
        }
        if (!choice_.list.empty()) {
            std::string why = parse_province_list(choice_.list, flags);
            if (!why.empty()) {
                progress_->finish();
                std::fprintf(stderr, "%s\n", why.c_str());
                return 1;
            }
            *mode = 1;
            return 0;
        }
        progress_->finish();
        if (!isatty(fileno(stdin))) {
            std::fprintf(stderr,
                         "This package carries the database per province: choose --national or "
                         "--provinces LIST (names or numbers 0-33, at most 12).\n");
            return 1;
        }
        std::printf("%s [y/n] ",
                    "进入省份选择界面（更新分省全部类型数据包）请选择‘是’；直接升级全国"
                    "数据包测速照相类精简包(无生活安全提示数据类)请选择‘否’，建议选择"
                    "‘是’！");
        std::fflush(stdout);
        std::string answer;
        if (!std::getline(std::cin, answer))
            return 1;
        if (answer != "y" && answer != "Y" && answer != "yes") {
            *mode = 0;
            return 0;
        }
        std::vector<std::string> names = province_names_utf8();
        for (int i = 0; i < PROVINCE_COUNT; ++i)
            std::printf("%2d %s%s", i, names[i].c_str(), i % 6 == 5 ? "\n" : "\t");
        std::printf("\nProvinces (names or numbers, comma-separated, at most 12): ");
        std::fflush(stdout);
        std::string list;
        if (!std::getline(std::cin, list))
            return 1;
        std::string why = parse_province_list(list, flags);
        if (!why.empty()) {
            std::fprintf(stderr, "%s\n", why.c_str());
            return 1;
        }
        *mode = 1;
        return 0;
    }

    void showMessage(const std::u16string& text, const std::u16string&, UpdateIcon icon) override {
        progress_->finish();
        std::fprintf(icon == UpdateIcon::Error ? stderr : stdout, "%s\n", utf8(text).c_str());
    }
    bool isClosing() override { return false; }
    bool isConnected() override { return QV_Machine_isConnected(machine_) != 0; }
    CHttpDownload* downloadComponent() override { return &download_; }
    DownloadOwner* downloadOwner() override { return this; }
    std::u16string downloadFailureText() override { return failure_; }
    void clearDownloadFailureText() override { failure_.clear(); }

    // Download messages arrive on the downloading thread, which here is the
    // run's own.
    void post(uint32_t message, uintptr_t wparam, intptr_t lparam) override {
        switch (message) {
        case UWM_DOWNLOAD_SIZE:
            total_ = uint32_t(wparam);
            break;
        case UWM_DOWNLOAD_SPEED:
            progress_->figure(progress_download_text(total_, uint32_t(lparam), uint32_t(wparam)));
            break;
        case UWM_DOWNLOAD_FINISHED:
            if (wparam == 0)
                progress_->figure(progress_download_text(total_, total_, 0));
            else if (wparam != 6) {
                failure_ = VERSION_TEXT_PACKAGE_FAILED;
                progress_->figure(utf8(failure_));
            }
            break;
        default:
            break;
        }
    }

  private:
    QV_Machine* machine_;
    TerminalProgress* progress_;
    ProvinceChoice choice_;
    std::string text_;
    uint32_t range_ = 0;
    uint32_t total_ = 0;
    std::u16string failure_;
    CHttpDownload download_;
    std::chrono::steady_clock::time_point device_start_ = std::chrono::steady_clock::now();
};

struct AttachState {
    QV_Machine* machine = nullptr;
    bool opened = false;
    QV_HidOpenError why = QV_HID_OPEN_OK;
};

int attach_unit(void* owner, const char16_t* path) {
    auto* state = static_cast<AttachState*>(owner);
    QV_HidHandle* handle = QV_Hid_open(path);
    if (handle) {
        QV_Machine_attach(state->machine, handle);
        state->opened = true;
    } else {
        state->why = QV_Hid_lastOpenError();
    }
    return 0; // the first unit found is the one used
}

// The version servers, both replaced by TREVIK_VERSION_SERVER=host:port
// when it is set (tests and demos).
VersionHosts cli_version_hosts() {
    VersionHosts hosts;
    const char* server = std::getenv("TREVIK_VERSION_SERVER");
    if (server && *server) {
        hosts.maker = server;
        hosts.customer_b = server;
    }
    return hosts;
}

bool ask_yes(const char* question) {
    std::printf("%s [y/n] ", question);
    std::fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer))
        return false;
    return answer == "y" || answer == "Y" || answer == "yes";
}

// Reads the unit's version file and fills the source with what it names,
// as the window does before its Update button starts a run. Returns false
// (with the reason on stderr) when there is nothing to download, or the
// user declined to write a package that is not newer.
bool find_online_package(QV_Machine* machine, UpdateSource* source) {
    VersionCheckState st;
    BuildVersionFileUrl(machine, &st.version_file_url, cli_version_hosts());
    if (st.version_file_url.empty()) {
        std::fprintf(stderr, "This unit has no online update service; name a package FILE.\n");
        return false;
    }
    CHttpDownload version_download;
    std::u16string target = version_file_target();
    DownloadOutcome got = download_file(version_download, nullptr, st.version_file_url, target,
                                        VERSION_FILE_MAX_SIZE);
    version_download.Stop();
    if (!got.startError.empty()) {
        std::fprintf(stderr, "%s\n", wtext_to_utf8(got.startError.c_str()).c_str());
        return false;
    }
    VersionCheckView view;
    if (got.result != DOWNLOAD_RESULT_OK || !LoadVersionFile(st, target.c_str(), &view)) {
        std::fprintf(stderr, "%s\n", wtext_to_utf8(VERSION_TEXT_FAILED).c_str());
        return false;
    }
    if (view.set_status)
        std::printf("%s\n", wtext_to_utf8(view.status.c_str()).c_str());
    const DateStamp& gps = machine->gps_date;
    uint32_t unit_version = gps.year * 10000u + gps.month * 100u + gps.day;
    if (version_check_should_ask(st, false, unit_version)) {
        const char* question = "Already the newest version,Updated or Not?";
        if (isatty(fileno(stdin))) {
            if (!ask_yes(question))
                return false;
        } else {
            std::printf("Already the newest version; updating as asked.\n");
        }
    }
    source->list_form = st.list_form;
    source->download_url = st.package_url;
    return true;
}

struct UpdateOptions {
    std::string file;
    bool national = false;
    std::string provinces;
    bool dry_run = false;
    std::string unit = "hid";
    CliSafetyOptions safety;
};

int run_update(const UpdateOptions& opt) {
    if (!QV_Hid_selectSource(opt.unit)) {
        std::fprintf(stderr, "--unit: expected hid or socket:PATH, got %s\n", opt.unit.c_str());
        return CLI_USAGE;
    }
    TerminalProgress progress;
    ProvinceChoice choice{opt.national, opt.provinces};
    // The host exists before the machine, whose progress reaches it.
    CliUpdateHost host(nullptr, &progress, choice);
    QV_Machine* machine =
        QV_Machine_create(accept_unit, nullptr, &CliUpdateHost::onDeviceProgress, &host);
    host.setMachine(machine);
    if (!machine) {
        std::fprintf(stderr, "Error\n");
        return CLI_FAILED;
    }
    AttachState state;
    state.machine = machine;
    QV_Hid_findUnit(&state, attach_unit);
    if (!state.opened) {
        if (state.why == QV_HID_OPEN_DENIED)
            std::fprintf(stderr, "%s\n", QV_Hid_permissionText());
        else
            std::fprintf(stderr, "   No hardware connected!\n");
        QV_Machine_release(machine);
        return CLI_FAILED;
    }
    // A refused unit still counts as connected, with what could be read.
    if (!QV_Machine_getDeveiceInfo(machine) && QV_Machine_isConnected(machine))
        std::fprintf(stderr, "%s\n", CLI_OTHER_CUSTOMER_UNIT);

    UpdateSource source;
    if (!opt.file.empty()) {
        source.package_path = utf8_to_wtext(opt.file);
    } else if (!find_online_package(machine, &source)) {
        QV_Machine_release(machine);
        return CLI_FAILED;
    }

    UpdateRun run(&host, machine, source);
    run.setDryRun(opt.dry_run);
    std::unique_ptr<UpdateGuard> guard;
    if (!opt.dry_run) {
        guard = cli_safety_guard(opt.safety);
        run.setGuard(guard.get());
    }
    UpdateOutcome outcome = run.run();
    progress.finish();
    if (opt.dry_run && outcome.planned)
        std::printf("%s", outcome.plan_text.c_str());
    int code = cli_safety_finish(guard.get(), outcome,
                                 outcome.result == UPDATE_SUCCEEDED ? CLI_OK : CLI_FAILED);
    QV_Machine_release(machine);
    return code;
}

void setup_update(CLI::App& root, int* exit_code) {
    auto opt = std::make_shared<UpdateOptions>();
    CLI::App* cmd = root.add_subcommand(
        "update", "Write an update package into the unit (without FILE: the newest one online)");
    cmd->add_option("FILE", opt->file, "Update package (.dqv)");
    CLI::Option* national = cmd->add_flag(
        "--national", opt->national, "Per-province package: write the national condensed package");
    CLI::Option* provinces = cmd->add_option(
        "--provinces", opt->provinces,
        "Per-province package: write these provinces (names or numbers 0-33, comma-separated, "
        "at most 12)");
    national->excludes(provinces);
    cmd->add_flag("--dry-run", opt->dry_run,
                  "Load, check and print the write plan without writing to the unit");
    cmd->add_option("--unit", opt->unit, "Where the unit is: hid or socket:PATH")
        ->default_val("hid");
    cli_safety_add_options(cmd, &opt->safety);
    cmd->callback([opt, exit_code] { *exit_code = run_update(*opt); });
}

CliRegistrar registrar(setup_update);

} // namespace
