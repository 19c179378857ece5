// trevik-cli inspect and merge, run as the real program on packages made by
// the builder.
#ifdef TREVIK_CLI_PATH

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include "package/package.h"
#include "package/scramble.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;

struct CliRun {
    int code = -1;
    std::string out;
    std::string err;
};

std::string text_of(const std::string& path) {
    Bytes b = pkg_read_file(path);
    return std::string(b.begin(), b.end());
}

// Runs trevik-cli with the arguments (single-quoted for the shell) and a
// private temporary directory.
CliRun cli(const std::vector<std::string>& args, const std::string& tmpdir = "") {
    TempFile out(".out"), err(".err");
    std::string cmd;
    if (!tmpdir.empty())
        cmd += "TMPDIR='" + tmpdir + "' ";
    cmd += "'" TREVIK_CLI_PATH "'";
    for (const std::string& a : args)
        cmd += " '" + a + "'";
    cmd += " >'" + out.path() + "' 2>'" + err.path() + "'";
    int status = std::system(cmd.c_str());
    CliRun r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = text_of(out.path());
    r.err = text_of(err.path());
    return r;
}

PkgDescription sample(int form, bool extended) {
    PkgDescription d;
    d.form = form;
    d.extended_programs = extended;
    d.sections[SECTION_BOOT] = pkg_pattern(1200, 1);
    d.sections[SECTION_VOICE] = pkg_pattern(900, 2);
    d.sections[SECTION_GPS] = pkg_pattern(1300, 3);
    PkgProgram prog("T73A", pkg_pattern(2000, 4));
    prog.version = 9;
    prog.variant_c = 1;
    prog.track_size = 0x2000;
    d.programs.push_back(prog);
    if (form == PACKAGE_FORM_C) {
        d.sections[SECTION_VOICE_C] = pkg_pattern(500, 5);
        d.province_table = true;
        d.province_stamp = 1650000000;
        d.provinces.emplace_back(PROVINCE_NAMES[0], pkg_province_records(20, 6));
        d.provinces.emplace_back(PROVINCE_NAMES[4], pkg_province_records(7, 7));
    }
    return d;
}

TEST(PackageCli, InspectJsonInEveryForm) {
    struct Case {
        int form;
        bool extended;
    } cases[] = {{PACKAGE_FORM_A, true},
                 {PACKAGE_FORM_B, false},
                 {PACKAGE_FORM_C, true},
                 {PACKAGE_FORM_C, false}};
    for (const Case& c : cases) {
        PkgDescription d = sample(c.form, c.extended);
        PkgLayout layout;
        Bytes file = pkgbuild_bytes(d, &layout);
        TempFile f;
        ASSERT_TRUE(f.write(file));
        CliRun r = cli({"inspect", f.path(), "--json"});
        ASSERT_EQ(0, r.code) << r.err;
        std::string form = package_form_name(c.form);
        // Keys come in the documented order.
        EXPECT_EQ(0u, r.out.rfind("{\"ok\":true,\"form\":\"" + form + "\",\"version\":", 0))
            << r.out;
        auto j = nlohmann::json::parse(r.out);
        EXPECT_EQ(c.form == PACKAGE_FORM_A ? 1 : c.form == PACKAGE_FORM_B ? 3 : 5, j["version"]);
        std::string id_hex = j["client_id_hex"];
        ASSERT_EQ(512u, id_hex.size());
        EXPECT_EQ(0u, id_hex.rfind("54524556494b2d44454d4f20", 0)); // "TREVIK-DEMO "
        EXPECT_EQ(c.extended ? "extended" : "short", j["program_layout"]);

        std::vector<int> numbers;
        for (const auto& s : j["sections"]) {
            int n = s["number"];
            numbers.push_back(n);
            EXPECT_EQ(layout.offset[n], s["offset"]) << n;
            EXPECT_EQ(layout.size[n], s["size"]) << n;
            if (n == SECTION_PROGRAMS || n == SECTION_PROVINCES) {
                EXPECT_TRUE(s["sha256"].is_null());
            } else {
                EXPECT_EQ(sha256_hex(file.data() + layout.offset[n], layout.size[n]), s["sha256"]);
            }
        }
        std::vector<int> want = {1, 2, 4, 5};
        if (c.form == PACKAGE_FORM_C)
            want = {1, 2, 4, 5, 8, 11};
        EXPECT_EQ(want, numbers);

        ASSERT_EQ(1u, j["programs"].size());
        const auto& prog = j["programs"][0];
        EXPECT_EQ("T73A", prog["board_id"]);
        EXPECT_EQ(2000, prog["size"]);
        EXPECT_EQ(c.extended ? 9 : 0, prog["version"]);
        // The program's flags are booleans, as every flag in JSON.
        for (const char* flag :
             {"variant_b", "layout502", "variant_c", "variant_d", "legacy", "server_reset"})
            EXPECT_TRUE(prog[flag].is_boolean()) << flag;
        EXPECT_EQ(c.extended, prog["variant_c"]);
        EXPECT_EQ(c.extended ? 0x2000 : 0, prog["track_size"]);
        EXPECT_EQ(sha256_hex(pkg_scrambled(d.programs[0].image).data(), 2000), prog["sha256"]);

        if (c.form == PACKAGE_FORM_C) {
            // A time like every other in JSON: UTC, ISO 8601.
            EXPECT_EQ("2022-04-15T05:20:00Z", j["province_stamp"]);
            ASSERT_EQ(2u, j["provinces"].size());
            EXPECT_EQ("北京", j["provinces"][0]["name"]);
            EXPECT_EQ("黑龙江", j["provinces"][1]["name"]);
            EXPECT_EQ(7, j["provinces"][1]["records"]);
            EXPECT_EQ(sha256_hex(d.provinces[1].records.data(), 84), j["provinces"][1]["sha256"]);
        } else {
            EXPECT_TRUE(j["province_stamp"].is_null());
            EXPECT_TRUE(j["provinces"].empty());
        }
    }
}

TEST(PackageCli, InspectZipLeavesNoTemporaryFile) {
    Bytes file = pkgbuild_bytes(sample(PACKAGE_FORM_C, true));
    TempFile zip(".zip");
    ASSERT_EQ(1, pkgbuild_zip(zip.path(), {{"docs/", {}},
                                           {"docs/a.txt", pkg_pattern(10, 1)},
                                           {"pkg/Update.DQV", file}}));
    fs::path tmp = fs::temp_directory_path() / ("trevik_cli_tmp_" + std::to_string(getpid()));
    fs::create_directories(tmp);
    CliRun r = cli({"inspect", "--json", zip.path()}, tmp.string());
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_EQ("C", nlohmann::json::parse(r.out)["form"]);
    // The zip is unpacked in the tool's private directory inside, which
    // keeps no file afterwards.
    for (const auto& e : fs::recursive_directory_iterator(tmp))
        EXPECT_TRUE(e.is_directory()) << e.path();
    fs::remove_all(tmp);
}

TEST(PackageCli, InvalidFilesFailWithTheUsualMessageAndTheCause) {
    TempFile junk, zip(".zip"), damaged;
    ASSERT_TRUE(junk.write(pkg_pattern(3000, 1)));
    ASSERT_EQ(1, pkgbuild_zip(zip.path(), {{"readme.txt", pkg_pattern(10, 1)}}));
    PkgDescription broken = sample(PACKAGE_FORM_C, true);
    broken.bad_checksum = true;
    Bytes broken_bytes = pkgbuild_bytes(broken);
    ASSERT_TRUE(damaged.write(broken_bytes));
    struct Case {
        std::string path;
        std::string reason;
        std::string hint;
    } cases[] = {
        {junk.path(),
         "The file is not an update package: it does not end with a package directory.",
         "Choose a .dqv update package, or a zip archive holding one."},
        {zip.path(), "The file is empty (or the archive holds no .dqv package).",
         "Download the package again."},
        {"/nonexistent.dqv", "There is no such file.", "Check the file's name and folder."},
        {damaged.path(),
         "The package is damaged at byte " + std::to_string(broken_bytes.size() - 520) + ".",
         "Download the package again; a copy cut short or altered cannot be written."},
    };
    // Exit code 5, the system's text, and under it the cause and what to do;
    // with --json the failure is one object on standard output.
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        CliRun r = cli({"inspect", c.path});
        EXPECT_EQ(5, r.code);
        EXPECT_EQ("Open update file failed!\n" + c.reason + " " + c.hint + "\n", r.err);
        EXPECT_EQ("", r.out);
        CliRun j = cli({"inspect", c.path, "--json"});
        EXPECT_EQ(5, j.code);
        EXPECT_EQ(r.err, j.err);
        EXPECT_EQ("{\"ok\":false,\"error\":{\"code\":5,\"text\":\"Open update file failed!\","
                  "\"reason\":\"" +
                      c.reason + "\",\"hint\":\"" + c.hint + "\"}}\n",
                  j.out);
    }
    // Bad usage with --json is an object as well.
    CliRun usage = cli({"inspect", junk.path(), "--bogus", "--json"});
    EXPECT_EQ(2, usage.code);
    auto failure = nlohmann::json::parse(usage.out);
    EXPECT_EQ(false, failure["ok"]);
    EXPECT_EQ(2, failure["error"]["code"]);
    EXPECT_FALSE(failure["error"]["text"].get<std::string>().empty());
    EXPECT_EQ(2, cli({"inspect"}).code);
    EXPECT_EQ(2, cli({"inspect", junk.path(), "--bogus"}).code);
    CliRun help = cli({"inspect", "--help"});
    EXPECT_EQ(0, help.code);
    EXPECT_NE(std::string::npos, help.out.find("--json"));
}

TEST(PackageCli, MergeWritesTheImageTheUnitWouldGet) {
    PkgDescription d = sample(PACKAGE_FORM_C, true);
    TempFile f, out(".bin");
    ASSERT_TRUE(f.write(pkgbuild_bytes(d)));
    // Indices and names mix; the result equals the in-process merge.
    CliRun r = cli({"merge", f.path(), "--provinces", "4,北京,33", "-o", out.path()});
    ASSERT_EQ(0, r.code) << r.err;
    Package* p = package_load(f.w());
    ASSERT_NE(nullptr, p);
    int flags[PROVINCE_COUNT] = {};
    flags[0] = flags[4] = flags[33] = 1;
    ASSERT_EQ(1, package_merge_provinces(p, flags));
    EXPECT_EQ(Bytes(p->merged_gps.data, p->merged_gps.data + p->merged_gps.size),
              pkg_read_file(out.path()));
    EXPECT_EQ(8u + 27 * 12, p->merged_gps.size);
    package_free(p);

    CliRun j = cli({"merge", f.path(), "--provinces", "4", "-o", out.path(), "--json"});
    ASSERT_EQ(0, j.code) << j.err;
    EXPECT_EQ("{\"ok\":true,\"output\":\"" + out.path() +
                  "\",\"size\":" + std::to_string(8 + 7 * 12) + "}\n",
              j.out);
}

// The provinces of a per-province package with the numbers --provinces
// takes; an entry named like no province has none, and a second entry of a
// name is not the one a merge takes.
TEST(PackageCli, ProvincesListsTheNumbersMergeTakes) {
    PkgDescription d = sample(PACKAGE_FORM_C, true);
    d.provinces.emplace_back("Atlantis", pkg_province_records(3, 8));
    d.provinces.emplace_back(PROVINCE_NAMES[0], pkg_province_records(2, 9));
    TempFile f, zip(".zip"), plain;
    ASSERT_TRUE(f.write(pkgbuild_bytes(d)));
    ASSERT_EQ(1, pkgbuild_zip(zip.path(), {{"map.dqv", pkgbuild_bytes(d)}}));
    ASSERT_TRUE(plain.write(pkgbuild_bytes(sample(PACKAGE_FORM_B, true))));

    for (const std::string& path : {f.path(), zip.path()}) {
        CliRun r = cli({"provinces", path});
        ASSERT_EQ(0, r.code) << r.err;
        EXPECT_EQ(" 0 北京: 20 records\n"
                  " 4 黑龙江: 7 records\n"
                  " - Atlantis: 3 records\n"
                  " - 北京: 2 records\n",
                  r.out)
            << path;
    }
    CliRun j = cli({"provinces", f.path(), "--json"});
    ASSERT_EQ(0, j.code) << j.err;
    auto o = nlohmann::json::parse(j.out);
    EXPECT_EQ(true, o["per_province"]);
    ASSERT_EQ(4u, o["provinces"].size());
    EXPECT_EQ(4, o["provinces"][1]["number"]);
    EXPECT_EQ("黑龙江", o["provinces"][1]["name"]);
    EXPECT_EQ(7, o["provinces"][1]["records"]);
    EXPECT_TRUE(o["provinces"][2]["number"].is_null());

    CliRun none = cli({"provinces", plain.path(), "--json"});
    ASSERT_EQ(0, none.code) << none.err;
    EXPECT_EQ("{\"ok\":true,\"per_province\":false,\"provinces\":[]}\n", none.out);
    CliRun bad = cli({"provinces", "/nonexistent.dqv"});
    EXPECT_EQ(5, bad.code);
    EXPECT_EQ(0u, bad.err.rfind("Open update file failed!\nThere is no such file.", 0)) << bad.err;
}

TEST(PackageCli, MergeRefusals) {
    TempFile no_table, with_table, out(".bin");
    ASSERT_TRUE(no_table.write(pkgbuild_bytes(sample(PACKAGE_FORM_B, true))));
    ASSERT_TRUE(with_table.write(pkgbuild_bytes(sample(PACKAGE_FORM_C, true))));
    CliRun r = cli({"merge", no_table.path(), "--provinces", "0", "-o", out.path()});
    EXPECT_EQ(1, r.code);
    EXPECT_NE(std::string::npos, r.err.find("no province table"));
    for (const char* bad : {"34", "-1", "0,,1", "Atlantis", ""}) {
        CliRun b = cli({"merge", with_table.path(), "--provinces", bad, "-o", out.path()});
        EXPECT_EQ(2, b.code) << bad;
    }
    EXPECT_EQ(2, cli({"merge", with_table.path(), "-o", out.path()}).code);
}

} // namespace

#endif
