// A shop's bench: trevik-cli updating eight emulated units at once beside
// one unit alone, every unit a trevik-unit-sim taking one report per
// millisecond (--delay-us 1000), as a full-speed USB link does.
//
//   Update/1  one `trevik-cli update FILE --unit socket:…` (backup, writes,
//             history line: the whole run)
//   Update/8  one `trevik-cli update FILE --unit … ×8`; goal: at most 1.05 ×
//             the time of Update/1 of the same run (counter vs_one), and the
//             tool's own CPU time at most 5 % of one core per unit
//             (counter cpu_per_unit, in % of wall time).
#include <benchmark/benchmark.h>

#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/helpers/process.h"
#include "tests/helpers/temp_dir.h"
#include "tools/pkgbuild/pkgbuild.h"

namespace {

constexpr int MAX_UNITS = 8;

// The end of a file, where a failure says why.
std::string tail_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string failed;
    for (size_t at = text.find("failed"); at != std::string::npos; at = text.find("failed", at + 1))
        failed += text.substr(text.rfind('\n', at) + 1, 200) + " | ";
    return failed;
}

// The emulated units and the package, for the whole run of the benchmark.
struct Bench {
    TempDir tmp;
    std::string package = tmp.path("pkg.dqv");
    std::vector<std::unique_ptr<Spawned>> sims;
    std::vector<std::string> units;
    double one_seconds = 0; // Update/1 of this run

    Bench() {
        PkgStandardParts parts;
        parts.voice = pkg_pattern(60000, 13);
        parts.gps = pkg_pattern(120000, 15);
        pkgbuild_write(pkg_standard_description(parts), package);
        for (int i = 0; i < MAX_UNITS; ++i) {
            std::string sock = tmp.path("u" + std::to_string(i) + ".sock");
            sims.push_back(std::make_unique<Spawned>(
                std::vector<std::string>{TREVIK_UNIT_SIM, "--socket", sock, "--image",
                                         tmp.path("u" + std::to_string(i) + ".img"), "--delay-us",
                                         "1000"},
                "/dev/null", "/dev/null"));
            for (int n = 0; n < 500 && !std::filesystem::exists(sock); ++n)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            units.push_back("socket:" + sock);
        }
    }
    ~Bench() {
        // Ended as a user ends them, so each saves its flash image.
        for (auto& sim : sims) {
            sim->signal(SIGTERM);
            sim->wait();
        }
    }
};

Bench& bench() {
    static Bench b;
    return b;
}

void Update(benchmark::State& state) {
    Bench& b = bench();
    int n = int(state.range(0));
    double wall = 0, cpu = 0;
    for (auto _ : state) {
        std::vector<std::string> args = {TREVIK_CLI, "update", b.package};
        for (int i = 0; i < n; ++i)
            args.insert(args.end(), {"--unit", b.units[size_t(i)]});
        auto t0 = std::chrono::steady_clock::now();
        Spawned cli(args, "/dev/null", b.tmp.path("cli.err"));
        rusage use{};
        int code = cli.wait(&use);
        if (code != 0) {
            std::string why = "trevik-cli update failed, exit " + std::to_string(code) + ": " +
                              tail_of(b.tmp.path("cli.err"));
            state.SkipWithError(why.c_str());
            return;
        }
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.SetIterationTime(s);
        wall += s;
        cpu += double(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
               double(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
    }
    double iterations = double(state.iterations());
    double mean = wall / iterations;
    state.counters["cpu_per_unit"] = 100.0 * cpu / wall / n;
    if (n == 1)
        b.one_seconds = mean;
    else if (b.one_seconds > 0)
        state.counters["vs_one"] = mean / b.one_seconds;
}

BENCHMARK(Update)->Arg(1)->Arg(MAX_UNITS)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(3);

} // namespace
