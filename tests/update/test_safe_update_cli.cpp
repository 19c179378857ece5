// End to end: trevik-cli update, verify and history against trevik-unit-sim
// on a socket, with a second signal stopping a slow write.
#include "tests/update/update_fixture.h"
#include "tests/helpers/process.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "trevik_version.h"

using namespace update_test;

#if defined(TREVIK_CLI) && defined(TREVIK_UNIT_SIM)

namespace {

// trevik-cli on a terminal of its own: the answer is typed once the
// question shows. Returns the exit code (-1 when it did not exit) and puts
// what the terminal showed in shown. Standard input, output and error
// go to the named files instead where given ("/dev/null" for input).
struct Redirect {
    std::string in, out, err;
};
int run_on_terminal(std::vector<std::string> args, const std::string& question,
                    const std::string& answer, std::string* shown, const Redirect& to = {}) {
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid < 0)
        return -1;
    if (pid == 0) {
        const std::pair<int, const std::string*> streams[] = {{0, &to.in}, {1, &to.out}, {2, &to.err}};
        for (const auto& [fd, path] : streams) {
            int f = path->empty() ? -1
                    : fd == 0     ? open(path->c_str(), O_RDONLY)
                                  : open(path->c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (f >= 0)
                dup2(f, fd);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    bool answered = false;
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 20000) <= 0)
            break; // no more output within the limit: the program hangs
        char buf[512];
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0)
            break; // the program ended and closed the terminal
        shown->append(buf, size_t(n));
        if (!answered && shown->find(question) != std::string::npos) {
            answered = true;
            std::string line = answer + "\n";
            if (write(master, line.data(), line.size()) != ssize_t(line.size()))
                break;
        }
    }
    // The terminal closes a moment before the program has exited, or at
    // once when none of its streams is the terminal: it stays open (its
    // hang-up would end the program) until the program is done.
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 2000 && done == 0; ++i) {
        done = waitpid(pid, &status, WNOHANG);
        if (done == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    close(master);
    if (done == 0) { // still running after 20 s: it hangs
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return done == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// trevik-cli with standard output and error into one pipe whose reader
// takes the first `keep` bytes and goes away, as `| head -c` does. Returns
// the exit code, or 128 + the signal that ended it.
int run_into_closing_pipe(std::vector<std::string> args, size_t keep) {
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 2);
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    if (spawned != 0) {
        close(fds[0]);
        return -1;
    }
    size_t got = 0;
    char buf[64];
    while (got < keep) {
        ssize_t n = read(fds[0], buf, std::min(sizeof buf, keep - got));
        if (n <= 0)
            break;
        got += size_t(n);
    }
    close(fds[0]);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// trevik-cli under a file-size limit of limit bytes (ulimit -f), its
// standard output and error into one pipe (a pipe has no size limit) that
// *shown collects. Returns the exit code, or 128 + the signal that ended it.
int run_with_file_limit(std::vector<std::string> args, rlim_t limit, std::string* shown) {
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        rlimit r{limit, limit};
        setrlimit(RLIMIT_FSIZE, &r);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    for (;;) {
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, 30000) <= 0)
            break; // nothing for 30 s: it hangs
        char buf[512];
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0)
            break;
        shown->append(buf, size_t(n));
    }
    close(fds[0]);
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        if (waitpid(pid, &status, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class CliSafety : public SocketUnitTest {
  protected:
    // Starts the emulator; its commands are printed to sim.err after each
    // connection.
    std::unique_ptr<Spawned> startSim(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {TREVIK_UNIT_SIM, "--socket", socket,
                                         "--image",       image,      "--verbose"};
        args.insert(args.end(), extra.begin(), extra.end());
        auto sim = std::make_unique<Spawned>(args, tmp.path("sim.out"), tmp.path("sim.err"));
        for (int i = 0; i < 500 && !std::filesystem::exists(socket); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return sim;
    }
    int cli(std::vector<std::string> args) {
        bool unit_given = std::any_of(args.begin(), args.end(), [](const std::string& a) {
            return a.rfind("--unit", 0) == 0;
        });
        if (!unit_given && (args[0] == "update" || args[0] == "verify" || args[0] == "settings"))
            args.insert(args.end(), {"--unit", "socket:" + socket});
        args.insert(args.begin(), TREVIK_CLI);
        Spawned run(args, tmp.path("cli.out"), tmp.path("cli.err"));
        // A command that hangs fails its test instead of holding it.
        int code = run.waitWithin(60000);
        out = read_text(tmp.path("cli.out"));
        err = read_text(tmp.path("cli.err"));
        return code;
    }
    // Waits until the run's writes have begun: its progress shows "updating",
    // which comes after the signals are taken over for the writes.
    bool writing(int ms = 20000) {
        for (int i = 0; i < ms / 10; ++i) {
            if (read_text(tmp.path("cli.err")).find("updating\n") != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    // Waits until standard error shows text.
    bool showing(const std::string& text, int ms = 20000) {
        for (int i = 0; i < ms / 10; ++i) {
            if (read_text(tmp.path("cli.err")).find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    // Stops the emulator and forgets its unit: the next one starts fresh.
    void dropSim(std::unique_ptr<Spawned>& sim) {
        sim->signal(SIGTERM);
        sim->wait();
        sim.reset();
        std::filesystem::remove(image);
        std::filesystem::remove(socket);
    }
    std::vector<nlohmann::json> history() {
        return read_history_file(tmp.path("state/trevik/history.jsonl"));
    }

    std::string out, err;
};

TEST_F(CliSafety, UpdateVerifiesAndKeepsHistoryAndBackup) {
    auto sim = startSim();
    ASSERT_EQ(cli({"update", "--verify", package}), 0) << out << err;
    for (const char* area : {"voice ", "gps ", "program ", "boot ", "main_setting "}) {
        std::string lines = "\n" + out;
        size_t at = lines.find(std::string("\n") + area);
        ASSERT_NE(at, std::string::npos) << area << out;
        EXPECT_NE(lines.substr(at, lines.find('\n', at + 1) - at).find("  ok"), std::string::npos);
    }
    EXPECT_NE(out.find("Update Successfully!\n"), std::string::npos);
    // The backup is a step of its own; the way back is a note on stderr.
    EXPECT_NE(err.find("Saving the unit's settings…\n"), std::string::npos) << err;
    EXPECT_NE(err.find("trevik-cli settings apply " + tmp.path() + "/state/trevik/backups/"),
              std::string::npos)
        << err;

    ASSERT_EQ(cli({"verify", package}), 0) << out << err;
    EXPECT_NE(err.find("at 64 bytes per millisecond"), std::string::npos) << err;

    ASSERT_EQ(cli({"history", "--json"}), 0);
    nlohmann::json list = nlohmann::json::parse(out)["runs"];
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]["result"], "succeeded");
    EXPECT_EQ(list[0]["verified"], true);
    // The unit protocol's tool version and the program's own, each named.
    EXPECT_EQ(list[0]["tool_version"], "407");
    EXPECT_EQ(list[0]["tool_release"], TREVIK_VERSION);
    ASSERT_EQ(cli({"history"}), 0);
    EXPECT_NE(out.find(std::string("  tool ") + TREVIK_VERSION + " (unit protocol 407)\n"),
              std::string::npos)
        << out;
    ASSERT_EQ(cli({"backups"}), 0);
    std::string folder = list[0]["backup"];
    EXPECT_NE(out.find(folder), std::string::npos) << out;
}

// One package, one set of area names: the dry run's writes, the plan text,
// the areas update --verify and verify read back, and the history line all
// name an area alike, so a script can match them.
TEST_F(CliSafety, AreaNamesAreOneListAcrossDryRunVerifyHistoryAndPlanText) {
    auto sim = startSim();
    const std::set<std::string> known = {
        "boot",         "program",         "voice",     "radar_mute",     "update_tool", "gps",
        "main_setting", "parameter_reset", "client_id", "program_header", "server_data"};
    auto names = [](const nlohmann::json& list, const char* key) {
        std::vector<std::string> v;
        for (const auto& a : list)
            v.push_back(a[key]);
        return v;
    };

    ASSERT_EQ(cli({"update", "--dry-run", "--json", package}), 0) << out << err;
    nlohmann::json dry = nlohmann::json::parse(out);
    std::vector<std::string> writes = names(dry["writes"], "area");
    std::string plan_text;
    for (const auto& line : dry["plan"])
        plan_text += "\n" + line.get<std::string>();

    ASSERT_EQ(cli({"update", "--verify", "--json", package}), 0) << out << err;
    std::vector<std::string> verified = names(nlohmann::json::parse(out)["areas"], "area");
    std::vector<nlohmann::json> h = history();
    ASSERT_EQ(h.size(), 1u);
    std::vector<std::string> recorded = names(h[0]["areas"], "name");
    ASSERT_EQ(cli({"verify", "--json", package}), 0) << out << err;
    EXPECT_EQ(names(nlohmann::json::parse(out)["areas"], "area"), verified);

    // The read-back checks each area of the history, in its order; besides
    // them only the program's header page and the server data it erases.
    std::vector<std::string> checked;
    for (const std::string& n : verified)
        if (n != "program_header" && n != "server_data")
            checked.push_back(n);
    EXPECT_EQ(checked, recorded);
    EXPECT_NE(std::find(recorded.begin(), recorded.end(), "radar_mute"), recorded.end());
    EXPECT_NE(std::find(recorded.begin(), recorded.end(), "parameter_reset"), recorded.end());
    for (const std::string& n : verified)
        EXPECT_EQ(known.count(n), 1u) << n;
    for (const std::string& n : writes)
        EXPECT_NE(std::find(recorded.begin(), recorded.end(), n), recorded.end()) << n;
    // The plan text has a line for every area the run writes, under its name.
    for (const std::string& n : recorded)
        EXPECT_NE(plan_text.find("\n" + n + " "), std::string::npos) << n << plan_text;
}

// A zip archive holding the package is opened one way by update, verify and
// inspect: verify checks what update wrote from it, and inspect unpacks it
// into the tool's private directory, not into $TMPDIR (here a plain file,
// where nothing can be made), and leaves nothing there.
TEST_F(CliSafety, AZipIsOpenedOneWayByUpdateVerifyAndInspect) {
    auto sim = startSim();
    std::string zip = tmp.path("maps.zip");
    ASSERT_EQ(pkgbuild_zip(zip, {{"readme.txt", Bytes(10, 'x')}, {"map.dqv", pkg_read_file(package)}}),
              1);
    ASSERT_EQ(cli({"update", zip}), 0) << out << err;
    ASSERT_EQ(cli({"verify", "--json", package}), 0) << out << err;
    nlohmann::json plain = nlohmann::json::parse(out)["areas"];
    ASSERT_EQ(cli({"verify", "--json", zip}), 0) << out << err;
    EXPECT_EQ(nlohmann::json::parse(out)["areas"], plain);

    std::string runtime = tmp.path("runtime");
    ASSERT_EQ(::mkdir(runtime.c_str(), 0700), 0);
    std::string not_a_dir = tmp.path("not-a-dir");
    std::ofstream(not_a_dir) << "x";
    const char* old_tmp = std::getenv("TMPDIR");
    std::string saved_tmp = old_tmp ? old_tmp : "";
    setenv("TMPDIR", not_a_dir.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    int inspected = cli({"inspect", "--json", zip});
    std::string inspect_out = out + err;
    int verified = cli({"verify", zip});
    setenv("TMPDIR", saved_tmp.c_str(), 1);
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(inspected, 0) << inspect_out;
    EXPECT_EQ(verified, 0) << out << err;
    // Whatever was unpacked went again.
    for (const auto& e : std::filesystem::recursive_directory_iterator(runtime))
        EXPECT_TRUE(e.is_directory()) << e.path();
}

// The settings a driver made survive an update through the backup: the
// unit restarts with its default record, settings apply brings them back.
TEST_F(CliSafety, SettingsApplyOfTheBackupBringsBackWhatTheUpdateReset) {
    auto sim = startSim({"--param-kind", "3"});
    ASSERT_EQ(cli({"settings", "set", "time_zone=3", "day_hour=9", "night_hour=21", "band.0=0",
                   "apn=myapn", "user=me", "password=secret", "server=10.0.0.1", "port=9000"}),
              0)
        << err;
    ASSERT_EQ(cli({"settings", "--json"}), 0);
    std::string before_text = out;
    nlohmann::json before = nlohmann::json::parse(out);
    ASSERT_EQ(cli({"update", package}), 0) << out << err;
    std::string hint = "trevik-cli settings apply ";
    size_t at = err.find(hint);
    ASSERT_NE(at, std::string::npos) << err;
    std::string file = err.substr(at + hint.size(), err.find('\n', at) - at - hint.size());
    // The backup keeps the settings exactly as settings --json printed them.
    EXPECT_EQ(read_text(file), before_text);

    // The unit restarted with its defaults.
    ASSERT_EQ(cli({"settings", "--json"}), 0);
    nlohmann::json reset = nlohmann::json::parse(out);
    EXPECT_EQ(reset["time_zone"], 8);
    EXPECT_EQ(reset["gprs"]["apn"], "cmnet");

    // A file of another record kind is refused whole.
    nlohmann::json other = nlohmann::json::parse(read_text(file));
    other["kind"] = 5;
    std::ofstream(tmp.path("other.json")) << other.dump();
    EXPECT_EQ(cli({"settings", "apply", tmp.path("other.json")}), 1);
    EXPECT_NE(err.find("kind 5"), std::string::npos) << err;
    ASSERT_EQ(cli({"settings", "--json"}), 0);
    EXPECT_EQ(nlohmann::json::parse(out), reset);

    ASSERT_EQ(cli({"settings", "apply", file}), 0) << out << err;
    EXPECT_NE(out.find("Configuration success!"), std::string::npos) << out;
    ASSERT_EQ(cli({"settings", "--json"}), 0);
    nlohmann::json after = nlohmann::json::parse(out);
    // All but the caption, which carries the new program's version.
    before.erase("caption");
    after.erase("caption");
    EXPECT_EQ(after, before);
}

// A setting the unit cannot take is named; the others still go in.
TEST_F(CliSafety, SettingsApplyNamesWhatItCouldNotApply) {
    auto sim = startSim({"--param-kind", "3"});
    ASSERT_EQ(cli({"settings", "--json"}), 0);
    nlohmann::json j = nlohmann::json::parse(out);
    j["time_zone"] = 4;
    j["daytime_start_hour"] = 99;
    std::ofstream(tmp.path("s.json")) << j.dump();
    EXPECT_EQ(cli({"settings", "apply", tmp.path("s.json")}), 1);
    EXPECT_NE(err.find("not applied: "), std::string::npos) << err;
    EXPECT_NE(err.find("day_hour"), std::string::npos) << err;
    ASSERT_EQ(cli({"settings", "--json"}), 0);
    EXPECT_EQ(nlohmann::json::parse(out)["time_zone"], 4);
}

TEST_F(CliSafety, VerifyFindsTheByteTheUnitStoredWrong) {
    auto sim = startSim({"--wrong-byte", "0x9064"});
    ASSERT_EQ(cli({"update", "--no-backup", package}), 0) << out << err;
    EXPECT_EQ(cli({"verify", package}), 1);
    EXPECT_NE(out.find("program        0x009000     20224  differs at 0x009064\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("voice          0x"), std::string::npos);
}

TEST_F(CliSafety, SecondSignalStopsTheWriteBetweenReportsAndClosesTheUnit) {
    // One report every 5 ms: the run's writes take several seconds.
    auto sim = startSim({"--delay-us", "5000"});
    Spawned run({TREVIK_CLI, "--unit", "socket:" + socket, "update", "--no-backup", package},
                tmp.path("cli.out"), tmp.path("cli.err"));
    ASSERT_TRUE(writing());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    run.signal(SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    run.signal(SIGTERM);
    EXPECT_EQ(run.wait(), 8);
    err = read_text(tmp.path("cli.err"));
    EXPECT_NE(err.find("Stopping now leaves the unit's data incomplete"), std::string::npos) << err;
    EXPECT_NE(err.find("The update was stopped"), std::string::npos) << err;
    std::vector<nlohmann::json> h = history();
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0]["result"], "interrupted");
    // The unit's connection ended during the writes: after the last write
    // command nothing came, neither the parameter reset nor the end of the
    // run.
    sim->signal(SIGTERM);
    sim->wait();
    std::string log = read_text(tmp.path("sim.err"));
    size_t last = log.rfind("command ");
    ASSERT_NE(last, std::string::npos) << log;
    EXPECT_EQ(log.substr(last, 10), "command F3") << log;
    EXPECT_EQ(log.find("command F4"), std::string::npos) << log;
}

// On a terminal the plan is shown and the unit is written only on "y".
TEST_F(CliSafety, OnATerminalUpdateAsksBeforeWriting) {
    auto sim = startSim();
    std::vector<std::string> args = {TREVIK_CLI, "--unit",      "socket:" + socket,
                                     "update",   "--no-backup", package};
    const std::string question = "Write this into the unit? [y/N] ";
    std::string shown;
    EXPECT_EQ(run_on_terminal(args, question, "n", &shown), 1) << shown;
    EXPECT_NE(shown.find("writes       "), std::string::npos) << shown;
    EXPECT_NE(shown.find("at 64 bytes per millisecond"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Not written: the update was not confirmed."), std::string::npos) << shown;
    // Declined: the unit's connection saw no write at all.
    sim->signal(SIGTERM);
    sim->wait();
    EXPECT_EQ(read_text(tmp.path("sim.err")).find("command F3"), std::string::npos);

    sim = startSim();
    shown.clear();
    EXPECT_EQ(run_on_terminal(args, question, "y", &shown), 0) << shown;
    EXPECT_NE(shown.find("Update Successfully!"), std::string::npos) << shown;
    // -y writes without asking.
    shown.clear();
    args.push_back("-y");
    EXPECT_EQ(run_on_terminal(args, question, "n", &shown), 0) << shown;
    EXPECT_EQ(shown.find(question), std::string::npos) << shown;
}

// Standard error sent to a log (the README's way to report a fault): the
// plan and the question still show on the terminal, never in the log, and
// the answer is read from the terminal even when standard input is not
// one. A run whose three streams all lead elsewhere is a script's: no
// question, as before.
TEST_F(CliSafety, QuestionsGoToTheTerminalWhenStandardErrorIsALog) {
    const std::string question = "Write this into the unit? [y/N] ";
    const std::string log = tmp.path("log.txt"), out = tmp.path("out.txt");
    struct Case {
        const char* name;
        Redirect to;
        const char* answer;
        int exit_code;
        bool asked;
    };
    const Case cases[] = {
        {"stderr to a log, declined", {"", "", log}, "n", 1, true},
        {"stderr to a log, input not a terminal", {"/dev/null", "", log}, "y", 0, true},
        {"every stream elsewhere", {"/dev/null", out, log}, "n", 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto sim = startSim();
        std::vector<std::string> args = {TREVIK_CLI, "-v", "--unit", "socket:" + socket,
                                         "update", "--no-backup", package};
        std::string shown;
        EXPECT_EQ(run_on_terminal(args, question, c.answer, &shown, c.to), c.exit_code) << shown;
        EXPECT_EQ(shown.find(question) != std::string::npos, c.asked) << shown;
        EXPECT_EQ(shown.find("writes       ") != std::string::npos, c.asked) << shown;
        std::string logged = read_text(log);
        EXPECT_EQ(logged.find(question), std::string::npos) << logged;
        EXPECT_EQ(logged.find("writes       "), std::string::npos) << logged;
        // The log still has what -v adds and the run's own lines.
        EXPECT_NE(logged.find("[INFO]"), std::string::npos) << logged;
        dropSim(sim);
    }
}

TEST_F(CliSafety, OneSignalOnlyWarns) {
    // One report every 2 ms: the writes take more than a second.
    auto sim = startSim({"--delay-us", "2000"});
    Spawned run({TREVIK_CLI, "--unit", "socket:" + socket, "update", "--no-backup", package},
                tmp.path("cli.out"), tmp.path("cli.err"));
    ASSERT_TRUE(writing());
    run.signal(SIGHUP);
    EXPECT_EQ(run.wait(), 0) << read_text(tmp.path("cli.err"));
    EXPECT_NE(read_text(tmp.path("cli.err")).find("the update goes on"), std::string::npos);
    EXPECT_NE(read_text(tmp.path("cli.out")).find("Update Successfully!"), std::string::npos);
}

TEST_F(CliSafety, AReaderThatGoesAwayNeverStopsTheWrites) {
    // One report a millisecond: the progress goes on well after the reader
    // is gone.
    auto sim = startSim({"--delay-us", "1000"});
    EXPECT_EQ(run_into_closing_pipe(
                  {TREVIK_CLI, "--unit", "socket:" + socket, "update", "--no-backup", package}, 60),
              0);
    std::vector<nlohmann::json> h = history();
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0]["result"], "succeeded");
    EXPECT_EQ(cli({"verify", package}), 0) << out << err;
}

TEST_F(CliSafety, OneSignalDuringTheReadBackEndsOnlyTheCheck) {
    auto sim = startSim({"--delay-us", "2000"});
    Spawned run(
        {TREVIK_CLI, "--unit", "socket:" + socket, "update", "--no-backup", "--verify", package},
        tmp.path("cli.out"), tmp.path("cli.err"));
    ASSERT_TRUE(showing("Verify "));
    run.signal(SIGINT);
    EXPECT_EQ(run.wait(), 8);
    out = read_text(tmp.path("cli.out"));
    err = read_text(tmp.path("cli.err"));
    EXPECT_NE(out.find("Update Successfully!\n"), std::string::npos) << out;
    EXPECT_NE(err.find("The read-back was stopped: the update is written"), std::string::npos)
        << err;
    // The area being read is stopped, not failed, and the count ends where
    // the read-back did.
    EXPECT_EQ(out.find("read failed"), std::string::npos) << out;
    EXPECT_NE(out.find("  stopped\n"), std::string::npos) << out;
    size_t stop = err.find("Stopping the read-back");
    ASSERT_NE(stop, std::string::npos) << err;
    EXPECT_EQ(err.find("100.00%", stop), std::string::npos) << err;
    std::vector<nlohmann::json> h = history();
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0]["result"], "succeeded");
    EXPECT_TRUE(h[0]["verified"].is_null());
    EXPECT_EQ(h[0]["verify_finished"], false);
}

// --verify --json prints one object with the areas in it; a difference
// ends update --verify with verify's exit code.
TEST_F(CliSafety, UpdateVerifyJsonIsOneObjectAndAMismatchEndsAsVerifyDoes) {
    struct Case {
        std::vector<std::string> sim;
        int code;
    };
    for (const Case& c : {Case{{}, 0}, Case{{"--wrong-byte", "0x9064"}, 1}}) {
        SCOPED_TRACE(c.code);
        auto sim = startSim(c.sim);
        EXPECT_EQ(cli({"update", "--no-backup", "--verify", "--json", package}), c.code) << err;
        nlohmann::json j = nlohmann::json::parse(out, nullptr, false);
        ASSERT_TRUE(j.is_object()) << out;
        EXPECT_EQ(j["ok"], c.code == 0);
        EXPECT_EQ(j["verified"], c.code == 0);
        ASSERT_TRUE(j["areas"].is_array());
        std::string program;
        for (const auto& a : j["areas"])
            if (a["area"] == "program")
                program = a["result"];
        EXPECT_EQ(program, c.code == 0 ? "ok" : "differs");
        EXPECT_EQ(cli({"verify", "--json", package}), c.code);
        dropSim(sim);
    }
}

TEST_F(CliSafety, AHistoryThatCannotBeWrittenIsAWarningInTheJson) {
    auto sim = startSim();
    std::ofstream(tmp.path("file")) << "x";
    setenv("XDG_STATE_HOME", tmp.path("file").c_str(), 1); // TempDir puts it back
    ASSERT_EQ(cli({"update", "--no-backup", "--json", package}), 0) << err;
    nlohmann::json j = nlohmann::json::parse(out);
    ASSERT_TRUE(j["warnings"].is_array()) << out;
    ASSERT_EQ(j["warnings"].size(), 1u);
    EXPECT_NE(j["warnings"][0].get<std::string>().find("history"), std::string::npos);
}

// The unit is gone between the last data write and the reset of its
// parameter sector: the run keeps its own text, but neither the exit code
// nor the history call it a success, and verify finds the old record.
TEST_F(CliSafety, ACutBeforeTheParameterResetIsNoSuccess) {
    std::string sample = std::string(TREVIK_SOURCE_DIR) + "/res/sample/sample.dqv";
    auto sim = startSim({"--unplug-after", "3018"});
    EXPECT_EQ(cli({"update", "--national", "--no-backup", sample}), 6) << err;
    EXPECT_NE(out.find("Update Successfully!\n"), std::string::npos) << out;
    EXPECT_NE(err.find("The unit could not be read after the update"), std::string::npos) << err;
    std::vector<nlohmann::json> h = history();
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0]["result"], "unconfirmed");
    EXPECT_EQ(h[0]["text"], "Update Successfully!");
    EXPECT_TRUE(h[0]["after"].is_null());
    EXPECT_EQ(h[0]["confirmed"]["unit_read_after"], false);

    EXPECT_EQ(cli({"verify", "--national", sample}), 1) << out << err;
    EXPECT_NE(out.find("parameter_reset 0x011000       256  differs at 0x011008\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("server_data    0x"), std::string::npos) << out;
}

TEST_F(CliSafety, HistoryReadsPastLinesItDidNotWrite) {
    auto sim = startSim();
    ASSERT_EQ(cli({"update", "--no-backup", package}), 0) << err;
    std::string path = tmp.path("state/trevik/history.jsonl");
    std::string good = read_text(path);
    std::ofstream(path, std::ios::app) << "{\"time\":5}\n\"unit\":\"x\"\n{\"time\":\"t\","
                                          "\"result\":\"succeeded\",\"unit\":\"x\"}\n"
                                       << "[1,2]\nnot json\n"
                                       << good;
    ASSERT_EQ(cli({"history"}), 0) << err;
    size_t runs = 0;
    for (size_t at = out.find("  succeeded  "); at != std::string::npos;
         at = out.find("  succeeded  ", at + 1))
        ++runs;
    EXPECT_EQ(runs, 2u) << out;
    EXPECT_NE(err.find("5 lines of " + path), std::string::npos) << err;
    ASSERT_EQ(cli({"history", "--json"}), 0) << err;
    nlohmann::json j = nlohmann::json::parse(out);
    EXPECT_EQ(j["ok"], true);
    EXPECT_EQ(j["runs"].size(), 2u);
    EXPECT_EQ(j["skipped_lines"], 5);
    ASSERT_EQ(cli({"history", "--json", "--pretty"}), 0) << err;
    EXPECT_EQ(nlohmann::json::parse(out), j);
}

// A unit without a parameter record shows no settings: the note after the
// update names only what its backup holds.
TEST_F(CliSafety, NoticeNamesOnlyWhatTheBackupHolds) {
    auto sim = startSim({"--param-kind", "0"});
    ASSERT_EQ(cli({"update", package}), 0) << out << err;
    EXPECT_EQ(err.find("settings.json"), std::string::npos) << err;
    std::string said = "It showed no settings before the update, so none were saved; its raw "
                       "records are kept in ";
    size_t at = err.find(said);
    ASSERT_NE(at, std::string::npos) << err;
    std::string folder = err.substr(at + said.size(), err.find('\n', at) - at - said.size());
    EXPECT_TRUE(std::filesystem::exists(folder + "/parameter_record.bin")) << folder;
    EXPECT_FALSE(std::filesystem::exists(folder + "/settings.json")) << folder;
}

// Updated twice before its settings came back: the second backup holds
// defaults; the note and `backups` point at the first until settings
// are applied.
TEST_F(CliSafety, ASecondUpdateStillNamesTheUsersOwnSettings) {
    auto sim = startSim({"--param-kind", "3"});
    ASSERT_EQ(cli({"update", package}), 0) << out << err;
    ASSERT_EQ(cli({"update", package}), 0) << out << err;
    ASSERT_EQ(cli({"backups", "--json"}), 0);
    nlohmann::json list = nlohmann::json::parse(out)["backups"];
    ASSERT_EQ(list.size(), 2u) << out;
    std::string own = list[0]["folder"];
    EXPECT_EQ(list[0]["holds_defaults"], false);
    EXPECT_EQ(list[0]["offered"], true);
    EXPECT_EQ(list[1]["holds_defaults"], true);
    EXPECT_TRUE(list[1]["defaults_reason"].is_string());
    EXPECT_EQ(list[1]["offered"], false);
    ASSERT_EQ(cli({"update", package}), 0) << out << err;
    EXPECT_NE(err.find("bring its settings back with: trevik-cli settings apply " + own +
                       "/settings.json (saved at "),
              std::string::npos)
        << err;
    ASSERT_EQ(cli({"backups"}), 0);
    EXPECT_NE(out.find(own + "  (the unit's own settings, from before an earlier update)\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("  (default settings, not the unit's own)\n"), std::string::npos) << out;

    // Applied: the unit holds its own settings again, and its next backup
    // is the one named.
    ASSERT_EQ(cli({"settings", "apply", own}), 0) << err;
    ASSERT_EQ(cli({"update", package}), 0) << out << err;
    ASSERT_EQ(cli({"backups", "--json"}), 0);
    list = nlohmann::json::parse(out)["backups"];
    ASSERT_EQ(list.size(), 4u) << out;
    EXPECT_EQ(list[3]["holds_defaults"], false);
    EXPECT_EQ(list[3]["offered"], true);
}

// Two units of one customer on a bench: the backup of one is not applied to
// the other unless asked for, and each has backups of its own.
TEST_F(CliSafety, SettingsApplyRefusesTheBackupOfAnotherUnit) {
    auto sim = startSim({"--param-kind", "3"});
    std::string other = tmp.path("other.sock");
    Spawned second(
        {TREVIK_UNIT_SIM, "--socket", other, "--image", tmp.path("other.img"), "--param-kind", "3"},
        "/dev/null", "/dev/null");
    for (int i = 0; i < 500 && !std::filesystem::exists(other); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(cli({"update", package}), 0) << out << err;
    ASSERT_EQ(cli({"update", package, "--unit=socket:" + other}), 0) << out << err;
    ASSERT_EQ(cli({"backups", "--json"}), 0);
    nlohmann::json list = nlohmann::json::parse(out)["backups"];
    ASSERT_EQ(list.size(), 2u) << out;
    EXPECT_NE(list[0]["unit"], list[1]["unit"]);
    EXPECT_EQ(list[0]["client_id"], list[1]["client_id"]);
    EXPECT_EQ(list[0]["unit_path"], "socket:" + socket);
    EXPECT_EQ(list[1]["unit_path"], "socket:" + other);
    std::string first = list[0]["folder"];

    // Off a terminal, the first unit's backup is refused on the second,
    // naming both.
    std::string unit_b = "--unit=socket:" + other;
    EXPECT_EQ(cli({"settings", "apply", first, unit_b}), 1);
    EXPECT_NE(err.find("is a backup of unit \"TREVIK-DEMO 0001\" at socket:" + socket),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("the attached unit is unit \"TREVIK-DEMO 0001\" at socket:" + other),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find("Configuration success!"), std::string::npos) << err;
    EXPECT_EQ(cli({"settings", "apply", first, unit_b, "--other-unit"}), 0) << err;
    // Its own unit takes it as before.
    EXPECT_EQ(cli({"settings", "apply", first}), 0) << err;
}

// Without HOME and XDG_STATE_HOME there is nowhere to keep a backup: the run
// refuses before writing, unless the backup is left out on purpose.
TEST_F(CliSafety, WithoutAStateDirectoryTheUpdateRefusesUnlessNoBackup) {
    auto sim = startSim();
    std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    unsetenv("HOME");
    unsetenv("XDG_STATE_HOME");
    int refused = cli({"update", package});
    std::string refused_err = err;
    // The refused run's connection: what the unit was sent, printed once it
    // closed.
    std::string log;
    for (int i = 0; i < 300 && log.find("command") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        log = read_text(tmp.path("sim.err"));
    }
    int plain = cli({"update", "--no-backup", package});
    if (!home.empty())
        setenv("HOME", home.c_str(), 1);
    setenv("XDG_STATE_HOME", tmp.path("state").c_str(), 1);
    EXPECT_EQ(refused, 1) << refused_err;
    EXPECT_NE(refused_err.find("neither XDG_STATE_HOME nor HOME is set"), std::string::npos)
        << refused_err;
    EXPECT_NE(refused_err.find("nothing was written to the unit"), std::string::npos);
    EXPECT_NE(log.find("command"), std::string::npos);
    EXPECT_EQ(log.find("command F3"), std::string::npos) << log;
    EXPECT_EQ(plain, 0) << err;
}

// Something other than a regular file where a package is named: a FIFO
// would hold inspect, update and verify forever, a device would be read
// without end. Each is refused at once, naming what it is.
TEST_F(CliSafety, APackagePathThatIsNoRegularFileIsRefusedAtOnce) {
    auto sim = startSim();
    std::string fifo = tmp.path("pkg.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_directory(tmp.path("folder.dqv"));
    struct Case {
        std::string path;
        const char* kind;
    } cases[] = {{fifo, "a FIFO"},
                 {"/dev/zero", "a character device"},
                 {tmp.path("folder.dqv"), "a folder"}};
    for (const Case& c : cases)
        for (const char* command : {"inspect", "update", "verify"}) {
            SCOPED_TRACE(std::string(command) + " " + c.path);
            EXPECT_EQ(cli({command, c.path}), 5) << err;
            EXPECT_NE(err.find(c.path + " is " + c.kind + ", not a regular file."),
                      std::string::npos)
                << err;
        }
    // Nothing reached the unit.
    EXPECT_TRUE(history().empty());
}

// Names in the history are the user's and the server's: a newline or an
// escape sequence in one is shown escaped, never as a line or a colour of
// its own; lines of the right keys but the wrong types are not runs.
TEST_F(CliSafety, HistoryShowsNoForgedLinesAndSkipsLinesOfWrongTypes) {
    std::filesystem::create_directories(tmp.path("state/trevik"));
    std::string path = tmp.path("state/trevik/history.jsonl");
    nlohmann::json forged = {{"time", "2026-12-10T13:05:22Z"},
                             {"result", "succeeded"},
                             {"unit", nlohmann::json::object()},
                             {"package", "/p/a.dqv\n2099-01-01T00:00:00Z  succeeded  \x1b[31mred"}};
    // U+009B (a terminal's one-byte escape) as UTF-8.
    forged["text"] = std::string("ok\r\xc2\x9b") + "2J";
    std::ofstream(path) << forged.dump() << "\n"
                        << R"({"time":"t","result":"succeeded","unit":{},"areas":"x"})" << "\n"
                        << R"({"time":"t","result":"succeeded","unit":{},"duration_s":"fast"})"
                        << "\n"
                        << R"({"time":"t","result":"hacked","unit":{}})" << "\n"
                        << R"({"time":"t","result":"failed","unit":{},"status":"-7"})" << "\n";
    ASSERT_EQ(cli({"history"}), 0) << err;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
    EXPECT_EQ(out.find('\r'), std::string::npos) << out;
    EXPECT_EQ(out.find("\xc2\x9b"), std::string::npos) << out;
    EXPECT_NE(out.find("/p/a.dqv\\x0a2099-01-01T00:00:00Z  succeeded  \\x1b[31mred"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("ok\\x0d\\xc2\\x9b2J"), std::string::npos) << out;
    EXPECT_NE(err.find("4 lines of " + path), std::string::npos) << err;

    ASSERT_EQ(cli({"history", "--json"}), 0) << err;
    nlohmann::json j = nlohmann::json::parse(out);
    ASSERT_EQ(j["runs"].size(), 1u) << out;
    EXPECT_EQ(j["runs"][0]["package"], forged["package"]);
    EXPECT_EQ(j["skipped_lines"], 4);
}

// A FIFO at the history's name is never opened to wait on: history says
// what it is, and an update goes on, warning that its line was not written.
TEST_F(CliSafety, AHistoryThatIsAFifoIsRefusedAndNeverHangs) {
    std::filesystem::create_directories(tmp.path("state/trevik"));
    std::string path = tmp.path("state/trevik/history.jsonl");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    for (const char* json : {"", "--json"}) {
        std::vector<std::string> args = {"history"};
        if (*json)
            args.push_back(json);
        EXPECT_EQ(cli(args), 1) << err;
        EXPECT_NE(err.find(path + " is a FIFO, not a regular file"), std::string::npos) << err;
    }
    auto sim = startSim();
    ASSERT_EQ(cli({"update", "--no-backup", "--json", package}), 0) << err;
    nlohmann::json j = nlohmann::json::parse(out);
    ASSERT_TRUE(j["warnings"].is_array()) << out;
    EXPECT_NE(j["warnings"][0].get<std::string>().find(path + " is a FIFO"), std::string::npos)
        << out;
}

// HOME that cannot hold the state directory is named with its fault, and
// a missing home is never made.
TEST_F(CliSafety, AnUnusableHomeIsNamedAndNeverCreated) {
    auto sim = startSim();
    std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    unsetenv("XDG_STATE_HOME");
    std::ofstream(tmp.path("plain")) << "x";
    struct Case {
        std::string home;
        std::string said;
    } cases[] = {
        {"relative/dir", "HOME is not an absolute path (relative/dir)"},
        {tmp.path("nonexistent/x"),
         "HOME names " + tmp.path("nonexistent/x") + ", which does not exist"},
        {tmp.path("plain"), "HOME names " + tmp.path("plain") + ", which is not a folder"},
    };
    std::vector<int> codes;
    std::vector<std::string> errs;
    for (const Case& c : cases) {
        setenv("HOME", c.home.c_str(), 1);
        codes.push_back(cli({"update", package}));
        errs.push_back(err);
    }
    if (!home.empty())
        setenv("HOME", home.c_str(), 1);
    setenv("XDG_STATE_HOME", tmp.path("state").c_str(), 1);
    for (size_t i = 0; i < codes.size(); ++i) {
        SCOPED_TRACE(cases[i].home);
        EXPECT_EQ(codes[i], 1) << errs[i];
        EXPECT_NE(errs[i].find(cases[i].said), std::string::npos) << errs[i];
        EXPECT_NE(errs[i].find("nothing was written to the unit"), std::string::npos) << errs[i];
    }
    EXPECT_FALSE(std::filesystem::exists(tmp.path("nonexistent")));
}

// A unit that answers nothing: no backup folder is named that was not
// made, and the history records a failure.
TEST_F(CliSafety, AUnitThatAnswersNothingIsNoSavedBackup) {
    auto sim = startSim({"--no-reply", "any"});
    EXPECT_NE(cli({"update", package}), 0) << out << err;
    EXPECT_EQ(err.find(tmp.path("state/trevik/backups/")), std::string::npos) << err;
    EXPECT_NE(err.find("did not answer"), std::string::npos) << err;
    std::vector<nlohmann::json> h = history();
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0]["result"], "failed") << h[0];
    EXPECT_NE(h[0]["status"], 0) << h[0];
    EXPECT_NE(h[0]["text"].get<std::string>().find("did not answer"), std::string::npos) << h[0];
}

// A program of the old layout keeps no main-setting block: the unit's fresh
// parameter record names a version the run never wrote. The run and verify
// judge the reset sector alike.
TEST_F(CliSafety, AnOldLayoutProgramIsConfirmedAndVerifiedAlike) {
    PkgDescription d;
    PkgProgram prog("T73A", pkg_pattern(24576, 7));
    prog.version = 102;
    prog.legacy = 1;
    d.programs.push_back(prog);
    d.sections[3] = pkg_pattern(8192, 8);
    d.sections[4] = pkg_pattern(49152, 9);
    d.sections[5] = pkg_pattern(98304, 10);
    std::string legacy = tmp.path("legacy.dqv");
    ASSERT_EQ(pkgbuild_write(d, legacy), 1);
    auto sim = startSim();
    ASSERT_EQ(cli({"update", "--no-backup", legacy}), 0) << out << err;
    std::vector<nlohmann::json> h = history();
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0]["confirmed"]["parameter_reset"], true) << h[0];
    EXPECT_EQ(cli({"verify", legacy}), 0) << out << err;
    EXPECT_NE(out.find("parameter_reset 0x011000       256  ok\n"), std::string::npos) << out;
}

// A file-size limit ends no run with SIGXFSZ: a write past the limit fails
// as on a full disk, and the run ends at its boundary saying so.
TEST_F(CliSafety, AFileSizeLimitFailsTheWriteNotTheRun) {
    auto sim = startSim();
    // The history already fills the limit: the run's line cannot go on it.
    std::filesystem::create_directories(tmp.path("state/trevik"));
    std::string path = tmp.path("state/trevik/history.jsonl");
    const rlim_t limit = 64 * 1024;
    std::ofstream(path) << std::string(limit, ' ') << "\n";
    std::string shown;
    EXPECT_EQ(run_with_file_limit({TREVIK_CLI, "--unit", "socket:" + socket, "update",
                                   "--no-backup", package},
                                  limit, &shown),
              0)
        << shown;
    EXPECT_NE(shown.find("Update Successfully!"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Warning: The update history could not be written"), std::string::npos)
        << shown;

    // A backup that cannot be written refuses the run before its writes.
    std::filesystem::remove(path);
    shown.clear();
    EXPECT_EQ(run_with_file_limit({TREVIK_CLI, "--unit", "socket:" + socket, "update", package},
                                  16, &shown),
              1)
        << shown;
    EXPECT_NE(shown.find("File too large"), std::string::npos) << shown;
    EXPECT_NE(shown.find("nothing was written to the unit"), std::string::npos) << shown;
}

} // namespace

#endif
