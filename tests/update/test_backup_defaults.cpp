// Backups of a unit's default settings: runs one after another on one
// emulated unit, restarting or not in between, and the backup each run's
// note, `backups` and the window offer.
#include "tests/update/update_fixture.h"
#include "tests/helpers/process.h"

#include "update/safe_update.h"
#include "update/unit_backup.h"

using namespace update_test;

namespace {

class BackupDefaults : public ::testing::Test {
  protected:
    void SetUp() override {
        setup_unit(sim);
        package = tmp.path("pkg.dqv");
        ASSERT_EQ(pkgbuild_write(standard_package(p), package), 1);
        state = tmp.path("state/trevik");
        root = unit_backups_root(state);
    }

    // One guarded run with a backup; the unit restarts after it (writes its
    // default record) when restart is set. Returns the notice.
    std::string update(bool restart, std::string* folder) {
        SafeUpdateOptions o;
        o.state_dir = state;
        o.tool_version = "407";
        SafeUpdateGuard guard(o);
        UpdateOutcome out;
        {
            RecordingHost host;
            AttachedUnit unit(sim);
            host.machine = unit.machine;
            UpdateSource source;
            source.package_path = w(package);
            UpdateRun run(&host, unit.machine, source);
            run.setGuard(&guard);
            out = run.run();
            key = unit_identity_of(unit.machine).key;
        }
        EXPECT_EQ(out.result, UPDATE_SUCCEEDED) << u8(out.box_text);
        if (restart)
            sim.connectionEnded();
        *folder = guard.backupFolder();
        return u8(out.notice);
    }

    nlohmann::json backup_json(const std::string& folder) {
        return nlohmann::json::parse(read_text(folder + "/" + BACKUP_IDENTITY_JSON));
    }

    TempDir tmp;
    UnitSim sim;
    Payloads p;
    std::string package, state, root, key;
};

const std::string APPLY = "bring its settings back with: trevik-cli settings apply ";

TEST_F(BackupDefaults, TheUsersOwnSettingsAreOfferedUntilSettingsAreWrittenAgain) {
    // First update: the backup holds the user's settings.
    std::string own;
    std::string notice = update(true, &own);
    EXPECT_NE(notice.find(APPLY + own + "/settings.json"), std::string::npos) << notice;
    EXPECT_EQ(notice.find("earlier update"), std::string::npos) << notice;
    EXPECT_EQ(backup_json(own)["holds_defaults"], false);
    EXPECT_TRUE(backup_json(own)["defaults_reason"].is_null());

    // Second update before any restore: its backup holds the defaults the
    // first one left, and the note still names the first.
    std::string second;
    notice = update(false, &second);
    ASSERT_NE(second, own);
    ASSERT_TRUE(std::filesystem::exists(second + "/settings.json"));
    nlohmann::json j = backup_json(second);
    EXPECT_EQ(j["holds_defaults"], true);
    EXPECT_NE(j["defaults_reason"].get<std::string>().find("reset its parameter sector"),
              std::string::npos);
    EXPECT_NE(notice.find(APPLY + own + "/settings.json (saved at "), std::string::npos) << notice;
    EXPECT_NE(notice.find("before an earlier update: the backup of this run, " + second +
                          ", holds its default settings, not its own)"),
              std::string::npos)
        << notice;

    // That run stopped before the unit restarted: its record is erased. The
    // next run's backup has no settings, and the note still names the first.
    std::string third;
    notice = update(true, &third);
    EXPECT_FALSE(std::filesystem::exists(third + "/settings.json"));
    EXPECT_EQ(backup_json(third)["holds_defaults"], true);
    EXPECT_NE(backup_json(third)["defaults_reason"].get<std::string>().find("erased"),
              std::string::npos);
    EXPECT_NE(notice.find(APPLY + own + "/settings.json (saved at "), std::string::npos) << notice;
    EXPECT_NE(notice.find(third + ", holds no settings, not its own)"), std::string::npos)
        << notice;

    // What `backups` and the window's restore take.
    EXPECT_EQ(unit_backup_newest(root, key).folder, own);
    std::vector<UnitBackupEntry> list = unit_backup_list(root);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_TRUE(unit_backup_offered(list, list[0]));
    EXPECT_FALSE(unit_backup_offered(list, list[1]));
    EXPECT_EQ(list[1].holds_defaults, 1);
    EXPECT_EQ(unit_backup_mark_text(list, list[0]),
              "  (the unit's own settings, from before an earlier update)");
    EXPECT_EQ(unit_backup_mark_text(list, list[1]), "  (default settings, not the unit's own)");
    UnitBackupOffer offer = unit_backup_offer(root, third);
    EXPECT_EQ(offer.backup.folder, own);
    EXPECT_TRUE(offer.older);

    // Settings written to the unit (settings apply, the window's restore or
    // Setting): its next backup holds its own settings again.
    {
        AttachedUnit unit(sim);
        unit_backup_note_settings_written(unit.machine, root);
    }
    std::string fourth;
    notice = update(true, &fourth);
    EXPECT_EQ(backup_json(fourth)["holds_defaults"], false);
    EXPECT_NE(notice.find(APPLY + fourth + "/settings.json"), std::string::npos) << notice;
    EXPECT_EQ(notice.find("earlier update"), std::string::npos) << notice;
    EXPECT_EQ(unit_backup_newest(root, key).folder, fourth);
    list = unit_backup_list(root);
    EXPECT_EQ(unit_backup_mark_text(list, list.back()), "");
}

} // namespace
