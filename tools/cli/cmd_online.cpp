// trevik-cli check-online: the window's version check on the terminal.
//
//   trevik-cli check-online [--unit hid|hid:PATH|socket:PATH] [--json]
//
// Attaches the unit, chooses its version file, downloads and reads it, and
// prints "Internet vesion:" with the number and the package URL (or the
// records of a list-form file). TREVIK_VERSION_SERVER=host:port replaces both
// version servers, for tests and demonstrations. Exits with 7 (nothing to
// do) when the unit's data is already as new as the online version.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "update/failure_text.h"
#include "common_t73/QV_Hid.h"
#include "common_t73/QV_Machine.h"
#include "common_t73/QV_Service.h"
#include "online/HttpDownload.h"
#include "online/VersionCheck.h"
#include "support/text.h"
#include "tools/cli/cli.h"
#include "tools/cli/unit_access.h"
#include "tools/cli/update_units.h"

namespace {

std::string u8(const std::u16string& s) {
    return wtext_to_utf8(s.c_str());
}

struct OnlineOptions {
    std::string unit = "hid";
};

int run_check_online(const OnlineOptions& o) {
    if (int code = cli_select_unit(o.unit); code != CLI_OK)
        return code;
    VersionHosts hosts;
    if (int code = cli_version_hosts(&hosts); code != CLI_OK)
        return code;

    QV_Machine* m = QV_Machine_create(nullptr, nullptr, nullptr, nullptr);
    if (!m)
        return cli_fail(CLI_FAILED, "out of memory");
    if (int code = cli_attach_unit(m); code != CLI_OK) {
        QV_Machine_release(m);
        return code;
    }

    VersionCheckState st;
    BuildVersionFileUrl(m, &st.version_file_url, hosts);
    const DateStamp& gps = m->gps_date;
    uint32_t unit_version = gps.year * 10000u + gps.month * 100u + gps.day;
    QV_Machine_release(m);
    if (st.version_file_url.empty())
        return cli_fail(CLI_FAILED, "This unit has no online update service.");
    cli_note("Version file: " + u8(st.version_file_url));

    CHttpDownload dl;
    std::u16string target = version_file_target();
    DownloadOutcome got =
        download_file(dl, nullptr, st.version_file_url, target, VERSION_FILE_MAX_SIZE);
    dl.Stop();
    if (!got.startError.empty())
        return cli_fail(CLI_FAILED, u8(got.startError));
    if (got.result != DOWNLOAD_RESULT_OK) {
        cli_note("download ended with result " + std::to_string(got.result) + " (detail " +
                 std::to_string(static_cast<long>(got.detail)) + ")");
        return cli_fail(
            CLI_FAILED, u8(VERSION_TEXT_FAILED),
            failure_text_download_result(got.result, long(got.detail), dl.LastErrorText()));
    }
    VersionCheckView view;
    int read = LoadVersionFile(st, target.c_str(), &view);
    // A file that could not be read is ours to clean up here.
    ::unlink(u8(target).c_str());
    if (!read)
        return cli_fail(CLI_FAILED, u8(VERSION_TEXT_FAILED));

    // The unit already holds data as new as the online version: nothing to
    // do, which scripts tell by the exit code.
    bool up_to_date = version_check_should_ask(st, false, unit_version);
    if (cli_json()) {
        CliJson out{{"version_file_url", u8(st.version_file_url)}};
        if (st.list_form) {
            out["form"] = "list";
            CliJson records = CliJson::array();
            for (const _LuanguageInfo& r : st.online_list)
                records.push_back({u8(r.first), u8(r.second), u8(r.third)});
            out["records"] = records;
        } else {
            out["form"] = "single";
            out["status"] = u8(view.status);
            out["version"] = cli_date_json(uint32_t(st.online_version));
            out["package_url"] = u8(st.package_url);
            out["unit_version"] = cli_date_json(unit_version);
            out["up_to_date"] = up_to_date;
            if (up_to_date)
                cli_nothing_to_do_json(&out, uint32_t(st.online_version), unit_version);
        }
        cli_print_json(out);
    } else if (st.list_form) {
        for (const _LuanguageInfo& r : st.online_list)
            std::printf("%s,%s,%s\n", u8(r.first).c_str(), u8(r.second).c_str(),
                        u8(r.third).c_str());
    } else {
        std::printf("%s\n%s\n", u8(view.status).c_str(), u8(st.package_url).c_str());
    }
    return up_to_date ? CLI_NOTHING_TO_DO : CLI_OK;
}

void setup(CLI::App& root, int* exit_code) {
    static OnlineOptions options;
    OnlineOptions* o = &options;
    CLI::App* cmd = root.add_subcommand(
        "check-online", "Read the attached unit's version file: the newest version online");
    cli_add_unit_option(cmd, &o->unit);
    cli_add_json_flags(cmd);
    cmd->callback([o, exit_code] { *exit_code = run_check_online(*o); });
}

const CliRegistrar registrar(setup);

} // namespace
