// Sessions recorded at the report seam (trevik-cli --record) and replayed
// (--unit replay:FILE, trevik-cli replay) against an emulated unit served on
// a socket.
#if defined(TREVIK_CLI) && defined(TREVIK_SOURCE_DIR)

#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common_t73/QV_HidSession.h"
#include "tests/helpers/process.h"
#include "tools/unitsim/UnitSim.h"

namespace {

struct CliRun {
    int code = -1;
    std::string out, err;
};

std::vector<std::string> lines_of(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

void write_lines(const std::string& path, const std::vector<std::string>& lines) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const std::string& l : lines)
        out << l << "\n";
}

// The first line (from 1) where two sessions' events differ, pauses aside.
int first_different_line(const std::string& a, const std::string& b) {
    std::vector<std::string> la = lines_of(a), lb = lines_of(b);
    for (size_t i = 1; i < std::max(la.size(), lb.size()); ++i) {
        if (i >= la.size() || i >= lb.size())
            return int(i) + 1;
        nlohmann::json ja = nlohmann::json::parse(la[i]), jb = nlohmann::json::parse(lb[i]);
        ja.erase("ms");
        jb.erase("ms");
        if (ja != jb)
            return int(i) + 1;
    }
    return 0;
}

class SessionTest : public ::testing::Test {
  protected:
    std::string dir = testing::TempDir() + "session_" + std::to_string(::getpid()) + "/";
    std::string sock = dir + "unit.sock";
    std::string sample = std::string(TREVIK_SOURCE_DIR) + "/res/sample/sample.dqv";
    UnitSim unit{0x800000, 1046};
    std::vector<uint8_t> fresh;
    std::unique_ptr<UnitSimServer> server;

    void SetUp() override {
        ASSERT_EQ(std::system(("mkdir -p " + dir).c_str()), 0);
        UnitMainSetting ms;
        ms.placeRegions(false, 0x10000, 0x200000, 0xC8000, 0x400000, 0, 0);
        UnitServerSetting ss{"cmnet", "gps.example.com", "secretuser", "secretpass", 8080};
        unit.setMainSetting(false, ms, &ss);
        unit.setParamRecord(false, 3);
        unit.setClientId(false, "TREVIK-DEMO 4711");
        fresh = unit.flash();
        server = std::make_unique<UnitSimServer>(unit, sock);
        ASSERT_TRUE(server->start());
    }
    void TearDown() override {
        server->stop();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    // The unit as SetUp left it, for a second recording from the same state.
    void resetUnit() { unit.flash() = fresh; }

    // Runs trevik-cli in dir; shell runs first in the same shell (limits).
    // A run that hangs ends after 60 s as a failure.
    CliRun cli(const std::string& args, const std::string& shell = "") {
        CliRun r;
        std::string out = dir + "out", err = dir + "err";
        std::string cmd = "cd " + dir + " && " + shell + "LC_ALL=C.UTF-8 XDG_STATE_HOME=" + dir +
                          "state timeout 60 " + TREVIK_CLI + " " + args + " >" + out + " 2>" + err;
        int status = std::system(cmd.c_str());
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = read_text(out);
        r.err = read_text(err);
        return r;
    }
    std::string unitArg() const { return " --unit socket:" + sock; }
    std::string update(const std::string& choice) {
        return "update " + choice + " --no-backup " + sample;
    }
};

TEST_F(SessionTest, RecordedUpdateIsSmallAndReplaysWithoutChangingThePlainRun) {
    CliRun plain = cli("info" + unitArg());
    CliRun recorded = cli("--record " + dir + "info.jsonl info" + unitArg());
    EXPECT_EQ(recorded.code, plain.code);
    EXPECT_EQ(recorded.out, plain.out);
    EXPECT_EQ(recorded.err, plain.err);

    std::string s = dir + "s.jsonl";
    CliRun run = cli("--record " + s + unitArg() + " " + update("--national"));
    ASSERT_EQ(run.code, 0) << run.err;
    std::string text = read_text(s);
    EXPECT_LT(text.size(), 64u * 1024);
    // The data runs are one line each, however many reports they took.
    std::vector<std::string> lines = lines_of(s);
    EXPECT_LT(lines.size(), 100u);
    nlohmann::json header = nlohmann::json::parse(lines[0]);
    EXPECT_EQ(header["format"], "trevik-session");
    EXPECT_EQ(header["source"], "socket");
    EXPECT_EQ(header["command"], nlohmann::json({"update", "--national", "--no-backup", sample}));
    EXPECT_EQ(lines.back(), "{\"event\":\"end\",\"exit\":0}");

    CliRun replay = cli("replay " + s);
    EXPECT_EQ(replay.code, 0) << replay.err;
    EXPECT_EQ(replay.out, "replay agrees (" + std::to_string(lines.size() - 2) + " events)\n");
    CliRun json = cli("replay --json " + s);
    EXPECT_EQ(json.code, 0);
    EXPECT_EQ(nlohmann::json::parse(json.out)["events"], lines.size() - 2);
}

TEST_F(SessionTest, OneChangedByteOfAWriteNamesThatEvent) {
    std::string s = dir + "s.jsonl", bad = dir + "bad.jsonl";
    ASSERT_EQ(cli("--record " + s + unitArg() + " " + update("--national")).code, 0);
    std::vector<std::string> lines = lines_of(s);
    // The fourth single write: a read command for the records.
    int writes = 0;
    size_t at = 0;
    for (size_t i = 1; i < lines.size() && !at; ++i)
        if (lines[i].find("\"event\":\"write\"") != std::string::npos && ++writes == 4)
            at = i;
    ASSERT_NE(at, 0u);
    nlohmann::json e = nlohmann::json::parse(lines[at]);
    std::string hex = e["report"];
    hex[20] = hex[20] == '0' ? '1' : '0';
    e["report"] = hex;
    lines[at] = e.dump();
    write_lines(bad, lines);

    CliRun r = cli("replay " + bad);
    EXPECT_EQ(r.code, 6);
    EXPECT_NE(r.err.find("replay differs at event " + std::to_string(at) + " (line " +
                         std::to_string(at + 1) + ", write)"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("  expected " + hex.substr(0, 20)), std::string::npos) << r.err;
    // The mark stands under the changed byte (report byte 10), past "  expected ".
    EXPECT_NE(r.err.find("\n" + std::string(11 + 20, ' ') + "^^\n"), std::string::npos) << r.err;
}

// What the tool sends changed: the replay stops at the first event where a
// recording of the changed run differs, and says how.
TEST_F(SessionTest, AChangedRunFailsAtItsFirstDifferentEvent) {
    struct Case {
        const char* name;
        std::string recorded, changed;
    };
    const Case cases[] = {
        {"province choice", update("--national"), update("--provinces 0,2")},
        {"settings value", "settings set time_zone=3", "settings set time_zone=4"},
        {"gprs server", "settings set server=a.example.com", "settings set server=b.example.com"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string a = dir + "a.jsonl", b = dir + "b.jsonl";
        resetUnit();
        ASSERT_EQ(cli("--force --record " + a + unitArg() + " " + c.recorded).code, 0);
        resetUnit();
        ASSERT_EQ(cli("--force --record " + b + unitArg() + " " + c.changed).code, 0);
        int line = first_different_line(a, b);
        ASSERT_GT(line, 2);

        CliRun r = cli("--unit replay:" + a + " " + c.changed);
        EXPECT_EQ(r.code, 6);
        EXPECT_NE(r.err.find("replay differs at event " + std::to_string(line - 1) + " (line " +
                             std::to_string(line) + ", "),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("expected"), std::string::npos) << r.err;
    }
}

TEST_F(SessionTest, UnusedEventsAreADifference) {
    std::string s = dir + "s.jsonl";
    ASSERT_EQ(cli("--record " + s + unitArg() + " " + update("--national")).code, 0);
    // info does what the update does first, then closes the unit.
    CliRun r = cli("--unit replay:" + s + " info");
    EXPECT_EQ(r.code, 6);
    EXPECT_NE(r.err.find("replay ended early: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" events not used"), std::string::npos) << r.err;
}

TEST_F(SessionTest, RealtimeKeepsTheRecordedPauses) {
    std::string s = dir + "s.jsonl";
    ASSERT_EQ(cli("--record " + s + unitArg() + " info").code, 0);
    std::vector<std::string> lines = lines_of(s);
    nlohmann::json e = nlohmann::json::parse(lines[3]);
    ASSERT_EQ(e["event"], "read");
    e["ms"] = 400;
    lines[3] = e.dump();
    write_lines(s, lines);
    auto start = std::chrono::steady_clock::now();
    CliRun r = cli("replay --realtime " + s);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_GE(took, std::chrono::milliseconds(400));
}

TEST_F(SessionTest, BadSessionFilesAreRefusedWithTheirLine) {
    std::string s = dir + "s.jsonl";
    ASSERT_EQ(cli("--record " + s + unitArg() + " info").code, 0);
    std::vector<std::string> lines = lines_of(s);
    ASSERT_GT(lines.size(), 10u);
    nlohmann::json v2 = nlohmann::json::parse(lines[0]);
    v2["version"] = 2;
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        std::string cut; // written without its newline
        std::string expected;
    };
    std::vector<Case> cases = {
        {"other version", lines, "", "line 1: session format version 2"},
        {"not JSON", lines, "", "line 5: not a JSON object"},
        {"cut line", {lines.begin(), lines.begin() + 7}, lines[7].substr(0, 20), "line 8: "},
        {"no end line",
         {lines.begin(), lines.end() - 1},
         "",
         "line " + std::to_string(lines.size())},
        {"unknown event", lines, "", "line 3: unknown event \"poke\""},
    };
    cases[0].lines[0] = v2.dump();
    cases[1].lines[4] = "{\"event\":\"read\",";
    cases[4].lines[2] = "{\"event\":\"poke\",\"ms\":0}";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string bad = dir + "bad.jsonl";
        write_lines(bad, c.lines);
        if (!c.cut.empty())
            std::ofstream(bad, std::ios::app) << c.cut;
        for (const std::string& cmd : {"replay " + bad, "--unit replay:" + bad + " info"}) {
            CliRun r = cli(cmd);
            EXPECT_EQ(r.code, 2) << cmd;
            EXPECT_NE(r.err.find(bad + ": " + c.expected), std::string::npos) << r.err;
        }
    }
}

// The bytes the replay serves and compares: every read and write report.
std::string all_bytes(const Session& s) {
    std::string bytes;
    for (const SessionEvent& e : s.events) {
        bytes.append(e.report.begin(), e.report.end());
        bytes.append(e.data.begin(), e.data.end());
        bytes.append(e.first.begin(), e.first.end());
        bytes.append(e.last.begin(), e.last.end());
    }
    return bytes;
}

TEST_F(SessionTest, RedactedRecordingHoldsNoSecretsAndReplays) {
    struct Case {
        const char* name;
        std::string options, command;
        bool clientHidden;
    };
    const Case cases[] = {
        {"settings read", "", "settings --json", false},
        {"settings read, client hidden", " --redact-client", "settings --json", true},
        {"settings written back", " --redact-client", "settings set time_zone=2", true},
        {"gprs user set", "", "settings set user=newuser7 password=pw", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetUnit();
        std::string s = dir + "s.jsonl";
        ASSERT_EQ(cli("--force --record " + s + c.options + unitArg() + " " + c.command).code, 0);
        Session session;
        std::string error;
        ASSERT_EQ(QV_Session_load(s, &session, &error), 1) << error;
        std::string bytes = all_bytes(session) + read_text(s);
        for (const char* secret : {"secretuser", "secretpass", "newuser7"})
            EXPECT_EQ(bytes.find(secret), std::string::npos) << secret;
        EXPECT_NE(bytes.find("xxxxxxxxxx"), std::string::npos);
        EXPECT_EQ(bytes.find("TREVIK-DEMO 4711") == std::string::npos, c.clientHidden);
        // The brand the tool compares stays; the unit's own part is hidden.
        if (c.clientHidden) {
            EXPECT_NE(bytes.find("TREVIK-DEMO xxxx"), std::string::npos);
        }
        nlohmann::json header = nlohmann::json::parse(lines_of(s)[0]);
        EXPECT_EQ(header["redacted"].size(), c.clientHidden ? 3u : 2u);

        CliRun r = cli("replay " + s);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out.rfind("replay agrees", 0), 0u) << r.out;
    }
}

// A session file is the user's bug report, or anyone's: replaying it talks
// to the recorded unit and nothing else, and writes no file of the user's.
TEST_F(SessionTest, ReplayRefusesCommandsThatAreNotTheUnitsWithWhatItRefused) {
    std::string s = dir + "s.jsonl";
    ASSERT_EQ(cli("--record " + s + unitArg() + " info").code, 0);
    std::vector<std::string> lines = lines_of(s);
    struct Case {
        std::vector<std::string> command;
        std::string expected;
    };
    const Case cases[] = {
        {{"history"}, "the session's command \"history\" is not replayed"},
        {{"help"}, "the session's command \"help\" is not replayed"},
        {{"merge", sample, "--provinces", "0", "-o", "gps.bin"}, "command \"merge\" is not"},
        {{"--json", "list"}, "command \"list\" is not replayed"},
        {{}, "the session holds no command line to run"},
        {{"window"}, "a session of the window"},
        {{"info", "--unit", "hid"}, "names a unit of its own (--unit)"},
        {{"--unit=socket:" + sock, "info"}, "names a unit of its own (--unit=socket:"},
        {{"update", "--all", sample}, "reaches every attached unit (--all)"},
        {{"info", "--record", "taken.jsonl"}, "writes a recording of its own (--record)"},
        {{"--record=taken.jsonl", "info"}, "writes a recording of its own (--record=taken"},
        {{"info", "--help"}, "asks for the help, not the unit (--help)"},
        {{"-qh", "info"}, "asks for the help, not the unit (-qh)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(nlohmann::json(c.command).dump());
        nlohmann::json header = nlohmann::json::parse(lines[0]);
        header["command"] = c.command;
        lines[0] = header.dump();
        write_lines(s, lines);
        CliRun r = cli("replay " + s);
        EXPECT_EQ(r.code, 2) << r.err;
        EXPECT_NE(r.err.find(s + ": "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.expected), std::string::npos) << r.err;
        EXPECT_FALSE(std::filesystem::exists(dir + "taken.jsonl"));
        EXPECT_FALSE(std::filesystem::exists(dir + "gps.bin"));
    }
}

TEST_F(SessionTest, ReplayedDumpAndReadoutWriteTheirFileInTheReplaysOwnFolder) {
    for (const char* command : {"dump", "readout"}) {
        SCOPED_TRACE(command);
        std::string s = dir + command + ".jsonl", out = dir + command + ".out";
        ASSERT_EQ(cli("--record " + s + unitArg() + " " + command + " " + out).code, 0);
        ASSERT_FALSE(read_text(out).empty());
        // The file the session names is the user's by now.
        std::ofstream(out, std::ios::trunc) << "mine";
        CliRun r = cli("replay " + s);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out.rfind("replay agrees", 0), 0u) << r.out;
        std::string note = std::string(command) +
                           " writes its file in the replay's private folder; " + out +
                           " is left as it is";
        EXPECT_NE(r.err.find(note), std::string::npos) << r.err;
        EXPECT_EQ(read_text(out), "mine");
        // Nor is it made when it is not there.
        std::filesystem::remove(out);
        EXPECT_EQ(cli("replay -q " + s).code, 0);
        EXPECT_FALSE(std::filesystem::exists(out));
    }
}

// Where a recording may go: a new regular file, or one the user said may be
// replaced; never anything that blocks or swallows it.
TEST_F(SessionTest, RecordingTargetsThatCannotHoldARecordingAreRefusedAtOnce) {
    std::string fifo = dir + "fifo", existing = dir + "existing.jsonl";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(existing) << "an older recording\n";
    struct Case {
        std::string record;
        std::string expected;
    };
    const Case cases[] = {
        {"--record " + fifo, fifo + " is not a regular file (a FIFO)"},
        {"--record /dev/full", "/dev/full is not a regular file (a character device)"},
        {"--record " + dir, " is not a regular file (a folder)"},
        {"--record ''", "--record needs a FILE name, not an empty one"},
        {"--record=", "--record needs a FILE name, not an empty one"},
        {"--record " + existing,
         existing + " already exists; --force overwrites it, or give a new name"},
        {"--force", "--force goes with --record FILE"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.record);
        // A hang would hold the test: timeout ends it as a failure instead.
        CliRun r = cli(c.record + unitArg() + " info");
        EXPECT_EQ(r.code, 2) << r.err;
        EXPECT_NE(r.err.find(c.expected), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(read_text(existing), "an older recording\n");

    // Told to, the recording replaces the old one; either way only the
    // user may read it.
    ::chmod(existing.c_str(), 0644);
    for (const std::string& path : {existing, dir + "new.jsonl"}) {
        SCOPED_TRACE(path);
        CliRun r = cli("--record " + path + " --force" + unitArg() + " info");
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(lines_of(path).back(), "{\"event\":\"end\",\"exit\":0}");
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(cli("replay " + path).code, 0);
    }
}

TEST_F(SessionTest, ARecordingThatCouldNotBeWrittenIsSaidOnStandardErrorAndInTheJson) {
    // The file may grow to 2048 bytes (512-byte blocks); the recording of
    // info takes about 4 KB. The tool's own output stays below that.
    std::string s = dir + "s.jsonl";
    CliRun r = cli("--record " + s + unitArg() + " info --json", "ulimit -f 4; trap '' XFSZ; ");
    std::string warning = "The session recording could not be written: " + s + ": File too large";
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("Warning: " + warning + "\n"), std::string::npos) << r.err;
    nlohmann::json j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["ok"], true);
    EXPECT_EQ(j["warnings"], nlohmann::json({warning})) << r.out;
    EXPECT_EQ(j["client"], "TREVIK-DEMO 4711");
    // What was written is no whole recording, and no replay takes it for one.
    EXPECT_EQ(cli("replay " + s).code, 2);

    // A plain run with a recording has no warnings.
    CliRun plain = cli("--record " + dir + "whole.jsonl" + unitArg() + " info --json");
    EXPECT_FALSE(nlohmann::json::parse(plain.out).contains("warnings")) << plain.out;
}

} // namespace

#endif
