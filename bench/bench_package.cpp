// Speed and memory of the package core:
//   - rolling_encode / rolling_decode on 16 MiB beside memcpy of the same
//     buffer (goal: at least half of memcpy's bandwidth);
//   - package_load of a 16 MiB package from the page cache beside one fread
//     of the same file (goal: within 2x);
//   - package_merge_provinces over 34 provinces and 1,000,000 records beside
//     std::sort of the same records plus one encoding pass (goal: within 1.5x);
//   - peak memory of package_load (goal: the package's size plus 1 MiB).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>

#include "package/bytes.h"
#include "package/package.h"
#include "package/scramble.h"
#include "support/text.h"
#include "tools/pkgbuild/pkgbuild.h"

namespace {

constexpr size_t MiB = 1024 * 1024;
constexpr size_t BUFFER_BYTES = 16 * MiB;

std::string temp_name(const char* tag) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/trevik_bench_" + tag + "_" +
           std::to_string(getpid()) + ".dqv";
}

// A file removed when the benchmark program ends.
struct BenchFile {
    std::string path;
    std::u16string wpath;
    size_t size = 0;
    BenchFile(const char* tag, const Bytes& bytes) : path(temp_name(tag)), size(bytes.size()) {
        pkg_write_file(path, bytes);
        wpath = utf8_to_wtext(path);
    }
    ~BenchFile() { std::remove(path.c_str()); }
};

// A 16 MiB form C package with the usual mix of sections.
const BenchFile& load_package_file() {
    static const BenchFile file("load", [] {
        PkgDescription d;
        d.sections[SECTION_BOOT] = pkg_pattern(32 * 1024, 1);
        d.sections[SECTION_RADAR] = pkg_pattern(800 * 1024, 2);
        d.sections[SECTION_VOICE] = pkg_pattern(2 * MiB, 3);
        d.sections[SECTION_GPS] = pkg_pattern(5 * MiB, 4);
        d.sections[SECTION_VOICE_B] = pkg_pattern(2 * MiB, 5);
        d.sections[SECTION_PROVINCE_VOICE] = pkg_pattern(2 * MiB, 6);
        d.sections[SECTION_VOICE_C] = pkg_pattern(2 * MiB, 7);
        d.programs.emplace_back("T73A", pkg_pattern(512 * 1024, 8));
        d.programs.emplace_back("T502", pkg_pattern(512 * 1024, 9));
        d.province_table = true;
        for (int k = 0; k < PROVINCE_COUNT; ++k)
            d.provinces.emplace_back(PROVINCE_NAMES[k], pkg_province_records(1000, 10 + k));
        size_t so_far = pkgbuild_bytes(d).size();
        d.sections[SECTION_GPS_D] = pkg_pattern(BUFFER_BYTES - so_far, 11);
        return pkgbuild_bytes(d);
    }());
    return file;
}

// 34 provinces holding 1,000,000 records between them.
const BenchFile& merge_package_file() {
    static const BenchFile file("merge", [] {
        PkgDescription d;
        d.province_table = true;
        d.province_stamp = 1733011200;
        size_t left = 1000000;
        for (int k = 0; k < PROVINCE_COUNT; ++k) {
            size_t n = k == PROVINCE_COUNT - 1 ? left : 1000000 / PROVINCE_COUNT;
            left -= n;
            d.provinces.emplace_back(PROVINCE_NAMES[k], pkg_province_records(n, 100 + k));
        }
        return pkgbuild_bytes(d);
    }());
    return file;
}

void BM_Memcpy(benchmark::State& state) {
    Bytes src = pkg_pattern(BUFFER_BYTES, 1), dst(BUFFER_BYTES);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), BUFFER_BYTES);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * BUFFER_BYTES));
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);

void BM_RollingEncode(benchmark::State& state) {
    Bytes buf = pkg_pattern(BUFFER_BYTES, 2);
    for (auto _ : state) {
        RollingState st;
        rolling_encode(&st, buf.data(), buf.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * BUFFER_BYTES));
}
BENCHMARK(BM_RollingEncode)->Unit(benchmark::kMillisecond);

void BM_RollingDecode(benchmark::State& state) {
    Bytes buf = pkg_pattern(BUFFER_BYTES, 3);
    for (auto _ : state) {
        RollingState st;
        rolling_decode(&st, buf.data(), buf.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * BUFFER_BYTES));
}
BENCHMARK(BM_RollingDecode)->Unit(benchmark::kMillisecond);

void BM_FreadWholeFile(benchmark::State& state) {
    const BenchFile& f = load_package_file();
    for (auto _ : state) {
        FILE* fp = std::fopen(f.path.c_str(), "rb");
        auto* buf = static_cast<uint8_t*>(std::malloc(f.size));
        size_t got = std::fread(buf, 1, f.size, fp);
        benchmark::DoNotOptimize(got);
        std::fclose(fp);
        std::free(buf);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.size));
}
BENCHMARK(BM_FreadWholeFile)->Unit(benchmark::kMillisecond);

void BM_PackageLoad(benchmark::State& state) {
    const BenchFile& f = load_package_file();
    for (auto _ : state) {
        Package* p = package_load(f.wpath.c_str());
        if (!p || !p->gps_d.data) {
            state.SkipWithError("package did not load");
            break;
        }
        package_free(p);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.size));
}
BENCHMARK(BM_PackageLoad)->Unit(benchmark::kMillisecond);

// A /proc/self/status field in KiB, or -1.
long status_kib(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    size_t len = std::strlen(field);
    while (std::getline(status, line))
        if (line.compare(0, len, field) == 0)
            return std::strtol(line.c_str() + len, nullptr, 10);
    return -1;
}

// Peak memory is measured in a fresh process, whose allocator holds no
// memory from earlier benchmarks: the program starts itself again with
// TREVIK_BENCH_PEAK_CHILD naming the package, and this object, constructed
// before main, loads it and prints the growth of the resident-set
// high-water mark in KiB.
struct PeakChild {
    PeakChild() {
        const char* path = std::getenv("TREVIK_BENCH_PEAK_CHILD");
        if (!path)
            return;
        std::u16string w = utf8_to_wtext(path);
        long before = status_kib("VmRSS:");
        Package* p = package_load(w.c_str());
        long after = status_kib("VmHWM:");
        std::printf("%ld\n", p && before >= 0 && after >= 0 ? after - before : -1);
        std::fflush(stdout);
        _exit(0);
    }
} peak_child;

void BM_PackageLoadPeakMemory(benchmark::State& state) {
    const BenchFile& f = load_package_file();
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) {
        state.SkipWithError("cannot find this program");
        return;
    }
    std::string cmd = "TREVIK_BENCH_PEAK_CHILD='" + f.path + "' '" + self + "'";
    long peak = -1;
    for (auto _ : state) {
        FILE* child = popen(cmd.c_str(), "r");
        if (!child || std::fscanf(child, "%ld", &peak) != 1)
            peak = -1;
        if (child)
            pclose(child);
        if (peak < 0) {
            state.SkipWithError("peak not measured");
            return;
        }
    }
    state.counters["peak_MiB"] = static_cast<double>(peak) / 1024.0;
    state.counters["package_MiB"] = static_cast<double>(f.size) / MiB;
    state.counters["limit_MiB"] = static_cast<double>(f.size) / MiB + 1.0;
}
BENCHMARK(BM_PackageLoadPeakMemory)->Unit(benchmark::kMillisecond)->Iterations(3);

int all_flags[PROVINCE_COUNT] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
                                 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};

void BM_MergeProvinces(benchmark::State& state) {
    const BenchFile& f = merge_package_file();
    Package* p = package_load(f.wpath.c_str());
    if (!p || p->province_count != PROVINCE_COUNT) {
        state.SkipWithError("package did not load");
        package_free(p);
        return;
    }
    for (auto _ : state) {
        if (!package_merge_provinces(p, all_flags)) {
            state.SkipWithError("merge failed");
            break;
        }
    }
    double records = 0;
    for (uint32_t i = 0; i < p->province_count; ++i)
        records += p->provinces[i].record_count;
    state.counters["records"] = records;
    package_free(p);
}
BENCHMARK(BM_MergeProvinces)->Unit(benchmark::kMillisecond);

// The baseline: the same records as 12-byte values sorted by their key with
// std::sort, then one encoding pass over the image.
struct Record {
    uint8_t b[12];
};

void BM_SortAndEncodeBaseline(benchmark::State& state) {
    const BenchFile& f = merge_package_file();
    Package* p = package_load(f.wpath.c_str());
    if (!p) {
        state.SkipWithError("package did not load");
        return;
    }
    std::vector<Record> records;
    for (uint32_t i = 0; i < p->province_count; ++i)
        for (uint32_t r = 0; r < p->provinces[i].record_count; ++r) {
            Record rec;
            std::memcpy(rec.b, p->provinces[i].records + 12 * r, 12);
            records.push_back(rec);
        }
    package_free(p);
    std::vector<Record> work(records.size());
    for (auto _ : state) {
        state.PauseTiming();
        work = records;
        state.ResumeTiming();
        std::sort(work.begin(), work.end(), [](const Record& a, const Record& b) {
            return province_record_key(a.b) < province_record_key(b.b);
        });
        RollingState st;
        rolling_encode(&st, work.data(), work.size() * sizeof(Record));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_SortAndEncodeBaseline)->Unit(benchmark::kMillisecond);

} // namespace
