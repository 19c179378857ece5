// Starting a program inside the testbed: its environment (the preload
// library and the testbed's root) and the run that waits for it while the
// testbed keeps serving its units.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace hidraw_testbed {

// This process's environment with the preload library first in LD_PRELOAD
// and UMOCKDEV_DIR set to root.
std::vector<std::string> preload_environment(const std::string& root);

// Runs argv (argv[0] looked up in PATH, argv not empty) with env and returns
// its exit code (128 + the signal when it was killed), or 127 when it could
// not be started. SIGINT and SIGTERM are passed on to it. service() is
// called about every 10 ms while it runs and once after it ended, tick
// (elapsed ms) after each service() while it runs. dropModeOverride takes
// from a program run as root the capabilities that pass over file modes.
int run_child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
              bool dropModeOverride, const std::function<void()>& service,
              const std::function<void(long elapsedMs)>& tick);

} // namespace hidraw_testbed
