// The work around an update run's writes, against the in-process emulated
// unit: the backup before, the history line after, the read-back check, and
// a run without backup that sends exactly what a plain run sends.
#include "tests/update/update_fixture.h"
#include "tests/helpers/process.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>
#include <fstream>
#include <functional>
#include <new>
#include <sstream>
#include <stdexcept>

#include "config/records.h"
#include "update/safe_update.h"
#include "update/unit_backup.h"
#include "update/update_history.h"

using namespace update_test;

namespace {

Bytes read_bytes(const std::string& path) {
    std::string s = read_text(path);
    return Bytes(s.begin(), s.end());
}

class SafeUpdate : public ::testing::Test {
  protected:
    void SetUp() override {
        setup_unit(sim);
        package = tmp.path("pkg.dqv");
        ASSERT_EQ(pkgbuild_write(standard_package(p), package), 1);
        state = tmp.path("state/trevik");
    }

    // One update run of the package with a guard of these options.
    UpdateOutcome runWith(SafeUpdateGuard* guard, RecordingHost* host = nullptr,
                          const std::string& chosen = "") {
        RecordingHost own;
        RecordingHost& h = host ? *host : own;
        AttachedUnit unit(sim);
        h.machine = unit.machine;
        UpdateSource source;
        source.package_path = w(chosen.empty() ? package : chosen);
        UpdateRun run(&h, unit.machine, source);
        run.setGuard(guard);
        return run.run();
    }

    SafeUpdateOptions options(bool backup, bool verify = false) {
        SafeUpdateOptions o;
        o.state_dir = state;
        o.backup = backup;
        o.verify = verify;
        o.tool_version = "407";
        return o;
    }

    TempDir tmp;
    UnitSim sim;
    Payloads p;
    std::string package;
    std::string state;
};

TEST_F(SafeUpdate, BackupHoldsTheUnitsOwnRecordsAsTheyWereBeforeTheRun) {
    // A server-data region with content the run resets.
    Bytes server = pkg_pattern(0x1000, 21);
    const uint8_t* ms = sim.flash().data() + FLASH_MAIN_SETTING_ADDRESS + 4;
    uint32_t server_address = rec_u32(ms + MS_OFF_SERVER_DATA_ADDR);
    sim.put(server_address, server.data(), server.size());
    Bytes param = flash_at(sim, FLASH_PARAM_ADDRESS, 256);
    Bytes block = flash_at(sim, FLASH_MAIN_SETTING_ADDRESS, 512);
    Bytes identity = flash_at(sim, FLASH_IDENTITY_ADDRESS, 256);
    std::string settings, info;
    {
        AttachedUnit before(sim);
        settings = unit_settings_json_text(before.machine);
        info = QV_Machine_infoText(before.machine);
    }
    ASSERT_FALSE(settings.empty());

    SafeUpdateGuard guard(options(true));
    RecordingHost host;
    UpdateOutcome out = runWith(&guard, &host);
    ASSERT_EQ(out.result, UPDATE_SUCCEEDED) << u8(out.box_text);

    std::string f = guard.backupFolder();
    ASSERT_FALSE(f.empty());
    EXPECT_EQ(f.rfind(unit_backups_root(state) + "/", 0), 0u) << f;
    EXPECT_NE(f.find("-TREVIK-DEMO"), std::string::npos) << f;
    EXPECT_EQ(read_bytes(f + "/" + BACKUP_PARAM_FILE), param);
    EXPECT_EQ(read_bytes(f + "/" + BACKUP_MAIN_SETTING_FILE), block);
    EXPECT_EQ(read_bytes(f + "/" + BACKUP_IDENTITY_FILE), identity);
    EXPECT_EQ(read_bytes(f + "/" + BACKUP_SERVER_DATA_FILE), server);
    EXPECT_EQ(read_text(f + "/" + BACKUP_SETTINGS_FILE), settings);
    EXPECT_EQ(read_text(f + "/" + BACKUP_UNIT_FILE), info);
    // The region was reset by the run: the backup is the only copy left.
    EXPECT_EQ(flash_at(sim, server_address, 16), Bytes(16, 0xFF));

    // Its own step in the progress text, before the writes.
    auto saving =
        std::find(host.events.begin(), host.events.end(), "text Saving the unit's settings\u2026");
    auto updating = std::find(host.events.begin(), host.events.end(), "text updating");
    EXPECT_TRUE(saving < updating);
    // The way back is said at the end.
    EXPECT_NE(u8(out.notice).find("trevik-cli settings apply " + f + "/settings.json"),
              std::string::npos)
        << u8(out.notice);

    std::vector<nlohmann::json> history = update_history_read(state);
    ASSERT_EQ(history.size(), 1u);
    const nlohmann::json& e = history[0];
    EXPECT_EQ(e["result"], "succeeded");
    EXPECT_EQ(e["text"], "Update Successfully!");
    EXPECT_EQ(e["backup"], f);
    EXPECT_EQ(e["package"], package);
    Bytes pkg = pkg_read_file(package);
    EXPECT_EQ(e["package_sha256"], sha256_hex(pkg.data(), pkg.size()));
    EXPECT_EQ(e["unit"]["client_id"], "TREVIK-DEMO ");
    EXPECT_EQ(e["unit"]["board"], "T73A");
    EXPECT_EQ(e["after"]["program_version"], 200);
    EXPECT_TRUE(e["provinces"].is_null());
    std::vector<std::string> areas;
    for (const auto& a : e["areas"])
        areas.push_back(a["name"]);
    EXPECT_EQ(areas, (std::vector<std::string>{"voice", "radar_mute", "gps", "program", "boot",
                                               "main_setting", "parameter_reset"}));
}

TEST_F(SafeUpdate, UnwritableBackupStopsTheRunBeforeAnyWrite) {
    // The state directory lies below a plain file.
    std::ofstream(tmp.path("file")) << "x";
    state = tmp.path("file/trevik");
    std::vector<uint8_t> before = sim.flash();
    SafeUpdateGuard guard(options(true));
    RecordingHost host;
    UpdateOutcome out = runWith(&guard, &host);
    EXPECT_EQ(out.result, UPDATE_FAILED);
    // The path that could not be made is named; no backup folder is, as
    // none was made.
    EXPECT_NE(u8(out.box_text).find(state + ": "), std::string::npos) << u8(out.box_text);
    EXPECT_EQ(u8(out.box_text).find(unit_backups_root(state) + "/"), std::string::npos)
        << u8(out.box_text);
    EXPECT_NE(u8(out.box_text).find("nothing was written"), std::string::npos);
    EXPECT_EQ(sim.count(CMD_WRITE), 0);
    EXPECT_EQ(sim.count(CMD_ERASE), 0);
    EXPECT_EQ(sim.flash(), before);
    ASSERT_EQ(host.boxes().size(), 1u);
    EXPECT_EQ(host.boxes()[0], "box error [] " + u8(out.box_text));
}

TEST_F(SafeUpdate, WithoutBackupTheUnitGetsExactlyThePlainRunsCommands) {
    UnitSim plain;
    setup_unit(plain);
    {
        RecordingHost h;
        AttachedUnit unit(plain);
        h.machine = unit.machine;
        UpdateSource source;
        source.package_path = w(package);
        UpdateRun run(&h, unit.machine, source);
        ASSERT_EQ(run.run().result, UPDATE_SUCCEEDED);
    }
    SafeUpdateGuard guard(options(false));
    ASSERT_EQ(runWith(&guard).result, UPDATE_SUCCEEDED);
    auto key = [](const UnitCommand& c) {
        return std::vector<uint32_t>{c.code, c.a, c.b, c.c, c.mode, c.d, c.dataBytes, c.dataSum};
    };
    ASSERT_EQ(sim.commands().size(), plain.commands().size());
    for (size_t i = 0; i < sim.commands().size(); ++i)
        EXPECT_EQ(key(sim.commands()[i]), key(plain.commands()[i])) << "command " << i;
    EXPECT_EQ(sim.flash(), plain.flash());
    // The run is recorded all the same.
    ASSERT_EQ(update_history_read(state).size(), 1u);
    EXPECT_TRUE(update_history_read(state)[0]["backup"].is_null());
}

TEST_F(SafeUpdate, ReadBackCatchesWhatTheUnitsChecksumDidNot) {
    {
        SafeUpdateGuard guard(options(false, true));
        ASSERT_EQ(runWith(&guard).result, UPDATE_SUCCEEDED);
        ASSERT_FALSE(guard.verifyResults().empty());
        for (const VerifyResult& r : guard.verifyResults())
            EXPECT_TRUE(r.ok) << verify_line(r);
    }
    sim.addWrongByte(FLASH_PROGRAM_ADDRESS + 100);
    SafeUpdateGuard guard(options(false, true));
    UpdateOutcome out = runWith(&guard);
    EXPECT_EQ(out.result, UPDATE_FAILED);
    int bad = 0;
    for (const VerifyResult& r : guard.verifyResults()) {
        if (r.name == "program") {
            EXPECT_FALSE(r.ok);
            EXPECT_EQ(r.first_difference, FLASH_PROGRAM_ADDRESS + 100);
            EXPECT_EQ(verify_line(r), "program        0x009000     20224  differs at 0x009064");
            ++bad;
        } else {
            EXPECT_TRUE(r.ok) << verify_line(r);
        }
    }
    EXPECT_EQ(bad, 1);
    std::vector<nlohmann::json> history = update_history_read(state);
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[1]["result"], "failed");
    EXPECT_EQ(history[1]["verified"], false);
}

TEST_F(SafeUpdate, HistoryKeepsGoodAndFailedRunsAndNeverCostsTheUpdate) {
    SafeUpdateGuard good(options(false));
    ASSERT_EQ(runWith(&good).result, UPDATE_SUCCEEDED);
    // The voice write is refused by the unit.
    sim.addFault(UnitFaultRule{UnitFault::Status, CMD_WRITE, 1});
    SafeUpdateGuard failed(options(false));
    EXPECT_EQ(runWith(&failed).result, UPDATE_FAILED);
    sim.clearFaults();
    std::vector<nlohmann::json> history = update_history_read(state);
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[0]["result"], "succeeded");
    EXPECT_EQ(history[1]["result"], "failed");
    EXPECT_EQ(history[1]["text"], "Update Failed!  -4");
    EXPECT_EQ(history[1]["status"], -4);
    EXPECT_TRUE(failed.warnings().empty());

    // A history that cannot be written is a warning.
    std::ofstream(tmp.path("file")) << "x";
    state = tmp.path("file/trevik");
    SafeUpdateGuard unwritable(options(false));
    EXPECT_EQ(runWith(&unwritable).result, UPDATE_SUCCEEDED);
    ASSERT_EQ(unwritable.warnings().size(), 1u);
    EXPECT_NE(unwritable.warnings()[0].find("history"), std::string::npos);
}

TEST_F(SafeUpdate, StopFlagEndsTheRunAtAReportBoundary) {
    volatile std::sig_atomic_t stop = 0;
    SafeUpdateGuard guard(options(false));
    guard.setStopFlag(&stop);
    RecordingHost host;
    AttachedUnit unit(sim);
    host.machine = unit.machine;
    // Raised from the channel's hook after the tenth data report of the
    // first write, as a signal would between two reports.
    struct HookState {
        volatile std::sig_atomic_t* flag;
        int seen;
    } hs{&stop, 0};
    unit.machine->channel->hook = [](void* user, int32_t phase, int32_t, int32_t) {
        auto* s = static_cast<HookState*>(user);
        if (phase == 1 && ++s->seen == 10)
            *s->flag = 1;
    };
    unit.machine->channel->hookUser = &hs;
    UpdateSource source;
    source.package_path = w(package);
    UpdateRun run(&host, unit.machine, source);
    run.setGuard(&guard);
    UpdateOutcome out = run.run();
    EXPECT_EQ(out.result, UPDATE_FAILED);
    EXPECT_EQ(out.interrupted, 1);
    // The write in progress (voice, after the eight reports of the
    // main-setting block) got two data reports, and no command followed.
    const UnitCommand& last = sim.commands().back();
    EXPECT_EQ(last.code, CMD_WRITE);
    EXPECT_EQ(last.dataBytes, 2u * 64u);
    EXPECT_FALSE(last.replied);
    EXPECT_EQ(sim.count(CMD_FINISH), 0);
    // The flag no longer holds the channel once the run is over.
    EXPECT_EQ(unit.machine->channel->stop, nullptr);
    std::vector<nlohmann::json> history = update_history_read(state);
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0]["result"], "interrupted");
}

// A host that runs a step of the test's own as the writes begin.
class StepHost : public RecordingHost {
  public:
    std::function<void()> at_write;
    void setProgressText(const std::u16string& text) override {
        RecordingHost::setProgressText(text);
        if (text == UPDATE_TEXT_UPDATING && at_write)
            at_write();
    }
};

[[noreturn]] void throw_one(bool bad_alloc) {
    if (bad_alloc)
        throw std::bad_alloc();
    throw std::runtime_error("a fault of the host");
}

// A failure thrown as the writes begin or during the read-back ends the run
// as a failure with its history line, never as an exception out of the run.
TEST_F(SafeUpdate, AFailureThrownDuringTheRunStillLeavesItsHistoryLine) {
    struct Case {
        const char* where;
        bool read_back;
        bool bad_alloc;
    };
    for (const Case& c : {Case{"writes", false, true}, Case{"writes", false, false},
                          Case{"read-back", true, true}, Case{"read-back", true, false}}) {
        SCOPED_TRACE(std::string(c.where) + (c.bad_alloc ? " bad_alloc" : " runtime_error"));
        std::filesystem::remove_all(state);
        SafeUpdateGuard guard(options(false, c.read_back));
        StepHost host;
        bool bad_alloc = c.bad_alloc;
        if (c.read_back)
            guard.setVerifyReport(
                [](void* user, const VerifyResult&) { throw_one(*static_cast<bool*>(user)); },
                &bad_alloc);
        else
            host.at_write = [bad_alloc] { throw_one(bad_alloc); };
        UpdateOutcome out;
        EXPECT_NO_THROW(out = runWith(&guard, &host));
        EXPECT_EQ(out.result, UPDATE_FAILED);
        ASSERT_EQ(host.boxes().size(), 1u);
        EXPECT_EQ(host.boxes()[0].rfind("box error", 0), 0u) << host.boxes()[0];
        std::vector<nlohmann::json> history = update_history_read(state);
        ASSERT_EQ(history.size(), 1u);
        EXPECT_EQ(history[0]["result"], "failed");
        EXPECT_EQ(history[0]["package"], package);
    }
}

// abort() in the middle of a run (what an uncaught failure ends in) still
// leaves the line kept ready for it.
TEST_F(SafeUpdate, AnAbortedRunLeavesItsHistoryLine) {
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
            safe_update_install_abnormal_end_recorder();
            SafeUpdateGuard guard(options(false, true));
            guard.setVerifyReport([](void*, const VerifyResult&) { std::abort(); }, nullptr);
            runWith(&guard);
        },
        ::testing::KilledBySignal(SIGABRT), "");
    std::vector<nlohmann::json> history = update_history_read(state);
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0]["result"], "failed");
    EXPECT_EQ(history[0]["text"], u8(SAFE_UPDATE_TEXT_BROKEN));
    EXPECT_EQ(history[0]["unit"]["client_id"], "TREVIK-DEMO ");
}

// Several units at once: the process aborts while one unit's run is about
// to write, after another unit's run began later and ended. The unit still
// writing gets its own line, the ended one keeps its own.
TEST_F(SafeUpdate, AnAbortWhileSeveralUnitsRunRecordsTheUnitStillWriting) {
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
            safe_update_install_abnormal_end_recorder();
            UnitSim other;
            setup_unit(other, "TREVIK-OTHER");
            std::atomic<bool> writing{false};
            std::atomic<bool> other_done{false};
            std::thread first([&] {
                StepHost host;
                host.at_write = [&] {
                    writing = true;
                    while (!other_done)
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    std::abort();
                };
                SafeUpdateGuard guard(options(false));
                runWith(&guard, &host);
            });
            while (!writing)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            {
                RecordingHost host;
                AttachedUnit unit(other);
                host.machine = unit.machine;
                UpdateSource source;
                source.package_path = w(package);
                UpdateRun run(&host, unit.machine, source);
                SafeUpdateGuard guard(options(false));
                run.setGuard(&guard);
                run.run();
            }
            other_done = true;
            first.join();
        },
        ::testing::KilledBySignal(SIGABRT), "");
    std::vector<nlohmann::json> history = update_history_read(state);
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[0]["unit"]["client_id"], "TREVIK-OTHER");
    EXPECT_EQ(history[0]["result"], "succeeded");
    EXPECT_EQ(history[1]["unit"]["client_id"], "TREVIK-DEMO ");
    EXPECT_EQ(history[1]["result"], "failed");
    EXPECT_EQ(history[1]["text"], u8(SAFE_UPDATE_TEXT_BROKEN));
}

// The line names the package as the user chose it (absolute; a zip and its
// entry), hashes the bytes that were loaded even when the file is replaced
// during the run, and a torn last line does not swallow it.
TEST_F(SafeUpdate, HistoryRecordsThePackageAsLoadedAndAsChosen) {
    ASSERT_TRUE(std::filesystem::create_directories(state));
    std::ofstream(update_history_path(state), std::ios::binary) << "{\"time\":\"2026-12-";
    Bytes loaded = pkg_read_file(package);
    std::string loaded_sha = sha256_hex(loaded.data(), loaded.size());

    StepHost host;
    std::string pkg = package;
    host.at_write = [pkg] {
        Payloads other;
        other.program = pkg_pattern(20000, 99);
        ASSERT_EQ(pkgbuild_write(standard_package(other), pkg + ".new"), 1);
        std::filesystem::rename(pkg + ".new", pkg);
    };
    SafeUpdateGuard replaced(options(false));
    ASSERT_EQ(runWith(&replaced, &host).result, UPDATE_SUCCEEDED);
    ASSERT_EQ(pkgbuild_write(standard_package(p), package), 1);

    // A path relative to the working directory, and a zip archive.
    ASSERT_EQ(pkgbuild_zip(tmp.path("maps.zip"), {PkgZipEntry("2026/map.dqv", loaded)}), 1);
    std::filesystem::path cwd = std::filesystem::current_path();
    std::filesystem::current_path(tmp.path());
    SafeUpdateGuard relative(options(false));
    UpdateOutcome rel = runWith(&relative, nullptr, "./pkg.dqv");
    SafeUpdateGuard zipped(options(false));
    UpdateOutcome zip = runWith(&zipped, nullptr, "maps.zip");
    std::filesystem::current_path(cwd);
    ASSERT_EQ(rel.result, UPDATE_SUCCEEDED) << u8(rel.box_text);
    ASSERT_EQ(zip.result, UPDATE_SUCCEEDED) << u8(zip.box_text);

    size_t skipped = 0;
    std::vector<nlohmann::json> history = update_history_read(state, &skipped);
    EXPECT_EQ(skipped, 1u); // the torn line
    ASSERT_EQ(history.size(), 3u);
    EXPECT_EQ(history[0]["package_sha256"], loaded_sha);
    EXPECT_EQ(history[1]["package"], package);
    EXPECT_FALSE(history[1].contains("package_entry"));
    EXPECT_EQ(history[2]["package"], tmp.path("maps.zip"));
    EXPECT_EQ(history[2]["package_entry"], "map.dqv");
    EXPECT_EQ(history[2]["package_sha256"], loaded_sha);
}

TEST(EmulatedUnitRestart, WritesItsDefaultRecordOnlyAfterAFinishedRunErasedIt) {
    UnitSim sim;
    setup_unit(sim);
    sim.setParamRecord(false, 5);
    Bytes erased(256, 0xFF);
    // Erased by a run that did not finish: stays erased.
    {
        AttachedUnit unit(sim);
        ASSERT_EQ(QV_Cmd_erase(unit.machine->channel, FLASH_PARAM_ADDRESS, 4096), 0);
    }
    sim.connectionEnded();
    EXPECT_EQ(flash_at(sim, FLASH_PARAM_ADDRESS, 256), erased);
    // A finished connection that erased nothing leaves the sector alone.
    {
        AttachedUnit unit(sim);
        ASSERT_EQ(QV_Cmd_finish(unit.machine->channel), 1);
    }
    sim.connectionEnded();
    EXPECT_EQ(flash_at(sim, FLASH_PARAM_ADDRESS, 256), erased);
    {
        AttachedUnit unit(sim);
        ASSERT_EQ(QV_Cmd_erase(unit.machine->channel, FLASH_PARAM_ADDRESS, 4096), 0);
        ASSERT_EQ(QV_Cmd_finish(unit.machine->channel), 1);
    }
    sim.connectionEnded();
    Bytes rec = flash_at(sim, FLASH_PARAM_ADDRESS, 256);
    EXPECT_EQ(unit_param_kind_of(rec.data()), 5);
    // A unit whose record survived keeps it.
    uint8_t changed[256];
    std::memcpy(changed, rec.data(), 256);
    changed[18] = 3;
    unit_param_seal(changed, 5);
    sim.putParamRecord(false, changed);
    {
        AttachedUnit unit(sim);
        QV_Cmd_finish(unit.machine->channel);
    }
    sim.connectionEnded();
    EXPECT_EQ(flash_at(sim, FLASH_PARAM_ADDRESS, 256), Bytes(changed, changed + 256));
}

TEST(UnitBackupNames, ClientIdsBecomeFileSafeNames) {
    struct {
        std::string id, safe;
    } cases[] = {
        {"TREVIK-DEMO 0001", "TREVIK-DEMO_0001"},
        {"   ", "unknown"},
        {"", "unknown"},
        {"../..", ".._.."},
        {"..", "unknown"},
        {"a/b\\c", "a_b_c"},
        {"中文", "unknown"},
        {std::string(100, 'x'), std::string(64, 'x')},
    };
    for (const auto& c : cases)
        EXPECT_EQ(unit_backup_safe_id(c.id), c.safe) << c.id;
    EXPECT_EQ(unit_backup_folder_name(1765371922, "TREVIK-DEMO 0001"),
              "20251210T130522Z-TREVIK-DEMO_0001");
}

TEST(UnitBackupNames, ListTakesOnlyBackupFoldersOldestFirst) {
    TempDir tmp;
    std::string root = tmp.path("backups");
    for (const char* name :
         {"20261210T130522Z-B", "20251210T130522Z-A", "20261210T130522Z-B-2", "notes", "2026-A"})
        std::filesystem::create_directories(root + "/" + name);
    std::ofstream(root + "/20261210T130522Z-B/settings.json") << "{}";
    std::vector<UnitBackupEntry> list = unit_backup_list(root);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].name, "20251210T130522Z-A");
    EXPECT_EQ(list[0].time, "2025-12-10T13:05:22Z");
    EXPECT_EQ(list[2].name, "20261210T130522Z-B-2");
    EXPECT_EQ(list[2].unit, "B");
    // The newest backup with settings of unit B.
    EXPECT_EQ(unit_backup_newest(root, "B").name, "20261210T130522Z-B");
    EXPECT_EQ(unit_backup_newest(root, "C").folder, "");
}

} // namespace

// Units of one customer share the client id: the backup's key adds the USB
// serial, or for a unit without one, its identity block and its place.
TEST(UnitBackupNames, IdentityTellsUnitsOfOneCustomerApart) {
    uint8_t block[256], other[256];
    std::memset(block, 0, sizeof block);
    std::memcpy(block, "TREVIK-DEMO 0001", 16);
    std::memcpy(other, block, sizeof other);
    other[200] = 1;
    const std::string client = "TREVIK-DEMO 0001";
    struct Case {
        const char* name;
        std::string serial_a, path_a, serial_b, path_b;
        const uint8_t* block_b;
        bool same;
    } cases[] = {
        {"SameSerialElsewhere", "S1", "/dev/hidraw1", "S1", "/dev/hidraw4", block, true},
        {"OtherSerial", "S1", "/dev/hidraw1", "S2", "/dev/hidraw1", block, false},
        {"NoSerialSamePlace", "", "/dev/hidraw1", "", "/dev/hidraw1", block, true},
        {"NoSerialOtherPlace", "", "socket:/tmp/a", "", "socket:/tmp/b", block, false},
        {"NoSerialOtherBlock", "", "/dev/hidraw1", "", "/dev/hidraw1", other, false},
    };
    for (const Case& c : cases) {
        UnitIdentity a = unit_identity_make(client, c.serial_a, block, 256, c.path_a);
        UnitIdentity b = unit_identity_make(client, c.serial_b, c.block_b, 256, c.path_b);
        EXPECT_EQ(a.key == b.key, c.same) << c.name << ": " << a.key << " " << b.key;
        EXPECT_EQ(a.key, unit_backup_safe_id(a.key)) << c.name;
        EXPECT_EQ(a.key.rfind("TREVIK-DEMO_0001-", 0), 0u) << c.name;
    }
    EXPECT_EQ(unit_identity_make(client, "S/1", block, 256, "").key, "TREVIK-DEMO_0001-S_1");
}

// "Newest" is the time a backup recorded, not the order of folder names:
// the eleventh folder of one second ends in "-10", which sorts before "-2".
TEST(UnitBackupNames, NewestIsByTheTimeRecordedInside) {
    TempDir tmp;
    std::string root = tmp.path("backups");
    const char* names[] = {"20261210T130522Z-K", "20261210T130522Z-K-2", "20261210T130522Z-K-10"};
    for (int i = 0; i < 3; ++i) {
        std::string f = root + "/" + names[i];
        std::filesystem::create_directories(f);
        std::ofstream(f + "/settings.json") << "{}";
        std::ofstream(f + "/backup.json") << nlohmann::json{
            {"time", "2026-12-10T13:05:22Z"},
            {"time_ns", 1765371922000000000LL + i},
            {"key", "K"},
            {"client_id", "K"}}.dump();
    }
    EXPECT_EQ(unit_backup_newest(root, "K").name, "20261210T130522Z-K-10");
    std::vector<UnitBackupEntry> list = unit_backup_list(root);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[2].name, "20261210T130522Z-K-10");
    EXPECT_EQ(list[2].identity.client_id, "K");
}
