// trevik-cli on emulated units behind hidraw nodes (trevik-unit-testbed):
// the real hidapi path, udev enumeration, the node's lock and its
// permission, compared with the same runs over the emulator's socket.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/helpers/process.h"
#include "tests/helpers/temp_dir.h"

namespace {

const std::string SAMPLE = std::string(TREVIK_SOURCE_DIR) + "/res/sample/sample.dqv";

struct CliRun {
    int code = -1;
    std::string out, err;
};

std::string quoted(const std::vector<std::string>& words) {
    std::string cmd;
    for (const std::string& w : words)
        cmd += " '" + w + "'";
    return cmd;
}

CliRun run_shell(const TempDir& tmp, const std::string& cmd) {
    std::string full =
        cmd + " </dev/null >'" + tmp.path("run.out") + "' 2>'" + tmp.path("run.err") + "'";
    int status = std::system(full.c_str());
    CliRun r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = read_text(tmp.path("run.out"));
    r.err = read_text(tmp.path("run.err"));
    return r;
}

// trevik-cli ARGS in a testbed of units made with testbedArgs.
CliRun in_testbed(const TempDir& tmp, const std::vector<std::string>& testbedArgs,
                  const std::vector<std::string>& cliArgs) {
    std::vector<std::string> words = {TREVIK_UNIT_TESTBED};
    words.insert(words.end(), testbedArgs.begin(), testbedArgs.end());
    words.push_back("--");
    words.push_back(TREVIK_CLI);
    words.insert(words.end(), cliArgs.begin(), cliArgs.end());
    return run_shell(tmp, quoted(words));
}

// trevik-cli ARGS against trevik-unit-sim serving a unit made with simArgs.
CliRun over_socket(const TempDir& tmp, const std::vector<std::string>& simArgs,
                   const std::vector<std::string>& cliArgs) {
    std::string sock = tmp.path("unit.sock");
    std::vector<std::string> args = {TREVIK_UNIT_SIM, "--socket", sock};
    args.insert(args.end(), simArgs.begin(), simArgs.end());
    Spawned sim(args, "", "/dev/null");
    for (int i = 0; i < 500 && !std::filesystem::exists(sock); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::vector<std::string> words = {TREVIK_CLI, "--unit", "socket:" + sock};
    words.insert(words.end(), cliArgs.begin(), cliArgs.end());
    CliRun r = run_shell(tmp, quoted(words));
    sim.signal(SIGTERM); // saves the image
    sim.wait();
    return r;
}

std::string last_line(const std::string& text) {
    std::string t = text;
    while (!t.empty() && t.back() == '\n')
        t.pop_back();
    size_t nl = t.rfind('\n');
    std::string line = nl == std::string::npos ? t : t.substr(nl + 1);
    // Progress lines end with a carriage return and are overwritten.
    size_t cr = line.rfind('\r');
    return cr == std::string::npos ? line : line.substr(cr + 1);
}

TEST(HidrawCli, ListsEachUnitWithItsSerial) {
    TempDir tmp;
    CliRun r =
        in_testbed(tmp, {"--units", "3", "--serial", "A-1", "--serial", "B-2"}, {"list", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    auto j = nlohmann::json::parse(r.out);
    ASSERT_EQ(j["units"].size(), 3u) << r.out;
    const char* serials[] = {"A-1", "B-2", "SN0003"};
    for (int k = 0; k < 3; ++k) {
        const auto& u = j["units"][k];
        EXPECT_EQ(u["unit"], "hid:/dev/hidraw" + std::to_string(k));
        EXPECT_EQ(u["serial"], serials[k]);
        EXPECT_EQ(u["product"], "GPS unit");
        EXPECT_EQ(u["opened"], true);
        EXPECT_EQ(u["client"], "TREVIK-DEMO 0001");
    }
}

TEST(HidrawCli, InfoAsOverTheSocket) {
    TempDir tmp;
    CliRun hid = in_testbed(tmp, {"--layout", "502", "--boot", "1050"}, {"info"});
    CliRun sock = over_socket(tmp, {"--layout", "502", "--boot", "1050"}, {"info"});
    ASSERT_EQ(hid.code, 0) << hid.err;
    EXPECT_EQ(hid.out, sock.out);
    EXPECT_NE(hid.out.find("boot:1050"), std::string::npos) << hid.out;
}

// An update through the node leaves the flash the socket run leaves.
TEST(HidrawCli, UpdateWritesTheFlashTheSocketRunWrites) {
    const std::vector<std::vector<std::string>> choices = {{"--national"}, {"--provinces", "0,27"}};
    for (const auto& choice : choices) {
        SCOPED_TRACE(choice.back());
        TempDir tmp;
        std::vector<std::string> args = {"update", SAMPLE};
        args.insert(args.end(), choice.begin(), choice.end());
        args.push_back("--no-backup");
        CliRun hid = in_testbed(tmp, {"--image", tmp.path("hid.bin")}, args);
        CliRun sock = over_socket(tmp, {"--image", tmp.path("sock.bin")}, args);
        ASSERT_EQ(hid.code, 0) << hid.err;
        ASSERT_EQ(sock.code, 0) << sock.err;
        EXPECT_EQ(last_line(hid.out), "Update Successfully!");
        EXPECT_EQ(hid.out, sock.out);
        std::string a = read_text(tmp.path("hid.bin")), b = read_text(tmp.path("sock.bin"));
        ASSERT_EQ(a.size(), 0x800000u);
        size_t at = 0;
        while (at < a.size() && at < b.size() && a[at] == b[at])
            ++at;
        EXPECT_TRUE(a == b) << "the flash images differ from 0x" << std::hex << at << "\n"
                            << hid.err << "\n--- over the socket:\n"
                            << sock.err;

        std::vector<std::string> check = {"verify", SAMPLE};
        check.insert(check.end(), choice.begin(), choice.end());
        CliRun verify = in_testbed(tmp, {"--image", tmp.path("hid.bin")}, check);
        EXPECT_EQ(verify.code, 0) << verify.out << verify.err;
    }
}

TEST(HidrawCli, SettingsSetAndApply) {
    TempDir tmp;
    std::vector<std::string> unit = {"--image", tmp.path("unit.bin")};
    CliRun set = in_testbed(tmp, unit, {"settings", "set", "day_hour=6", "night_hour=20"});
    ASSERT_EQ(set.code, 0) << set.err;
    CliRun saved = in_testbed(tmp, unit, {"settings", "--json"});
    ASSERT_EQ(saved.code, 0) << saved.err;
    std::string file = tmp.path("settings.json");
    { std::ofstream(file) << saved.out; }
    auto before = nlohmann::json::parse(saved.out);
    CliRun back = in_testbed(tmp, unit, {"settings", "set", "day_hour=9"});
    ASSERT_EQ(back.code, 0) << back.err;
    CliRun apply = in_testbed(tmp, unit, {"settings", "apply", file});
    ASSERT_EQ(apply.code, 0) << apply.err;
    CliRun after = in_testbed(tmp, unit, {"settings", "--json"});
    ASSERT_EQ(after.code, 0) << after.err;
    EXPECT_EQ(nlohmann::json::parse(after.out), before);
    EXPECT_NE(after.out.find("\"daytime_start_hour\":6"), std::string::npos) << after.out;
}

// Each fault of the unit ends an update with the socket run's text and
// exit code.
TEST(HidrawCli, FaultsEndAsOverTheSocket) {
    const std::vector<std::vector<std::string>> faults = {
        {"--no-reply", "f3:3"},
        {"--bad-checksum", "f3:1"},
        {"--status", "f3:2:5"},
        {"--unplug-after", "400"},
    };
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault[0]);
        TempDir tmp;
        std::vector<std::string> args = {"update", SAMPLE, "--national", "--no-backup"};
        CliRun hid = in_testbed(tmp, fault, args);
        CliRun sock = over_socket(tmp, fault, args);
        EXPECT_EQ(hid.code, sock.code);
        EXPECT_EQ(hid.out, sock.out);
        EXPECT_EQ(last_line(hid.err), last_line(sock.err));
    }
}

// --unit hid:PATH reaches that unit alone: the second of three takes the
// new settings; its neighbours keep theirs.
TEST(HidrawCli, UnitOptionChoosesTheNode) {
    TempDir tmp;
    std::string image = tmp.path("unit.bin");
    std::vector<std::string> units = {"--units", "3", "--image", image};
    CliRun first = in_testbed(tmp, units, {"info"});
    ASSERT_EQ(first.code, 0) << first.err;
    std::string before = read_text(image);
    ASSERT_EQ(read_text(image + ".1"), before);
    CliRun set =
        in_testbed(tmp, units, {"--unit", "hid:/dev/hidraw1", "settings", "set", "day_hour=5"});
    ASSERT_EQ(set.code, 0) << set.err;
    EXPECT_TRUE(read_text(image) == before);
    EXPECT_FALSE(read_text(image + ".1") == before);
    EXPECT_TRUE(read_text(image + ".2") == before);
}

TEST(HidrawCli, UnreadableNodeIsRefusedWithTheRuleToInstall) {
    TempDir tmp;
    CliRun info = in_testbed(tmp, {"--unreadable", "0"}, {"info"});
    EXPECT_EQ(info.code, 4);
    EXPECT_NE(info.err.find("70-trevik-unit.rules"), std::string::npos) << info.err;
    CliRun list = in_testbed(tmp, {"--units", "2", "--unreadable", "1"}, {"list"});
    ASSERT_EQ(list.code, 0) << list.err;
    std::istringstream lines(list.out);
    std::string a, b;
    std::getline(lines, a);
    std::getline(lines, b);
    EXPECT_NE(a.find("client \"TREVIK-DEMO 0001\""), std::string::npos) << list.out;
    EXPECT_NE(b.find("hid:/dev/hidraw1"), std::string::npos) << list.out;
    EXPECT_NE(b.find("no permission to open"), std::string::npos) << list.out;
}

// A second program on a unit that an update holds: exit 9, the holder named.
TEST(HidrawCli, SecondProgramFindsTheUnitInUse) {
    TempDir tmp;
    std::string cli = "'" + std::string(TREVIK_CLI) + "'";
    std::string script = tmp.path("second.sh");
    std::ofstream(script) << cli << " update '" << SAMPLE
                          << "' --national --no-backup >/dev/null 2>&1 &\n"
                          << "sleep 0.5\n"
                          << "for i in 1 2 3 4 5 6 7 8 9 10; do\n"
                          << "  " << cli << " info; c=$?; [ $c = 9 ] && break; sleep 0.2\n"
                          << "done\nwait\nexit $c\n";
    CliRun r = run_shell(tmp, "'" + std::string(TREVIK_UNIT_TESTBED) + "' --delay-us 2000 -- sh '" +
                                  script + "'");
    EXPECT_EQ(r.code, 9) << r.err;
    EXPECT_NE(r.err.find("The unit is in use by another program (process "), std::string::npos)
        << r.err;
}

} // namespace

// A unit pulled out in the middle of an update: the update fails with the
// transfer's exit code and a "failed" history line; once the unit is back,
// the same update recovers it.
TEST(HidrawCli, PulledDuringAnUpdateAndRecovered) {
    TempDir tmp;
    std::string cli = "'" + std::string(TREVIK_CLI) + "'";
    std::string script = tmp.path("pull.sh");
    std::ofstream(script) << cli << " update '" << SAMPLE << "' --national --no-backup\n"
                          << "echo \"first $?\"\n"
                          << "sleep 1\n"
                          << cli << " update '" << SAMPLE << "' --national --no-backup\n"
                          << "echo \"second $?\"\n"
                          << cli << " history --json\n";
    CliRun r = run_shell(tmp, "'" + std::string(TREVIK_UNIT_TESTBED) +
                                  "' --delay-us 1000 --pull-after 1500 --replug-after 500 -- sh '" +
                                  script + "'");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("first 6\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Update Successfully!\nsecond 0\n"), std::string::npos) << r.out;
    std::string history = r.out.substr(r.out.find("second 0\n") + 9);
    auto j = nlohmann::json::parse(history, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << history;
    EXPECT_NE(history.find("\"failed\""), std::string::npos) << history;
    EXPECT_NE(history.find("\"succeeded\""), std::string::npos) << history;
}

namespace {

// trevik-cli ARGS in a testbed of two units with serials A-1 and B-2 whose
// flash lives in image (image, image.1), with a state directory of its own.
CliRun in_two_units(const TempDir& tmp, const std::vector<std::string>& cliArgs,
                    const std::vector<std::string>& more = {}) {
    std::vector<std::string> words = {TREVIK_UNIT_TESTBED, "--units",  "2",
                                      "--serial",          "A-1",      "--serial",
                                      "B-2",               "--image",  tmp.path("unit.bin")};
    words.insert(words.end(), more.begin(), more.end());
    words.push_back("--");
    words.push_back(TREVIK_CLI);
    words.insert(words.end(), cliArgs.begin(), cliArgs.end());
    return run_shell(tmp, "XDG_STATE_HOME='" + tmp.path("state") + "'" + quoted(words));
}

} // namespace

// With two units attached, a command that writes names its unit: without
// one it writes nothing and lists them; serial:SERIAL reaches that unit,
// whose serial the plan, the history and the retry line carry.
TEST(HidrawCli, WritingCommandsNameTheirUnitAmongSeveral) {
    TempDir tmp;
    std::string image = tmp.path("unit.bin");
    CliRun saved = in_two_units(tmp, {"settings", "--json"});
    ASSERT_EQ(saved.code, 0) << saved.err;
    std::string file = tmp.path("settings.json");
    { std::ofstream(file) << saved.out; }
    std::string a = read_text(image), b = read_text(image + ".1");
    ASSERT_FALSE(a.empty());

    const std::vector<std::vector<std::string>> writes = {
        {"update", SAMPLE, "--national", "--no-backup", "-y"},
        {"settings", "set", "day_hour=5"},
        {"settings", "apply", file},
    };
    for (const auto& args : writes) {
        SCOPED_TRACE(args[0] + " " + args[1]);
        CliRun r = in_two_units(tmp, args);
        EXPECT_EQ(r.code, 2) << r.err;
        EXPECT_NE(r.err.find("Several units are attached; name the one to write with --unit "
                             "serial:SERIAL (or --unit hid:/dev/hidrawN):\n"
                             "hid:/dev/hidraw0  serial \"A-1\"  product \"GPS unit\"  client "
                             "\"TREVIK-DEMO 0001\"  board \"T73A\"\n"
                             "hid:/dev/hidraw1  serial \"B-2\""),
                  std::string::npos)
            << r.err;
        EXPECT_TRUE(read_text(image) == a);
        EXPECT_TRUE(read_text(image + ".1") == b);
    }

    CliRun none = in_two_units(tmp, {"settings", "set", "day_hour=5", "--unit", "serial:C-3"});
    EXPECT_EQ(none.code, 3) << none.err;
    EXPECT_NE(none.err.find("No unit with the USB serial \"C-3\" is attached."), std::string::npos)
        << none.err;

    CliRun set = in_two_units(tmp, {"settings", "set", "day_hour=5", "--unit", "serial:B-2"});
    ASSERT_EQ(set.code, 0) << set.err;
    EXPECT_TRUE(read_text(image) == a);
    EXPECT_FALSE(read_text(image + ".1") == b);

    CliRun plan =
        in_two_units(tmp, {"update", SAMPLE, "--national", "--dry-run", "--unit", "serial:A-1"});
    ASSERT_EQ(plan.code, 0) << plan.err;
    EXPECT_EQ(plan.out.rfind("unit         hid:/dev/hidraw0  serial \"A-1\"  client \"TREVIK-DEMO "
                             "0001\"\n",
                             0),
              0u)
        << plan.out;

    CliRun update = in_two_units(
        tmp, {"update", SAMPLE, "--national", "--no-backup", "-y", "--unit", "serial:B-2"});
    ASSERT_EQ(update.code, 0) << update.err;
    EXPECT_TRUE(read_text(image) == a);
    std::ifstream history(tmp.path("state/trevik/history.jsonl"));
    std::string line;
    ASSERT_TRUE(std::getline(history, line));
    nlohmann::json e = nlohmann::json::parse(line);
    EXPECT_EQ(e["unit"]["serial"], "B-2") << line;
    EXPECT_EQ(e["unit"]["unit_path"], "/dev/hidraw1") << line;
    EXPECT_EQ(e["after"]["serial"], "B-2") << line;

    // Both units break off: the retry names them by serial, which a replug
    // keeps.
    CliRun all = in_two_units(tmp, {"update", SAMPLE, "--national", "--no-backup", "-y", "--all"},
                              {"--unplug-after", "400"});
    EXPECT_EQ(all.code, 6) << all.err;
    EXPECT_NE(all.out.find(" --national --no-backup -y --unit serial:A-1 --unit serial:B-2\n"),
              std::string::npos)
        << all.out;
}
