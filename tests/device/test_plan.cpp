// The write plan: variant choice, region layout against the flash size, and
// what the check writes to the emulated unit.
#include "common_t73/QV_PackageView.h"
#include "common_t73/QV_WritePlan.h"
#include "config/records.h"
#include "tests/device/machine_fixture.h"
#include "tests/device/package_helper.h"

namespace {

// A package held in memory by the test (sizes may exceed what is stored
// where only the layout is computed).
struct MemPackage {
    Package p{};
    std::vector<ProgramImage> images;
    std::vector<Bytes> keep;

    MemPackage() = default;
    MemPackage(const MemPackage&) = delete;
    ~MemPackage() { p.programs = nullptr; }

    void put(int number, uint32_t size) {
        PackageSection* s =
            number == SECTION_MERGED_GPS ? &p.merged_gps : package_section(&p, number);
        ASSERT_NE(s, nullptr);
        keep.push_back(Bytes(std::min<uint32_t>(size, 0x800000), uint8_t(number)));
        s->data = keep.back().data();
        s->size = size;
    }
    ProgramImage& entry(const char* board, uint32_t size = 1024) {
        ProgramImage image;
        std::memcpy(image.board_id, board, 4);
        keep.push_back(pkg_pattern(size, 7));
        image.data = keep.back().data();
        image.size = size;
        images.push_back(image);
        p.programs = images.data();
        p.program_count = uint32_t(images.size());
        return images.back();
    }
};

// Every field of a plan, for comparing two plans.
std::vector<uint64_t> fields(const QV_WritePlan& p) {
    return {uint64_t(p.write_boot),
            uint64_t(p.write_program),
            uint64_t(p.write_voice),
            uint64_t(p.write_radar_mute),
            uint64_t(p.write_gps),
            uint64_t(p.write_update_tool),
            uint64_t(p.reset_parameters),
            uint64_t(p.write_client_id),
            rec_u32(p.program_key),
            uint64_t(p.province_mode),
            p.leading_region_size,
            uint64_t(p.layout502),
            uint64_t(p.variant_b),
            uint64_t(p.variant_c),
            uint64_t(p.variant_d),
            uint64_t(uintptr_t(p.boot_data)),
            p.boot_length,
            uint64_t(uintptr_t(p.program_data)),
            p.program_length,
            p.voice_address,
            uint64_t(uintptr_t(p.voice_data)),
            p.voice_length,
            p.radar_mute_address,
            uint64_t(uintptr_t(p.radar_mute_data)),
            p.radar_mute_length,
            p.update_tool_address,
            uint64_t(uintptr_t(p.update_tool_data)),
            p.update_tool_length,
            p.gps_address,
            uint64_t(uintptr_t(p.gps_data)),
            p.gps_length,
            p.required_size};
}

QV_WritePlan fullRequest() {
    QV_WritePlan plan;
    plan.write_boot = plan.write_program = plan.write_voice = plan.write_radar_mute = 1;
    plan.write_gps = plan.write_update_tool = plan.reset_parameters = 1;
    return plan;
}

class PlanTest : public MachineTest {
  protected:
    UnitMainSetting ms;
    UnitServerSetting ss{"cmnet", "10.1.1.1", "u", "p", 9000};

    void SetUp() override {
        MachineTest::SetUp();
        ms.board = "T73A";
        ms.programVersion = 100;
        ms.placeRegions(false, 0x10000, 0x200000, 0, 0x100000, 0, 0x2000);
        setUnit();
    }
    void setUnit() {
        unit.setMainSetting(false, ms, &ss);
        readInfo();
    }
    void readInfo() {
        testing::internal::CaptureStdout();
        ASSERT_EQ(QV_Machine_getDeveiceInfo(m), 1);
        testing::internal::GetCapturedStdout();
        unit.clearCommands();
    }
    int check(const Package* pkg, QV_WritePlan* plan, std::string* log = nullptr) {
        testing::internal::CaptureStdout();
        int rc = QV_Machine_checkParamAndMainSetting(m, pkg, plan);
        std::string out = testing::internal::GetCapturedStdout();
        if (log)
            *log = out;
        return rc;
    }
    std::vector<uint8_t> blockAt(uint32_t address) { return flashAt(address, 512); }
};

TEST_F(PlanTest, RegionsAreLaidOutAgainstTheFlashSize) {
    struct Case {
        uint32_t gps;
        int result;
        uint32_t end;
    } cases[] = {{0x522000, PLAN_OK, 0x74B000},
                 {0x5C0000, PLAN_OK, 0x7E9000},
                 {0x600000, PLAN_TOO_LARGE, 0x829000}};
    ms.placeRegions(false, 0x10000, 0, 0, 0, 0, 0);
    setUnit();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.gps);
        MemPackage pkg;
        pkg.put(SECTION_VOICE, 0x200000);
        pkg.put(SECTION_GPS, c.gps);
        QV_WritePlan plan;
        plan.write_voice = plan.write_gps = 1;
        QV_PlanActions a;
        EXPECT_EQ(QV_WritePlan_compute(m, &pkg.p, &plan, &a), c.result);
        EXPECT_EQ(a.layout_end, c.end);
        if (c.result == PLAN_TOO_LARGE) {
            EXPECT_EQ(plan.required_size, c.end);
            // Nothing reaches the unit.
            QV_WritePlan again;
            again.write_voice = again.write_gps = 1;
            EXPECT_EQ(check(&pkg.p, &again), PLAN_TOO_LARGE);
            EXPECT_EQ(again.required_size, c.end);
            EXPECT_TRUE(unit.commands().empty());
            continue;
        }
        EXPECT_EQ(plan.voice_address, 0x29000u);
        EXPECT_EQ(plan.radar_mute_address, 0x229000u);
        EXPECT_EQ(plan.gps_address, 0x229000u);
        EXPECT_EQ(plan.update_tool_address, 0x229000u + c.gps);
        const uint8_t* r = a.main_setting;
        EXPECT_EQ(rec_u32(r + MS_OFF_DATA_BASE), 0x19000u);
        EXPECT_EQ(rec_u32(r + MS_OFF_SERVER_DATA_ADDR), 0x19000u);
        EXPECT_EQ(rec_u32(r + MS_OFF_SERVER_DATA_SIZE), 0x10000u);
        EXPECT_EQ(rec_u32(r + MS_OFF_VOICE_SIZE), 0x200000u);
        EXPECT_EQ(rec_u32(r + MS_OFF_GPS_SIZE), c.gps);
        EXPECT_EQ(rec_u32(r + MS_OFF_LAYOUT_END), c.end);
        EXPECT_EQ(rec_u32(r + MS_OFF_FLASH_SIZE), 0x800000u);
        EXPECT_EQ(rec_u32(r + MS_OFF_MAGIC), RECORD_MAGIC);
    }
}

TEST_F(PlanTest, HugeSectionsDoNotWrapAroundTheLayout) {
    MemPackage pkg;
    pkg.put(SECTION_VOICE, 0x1000);
    pkg.put(SECTION_GPS, 0xFFFFF001);
    QV_WritePlan plan;
    plan.write_voice = plan.write_gps = 1;
    QV_PlanActions a;
    EXPECT_EQ(QV_WritePlan_compute(m, &pkg.p, &plan, &a), PLAN_TOO_LARGE);
    EXPECT_EQ(plan.required_size, 0xFFFFFFFFu);
}

TEST_F(PlanTest, VoiceAndGpsVariantsFollowTheUnitsFlags) {
    struct Case {
        uint8_t b, c, d;
        int province;
        int voice, gps;
    } cases[] = {
        {0, 0, 0, 0, SECTION_VOICE, SECTION_GPS},
        {1, 0, 0, 0, SECTION_VOICE_B, SECTION_GPS},
        {0, 1, 0, 0, SECTION_VOICE_C, SECTION_GPS},
        {1, 1, 1, 0, SECTION_VOICE_CB, SECTION_GPS_D},
        {0, 0, 0, 1, SECTION_PROVINCE_VOICE, SECTION_MERGED_GPS},
        {1, 0, 1, 1, SECTION_PROVINCE_VOICE_B, SECTION_MERGED_GPS},
        {0, 1, 0, 1, SECTION_VOICE_C, SECTION_MERGED_GPS},
    };
    MemPackage pkg;
    for (int s : {4, 5, 7, 9, 10, 11, 12, 13, SECTION_MERGED_GPS})
        pkg.put(s, 0x1000 * uint32_t(s));
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.b) << int(c.c) << int(c.d) << c.province);
        m->main_setting[MS_OFF_VOICE_VARIANT] = c.b;
        m->main_setting[MS_OFF_VOICE2_VARIANT] = c.c;
        m->main_setting[MS_OFF_GPS_VARIANT] = c.d;
        QV_WritePlan plan;
        plan.write_voice = plan.write_gps = 1;
        plan.province_mode = c.province;
        QV_PlanActions a;
        ASSERT_EQ(QV_WritePlan_compute(m, &pkg.p, &plan, &a), PLAN_OK);
        EXPECT_EQ(plan.voice_length, 0x1000u * uint32_t(c.voice));
        EXPECT_EQ(plan.gps_length, 0x1000u * uint32_t(c.gps));
    }
}

TEST_F(PlanTest, MissingVoiceOrGpsVariantStopsBeforeAnyWrite) {
    MemPackage pkg;
    pkg.put(SECTION_VOICE, 0x1000);
    pkg.put(SECTION_GPS, 0x1000);
    m->main_setting[MS_OFF_VOICE_VARIANT] = 1;
    QV_WritePlan plan;
    plan.write_voice = plan.write_gps = 1;
    plan.province_mode = 1; // section 10 absent, section 4 present
    EXPECT_EQ(check(&pkg.p, &plan), PLAN_NO_VOICE);

    m->main_setting[MS_OFF_VOICE_VARIANT] = 0;
    m->main_setting[MS_OFF_GPS_VARIANT] = 1;
    plan = QV_WritePlan{};
    plan.write_voice = plan.write_gps = 1;
    EXPECT_EQ(check(&pkg.p, &plan), PLAN_NO_GPS); // section 13 absent
    plan = QV_WritePlan{};
    plan.write_voice = plan.write_gps = plan.province_mode = 1;
    m->main_setting[MS_OFF_GPS_VARIANT] = 0;
    pkg.put(SECTION_PROVINCE_VOICE, 0x1000);
    EXPECT_EQ(check(&pkg.p, &plan), PLAN_NO_GPS); // no merged image
    EXPECT_TRUE(unit.commands().empty());
}

TEST_F(PlanTest, OnlyEntryInstallsWhateverItsBoardAndRewritesTheBlock) {
    MemPackage pkg;
    ProgramImage& e = pkg.entry("NEW1");
    e.version = 55;
    e.variant_b = 1;
    e.variant_d = 1;
    e.server_size = 0x3000;
    e.track_size = 0x2000;
    pkg.put(SECTION_VOICE_B, 0x4000);
    pkg.put(SECTION_GPS_D, 0x5000);
    pkg.put(SECTION_TOOL, 0x100);
    pkg.put(SECTION_BOOT, 0x800);
    QV_WritePlan plan = fullRequest();
    std::string log;
    ASSERT_EQ(check(&pkg.p, &plan, &log), PLAN_OK);
    EXPECT_NE(log.find("[QV_Machine_checkParamAndMainSetting][INFO]: 502=0, bProgramChanged=1, "
                       "bDataChanged=1\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("write main setting[0x16000]"), std::string::npos);
    EXPECT_NE(log.find("reset server data[0x19000][0x3000]"), std::string::npos);
    EXPECT_NE(log.find("reset track data[0x"), std::string::npos);

    EXPECT_EQ(plan.write_program, 1);
    EXPECT_EQ(plan.program_length, 1024u);
    EXPECT_EQ(plan.boot_length, 0x800u);
    EXPECT_EQ(plan.variant_b, 1);
    EXPECT_EQ(plan.variant_d, 1);
    EXPECT_EQ(plan.reset_parameters, 1);

    uint8_t rec[231], srv[178];
    std::vector<uint8_t> block = blockAt(0x16000);
    ASSERT_EQ(main_setting_block_parse(block.data(), block.data() + 256, rec, srv), 1);
    EXPECT_EQ(0, std::memcmp(rec + MS_OFF_BOARD_NAME, "NEW1", 4));
    EXPECT_EQ(rec_u32(rec + MS_OFF_PROGRAM_VERSION), 55u);
    EXPECT_EQ(rec_u32(rec + MS_OFF_VERSION), 0u);
    EXPECT_EQ(rec[MS_OFF_UPDATE_TOOL_PRESENT], 1);
    EXPECT_EQ(rec[MS_OFF_VOICE_VARIANT], 1);
    EXPECT_EQ(rec[MS_OFF_GPS_VARIANT], 1);
    EXPECT_EQ(rec[MS_OFF_VOICE2_VARIANT], 0);
    EXPECT_EQ(rec_u32(rec + MS_OFF_VOICE_ADDR), 0x1C000u);
    EXPECT_EQ(plan.voice_address, 0x1C000u);
    EXPECT_EQ(plan.radar_mute_address, 0x20000u);
    EXPECT_EQ(plan.gps_address, 0x20000u);
    EXPECT_EQ(plan.update_tool_address, 0x25000u);
    EXPECT_EQ(rec_u32(rec + MS_OFF_TRACK_ADDR), 0x26000u);
    EXPECT_EQ(rec_u32(rec + MS_OFF_LAYOUT_END), 0x28000u);
    // The unit's server settings are carried over.
    auto ss178 = unit_server_setting_record(ss);
    EXPECT_EQ(0, std::memcmp(srv, ss178.data(), 178));

    // Block write, then the server-data and track erases.
    std::vector<uint8_t> codes = codesFrom();
    EXPECT_EQ(codes, (std::vector<uint8_t>{CMD_WRITE, CMD_ERASE, CMD_ERASE}));
    EXPECT_EQ(unit.commands()[1].a, 0x19u);
    EXPECT_EQ(unit.commands()[1].b, 3u);
    EXPECT_EQ(unit.commands()[2].a, 0x26u);
    EXPECT_EQ(unit.commands()[2].b, 2u);
}

TEST_F(PlanTest, ProgramOnlyKeepsTheRegionsAndErasesServerAndTrack) {
    MemPackage pkg;
    ProgramImage& e = pkg.entry("T73A");
    e.version = 222;
    e.server_size = 0x8000; // not used: the data regions stay
    e.track_size = 0x2000;  // as the unit has it
    QV_WritePlan plan;
    plan.write_program = 1;
    plan.write_client_id = 1;
    std::string log;
    ASSERT_EQ(check(&pkg.p, &plan, &log), PLAN_OK);
    EXPECT_NE(log.find("502=0, bProgramChanged=1, bDataChanged=0"), std::string::npos) << log;
    EXPECT_EQ(plan.write_client_id, 0); // no voice, no client id

    uint8_t rec[231], srv[178];
    std::vector<uint8_t> block = blockAt(0x16000);
    ASSERT_EQ(main_setting_block_parse(block.data(), block.data() + 256, rec, srv), 1);
    EXPECT_EQ(rec_u32(rec + MS_OFF_PROGRAM_VERSION), 222u);
    for (int off : {MS_OFF_SERVER_DATA_ADDR, MS_OFF_SERVER_DATA_SIZE, MS_OFF_VOICE_ADDR,
                    MS_OFF_VOICE_SIZE, MS_OFF_GPS_ADDR, MS_OFF_GPS_SIZE, MS_OFF_TRACK_ADDR,
                    MS_OFF_TRACK_SIZE, MS_OFF_LAYOUT_END})
        EXPECT_EQ(rec_u32(rec + off), rec_u32(m->main_setting + off)) << off;
    ASSERT_EQ(codesFrom(), (std::vector<uint8_t>{CMD_WRITE, CMD_ERASE, CMD_ERASE}));
    EXPECT_EQ(unit.commands()[1].a << 12, ms.serverAddress);
    EXPECT_EQ(unit.commands()[1].b << 12, ms.serverSize);
    EXPECT_EQ(unit.commands()[2].a << 12, ms.trackAddress);
}

TEST_F(PlanTest, LegacyEntryErasesBothBlocksAndUsesTheFixedAddresses) {
    MemPackage pkg;
    pkg.entry("T73A").legacy = 1;
    pkg.put(SECTION_VOICE, 0x1000);
    pkg.put(SECTION_RADAR, 0x1000);
    pkg.put(SECTION_GPS, 0x1000);
    pkg.put(SECTION_TOOL, 0x1000);
    QV_WritePlan plan = fullRequest();
    ASSERT_EQ(check(&pkg.p, &plan), PLAN_OK);
    EXPECT_EQ(plan.voice_address, 0xDE000u);
    EXPECT_EQ(plan.radar_mute_address, 0x16000u);
    EXPECT_EQ(plan.gps_address, 0x2DE000u);
    EXPECT_EQ(plan.update_tool_address, 0u);
    EXPECT_EQ(plan.update_tool_length, 0u);
    ASSERT_EQ(codesFrom(), (std::vector<uint8_t>{CMD_ERASE, CMD_ERASE}));
    EXPECT_EQ(unit.commands()[0].a, 0x16u);
    EXPECT_EQ(unit.commands()[1].a, 0x1Eu);
    // The unit is left without a main-setting record.
    readInfo();
    EXPECT_EQ(rec_u32(m->main_setting + MS_OFF_MAGIC), 0u);
}

TEST_F(PlanTest, Layout502EntryBlanksTheNormalBlockFirst) {
    MemPackage pkg;
    ProgramImage& e = pkg.entry("T502");
    e.layout502 = 1;
    e.server_reset = 1;
    pkg.put(SECTION_VOICE, 0x1000);
    pkg.put(SECTION_GPS, 0x1000);
    QV_WritePlan plan = fullRequest();
    std::string log;
    ASSERT_EQ(check(&pkg.p, &plan, &log), PLAN_OK);
    EXPECT_NE(log.find("502=1, bProgramChanged=1, bDataChanged=1"), std::string::npos);
    EXPECT_NE(log.find("write main setting[0x1E000]"), std::string::npos);
    EXPECT_EQ(plan.layout502, 1);
    EXPECT_EQ(plan.voice_address, 0x21000u);

    std::vector<UnitCommand> w = writes();
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0].a, 0x160u);
    EXPECT_EQ(w[0].b, 1u);
    EXPECT_EQ(w[1].a, 0x1E0u);
    EXPECT_EQ(w[1].b, 2u);
    EXPECT_EQ(flashAt(0x16000, 256), Bytes(256, 0xFF));

    // The blank server record the entry asks for is valid and empty.
    std::vector<uint8_t> block = blockAt(0x1E000);
    uint8_t rec[231], srv[178];
    ASSERT_EQ(main_setting_block_parse(block.data(), block.data() + 256, rec, srv), 1);
    EXPECT_EQ(rec_u32(srv + SS_OFF_MAGIC), RECORD_MAGIC);
    EXPECT_EQ(srv[0], 0);
    readInfo();
    EXPECT_EQ(m->layout502, 1);
}

TEST_F(PlanTest, UnalignedTrackIsKeptAndItsEraseRefused) {
    MemPackage pkg;
    pkg.entry("T73A").track_size = 0x1800;
    pkg.put(SECTION_VOICE, 0x1000);
    QV_WritePlan plan;
    plan.write_program = plan.write_voice = 1;
    std::string log;
    ASSERT_EQ(check(&pkg.p, &plan, &log), PLAN_OK);
    EXPECT_NE(log.find("reset track data[0x"), std::string::npos);
    // The block write only: no server data, and the track erase never leaves.
    EXPECT_EQ(codesFrom(), (std::vector<uint8_t>{CMD_WRITE}));
    readInfo();
    EXPECT_EQ(rec_u32(m->main_setting + MS_OFF_TRACK_SIZE), 0x1800u);
}

TEST_F(PlanTest, NoEntryForTheBoardDropsProgramBootAndReset) {
    MemPackage pkg;
    pkg.entry("AAAA");
    pkg.entry("BBBB");
    pkg.put(SECTION_VOICE, 0x1000);
    QV_WritePlan plan = fullRequest();
    plan.write_gps = plan.write_radar_mute = 0;
    QV_PlanActions a;
    ASSERT_EQ(QV_WritePlan_compute(m, &pkg.p, &plan, &a), PLAN_OK);
    EXPECT_EQ(plan.write_program, 0);
    EXPECT_EQ(plan.write_boot, 0);
    EXPECT_EQ(plan.reset_parameters, 0);
    EXPECT_EQ(plan.program_length, 0u);
    EXPECT_EQ(a.program_changed, 0);
    EXPECT_EQ(a.data_changed, 1);

    // With a program key the entry is looked up by it.
    std::memcpy(plan.program_key, "BBBB", 4);
    plan.write_program = 1;
    ASSERT_EQ(QV_WritePlan_compute(m, &pkg.p, &plan, &a), PLAN_OK);
    EXPECT_EQ(plan.program_data, pkg.images[1].data);
}

TEST_F(PlanTest, NothingAskedChangesNothing) {
    MemPackage pkg;
    pkg.put(SECTION_BOOT, 0x400);
    QV_WritePlan plan;
    plan.write_boot = 1;
    std::string log;
    ASSERT_EQ(check(&pkg.p, &plan, &log), PLAN_OK);
    EXPECT_NE(log.find("502=0, bProgramChanged=0, bDataChanged=0"), std::string::npos);
    EXPECT_TRUE(unit.commands().empty());
    EXPECT_EQ(plan.boot_length, 0x400u);
    EXPECT_EQ(plan.voice_address, 0u);
    EXPECT_EQ(plan.gps_address, 0u);
}

TEST_F(PlanTest, FailedBlockWriteIsResultFourWithoutErases) {
    MemPackage pkg;
    pkg.entry("T73A");
    pkg.put(SECTION_VOICE, 0x1000);
    pkg.put(SECTION_GPS, 0x1000);
    unit.addFault({UnitFault::Status, CMD_WRITE, 0, 3});
    QV_WritePlan plan = fullRequest();
    EXPECT_EQ(check(&pkg.p, &plan), PLAN_SETTING_FAILED);
    EXPECT_EQ(codesFrom(), (std::vector<uint8_t>{CMD_WRITE}));
}

TEST_F(PlanTest, DryRunComputesTheSamePlanAsTheCheck) {
    MemPackage pkg;
    ProgramImage& e = pkg.entry("T73A");
    e.server_size = 0x10000;
    e.track_size = 0x3000;
    e.variant_c = 1;
    pkg.put(SECTION_VOICE_C, 0x30000);
    pkg.put(SECTION_RADAR, 0x5000);
    pkg.put(SECTION_GPS, 0x200000);
    pkg.put(SECTION_TOOL, 0x2000);
    pkg.put(SECTION_BOOT, 0x1000);
    QV_WritePlan dry = fullRequest();
    QV_WritePlan real = dry;
    QV_PlanActions a;
    ASSERT_EQ(QV_WritePlan_compute(m, &pkg.p, &dry, &a), PLAN_OK);
    ASSERT_EQ(check(&pkg.p, &real), PLAN_OK);
    EXPECT_EQ(fields(dry), fields(real));
    // The block the check wrote is the one the computation showed.
    uint8_t rec[231], srv[178];
    std::vector<uint8_t> block = blockAt(a.main_setting_address);
    ASSERT_EQ(main_setting_block_parse(block.data(), block.data() + 256, rec, srv), 1);
    EXPECT_EQ(0, std::memcmp(rec, a.main_setting, 231));
}

} // namespace
