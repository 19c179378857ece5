// Device information read from the emulated unit over the command exchange.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <unistd.h>

#include "config/records.h"
#include "support/text.h"
#include "tests/device/machine_fixture.h"

namespace {

const uint32_t MAY_17_2023 = 1684281600; // 2023-05-17 00:00:00
const uint32_t JAN_02_2024 = 1704153600; // 2024-01-02 00:00:00
const uint32_t DEC_31_2022 = 1672444800; // 2022-12-31 00:00:00

UnitMainSetting normalSetting() {
    UnitMainSetting ms;
    ms.version = 7;
    ms.board = "T73A";
    ms.programVersion = 123;
    ms.placeRegions(false, 0x10000, 0x200000, 0xC8000, 0x522000, 0x1000, 0);
    return ms;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class InfoTest : public MachineTest {};

TEST_F(InfoTest, NormalLayoutGivesTheTwelveLines) {
    UnitMainSetting ms = normalSetting();
    UnitServerSetting ss{"cmnet", "10.0.0.1", "user", "secret", 8080};
    unit.setMainSetting(false, ms, &ss);
    unit.setParamRecord(false, 5, "T73A", 123);
    unit.setClientId(false, "TREVIK-DEMO  unit 1");
    unit.setVoiceHeader(ms.voiceAddress, MAY_17_2023);
    unit.setRadarMuteHeader(ms.radarMuteAddress, JAN_02_2024);
    unit.setGpsHeader(ms.gpsAddress, DEC_31_2022);

    testing::internal::CaptureStdout();
    ASSERT_EQ(QV_Machine_getDeveiceInfo(m), 1);
    std::string log = testing::internal::GetCapturedStdout();

    EXPECT_EQ(m->layout502, 0);
    EXPECT_EQ(m->boot_version, 1046u);
    EXPECT_EQ(m->flash_size, 0x800000u);
    EXPECT_EQ(m->param_kind, 5);
    auto ss178 = unit_server_setting_record(ss);
    EXPECT_EQ(0, std::memcmp(m->server_settings, ss178.data(), 178));
    EXPECT_EQ(0, std::memcmp(m->main_setting, flashAt(0x16004, 231).data(), 231));

    std::vector<std::string> expected = {
        "502:0",
        "boot:1046",
        "flash size:8388608",
        "main setting version:7",
        "broad name:T73A",
        "program version:123",
        "client:TREVIK-DEMO  unit 1",
        "gps version:20221231;size:5382144",
        "voice version:20230517;size:2097152",
        "radar mute version:20240102;size:819200",
        "update version:\xD3\xD0;size:4096", // 有 in GBK
        "server version:65536;size:4096",
    };
    EXPECT_EQ(splitLines(QV_Machine_infoText(m)), expected);
    // Each line is logged in the same order.
    size_t at = 0;
    for (const std::string& line : expected) {
        at = log.find("[INFO]: " + line + "\n", at);
        EXPECT_NE(at, std::string::npos) << line;
    }
    EXPECT_NE(log.find("[QV_Machine_getDeveiceInfo][INFO]: flash size:8388608\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("[INFO]: server version:65536;size:4096\n"), std::string::npos);

    // The data headers are read in mode 1, the records in mode 0.
    for (const UnitCommand& c : unit.commands()) {
        if (c.code != CMD_READ)
            continue;
        uint32_t address = c.a << 8;
        bool header = address == ms.voiceAddress || address == ms.radarMuteAddress ||
                      address == ms.gpsAddress;
        EXPECT_EQ(c.mode, header ? 1 : 0) << std::hex << address;
    }
}

TEST_F(InfoTest, Layout502IsFoundWhenTheNormalBlockHasNoBoardName) {
    UnitMainSetting blank = normalSetting();
    blank.board = "";
    unit.setMainSetting(false, blank);
    UnitMainSetting ms;
    ms.board = "T502";
    ms.placeRegions(true, 0x10000, 0x200000, 0, 0x100000, 0, 0);
    unit.setMainSetting(true, ms);
    unit.setClientId(false, "NORMAL");
    unit.setClientId(true, "LAYOUT502");
    unit.setParamRecord(true, 4, "T502", 9);

    testing::internal::CaptureStdout();
    ASSERT_EQ(QV_Machine_getDeveiceInfo(m), 1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(m->layout502, 1);
    EXPECT_EQ(m->param_kind, 4);
    std::vector<std::string> lines = splitLines(QV_Machine_infoText(m));
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_EQ(lines[0], "502:1");
    EXPECT_EQ(lines[4], "broad name:T502");
    EXPECT_EQ(lines[6], "client:LAYOUT502");
    EXPECT_EQ(lines[10], "update version:\xCE\xDE;size:0"); // 无 in GBK
}

TEST_F(InfoTest, OldLayoutUsesTheFixedRegions) {
    unit.setBootVersion(1010);
    unit.setClientId(false, "ABC");
    testing::internal::CaptureStdout();
    ASSERT_EQ(QV_Machine_getDeveiceInfo(m), 1);
    testing::internal::GetCapturedStdout();

    EXPECT_EQ(unit.count(CMD_FLASH_SIZE), 0);
    EXPECT_EQ(m->flash_size, 8388608u);
    EXPECT_EQ(m->param_kind, -1);
    std::vector<std::string> lines = splitLines(QV_Machine_infoText(m));
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_EQ(lines[4], "broad name:");
    EXPECT_EQ(lines[6], "client:ABC");
    // An erased header holds no data: no date (not 2106-02-07).
    EXPECT_EQ(lines[7], "gps version:;size:0");
    EXPECT_EQ(lines[10], "update version:\xB4\xED;size:0"); // 错 in GBK
    EXPECT_EQ(lines[11], "server version:0;size:0");

    std::vector<std::pair<uint32_t, uint8_t>> dataReads;
    for (const UnitCommand& c : unit.commands())
        if (c.code == CMD_READ && c.mode == 1)
            dataReads.push_back({c.a << 8, uint8_t(c.b)});
    std::vector<std::pair<uint32_t, uint8_t>> want = {
        {OLD_VOICE_ADDRESS, 1}, {OLD_RADAR_MUTE_ADDRESS, 1}, {OLD_GPS_ADDRESS, 1}};
    EXPECT_EQ(dataReads, want);
}

TEST_F(InfoTest, FlashSizeIsAskedFromBoot1011) {
    struct Case {
        uint32_t boot;
        int queries;
        uint32_t size;
    } cases[] = {{0, 0, 0x800000}, {1010, 0, 0x800000}, {1011, 1, 0x400000}, {1046, 1, 0x400000}};
    unit.setFlashSize(0x400000);
    for (const Case& c : cases) {
        unit.setBootVersion(c.boot);
        unit.clearCommands();
        testing::internal::CaptureStdout();
        EXPECT_EQ(QV_Machine_getDeveiceInfo(m), 1);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(unit.count(CMD_FLASH_SIZE), c.queries) << c.boot;
        EXPECT_EQ(m->flash_size, c.size) << c.boot;
        EXPECT_EQ(m->channel->bootVersion, c.boot);
    }
}

TEST_F(InfoTest, GpsStampZeroIsTheFirstDayOf1970) {
    UnitMainSetting ms = normalSetting();
    unit.setMainSetting(false, ms);
    unit.setGpsHeader(ms.gpsAddress, 0);
    testing::internal::CaptureStdout();
    ASSERT_EQ(QV_Machine_getDeveiceInfo(m), 1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(splitLines(QV_Machine_infoText(m))[7], "gps version:19700101;size:5382144");

    // A header that cannot be read leaves the text empty.
    unit.addFault({UnitFault::Status, CMD_READ, -1, 9});
    testing::internal::CaptureStdout();
    ASSERT_EQ(QV_Machine_getDeveiceInfo(m), 1);
    testing::internal::GetCapturedStdout();
    std::vector<std::string> lines = splitLines(QV_Machine_infoText(m));
    EXPECT_EQ(lines[7], "gps version:;size:0");
    EXPECT_EQ(lines[6], "client:"); // identity unread: 0xFF
    EXPECT_EQ(m->identity[0], 0xFF);
}

TEST_F(InfoTest, ParameterRecordStandsInForAMissingMainSetting) {
    unit.setParamRecord(false, 2, "K2BD", 77);
    testing::internal::CaptureStdout();
    ASSERT_EQ(QV_Machine_getDeveiceInfo(m), 1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(m->param_kind, 2);
    std::vector<std::string> lines = splitLines(QV_Machine_infoText(m));
    EXPECT_EQ(lines[4], "broad name:K2BD");
    EXPECT_EQ(lines[5], "program version:77");
    // Still no valid main-setting record.
    EXPECT_EQ(lines[10], "update version:\xB4\xED;size:0");
}

TEST_F(InfoTest, ClientTextStopsAtErasedFlashAndConvertsFromGbk) {
    unit.setClientId(false, "ABC");
    testing::internal::CaptureStdout();
    QV_Machine_getDeveiceInfo(m);
    testing::internal::GetCapturedStdout();
    char16_t text[64];
    QV_Machine_clientText(m, text, 64);
    EXPECT_EQ(std::u16string(text), u"ABC");

    // GBK text, and a single 0xFF inside the id is kept.
    const uint8_t id[] = {0xB2, 0xE2, 0xCA, 0xD4, 'x', 0x00};
    std::memcpy(m->identity, id, sizeof id);
    QV_Machine_clientText(m, text, 64);
    EXPECT_EQ(std::u16string(text), u"测试x");
    // The capacity bounds the bytes taken: two bytes per unit.
    std::memset(m->identity, 'A', sizeof m->identity);
    QV_Machine_clientText(m, text, 3);
    EXPECT_EQ(std::u16string(text), u"AA");
}

TEST(InfoText, UpdateToolTextFollowsTheRecord) {
    QV_Machine* m = QV_Machine_create(nullptr, nullptr, nullptr, nullptr);
    char16_t t[4];
    QV_Machine_updateToolText(m, t, 4);
    EXPECT_EQ(std::u16string(t), u"错");
    rec_set_u32(m->main_setting + MS_OFF_MAGIC, RECORD_MAGIC);
    QV_Machine_updateToolText(m, t, 4);
    EXPECT_EQ(std::u16string(t), u"无");
    rec_set_u32(m->main_setting + MS_OFF_UPDATE_TOOL_SIZE, 1);
    QV_Machine_updateToolText(m, t, 4);
    EXPECT_EQ(std::u16string(t), u"有");
    QV_Machine_release(m);
}

TEST_F(InfoTest, RefusedUnitIsSentTheRefusal) {
    QV_Machine_release(m);
    int calls = 0;
    auto refuse = [](void* user, const uint8_t* identity) {
        ++*static_cast<int*>(user);
        return std::memcmp(identity, "GOOD", 4) == 0 ? 1 : 0;
    };
    m = QV_Machine_create(refuse, &calls, onProgress, this);
    QV_Machine_attach(m, QV_Hid_openTransport(unit.transport()));
    unit.setMainSetting(false, normalSetting());
    unit.setClientId(false, "EVIL");

    EXPECT_EQ(QV_Machine_getDeveiceInfo(m), 0);
    EXPECT_EQ(calls, 1);
    ASSERT_FALSE(unit.commands().empty());
    EXPECT_EQ(unit.commands().back().code, CMD_REJECT);
    EXPECT_EQ(m->boot_version, 1046u); // what was read stays

    unit.setClientId(false, "GOOD");
    testing::internal::CaptureStdout();
    EXPECT_EQ(QV_Machine_getDeveiceInfo(m), 1);
    testing::internal::GetCapturedStdout();
}

TEST_F(InfoTest, ReadBlockRoundsToPagesAndKeepsTheDestinationOnFailure) {
    for (uint32_t i = 0; i < 512; ++i)
        unit.flash()[0x20000 + i] = uint8_t(i * 7);
    std::vector<uint8_t> dst(300, 0xAA);
    ASSERT_EQ(QV_Machine_readBlock(m, 0x20000, dst.data(), 300, 0), 1);
    EXPECT_EQ(dst, flashAt(0x20000, 300));
    ASSERT_EQ(unit.commands().size(), 1u);
    EXPECT_EQ(unit.commands()[0].b, 2u); // two pages

    std::vector<uint8_t> keep(300, 0xAA);
    unit.clearCommands();
    EXPECT_EQ(QV_Machine_readBlock(m, 0x20010, keep.data(), 300, 0), 0);
    EXPECT_TRUE(unit.commands().empty());
    unit.addFault({UnitFault::BadChecksum, CMD_READ, 0, 0});
    EXPECT_EQ(QV_Machine_readBlock(m, 0x20000, keep.data(), 300, 0), 0);
    EXPECT_EQ(keep, std::vector<uint8_t>(300, 0xAA));

    EXPECT_EQ(QV_Machine_readBlock(nullptr, 0, keep.data(), 256, 0), 0);
    QV_Machine_attach(m, nullptr);
    EXPECT_EQ(QV_Machine_readBlock(m, 0, keep.data(), 256, 0), 0);
    EXPECT_EQ(QV_Machine_getDeveiceInfo(nullptr), 0);
}

TEST_F(InfoTest, DumpWritesTheSameTwelveLines) {
    unit.setMainSetting(false, normalSetting());
    unit.setClientId(false, "TREVIK-DEMO ");
    testing::internal::CaptureStdout();
    QV_Machine_getDeveiceInfo(m);
    testing::internal::GetCapturedStdout();

    std::string path = testing::TempDir() + "machine_dump_" + std::to_string(::getpid()) + ".txt";
    std::u16string wpath = utf8_to_wtext(path);
    ASSERT_EQ(QV_Machine_dumpInfo(m, wpath.c_str()), 1);
    std::string text = readFile(path);
    EXPECT_EQ(text, QV_Machine_infoText(m));
    EXPECT_EQ(splitLines(text).size(), 12u);
    std::remove(path.c_str());

    std::u16string bad = utf8_to_wtext(testing::TempDir() + "no/such/dir/dump.txt");
    EXPECT_EQ(QV_Machine_dumpInfo(m, bad.c_str()), 0);
    EXPECT_EQ(QV_Machine_dumpInfo(nullptr, wpath.c_str()), 0);
}

} // namespace

namespace {

TEST_F(InfoTest, ParameterKindIsRecognisedAtTheLayoutsAddress) {
    for (bool layout502 : {false, true}) {
        if (layout502) {
            UnitMainSetting ms;
            ms.board = "T502";
            unit.setMainSetting(true, ms);
        }
        for (int kind = 1; kind <= 5; ++kind) {
            SCOPED_TRACE(testing::Message() << layout502 << " kind " << kind);
            unit.setParamRecord(layout502, kind);
            testing::internal::CaptureStdout();
            ASSERT_EQ(QV_Machine_getDeveiceInfo(m), 1);
            testing::internal::GetCapturedStdout();
            EXPECT_EQ(m->layout502, layout502 ? 1 : 0);
            EXPECT_EQ(m->param_kind, kind);
            EXPECT_EQ(
                0, std::memcmp(m->param, flashAt(layout502 ? 0x19000 : 0x11000, 256).data(), 256));
        }
    }
}

TEST(AttachFirstUnit, AttachesTheEmulatedUnitAndReadsIt) {
    UnitSim unit(0x400000, 1046);
    UnitMainSetting ms;
    ms.board = "EMU1";
    unit.setMainSetting(false, ms);
    QV_Hid_selectEmulated([&unit] { return unit.transport(); });
    QV_Machine* m = QV_Machine_create(nullptr, nullptr, nullptr, nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(QV_Machine_attachFirstUnit(m), 1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(QV_Machine_isConnected(m), 1);
    EXPECT_EQ(m->flash_size, 0x400000u);
    EXPECT_EQ(0, std::memcmp(m->main_setting + 4, "EMU1", 4));

    // No unit where the source points: nothing attached, the old one dropped.
    ASSERT_EQ(QV_Hid_selectSource("socket:" + testing::TempDir() + "no-unit.sock"), 1);
    EXPECT_EQ(QV_Machine_attachFirstUnit(m), 0);
    EXPECT_EQ(QV_Machine_isConnected(m), 0);
    QV_Hid_selectSource("hid");
    QV_Machine_release(m);
}

} // namespace
