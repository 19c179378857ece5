// Speed of the device link: a 4 MiB write run through the command exchange
// to the emulated unit.
//
//   WriteRun/immediate  the in-process unit answers at once: reports per
//                       second the tool sustains (goal: at least 100,000, a
//                       hundred times what a full-speed USB HID link allows).
//   WriteRun/socket     the same through trevik-unit-sim's socket transport.
//   WriteRun/paced      the unit takes one report per millisecond, as a
//                       full-speed link does: the run may take at most 2 %
//                       longer than 4 MiB / 64 B x 1 ms = 65.536 s.
//   WriteRun/socket_paced  the paced unit behind the socket transport, each
//                       report written only once the unit took the last:
//                       the same 2 % goal.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "common_t73/QV_Cmd.h"
#include "common_t73/QV_Hid.h"
#include "package/scramble.h"
#include "tools/unitsim/UnitSim.h"

namespace {

constexpr uint32_t RUN_BYTES = 4u << 20;
constexpr uint32_t RUN_ADDRESS = 0x100000;

// A scrambled 4 MiB area and its checksum over the plain bytes, as a GPS
// data write carries them.
struct Area {
    std::vector<uint8_t> stored;
    uint32_t checksum = 0;
    Area() : stored(RUN_BYTES) {
        for (uint32_t i = 0; i < RUN_BYTES; ++i)
            stored[i] = static_cast<uint8_t>(i * 2654435761u >> 24);
        for (uint8_t b : stored)
            checksum += b;
        RollingState enc;
        rolling_encode(&enc, stored.data(), stored.size());
    }
};

const Area& area() {
    static Area a;
    return a;
}

// Reports one write run moves: the frame, the data reports and the reply.
constexpr double RUN_REPORTS = RUN_BYTES / 64.0 + 2.0;

void run_write(benchmark::State& state, QV_HidChannel* channel) {
    const Area& a = area();
    for (auto _ : state) {
        int r = QV_Cmd_write(channel, RUN_ADDRESS, a.stored.data(), RUN_BYTES, RUN_BYTES, 1,
                             a.checksum);
        if (r != 0) {
            state.SkipWithError("write run failed");
            return;
        }
    }
    state.counters["reports_per_second"] = benchmark::Counter(
        RUN_REPORTS * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * RUN_BYTES);
}

// Seconds per run since start, and how far over one data report per
// delayUs that is.
void report_pace(benchmark::State& state, std::chrono::steady_clock::time_point start,
                 uint32_t delayUs) {
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
        static_cast<double>(state.iterations());
    const double ideal = RUN_BYTES / 64.0 * delayUs * 1e-6;
    state.counters["seconds"] = seconds;
    state.counters["over_ideal_percent"] = (seconds / ideal - 1.0) * 100.0;
}

void BM_WriteRunImmediate(benchmark::State& state) {
    UnitSim unit(0x800000, 1046);
    QV_HidChannel channel{};
    channel.bootVersion = 1046;
    channel.handle = QV_Hid_openTransport(unit.transport());
    run_write(state, &channel);
    QV_Hid_close(channel.handle);
}
BENCHMARK(BM_WriteRunImmediate)
    ->Name("WriteRun/immediate")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A unit served on a socket of this process, paced at delayUs per report
// (0: at once).
void run_socket(benchmark::State& state, uint32_t delayUs) {
    UnitSim unit(0x800000, 1046);
    unit.setReportDelayUs(delayUs);
    std::string path = "/tmp/trevik-bench-" + std::to_string(::getpid()) + ".sock";
    UnitSimServer server(unit, path);
    if (!server.start()) {
        state.SkipWithError("cannot serve the unit");
        return;
    }
    std::u16string upath = u"socket:";
    for (char c : path)
        upath += static_cast<char16_t>(c);
    QV_HidChannel channel{};
    channel.bootVersion = 1046;
    channel.handle = QV_Hid_open(upath.c_str());
    if (!channel.handle) {
        state.SkipWithError("cannot open the socket unit");
        return;
    }
    if (delayUs == 0) {
        run_write(state, &channel);
    } else {
        auto start = std::chrono::steady_clock::now();
        run_write(state, &channel);
        report_pace(state, start, delayUs);
    }
    QV_Hid_close(channel.handle);
    server.stop();
}

void BM_WriteRunSocket(benchmark::State& state) {
    run_socket(state, 0);
}
BENCHMARK(BM_WriteRunSocket)->Name("WriteRun/socket")->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_WriteRunPaced(benchmark::State& state) {
    UnitSim unit(0x800000, 1046);
    unit.setReportDelayUs(1000);
    QV_HidChannel channel{};
    channel.bootVersion = 1046;
    channel.handle = QV_Hid_openTransport(unit.transport());
    auto start = std::chrono::steady_clock::now();
    run_write(state, &channel);
    report_pace(state, start, 1000);
    QV_Hid_close(channel.handle);
}
BENCHMARK(BM_WriteRunPaced)
    ->Name("WriteRun/paced")
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();

void BM_WriteRunSocketPaced(benchmark::State& state) {
    run_socket(state, 1000);
}
BENCHMARK(BM_WriteRunSocketPaced)
    ->Name("WriteRun/socket_paced")
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();

} // namespace
