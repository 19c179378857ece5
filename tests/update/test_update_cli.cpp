// End to end: trevik-unit-sim on a socket, trevik-cli update against it.
#include "tests/helpers/test_server.h"
#include "tests/update/update_fixture.h"
#include "support/temp_dir.h"

#include <signal.h>
#include <spawn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "common_t73/QV_UnitLock.h"
#include <nlohmann/json.hpp>

#include "config/records.h"
#include "tests/helpers/process.h"

using namespace update_test;

#if defined(TREVIK_CLI) && defined(TREVIK_UNIT_SIM)

namespace {

// trevik-unit-sim serving a unit whose flash lives in an image file.
class SimProcess {
  public:
    SimProcess(const std::string& socket, const std::string& image,
               std::vector<std::string> extra = {})
        : socket_(socket), sim_(args(socket, image, std::move(extra)), "", "/dev/null") {
        for (int i = 0; i < 500 && sim_.pid() > 0 && !std::filesystem::exists(socket); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    bool running() const { return sim_.pid() > 0 && std::filesystem::exists(socket_); }
    // Ends the emulator, which saves its flash image.
    void stop() {
        sim_.signal(SIGTERM);
        sim_.wait();
    }

  private:
    static std::vector<std::string> args(const std::string& socket, const std::string& image,
                                         std::vector<std::string> extra) {
        std::vector<std::string> a = {TREVIK_UNIT_SIM, "--socket", socket, "--image", image};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
    std::string socket_;
    Spawned sim_;
};

struct CliResult {
    int exit_code = -1;
    std::string out;
    std::string err;
};

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream ss(text);
    for (std::string line; std::getline(ss, line);)
        lines.push_back(line);
    return lines;
}

// Runs trevik-cli with args (each quoted for the shell) and stdin from
// /dev/null.
CliResult run_cli(const TempDir& tmp, const std::vector<std::string>& args) {
    std::string cmd = std::string("'") + TREVIK_CLI + "'";
    for (const std::string& a : args)
        cmd += " '" + a + "'";
    cmd += " </dev/null >'" + tmp.path("cli.out") + "' 2>'" + tmp.path("cli.err") + "'";
    int status = std::system(cmd.c_str());
    CliResult r;
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = read_text(tmp.path("cli.out"));
    r.err = read_text(tmp.path("cli.err"));
    return r;
}

class CliUpdate : public SocketUnitTest {
  protected:
    // The unit as the emulator left it.
    std::unique_ptr<UnitSim> unitAfter() {
        auto unit = std::make_unique<UnitSim>();
        EXPECT_TRUE(unit->loadImage(image));
        return unit;
    }
    uint32_t voiceAddress(const UnitSim& unit) const {
        return rec_u32(unit.flash().data() + FLASH_MAIN_SETTING_ADDRESS + 4 + MS_OFF_VOICE_ADDR);
    }
    // The standard package with a province table holding 北京; its path, or
    // empty when it could not be written.
    std::string writeProvincePackage() {
        PkgDescription d = standard_package(p);
        d.province_table = true;
        d.sections[SECTION_PROVINCE_VOICE] = pkg_pattern(4000, 3);
        d.provinces.push_back(PkgProvince{PROVINCE_NAMES[0], pkg_province_records(5, 1)});
        std::string prov = tmp.path("prov.dqv");
        return pkgbuild_write(d, prov) == 1 ? prov : std::string();
    }
};

TEST_F(CliUpdate, WritesThePackageIntoTheEmulatedUnit) {
    SimProcess sim(socket, image);
    ASSERT_TRUE(sim.running());
    // Without the backup, the run's own output alone.
    CliResult r = run_cli(tmp, {"--unit", "socket:" + socket, "update", "--no-backup", package});
    sim.stop();
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    // Standard output holds the result alone; progress and nothing else
    // (no log line at the default verbosity) on standard error.
    EXPECT_EQ(r.out, "Update Successfully!\n");
    EXPECT_NE(r.err.find("Updated 100.00%   Time "), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("[INFO]"), std::string::npos) << r.err;
    // Off a terminal: whole lines, never redrawn in place, at most one per
    // tenth of the write after the phase's own line.
    EXPECT_EQ(r.err.find('\r'), std::string::npos);
    std::vector<std::string> lines = split_lines(r.err);
    // After the progress, the note that the unit restarts with its defaults.
    ASSERT_GE(lines.size(), 2u) << r.err;
    EXPECT_EQ(lines.back(), "The unit starts its new program with its default settings.");
    lines.pop_back();
    EXPECT_EQ(lines.front(), "updating");
    EXPECT_LE(lines.size(), 12u) << r.err;
    for (size_t i = 1; i < lines.size(); ++i)
        EXPECT_NE(lines[i].find(" bytes"), std::string::npos) << lines[i];
    auto unit = unitAfter();
    EXPECT_EQ(flash_at(*unit, voiceAddress(*unit), p.voice.size()), p.voice);
    EXPECT_EQ(flash_at(*unit, FLASH_PROGRAM_ADDRESS, p.program.size()), p.program);
}

// -q hides progress, but not where the unit's settings were saved.
TEST_F(CliUpdate, QuietKeepsTheNoticeOfTheSavedSettings) {
    SimProcess sim(socket, image);
    ASSERT_TRUE(sim.running());
    CliResult r = run_cli(tmp, {"-q", "--unit", "socket:" + socket, "update", package});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "Update Successfully!\n");
    std::vector<std::string> lines = split_lines(r.err);
    ASSERT_EQ(lines.size(), 1u) << r.err;
    EXPECT_EQ(lines[0].rfind("The unit starts its new program with its default settings. Once it "
                             "has restarted, bring its settings back with: trevik-cli settings "
                             "apply /",
                             0),
              0u)
        << r.err;
}

// verify on a terminal (a pseudo-terminal from script(1)): the read-back's
// progress starts at 0, and TERM=dumb gets no escape sequences.
TEST_F(CliUpdate, VerifyOnATerminal) {
    if (std::system("command -v script >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "script(1) is not installed";
    SimProcess sim(socket, image);
    ASSERT_TRUE(sim.running());
    ASSERT_EQ(
        run_cli(tmp, {"--unit", "socket:" + socket, "update", "--no-backup", package}).exit_code,
        0);
    for (const char* term : {"xterm", "dumb"}) {
        SCOPED_TRACE(term);
        std::string typescript = tmp.path(std::string("verify-") + term + ".out");
        std::string cmd = std::string("TERM=") + term + " script -qec \"'" + TREVIK_CLI +
                          "' --unit 'socket:" + socket + "' verify '" + package +
                          "'\" /dev/null </dev/null >'" + typescript + "' 2>&1";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        std::string out = read_text(typescript);
        size_t first = out.find("Verify Updated ");
        ASSERT_NE(first, std::string::npos) << out;
        EXPECT_NE(out.compare(first, 19, "Verify Updated 100."), 0) << out;
        EXPECT_NE(out.find("Verify Updated 100.00%"), std::string::npos) << out;
        EXPECT_EQ(out.find('\033') == std::string::npos, std::string(term) == "dumb") << out;
    }
}

// A unit that takes 5 ms per report, as a slow unit on USB does: the run
// waits for it and succeeds. The voice write alone takes the unit longer
// than one report's limit.
TEST_F(CliUpdate, APacedUnitIsUpdatedSlowlyButWhole) {
    Payloads small;
    small.boot = pkg_pattern(256, 11);
    small.program = pkg_pattern(1024, 12);
    small.voice = pkg_pattern(16000, 13);
    small.radar = pkg_pattern(128, 14);
    small.gps = pkg_pattern(512, 15);
    std::string paced = tmp.path("paced.dqv");
    ASSERT_EQ(pkgbuild_write(standard_package(small), paced), 1);
    SimProcess sim(socket, image, {"--delay-us", "5000"});
    ASSERT_TRUE(sim.running());
    CliResult r = run_cli(tmp, {"--unit", "socket:" + socket, "update", paced});
    sim.stop();
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Update Successfully!\n"), std::string::npos) << r.out << r.err;
    auto unit = unitAfter();
    EXPECT_EQ(flash_at(*unit, voiceAddress(*unit), small.voice.size()), small.voice);
    EXPECT_EQ(flash_at(*unit, FLASH_PROGRAM_ADDRESS, small.program.size()), small.program);
}

TEST_F(CliUpdate, DryRunPrintsThePlanAndWritesNothing) {
    SimProcess sim(socket, image);
    ASSERT_TRUE(sim.running());
    // Let the emulator save the unit as it starts out.
    Bytes before = pkg_read_file(image);
    CliResult r = run_cli(tmp, {"--unit", "socket:" + socket, "update", "--dry-run", package});
    CliResult j =
        run_cli(tmp, {"--unit", "socket:" + socket, "update", "--dry-run", "--json", package});
    sim.stop();
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("Update Successfully!"), std::string::npos);
    EXPECT_FALSE(r.out.empty());
    // The plan alone: the device link's lines stay off standard output.
    EXPECT_EQ(r.out.find("[INFO]"), std::string::npos) << r.out;
    // Nothing is updated, and the progress does not say so.
    EXPECT_EQ(r.err.find("updating"), std::string::npos) << r.err;
    EXPECT_EQ(j.err.find("updating"), std::string::npos) << j.err;

    ASSERT_EQ(j.exit_code, 0) << j.err;
    auto o = nlohmann::json::parse(j.out);
    EXPECT_EQ(o["ok"], true);
    EXPECT_EQ(o["dry_run"], true);
    EXPECT_EQ(o["program_only"], false);
    EXPECT_EQ(o["layout502"], false); // a flag, boolean as every flag
    ASSERT_FALSE(o["writes"].empty());
    EXPECT_EQ(o["writes"][0]["area"], "boot");
    // The unit written, then the plan.
    EXPECT_EQ(r.out.rfind("unit         socket:" + socket + "  client \"TREVIK-DEMO ", 0), 0u)
        << r.out;
    EXPECT_EQ(o["unit"], r.out.substr(13, r.out.find('\n') - 13));
    EXPECT_EQ(o["plan"].size() + 1, size_t(std::count(r.out.begin(), r.out.end(), '\n')));
    EXPECT_EQ(pkg_read_file(image), before);
}

// Under the box text the cause, whether the unit's data is incomplete and
// what to do next, with the folder the settings were saved in.
TEST_F(CliUpdate, FailureShowsTheBoxTextWithItsStatusAndTheCause) {
    struct Case {
        const char* refuse; // the emulator's write to refuse (the main-setting block is 0)
        bool backup;
        const char* text;
        const char* area;
    } cases[] = {
        {"f3:1", true, "Update Failed!  -4", "the voice data"},
        {"f3:3", false, "Update Failed!  -7", "the GPS data"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string sock = tmp.path("unit" + std::to_string(++n) + ".sock");
        SimProcess sim(sock, tmp.path("unit" + std::to_string(n) + ".img"), {"--status", c.refuse});
        ASSERT_TRUE(sim.running());
        std::vector<std::string> args = {"--unit", "socket:" + sock, "update", "--json", package};
        if (!c.backup)
            args.push_back("--no-backup");
        CliResult r = run_cli(tmp, args);
        EXPECT_EQ(r.exit_code, 6);
        std::string status = std::string(c.text).substr(std::string(c.text).rfind(' ') + 1);
        std::string reason = std::string("The unit refused the write of ") + c.area +
                             " or stopped answering during it (status " + status +
                             "): the unit's data is now incomplete.";
        std::string hint = "Unplug the unit, plug it in again and run the same update.";
        auto o = nlohmann::json::parse(r.out);
        EXPECT_EQ(o["ok"], false);
        EXPECT_EQ(o["error"]["code"], 6);
        EXPECT_EQ(o["error"]["text"], c.text);
        EXPECT_EQ(o["error"]["reason"], reason);
        std::string got_hint = o["error"]["hint"];
        EXPECT_EQ(got_hint.rfind(hint, 0), 0u) << got_hint;
        // The backup's folder, when one was saved, is named.
        EXPECT_EQ(got_hint.find(" Its settings from before the update are saved in /") !=
                      std::string::npos,
                  c.backup)
            << got_hint;
        EXPECT_NE(r.err.find(std::string(c.text) + "\n" + reason + " " + got_hint + "\n"),
                  std::string::npos)
            << r.err;
    }
}

// A package whose program for the unit cannot be written: the dry run gives
// the real run's verdict and exit code, and the real run writes nothing.
TEST_F(CliUpdate, DryRunVerdictIsTheRealOneAndTheUnitStaysUntouched) {
    // trevik-pkgbuild --program T73A:0 --section 4:8192 --section 5:8192
    PkgDescription empty_program;
    empty_program.programs.push_back(PkgProgram{"T73A", {}});
    empty_program.sections[SECTION_VOICE] = pkg_pattern(8192, 1);
    empty_program.sections[SECTION_GPS] = pkg_pattern(8192, 2);
    PkgDescription outside = empty_program;
    outside.programs[0].image = p.program;
    outside.programs[0].offset_override = 0x40000000u;
    for (const PkgDescription& d : {empty_program, outside}) {
        std::string bad = tmp.path("d3.dqv");
        ASSERT_EQ(pkgbuild_write(d, bad), 1);
        SimProcess sim(socket, image);
        ASSERT_TRUE(sim.running());
        Bytes before = pkg_read_file(image);
        std::string unit = "socket:" + socket;
        CliResult dry = run_cli(tmp, {"--unit", unit, "update", "--dry-run", bad});
        CliResult real = run_cli(tmp, {"--unit", unit, "update", bad});
        sim.stop();
        EXPECT_EQ(real.exit_code, 1);
        EXPECT_NE(real.err.find("Update Failed!  -3\n"), std::string::npos) << real.err;
        EXPECT_EQ(dry.exit_code, real.exit_code);
        EXPECT_NE(dry.err.find("Update Failed!  -3\n"), std::string::npos) << dry.err;
        EXPECT_EQ(dry.out.find("fits         yes"), std::string::npos) << dry.out;
        EXPECT_EQ(pkg_read_file(image), before);
    }
}

TEST_F(CliUpdate, NoUnitAndBadPackage) {
    CliResult none =
        run_cli(tmp, {"--unit", "socket:" + tmp.path("nobody.sock"), "update", package});
    EXPECT_EQ(none.exit_code, 3);
    EXPECT_EQ(none.err, "   No hardware connected!\n");

    SimProcess sim(socket, image);
    ASSERT_TRUE(sim.running());
    // A missing file, another customer's package, a zip without a package,
    // and one that is no zip at all: the system's text, and under it why.
    std::string empty_zip = tmp.path("empty.zip"), junk_zip = tmp.path("junk.zip");
    std::string no_entries = tmp.path("none.zip"), zero = tmp.path("zero.zip");
    std::string twice = tmp.path("twice.zip"), bzip = tmp.path("bzip.zip");
    ASSERT_EQ(pkgbuild_zip(no_entries, {}), 1);
    ASSERT_TRUE(pkg_write_file(zero, {}));
    ASSERT_EQ(pkgbuild_zip(twice,
                           {{"Map.dqv", pkg_read_file(package)}, {"Map.dqv", pkg_pattern(100, 3)}}),
              1);
    // A stored package whose method fields (local header, directory) say bzip2.
    ASSERT_EQ(pkgbuild_zip(bzip, {{"u.dqv", pkg_pattern(300, 4), true}}), 1);
    Bytes bz = pkg_read_file(bzip);
    const uint8_t central[] = {'P', 'K', 1, 2};
    size_t dir = std::search(bz.begin(), bz.end(), central, central + 4) - bz.begin();
    ASSERT_LT(dir + 12, bz.size());
    bz[8] = bz[dir + 10] = 12;
    ASSERT_TRUE(pkg_write_file(bzip, bz));
    std::string other = tmp.path("other.dqv");
    ASSERT_EQ(pkgbuild_zip(empty_zip, {{"readme.txt", pkg_pattern(10, 1)}}), 1);
    ASSERT_TRUE(pkg_write_file(junk_zip, pkg_pattern(500, 2)));
    PkgDescription other_customer = standard_package(p);
    other_customer.customer = "OTHERCO";
    ASSERT_EQ(pkgbuild_write(other_customer, other), 1);
    struct Case {
        std::string file;
        const char* why;
    } cases[] = {
        {tmp.path("none.dqv"), "There is no such file."},
        {other, "The package was made for another customer: OTHERCO."},
        {empty_zip, "The file is empty (or the archive holds no .dqv package)."},
        {junk_zip, "The file is named as an archive but is not a zip archive"},
        {no_entries, "The zip archive holds no files."},
        {zero, "The file is empty"},
        {twice, "The zip archive holds two files named Map.dqv: which of them is the package "
                "cannot be told."},
        {bzip, "The package u.dqv in the zip archive is compressed with bzip2, which is not "
               "unpacked here"},
    };
    for (const Case& c : cases) {
        CliResult z = run_cli(tmp, {"--unit", "socket:" + socket, "update", c.file});
        EXPECT_EQ(z.exit_code, 5) << c.file;
        EXPECT_NE(z.err.find(std::string("Open update file failed!\n") + c.why), std::string::npos)
            << z.err;
        EXPECT_FALSE(std::filesystem::exists(
            tmp.own(std::filesystem::path(c.file).stem().string() + "/tmp.dqv")));
    }
}

// A zip archive as FILE is unpacked as a downloaded one is: into the run
// directory named after it, as "tmp.dqv", removed again afterwards; the
// archive itself stays.
TEST_F(CliUpdate, ZipFileIsUnpackedAndWritten) {
    std::string zip = tmp.path("bundle.zip");
    ASSERT_EQ(pkgbuild_zip(zip, {{"docs/readme.txt", pkg_pattern(20, 1)},
                                 {"Map.DQV", pkg_read_file(package)}}),
              1);
    SimProcess sim(socket, image);
    ASSERT_TRUE(sim.running());
    CliResult r = run_cli(tmp, {"--unit", "socket:" + socket, "update", zip});
    sim.stop();
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "Update Successfully!\n");
    EXPECT_NE(r.err.find("Decompressing database"), std::string::npos) << r.err;
    EXPECT_TRUE(std::filesystem::exists(zip));
    // Nothing is left of the run: no unpacked file, no empty run directory.
    EXPECT_FALSE(std::filesystem::exists(tmp.own("bundle")));
    auto unit = unitAfter();
    EXPECT_EQ(flash_at(*unit, voiceAddress(*unit), p.voice.size()), p.voice);
    EXPECT_EQ(flash_at(*unit, FLASH_PROGRAM_ADDRESS, p.program.size()), p.program);
}

TEST_F(CliUpdate, ProvinceQuestionNeedsAnAnswerOffTerminal) {
    std::string prov = writeProvincePackage();
    ASSERT_FALSE(prov.empty());
    SimProcess sim(socket, image);
    ASSERT_TRUE(sim.running());
    std::string unit = "socket:" + socket;

    // An unanswered question and a refused list are bad usage.
    CliResult asked = run_cli(tmp, {"--unit", unit, "update", prov});
    EXPECT_EQ(asked.exit_code, 2);
    EXPECT_NE(asked.err.find("--national"), std::string::npos) << asked.err;

    CliResult many = run_cli(
        tmp, {"--unit", unit, "update", prov, "--provinces", "0,1,2,3,4,5,6,7,8,9,10,11,12"});
    EXPECT_EQ(many.exit_code, 2);
    EXPECT_NE(many.err.find("最多只能选择12个省分更新！"), std::string::npos) << many.err;

    CliResult both =
        run_cli(tmp, {"--unit", unit, "update", prov, "--national", "--provinces", "0"});
    EXPECT_EQ(both.exit_code, 2);

    // A province the package holds nothing for is refused, never written as
    // an empty GPS area.
    CliResult absent = run_cli(tmp, {"--unit", unit, "update", prov, "--provinces", "新疆"});
    EXPECT_EQ(absent.exit_code, 1);
    EXPECT_NE((absent.out + absent.err).find("所选省份不在此数据包中，无法升级！"),
              std::string::npos)
        << absent.out << absent.err;

    CliResult chosen = run_cli(tmp, {"--unit", unit, "update", prov, "--provinces", "北京"});
    EXPECT_EQ(chosen.exit_code, 0) << chosen.out << chosen.err;
    CliResult national = run_cli(tmp, {"--unit", unit, "update", prov, "--national"});
    EXPECT_EQ(national.exit_code, 0) << national.out << national.err;
}

// On a terminal the question shows the system's text with an English line
// under it, and Enter takes the recommended answer: choose provinces.
TEST_F(CliUpdate, ProvinceQuestionOnATerminal) {
    if (std::system("command -v script >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "script(1) is not installed";
    std::string prov = writeProvincePackage();
    ASSERT_FALSE(prov.empty());
    SimProcess sim(socket, image);
    ASSERT_TRUE(sim.running());
    // Enter, then province 0 (北京) when the list is asked for.
    std::string typescript = tmp.path("province.out");
    std::string cmd = "{ printf '\\n'; sleep 1; printf '0\\n'; sleep 3; } | LC_ALL=C.UTF-8 "
                      "script -qec \"'" +
                      std::string(TREVIK_CLI) + "' --unit 'socket:" + socket +
                      "' update --no-backup -y '" + prov + "'\" /dev/null >'" + typescript +
                      "' 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    std::string out = read_text(typescript);
    EXPECT_NE(out.find("建议选择‘是’！\r\nYes: choose provinces (every kind of data, per "
                       "province). No: write the national condensed package (speed cameras only, "
                       "no safety hints). Yes is recommended. [Y/n] "),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Provinces (names or numbers"), std::string::npos) << out;
    EXPECT_NE(out.find("Update Successfully!"), std::string::npos) << out;
}

// The bundled sample package, whose province table asks the province
// question: answered by the option, the chosen provinces are merged.
TEST_F(CliUpdate, BundledSampleWithChosenProvinces) {
    std::string sample = std::string(TREVIK_SOURCE_DIR) + "/res/sample/sample.dqv";
    ASSERT_TRUE(std::filesystem::exists(sample));
    SimProcess sim(socket, image);
    ASSERT_TRUE(sim.running());
    CliResult r =
        run_cli(tmp, {"--unit", "socket:" + socket, "update", sample, "--provinces", "北京,27"});
    sim.stop();
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Update Successfully!"), std::string::npos);
    // The GPS region holds the merged image: the table's stamp, then the
    // records of 北京 (400) and 广东 (500).
    auto unit = unitAfter();
    const uint8_t* ms = unit->flash().data() + FLASH_MAIN_SETTING_ADDRESS + 4;
    const uint8_t* gps = unit->flash().data() + rec_u32(ms + MS_OFF_GPS_ADDR);
    EXPECT_EQ(rec_u32(gps), 1733011200u);
    EXPECT_EQ(rec_u32(gps + 4), 900u);
}

// A version server named in another form than host:port is bad usage for
// update as for check-online, with the same text, before anything is
// fetched or written.
TEST_F(CliUpdate, MalformedVersionServerIsBadUsageForUpdateAndCheckOnline) {
    SimProcess sim(socket, image);
    ASSERT_TRUE(sim.running());
    for (const char* bad : {"no port:", "127.0.0.1:99999", "a b:80"}) {
        setenv("TREVIK_VERSION_SERVER", bad, 1);
        CliResult check = run_cli(tmp, {"--unit", "socket:" + socket, "check-online"});
        CliResult update = run_cli(tmp, {"--unit", "socket:" + socket, "update", "--national"});
        unsetenv("TREVIK_VERSION_SERVER");
        EXPECT_EQ(check.exit_code, 2) << bad << check.err;
        EXPECT_EQ(update.exit_code, 2) << bad << update.err;
        EXPECT_NE(update.err.find(std::string("TREVIK_VERSION_SERVER must be host:port, not \"") +
                                  bad + "\""),
                  std::string::npos)
            << update.err;
        EXPECT_EQ(update.err, check.err);
    }
}

// No FILE: the version file of the unit's customer names a zipped package
// on a local server; it is downloaded, unpacked and written.
// A unit that already holds the online version: nothing to do, off a
// terminal nothing is asked and nothing is fetched (exit 7).
TEST_F(CliUpdate, UnitAlreadyAsNewAsTheOnlineVersionIsLeftAlone) {
    TestServer server;
    server.serve("/UserFiles/File/velmora.txt",
                 "20991231\r\n" + server.url("/pkg/map.zip") + "\r\n");
    // GPS data of 2099-12-31.
    SimProcess sim(socket, image, {"--gps-time", "4102358400"});
    ASSERT_TRUE(sim.running());
    setenv("TREVIK_VERSION_SERVER", server.host_port().c_str(), 1);
    CliResult r = run_cli(tmp, {"--unit", "socket:" + socket, "update", "--national"});
    unsetenv("TREVIK_VERSION_SERVER");
    EXPECT_EQ(r.exit_code, 7) << r.out << r.err;
    EXPECT_EQ(r.out, "Internet vesion:20991231\n");
    EXPECT_NE(r.err.find("Already the newest version."), std::string::npos) << r.err;
    EXPECT_EQ(server.requests(), 1); // the version file alone

    // With --json, the object of nothing to do that check-online prints too.
    setenv("TREVIK_VERSION_SERVER", server.host_port().c_str(), 1);
    CliResult j = run_cli(tmp, {"--unit", "socket:" + socket, "update", "--national", "--json"});
    unsetenv("TREVIK_VERSION_SERVER");
    EXPECT_EQ(j.exit_code, 7) << j.err;
    EXPECT_EQ(j.out, "{\"ok\":true,\"online_status\":\"Internet vesion:20991231\",\"version\":"
                     "\"2099-12-31\",\"unit_version\":\"2099-12-31\",\"up_to_date\":true,"
                     "\"message\":\"Already the newest version.\"}\n");
}

TEST_F(CliUpdate, NewestPackageFromTheVersionServer) {
    TestServer server;
    Bytes zip = pkg_read_file(std::string(TREVIK_SOURCE_DIR) + "/res/sample/sample.zip");
    ASSERT_FALSE(zip.empty());
    server.serve("/pkg/sample.zip", zip);
    server.serve("/UserFiles/File/velmora.txt",
                 "20991231\r\n" + server.url("/pkg/sample.zip") + "\r\n");
    SimProcess sim(socket, image); // the tool's own customer: it has a version file
    ASSERT_TRUE(sim.running());
    setenv("TREVIK_VERSION_SERVER", server.host_port().c_str(), 1);
    CliResult r = run_cli(tmp, {"--unit", "socket:" + socket, "update", "--national"});
    unsetenv("TREVIK_VERSION_SERVER");
    sim.stop();
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "Internet vesion:20991231\nUpdate Successfully!\n");
    EXPECT_NE(r.err.find("Updated percent100.00% Speed0.00Kb/s  Remaining time0Second  " +
                         std::to_string(zip.size()) + "/" + std::to_string(zip.size()) +
                         " bytes\n"),
              std::string::npos)
        << r.err;
    // The sample's voice data (section 4) is in the unit's voice region.
    Bytes dqv = pkg_read_file(std::string(TREVIK_SOURCE_DIR) + "/res/sample/sample.dqv");
    Bytes voice(dqv.begin() + 41240, dqv.begin() + 41240 + 49152);
    auto unit = unitAfter();
    EXPECT_EQ(flash_at(*unit, voiceAddress(*unit), voice.size()), voice);
    // The version file, the archive and the unpacked package are gone.
    EXPECT_FALSE(std::filesystem::exists(tmp.own("Tmp")));
    EXPECT_FALSE(std::filesystem::exists(tmp.own("sample/sample.zip")));
    EXPECT_FALSE(std::filesystem::exists(tmp.own("sample/tmp.dqv")));
    // The tool's own directory stays, made for this user; the emptied run
    // directory goes.
    struct stat st {};
    ASSERT_EQ(::lstat(tmp.path("trevik-" + std::to_string(geteuid())).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_FALSE(std::filesystem::exists(tmp.own("sample")));
}

// A web page where the package should be (a server's error page sent as
// 200) is named as what it is, not as a broken archive; nothing is left.
TEST_F(CliUpdate, WebPageInPlaceOfThePackageIsNamed) {
    TestServer server;
    server.serve("/pkg/sample.zip", "<!DOCTYPE html><html><body>Not here</body></html>");
    server.serve("/UserFiles/File/velmora.txt",
                 "20991231\r\n" + server.url("/pkg/sample.zip") + "\r\n");
    SimProcess sim(socket, image);
    ASSERT_TRUE(sim.running());
    setenv("TREVIK_VERSION_SERVER", server.host_port().c_str(), 1);
    CliResult r = run_cli(tmp, {"--unit", "socket:" + socket, "update", "--national"});
    unsetenv("TREVIK_VERSION_SERVER");
    EXPECT_NE(r.exit_code, 0);
    EXPECT_NE(r.err.find("The download failed: the server sent something that is not the "
                         "package (a web page)."),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("Unpack it yourself"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("\nthe server sent"), std::string::npos) << r.err; // said once
    EXPECT_FALSE(std::filesystem::exists(tmp.own("sample")));
}

// The package download drops at half: the terminal says a retry follows,
// and the retry asks only for the other half.
TEST_F(CliUpdate, DroppedPackageDownloadResumes) {
    TestServer server;
    Bytes zip = pkg_read_file(std::string(TREVIK_SOURCE_DIR) + "/res/sample/sample.zip");
    ASSERT_FALSE(zip.empty());
    server.put("sample.zip", std::string(zip.begin(), zip.end()));
    TestServer::Resume how;
    how.drops = 1;
    how.drop_after = zip.size() / 2;
    server.set_resume("sample.zip", how);
    server.serve("/UserFiles/File/velmora.txt",
                 "20991231\r\n" + server.url("/resume/sample.zip") + "\r\n");
    SimProcess sim(socket, image);
    ASSERT_TRUE(sim.running());
    setenv("TREVIK_VERSION_SERVER", server.host_port().c_str(), 1);
    CliResult r = run_cli(tmp, {"--unit", "socket:" + socket, "update", "--national"});
    unsetenv("TREVIK_VERSION_SERVER");
    sim.stop();
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "Internet vesion:20991231\nUpdate Successfully!\n");
    EXPECT_NE(r.err.find("Download interrupted, resuming (attempt 1 of 3)\u2026\n"),
              std::string::npos)
        << r.err;
    std::vector<TestServer::Seen> log = server.log();
    ASSERT_EQ(log.size(), 3u); // the version file, the first half, the rest
    EXPECT_EQ(log[2].range, "bytes=" + std::to_string(zip.size() / 2) + "-");
    EXPECT_EQ(log[2].status, 206);
    EXPECT_FALSE(std::filesystem::exists(tmp.own("sample/sample.zip.part")));
    EXPECT_FALSE(std::filesystem::exists(tmp.own("sample/sample.zip.part.json")));
}

TEST_F(CliUpdate, NoVersionServiceForTheUnit) {
    // A served customer's client id matches no row of the version-file table.
    SimProcess sim(socket, image, {"--client", "PARTNR 0001"});
    ASSERT_TRUE(sim.running());
    CliResult r = run_cli(tmp, {"--unit", "socket:" + socket, "update"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("no online update service"), std::string::npos) << r.err;
}

// A version file the check refuses fails the update with the check's text
// and leaves no "Tmp" behind.
TEST_F(CliUpdate, RefusedVersionFileLeavesNothingBehind) {
    for (const std::string& file :
         {std::string("20991231\r\n"), std::string("99999999999999999999999\r\nhttp://h/x.zip\r\n"),
          "20991231\r\nhttp://h/x.zip\r\n" + std::string(70000, '#')}) {
        SCOPED_TRACE(file.substr(0, 30));
        TestServer server;
        server.serve("/UserFiles/File/velmora.txt", file);
        SimProcess sim(socket, image); // the tool's own customer: it has a version file
        ASSERT_TRUE(sim.running());
        setenv("TREVIK_VERSION_SERVER", server.host_port().c_str(), 1);
        CliResult r = run_cli(tmp, {"--unit", "socket:" + socket, "update"});
        unsetenv("TREVIK_VERSION_SERVER");
        EXPECT_EQ(r.exit_code, 1);
        // A file too large for a version file is cut off: the download's own
        // words say so under the text.
        std::string under = file.size() > 65536 ? "The download failed: the server sent more "
                                                  "than the 64 KiB a download may be. Check the "
                                                  "network connection and try again, or update "
                                                  "from a package file.\n"
                                                : "";
        EXPECT_EQ(r.err, "Access database failed,please updated by local file!\n" + under);
        EXPECT_FALSE(std::filesystem::exists(tmp.own("Tmp")));
    }
}

TEST_F(CliUpdate, VersionServerDown) {
    TestServer server;             // serves nothing: the version file is a 404
    SimProcess sim(socket, image); // the tool's own customer: it has a version file
    ASSERT_TRUE(sim.running());
    setenv("TREVIK_VERSION_SERVER", server.host_port().c_str(), 1);
    CliResult r = run_cli(tmp, {"--unit", "socket:" + socket, "update"});
    unsetenv("TREVIK_VERSION_SERVER");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Access database failed,please updated by local file!\n"
                     "The download failed: the server answered with HTTP status 404. Check the "
                     "network connection and try again, or update from a package file.\n");
}

// Starts trevik-cli with args, its output into NAME.out and NAME.err.
std::unique_ptr<Spawned> spawn_cli(const TempDir& tmp, const std::string& name,
                                   std::vector<std::string> args) {
    args.insert(args.begin(), TREVIK_CLI);
    return std::make_unique<Spawned>(args, tmp.path(name + ".out"), tmp.path(name + ".err"));
}

CliResult wait_cli(const TempDir& tmp, const std::string& name, Spawned& cli) {
    CliResult r;
    r.exit_code = cli.wait();
    r.out = read_text(tmp.path(name + ".out"));
    r.err = read_text(tmp.path(name + ".err"));
    return r;
}

// Two updates of one unit at once: the one that has the unit writes it, the
// other says who has it and touches nothing.
TEST_F(CliUpdate, SecondUpdateAtOnceIsTurnedAway) {
    // A paced unit keeps the first update running while the second starts.
    SimProcess sim(socket, image, {"--delay-us", "3000"});
    ASSERT_TRUE(sim.running());
    std::string unit = "socket:" + socket;
    auto first_cli = spawn_cli(tmp, "first", {"--unit", unit, "update", package});
    pid_t first = first_cli->pid();
    ASSERT_GT(first, 0);
    // Wait, without taking it, until the first holds the unit's lock.
    std::string lock = socket + ".lock";
    bool held = false;
    for (int i = 0; i < 1000 && !held; ++i) {
        int fd = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC);
        held = fd >= 0 && QV_UnitLock_holderPid(fd) == first;
        if (fd >= 0)
            ::close(fd);
        if (!held)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(held);

    auto second = spawn_cli(tmp, "second", {"--unit", unit, "update", package});
    CliResult turned = wait_cli(tmp, "second", *second);
    CliResult done = wait_cli(tmp, "first", *first_cli);
    sim.stop();
    EXPECT_EQ(turned.exit_code, 9) << turned.out << turned.err;
    EXPECT_EQ(turned.err,
              "The unit is in use by another program (process " + std::to_string(first) + ")\n");
    EXPECT_EQ(turned.out, "");
    EXPECT_EQ(done.exit_code, 0) << done.out << done.err;
    EXPECT_NE(done.out.find("Update Successfully!\n"), std::string::npos) << done.out;
    auto written = unitAfter();
    EXPECT_EQ(flash_at(*written, voiceAddress(*written), p.voice.size()), p.voice);
}

// A lock that cannot be taken is no reason to go on unlocked: the update
// is refused with the lock's path and reason, and the unit is not touched.
TEST_F(CliUpdate, UnitWhoseLockCannotBeTakenIsNotOpened) {
    SimProcess sim(socket, image, {});
    ASSERT_TRUE(sim.running());
    ASSERT_EQ(::symlink("/nonexistent/trevik.lock", (socket + ".lock").c_str()), 0);
    auto cli = spawn_cli(tmp, "locked", {"--unit", "socket:" + socket, "update", package});
    CliResult r = wait_cli(tmp, "locked", *cli);
    sim.stop();
    EXPECT_EQ(r.exit_code, 9) << r.out << r.err;
    EXPECT_EQ(r.err, "The unit's lock " + socket +
                         ".lock cannot be taken (No such file or directory): the unit is not "
                         "opened\n");
    EXPECT_EQ(r.out, "");
    auto after = unitAfter();
    EXPECT_NE(flash_at(*after, voiceAddress(*after), p.voice.size()), p.voice);
}

// A run stopped by a signal while it unpacks leaves nothing in the tool's
// directory; what a killed run left is removed by the next run.
TEST_F(CliUpdate, UnpackingLeavesNothingBehindEvenWhenStopped) {
    // A large entry that packs small: unpacking takes a while.
    std::string zip = tmp.path("big.zip");
    ASSERT_EQ(pkgbuild_zip(zip, {{"big.dqv", Bytes(size_t(120) << 20, 0x5A)}}), 1);
    SimProcess sim(socket, image);
    ASSERT_TRUE(sim.running());
    for (int sig : {SIGTERM, SIGINT}) {
        auto cli = spawn_cli(tmp, "big", {"--unit", "socket:" + socket, "update", zip});
        bool unpacking = false;
        for (int i = 0; i < 5000 && !unpacking; ++i) {
            unpacking = std::filesystem::exists(tmp.own("big/tmp.dqv"));
            if (!unpacking)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_TRUE(unpacking) << read_text(tmp.path("big.err"));
        cli->signal(sig);
        cli->wait();
        EXPECT_FALSE(std::filesystem::exists(tmp.own("big"))) << sig;
    }

    // Leftovers of a run that was killed outright: its unpacked file, and an
    // empty run directory; another process's claimed directory stays.
    std::filesystem::create_directories(tmp.own("old"));
    std::ofstream(tmp.own("old/tmp.dqv")) << "left over";
    std::filesystem::create_directories(tmp.own("empty"));
    std::filesystem::create_directories(tmp.own("busy"));
    std::ofstream(tmp.own("busy/tmp.dqv")) << "in use";
    int claim = temp_dir_claim_run(tmp.own("busy").c_str());
    ASSERT_GE(claim, 0);
    std::string bundle = tmp.path("bundle.zip");
    ASSERT_EQ(pkgbuild_zip(bundle, {{"Map.DQV", pkg_read_file(package)}}), 1);
    CliResult r = run_cli(tmp, {"--unit", "socket:" + socket, "update", bundle});
    sim.stop();
    temp_dir_release_run(claim);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_FALSE(std::filesystem::exists(tmp.own("old")));
    EXPECT_FALSE(std::filesystem::exists(tmp.own("empty")));
    EXPECT_TRUE(std::filesystem::exists(tmp.own("busy/tmp.dqv")));
}

} // namespace

#endif
