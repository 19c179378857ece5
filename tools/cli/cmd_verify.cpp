// trevik-cli verify: every area a package puts on the unit, read back and
// compared.
//
//   trevik-cli verify FILE [--national | --provinces LIST] [--unit hid|socket:PATH]
#include <unistd.h>

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "common_t73/QV_Machine.h"
#include "package/package.h"
#include "package/package_check.h"
#include "update/failure_text.h"
#include "update/package_open.h"
#include "update/unit_verify.h"
#include "update/write_plan.h"
#include "support/build_settings.h"
#include "support/text.h"
#include "tools/cli/cli.h"
#include "tools/cli/safety.h"
#include "tools/cli/unit_access.h"

namespace {

std::string utf8(const std::u16string& s) {
    return wtext_to_utf8(s.c_str());
}

// ---- verify ----

struct VerifyOptions {
    std::string file;
    bool national = false;
    std::string provinces;
    std::string unit = "hid";
};

int run_verify(const VerifyOptions& o) {
    if (int code = cli_refuse_special_package(o.file); code != CLI_OK)
        return code;
    if (int code = cli_select_unit(o.unit); code != CLI_OK)
        return code;
    // A zip archive is opened the way update and inspect open it.
    OpenedPackage opened;
    if (!package_open(utf8_to_wtext(o.file),
                      utf8_to_wtext("verify-" + std::to_string(getpid()) + "-"), nullptr,
                      &opened))
        return cli_fail(CLI_BAD_PACKAGE, utf8(UPDATE_TEXT_OPEN_FAILED),
                        failure_text_package(opened.problem));
    Package* pkg = package_load(opened.path.c_str());
    if (!pkg || !package_is_for_customer(pkg, TOOL_CUSTOMER_NAME, 12)) {
        package_free(pkg);
        PackageCheck why = package_check(opened.path.c_str(), TOOL_CUSTOMER_NAME, 12);
        package_close(&opened);
        return cli_fail(CLI_BAD_PACKAGE, utf8(UPDATE_TEXT_OPEN_FAILED), failure_text_package(why));
    }
    // The package is in memory: what was unpacked goes at once.
    package_close(&opened);
    int province_mode = 0;
    if (pkg->province_count > 0) {
        int flags[PROVINCE_COUNT] = {};
        if (!o.national && o.provinces.empty()) {
            package_free(pkg);
            return cli_fail(CLI_USAGE, "This package carries the database per province: name what "
                                       "was written with --national or --provinces LIST.");
        }
        if (!o.national) {
            std::string why = parse_province_list(o.provinces, flags);
            if (!why.empty() || !package_merge_provinces(pkg, flags)) {
                package_free(pkg);
                return cli_fail(CLI_USAGE, why.empty() ? utf8(UPDATE_TEXT_OPEN_FAILED) : why);
            }
            province_mode = 1;
        }
    }
    CliProgress progress;
    QV_Machine* m = QV_Machine_create(nullptr, nullptr, cli_device_progress, &progress);
    if (!m) {
        package_free(pkg);
        return cli_fail(CLI_FAILED, "out of memory");
    }
    if (int code = cli_attach_unit(m); code != CLI_OK) {
        QV_Machine_release(m);
        package_free(pkg);
        return code;
    }
    std::vector<VerifyArea> areas = verify_areas(m, pkg, write_plan_compute(m, pkg, province_mode));
    if (areas.empty()) {
        QV_Machine_release(m);
        package_free(pkg);
        return cli_fail(CLI_FAILED,
                        "This package puts nothing on this unit that could be checked.");
    }
    cli_note("Reading back " + std::to_string(verify_total_bytes(areas)) + " bytes, " +
             cli_seconds_text(verify_total_bytes(areas)) + ".");
    std::vector<VerifyResult> results = verify_read_back(m, areas, nullptr, nullptr);
    progress.finish();
    bool all = results.size() == areas.size();
    CliJson list = CliJson::array();
    for (const VerifyResult& r : results) {
        if (cli_json())
            list.push_back(verify_json(r));
        else
            std::printf("%s\n", verify_line(r).c_str());
        all = all && r.ok;
    }
    QV_Machine_release(m);
    package_free(pkg);
    if (all) {
        if (cli_json())
            cli_print_json(CliJson{{"areas", list}});
        return CLI_OK;
    }
    std::string why = results.size() == areas.size()
                          ? "The unit does not hold what the package puts there."
                          : "The read-back broke off.";
    // The areas checked belong with the failure.
    return cli_fail_with(CLI_VERIFY_MISMATCH, why, CliJson{{"areas", list}});
}

} // namespace

void cli_setup_verify(CLI::App& root, int* exit_code) {
    auto vo = std::make_shared<VerifyOptions>();
    CLI::App* verify = root.add_subcommand(
        "verify",
        "Read back every area a package puts on the unit and compare it with what the unit must "
        "hold. Reading costs what writing costs: 64 bytes a report, about 1 s per 64 KB");
    verify->add_option("FILE", vo->file, "Update package (.dqv) that was written")->required();
    CLI::Option* national =
        verify->add_flag("--national", vo->national, "The national condensed package was written");
    CLI::Option* provinces = verify->add_option("--provinces", vo->provinces,
                                                "These provinces were written (names or numbers "
                                                "0-33, comma-separated)");
    national->excludes(provinces);
    cli_add_unit_option(verify, &vo->unit);
    cli_add_json_flags(verify);
    verify->callback([exit_code, vo] { *exit_code = run_verify(*vo); });
}
