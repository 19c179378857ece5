// End to end: trevik-unit-sim on a socket, a version server on 127.0.0.1,
// and trevik-cli check-online between them.
#include "tests/helpers/test_server.h"
#include "test_support.h"

#include "support/build_settings.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>

extern char** environ;

#if defined(TREVIK_CLI) && defined(TREVIK_UNIT_SIM)

namespace {

// trevik-unit-sim serving a unit with the given client id.
class Sim {
  public:
    Sim(const std::string& socket, const std::string& client,
        const std::vector<std::string>& more = {})
        : socket_(socket) {
        std::vector<std::string> args = {TREVIK_UNIT_SIM, "--socket", socket, "--client", client};
        args.insert(args.end(), more.begin(), more.end());
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid_, TREVIK_UNIT_SIM, &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        for (int i = 0; i < 500 && pid_ > 0 && !file_exists(socket); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~Sim() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
    }
    bool running() const { return pid_ > 0 && file_exists(socket_); }

  private:
    std::string socket_;
    pid_t pid_ = -1;
};

struct CliRun {
    int exit_code = -1;
    std::string out;
    std::string err;
};

struct CheckOnlineCli : ::testing::Test {
    TempDir tmp;
    TestServer server;

    void SetUp() override { ASSERT_TRUE(server.ok()); }

    CliRun run(const std::string& socket, const std::string& server_env,
               const std::string& extra = "") {
        std::string err_path = tmp.path("stderr.txt");
        std::string cmd = "TREVIK_VERSION_SERVER='" + server_env +
                          "' '" TREVIK_CLI "' check-online --unit 'socket:" + socket + "' " +
                          extra + " 2>'" + err_path + "' </dev/null";
        CliRun r;
        FILE* p = popen(cmd.c_str(), "r");
        if (!p)
            return r;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            r.out.append(buf, n);
        int status = pclose(p);
        r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.err = read_file(err_path);
        return r;
    }

    std::string host() const { return "127.0.0.1:" + std::to_string(server.port()); }
};

TEST_F(CheckOnlineCli, PrintsTheOnlineVersionAndPackage) {
    server.put("dastrine.txt", "20991231\r\nhttp://127.0.0.1/pkg/map.zip\r\n");
    server.put("testNet.txt", "20991231\r\nhttp://127.0.0.1/pkg/map.zip\r\n");
    std::string socket = tmp.path("unit.sock");
    Sim sim(socket, "DASTRN-UNIT"); // GPS data of 2025-01-01
    ASSERT_TRUE(sim.running());
    CliRun r = run(socket, host());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "Internet vesion:20991231\nhttp://127.0.0.1/pkg/map.zip\n");
    EXPECT_FALSE(file_exists(tmp.own("Tmp")));

    r = run(socket, host(), "--json");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::string url = "http://" + host() + "/UserFiles/File/";
    EXPECT_EQ(r.out.rfind("{\"ok\":true,\"version_file_url\":\"" + url, 0), 0u) << r.out;
    EXPECT_NE(r.out.find(",\"form\":\"single\",\"status\":\"Internet vesion:20991231\","
                         "\"version\":\"2099-12-31\",\"package_url\":\"http://127.0.0.1/pkg/"
                         "map.zip\",\"unit_version\":\"2025-01-01\",\"up_to_date\":false}\n"),
              std::string::npos)
        << r.out;
}

// A unit whose data is as new as the online version has nothing to do:
// the result is printed all the same, and the exit code says so.
TEST_F(CheckOnlineCli, UnitAsNewAsOnlineIsNothingToDo) {
    server.put("dastrine.txt", "20250101\r\nhttp://127.0.0.1/pkg/map.zip\r\n");
    server.put("testNet.txt", "20250101\r\nhttp://127.0.0.1/pkg/map.zip\r\n");
    std::string socket = tmp.path("unit.sock");
    Sim sim(socket, "DASTRN-UNIT");
    ASSERT_TRUE(sim.running());
    CliRun r = run(socket, host());
    EXPECT_EQ(r.exit_code, 7) << r.err;
    EXPECT_EQ(r.out, "Internet vesion:20250101\nhttp://127.0.0.1/pkg/map.zip\n");
    r = run(socket, host(), "--json");
    EXPECT_EQ(r.exit_code, 7) << r.err;
    // The object of nothing to do, the same as trevik-cli update's.
    EXPECT_NE(r.out.find(",\"version\":\"2025-01-01\",\"package_url\":\"http://127.0.0.1/pkg/"
                         "map.zip\",\"unit_version\":\"2025-01-01\",\"up_to_date\":true,"
                         "\"message\":\"Already the newest version.\"}\n"),
              std::string::npos)
        << r.out;
}

// A GPS header left erased by a write that broke off reads as no data (it
// would read as 2106-02-07): no online version is already on the unit.
TEST_F(CheckOnlineCli, ErasedGpsHeaderIsNeverUpToDate) {
    server.put("dastrine.txt", "21060207\r\nhttp://127.0.0.1/pkg/map.zip\r\n");
    server.put("testNet.txt", "21060207\r\nhttp://127.0.0.1/pkg/map.zip\r\n");
    std::string socket = tmp.path("unit.sock");
    Sim sim(socket, "DASTRN-UNIT", {"--gps-time", "0xFFFFFFFF"});
    ASSERT_TRUE(sim.running());
    CliRun r = run(socket, host(), "--json");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find(",\"unit_version\":null,\"up_to_date\":false}\n"), std::string::npos)
        << r.out;
}

TEST_F(CheckOnlineCli, PrintsTheRecordsOfAListForm) {
    server.put("dastrine.txt", "English,en,http://h/en.zip\nDeutsch,de,http://h/de.zip\n");
    server.put("testNet.txt", "English,en,http://h/en.zip\nDeutsch,de,http://h/de.zip\n");
    std::string socket = tmp.path("unit.sock");
    Sim sim(socket, "DASTRN-UNIT");
    ASSERT_TRUE(sim.running());
    CliRun r = run(socket, host());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "English,en,http://h/en.zip\nDeutsch,de,http://h/de.zip\n");
}

TEST_F(CheckOnlineCli, FailuresAndTheirExitCodes) {
    std::string socket = tmp.path("unit.sock");
    Sim sim(socket, "DASTRN-UNIT");
    ASSERT_TRUE(sim.running());
    // Nothing registered: the server answers 404.
    CliRun r = run(socket, host());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("Access database failed,please updated by local file!"), std::string::npos)
        << r.err;
    EXPECT_EQ(r.out, "");

    // A one-line file: read, refused, and not left behind.
    server.put("dastrine.txt", "20190318\n");
    server.put("testNet.txt", "20190318\n");
    r = run(socket, host());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("Access database failed"), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(tmp.own("Tmp")));

    // A number that does not fit, and a file past 64 KiB: failed checks.
    for (const std::string& file : {std::string("99999999999999999999999\nhttp://h/x.zip\n"),
                                    "20190318\nhttp://h/x.zip\n" + std::string(70000, '#')}) {
        server.put("dastrine.txt", file);
        server.put("testNet.txt", file);
        r = run(socket, host());
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.err.find("Access database failed"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(file_exists(tmp.own("Tmp")));
    }

    // No unit on the socket.
    r = run(tmp.path("nobody.sock"), host());
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.err, "   No hardware connected!\n");
    r = run(tmp.path("nobody.sock"), host(), "--json");
    EXPECT_EQ(r.exit_code, 3);
    // The failure object says why and what next, as every exit 3 does.
    EXPECT_EQ(r.out.rfind("{\"ok\":false,\"error\":{\"code\":3,\"text\":\"   No hardware connected!\","
                          "\"reason\":",
                          0),
              0u)
        << r.out;
    EXPECT_NE(r.out.find("\"hint\":"), std::string::npos) << r.out;

    // A bad override is bad usage.
    r = run(socket, "127.0.0.1:80/path");
    EXPECT_EQ(r.exit_code, 2);
}

TEST_F(CheckOnlineCli, UnitWithoutOnlineServiceGetsNoCheck) {
    if (std::strcmp(TOOL_CUSTOMER_NAME, NO_CUSTOMER_NAME) == 0)
        GTEST_SKIP() << "a build without customer checks every unit";
    std::string socket = tmp.path("unit.sock");
    Sim sim(socket, "NOBODY");
    ASSERT_TRUE(sim.running());
    CliRun r = run(socket, host());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("This unit has no online update service."), std::string::npos) << r.err;
    EXPECT_EQ(server.requests(), 0);
}

} // namespace

#endif
