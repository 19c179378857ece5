// trevik-cli settings against an emulated unit served on a socket.
#include "config/records.h"
#include "tests/helpers/process.h"
#include "tools/unitsim/UnitSim.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>
#include <string>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {
struct CliRun {
    int exit_code = -1;
    std::string out;
};

CliRun run_cli(const std::string& args) {
    CliRun r;
    std::string cmd = std::string(TREVIK_CLI) + " " + args + " 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return r;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0)
        r.out.append(buf.data(), n);
    int status = pclose(p);
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

struct CliSettings : testing::Test {
    UnitSim sim;
    std::string path;
    std::unique_ptr<UnitSimServer> server;
    void SetUp() override {
        char dir[] = "/tmp/trevik-cli-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        path = std::string(dir) + "/unit.sock";
        UnitMainSetting ms;
        ms.placeRegions(false, 0x10000, 0x200000, 0xC8000, 0x400000, 0, 0);
        UnitServerSetting ss{"cmnet", "192.0.2.5", "u", "p", 8080};
        sim.setMainSetting(false, ms, &ss);
        sim.setParamRecord(false, 4);
        server = std::make_unique<UnitSimServer>(sim, path);
        ASSERT_TRUE(server->start());
    }
    void TearDown() override {
        server->stop();
        server.reset();
        std::error_code ec;
        std::filesystem::remove_all(path.substr(0, path.rfind('/')), ec);
    }
    std::string unit() { return " --unit socket:" + path; }
};
} // namespace

TEST_F(CliSettings, PrintsTheDialogsView) {
    CliRun r = run_cli("settings --json" + unit());
    ASSERT_EQ(r.exit_code, 0);
    // One compact object, opened by "ok".
    EXPECT_EQ(r.out.rfind("{\"ok\":true,\"caption\":", 0), 0u) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    EXPECT_NE(r.out.find("\"kind\":4"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"unit_apn\":\"cmnet\""), std::string::npos);
    EXPECT_NE(r.out.find("\"port\":\"8080\""), std::string::npos);
    EXPECT_EQ(r.out.find("[QV_Machine]"), std::string::npos); // log lines stay off stdout
    CliRun pretty = run_cli("settings --json --pretty" + unit());
    EXPECT_NE(pretty.out.find("\n  \"kind\": 4,\n"), std::string::npos) << pretty.out;
}

TEST_F(CliSettings, SetWritesLikeTheSettingButton) {
    CliRun r =
        run_cli("settings set day_hour=9 time_zone=-3 carrier=Orange/Amena band.0=0" + unit());
    ASSERT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "Configuration success!\n");
    const uint8_t* p = sim.flash().data() + unit_param_address(false);
    EXPECT_EQ(param_record_kind(p), 4);
    EXPECT_EQ(p[P35_OFF_DAY_HOUR], 9);
    EXPECT_EQ(p[P35_OFF_TIME_ZONE], 0xFD);
    EXPECT_EQ(p[P35_OFF_BANDS], 0);
    const uint8_t* block = sim.flash().data() + unit_main_setting_address(false);
    EXPECT_TRUE(server_settings_half_valid(block + 256));
    EXPECT_EQ(0, std::memcmp(block + 260 + SS_OFF_APN, "orangeworld", 12));
    EXPECT_EQ(rec_u32(block + 260 + SS_OFF_PORT), 8080u);
}

TEST_F(CliSettings, RefusalsWriteNothing) {
    std::vector<uint8_t> before = sim.flash();
    struct Case {
        std::string args;
        int code;
    } cases[] = {
        {"settings set apn=" + std::string(50, 'a'), 1}, // the dialog's APN limit
        {"settings set day_hour=nine", 1},
        {"settings set port=99", 1},          // not changeable on this kind
        {"settings set band.40=1", 1},        // no such band
        {"settings set carrier=16 apn=x", 1}, // locked by the carrier
        {"settings set volume=3", 2},
    };
    for (auto& c : cases) {
        CliRun r = run_cli(c.args + unit());
        EXPECT_EQ(r.exit_code, c.code) << c.args;
        EXPECT_EQ(r.out, "") << c.args;
    }
    EXPECT_TRUE(sim.flash() == before);
}

TEST_F(CliSettings, UninitialisedUnitIsRefused) {
    // An erased parameter record matches no kind.
    std::fill_n(sim.flash().begin() + unit_param_address(false), 256, 0xFF);
    std::vector<uint8_t> before = sim.flash();
    EXPECT_EQ(run_cli("settings" + unit()).exit_code, 1);
    CliRun r = run_cli("settings set day_hour=5" + unit());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(sim.flash() == before);
}

namespace {
// Standard error of a run (standard output dropped) and its exit code.
CliRun run_cli_stderr(const std::string& args) {
    CliRun r;
    std::string cmd = std::string(TREVIK_CLI) + " " + args + " 2>&1 >/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return r;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0)
        r.out.append(buf.data(), n);
    int status = pclose(p);
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::vector<uint8_t> without_param(const std::vector<uint8_t>& flash) {
    std::vector<uint8_t> out(flash);
    std::fill_n(out.begin() + unit_param_address(false), 256, 0);
    return out;
}
} // namespace

TEST_F(CliSettings, ValuesTheDialogCannotProduceAreRefusedByName) {
    sim.setParamRecord(false, 3); // server and port are changeable on kind 3
    std::vector<uint8_t> before = sim.flash();
    struct Case {
        std::string arg, message;
    } cases[] = {
        {"port=8080x", "port: \"8080x\" is not allowed; give a number from 1 to 65535"},
        {"port=-1", "port: \"-1\" is not allowed; give a number from 1 to 65535"},
        {"port=99999", "port: \"99999\" is not allowed; give a number from 1 to 65535"},
        {"time_zone=99", "time_zone: \"99\" is not allowed; give a whole hour from -12 to 13"},
        {"day_hour=25", "day_hour: \"25\" is not allowed; give a whole hour from 3 to 10"},
        {"night_hour=-1", "night_hour: \"-1\" is not allowed; give a whole hour from 15 to 23"},
        {"twelve_hour=2", "twelve_hour: give 1 or 0"},
    };
    for (const Case& c : cases) {
        CliRun r = run_cli_stderr("settings set " + c.arg + unit());
        EXPECT_EQ(r.exit_code, 1) << c.arg;
        EXPECT_NE(r.out.find(c.message + "\n"), std::string::npos) << c.arg << ": " << r.out;
    }
    EXPECT_TRUE(sim.flash() == before);
}

TEST_F(CliSettings, TwelveHourClockIsShownAndSet) {
    CliRun shown = run_cli("settings --json" + unit());
    EXPECT_NE(shown.out.find("\"twelve_hour_clock\":false"), std::string::npos) << shown.out;
    ASSERT_EQ(run_cli("settings set twelve_hour=1" + unit()).exit_code, 0);
    const uint8_t* p = sim.flash().data() + unit_param_address(false);
    EXPECT_EQ(p[P35_OFF_FLAGS] & PARAM_FLAG_12_HOUR, PARAM_FLAG_12_HOUR);
    shown = run_cli("settings --json" + unit());
    EXPECT_NE(shown.out.find("\"twelve_hour_clock\":true"), std::string::npos) << shown.out;
}

TEST_F(CliSettings, GprsFieldsChangeOnlyWhenAGprsKeyIsGiven) {
    // The unit's APN "cmnet" is in no carrier row: it is its own entry.
    CliRun shown = run_cli("settings --json" + unit());
    EXPECT_NE(shown.out.find("\"carrier\":\"cmnet\""), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("\"carrier_row\":null"), std::string::npos) << shown.out;
    const uint32_t block = unit_main_setting_address(false);
    std::vector<uint8_t> before(sim.flash().begin() + block, sim.flash().begin() + block + 512);
    ASSERT_EQ(run_cli("settings set day_hour=8 band.2=1" + unit()).exit_code, 0);
    EXPECT_EQ(std::vector<uint8_t>(sim.flash().begin() + block, sim.flash().begin() + block + 512),
              before);

    ASSERT_EQ(run_cli("settings set user=someone" + unit()).exit_code, 0);
    const uint8_t* ss = sim.flash().data() + block + 260;
    EXPECT_EQ(0, std::memcmp(ss + SS_OFF_APN, "cmnet\0", 6));
    EXPECT_EQ(0, std::memcmp(ss + SS_OFF_USER, "someone\0", 8));
    EXPECT_EQ(0, std::memcmp(ss + SS_OFF_PASSWORD, "p\0", 2));
}

TEST_F(CliSettings, UnitWithoutMainSettingGetsOnlyItsParameterRecord) {
    // The old layout: radar-mute data where the block would lie.
    std::fill_n(sim.flash().begin() + 0x16000, 512, 0xFF);
    std::fill_n(sim.flash().begin() + 0x1E000, 512, 0xFF);
    sim.setRadarMuteHeader(0x16000, 1699920000);
    sim.setParamRecord(false, 3);
    std::vector<uint8_t> before = sim.flash();
    CliRun r = run_cli("settings set time_zone=9 --yes" + unit());
    ASSERT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "Configuration success!\n");
    EXPECT_TRUE(without_param(sim.flash()) == without_param(before));
    EXPECT_EQ(sim.flash()[unit_param_address(false) + P35_OFF_TIME_ZONE], 9);
}

TEST_F(CliSettings, LostReplyOnTheBlockWritesNothing) {
    sim.addFault({UnitFault::NoReply, 0xF2, 0});
    std::vector<uint8_t> before = sim.flash();
    CliRun r = run_cli_stderr("settings set time_zone=9 --yes" + unit());
    EXPECT_EQ(r.exit_code, 6);
    EXPECT_NE(r.out.find("Configuration failed!\n"), std::string::npos) << r.out;
    EXPECT_TRUE(sim.flash() == before);
}

namespace {
// The unit's settings as settings --json prints them, with changes.
std::string settings_file(const std::string& dir, const std::string& name,
                          const std::string& json) {
    std::string path = dir + "/" + name;
    FILE* f = std::fopen(path.c_str(), "w");
    if (f) {
        std::fputs(json.c_str(), f);
        std::fclose(f);
    }
    return path;
}
} // namespace

// A character the unit's code page (GBK) has no place for would reach the
// unit as '?': it is refused by name and nothing is written.
TEST_F(CliSettings, CharactersTheUnitsCodePageLacksAreRefusedByName) {
    std::string dir = path.substr(0, path.rfind('/'));
    CliRun shown = run_cli("settings --json" + unit());
    std::string emoji = "\xF0\x9F\x98\x80"; // U+1F600
    std::string y_umlaut = "\xC3\xBF";      // U+00FF, not in GBK
    std::string applied = shown.out;
    applied.replace(applied.find("\"apn\":\"cmnet\""), 13, "\"apn\":\"ap" + emoji + "n\"");
    std::string file = settings_file(dir, "emoji.json", applied);
    std::vector<uint8_t> before = sim.flash();
    struct Case {
        std::string args, message;
    } cases[] = {
        {"settings set 'apn=ap" + emoji + "n' 'user=" + y_umlaut + "\xC3\xBC'",
         "apn: \"" + emoji +
             "\" cannot be stored: the unit's code page (GBK) has no such "
             "character"},
        {"settings set 'user=" + y_umlaut + "\xC3\xBC'",
         "user: \"" + y_umlaut +
             "\" cannot be stored: the unit's code page (GBK) has no such "
             "character"},
        {"settings apply " + file, "apn: \"" + emoji + "\" cannot be stored"},
    };
    for (const Case& c : cases) {
        CliRun r = run_cli_stderr(c.args + unit());
        EXPECT_EQ(r.exit_code, 1) << c.args;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << c.args << ": " << r.out;
        EXPECT_EQ(r.out.find("Configuration success!"), std::string::npos) << r.out;
    }
    EXPECT_TRUE(sim.flash() == before);
    // What GBK holds goes in unchanged.
    ASSERT_EQ(run_cli("settings set 'user=\xC3\xBC\xE4\xB8\xAD'" + unit()).exit_code, 0);
    const uint8_t* ss = sim.flash().data() + unit_main_setting_address(false) + 260;
    EXPECT_EQ(0, std::memcmp(ss + SS_OFF_USER, "\xA8\xB9\xD6\xD0\0", 5));
}

// Values of a type settings --json never writes there are named as not
// applied and fail the run; the others still go in.
TEST_F(CliSettings, ApplyNamesValuesOfTheWrongType) {
    std::string dir = path.substr(0, path.rfind('/'));
    std::string json = run_cli("settings --json" + unit()).out;
    struct Case {
        std::string from, to, message;
    } cases[] = {
        {"\"time_zone\":8", "\"time_zone\":3.0", "time_zone: 3.0 is not a whole number"},
        {"\"time_zone\":8", "\"time_zone\":1e30", "time_zone: 1e+30 is not a whole number"},
        {"\"enabled\":true", "\"enabled\":\"0\"", "bands[0].enabled: \"0\" is not true or false"},
        {"\"daytime_start_hour\":7", "\"daytime_start_hour\":true",
         "daytime_start_hour: true is not a whole number"},
        {"\"user\":\"u\"", "\"user\":5", "gprs.user: 5 is not a text"},
        {"\"time_zone\":8", "\"time_zone\":\"3\"", "time_zone: \"3\" is not a whole number"},
    };
    for (const Case& c : cases) {
        std::string text = json;
        size_t at = text.find(c.from);
        ASSERT_NE(at, std::string::npos) << c.from << " in " << text;
        text.replace(at, c.from.size(), c.to);
        std::string file = settings_file(dir, "typed.json", text);
        CliRun r = run_cli_stderr("settings apply " + file + unit());
        EXPECT_EQ(r.exit_code, 1) << c.to;
        EXPECT_NE(r.out.find("not applied: " + c.message + "\n"), std::string::npos)
            << c.to << ": " << r.out;
    }
}

// What the file holds of the settings decides the failure's object: the
// keys written and the refusals.
TEST_F(CliSettings, PartialApplySaysWhatWasWritten) {
    std::string dir = path.substr(0, path.rfind('/'));
    std::string json = run_cli("settings --json" + unit()).out;
    json.replace(json.find("\"time_zone\":8"), 13, "\"time_zone\":4");
    json.replace(json.find("\"daytime_start_hour\":7"), 22, "\"daytime_start_hour\":99");
    std::string file = settings_file(dir, "part.json", json);
    CliRun r = run_cli("settings apply --json " + file + unit());
    EXPECT_EQ(r.exit_code, 1) << r.out;
    nlohmann::json j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["ok"], false);
    EXPECT_EQ(j["written"], true);
    std::vector<std::string> applied = j["applied"];
    EXPECT_NE(std::find(applied.begin(), applied.end(), "time_zone"), applied.end()) << r.out;
    EXPECT_EQ(std::find(applied.begin(), applied.end(), "daytime_start_hour"), applied.end());
    ASSERT_EQ(j["not_applied"].size(), 1u) << r.out;
    EXPECT_EQ(sim.flash()[unit_param_address(false) + P35_OFF_TIME_ZONE], 4);
}

// Only a regular file (or the settings.json of a backup folder) is read,
// and only so much of it: no hang on a FIFO, no endless read of a device.
TEST_F(CliSettings, ApplyReadsOnlyARegularFileOfBoundedSize) {
    std::string dir = path.substr(0, path.rfind('/'));
    std::string json = run_cli("settings --json" + unit()).out;
    std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string empty = dir + "/empty";
    ASSERT_EQ(mkdir(empty.c_str(), 0700), 0);
    std::string big = settings_file(dir, "big.json", json + std::string(100 * 1024, ' '));
    std::vector<uint8_t> before = sim.flash();
    struct Case {
        std::string file;
        int code;
        std::string message;
    } cases[] = {
        {"/dev/zero", 2, "/dev/zero is not a regular file"},
        {fifo, 2, fifo + " is not a regular file"},
        {empty, 1, empty + " is a folder without a settings.json"},
        {big, 1, big + " is too large for a settings.json"},
        {dir + "/absent.json", 1, dir + "/absent.json: No such file or directory"},
    };
    for (const Case& c : cases) {
        CliRun r = run_cli_stderr("settings apply " + c.file + unit());
        EXPECT_EQ(r.exit_code, c.code) << c.file << ": " << r.out;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << c.file << ": " << r.out;
    }
    EXPECT_TRUE(sim.flash() == before);
    // A backup folder stands for its settings.json.
    std::string backup = dir + "/20261210T130522Z-TREVIK";
    ASSERT_EQ(mkdir(backup.c_str(), 0700), 0);
    json.replace(json.find("\"time_zone\":8"), 13, "\"time_zone\":5");
    settings_file(backup, "settings.json", json);
    CliRun r = run_cli("settings apply " + backup + unit());
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(sim.flash()[unit_param_address(false) + P35_OFF_TIME_ZONE], 5);
}

namespace {
// n times 中 (UTF-8), two bytes each in the unit's code page.
std::string zh(int n) {
    std::string s;
    for (int i = 0; i < n; ++i)
        s += "\xE4\xB8\xAD";
    return s;
}
} // namespace

// The unit counts its texts in bytes of its code page: a value longer than
// the field holds is refused by name before anything is written, never cut.
TEST_F(CliSettings, TextsLongerThanTheUnitHoldsAreRefusedWhole) {
    std::string dir = path.substr(0, path.rfind('/'));
    std::string json = run_cli("settings --json" + unit()).out;
    json.replace(json.find("\"time_zone\":8"), 13, "\"time_zone\":4");
    json.replace(json.find("\"apn\":\"cmnet\""), 13, "\"apn\":\"" + zh(26) + "\"");
    std::string file = settings_file(dir, "long.json", json);
    std::vector<uint8_t> before = sim.flash();
    auto limit = [](const std::string& key, const std::string& value, int bytes) {
        return key + ": \"" + value + "\" takes " + std::to_string(bytes) +
               " bytes in the unit's code page (GBK), the unit holds at most 49";
    };
    struct Case {
        std::string args, message;
    } cases[] = {
        {"settings set time_zone=4 apn=" + zh(26), limit("apn", zh(26), 52) + "\n"},
        {"settings set user=" + zh(25), limit("user", zh(25), 50) + "\n"},
        {"settings set password=ab" + zh(24), limit("password", "ab" + zh(24), 50) + "\n"},
        {"settings apply " + file,
         limit("apn", zh(26), 52) + "; nothing of " + file + " was applied\n"},
    };
    for (const Case& c : cases) {
        CliRun r = run_cli_stderr(c.args + unit());
        EXPECT_EQ(r.exit_code, 1) << c.args;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << c.args << ": " << r.out;
        EXPECT_EQ(r.out.find("Configuration success!"), std::string::npos) << r.out;
    }
    EXPECT_TRUE(sim.flash() == before);
    // 49 bytes are taken whole.
    ASSERT_EQ(run_cli("settings set user=a" + zh(24) + unit()).exit_code, 0);
    const uint8_t* ss = sim.flash().data() + unit_main_setting_address(false) + 260;
    EXPECT_EQ(0, std::memcmp(ss + SS_OFF_USER, "a\xD6\xD0", 3));
    EXPECT_EQ(ss[SS_OFF_USER + 48], 0xD0);
    EXPECT_EQ(ss[SS_OFF_USER + 49], 0);
}

// A band entry goes to the band its key names, wherever it stands in the
// list; a band named twice is named as not applied.
TEST_F(CliSettings, ApplySetsTheBandItsKeyNames) {
    std::string dir = path.substr(0, path.rfind('/'));
    nlohmann::json j = nlohmann::json::parse(run_cli("settings --json" + unit()).out);
    ASSERT_GE(j["bands"].size(), 6u);
    ASSERT_EQ(j["bands"][0]["enabled"], true);
    ASSERT_EQ(j["bands"][5]["enabled"], true);
    nlohmann::json band5 = j["bands"][5];
    band5["enabled"] = false;
    nlohmann::json file = j;
    file["bands"] = nlohmann::json::array({band5});
    CliRun r = run_cli_stderr("settings apply " + settings_file(dir, "b5.json", file.dump()) +
                              unit());
    EXPECT_EQ(r.exit_code, 0) << r.out;
    nlohmann::json after = nlohmann::json::parse(run_cli("settings --json" + unit()).out);
    EXPECT_EQ(after["bands"][5]["enabled"], false);
    EXPECT_EQ(after["bands"][0]["enabled"], true);

    // band.5 twice, band.0 off: band.0 goes in, band.5 is named.
    nlohmann::json band0 = j["bands"][0];
    band0["enabled"] = false;
    band5["enabled"] = true;
    file["bands"] = nlohmann::json::array({band5, band0, band5});
    r = run_cli_stderr("settings apply " + settings_file(dir, "b55.json", file.dump()) + unit());
    EXPECT_EQ(r.exit_code, 1) << r.out;
    EXPECT_NE(r.out.find("not applied: bands[0].key: \"band.5\" is named by more than one "
                         "entry, none of which is applied\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("not applied: bands[2].key: \"band.5\""), std::string::npos) << r.out;
    after = nlohmann::json::parse(run_cli("settings --json" + unit()).out);
    EXPECT_EQ(after["bands"][5]["enabled"], false);
    EXPECT_EQ(after["bands"][0]["enabled"], false);
}

namespace {
// Host reports the unit takes before a `settings set` run's first erase or
// write command (none of the host's reports before it carry data).
long reports_before_first_write(const UnitSim& sim) {
    long n = 0;
    for (const UnitReport& r : sim.reportLog()) {
        if (!r.fromHost)
            continue;
        if (r.bytes[1] == 0xF1 || r.bytes[1] == 0xF3)
            return n;
        ++n;
    }
    return -1;
}
} // namespace

// A signal during `settings set` ends it between whole records and says what
// was written (exit 8); a second one stops the record being written at once.
TEST_F(CliSettings, SignalsEndSetAtARecordBoundary) {
    std::string dir = path.substr(0, path.rfind('/'));
    const std::vector<uint8_t> start = sim.flash();
    // Where the writes begin, from a run of the same command.
    sim.logReports(true);
    ASSERT_EQ(run_cli("settings set time_zone=3 user=bob" + unit()).exit_code, 0);
    sim.logReports(false);
    long first_write = reports_before_first_write(sim);
    ASSERT_GT(first_write, 0);
    struct Case {
        std::vector<int> signals;
        std::string said, report;
        int param_kind, time_zone;
    } cases[] = {
        {{SIGTERM},
         "Stopping once the record being written is whole; the settings not written by then "
         "stay as they were. Send the signal again within 5 seconds to stop at once.\n",
         "The settings were stopped: written: the parameter record (time_zone); not written: "
         "the main-setting block (user).\n",
         4, 3},
        {{SIGINT, SIGTERM},
         "Stopping at the next report; the record being written stays incomplete.\n",
         "The settings were stopped: broken off (the unit may hold it incomplete): the parameter "
         "record (time_zone); not written: the main-setting block (user).\n",
         4, 8}, // the emulated unit stores a write only once it is whole
    };
    // One report every 12 ms: the parameter record's write takes about 60
    // after its command.
    sim.setReportDelayUs(12000);
    for (const Case& c : cases) {
        sim.flash() = start;
        uint64_t base = sim.reportsIn();
        Spawned run({TREVIK_CLI, "settings", "set", "time_zone=3", "user=bob", "--unit",
                     "socket:" + path},
                    dir + "/out", dir + "/err");
        for (int i = 0; i < 20000 && sim.reportsIn() < base + uint64_t(first_write) + 1; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        for (int sig : c.signals)
            run.signal(sig);
        EXPECT_EQ(run.wait(), 8);
        std::string err = read_text(dir + "/err");
        EXPECT_NE(err.find(c.said), std::string::npos) << err;
        EXPECT_NE(err.find(c.report), std::string::npos) << err;
        EXPECT_EQ(read_text(dir + "/out"), "");
        const uint8_t* p = sim.flash().data() + unit_param_address(false);
        EXPECT_EQ(param_record_kind(p), c.param_kind) << err;
        EXPECT_EQ(p[P35_OFF_TIME_ZONE], c.time_zone);
        // The server settings were never begun.
        const uint8_t* ss = sim.flash().data() + unit_main_setting_address(false) + 260;
        EXPECT_EQ(0, std::memcmp(ss + SS_OFF_USER, "u\0", 2)) << err;
    }
}

// A unit that cannot identify its radar module: the radar question is
// answered by --default-radar, or by -y/--yes, which write without asking;
// nobody at a terminal and neither option: nothing is written.
TEST_F(CliSettings, UnidentifiedRadarModuleIsAnsweredByItsOwnOptionOrByYes) {
    struct Case {
        const char* options;
        int exit_code;
        bool written;
    };
    const Case cases[] = {
        {"", 1, false},
        {" --default-radar", 0, true},
        {" -y", 0, true},
        {" --yes", 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        auto record = unit_param_record(4);
        record[P35_OFF_RADAR_TYPE] = 0xFF; // not identified
        ASSERT_TRUE(unit_param_seal(record.data(), 4));
        sim.putParamRecord(false, record.data());
        CliRun r = run_cli_stderr(std::string("settings set time_zone=9") + c.options + unit());
        EXPECT_EQ(r.exit_code, c.exit_code) << r.out;
        EXPECT_EQ(sim.flash()[unit_param_address(false) + P35_OFF_TIME_ZONE] == 9, c.written);
        if (!c.written) {
            EXPECT_NE(r.out.find("(not confirmed: pass --default-radar to go on)"),
                      std::string::npos)
                << r.out;
        }
    }
}

// The help of settings names every key (and its name in --json); set and
// apply say they take --json, -y and --default-radar.
TEST_F(CliSettings, HelpListsTheKeysAndTheOptionsOfTheWritingCommands) {
    std::string help = run_cli("settings --help").out;
    for (const char* text : {"Keys (KEY=VALUE", "  band.N", "  freq_display", "  twelve_hour",
                             "  time_zone", "  day_hour", "  night_hour", "  carrier",
                             "  apn", "  user", "  password", "  server", "  port",
                             "nighttime_start_hour", "carrier_row", "Exit codes:"})
        EXPECT_NE(help.find(text), std::string::npos) << text << "\n" << help;
    for (const char* command : {"settings set --help", "settings apply --help"}) {
        std::string sub = run_cli(command).out;
        for (const char* option : {"--json", "--pretty", "-y,--yes", "--default-radar"})
            EXPECT_NE(sub.find(option), std::string::npos) << command << ": " << option;
    }
}
