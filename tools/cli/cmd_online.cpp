// trevik-cli check-online: the window's version check on the terminal.
//
//   trevik-cli check-online [--unit hid|socket:PATH] [--json]
//
// Attaches the unit, chooses its version file, downloads and reads it, and
// prints "Internet vesion:" with the number and the package URL (or the
// records of a list-form file). TREVIK_VERSION_SERVER=host:port replaces both
// version servers, for tests and demonstrations.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "common_t73/QV_Hid.h"
#include "common_t73/QV_Machine.h"
#include "common_t73/QV_Service.h"
#include "online/HttpDownload.h"
#include "online/VersionCheck.h"
#include "support/text.h"
#include "tools/cli/cli.h"

namespace {

std::string u8(const std::u16string& s) {
    return wtext_to_utf8(s.c_str());
}


struct OnlineOptions {
    std::string unit = "hid";
    bool json = false;
};

int fail(const OnlineOptions& o, const std::string& text) {
    if (o.json)
        std::printf("%s\n", nlohmann::json{{"ok", false}, {"error", text}}.dump().c_str());
    std::fprintf(stderr, "%s\n", text.c_str());
    return CLI_FAILED;
}

int run_check_online(const OnlineOptions& o) {
    if (!QV_Hid_selectSource(o.unit)) {
        std::fprintf(stderr, "--unit must be hid or socket:PATH, not \"%s\"\n", o.unit.c_str());
        return CLI_USAGE;
    }
    VersionHosts hosts;
    const char* server = std::getenv("TREVIK_VERSION_SERVER");
    if (server && *server && !version_hosts_override(server, &hosts)) {
        std::fprintf(stderr, "TREVIK_VERSION_SERVER must be host:port, not \"%s\"\n", server);
        return CLI_USAGE;
    }

    QV_Machine* m = QV_Machine_create(nullptr, nullptr, nullptr, nullptr);
    if (!m)
        return fail(o, "out of memory");
    int attached;
    {
        LogToStderr redirect;
        attached = QV_Machine_attachFirstUnit(m);
    }
    if (!attached) {
        std::string why = QV_Hid_lastOpenError() == QV_HID_OPEN_DENIED ? QV_Hid_permissionText()
                                                                       : SERVICE_NO_HARDWARE;
        QV_Machine_release(m);
        if (QV_Hid_lastOpenError() == QV_HID_OPEN_BUSY) {
            fail(o, QV_Hid_inUseText());
            return CLI_UNIT_IN_USE;
        }
        return fail(o, why);
    }

    VersionCheckState st;
    BuildVersionFileUrl(m, &st.version_file_url, hosts);
    QV_Machine_release(m);
    if (st.version_file_url.empty())
        return fail(o, "This unit has no online update service.");
    std::fprintf(stderr, "Version file: %s\n", u8(st.version_file_url).c_str());

    CHttpDownload dl;
    std::u16string target = version_file_target();
    DownloadOutcome got =
        download_file(dl, nullptr, st.version_file_url, target, VERSION_FILE_MAX_SIZE);
    dl.Stop();
    if (!got.startError.empty())
        return fail(o, u8(got.startError));
    if (got.result != DOWNLOAD_RESULT_OK) {
        std::fprintf(stderr, "download ended with result %d (detail %ld)\n", got.result,
                     static_cast<long>(got.detail));
        return fail(o, u8(VERSION_TEXT_FAILED));
    }
    VersionCheckView view;
    int read = LoadVersionFile(st, target.c_str(), &view);
    // A file that could not be read is ours to clean up here.
    ::unlink(u8(target).c_str());
    if (!read)
        return fail(o, u8(VERSION_TEXT_FAILED));

    if (o.json) {
        nlohmann::json out{{"ok", true}, {"versionFileUrl", u8(st.version_file_url)}};
        if (st.list_form) {
            out["form"] = "list";
            nlohmann::json records = nlohmann::json::array();
            for (const _LuanguageInfo& r : st.online_list)
                records.push_back({u8(r.first), u8(r.second), u8(r.third)});
            out["records"] = records;
        } else {
            out["form"] = "single";
            out["status"] = u8(view.status);
            out["version"] = st.online_version;
            out["packageUrl"] = u8(st.package_url);
        }
        std::printf("%s\n", out.dump().c_str());
        return CLI_OK;
    }
    if (st.list_form) {
        for (const _LuanguageInfo& r : st.online_list)
            std::printf("%s,%s,%s\n", u8(r.first).c_str(), u8(r.second).c_str(),
                        u8(r.third).c_str());
    } else {
        std::printf("%s\n%s\n", u8(view.status).c_str(), u8(st.package_url).c_str());
    }
    return CLI_OK;
}

void setup(CLI::App& root, int* exit_code) {
    static OnlineOptions options;
    OnlineOptions* o = &options;
    CLI::App* cmd = root.add_subcommand(
        "check-online", "Read the attached unit's version file: the newest version online");
    cmd->add_option("--unit", o->unit, "Where the unit is: hid (default) or socket:PATH")
        ->capture_default_str();
    cmd->add_flag("--json", o->json, "Print the result as JSON");
    cmd->callback([o, exit_code] { *exit_code = run_check_online(*o); });
}

const CliRegistrar registrar(setup);

} // namespace
