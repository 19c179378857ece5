// A whole write run of the device-link object: 4 MiB of scrambled GPS data
// through QV_Machine_write (checksum over the unscrambled bytes, the padded
// copy, the command exchange, the progress count) into the emulated unit.
//
//   MachineWriteRun/immediate  the in-process unit answers at once: reports
//                              per second the tool sustains.
//   MachineWriteRun/memory     heap the tool holds during the run besides the
//                              package, as a multiple of the padded area
//                              (goal: at most one padded copy, 1.0).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common_t73/QV_Hid.h"
#include "common_t73/QV_HidChannel.h"
#include "common_t73/QV_Machine.h"
#include "common_t73/QV_WritePlan.h"
#include "package/package.h"
#include "package/scramble.h"
#include "tools/unitsim/UnitSim.h"

// ---- heap accounting: every allocation of the process goes through here ----
// (not under the address sanitizer, which keeps the allocator to itself)
namespace {

std::atomic<int64_t> g_current{0};
std::atomic<int64_t> g_peak{0};
// Allocations made while the emulated unit works belong to the unit, not the
// tool.
thread_local bool t_in_unit = false;

void note_alloc(void* p) {
    if (!p || t_in_unit)
        return;
    int64_t now = g_current += int64_t(malloc_usable_size(p));
    int64_t peak = g_peak.load();
    while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
    }
}

void note_free(void* p) {
    if (p && !t_in_unit)
        g_current -= int64_t(malloc_usable_size(p));
}

} // namespace

#ifndef __SANITIZE_ADDRESS__
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void __libc_free(void*);

extern "C" void* malloc(size_t n) {
    void* p = __libc_malloc(n);
    note_alloc(p);
    return p;
}
extern "C" void* calloc(size_t n, size_t size) {
    void* p = __libc_calloc(n, size);
    note_alloc(p);
    return p;
}
extern "C" void* realloc(void* old, size_t n) {
    note_free(old);
    void* p = __libc_realloc(old, n);
    note_alloc(p ? p : old);
    return p;
}
extern "C" void free(void* p) {
    note_free(p);
    __libc_free(p);
}
#endif

namespace {

constexpr uint32_t RUN_BYTES = 4u << 20;

// The unit's side of the link, with its allocations kept out of the count.
class UnitSide : public QV_ReportTransport {
  public:
    explicit UnitSide(std::unique_ptr<QV_ReportTransport> inner) : inner_(std::move(inner)) {}
    int writeReport(const uint8_t* report, int timeoutMs) override {
        t_in_unit = true;
        int n = inner_->writeReport(report, timeoutMs);
        t_in_unit = false;
        return n;
    }
    int readReport(uint8_t* report, int timeoutMs) override {
        t_in_unit = true;
        int n = inner_->readReport(report, timeoutMs);
        t_in_unit = false;
        return n;
    }
    void discardInput() override {
        t_in_unit = true;
        inner_->discardInput();
        t_in_unit = false;
    }

  private:
    std::unique_ptr<QV_ReportTransport> inner_;
};

struct Run {
    UnitSim unit{0x800000, 1046};
    std::vector<uint8_t> gps;
    Package pkg{};
    QV_WritePlan plan;
    QV_Machine* m = nullptr;

    Run() : gps(RUN_BYTES) {
        for (uint32_t i = 0; i < RUN_BYTES; ++i)
            gps[i] = uint8_t(i * 2654435761u >> 24);
        RollingState enc;
        rolling_encode(&enc, gps.data(), gps.size());
        pkg.gps.data = gps.data();
        pkg.gps.size = RUN_BYTES - 100; // not a whole number of pages
        plan.gps_address = 0x100000;
        plan.gps_data = pkg.gps.data;
        plan.gps_length = pkg.gps.size;
        m = QV_Machine_create(nullptr, nullptr, nullptr, nullptr);
        QV_Machine_attach(m, QV_Hid_openTransport(std::make_unique<UnitSide>(unit.transport())));
        m->channel->bootVersion = 1046;
    }
    ~Run() { QV_Machine_release(m); }
};

// The run logs its writes and the information it reads again on standard
// output; keep them out of the benchmark's table.
class QuietStdout {
  public:
    QuietStdout() {
        std::fflush(stdout);
        saved_ = ::dup(STDOUT_FILENO);
        int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) {
            ::dup2(null, STDOUT_FILENO);
            ::close(null);
        }
    }
    ~QuietStdout() {
        std::fflush(stdout);
        if (saved_ >= 0) {
            ::dup2(saved_, STDOUT_FILENO);
            ::close(saved_);
        }
    }

  private:
    int saved_ = -1;
};

void BM_MachineWriteRunImmediate(benchmark::State& state) {
    Run run;
    QuietStdout quiet;
    for (auto _ : state) {
        if (QV_Machine_write(run.m, &run.pkg, &run.plan) != 0) {
            state.SkipWithError("write run failed");
            return;
        }
    }
    double reports = RUN_BYTES / 64.0 + 2.0;
    state.counters["reports_per_second"] = benchmark::Counter(
        reports * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * RUN_BYTES);
}
BENCHMARK(BM_MachineWriteRunImmediate)
    ->Name("MachineWriteRun/immediate")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_MachineWriteRunMemory(benchmark::State& state) {
    Run run;
    QuietStdout quiet;
    int64_t held = 0;
    for (auto _ : state) {
        int64_t before = g_current.load();
        g_peak = before;
        if (QV_Machine_write(run.m, &run.pkg, &run.plan) != 0) {
            state.SkipWithError("write run failed");
            return;
        }
        held = g_peak.load() - before;
    }
    state.counters["heap_bytes"] = double(held);
    state.counters["padded_area_bytes"] = double(RUN_BYTES);
    state.counters["heap_per_padded_area"] = double(held) / double(RUN_BYTES);
}
BENCHMARK(BM_MachineWriteRunMemory)
    ->Name("MachineWriteRun/memory")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

} // namespace
