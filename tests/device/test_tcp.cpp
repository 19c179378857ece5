// The emulated unit on a loopback TCP port (tcp:HOST:PORT): the same unit,
// the same flow control and the same result as on a Unix-domain socket.
#if defined(TREVIK_CLI) && defined(TREVIK_SOURCE_DIR)

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common_t73/QV_Hid.h"
#include "support/net.h"
#include "tools/unitsim/UnitSim.h"

namespace {

struct CliRun {
    int code = -1;
    std::string out, err;
};

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class TcpUnitTest : public ::testing::Test {
  protected:
    std::string dir = testing::TempDir() + "tcp_" + std::to_string(::getpid()) + "/";
    std::string sample = std::string(TREVIK_SOURCE_DIR) + "/res/sample/sample.dqv";
    UnitSim unit{0x800000, 1046};
    std::vector<uint8_t> fresh;

    void SetUp() override {
        std::filesystem::create_directories(dir);
        UnitMainSetting ms;
        ms.placeRegions(false, 0x10000, 0x200000, 0xC8000, 0x400000, 0, 0);
        unit.setMainSetting(false, ms, nullptr);
        unit.setParamRecord(false, 3);
        unit.setClientId(false, "TREVIK-DEMO 4711");
        fresh = unit.flash();
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    CliRun cli(const std::string& args) {
        CliRun r;
        std::string out = dir + "out", err = dir + "err";
        std::string cmd = "cd " + dir + " && LC_ALL=C.UTF-8 XDG_STATE_HOME=" + dir +
                          "state XDG_RUNTIME_DIR=" + dir + "run " + TREVIK_CLI + " " + args +
                          " >" + out + " 2>" + err;
        int status = std::system(cmd.c_str());
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = read_text(out);
        r.err = read_text(err);
        return r;
    }

    // Runs args against the unit served on a Unix socket, then from the same
    // start against the unit served on TCP; the flash after each run.
    void runBoth(const std::string& args, CliRun* bySocket, std::vector<uint8_t>* socketFlash,
                 CliRun* byTcp, std::vector<uint8_t>* tcpFlash) {
        std::filesystem::create_directories(dir + "run");
        std::vector<uint8_t> start = unit.flash();
        {
            UnitSimServer server(unit, dir + "unit.sock");
            ASSERT_TRUE(server.start());
            *bySocket = cli(args + " --unit socket:" + dir + "unit.sock");
            server.stop();
        }
        *socketFlash = unit.flash();
        unit.flash() = start;
        {
            UnitSimServer server(unit, "");
            ASSERT_TRUE(server.listenTcp("127.0.0.1", 0));
            ASSERT_NE(server.port(), 0);
            ASSERT_TRUE(server.start());
            *byTcp = cli(args + " --unit tcp:127.0.0.1:" + std::to_string(server.port()));
            server.stop();
        }
        *tcpFlash = unit.flash();
    }
};

TEST_F(TcpUnitTest, AnUpdateOverTcpWritesTheSameFlashAsOverTheSocket) {
    CliRun bySocket, byTcp;
    std::vector<uint8_t> socketFlash, tcpFlash;
    runBoth("update --national --no-backup " + sample, &bySocket, &socketFlash, &byTcp,
            &tcpFlash);
    ASSERT_EQ(bySocket.code, 0) << bySocket.err;
    EXPECT_EQ(byTcp.code, 0) << byTcp.err;
    EXPECT_EQ(byTcp.out, bySocket.out);
    EXPECT_NE(socketFlash, fresh);
    EXPECT_TRUE(tcpFlash == socketFlash) << "the flash differs after the run over TCP";

    runBoth("update --provinces 0,2 --no-backup " + sample, &bySocket, &socketFlash, &byTcp,
            &tcpFlash);
    ASSERT_EQ(bySocket.code, 0) << bySocket.err;
    EXPECT_EQ(byTcp.code, 0) << byTcp.err;
    EXPECT_TRUE(tcpFlash == socketFlash) << "the flash differs after the run over TCP";
}

TEST_F(TcpUnitTest, NothingListeningIsNoUnitAndMalformedSourcesAreRefused) {
    UnitSimServer server(unit, "");
    ASSERT_TRUE(server.listenTcp("127.0.0.1", 0));
    std::string port = std::to_string(server.port());
    // The port is bound but never served: a refused connection.
    {
        UnitSimServer gone(unit, "");
        ASSERT_TRUE(gone.listenTcp("127.0.0.1", 0));
        port = std::to_string(gone.port());
    }
    CliRun none = cli("info --unit tcp:127.0.0.1:" + port);
    EXPECT_EQ(none.code, 3) << none.err;

    for (const char* bad : {"tcp:", "tcp:127.0.0.1", "tcp:127.0.0.1:", "tcp::80",
                            "tcp:127.0.0.1:0", "tcp:127.0.0.1:65536", "tcp:127.0.0.1:8x"})
        EXPECT_EQ(QV_Hid_selectSource(bad), 0) << bad;
    EXPECT_EQ(QV_Hid_selectSource("tcp:127.0.0.1:7000"), 1);
    EXPECT_EQ(QV_Hid_sourceText(), "tcp:127.0.0.1:7000");
    QV_Hid_selectSource("hid");

    // The emulator serves the loopback only.
    UnitSimServer outside(unit, "");
    EXPECT_FALSE(outside.listenTcp("0.0.0.0", 0));
    EXPECT_FALSE(outside.listenTcp("not-an-address", 0));
}

} // namespace

#endif
