// trevik-cli info, dump and readout against an emulated unit served on a
// Unix-domain socket.
#ifdef TREVIK_CLI

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/device/machine_fixture.h"

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

    void SetUp() override {
        ASSERT_EQ(std::system(("mkdir -p " + dir).c_str()), 0);
        UnitMainSetting ms;
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
        std::system(("rm -rf " + dir).c_str());
    }

    CliRun cli(const std::string& args) {
        CliRun r;
        std::string out = dir + "out", err = dir + "err";
        std::string cmd = std::string(TREVIK_CLI) + " " + args + " >" + out + " 2>" + err;
        int status = std::system(cmd.c_str());
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = readFile(out);
        r.err = readFile(err);
        return r;
    }
    std::string unitArg() const { return " --unit socket:" + sock; }
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
    EXPECT_EQ(lines[11], "server version:65536;size:0");
    // The device link's log lines stay off standard output.
    EXPECT_NE(r.err.find("[QV_Machine_getDeveiceInfo][INFO]: 502:0"), std::string::npos);

    CliRun d = cli("dump " + dir + "info.txt" + unitArg());
    EXPECT_EQ(d.code, 0);
    EXPECT_EQ(d.out, "Write Ok!\n");
    EXPECT_EQ(readFile(dir + "info.txt"), r.out);
}

TEST_F(UnitCliTest, ReadoutSavesTheServerRegion) {
    CliRun r = cli("readout " + dir + "server.bin" + unitArg());
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Write Ok!\n");
    std::string file = readFile(dir + "server.bin");
    ASSERT_EQ(file.size(), 0x10000u);
    EXPECT_EQ(0, std::memcmp(file.data(), unit.flash().data() + 0x19000, 0x10000));
}

TEST_F(UnitCliTest, FailuresGoToStandardErrorWithExitCodes) {
    CliRun none = cli("info --unit socket:" + dir + "absent.sock");
    EXPECT_EQ(none.code, 1);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, "   No hardware connected!\n");

    CliRun dumpNone = cli("dump " + dir + "x.txt --unit socket:" + dir + "absent.sock");
    EXPECT_EQ(dumpNone.code, 1);
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
