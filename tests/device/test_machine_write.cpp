// Flash writes against the emulated unit: checksums, scrambling, modes, the
// order of a write run, its failure codes and its progress.
#include "common_t73/QV_WritePlan.h"
#include "config/records.h"
#include "package/scramble.h"
#include "support/checksum.h"
#include "tests/device/machine_fixture.h"
#include "tests/device/package_helper.h"

namespace {

uint32_t sum(const Bytes& b) {
    return byte_sum(b.data(), b.size());
}

class WriteTest : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        UnitMainSetting ms;
        ms.board = "T73A";
        ms.placeRegions(false, 0x10000, 0x40000, 0x10000, 0x40000, 0x1000, 0);
        unit.setMainSetting(false, ms);
        unit.setParamRecord(false, 5);
        testing::internal::CaptureStdout();
        ASSERT_EQ(QV_Machine_getDeveiceInfo(m), 1);
        testing::internal::GetCapturedStdout();
        unit.clearCommands();
        reports.clear();
    }
};

TEST_F(WriteTest, TwelveBytesGoOutAsOnePaddedPage) {
    Bytes data = pkg_pattern(12, 1);
    ASSERT_EQ(QV_Machine_writeBlock(m, 0x30000, data.data(), 12, 0, 0), 1);
    ASSERT_EQ(writes().size(), 1u);
    const UnitCommand w = writes()[0];
    EXPECT_EQ(w.a, 0x300u);
    EXPECT_EQ(w.b, 1u);
    EXPECT_EQ(w.c, 0u);
    EXPECT_EQ(w.mode, 0);
    EXPECT_EQ(w.d, sum(data) + 244u * 255u);
    EXPECT_EQ(w.dataBytes, 256u);
    Bytes want = data;
    want.resize(256, 0xFF);
    EXPECT_EQ(flashAt(0x30000, 256), want);
}

TEST_F(WriteTest, MisalignedOrMissingTargetsSendNothing) {
    Bytes data = pkg_pattern(256, 2);
    EXPECT_EQ(QV_Machine_writeBlock(m, 0x9080, data.data(), 256, 0, 1), 0);
    EXPECT_EQ(QV_Machine_writeBlock(m, 0x9000, nullptr, 256, 0, 1), 0);
    EXPECT_EQ(QV_Machine_writeBlock(nullptr, 0x9000, data.data(), 256, 0, 1), 0);
    EXPECT_TRUE(unit.commands().empty());
}

TEST_F(WriteTest, ScrambledBlockIsSentAsStoredWithThePlainChecksum) {
    Bytes plain = pkg_pattern(1000, 3);
    Bytes stored = pkg_scrambled(plain);
    // The checksum must not disturb a decoder state a caller relies on.
    ASSERT_EQ(QV_Machine_writeBlock(m, 0x40000, stored.data(), 1000, 1, 1), 1);
    ASSERT_EQ(writes().size(), 1u);
    const UnitCommand w = writes()[0];
    EXPECT_EQ(w.b, 4u);
    EXPECT_EQ(w.c, 1000u);
    EXPECT_EQ(w.mode, 1);
    EXPECT_EQ(w.d, sum(plain) + 24u * 255u);
    EXPECT_EQ(w.dataSum, sum(stored) + 24u * 255u); // the bytes as stored went out
    EXPECT_EQ(w.status, 0u);
    Bytes want = plain;
    want.resize(1024, 0xFF);
    EXPECT_EQ(flashAt(0x40000, 1024), want);
}

TEST(ProgramEntry, FindsTheOnlyOrTheMatchingEntry) {
    ProgramImage images[2];
    std::memcpy(images[0].board_id, "AAAA", 4);
    std::memcpy(images[1].board_id, "BBBB", 4);
    Package p{};
    EXPECT_EQ(QV_Machine_findProgramEntry(&p, (const uint8_t*)"AAAA"), nullptr);
    p.programs = images;
    p.program_count = 1;
    EXPECT_EQ(QV_Machine_findProgramEntry(&p, (const uint8_t*)"ZZZZ"), &images[0]);
    p.program_count = 2;
    EXPECT_EQ(QV_Machine_findProgramEntry(&p, (const uint8_t*)"BBBB"), &images[1]);
    EXPECT_EQ(QV_Machine_findProgramEntry(&p, (const uint8_t*)"ZZZZ"), nullptr);
    EXPECT_EQ(QV_Machine_findProgramEntry(nullptr, (const uint8_t*)"AAAA"), nullptr);
    p.programs = nullptr;
}

// A package with every area, and a plan that writes them all at fixed
// addresses.
struct FullRun {
    Bytes boot = pkg_pattern(0x3000, 10);
    Bytes program = pkg_pattern(20000, 11);
    Bytes voice = pkg_pattern(9000, 12);
    Bytes radar = pkg_pattern(5000, 13);
    Bytes gps = pkg_pattern(30001, 14);
    Bytes tool = pkg_pattern(700, 15);
    PackagePtr pkg;
    QV_WritePlan plan;

    FullRun() {
        PkgDescription d;
        d.sections[SECTION_BOOT] = boot;
        d.sections[SECTION_VOICE] = voice;
        d.sections[SECTION_RADAR] = radar;
        d.sections[SECTION_GPS] = gps;
        d.sections[SECTION_TOOL] = tool;
        d.programs.push_back(PkgProgram{"T73A", program});
        pkg = loadPackage(d);
        plan.write_boot = plan.write_program = 1;
        plan.reset_parameters = plan.write_client_id = 1;
        plan.boot_data = pkg->boot.data;
        plan.boot_length = pkg->boot.size;
        plan.program_length = pkg->programs[0].size;
        plan.voice_address = 0x100000;
        plan.voice_data = pkg->voice.data;
        plan.voice_length = pkg->voice.size;
        plan.radar_mute_address = 0x200000;
        plan.radar_mute_data = pkg->radar.data;
        plan.radar_mute_length = pkg->radar.size;
        plan.update_tool_address = 0x300000;
        plan.update_tool_data = pkg->tool.data;
        plan.update_tool_length = pkg->tool.size;
        plan.gps_address = 0x400000;
        plan.gps_data = pkg->gps.data;
        plan.gps_length = pkg->gps.size;
    }
};

Bytes padded(Bytes b) {
    b.resize((b.size() + 255) / 256 * 256, 0xFF);
    return b;
}

TEST_F(WriteTest, WriteRunWritesEveryAreaInOrderWithItsAttributes) {
    FullRun run;
    testing::internal::CaptureStdout();
    ASSERT_EQ(QV_Machine_write(m, run.pkg.get(), &run.plan), 0);
    std::string log = testing::internal::GetCapturedStdout();

    struct Want {
        uint32_t address;
        uint32_t pages;
        uint32_t c;
        uint8_t mode;
        uint32_t d;
    };
    uint32_t programSum = sum(run.program);
    auto pad = [](size_t n) { return uint32_t((256 - n % 256) % 256) * 255u; };
    Bytes header(12);
    rec_set_u32(header.data(), RECORD_MAGIC);
    rec_set_u32(header.data() + 4, uint32_t(run.program.size()));
    rec_set_u32(header.data() + 8, programSum);
    std::vector<Want> want = {
        {0x100000, 36, 0, 1, sum(run.voice) + pad(9000)},
        {0x200000, 20, 5000, 1, sum(run.radar) + pad(5000)},
        {0x300000, 3, 0, 0, sum(run.tool) + pad(700)},
        {0x400000, 118, 30001, 1, sum(run.gps) + pad(30001)},
        {0x8000, 1, 0, 1, sum(header) + 244u * 255u},
        {0x9000, 79, 20000, 1, programSum + pad(20000)},
        {0x0, 48, 0x3000, 0, sum(run.boot)},
        {0x18000, 1, 0, 0, byte_sum(run.pkg->client_id, 256)},
    };
    std::vector<UnitCommand> w = writes();
    ASSERT_EQ(w.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(w[i].a << 8, want[i].address);
        EXPECT_EQ(w[i].b, want[i].pages);
        EXPECT_EQ(w[i].c, want[i].c);
        EXPECT_EQ(w[i].mode, want[i].mode);
        EXPECT_EQ(w[i].d, want[i].d);
        EXPECT_EQ(w[i].status, 0u);
    }
    // The unit holds the plain bytes.
    EXPECT_EQ(flashAt(0x100000, 9216), padded(run.voice));
    EXPECT_EQ(flashAt(0x200000, 5120), padded(run.radar));
    EXPECT_EQ(flashAt(0x300000, 768), padded(run.tool));
    EXPECT_EQ(flashAt(0x400000, 30208), padded(run.gps));
    EXPECT_EQ(flashAt(0x8000, 12), header);
    EXPECT_EQ(flashAt(0x9000, 20224), padded(run.program));
    EXPECT_EQ(flashAt(0, 0x3000), run.boot);
    EXPECT_EQ(flashAt(0x18000, 256), Bytes(run.pkg->client_id, run.pkg->client_id + 256));
    EXPECT_EQ(flashAt(0x11000, 4096), Bytes(4096, 0xFF)); // parameter record reset

    // After the writes: parameter erase, identity erase before its write,
    // the information read again, then the end of the run.
    std::vector<uint8_t> codes = codesFrom();
    auto firstErase = std::find(codes.begin(), codes.end(), CMD_ERASE) - codes.begin();
    const std::vector<UnitCommand>& all = unit.commands();
    EXPECT_EQ(all[firstErase].a, 0x11u);
    EXPECT_EQ(all[firstErase + 1].code, CMD_ERASE);
    EXPECT_EQ(all[firstErase + 1].a, 0x18u);
    EXPECT_EQ(all[firstErase + 2].code, CMD_WRITE);
    EXPECT_EQ(all[firstErase + 3].code, CMD_BOOT_VERSION);
    EXPECT_EQ(codes.back(), CMD_FINISH);

    for (const char* line :
         {"[    QV_Machine_write][INFO]: write voice data[0x100000][0x2328]",
          "write radar mute data[0x200000][0x1388]", "write update tool data[0x300000][0x2BC]",
          "write gps data[0x400000][0x7531]",
          "[QV_Machine_writeProgram][INFO]: write app flag data[0x8000][0xC]",
          "write app data[0x9000][0x4E20]",
          "[QV_Machine_writeBoot][INFO]: write boot data[0x0][0x3000]",
          "reset setting data[0x11000][0x1000]", "write client id data[0x18000][0x1000]"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
    EXPECT_NE(log.find("[QV_Machine]["), std::string::npos);

    // Progress: one begin, rising positions, exactly one end at 10000.
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.front(), (ProgressReport{0, 10000}));
    EXPECT_EQ(reports.back(), (ProgressReport{1, 10000}));
    uint32_t last = 0;
    for (size_t i = 1; i + 1 < reports.size(); ++i) {
        EXPECT_EQ(reports[i].kind, 1);
        EXPECT_GT(reports[i].value, last);
        last = reports[i].value;
    }
    // At most one report per 4 KiB of the total.
    EXPECT_LE(reports.size(), 2 + (0x3000 + 20224 + 9216 + 5120 + 768 + 30208) / 4096 + 2);
    EXPECT_EQ(m->progress_mode, PROGRESS_MODE_IDLE); // the read at the end resets it
}

TEST_F(WriteTest, FirstFailingAreaEndsTheRunWithItsCode) {
    struct Case {
        int nthWrite;
        int code;
        const char* area;
    } cases[] = {{0, -4, "voice"}, {1, -5, "radar mute"},     {2, -6, "update tool"},
                 {3, -7, "gps"},   {4, -3, "program header"}, {5, -3, "program"},
                 {6, -2, "boot"}};
    FullRun run;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.area);
        unit.clearFaults();
        unit.clearCommands();
        unit.addFault({UnitFault::Status, CMD_WRITE, c.nthWrite, 5});
        testing::internal::CaptureStdout();
        EXPECT_EQ(QV_Machine_write(m, run.pkg.get(), &run.plan), c.code);
        testing::internal::GetCapturedStdout();
        // Nothing is sent after the failing write.
        ASSERT_FALSE(unit.commands().empty());
        EXPECT_EQ(unit.commands().back().code, CMD_WRITE);
        EXPECT_EQ(unit.count(CMD_WRITE), c.nthWrite + 1);
        EXPECT_EQ(unit.count(CMD_FINISH), 0);
        EXPECT_EQ(unit.count(CMD_ERASE), 0);
    }
}

TEST_F(WriteTest, FaultsMidWriteFailTheRun) {
    FullRun run;
    // A reply with a bad checksum after the GPS data.
    unit.addFault({UnitFault::BadChecksum, CMD_WRITE, 3, 0});
    testing::internal::CaptureStdout();
    EXPECT_EQ(QV_Machine_write(m, run.pkg.get(), &run.plan), -7);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(unit.count(CMD_WRITE), 4);

    // Unplugged in the middle of the radar-mute data.
    unit.clearFaults();
    unit.clearCommands();
    // voice: frame, 144 data reports, reply; radar: frame and 40 of 80 data reports
    unit.unplugAfterReports(1 + 144 + 1 + 1 + 40);
    testing::internal::CaptureStdout();
    EXPECT_EQ(QV_Machine_write(m, run.pkg.get(), &run.plan), -5);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(unit.count(CMD_WRITE), 2);

    // A boot version below 1046 does not look at the status word.
    unit.replug();
    unit.setBootVersion(1045);
    m->channel->bootVersion = 1045;
    unit.clearCommands();
    unit.addFault({UnitFault::Status, CMD_WRITE, 0, 5});
    testing::internal::CaptureStdout();
    EXPECT_EQ(QV_Machine_write(m, run.pkg.get(), &run.plan), 0);
    testing::internal::GetCapturedStdout();
}

TEST_F(WriteTest, ResetAndClientIdFollowThePlansLayoutAndNeverFailTheRun) {
    PkgDescription d;
    d.sections[SECTION_VOICE] = pkg_pattern(512, 5);
    PackagePtr pkg = loadPackage(d);
    QV_WritePlan plan;
    plan.layout502 = 1;
    plan.reset_parameters = 1;
    plan.write_client_id = 1;
    plan.voice_address = 0x100000;
    plan.voice_data = pkg->voice.data;
    plan.voice_length = pkg->voice.size;
    // Both erases are refused by the unit; the run still succeeds.
    unit.addFault({UnitFault::Status, CMD_ERASE, -1, 6});
    testing::internal::CaptureStdout();
    EXPECT_EQ(QV_Machine_write(m, pkg.get(), &plan), 0);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("reset setting data[0x19000][0x1000]"), std::string::npos);
    EXPECT_NE(log.find("write client id data[0x1F000][0x1000]"), std::string::npos);
    std::vector<UnitCommand> all = unit.commands();
    ASSERT_GE(all.size(), 4u);
    EXPECT_EQ(all[1].code, CMD_ERASE);
    EXPECT_EQ(all[1].a, 0x19u);
    EXPECT_EQ(all[2].code, CMD_ERASE);
    EXPECT_EQ(all[2].a, 0x1Fu);
    EXPECT_EQ(all[3].code, CMD_WRITE);
    EXPECT_EQ(all[3].a, 0x1F0u);
    EXPECT_EQ(flashAt(0x1F000, 256), Bytes(pkg->client_id, pkg->client_id + 256));
    EXPECT_EQ(unit.commands().back().code, CMD_FINISH);
}

TEST_F(WriteTest, ProgramWithoutAMatchingEntryFailsAfterTheData) {
    PkgDescription d;
    d.sections[SECTION_VOICE] = pkg_pattern(1000, 1);
    d.programs.push_back(PkgProgram{"XXXX", pkg_pattern(300, 2)});
    d.programs.push_back(PkgProgram{"YYYY", pkg_pattern(300, 3)});
    PackagePtr pkg = loadPackage(d);
    QV_WritePlan plan;
    plan.write_program = 1;
    plan.voice_address = 0x100000;
    plan.voice_data = pkg->voice.data;
    plan.voice_length = pkg->voice.size;
    testing::internal::CaptureStdout();
    EXPECT_EQ(QV_Machine_write(m, pkg.get(), &plan), -3);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(codesFrom(), std::vector<uint8_t>{CMD_WRITE});
    EXPECT_EQ(unit.commands()[0].a, 0x1000u);
}

TEST_F(WriteTest, ProgramWithOwnProgressCountsEachTransfer) {
    PkgDescription d;
    d.programs.push_back(PkgProgram{"ANY1", pkg_pattern(300, 4)});
    PackagePtr pkg = loadPackage(d);
    testing::internal::CaptureStdout();
    ASSERT_EQ(QV_Machine_writeProgram(m, pkg.get(), 1), 1);
    testing::internal::GetCapturedStdout();
    std::vector<ProgressReport> want = {{0, 10000}, {1, 10000}, {0, 10000}, {1, 10000}};
    EXPECT_EQ(reports, want);
    EXPECT_EQ(m->progress_mode, PROGRESS_MODE_TRANSFER);
    EXPECT_EQ(flashAt(0x9000, 300), pkg_pattern(300, 4));

    // An entry whose image is missing installs nothing.
    unit.clearCommands();
    pkg->programs[0].size = 0;
    EXPECT_EQ(QV_Machine_writeProgram(m, pkg.get(), 1), 0);
    EXPECT_TRUE(unit.commands().empty());
}

TEST(Progress, ReportsEvery4KiBOnChangeAndSurvivesAZeroTotal) {
    std::vector<ProgressReport> got;
    auto fn = [](void* user, QV_Machine*, int kind, uint32_t value, uint32_t) {
        static_cast<std::vector<ProgressReport>*>(user)->push_back({kind, value});
    };
    QV_Machine* m = QV_Machine_create(nullptr, nullptr, fn, &got);
    QV_Machine_progressBegin(m, 100000);
    QV_Machine_progressAdd(m, 4096); // not more than 4096 since the last step
    QV_Machine_progressAdd(m, 1);    // 4097 bytes: 409
    QV_Machine_progressAdd(m, 64);
    QV_Machine_progressAdd(m, 4097); // 8258: 825
    QV_Machine_progressEnd(m);
    std::vector<ProgressReport> want = {{0, 10000}, {1, 409}, {1, 825}, {1, 10000}};
    EXPECT_EQ(got, want);

    // A total of 0 counts as complete instead of dividing by zero.
    got.clear();
    QV_Machine_progressBegin(m, 0);
    QV_Machine_progressAdd(m, 5000);
    want = {{0, 10000}, {1, 10000}};
    EXPECT_EQ(got, want);
    EXPECT_EQ(QV_Machine_progressPosition(0, 0), 10000u);
    EXPECT_EQ(QV_Machine_progressPosition(0xFFFFFFFF, 0xFFFFFFFF), 10000u);

    got.clear();
    QV_Machine_setStatusText(m, u"Load ");
    EXPECT_EQ(std::u16string(m->status_text), u"Load ");
    EXPECT_EQ(got, (std::vector<ProgressReport>{{3, 10000}}));
    std::u16string longText(300, u'x');
    QV_Machine_setStatusText(m, longText.c_str());
    EXPECT_EQ(std::u16string(m->status_text), longText.substr(0, 255));
    QV_Machine_release(m);
}

TEST_F(WriteTest, ParameterRecordIsSealedForItsKind) {
    struct Case {
        int kind;
        int length;
        bool layout502;
        uint32_t address;
    } cases[] = {{-1, 24, false, 0x11000}, {1, 24, false, 0x11000}, {2, 72, true, 0x19000},
                 {3, 170, false, 0x11000}, {4, 59, true, 0x19000},  {5, 111, false, 0x11000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        unit.clearCommands();
        m->param_kind = c.kind;
        m->layout502 = c.layout502;
        Bytes record = pkg_pattern(256, uint32_t(c.kind + 10));
        ASSERT_EQ(QV_Machine_writeParam(m, record.data()), 1);
        uint32_t want = byte_sum(record.data() + 4, size_t(c.length));
        EXPECT_EQ(rec_u32(m->param), want);
        Bytes stored = flashAt(c.address, 256);
        EXPECT_EQ(rec_u32(stored.data()), want);
        EXPECT_EQ(Bytes(stored.begin() + 4, stored.end()), Bytes(record.begin() + 4, record.end()));
        ASSERT_EQ(writes().size(), 1u);
        EXPECT_EQ(writes()[0].mode, 0);
        EXPECT_EQ(writes()[0].c, 0u);
    }
    unit.clearCommands();
    m->param_kind = 6;
    EXPECT_EQ(QV_Machine_writeParam(m, nullptr), 0);
    EXPECT_TRUE(unit.commands().empty());
}

TEST_F(WriteTest, MainSettingBlockCarriesTheServerRecordOnlyWhenValid) {
    uint8_t ms[231];
    std::memcpy(ms, m->main_setting, 231);
    uint8_t ss[178] = {};
    std::memcpy(ss, "apn", 3);
    ASSERT_EQ(QV_Machine_writeMainSetting(m, ms, ss, 1), 1);
    Bytes block = flashAt(0x1E000, 512);
    EXPECT_EQ(rec_u32(block.data()), byte_sum(ms, 231));
    EXPECT_EQ(Bytes(block.begin() + 256, block.end()), Bytes(256, 0xFF));

    rec_set_u32(ss + 174, RECORD_MAGIC);
    ASSERT_EQ(QV_Machine_writeMainSetting(m, ms, ss, 0), 1);
    block = flashAt(0x16000, 512);
    uint8_t ms2[231], ss2[178];
    EXPECT_EQ(main_setting_block_parse(block.data(), block.data() + 256, ms2, ss2), 1);
    EXPECT_EQ(0, std::memcmp(ss2, ss, 178));
    EXPECT_EQ(0, std::memcmp(ms2, ms, 231));
}

} // namespace
