// The end of a run, cut at every report from the parameter erase to the
// last one: a run is a success only with the unit's dates read after it; a
// unit that went away before it was read whole is "unconfirmed" (or a
// failed transfer), never "succeeded" — with and without the backup.
#include "tests/update/update_fixture.h"

#include "common_t73/QV_Cmd.h"
#include "config/records.h"
#include "update/safe_update.h"
#include "update/update_history.h"

using namespace update_test;

namespace {

struct CutRun {
    UpdateOutcome outcome;
    nlohmann::json entry;
    bool erased = false;  // the unit took the parameter sector's erase
    uint64_t reports = 0; // reports each way the unit took
};

class RunEndCuts : public ::testing::Test {
  protected:
    void SetUp() override {
        package = tmp.path("pkg.dqv");
        ASSERT_EQ(pkgbuild_write(standard_package(p), package), 1);
    }

    // One run on a fresh unit that is gone after cut reports (-1: never).
    CutRun run(bool backup, long cut) {
        UnitSim sim;
        setup_unit(sim);
        sim.unplugAfterReports(cut);
        std::string state = tmp.path("state-" + std::to_string(++runs));
        SafeUpdateOptions o;
        o.state_dir = state;
        o.backup = backup;
        o.tool_version = "407";
        SafeUpdateGuard guard(o);
        CutRun r;
        {
            RecordingHost host;
            AttachedUnit unit(sim);
            host.machine = unit.machine;
            UpdateSource source;
            source.package_path = w(package);
            UpdateRun update(&host, unit.machine, source);
            update.setGuard(&guard);
            r.outcome = update.run();
        }
        for (const UnitCommand& c : sim.commands())
            r.erased = r.erased || (c.code == CMD_ERASE && c.a == FLASH_PARAM_ADDRESS >> 12);
        r.reports = sim.reportsIn() + sim.reportsOut();
        std::vector<nlohmann::json> h = update_history_read(state);
        if (!h.empty())
            r.entry = h.back();
        return r;
    }

    TempDir tmp;
    Payloads p;
    std::string package;
    int runs = 0;
};

// What trevik-cli's exit code says: 0 for a run that wrote and was read
// after, 6 when the unit could not be read after it (unconfirmed) or broke
// off a transfer.
bool exits_zero(const CutRun& r) {
    return r.outcome.result == UPDATE_SUCCEEDED && r.outcome.unconfirmed.empty() &&
           !r.outcome.interrupted;
}

TEST_F(RunEndCuts, EveryCutFromTheParameterEraseOnIsNoSuccess) {
    for (bool backup : {false, true}) {
        SCOPED_TRACE(backup ? "with backup" : "without backup");
        CutRun whole = run(backup, -1);
        ASSERT_TRUE(exits_zero(whole)) << u8(whole.outcome.box_text);
        ASSERT_TRUE(whole.erased);
        EXPECT_EQ(whole.entry["result"], "succeeded");
        // The dates the unit showed after the run are what it was written.
        ASSERT_TRUE(whole.entry["after"].is_object()) << whole.entry.dump();
        for (const char* date : {"voice_date", "radar_mute_date", "gps_date"})
            EXPECT_TRUE(whole.entry["after"][date].is_string()) << date << whole.entry.dump();
        EXPECT_EQ(whole.entry["confirmed"]["unit_read_after"], true);

        // From the last report back to the erase: each cut is one case.
        int cases = 0;
        for (long cut = long(whole.reports) - 1; cut > 0; --cut) {
            CutRun r = run(backup, cut);
            if (!r.erased)
                break; // the cut came before the erase: the table ends here
            ++cases;
            SCOPED_TRACE("cut after " + std::to_string(cut) + " of " +
                         std::to_string(whole.reports) + " reports");
            ASSERT_TRUE(r.entry.is_object());
            // The run's last two reports are the closing command and its
            // reply, after the read: a cut there leaves the read whole.
            bool read_whole = cut >= long(whole.reports) - 2;
            EXPECT_EQ(exits_zero(r), read_whole) << r.entry.dump();
            if (exits_zero(r)) {
                EXPECT_EQ(r.entry["result"], "succeeded");
                EXPECT_EQ(r.entry["after"], whole.entry["after"]) << r.entry.dump();
            } else if (r.outcome.result == UPDATE_SUCCEEDED) {
                // The writes went through; the unit was not read after them.
                EXPECT_EQ(r.entry["result"], "unconfirmed") << r.entry.dump();
                EXPECT_TRUE(r.entry["after"].is_null()) << r.entry.dump();
                EXPECT_EQ(r.entry["confirmed"]["unit_read_after"], false) << r.entry.dump();
                EXPECT_FALSE(r.outcome.unconfirmed.empty());
            }
        }
        EXPECT_GT(cases, 1);
    }
}

} // namespace
