// The same update through the emulator's socket and through a hidraw node
// gives the unit the same reports, byte for byte, in the same order, and
// takes the same reports from it.
#include <gtest/gtest.h>

#include <CLI/CLI.hpp>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/helpers/temp_dir.h"
#include "tools/testbed/HidrawTestbed.h"
#include "tools/unitsim/UnitOptions.h"
#include "tools/unitsim/UnitSim.h"

namespace {

const std::string SAMPLE = std::string(TREVIK_SOURCE_DIR) + "/res/sample/sample.dqv";

// The unit trevik-unit-sim and trevik-unit-testbed make without options.
void make_default_unit(UnitSim* unit) {
    CLI::App app;
    UnitOptions options;
    unit_options_add(app, options);
    app.parse(std::string(), false);
    std::string error;
    ASSERT_EQ(unit_options_apply(options, "", unit, &error), 0) << error;
    unit->logReports(true);
}

std::string update_command(const std::string& unitOption) {
    return "exec '" + std::string(TREVIK_CLI) + "' " + unitOption + " update '" + SAMPLE +
           "' --national --no-backup </dev/null >/dev/null 2>&1";
}

TEST(ReportStreams, SocketAndHidrawNodeCarryTheSameReports) {
    TempDir tmp;
    UnitSim overSocket;
    make_default_unit(&overSocket);
    {
        UnitSimServer server(overSocket, tmp.path("unit.sock"));
        ASSERT_TRUE(server.start());
        std::string cmd = update_command("--unit 'socket:" + tmp.path("unit.sock") + "'");
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        server.stop();
    }

    UnitSim overNode;
    make_default_unit(&overNode);
    {
        HidrawTestbed testbed;
        ASSERT_FALSE(testbed.rootDir().empty());
        testbed.add(&overNode, "SN0001");
        ASSERT_EQ(testbed.run({"sh", "-c", update_command("")}), 0);
    }

    const auto& a = overSocket.reportLog();
    const auto& b = overNode.reportLog();
    ASSERT_GT(a.size(), 1000u);
    size_t same = 0;
    while (same < a.size() && same < b.size() && a[same] == b[same])
        ++same;
    EXPECT_EQ(same, a.size()) << "the streams part at report " << same << " of " << a.size()
                              << " (socket) and " << b.size() << " (hidraw node)";
    EXPECT_EQ(a.size(), b.size());
    EXPECT_TRUE(overSocket.flash() == overNode.flash());
}

} // namespace
