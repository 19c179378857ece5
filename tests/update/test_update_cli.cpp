// End to end: trevik-unit-sim on a socket, trevik-cli update against it.
#include "tests/helpers/test_server.h"
#include "tests/update/update_fixture.h"

#include <signal.h>
#include <spawn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

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

    ASSERT_EQ(j.exit_code, 0) << j.err;
    auto o = nlohmann::json::parse(j.out);
    EXPECT_EQ(o["ok"], true);
    EXPECT_EQ(o["dry_run"], true);
    EXPECT_EQ(o["program_only"], false);
    ASSERT_FALSE(o["writes"].empty());
    EXPECT_EQ(o["writes"][0]["area"], "boot");
    EXPECT_EQ(o["plan"].size(), size_t(std::count(r.out.begin(), r.out.end(), '\n')));
    EXPECT_EQ(pkg_read_file(image), before);
}

TEST_F(CliUpdate, FailureShowsTheBoxTextWithItsStatus) {
    // Write 1 of the run (voice, after the main-setting block) is refused.
    SimProcess sim(socket, image, {"--status", "f3:1"});
    ASSERT_TRUE(sim.running());
    CliResult r = run_cli(tmp, {"--unit", "socket:" + socket, "update", package});
    EXPECT_EQ(r.exit_code, 6);
    EXPECT_NE(r.err.find("Update Failed!  -4\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");

    // The same failure with --json, from a unit that refuses the same write.
    sim.stop();
    std::string socket2 = tmp.path("unit2.sock");
    SimProcess sim2(socket2, tmp.path("unit2.img"), {"--status", "f3:1"});
    ASSERT_TRUE(sim2.running());
    CliResult j = run_cli(tmp, {"--unit", "socket:" + socket2, "update", "--json", package});
    EXPECT_EQ(j.exit_code, 6);
    EXPECT_EQ(j.out, "{\"ok\":false,\"error\":{\"code\":6,\"text\":\"Update Failed!  -4\"}}\n");
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
    CliResult bad = run_cli(tmp, {"--unit", "socket:" + socket, "update", tmp.path("none.dqv")});
    EXPECT_EQ(bad.exit_code, 5);
    EXPECT_EQ(bad.err, "Open update file failed!\n");

    // A zip without a package, and one that is no zip at all.
    std::string empty_zip = tmp.path("empty.zip"), junk_zip = tmp.path("junk.zip");
    ASSERT_EQ(pkgbuild_zip(empty_zip, {{"readme.txt", pkg_pattern(10, 1)}}), 1);
    ASSERT_TRUE(pkg_write_file(junk_zip, pkg_pattern(500, 2)));
    for (const std::string& zip : {empty_zip, junk_zip}) {
        CliResult z = run_cli(tmp, {"--unit", "socket:" + socket, "update", zip});
        EXPECT_EQ(z.exit_code, 5) << zip;
        EXPECT_NE(z.err.find("Open update file failed!\n"), std::string::npos) << z.err;
        EXPECT_FALSE(std::filesystem::exists(
            tmp.own(std::filesystem::path(zip).stem().string() + "/tmp.dqv")));
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
    EXPECT_TRUE(std::filesystem::is_directory(tmp.own("bundle")));
    EXPECT_FALSE(std::filesystem::exists(tmp.own("bundle/tmp.dqv")));
    auto unit = unitAfter();
    EXPECT_EQ(flash_at(*unit, voiceAddress(*unit), p.voice.size()), p.voice);
    EXPECT_EQ(flash_at(*unit, FLASH_PROGRAM_ADDRESS, p.program.size()), p.program);
}

TEST_F(CliUpdate, ProvinceQuestionNeedsAnAnswerOffTerminal) {
    PkgDescription d = standard_package(p);
    d.province_table = true;
    d.sections[SECTION_PROVINCE_VOICE] = pkg_pattern(4000, 3);
    d.provinces.push_back(PkgProvince{PROVINCE_NAMES[0], pkg_province_records(5, 1)});
    std::string prov = tmp.path("prov.dqv");
    ASSERT_EQ(pkgbuild_write(d, prov), 1);
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

    CliResult chosen = run_cli(tmp, {"--unit", unit, "update", prov, "--provinces", "北京"});
    EXPECT_EQ(chosen.exit_code, 0) << chosen.out << chosen.err;
    CliResult national = run_cli(tmp, {"--unit", unit, "update", prov, "--national"});
    EXPECT_EQ(national.exit_code, 0) << national.out << national.err;
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
    // The run directory is in the tool's own directory, made for this user.
    struct stat st {};
    ASSERT_EQ(::lstat(tmp.path("trevik-" + std::to_string(geteuid())).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(std::filesystem::is_directory(tmp.own("sample")));
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
        EXPECT_EQ(r.err, "Access database failed,please updated by local file!\n");
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
    EXPECT_EQ(r.err, "Access database failed,please updated by local file!\n");
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

} // namespace

#endif
