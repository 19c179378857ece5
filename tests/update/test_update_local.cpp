// The update run with a chosen package, against the in-process emulated unit.
#include "tests/update/update_fixture.h"

#include "common_t73/QV_WritePlan.h"
#include "config/records.h"

using namespace update_test;

namespace {

class LocalUpdate : public ::testing::Test {
  protected:
    void SetUp() override {
        setup_unit(sim);
        unit = std::make_unique<AttachedUnit>(sim);
        host.machine = unit->machine;
        sim.clearCommands();
    }

    UpdateOutcome runWith(const PkgDescription& d, bool dry = false) {
        std::string path = tmp.path("chosen.dqv");
        EXPECT_EQ(pkgbuild_write(d, path), 1);
        return runPath(path, dry);
    }

    UpdateOutcome runPath(const std::string& path, bool dry = false) {
        UpdateSource source;
        source.package_path = w(path);
        UpdateRun run(&host, unit->machine, source);
        run.setDryRun(dry);
        return run.run();
    }

    uint32_t ms_u32(int offset) const { return rec_u32(unit->machine->main_setting + offset); }

    TempDir tmp;
    UnitSim sim;
    std::unique_ptr<AttachedUnit> unit;
    RecordingHost host;
    Payloads p;
};

TEST_F(LocalUpdate, WritesEveryAreaAndReportsSuccess) {
    std::string path = tmp.path("chosen.dqv");
    ASSERT_EQ(pkgbuild_write(standard_package(p), path), 1);
    UpdateOutcome out = runPath(path);

    ASSERT_EQ(out.result, UPDATE_SUCCEEDED) << u8(out.box_text);
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(host.events, (std::vector<std::string>{"buttons off", "text updating",
                                                     "box info [Update Tool] Update Successfully!",
                                                     "buttons on", "ended"}));
    // The unit holds the plain payloads where its new main setting says.
    EXPECT_EQ(flash_at(sim, ms_u32(MS_OFF_VOICE_ADDR), p.voice.size()), p.voice);
    EXPECT_EQ(flash_at(sim, ms_u32(MS_OFF_GPS_ADDR), p.gps.size()), p.gps);
    EXPECT_EQ(flash_at(sim, ms_u32(MS_OFF_RADAR_MUTE_ADDR), p.radar.size()), p.radar);
    EXPECT_EQ(flash_at(sim, FLASH_PROGRAM_ADDRESS, p.program.size()), p.program);
    EXPECT_EQ(flash_at(sim, FLASH_BOOT_ADDRESS, p.boot.size()), p.boot);
    EXPECT_EQ(rec_u32(unit->machine->main_setting + MS_OFF_PROGRAM_VERSION), 200u);
    EXPECT_EQ(sim.count(CMD_FINISH), 1);
    // The chosen package is the user's file and stays.
    EXPECT_TRUE(std::filesystem::exists(path));
}

TEST_F(LocalUpdate, ChosenPackageWinsOverDownloadUrl) {
    std::string path = tmp.path("chosen.dqv");
    ASSERT_EQ(pkgbuild_write(standard_package(p), path), 1);
    UpdateSource source;
    source.package_path = w(path);
    source.download_url = u"http://127.0.0.1:9/never.zip";
    UpdateRun run(&host, unit->machine, source);
    EXPECT_EQ(run.run().result, UPDATE_SUCCEEDED);
    EXPECT_EQ(host.download_asked, 0);
    EXPECT_FALSE(host.saw("text Decompressing database\u2026"));
}

TEST_F(LocalUpdate, NothingToUseFailsWithoutTouchingTheUnit) {
    UpdateSource none;
    UpdateSource list_form;
    list_form.list_form = 1;
    list_form.download_url = u"http://127.0.0.1:9/x.zip";
    for (const UpdateSource& source : {none, list_form}) {
        host.events.clear();
        UpdateRun run(&host, unit->machine, source);
        UpdateOutcome out = run.run();
        EXPECT_EQ(out.result, UPDATE_FAILED);
        EXPECT_EQ(host.events,
                  (std::vector<std::string>{"buttons off", "text ", "buttons on",
                                            "box error [] Open update file failed!", "ended"}));
    }
    EXPECT_TRUE(sim.commands().empty());
    EXPECT_EQ(host.download_asked, 0);
}

TEST_F(LocalUpdate, RefusedPackagesSayOpenFailedAlone) {
    PkgDescription other = standard_package(p);
    other.customer = "SOMEONE ELSE";
    PkgDescription broken = standard_package(p);
    broken.bad_checksum = true;
    for (const PkgDescription& d : {other, broken}) {
        host.events.clear();
        UpdateOutcome out = runWith(d);
        EXPECT_EQ(out.result, UPDATE_FAILED);
        EXPECT_EQ(out.status, 0);
        EXPECT_EQ(host.boxes(), std::vector<std::string>{"box error [] Open update file failed!"});
    }
    UpdateOutcome missing = runPath(tmp.path("no-such.dqv"));
    EXPECT_EQ(missing.box_text, u"Open update file failed!");
    EXPECT_TRUE(sim.commands().empty());
}

TEST_F(LocalUpdate, ProgramOnlyPackageLeavesTheMainSettingAlone) {
    Bytes block_before = flash_at(sim, FLASH_MAIN_SETTING_ADDRESS, 512);
    PkgDescription d;
    PkgProgram prog;
    prog.board_id = "ZZZZ"; // the only entry is taken whatever its board
    prog.image = p.program;
    d.programs.push_back(prog);
    UpdateOutcome out = runWith(d);

    ASSERT_EQ(out.result, UPDATE_SUCCEEDED) << u8(out.box_text);
    EXPECT_EQ(flash_at(sim, FLASH_MAIN_SETTING_ADDRESS, 512), block_before);
    EXPECT_EQ(flash_at(sim, FLASH_PROGRAM_ADDRESS, p.program.size()), p.program);
    // Header page and program, nothing else: two writes, no erase, no finish.
    EXPECT_EQ(sim.count(CMD_WRITE), 2);
    EXPECT_EQ(sim.count(CMD_ERASE), 0);
    EXPECT_EQ(sim.count(CMD_FINISH), 0);
}

TEST_F(LocalUpdate, ProgramOnlyWriteFailureHasNoStatus) {
    PkgDescription d;
    d.programs.push_back(PkgProgram{"T73A", p.program});
    sim.addFault(UnitFaultRule{UnitFault::Status, CMD_WRITE, 1, 5});
    UpdateOutcome out = runWith(d);
    EXPECT_EQ(out.result, UPDATE_FAILED);
    EXPECT_EQ(host.boxes(), std::vector<std::string>{"box error [] Update Failed!"});
}

TEST_F(LocalUpdate, FailedAreaWriteShowsItsCodeAndStopsThere) {
    // Write 0 is the new main-setting block, write 1 the voice area.
    sim.addFault(UnitFaultRule{UnitFault::Status, CMD_WRITE, 1, 5});
    UpdateOutcome out = runWith(standard_package(p));
    EXPECT_EQ(out.result, UPDATE_FAILED);
    EXPECT_EQ(out.status, -4);
    EXPECT_EQ(host.boxes(), std::vector<std::string>{"box error [] Update Failed!  -4"});
    EXPECT_EQ(sim.count(CMD_WRITE), 2); // the block, then the failed voice write
    EXPECT_EQ(sim.count(CMD_FINISH), 0);
    // The buttons come back after the failure.
    ASSERT_GE(host.events.size(), 3u);
    EXPECT_EQ(host.events[host.events.size() - 3], "buttons on");
}

TEST_F(LocalUpdate, PlanFailuresCarryTheirStatus) {
    struct Case {
        const char* what;
        PkgDescription d;
        uint32_t flash;
        const char* box;
    };
    PkgDescription no_voice = standard_package(p);
    no_voice.sections.erase(SECTION_VOICE);
    PkgDescription no_gps = standard_package(p);
    no_gps.sections.erase(SECTION_GPS);
    std::vector<Case> cases = {
        {"too large", standard_package(p), 0x20000,
         "box error [] Error!The gps data is too large!  1"},
        {"no voice", no_voice, 0x800000, "box error [] Error!No sound found!  2"},
        {"no gps", no_gps, 0x800000, "box error [] Open update file failed!  3"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        UnitSim small(c.flash);
        setup_unit(small);
        AttachedUnit attached(small);
        small.clearCommands();
        RecordingHost h;
        h.machine = attached.machine;
        std::string path = tmp.path("plan.dqv");
        ASSERT_EQ(pkgbuild_write(c.d, path), 1);
        UpdateSource source;
        source.package_path = w(path);
        UpdateRun run(&h, attached.machine, source);
        UpdateOutcome out = run.run();
        EXPECT_EQ(out.result, UPDATE_FAILED);
        EXPECT_EQ(h.boxes(), std::vector<std::string>{c.box});
        // Found before anything is written.
        EXPECT_EQ(small.count(CMD_WRITE), 0);
        EXPECT_EQ(small.count(CMD_ERASE), 0);
    }
}

TEST_F(LocalUpdate, HostClosingDuringTheWritesSeesNoFailureBox) {
    // The host starts closing once the writes are under way.
    class ClosingLater : public RecordingHost {
      public:
        bool isClosing() override { return ++asked > 1; }
        int asked = 0;
    } closing;
    closing.machine = unit->machine;
    sim.addFault(UnitFaultRule{UnitFault::Status, CMD_WRITE, 1, 5});
    std::string path = tmp.path("chosen.dqv");
    ASSERT_EQ(pkgbuild_write(standard_package(p), path), 1);
    UpdateSource source;
    source.package_path = w(path);
    UpdateRun run(&closing, unit->machine, source);
    UpdateOutcome out = run.run();
    EXPECT_EQ(out.result, UPDATE_FAILED);
    EXPECT_EQ(out.box_text, u"Update Failed!  -4");
    EXPECT_TRUE(closing.boxes().empty());
    EXPECT_FALSE(closing.saw("buttons on"));
    EXPECT_EQ(closing.events.back(), "ended");
}

TEST_F(LocalUpdate, HostAlreadyClosingStartsNoWrite) {
    host.closing = true;
    UpdateOutcome out = runWith(standard_package(p));
    EXPECT_EQ(out.result, UPDATE_FAILED);
    EXPECT_TRUE(host.boxes().empty());
    EXPECT_EQ(sim.count(CMD_WRITE), 0);
    EXPECT_EQ(sim.count(CMD_ERASE), 0);
}

TEST_F(LocalUpdate, UnitGoneAtTheEndKeepsButtonsOff) {
    // Unplug after the run's last write: the success box shows, the buttons
    // stay off until the unit returns.
    std::string path = tmp.path("chosen.dqv");
    ASSERT_EQ(pkgbuild_write(standard_package(p), path), 1);
    class GoneHost : public RecordingHost {
      public:
        bool isConnected() override { return false; }
    } gone;
    gone.machine = unit->machine;
    UpdateSource source;
    source.package_path = w(path);
    UpdateRun run(&gone, unit->machine, source);
    EXPECT_EQ(run.run().result, UPDATE_SUCCEEDED);
    EXPECT_EQ(gone.events,
              (std::vector<std::string>{"buttons off", "text updating",
                                        "box info [Update Tool] Update Successfully!", "ended"}));
}

// Runs that must fail for a reason the package alone shows fail before the
// first write, and the dry run gives the same verdict.
TEST(UnwritablePackages, FailBeforeTheFirstWriteAndTheDryRunAgrees) {
    Payloads p;
    auto with_program = [&](PkgProgram prog) {
        PkgDescription d;
        d.sections[SECTION_VOICE] = pkg_pattern(8192, 1);
        d.sections[SECTION_GPS] = pkg_pattern(8192, 2);
        d.programs.push_back(std::move(prog));
        return d;
    };
    PkgProgram empty("T73A", {});
    PkgProgram outside("T73A", p.program);
    outside.offset_override = 0x7FFFFF00u;
    PkgProgram too_long_size("T73A", p.program);
    too_long_size.size_override = 0x100000u;
    // The program area ends where the parameter record begins: 32 KiB in
    // the normal layout, 64 KiB in layout 502.
    PkgProgram too_big("T73A", pkg_pattern(0x8000 + 1, 3));
    PkgProgram too_big_502("T502", pkg_pattern(0x10000 + 1, 3));
    too_big_502.layout502 = 1;
    PkgProgram fits_502("T502", pkg_pattern(0x10000, 3));
    fits_502.layout502 = 1;
    PkgProgram legacy("T73A", p.program);
    legacy.legacy = 1;
    PkgDescription legacy_gps_past_flash = with_program(legacy);
    legacy_gps_past_flash.sections[SECTION_GPS] = pkg_pattern(0x30000, 4);
    PkgDescription legacy_voice_past_region = with_program(legacy);
    legacy_voice_past_region.sections[SECTION_VOICE] = pkg_pattern(OLD_VOICE_SIZE + 1, 5);
    PkgDescription program_only_too_big;
    program_only_too_big.programs.push_back(too_big);

    struct Case {
        const char* what;
        PkgDescription d;
        uint32_t flash;
        const char* box; // empty: the run succeeds
    };
    std::vector<Case> cases = {
        {"empty program image", with_program(empty), 0x800000, "Update Failed!  -3"},
        {"image outside the file", with_program(outside), 0x800000, "Update Failed!  -3"},
        {"image size past the file", with_program(too_long_size), 0x800000,
         "Update Failed!  -3"},
        {"image into the parameter record", with_program(too_big), 0x800000,
         "Update Failed!  -3"},
        {"layout 502 image too big", with_program(too_big_502), 0x800000, "Update Failed!  -3"},
        {"layout 502 image that fits", with_program(fits_502), 0x800000, ""},
        {"old layout GPS past the flash", legacy_gps_past_flash, 0x300000,
         "Error!The gps data is too large!  1"},
        {"old layout voice past its region", legacy_voice_past_region, 0x800000,
         "Error!The gps data is too large!  1"},
        {"program alone too big", program_only_too_big, 0x800000, "Update Failed!"},
    };
    TempDir tmp;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string path = tmp.path("unwritable.dqv");
        ASSERT_EQ(pkgbuild_write(c.d, path), 1);
        UnitSim sim(c.flash);
        setup_unit(sim);
        AttachedUnit unit(sim);
        Bytes before = sim.flash();
        UpdateSource source;
        source.package_path = w(path);
        auto run_once = [&](bool dry) {
            RecordingHost host;
            host.machine = unit.machine;
            UpdateRun run(&host, unit.machine, source);
            run.setDryRun(dry);
            UpdateOutcome out = run.run();
            return std::make_pair(out, host.boxes());
        };
        sim.clearCommands();
        auto [dry, dry_boxes] = run_once(true);
        EXPECT_EQ(sim.flash(), before);
        auto [real, real_boxes] = run_once(false);
        if (*c.box == 0) {
            EXPECT_EQ(dry.result, UPDATE_SUCCEEDED) << u8(dry.box_text);
            EXPECT_EQ(real.result, UPDATE_SUCCEEDED) << u8(real.box_text);
            continue;
        }
        EXPECT_EQ(real.result, UPDATE_FAILED);
        EXPECT_EQ(u8(real.box_text), c.box);
        EXPECT_EQ(real_boxes, std::vector<std::string>{std::string("box error [] ") + c.box});
        // The unit is untouched: no write, no erase reached it.
        EXPECT_EQ(sim.count(CMD_WRITE), 0);
        EXPECT_EQ(sim.count(CMD_ERASE), 0);
        EXPECT_EQ(sim.flash(), before);
        // The dry run said the same.
        EXPECT_EQ(dry.result, real.result);
        EXPECT_EQ(dry.box_text, real.box_text);
        EXPECT_EQ(dry_boxes, real_boxes);
        EXPECT_EQ(dry.plan_text.find("fits         yes"), std::string::npos) << dry.plan_text;
    }
}

class ProvinceUpdate : public LocalUpdate {
  protected:
    PkgDescription provincePackage() {
        PkgDescription d = standard_package(p);
        d.sections[SECTION_PROVINCE_VOICE] = pkg_pattern(5000, 21);
        d.province_table = true;
        d.province_stamp = 0x20190318;
        d.provinces.push_back(PkgProvince{PROVINCE_NAMES[0], pkg_province_records(10, 1)});
        d.provinces.push_back(PkgProvince{PROVINCE_NAMES[1], pkg_province_records(20, 2)});
        return d;
    }
};

TEST_F(ProvinceUpdate, DeclinedQuestionEndsQuietly) {
    host.province_reply = 1;
    UpdateOutcome out = runWith(provincePackage());
    EXPECT_EQ(out.result, UPDATE_ABANDONED);
    EXPECT_EQ(host.events,
              (std::vector<std::string>{"buttons off", "ask province", "buttons on", "ended"}));
    EXPECT_TRUE(sim.commands().empty());
}

TEST_F(ProvinceUpdate, ChosenProvincesAreMergedAndWritten) {
    host.province_mode = 1;
    host.province_flags[1] = 1; // the second province only
    UpdateOutcome out = runWith(provincePackage());
    ASSERT_EQ(out.result, UPDATE_SUCCEEDED) << u8(out.box_text);
    EXPECT_EQ(host.province_asked, 1);
    // The GPS region holds the merged image: stamp, then 20 records.
    uint32_t gps = ms_u32(MS_OFF_GPS_ADDR);
    Bytes head = flash_at(sim, gps, 8);
    EXPECT_EQ(rec_u32(head.data()), 0x20190318u);
    EXPECT_EQ(rec_u32(head.data() + 4), 20u);
    // The province voice went in instead of the plain voice.
    Bytes pv = pkg_pattern(5000, 21);
    EXPECT_EQ(flash_at(sim, ms_u32(MS_OFF_VOICE_ADDR), pv.size()), pv);
}

TEST_F(ProvinceUpdate, NationalAnswerWritesThePlainDatabase) {
    host.province_mode = 0;
    UpdateOutcome out = runWith(provincePackage());
    ASSERT_EQ(out.result, UPDATE_SUCCEEDED) << u8(out.box_text);
    EXPECT_EQ(flash_at(sim, ms_u32(MS_OFF_GPS_ADDR), p.gps.size()), p.gps);
    EXPECT_EQ(flash_at(sim, ms_u32(MS_OFF_VOICE_ADDR), p.voice.size()), p.voice);
}

// A dry run plans exactly what the real run's check plans, and writes nothing.
TEST(DryRun, SamePlanAsTheRealCheckAndNothingWritten) {
    TempDir tmp;
    Payloads p;
    std::string path = tmp.path("plan.dqv");
    ASSERT_EQ(pkgbuild_write(standard_package(p), path), 1);

    UnitSim dry_sim;
    setup_unit(dry_sim);
    AttachedUnit dry_unit(dry_sim);
    Bytes flash_before = dry_sim.flash();
    dry_sim.clearCommands();
    RecordingHost host;
    host.machine = dry_unit.machine;
    UpdateSource source;
    source.package_path = w(path);
    UpdateRun run(&host, dry_unit.machine, source);
    run.setDryRun(true);
    UpdateOutcome out = run.run();
    ASSERT_EQ(out.result, UPDATE_SUCCEEDED) << u8(out.box_text);
    ASSERT_EQ(out.planned, 1);
    EXPECT_FALSE(out.plan_text.empty());
    EXPECT_TRUE(host.boxes().empty());
    EXPECT_EQ(dry_sim.count(CMD_WRITE), 0);
    EXPECT_EQ(dry_sim.count(CMD_ERASE), 0);
    EXPECT_EQ(dry_sim.flash(), flash_before);

    // The same unit and package through the real check.
    UnitSim real_sim;
    setup_unit(real_sim);
    AttachedUnit real_unit(real_sim);
    Package* pkg = package_load(w(path).c_str());
    ASSERT_NE(pkg, nullptr);
    QV_WritePlan plan;
    plan.write_boot = plan.write_program = plan.write_voice = plan.write_radar_mute = 1;
    plan.write_gps = plan.write_update_tool = plan.reset_parameters = 1;
    ASSERT_EQ(QV_Machine_checkParamAndMainSetting(real_unit.machine, pkg, &plan), 0);
    package_free(pkg);
    EXPECT_EQ(out.write_plan.plan.layout502, plan.layout502);
    EXPECT_EQ(out.write_plan.plan.write_boot, plan.write_boot);
    EXPECT_EQ(out.write_plan.plan.write_program, plan.write_program);
    EXPECT_EQ(out.write_plan.plan.reset_parameters, plan.reset_parameters);
    EXPECT_EQ(out.write_plan.plan.boot_length, plan.boot_length);
    EXPECT_EQ(out.write_plan.plan.program_length, plan.program_length);
    EXPECT_EQ(out.write_plan.plan.voice_address, plan.voice_address);
    EXPECT_EQ(out.write_plan.plan.voice_length, plan.voice_length);
    EXPECT_EQ(out.write_plan.plan.radar_mute_address, plan.radar_mute_address);
    EXPECT_EQ(out.write_plan.plan.radar_mute_length, plan.radar_mute_length);
    EXPECT_EQ(out.write_plan.plan.update_tool_address, plan.update_tool_address);
    EXPECT_EQ(out.write_plan.plan.update_tool_length, plan.update_tool_length);
    EXPECT_EQ(out.write_plan.plan.gps_address, plan.gps_address);
    EXPECT_EQ(out.write_plan.plan.gps_length, plan.gps_length);
    // The block the check wrote is the one the dry run planned.
    Bytes block = flash_at(real_sim, out.write_plan.actions.main_setting_address + 4, 231);
    EXPECT_EQ(block, Bytes(out.write_plan.actions.main_setting, out.write_plan.actions.main_setting + 231));
}

TEST(DryRun, TooLargePlanIsReportedLikeTheRealRun) {
    TempDir tmp;
    Payloads p;
    std::string path = tmp.path("plan.dqv");
    ASSERT_EQ(pkgbuild_write(standard_package(p), path), 1);
    UnitSim sim(0x20000);
    setup_unit(sim);
    AttachedUnit unit(sim);
    RecordingHost host;
    host.machine = unit.machine;
    UpdateSource source;
    source.package_path = w(path);
    UpdateRun run(&host, unit.machine, source);
    run.setDryRun(true);
    UpdateOutcome out = run.run();
    EXPECT_EQ(out.result, UPDATE_FAILED);
    EXPECT_EQ(out.box_text, u"Error!The gps data is too large!  1");
    EXPECT_GT(out.write_plan.plan.required_size, 0x20000u);
}

} // namespace
