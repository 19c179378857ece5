// The emulated unit itself: its records as the tool's record readers see
// them, its flash commands, its faults, its image file and trevik-unit-sim.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common_t73/QV_Cmd.h"
#include "config/records.h"
#include "tests/device/test_cmd_support.h"
#include "tools/unitsim/UnitSim.h"

namespace {

struct TempDir {
    std::filesystem::path path;
    TempDir() {
        char tmpl[] = "/tmp/trevik-sim-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string file(const char* name) const { return (path / name).string(); }
};

const uint8_t* at(const UnitSim& unit, uint32_t address) {
    return unit.flash().data() + address;
}

} // namespace

// ---- records, read back with the tool's own record code ----

TEST(UnitSimRecords, MainSettingBlockIsValidInEitherLayout) {
    for (bool layout502 : {false, true}) {
        UnitSim unit;
        UnitMainSetting ms;
        ms.board = "K9Z2";
        ms.programVersion = 4321;
        ms.placeRegions(layout502, 0x10000, 0x200000, 0xC8000, 0x400000, 0x3000, 0x1800);
        UnitServerSetting ss{"cmnet", "10.20.30.40", "u", "p", 9000};
        unit.setMainSetting(layout502, ms, &ss);

        const uint8_t* block = at(unit, layout502 ? 0x1E000 : 0x16000);
        EXPECT_EQ(main_setting_half_valid(block), 1) << layout502;
        EXPECT_EQ(server_settings_half_valid(block + 256), 1) << layout502;
        EXPECT_EQ(main_setting_half_valid(at(unit, layout502 ? 0x16000 : 0x1E000)), 0);
        const uint8_t* rec = block + 4;
        EXPECT_EQ(std::memcmp(rec + MS_OFF_BOARD_NAME, "K9Z2", 4), 0);
        EXPECT_EQ(rec_u32(rec + MS_OFF_PROGRAM_VERSION), 4321u);
        EXPECT_EQ(rec_u32(rec + MS_OFF_FLASH_SIZE), 0x800000u);
        uint32_t base = layout502 ? 0x21000 : 0x19000;
        EXPECT_EQ(rec_u32(rec + MS_OFF_DATA_BASE), base);
        EXPECT_EQ(rec_u32(rec + MS_OFF_SERVER_DATA_ADDR), base);
        EXPECT_EQ(rec_u32(rec + MS_OFF_VOICE_ADDR), base + 0x10000);
        EXPECT_EQ(rec_u32(rec + MS_OFF_RADAR_MUTE_ADDR), base + 0x210000);
        EXPECT_EQ(rec_u32(rec + MS_OFF_GPS_ADDR), base + 0x2D8000);
        EXPECT_EQ(rec_u32(rec + MS_OFF_UPDATE_TOOL_ADDR), base + 0x6D8000);
        EXPECT_EQ(rec_u32(rec + MS_OFF_TRACK_ADDR), base + 0x6DB000);
        EXPECT_EQ(rec_u32(rec + MS_OFF_TRACK_SIZE), 0x1800u); // kept as it is
        EXPECT_EQ(rec_u32(rec + MS_OFF_LAYOUT_END), base + 0x6DB000 + 0x1800);
        EXPECT_EQ(rec_u32(block + 260 + SS_OFF_PORT), 9000u);
    }
}

TEST(UnitSimRecords, BlockWithoutServerSettingsHasAnErasedSecondHalf) {
    UnitSim unit;
    unit.setMainSetting(false, UnitMainSetting{});
    const uint8_t* second = at(unit, 0x16100);
    EXPECT_EQ(server_settings_half_valid(second), 0);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(second[i], 0xFF) << i;
    EXPECT_EQ(at(unit, 0x16000)[235], 0xFF);
}

TEST(UnitSimRecords, ParameterRecordsOfEveryKindAreRecognised) {
    for (int kind = 1; kind <= 5; ++kind) {
        auto rec = unit_param_record(kind, "AB12", 777);
        EXPECT_EQ(param_record_kind(rec.data()), kind) << kind;
        uint8_t board[4];
        uint32_t version = 0;
        param_board_and_version(rec.data(), kind, board, &version);
        if (kind >= 2) {
            EXPECT_EQ(std::memcmp(board, "AB12", 4), 0) << kind;
            EXPECT_EQ(version, 777u) << kind;
        }
        for (bool layout502 : {false, true}) {
            UnitSim unit;
            unit.setParamRecord(layout502, kind, "AB12", 777);
            EXPECT_EQ(param_record_kind(at(unit, layout502 ? 0x19000 : 0x11000)), kind);
        }
    }
    EXPECT_EQ(param_record_kind(unit_param_record(0).data()), -1);
}

TEST(UnitSimRecords, IdentityAndDataHeadersLieWhereTheUnitKeepsThem) {
    UnitSim unit;
    unit.setClientId(false, "ABC");
    unit.setClientId(true, "XYZ1");
    EXPECT_EQ(std::memcmp(at(unit, 0x18000), "ABC\xFF\xFF", 5), 0);
    EXPECT_EQ(std::memcmp(at(unit, 0x1F000), "XYZ1\xFF", 5), 0);
    unit.setVoiceHeader(0xDE000, 0x11223344);
    unit.setRadarMuteHeader(0x16000, 0x55667788);
    unit.setGpsHeader(0x2DE000, 0x99AABBCC);
    EXPECT_EQ(rec_u32(at(unit, 0xDE004)), 0x11223344u);
    EXPECT_EQ(rec_u32(at(unit, 0xDE000)), 0xFFFFFFFFu);
    EXPECT_EQ(rec_u32(at(unit, 0x16000)), 0x55667788u);
    EXPECT_EQ(rec_u32(at(unit, 0x2DE000)), 0x99AABBCCu);
}

// ---- flash commands ----

TEST(UnitSimFlash, EraseClearsWholeSectorsAndRefusesTheOutside) {
    UnitLink link(0x40000);
    std::vector<uint8_t> zeros(0x3000, 0);
    link.unit.put(0x10000, zeros.data(), zeros.size());
    ASSERT_EQ(QV_Cmd_erase(&link.channel, 0x11000, 0x1000), 0);
    EXPECT_EQ(link.unit.flash()[0x10FFF], 0);
    EXPECT_EQ(link.unit.flash()[0x11000], 0xFF);
    EXPECT_EQ(link.unit.flash()[0x11FFF], 0xFF);
    EXPECT_EQ(link.unit.flash()[0x12000], 0);
    EXPECT_EQ(QV_Cmd_erase(&link.channel, 0x3F000, 0x2000), -4);
    EXPECT_EQ(link.unit.commands().back().status, UNIT_STATUS_RANGE);
    EXPECT_EQ(link.unit.flash()[0x12000], 0);
}

TEST(UnitSimFlash, UnscrambleLengthBeyondTheDataIsRefusedAndNothingStored) {
    UnitLink link;
    std::vector<uint8_t> data(256, 0x42);
    EXPECT_EQ(QV_Cmd_write(&link.channel, 0x9000, data.data(), 256, 300, 1, 256u * 0x42u), -5);
    EXPECT_EQ(link.unit.commands().back().status, UNIT_STATUS_RANGE);
    EXPECT_EQ(link.unit.flash()[0x9000], 0xFF);
}

TEST(UnitSimFlash, CommandsAreRecordedWithTheirData) {
    UnitLink link;
    std::vector<uint8_t> data(512, 3);
    ASSERT_EQ(QV_Cmd_write(&link.channel, 0x100, data.data(), 512, 0, 0, 1536), 0);
    const UnitCommand& c = link.unit.commands().back();
    EXPECT_EQ(c.dataBytes, 512u);
    EXPECT_EQ(c.dataSum, 1536u);
    EXPECT_TRUE(c.replied);
    EXPECT_EQ(link.unit.count(CMD_WRITE), 1);
}

TEST(UnitSimFlash, GarbledFrameIsRecordedButNotAnswered) {
    UnitSim unit;
    Report r;
    r.fill(0xCC);
    r[0] = 0;
    uint8_t* f = r.data() + 1;
    QV_Cmd_buildFrame(f, CMD_FINISH, RECORD_MAGIC, COMMAND_ACCESS_WORD, 0, 0, 0);
    f[23] ^= 1;
    ASSERT_TRUE(unit.receive(r.data(), REPORT_SIZE));
    uint8_t out[REPORT_SIZE];
    EXPECT_EQ(unit.send(out), 0);
    ASSERT_EQ(unit.commands().size(), 1u);
    EXPECT_FALSE(unit.commands()[0].replied);
}

TEST(UnitSimFlash, GuardWordsAreChecked) {
    UnitLink link;
    ASSERT_EQ(QV_Cmd_sendFrame(&link.channel, CMD_FINISH, RECORD_MAGIC, 1, 0, 0, 0), 1);
    EXPECT_EQ(QV_Cmd_readReply(&link.channel, nullptr), 0);
    EXPECT_EQ(link.unit.commands().back().status, UNIT_STATUS_BAD_COMMAND);
}

// ---- faults ----

TEST(UnitSimFaults, RuleHitsOnlyTheNthCommandOfItsCode) {
    UnitLink link;
    link.unit.addFault({UnitFault::Status, CMD_WRITE, 1, 9});
    std::vector<uint8_t> data(256, 1);
    EXPECT_EQ(QV_Cmd_finish(&link.channel), 1);
    EXPECT_EQ(QV_Cmd_write(&link.channel, 0, data.data(), 256, 0, 0, 256), 0);
    EXPECT_EQ(QV_Cmd_write(&link.channel, 0, data.data(), 256, 0, 0, 256), -5);
    EXPECT_EQ(link.unit.commands().back().status, 9u);
    EXPECT_EQ(QV_Cmd_write(&link.channel, 0, data.data(), 256, 0, 0, 256), 0);
}

TEST(UnitSimFaults, UnpluggedUnitTakesAndGivesNothingUntilReplugged) {
    UnitSim unit;
    unit.unplugAfterReports(1);
    QV_HidChannel channel{};
    channel.handle = QV_Hid_openTransport(unit.transport());
    EXPECT_EQ(QV_Cmd_getBootVersion(&channel), 0u); // the frame went in, the reply is lost
    EXPECT_TRUE(unit.unplugged());
    EXPECT_EQ(QV_Cmd_sendFrame(&channel, CMD_FINISH, 0, 0, 0, 0, 0), 0);
    unit.replug();
    EXPECT_EQ(QV_Cmd_getBootVersion(&channel), 1046u);
    QV_Hid_close(channel.handle);
}

TEST(UnitSimFaults, DelayedReportsKeepTheirPace) {
    UnitLink link;
    link.unit.setReportDelayUs(2000);
    std::vector<uint8_t> data(1024, 0);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(QV_Cmd_write(&link.channel, 0, data.data(), 1024, 0, 0, 0), 0); // 18 reports
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::microseconds(17 * 2000));
}

// ---- image file ----

TEST(UnitSimImage, ImageKeepsTheFlashBetweenUnits) {
    TempDir dir;
    std::string image = dir.file("unit.bin");
    {
        UnitSim unit(0x40000);
        unit.setClientId(false, "KEEP");
        ASSERT_TRUE(unit.saveImage(image));
    }
    UnitSim again(0x800000);
    ASSERT_TRUE(again.loadImage(image));
    EXPECT_EQ(again.flashSize(), 0x40000u);
    EXPECT_EQ(std::memcmp(again.flash().data() + 0x18000, "KEEP", 4), 0);
    EXPECT_FALSE(again.loadImage(dir.file("missing.bin")));
    std::ofstream(dir.file("empty.bin")).close();
    EXPECT_FALSE(again.loadImage(dir.file("empty.bin")));
    EXPECT_EQ(again.flashSize(), 0x40000u); // a failed load changes nothing
}

// ---- trevik-unit-sim ----

namespace {

std::string sim_program() {
    auto exe = std::filesystem::read_symlink("/proc/self/exe");
    return (exe.parent_path() / ".." / ".." / "tools" / "unitsim" / "trevik-unit-sim").string();
}

pid_t start_sim(const std::vector<std::string>& args, const std::string& socketPath) {
    pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> argv;
        std::string program = sim_program();
        argv.push_back(program.data());
        std::vector<std::string> copy = args;
        for (auto& a : copy)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (!std::freopen("/dev/null", "w", stderr))
            ::_exit(127);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    for (int i = 0; i < 500 && !std::filesystem::exists(socketPath); ++i) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return -1; // it stopped at once: bad options
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pid;
}

int stop_sim(pid_t pid) {
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::u16string u16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

} // namespace

TEST(UnitSimProgram, ServesAUnitThatKeepsItsFlashInTheImage) {
    if (!std::filesystem::exists(sim_program()))
        GTEST_SKIP() << "trevik-unit-sim not built";
    TempDir dir;
    std::string sock = dir.file("unit.sock"), image = dir.file("unit.bin");
    std::vector<std::string> args = {
        "--socket", sock,       "--image", image,        "--boot",   "1050",     "--flash-size",
        "0x400000", "--layout", "502",     "--gps-size", "0x100000", "--client", "TREVIK-DEMO X"};
    pid_t pid = start_sim(args, sock);
    ASSERT_GT(pid, 0);
    QV_HidChannel channel{};
    channel.handle = QV_Hid_open(u16("socket:" + sock).c_str());
    ASSERT_NE(channel.handle, nullptr);
    channel.bootVersion = 1050;
    EXPECT_EQ(QV_Cmd_getBootVersion(&channel), 1050u);
    EXPECT_EQ(QV_Cmd_getFlashSize(&channel), 0x400000u);
    uint8_t block[256];
    ASSERT_EQ(QV_Cmd_read(&channel, 0x1E000, block, 256, 0), 0);
    EXPECT_EQ(main_setting_half_valid(block), 1);
    ASSERT_EQ(QV_Cmd_read(&channel, 0x1F000, block, 256, 0), 0);
    EXPECT_EQ(std::memcmp(block, "TREVIK-DEMO X\xFF", 14), 0);
    std::vector<uint8_t> data(256, 0x21);
    ASSERT_EQ(QV_Cmd_write(&channel, 0x300000, data.data(), 256, 0, 0, 256u * 0x21u), 0);
    QV_Hid_close(channel.handle);
    EXPECT_EQ(stop_sim(pid), 0);

    // The same image again, with a fault: the data is still there.
    std::filesystem::remove(sock);
    pid = start_sim({"--socket", sock, "--image", image, "--status", "f3:0:6"}, sock);
    ASSERT_GT(pid, 0);
    channel.handle = QV_Hid_open(u16("socket:" + sock).c_str());
    ASSERT_NE(channel.handle, nullptr);
    ASSERT_EQ(QV_Cmd_read(&channel, 0x300000, block, 256, 0), 0);
    EXPECT_EQ(block[0], 0x21);
    ASSERT_EQ(QV_Cmd_read(&channel, 0x1F000, block, 256, 0), 0);
    EXPECT_EQ(std::memcmp(block, "TREVIK-DEMO X", 13), 0); // not reset to the default
    EXPECT_EQ(QV_Cmd_write(&channel, 0x300000, data.data(), 256, 0, 0, 256u * 0x21u), -5);
    QV_Hid_close(channel.handle);
    EXPECT_EQ(stop_sim(pid), 0);

    // A new client id goes where the loaded unit keeps it (layout 502).
    std::filesystem::remove(sock);
    pid = start_sim({"--socket", sock, "--image", image, "--client", "TREVIK-DEMO Y"}, sock);
    ASSERT_GT(pid, 0);
    channel.handle = QV_Hid_open(u16("socket:" + sock).c_str());
    ASSERT_NE(channel.handle, nullptr);
    ASSERT_EQ(QV_Cmd_read(&channel, 0x1F000, block, 256, 0), 0);
    EXPECT_EQ(std::memcmp(block, "TREVIK-DEMO Y", 13), 0);
    ASSERT_EQ(QV_Cmd_read(&channel, 0x18000, block, 256, 0), 0);
    EXPECT_EQ(block[0], 0xFF);
    QV_Hid_close(channel.handle);
    EXPECT_EQ(stop_sim(pid), 0);
}

TEST(UnitSimProgram, BadOptionsAreUsageErrors) {
    if (!std::filesystem::exists(sim_program()))
        GTEST_SKIP() << "trevik-unit-sim not built";
    TempDir dir;
    for (std::vector<std::string> args :
         {std::vector<std::string>{"--socket", dir.file("s"), "--flash-size", "12abc"},
          std::vector<std::string>{"--socket", dir.file("s"), "--status", "zz"},
          std::vector<std::string>{"--socket", dir.file("s"), "--layout", "600"},
          std::vector<std::string>{"--flash-size", "0x400000"}}) {
        pid_t pid = ::fork();
        if (pid == 0) {
            std::vector<char*> argv;
            std::string program = sim_program();
            argv.push_back(program.data());
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            if (!std::freopen("/dev/null", "w", stderr))
                ::_exit(127);
            if (!std::freopen("/dev/null", "w", stdout))
                ::_exit(127);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 2) << args.back();
    }
}
