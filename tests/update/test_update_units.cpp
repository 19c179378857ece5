// End to end: trevik-cli update on several emulated units at once, each a
// trevik-unit-sim of its own; and the USB budget of units behind one hub
// from a sysfs tree made by the test.
#include "tests/update/update_fixture.h"
#include "tests/helpers/process.h"

#include <signal.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "common_t73/QV_Machine_internal.h"
#include "tools/cli/usb_hubs.h"

using namespace update_test;

#if defined(TREVIK_CLI) && defined(TREVIK_UNIT_SIM)

namespace {

class UpdateUnits : public SocketUnitTest {
  protected:
    std::string sock(int i) { return tmp.path("u" + std::to_string(i) + ".sock"); }
    std::string img(int i) { return tmp.path("u" + std::to_string(i) + ".img"); }
    std::string unit(int i) { return "socket:" + sock(i); }

    // Serves unit i from its own image.
    void startSim(int i, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {TREVIK_UNIT_SIM, "--socket", sock(i), "--image", img(i)};
        args.insert(args.end(), extra.begin(), extra.end());
        sims.push_back(std::make_unique<Spawned>(args, "/dev/null", "/dev/null"));
        for (int n = 0; n < 500 && !std::filesystem::exists(sock(i)); ++n)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Ends every emulator; each saves its image on the way out.
    void stopSims() {
        for (auto& s : sims) {
            s->signal(SIGTERM);
            s->wait();
        }
        sims.clear();
    }
    std::unique_ptr<Spawned> startCli(std::vector<std::string> args) {
        args.insert(args.begin(), TREVIK_CLI);
        return std::make_unique<Spawned>(args, tmp.path("cli.out"), tmp.path("cli.err"));
    }
    int cli(std::vector<std::string> args) {
        int code = startCli(std::move(args))->wait();
        out = read_text(tmp.path("cli.out"));
        err = read_text(tmp.path("cli.err"));
        return code;
    }
    std::vector<nlohmann::json> history() {
        return read_history_file(tmp.path("state/trevik/history.jsonl"));
    }

    std::vector<std::unique_ptr<Spawned>> sims;
    std::string out, err;
};

TEST_F(UpdateUnits, FourUnitsAtOnceHoldWhatOneRunWrites) {
    for (int i = 0; i < 5; ++i)
        startSim(i);
    ASSERT_EQ(cli({"update", package, "--unit", unit(0)}), 0) << err;
    ASSERT_EQ(cli({"update", package, "--json", "--unit", unit(1), "--unit", unit(2), "--unit",
                   unit(3), "--unit", unit(4)}),
              0)
        << out << err;
    stopSims();

    nlohmann::json j = nlohmann::json::parse(out);
    EXPECT_EQ(j["ok"], true);
    EXPECT_TRUE(j["retry"].is_null());
    ASSERT_EQ(j["units"].size(), 4u) << out;
    std::set<std::string> backups;
    for (int i = 1; i <= 4; ++i) {
        const nlohmann::json& u = j["units"][i - 1];
        EXPECT_EQ(u["unit"], unit(i));
        EXPECT_EQ(u["ok"], true);
        EXPECT_EQ(u["message"], "Update Successfully!");
        ASSERT_TRUE(u["backup"].is_string()) << u;
        backups.insert(u["backup"].get<std::string>());
        EXPECT_EQ(read_text(img(i)), read_text(img(0))) << "unit " << i;
    }
    EXPECT_EQ(backups.size(), 4u) << "each unit keeps its own backup";
    // One history line per run, whole.
    std::vector<nlohmann::json> runs = history();
    ASSERT_EQ(runs.size(), 5u);
    for (const nlohmann::json& r : runs)
        EXPECT_EQ(r["result"], "succeeded") << r;
    // The unpacked packages of the runs went away with them.
    EXPECT_FALSE(read_text(img(0)).empty());
}

TEST_F(UpdateUnits, AnUnpluggedUnitFailsAloneAndIsTheOneToRetry) {
    startSim(1);
    startSim(2, {"--unplug-after", "300"});
    startSim(3);
    int code = cli({"update", package, "--no-backup", "--unit", unit(1), "--unit", unit(2),
                    "--unit", unit(3)});
    EXPECT_EQ(code, 6) << out << err;
    // The summary: one row per unit, the failed one with its exit code.
    for (int i : {1, 3}) {
        size_t row = out.find("\n" + unit(i) + " ");
        ASSERT_NE(row, std::string::npos) << out;
        std::string line = out.substr(row + 1, out.find('\n', row + 1) - row - 1);
        EXPECT_NE(line.find("Update Successfully!"), std::string::npos) << line;
        EXPECT_NE(line.find(" ok "), std::string::npos) << line;
    }
    size_t row = out.find("\n" + unit(2) + " ");
    ASSERT_NE(row, std::string::npos) << out;
    EXPECT_NE(out.substr(row, out.find('\n', row + 1) - row).find("exit 6"), std::string::npos)
        << out;
    EXPECT_NE(out.find("Retry the failed units: trevik-cli update " + package +
                       " --no-backup --unit " + unit(2) + "\n"),
              std::string::npos)
        << out;
    // Piped, progress lines carry the unit's name.
    EXPECT_NE(err.find(unit(3) + ": updating\n"), std::string::npos) << err;
    stopSims();
    EXPECT_EQ(read_text(img(1)), read_text(img(3)));
}

// A unit that drops reads as the unit's fault with its cause in the table,
// whatever step it dropped at; never as a package that would not open.
TEST_F(UpdateUnits, AUnitThatDropsShowsItsOwnCauseInTheTable) {
    struct Case {
        const char* unplug_after;
        const char* cause; // the start of the cause under the failed row
    } cases[] = {
        {"20", "The unit refused the write of its main settings or stopped answering"},
        {"300", "The unit refused the write of"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.unplug_after);
        std::filesystem::remove(img(1));
        std::filesystem::remove(img(2));
        startSim(1);
        startSim(2, {"--unplug-after", c.unplug_after});
        int code = cli({"update", package, "--no-backup", "--unit", unit(1), "--unit", unit(2)});
        stopSims();
        EXPECT_EQ(code, 6) << out << err;
        EXPECT_EQ(out.find("Open update file failed!"), std::string::npos) << out;
        size_t row = out.find("\n" + unit(2) + " ");
        ASSERT_NE(row, std::string::npos) << out;
        size_t next = out.find('\n', row + 1);
        EXPECT_NE(out.substr(row, next - row).find("Update Failed!"), std::string::npos) << out;
        // The cause, whole, on the line under the failed row, then the next step.
        std::string under = out.substr(next + 1, out.find('\n', next + 1) - next - 1);
        EXPECT_EQ(under.find_first_not_of(' '), unit(2).size() + 2) << out;
        EXPECT_NE(under.find(c.cause), std::string::npos) << out;
        EXPECT_NE(under.find("run the same update"), std::string::npos) << out;
        // The fine unit has no such line; the board names the cause too.
        size_t fine = out.find("\n" + unit(1) + " ");
        ASSERT_NE(fine, std::string::npos) << out;
        EXPECT_EQ(out.find('\n', fine + 1), row) << out;
        EXPECT_NE(err.find(unit(2) + ": failed (6): " + c.cause), std::string::npos) << err;
    }
}

TEST_F(UpdateUnits, ABusyUnitIsReportedBusyAndTheOthersGoOn) {
    startSim(1);
    startSim(2);
    // This process holds unit 2, as another program would.
    QV_HidHandle* held = QV_Hid_open(utf8_to_wtext(unit(2)).c_str());
    ASSERT_NE(held, nullptr);
    int code =
        cli({"update", package, "--json", "--no-backup", "--unit", unit(1), "--unit", unit(2)});
    QV_Hid_close(held);
    EXPECT_EQ(code, 9) << out << err;
    nlohmann::json j = nlohmann::json::parse(out);
    EXPECT_EQ(j["ok"], false);
    EXPECT_EQ(j["error"]["code"], 9);
    ASSERT_EQ(j["units"].size(), 2u);
    EXPECT_EQ(j["units"][0]["ok"], true);
    EXPECT_EQ(j["units"][1]["unit"], unit(2));
    EXPECT_EQ(j["units"][1]["error"]["code"], 9);
    EXPECT_NE(j["units"][1]["error"]["text"].get<std::string>().find("in use by another program"),
              std::string::npos)
        << j;
    EXPECT_EQ(j["retry"], "trevik-cli update " + package + " --no-backup --unit " + unit(2));
}

TEST_F(UpdateUnits, TwoSignalsStopEveryUnit) {
    startSim(1, {"--delay-us", "1000"});
    startSim(2, {"--delay-us", "1000"});
    auto run = startCli({"update", package, "--no-backup", "--unit", unit(1), "--unit", unit(2)});
    // Both have begun writing before the signals come.
    for (int i = 0; i < 2000; ++i) {
        std::string e = read_text(tmp.path("cli.err"));
        if (e.find(unit(1) + ": updating") != std::string::npos &&
            e.find(unit(2) + ": updating") != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    run->signal(SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    run->signal(SIGINT);
    EXPECT_EQ(run->wait(), 8);
    out = read_text(tmp.path("cli.out"));
    err = read_text(tmp.path("cli.err"));
    EXPECT_NE(out.find("--unit " + unit(1) + " --unit " + unit(2) + "\n"), std::string::npos)
        << out;
    // Stopped by the user, not refused by the units.
    EXPECT_EQ((out + err).find("Update Failed!"), std::string::npos) << out << err;
    EXPECT_NE((out + err).find("The update was stopped"), std::string::npos) << out << err;
    EXPECT_NE(err.find(unit(1) + ": stopped by the user (8)\n"), std::string::npos) << err;
    std::vector<nlohmann::json> runs = history();
    ASSERT_EQ(runs.size(), 2u);
    for (const nlohmann::json& r : runs)
        EXPECT_EQ(r["result"], "interrupted") << r;
}

TEST_F(UpdateUnits, UsageAndNoUnit) {
    // One unit named two ways: by what it resolves to, it is one unit.
    std::filesystem::create_symlink(sock(1), tmp.path("link.sock"));
    std::string dotted = "socket:" + tmp.path("./u1.sock");
    std::string linked = "socket:" + tmp.path("link.sock");
    std::string hid_twice = "--unit hid:/dev/hidraw0 and --unit hid:/dev/../dev/hidraw0 name the "
                            "same unit; name each unit once";
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string text;
    } cases[] = {
        // Several units are named each; the first of many is no choice.
        {{"update", package, "--unit", "hid", "--unit", "socket:/nonexistent"}, 2, "name each"},
        {{"update", "--unit", "socket:/a", "--unit", "socket:/b"}, 2, "need a package FILE"},
        {{"update", package, "--unit", unit(1), "--unit", unit(2), "--unit", dotted},
         2,
         "--unit " + unit(1) + " and --unit " + dotted +
             " name the same unit; name each unit once"},
        {{"update", package, "--unit", linked, "--unit", unit(1)},
         2,
         "--unit " + linked + " and --unit " + unit(1) + " name the same unit"},
        {{"update", package, "--unit", unit(1), "--unit", unit(1)},
         2,
         "--unit " + unit(1) + " and --unit " + unit(1) + " name the same unit"},
        {{"update", package, "--unit", "hid:/dev/hidraw0", "--unit", "hid:/dev/../dev/hidraw0"},
         2,
         hid_twice},
    };
    // Served or not, a unit named twice is refused before it is opened.
    for (bool served : {false, true}) {
        if (served)
            startSim(1);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.text);
            EXPECT_EQ(cli(c.args), c.code) << err;
            EXPECT_NE(err.find(c.text), std::string::npos) << err;
            EXPECT_EQ(out.find("Retry"), std::string::npos) << out;
        }
    }
    EXPECT_TRUE(history().empty());
    // A socket nobody serves is a unit not found, for that unit alone.
    EXPECT_EQ(cli({"update", package, "--no-backup", "--unit", unit(1), "--unit", unit(9)}), 3)
        << out << err;
    EXPECT_NE(out.find("Retry the failed units: "), std::string::npos);
}

} // namespace

#endif

namespace {

// A sysfs tree: a root hub, a hub below it with the given protocol, and n
// units behind that hub, each with its hidraw node.
std::vector<std::string> make_tree(const std::string& root, const char* protocol, int n) {
    namespace fs = std::filesystem;
    auto put = [](const fs::path& p, const std::string& text) {
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text << "\n";
    };
    fs::path bus = fs::path(root) / "devices/pci0000:00/0000:00:14.0/usb1";
    put(bus / "bDeviceClass", "09");
    put(bus / "bDeviceProtocol", "01");
    fs::path hub = bus / "1-1";
    put(hub / "bDeviceClass", "09");
    put(hub / "bDeviceProtocol", protocol);
    put(hub / "product", "USB2.0 Hub");
    std::vector<std::string> nodes;
    for (int i = 0; i < n; ++i) {
        std::string port = "1-1." + std::to_string(i + 1);
        fs::path dev = hub / port;
        put(dev / "bDeviceClass", "00");
        fs::path hid = dev / (port + ":1.0") / ("0003:0416:B500.000" + std::to_string(i));
        std::string node = "hidraw" + std::to_string(i);
        fs::create_directories(hid / "hidraw" / node);
        fs::create_directories(fs::path(root) / "class/hidraw" / node);
        fs::create_symlink(hid, fs::path(root) / "class/hidraw" / node / "device");
        nodes.push_back("/dev/" + node);
    }
    return nodes;
}

TEST(UsbHubs, WarnsOfMoreUnitsThanOneSingleTtHubCarries) {
    struct Case {
        const char* protocol;
        int units;
        bool warned;
    } cases[] = {
        {"01", 6, false}, // six fit one translator
        {"01", 7, true},
        {"02", 8, false}, // a translator per port
        {"00", 8, false},
    };
    for (const Case& c : cases) {
        TempDir tmp;
        std::vector<std::string> nodes = make_tree(tmp.path("sys"), c.protocol, c.units);
        nodes.push_back("/dev/hidraw99"); // not in sysfs: left out
        std::vector<std::string> w = usb_single_tt_warnings(nodes, tmp.path("sys"));
        ASSERT_EQ(w.size(), c.warned ? 1u : 0u) << c.protocol << " " << c.units;
        if (c.warned) {
            EXPECT_NE(w[0].find(std::to_string(c.units) + " units"), std::string::npos) << w[0];
            EXPECT_NE(w[0].find("1-1 (USB2.0 Hub)"), std::string::npos) << w[0];
        }
    }
}

} // namespace

namespace {

// Units written at once each sum their scrambled data with a decoder of
// their own: a shared one gave wrong checksums, which the units refused.
TEST(UpdateUnitsAtOnce, ChecksumsOfScrambledDataOnSeveralThreads) {
    std::vector<uint8_t> data = pkg_pattern(200000, 7);
    const uint32_t alone = QV_unscrambledSum(data.data(), uint32_t(data.size()));
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i)
                if (QV_unscrambledSum(data.data(), uint32_t(data.size())) != alone)
                    ++wrong;
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(wrong, 0);
}

} // namespace
