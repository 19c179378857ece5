// trevik-cli update: the update run of the window, on the terminal.
//
//   trevik-cli update [FILE] [--national | --provinces LIST] [--dry-run]
//                     [--unit hid|hid:PATH|socket:PATH]... [--all] [--json]
//
// With FILE the package is that file (a .dqv package, or a zip archive
// holding one); without it the newest package named by the unit's version
// file is downloaded. The result text (or the plan of a dry run) goes to
// standard output, progress and failures to standard error.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "update/failure_text.h"
#include "update/progress_text.h"
#include "update/trevik_decisions.h"
#include "common_t73/QV_Hid.h"
#include "common_t73/QV_Machine.h"
#include "online/HttpDownload.h"
#include "online/VersionCheck.h"
#include "online/messages.h"
#include "package/package.h"
#include "update/outcome.h"
#include "update/safe_update.h"
#include "update/update_run.h"
#include "support/build_settings.h"
#include "support/text.h"
#include "tools/cli/ask.h"
#include "tools/cli/cli.h"
#include "tools/cli/safety.h"
#include "tools/cli/unit_access.h"
#include "tools/cli/update_units.h"

namespace {

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

std::string parse_province_list(const std::string& list, int flags[PROVINCE_COUNT]) {
    std::vector<std::string> names = province_names_utf8();
    for (int i = 0; i < PROVINCE_COUNT; ++i)
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

// The window's acceptance rule: units of other customers are refused.
int accept_unit(void* user, const uint8_t* identity) {
    (void)user;
    return trevik_accept_identity(identity, CLIENT_ID_SIZE, TOOL_CUSTOMER_NAME,
                                  TOOL_CUSTOMER_NAME_LEN);
}

class CliUpdateHost : public UpdateHost, public DownloadOwner {
  public:
    CliUpdateHost(QV_Machine* m, CliProgress* progress, ProvinceChoice choice)
        : machine_(m), progress_(progress), choice_(std::move(choice)) {}

    void setMachine(QV_Machine* m) { machine_ = m; }
    // Answers the province question instead (runs on several units).
    void setProvinceAnswer(decltype(UnitTarget::provinces) answer) { answer_ = std::move(answer); }

    void enableButtons(bool) override {}
    void setProgressText(const std::u16string& text) override {
        text_ = cli_wide_text(text);
        progress_->phase(text_);
    }
    void setProgressRange(uint32_t upper) override {
        range_ = upper;
        setProgressPos(0);
    }
    // The bar's position under its own text (archive extraction).
    void setProgressPos(uint32_t pos) override {
        if (range_ == 0 || text_.empty())
            return;
        progress_->update(text_, pos, range_);
    }

    int askProvince(int* mode, int flags[PROVINCE_COUNT]) override {
        if (answer_)
            return answer_(mode, flags, &refusal_,
                           [this](int* m, int* f) { return askOwnProvince(m, f); });
        return askOwnProvince(mode, flags);
    }

    int askOwnProvince(int* mode, int flags[PROVINCE_COUNT]) {
        if (choice_.national) {
            *mode = 0;
            return 0;
        }
        if (!choice_.list.empty()) {
            std::string why = parse_province_list(choice_.list, flags);
            if (!why.empty()) {
                progress_->finish();
                refusal_ = why;
                return 1;
            }
            *mode = 1;
            return 0;
        }
        progress_->finish();
        if (!cli_can_ask() || cli_json()) {
            refusal_ = "This package carries the database per province: choose --national or "
                       "--provinces LIST (names or numbers 0-33, at most 12).";
            return 1;
        }
        // The questions go where the answers are read from: the terminal.
        // The system's question, then the same in English; Enter takes the
        // answer it recommends (yes).
        std::string answer;
        if (!cli_ask(std::string(
                         "进入省份选择界面（更新分省全部类型数据包）请选择‘是’；直接升级全国"
                         "数据包测速照相类精简包(无生活安全提示数据类)请选择‘否’，建议选择"
                         "‘是’！\n"
                         "Yes: choose provinces (every kind of data, per province). No: write the "
                         "national condensed package (speed cameras only, no safety hints). Yes is "
                         "recommended. [Y/n] "),
                     &answer))
            return 1;
        if (!answer.empty() && answer != "y" && answer != "Y" && answer != "yes") {
            *mode = 0;
            return 0;
        }
        std::vector<std::string> names = province_names_utf8();
        std::string table;
        for (int i = 0; i < PROVINCE_COUNT; ++i) {
            char row[64];
            std::snprintf(row, sizeof row, "%2d %s%s", i, names[i].c_str(),
                          i % 6 == 5 ? "\n" : "\t");
            table += row;
        }
        std::string list;
        if (!cli_ask(table + "\nProvinces (names or numbers, comma-separated, at most 12): ",
                     &list))
            return 1;
        std::string why = parse_province_list(list, flags);
        if (!why.empty()) {
            refusal_ = why;
            return 1;
        }
        *mode = 1;
        return 0;
    }

    // The run's message box: the outcome, printed once the run is over.
    void showMessage(const std::u16string& text, const std::u16string&, UpdateIcon) override {
        progress_->finish();
        box_ = text;
    }
    const std::u16string& box() const { return box_; }
    // Why the province question was not answered; "" when it was.
    const std::string& refusal() const { return refusal_; }
    bool isClosing() override { return false; }
    bool isConnected() override { return QV_Machine_isConnected(machine_) != 0; }
    CHttpDownload* downloadComponent() override { return &download_; }
    DownloadOwner* downloadOwner() override { return this; }
    std::u16string downloadFailureText() override { return failure_; }
    void clearDownloadFailureText() override { failure_.clear(); }
    void downloadNotice(const std::u16string& text) override {
        if (!text.empty())
            cli_note(cli_wide_text(text));
    }

    // Download messages arrive on the downloading thread, which here is the
    // run's own.
    void post(uint32_t message, uintptr_t wparam, intptr_t lparam) override {
        switch (message) {
        case UWM_DOWNLOAD_SIZE:
            total_ = uint32_t(wparam);
            break;
        case UWM_DOWNLOAD_SPEED:
            progress_->update(progress_download_text(total_, uint32_t(lparam), uint32_t(wparam)),
                              uint32_t(lparam), total_);
            break;
        case UWM_DOWNLOAD_FINISHED:
            if (wparam == 0)
                progress_->update(progress_download_text(total_, total_, 0), total_, total_);
            else if (wparam != DOWNLOAD_RESULT_ABORTED)
                failure_ = VERSION_TEXT_PACKAGE_FAILED;
            break;
        default:
            break;
        }
    }

  private:
    QV_Machine* machine_;
    CliProgress* progress_;
    ProvinceChoice choice_;
    std::string text_;
    uint32_t range_ = 0;
    uint32_t total_ = 0;
    std::u16string failure_;
    std::u16string box_;
    std::string refusal_;
    decltype(UnitTarget::provinces) answer_;
    CHttpDownload download_;
};

struct AttachState {
    QV_Machine* machine = nullptr;
    bool opened = false;
};

int attach_unit(void* owner, const char16_t* path) {
    auto* state = static_cast<AttachState*>(owner);
    QV_HidHandle* handle = QV_Hid_open(path);
    if (handle) {
        QV_Machine_attach(state->machine, handle);
        state->opened = true;
    }
    return 0; // the first unit found is the one used
}

bool ask_yes(const char* question) {
    return cli_ask_yes(std::string(question) + " [y/n] ");
}

// Reads the unit's version file and fills the source with what it names,
// as the window does before its Update button starts a run. Returns CLI_OK,
// or the exit code after reporting: CLI_FAILED when there is nothing to
// download, CLI_NOTHING_TO_DO when the unit is already as new as the online
// version and no one at a terminal asked to write it again.
int find_online_package(QV_Machine* machine, UpdateSource* source, CliJson* report) {
    VersionCheckState st;
    VersionHosts hosts;
    if (int code = cli_version_hosts(&hosts); code != CLI_OK)
        return code;
    BuildVersionFileUrl(machine, &st.version_file_url, hosts);
    if (st.version_file_url.empty())
        return cli_fail(CLI_FAILED, "This unit has no online update service; name a package FILE.");
    CHttpDownload version_download;
    std::u16string target = version_file_target();
    DownloadOutcome got = download_file(version_download, nullptr, st.version_file_url, target,
                                        VERSION_FILE_MAX_SIZE);
    version_download.Stop();
    if (!got.startError.empty())
        return cli_fail(CLI_FAILED, wtext_to_utf8(got.startError.c_str()));
    if (got.result != DOWNLOAD_RESULT_OK) {
        return cli_fail(CLI_FAILED, wtext_to_utf8(VERSION_TEXT_FAILED),
                        failure_text_download_result(got.result, long(got.detail),
                                                     version_download.LastErrorText()));
    }
    VersionCheckView view;
    if (!LoadVersionFile(st, target.c_str(), &view))
        return cli_fail(CLI_FAILED, wtext_to_utf8(VERSION_TEXT_FAILED));
    if (view.set_status) {
        if (cli_json())
            (*report)["online_status"] = wtext_to_utf8(view.status.c_str());
        else
            std::printf("%s\n", cli_wide_text(view.status).c_str());
        std::fflush(stdout);
    }
    const DateStamp& gps = machine->gps_date;
    uint32_t unit_version = gps.year * 10000u + gps.month * 100u + gps.day;
    if (version_check_should_ask(st, false, unit_version)) {
        const char* question = "Already the newest version,Updated or Not?";
        if (cli_json()) {
            // Nothing to do is a result, the same object as check-online's.
            cli_note(CLI_ALREADY_NEWEST);
            cli_nothing_to_do_json(report, uint32_t(st.online_version), unit_version);
            cli_print_json(*report);
            return CLI_NOTHING_TO_DO;
        }
        if (!cli_can_ask())
            return cli_fail(CLI_NOTHING_TO_DO, CLI_ALREADY_NEWEST);
        if (!ask_yes(question))
            return cli_fail(CLI_NOTHING_TO_DO, "");
    }
    source->list_form = st.list_form;
    source->download_url = st.package_url;
    return CLI_OK;
}

} // namespace

int cli_version_hosts(VersionHosts* hosts) {
    if (version_hosts_from_environment(hosts))
        return CLI_OK;
    return cli_fail(CLI_USAGE, std::string(VERSION_SERVER_ENV) + " must be host:port, not \"" +
                                   std::getenv(VERSION_SERVER_ENV) + "\"");
}

int cli_update_failure_code(const UpdateOutcome& o) {
    return cli_exit_code(update_run_exit(o));
}

UnitUpdate cli_update_unit(const UpdateOptions& opt, const UnitTarget& target) {
    UnitUpdate u;
    ProvinceChoice choice{opt.national, opt.provinces};
    // The host exists before the machine, whose progress reaches it.
    CliUpdateHost host(nullptr, target.progress, choice);
    if (target.provinces)
        host.setProvinceAnswer(target.provinces);
    QV_Machine* machine =
        QV_Machine_create(accept_unit, nullptr, cli_device_progress, target.progress);
    host.setMachine(machine);
    if (!machine) {
        u.code = CLI_FAILED;
        u.text = "Error";
        return u;
    }
    if (u.code = target.attach(machine, &u.text); u.code != CLI_OK) {
        QV_Machine_release(machine);
        return u;
    }
    // A refused unit still counts as connected, with what could be read.
    if (!QV_Machine_getDeveiceInfo(machine) && QV_Machine_isConnected(machine))
        target.note(CLI_OTHER_CUSTOMER_UNIT);
    u.unit_text = cli_unit_written_text(machine);

    UpdateSource source;
    if (!opt.file.empty()) {
        source.package_path = utf8_to_wtext(opt.file);
    } else if (u.code = find_online_package(machine, &source, &u.report); u.code != CLI_OK) {
        u.reported = true;
        QV_Machine_release(machine);
        return u;
    }

    UpdateRun run(&host, machine, source);
    run.setDryRun(opt.dry_run);
    run.setRunDirectoryPrefix(target.run_prefix);
    if (!opt.dry_run) {
        u.guard = target.guard();
        run.setGuard(u.guard.get());
    }
    u.outcome = run.run();
    target.progress->finish();
    QV_Machine_release(machine);
    u.box = host.box();
    u.refusal = host.refusal();
    return u;
}

namespace {

// What a dry run would write, for programs.
CliJson plan_json(const UpdateOutcome& o) {
    CliJson j;
    j["program_only"] = o.program_only != 0;
    const WritePlan& wp = o.write_plan;
    const QV_WritePlan& p = wp.plan;
    if (!o.program_only) {
        j["layout502"] = p.layout502 != 0;
        j["province_mode"] = p.province_mode;
        // The data areas, in the order this object has always listed them.
        CliJson writes = CliJson::array();
        for (const char* name :
             {AREA_BOOT, AREA_PROGRAM, AREA_VOICE, AREA_RADAR_MUTE, AREA_UPDATE_TOOL, AREA_GPS})
            if (const PlanArea* a = write_plan_find(wp, name))
                writes.push_back({{"area", a->name}, {"address", a->address}, {"length", a->length}});
        j["main_setting_address"] = wp.actions.write_main_setting
                                        ? CliJson(wp.actions.main_setting_address)
                                        : CliJson(nullptr);
        j["write_client_id"] = p.write_client_id != 0;
        j["writes"] = writes;
    }
    CliJson lines = CliJson::array();
    size_t start = 0;
    while (start < o.plan_text.size()) {
        size_t end = o.plan_text.find('\n', start);
        if (end == std::string::npos)
            end = o.plan_text.size();
        lines.push_back(o.plan_text.substr(start, end - start));
        start = end + 1;
    }
    j["plan"] = lines;
    return j;
}

int run_update(const UpdateOptions& opt) {
    if (int code = cli_refuse_special_package(opt.file); code != CLI_OK)
        return code;
    // Without a FILE the package comes from the version server: a server
    // named wrongly is bad usage before any unit is opened.
    VersionHosts hosts;
    if (opt.file.empty())
        if (int code = cli_version_hosts(&hosts); code != CLI_OK)
            return code;
    if (opt.all || opt.units.size() > 1)
        return cli_update_units(opt);
    if (int code = cli_select_unit(opt.units.empty() ? "hid" : opt.units[0]); code != CLI_OK)
        return code;
    if (!opt.dry_run)
        if (int code = cli_refuse_unnamed_unit(opt.units.empty() ? "hid" : opt.units[0]))
            return code;
    CliProgress progress;
    UnitTarget target;
    target.progress = &progress;
    target.attach = [](QV_Machine* machine, std::string* text) {
        AttachState state;
        state.machine = machine;
        QV_Hid_findUnit(&state, attach_unit);
        return state.opened ? CLI_OK : cli_unit_missing(text);
    };
    target.note = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
    target.guard = [&opt, &progress] { return cli_safety_guard(opt.safety, &progress); };
    UnitUpdate unit = cli_update_unit(opt, target);
    if (unit.code != CLI_OK)
        return unit.reported ? unit.code : cli_fail(unit.code, unit.text);
    const UpdateOutcome& outcome = unit.outcome;
    std::unique_ptr<UpdateGuard>& guard = unit.guard;
    CliJson& report = unit.report;

    int code = CLI_OK;
    std::string text;
    FailureText cause;
    if (outcome.result == UPDATE_ABANDONED) {
        code = CLI_USAGE;
        text = unit.refusal;
    } else if (outcome.result != UPDATE_SUCCEEDED) {
        code = cli_update_failure_code(outcome);
        // The download's own answer, where known, is the cause under the
        // text, said once; the window says the same.
        text = cli_wide_text(update_failure_shown_text(outcome));
        cause = update_failure_cause(outcome, guard.get());
    }
    std::string note;
    if (code != CLI_OK) {
        // The way back and the guard's warnings come before the failure.
        code = cli_safety_finish(guard.get(), outcome, code, &note);
        if (!note.empty())
            text += (text.empty() ? "" : "\n") + note;
        CliJson extra;
        cli_safety_add_json(guard.get(), &extra);
        return cli_fail_with(code, text, extra, cause);
    }
    report["dry_run"] = opt.dry_run;
    if (opt.dry_run) {
        if (cli_json()) {
            report.update(plan_json(outcome));
            report["unit"] = unit.unit_text;
            cli_print_json(report);
        } else if (outcome.planned) {
            std::printf("unit         %s\n%s", unit.unit_text.c_str(), outcome.plan_text.c_str());
        }
        return CLI_OK;
    }
    if (!cli_json()) {
        std::printf("%s\n", cli_wide_text(unit.box).c_str());
        // The result comes before the note that follows it on standard error.
        std::fflush(stdout);
    }
    code = cli_safety_finish(guard.get(), outcome, CLI_OK, &note);
    if (cli_json()) {
        report["message"] = wtext_to_utf8(unit.box.c_str());
        if (!outcome.notice.empty())
            report["notice"] = wtext_to_utf8(outcome.notice.c_str());
        cli_safety_add_json(guard.get(), &report);
    }
    // Written, but stopped during the read-back or not confirmed by the
    // unit: the run's own text stands, the exit code and its reason say
    // the rest.
    if (code != CLI_OK)
        return cli_fail_with(code, note, report);
    if (cli_json())
        cli_print_json(report);
    return CLI_OK;
}

void setup_update(CLI::App& root, int* exit_code) {
    auto opt = std::make_shared<UpdateOptions>();
    CLI::App* cmd = root.add_subcommand(
        "update", "Write an update package into the unit (without FILE: the newest one online)");
    cmd->add_option("FILE", opt->file, "Update package (.dqv, or a zip archive holding one)");
    CLI::Option* national = cmd->add_flag(
        "--national", opt->national, "Per-province package: write the national condensed package");
    CLI::Option* provinces = cmd->add_option(
        "--provinces", opt->provinces,
        "Per-province package: write these provinces (names or numbers 0-33, comma-separated, "
        "at most 12)");
    national->excludes(provinces);
    cmd->add_flag("--dry-run", opt->dry_run,
                  "Load, check and print the write plan without writing to the unit");
    cmd->add_option("--unit", opt->units,
                    std::string(CLI_UNIT_HELP) +
                        "; repeated: update those units at once, one line of progress each")
        ->allow_extra_args(false)
        ->default_str("hid");
    cmd->add_flag("--all", opt->all,
                  "Update every attached unit at once (with the socket: units of --unit); FILE "
                  "is needed");
    cli_add_json_flags(cmd);
    cli_safety_add_options(cmd, &opt->safety);
    cmd->callback([opt, exit_code] { *exit_code = run_update(*opt); });
}

CliRegistrar registrar(setup_update);

} // namespace

CliJson cli_update_plan_json(const UpdateOutcome& outcome) {
    return plan_json(outcome);
}
