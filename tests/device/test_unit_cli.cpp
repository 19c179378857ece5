// trevik-cli info, dump and readout against an emulated unit served on a
// Unix-domain socket.
#ifdef TREVIK_CLI

#include <filesystem>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "common_t73/QV_UnitLock.h"
#include "tests/device/machine_fixture.h"

#include <nlohmann/json.hpp>

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct CliRun {
    int code = -1;
    std::string out, err;
};

class UnitCliTest : public ::testing::Test {
  protected:
    std::string dir = testing::TempDir() + "unit_cli_" + std::to_string(::getpid()) + "/";
    std::string sock = dir + "unit.sock";
    UnitSim unit{0x800000, 1046};
    std::unique_ptr<UnitSimServer> server;

    UnitMainSetting ms;

    void SetUp() override {
        ASSERT_EQ(std::system(("mkdir -p " + dir).c_str()), 0);
        ms.board = "T73A";
        ms.programVersion = 321;
        ms.placeRegions(false, 0x10000, 0x200000, 0xC8000, 0x400000, 0, 0);
        unit.setMainSetting(false, ms);
        unit.setParamRecord(false, 5);
        unit.setClientId(false, "TREVIK-DEMO 0042");
        unit.setGpsHeader(ms.gpsAddress, 1735689600); // 2025-01-01
        for (uint32_t i = 0; i < 0x10000; ++i)
            unit.flash()[ms.serverAddress + i] = uint8_t(i ^ (i >> 8));
        server = std::make_unique<UnitSimServer>(unit, sock);
        ASSERT_TRUE(server->start());
    }
    void TearDown() override {
        server->stop();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    CliRun cli(const std::string& args) {
        CliRun r;
        std::string out = dir + "out", err = dir + "err";
        // The terminal's character set is the locale's: UTF-8 here.
        std::string cmd =
            "LC_ALL=C.UTF-8 " + std::string(TREVIK_CLI) + " " + args + " >" + out + " 2>" + err;
        int status = std::system(cmd.c_str());
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = readFile(out);
        r.err = readFile(err);
        return r;
    }
    std::string unitArg() const { return " --unit socket:" + sock; }

    // Parts of an information line ("label:value" or
    // "label:date;size:N"), as JSON texts.
    static std::string lineValue(const std::string& line) {
        return line.substr(line.find(':') + 1);
    }
    static std::string sizeOf(const std::string& line) { return line.substr(line.rfind(':') + 1); }
    static std::string jsonDate(const std::string& line) {
        std::string date = line.substr(line.find(':') + 1);
        date = date.substr(0, date.find(';'));
        // One date form in every JSON object: YYYY-MM-DD.
        if (date.size() == 8)
            date = date.substr(0, 4) + "-" + date.substr(4, 2) + "-" + date.substr(6, 2);
        return date.empty() ? "null" : "\"" + date + "\"";
    }
};

TEST_F(UnitCliTest, InfoPrintsOnlyTheTwelveLines) {
    CliRun r = cli("info" + unitArg());
    ASSERT_EQ(r.code, 0) << r.err;
    std::vector<std::string> lines = splitLines(r.out);
    ASSERT_EQ(lines.size(), 12u) << r.out;
    EXPECT_EQ(lines[0], "502:0");
    EXPECT_EQ(lines[4], "broad name:T73A");
    EXPECT_EQ(lines[5], "program version:321");
    EXPECT_EQ(lines[6], "client:TREVIK-DEMO 0042");
    EXPECT_EQ(lines[7], "gps version:20250101;size:4194304");
    EXPECT_EQ(lines[10], "update version:无;size:0"); // the unit's GBK, shown in UTF-8
    EXPECT_EQ(lines[11], "server version:65536;size:0");
    // Log lines only with -v, and then on standard error alone, once each.
    EXPECT_EQ(r.err, "");
    CliRun v = cli("-v info" + unitArg());
    ASSERT_EQ(v.code, 0) << v.err;
    EXPECT_EQ(v.out, r.out);
    EXPECT_EQ(splitLines(v.err).size(), 12u) << v.err;
    EXPECT_NE(v.err.find("[QV_Machine_getDeveiceInfo][INFO]: 502:0\n"), std::string::npos);
    EXPECT_NE(v.err.find("[INFO]: update version:无;size:0\n"), std::string::npos);
    CliRun after = cli("info -v" + unitArg());
    EXPECT_EQ(after.err, v.err);
    EXPECT_EQ(cli("-q -v info" + unitArg()).code, 2);

    CliRun j = cli("info --json" + unitArg());
    ASSERT_EQ(j.code, 0) << j.err;
    // Flags are booleans, an absent update tool null; the last line's two
    // figures are the server-data size and the update tool's size again.
    EXPECT_EQ(j.out, "{\"ok\":true,\"layout502\":false,\"boot\":1046,\"flash_size\":8388608,"
                     "\"main_setting_version\":" +
                         lineValue(lines[3]) +
                         ",\"board_name\":\"T73A\",\"program_version\":321,"
                         "\"client\":\"TREVIK-DEMO 0042\",\"gps_version\":\"2025-01-01\","
                         "\"gps_size\":4194304,\"voice_version\":" +
                         jsonDate(lines[8]) + ",\"voice_size\":" + sizeOf(lines[8]) +
                         ",\"radar_mute_version\":" + jsonDate(lines[9]) +
                         ",\"radar_mute_size\":" + sizeOf(lines[9]) +
                         ",\"update_version\":null,\"update_size\":0,"
                         "\"server_data_size\":65536}\n");
    CliRun pretty = cli("info --json --pretty" + unitArg());
    EXPECT_NE(pretty.out.find("{\n  \"ok\": true,\n  \"layout502\": false,"), std::string::npos)
        << pretty.out;

    CliRun d = cli("dump " + dir + "info.txt" + unitArg());
    EXPECT_EQ(d.code, 0);
    EXPECT_EQ(d.out, "Write Ok!\n");
    // The file keeps the unit's own GBK text.
    std::string gbk = r.out;
    gbk.replace(gbk.find("无"), std::string("无").size(), "\xCE\xDE");
    EXPECT_EQ(readFile(dir + "info.txt"), gbk);
}

// A data header whose time stamp is erased flash (a write that broke off)
// holds no data: no date in the line, null in JSON, never 2106-02-07.
TEST_F(UnitCliTest, ErasedDataHeadersHaveNoDate) {
    const uint32_t erased = 0xFFFFFFFFu, dated = 1735689600; // 2025-01-01
    struct Case {
        void (UnitSim::*set)(uint32_t, uint32_t);
        uint32_t UnitMainSetting::*address;
        size_t line;
        const char* key;
    };
    const Case cases[] = {
        {&UnitSim::setGpsHeader, &UnitMainSetting::gpsAddress, 7, "gps_version"},
        {&UnitSim::setVoiceHeader, &UnitMainSetting::voiceAddress, 8, "voice_version"},
        {&UnitSim::setRadarMuteHeader, &UnitMainSetting::radarMuteAddress, 9,
         "radar_mute_version"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        for (const Case& other : cases)
            (unit.*other.set)(ms.*other.address, &other == &c ? erased : dated);
        CliRun r = cli("info" + unitArg());
        ASSERT_EQ(r.code, 0) << r.err;
        std::vector<std::string> lines = splitLines(r.out);
        ASSERT_EQ(lines.size(), 12u) << r.out;
        for (const Case& other : cases) {
            std::string date = lines[other.line].substr(lines[other.line].find(':') + 1);
            EXPECT_EQ(date.substr(0, date.find(';')), &other == &c ? "" : "20250101");
        }
        CliRun j = cli("info --json" + unitArg());
        EXPECT_NE(j.out.find("\"" + std::string(c.key) + "\":null,"), std::string::npos) << j.out;
    }
}

TEST_F(UnitCliTest, ReadoutSavesTheServerRegion) {
    CliRun r = cli("readout " + dir + "server.bin" + unitArg());
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Write Ok!\n");
    std::string file = readFile(dir + "server.bin");
    ASSERT_EQ(file.size(), 0x10000u);
    EXPECT_EQ(0, std::memcmp(file.data(), unit.flash().data() + 0x19000, 0x10000));
}

// Standard output carries data only: no command prints a log line there,
// and at the default verbosity none prints one at all; -v shows them on
// standard error.
TEST_F(UnitCliTest, LogLinesOnlyOnStandardErrorAndOnlyWithVerbose) {
    const std::string commands[] = {"info",
                                    "info --json",
                                    "dump " + dir + "d.txt",
                                    "readout " + dir + "r.bin",
                                    "settings",
                                    "settings --json",
                                    "list",
                                    "list --json"};
    for (const std::string& c : commands) {
        CliRun plain = cli(c + unitArg());
        EXPECT_EQ(plain.code, 0) << c << plain.err;
        EXPECT_EQ(plain.out.find("][INFO]: "), std::string::npos) << c;
        EXPECT_EQ(plain.err.find("][INFO]: "), std::string::npos) << c << plain.err;
        CliRun verbose = cli("-v " + c + unitArg());
        EXPECT_EQ(verbose.out, plain.out) << c;
        EXPECT_NE(verbose.err.find("[QV_Machine_getDeveiceInfo][INFO]: "), std::string::npos) << c;
        CliRun quiet = cli(c + " -q" + unitArg());
        EXPECT_EQ(quiet.err, "") << c;
    }
}

TEST_F(UnitCliTest, ListShowsServedSocketUnits) {
    std::string absent = " --unit socket:" + dir + "absent.sock";
    CliRun r = cli("list" + unitArg() + absent);
    ASSERT_EQ(r.code, 0) << r.err;
    // HID units of the machine running the test may come first.
    std::string line = "socket:" + sock + "  client \"TREVIK-DEMO 0042\"  board \"T73A\"\n";
    EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("absent.sock"), std::string::npos) << r.out;

    CliRun j = cli("list --json" + unitArg());
    ASSERT_EQ(j.code, 0) << j.err;
    std::string entry = "{\"unit\":\"socket:" + sock + "\",\"path\":\"" + sock +
                        "\",\"serial\":null,\"product\":null,\"opened\":true,"
                        "\"access_denied\":false,\"busy\":false,\"busy_pid\":null,"
                        "\"client\":\"TREVIK-DEMO 0042\",\"board\":\"T73A\"}";
    EXPECT_EQ(j.out.rfind("{\"ok\":true,\"units\":[", 0), 0u) << j.out;
    EXPECT_NE(j.out.find(entry), std::string::npos) << j.out;
    EXPECT_EQ(cli("list --unit usb").code, 2);
}

// The command's options read the same before its name as after it; a name
// that is no command is named in the error.
TEST_F(UnitCliTest, OptionsBeforeTheCommandAndUnknownCommands) {
    CliRun after = cli("info --json --pretty" + unitArg());
    ASSERT_EQ(after.code, 0) << after.err;
    for (const std::string& args :
         {"--json --pretty info" + unitArg(), "--json" + unitArg() + " --pretty info",
          "-q --json --unit=socket:" + sock + " --pretty info"}) {
        CliRun before = cli(args);
        EXPECT_EQ(before.code, 0) << args << before.err;
        EXPECT_EQ(before.out, after.out) << args;
    }
    struct Case {
        std::string args;
        std::string out;
    } unknown[] = {
        {"frobnicate", ""},
        {"-q frobnicate --json", "{\"ok\":false,\"error\":{\"code\":2,\"text\":\"unknown command "
                                 "\\\"frobnicate\\\"; trevik-cli --help lists them\"}}\n"},
        {"--unit socket:x frobnicate", ""},
    };
    for (const Case& c : unknown) {
        CliRun r = cli(c.args);
        EXPECT_EQ(r.code, 2) << c.args;
        EXPECT_EQ(r.err, "unknown command \"frobnicate\"; trevik-cli --help lists them\n")
            << c.args;
        EXPECT_EQ(r.out, c.out) << c.args;
    }
}

// A unit another program holds is listed as busy, with that program's
// process id, not left out.
TEST_F(UnitCliTest, ListMarksAUnitAnotherProgramHoldsAsBusy) {
    int fd = -1, holder = 0;
    ASSERT_EQ(QV_UnitLock_acquire(QV_UnitLock_pathForSocket(sock), true, &fd, &holder),
              QV_UNIT_LOCK_HELD);
    CliRun r = cli("list" + unitArg());
    CliRun j = cli("list --json" + unitArg());
    ::close(fd);
    ASSERT_EQ(r.code, 0) << r.err;
    std::string pid = std::to_string(::getpid());
    EXPECT_NE(r.out.find("socket:" + sock + "  (in use by another program: process " + pid + ")\n"),
              std::string::npos)
        << r.out;
    std::string entry = "{\"unit\":\"socket:" + sock + "\",\"path\":\"" + sock +
                        "\",\"serial\":null,\"product\":null,\"opened\":false,"
                        "\"access_denied\":false,\"busy\":true,\"busy_pid\":" +
                        pid + ",\"client\":null,\"board\":null}";
    EXPECT_NE(j.out.find(entry), std::string::npos) << j.out;
}

TEST_F(UnitCliTest, FailuresGoToStandardErrorWithExitCodes) {
    CliRun none = cli("info --unit socket:" + dir + "absent.sock");
    EXPECT_EQ(none.code, 3);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, "   No hardware connected!\n");
    CliRun noneJson = cli("info --json --unit socket:" + dir + "absent.sock");
    EXPECT_EQ(noneJson.code, 3);
    EXPECT_EQ(noneJson.out.rfind(
                  "{\"ok\":false,\"error\":{\"code\":3,\"text\":\"   No hardware connected!\",", 0),
              0u)
        << noneJson.out;

    // A device path that is no unit's finds none.
    EXPECT_EQ(cli("info --unit hid:" + dir + "hidraw99").code, 3);

    CliRun dumpNone = cli("dump " + dir + "x.txt --unit socket:" + dir + "absent.sock");
    EXPECT_EQ(dumpNone.code, 3);
    EXPECT_EQ(dumpNone.err, "   No hardware connected!\n");

    CliRun badFile = cli("readout " + dir + "no/such/dir/x.bin" + unitArg());
    EXPECT_EQ(badFile.code, 1);
    EXPECT_NE(badFile.err.find("open file fail！\nWrite Error!\n"), std::string::npos)
        << badFile.err;

    unit.addFault({UnitFault::Status, CMD_READ, 60, 4});
    CliRun readFail = cli("readout " + dir + "y.bin" + unitArg());
    EXPECT_EQ(readFail.code, 1);
    EXPECT_NE(readFail.err.find("read fail！\nWrite Error!\n"), std::string::npos) << readFail.err;

    EXPECT_EQ(cli("info --unit usb").code, 2);
    EXPECT_EQ(cli("readout").code, 2);
}

// The failure objects of a unit that cannot be reached carry its cause and
// the next step, as every other failure does; standard error keeps the
// text alone.
TEST_F(UnitCliTest, UnreachableUnitFailuresSayWhyAndWhatNext) {
    int fd = -1, holder = 0;
    ASSERT_EQ(QV_UnitLock_acquire(QV_UnitLock_pathForSocket(sock), true, &fd, &holder),
              QV_UNIT_LOCK_HELD);
    std::string pid = std::to_string(::getpid());
    struct Case {
        std::string args;
        int code;
        std::string text, reason, hint_part;
    };
    const Case cases[] = {
        {"info --json --unit socket:" + dir + "absent.sock", 3, "   No hardware connected!",
         "No unit was found where --unit looks (hid: the units on USB).", "trevik-cli list"},
        {"info --json" + unitArg(), 9,
         "The unit is in use by another program (process " + pid + ")",
         "The unit is in use by another program (process " + pid + ")",
         "Close the window or the other trevik-cli"},
        {"settings --json" + unitArg(), 9,
         "The unit is in use by another program (process " + pid + ")",
         "The unit is in use by another program (process " + pid + ")",
         "Close the window or the other trevik-cli"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        CliRun r = cli(c.args);
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.err, c.text + "\n");
        nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
        ASSERT_TRUE(j.is_object()) << r.out;
        EXPECT_EQ(j["error"]["code"], c.code);
        EXPECT_EQ(j["error"]["text"], c.text);
        EXPECT_EQ(j["error"]["reason"], c.reason);
        ASSERT_TRUE(j["error"]["hint"].is_string()) << r.out;
        EXPECT_NE(j["error"]["hint"].get<std::string>().find(c.hint_part), std::string::npos);
    }
    ::close(fd);
}

// A unit whose every reply is broken gives stand-in zeros: the window's
// texts are kept, but the commands say so and exit with the transfer code.
TEST_F(UnitCliTest, UnitThatAnswersNothingIsNoSuccess) {
    unit.addFault({UnitFault::BadChecksum, 0, -1});
    CliRun info = cli("info" + unitArg());
    EXPECT_EQ(info.code, 6);
    EXPECT_NE(info.out.find("boot:0\n"), std::string::npos) << info.out;
    EXPECT_NE(info.err.find("The unit answered none of the information reads.\n"),
              std::string::npos)
        << info.err;

    for (const char* command : {"dump ", "readout "}) {
        SCOPED_TRACE(command);
        CliRun r = cli(command + dir + "silent.out" + unitArg());
        EXPECT_EQ(r.code, 6);
        EXPECT_EQ(r.out, "Write Ok!\n");
        EXPECT_NE(r.err.find("The unit answered none of the information reads.\n"),
                  std::string::npos)
            << r.err;
    }
    // With --json the failure is the only object on standard output.
    for (const char* command : {"info --json", "dump --json "}) {
        SCOPED_TRACE(command);
        std::string args = command;
        if (args.rfind("dump", 0) == 0)
            args += dir + "silent.json.out";
        CliRun r = cli(args + unitArg());
        EXPECT_EQ(r.code, 6);
        EXPECT_EQ(r.out, "{\"ok\":false,\"error\":{\"code\":6,\"text\":\"The unit answered none "
                         "of the information reads.\"}}\n");
    }

    // One answer is enough: a unit that only refuses its reads still
    // reported its boot version.
    unit.clearFaults();
    unit.addFault({UnitFault::Status, CMD_READ, -1, 4});
    CliRun partly = cli("info" + unitArg());
    EXPECT_EQ(partly.code, 0) << partly.err;
    EXPECT_NE(partly.out.find("boot:1046\n"), std::string::npos) << partly.out;
}

} // namespace

#endif
