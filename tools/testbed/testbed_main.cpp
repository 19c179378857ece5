// trevik-unit-testbed: emulated units on hidraw nodes for one command.
//
//   trevik-unit-testbed [--units N] [UNIT OPTIONS] -- COMMAND [ARGS...]
//
// Builds a private sysfs/udev tree with N units (USB device, HID interface,
// hid device, /dev/hidrawK), runs COMMAND under the testbed's preload library
// so that its hidapi and libudev see them, and exits with COMMAND's exit
// code. The unit behind each node is the same emulated unit trevik-unit-sim
// serves on a socket.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "tools/testbed/HidrawTestbed.h"
#include "tools/unitsim/UnitOptions.h"
#include "tools/unitsim/UnitSim.h"
#include "trevik_version.h"

namespace {

// Unit K (from 0) keeps its flash in IMAGE, IMAGE.1, IMAGE.2, ...
std::string image_of(const std::string& image, int k) {
    if (image.empty() || k == 0)
        return image;
    return image + "." + std::to_string(k);
}

// Set by SIGUSR1 with --pull-on-signal.
volatile std::sig_atomic_t g_pull_requested = 0;

void request_pull(int) {
    g_pull_requested = 1;
}

std::string default_serial(int k) {
    char text[16];
    std::snprintf(text, sizeof text, "SN%04d", k + 1);
    return text;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"trevik-unit-testbed: emulated units on hidraw nodes (/dev/hidrawK, udev\n"
                 "events) for one command run under the testbed's preload library. The exit\n"
                 "code is the command's. Numbers take 0x for hexadecimal. The unit options\n"
                 "apply to every unit; with --image, unit K keeps its flash in IMAGE.K."};
    app.set_version_flag("--version", std::string("trevik-unit-testbed ") + TREVIK_VERSION);
    int units = 1;
    app.add_option("--units", units, "Units attached, each on its own node")
        ->check(CLI::Range(1, 8))
        ->capture_default_str();
    std::vector<std::string> serials;
    app.add_option("--serial", serials,
                   "USB serial of each unit in order (default SN0001, SN0002, ...); repeat it "
                   "for each unit")
        ->allow_extra_args(false);
    std::vector<int> unreadable;
    app.add_option("--unreadable", unreadable,
                   "Nodes (K of /dev/hidrawK) that their user may not open, as without the "
                   "udev rule; repeat it for each node")
        ->allow_extra_args(false);
    long plugAfter = -1, pullAfter = -1, replugAfter = -1;
    app.add_option("--plug-after", plugAfter,
                   "The units are plugged in this many ms after the command starts "
                   "(default: before)");
    app.add_option("--pull-after", pullAfter,
                   "The units are pulled out this many ms after the command starts");
    bool pullOnSignal = false;
    app.add_flag("--pull-on-signal", pullOnSignal,
                 "The units are pulled out when the testbed gets SIGUSR1, which the command "
                 "sends at the moment a test needs to the process TREVIK_TESTBED_PULL_PID names");
    app.add_option("--replug-after", replugAfter,
                   "A unit pulled out (--pull-after, --pull-on-signal, --unplug-after) is plugged "
                   "in again this "
                   "many ms later");
    UnitOptions unit_options;
    unit_options_add(app, unit_options);
    app.footer("After the options: -- COMMAND [ARGS...], the command run in the testbed.");

    // Everything after the first "--" is the command, whatever it holds.
    int split = 1;
    while (split < argc && std::string(argv[split]) != "--")
        ++split;
    std::vector<std::string> command(argv + std::min(split + 1, argc), argv + argc);
    try {
        app.parse(split, argv);
        if (command.empty())
            throw CLI::RequiredError("-- COMMAND");
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }
    for (int k : unreadable)
        if (k < 0 || k >= units) {
            std::fprintf(stderr, "trevik-unit-testbed: no node %d to make unreadable\n", k);
            return 2;
        }

    std::vector<std::unique_ptr<UnitSim>> sims;
    for (int k = 0; k < units; ++k) {
        auto unit = std::make_unique<UnitSim>();
        std::string error;
        if (int code = unit_options_apply(unit_options, image_of(unit_options.image, k), unit.get(),
                                          &error);
            code != 0) {
            std::fprintf(stderr, "trevik-unit-testbed: %s\n", error.c_str());
            return code;
        }
        sims.push_back(std::move(unit));
    }

    HidrawTestbed testbed;
    if (testbed.rootDir().empty()) {
        std::fprintf(stderr, "trevik-unit-testbed: cannot build the testbed\n");
        return 1;
    }
    for (int k = 0; k < units; ++k) {
        std::string serial = k < static_cast<int>(serials.size()) ? serials[k] : default_serial(k);
        testbed.add(sims[static_cast<size_t>(k)].get(), serial, false);
    }
    for (int k : unreadable)
        testbed.setUnreadable(k, true);
    auto plugAll = [&] {
        for (int k = 0; k < units; ++k)
            testbed.plug(k);
    };
    if (plugAfter < 0)
        plugAll();

    auto save = [&](int k) {
        const std::string image = image_of(unit_options.image, k);
        if (!image.empty() && !sims[static_cast<size_t>(k)]->saveImage(image))
            std::fprintf(stderr, "trevik-unit-testbed: cannot save the flash image %s\n",
                         image.c_str());
    };
    testbed.onConnectionEnded(save);
    // When each pulled unit comes back, if it does.
    std::vector<long> replugAt(static_cast<size_t>(units), -1);
    long now = 0;
    testbed.onPulled([&](int k) {
        if (replugAfter >= 0)
            replugAt[static_cast<size_t>(k)] = now + replugAfter;
    });
    if (pullOnSignal) {
        struct sigaction sa {};
        sa.sa_handler = request_pull;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGUSR1, &sa, nullptr);
        // The command learns where to send it (and that it may).
        setenv("TREVIK_TESTBED_PULL_PID", std::to_string(getpid()).c_str(), 1);
    }
    bool plugged = plugAfter < 0, pulled = false;
    int code = testbed.run(command, [&](long elapsed) {
        now = elapsed;
        if (!plugged && elapsed >= plugAfter) {
            plugged = true;
            plugAll();
        }
        bool pullNow = (pullAfter >= 0 && elapsed >= pullAfter) || g_pull_requested;
        if (plugged && !pulled && pullNow) {
            pulled = true;
            for (int k = 0; k < units; ++k)
                if (testbed.pull(k) && replugAfter >= 0)
                    replugAt[static_cast<size_t>(k)] = elapsed + replugAfter;
        }
        for (int k = 0; k < units; ++k)
            if (replugAt[static_cast<size_t>(k)] >= 0 &&
                elapsed >= replugAt[static_cast<size_t>(k)]) {
                replugAt[static_cast<size_t>(k)] = -1;
                testbed.plug(k);
            }
    });
    for (int k = 0; k < units; ++k)
        save(k);
    return code;
}
