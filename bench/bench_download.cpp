// Download throughput: 64 MiB from a server on 127.0.0.1 into a file, by
// CHttpDownload and by the curl command-line tool on the same file in the
// same run. The aim is at least 90 % of curl's throughput.
#include "online/HttpDownload.h"
#include "tests/helpers/test_server.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr size_t FILE_SIZE = 64u << 20;

// The body is made once and shared by every answer.
TestServer& server() {
    static TestServer s;
    static const bool served = [] {
        std::string body(FILE_SIZE, '\0');
        for (size_t i = 0; i < body.size(); ++i)
            body[i] = static_cast<char>(i * 31 + (i >> 12));
        s.serve("/map.zip", std::move(body));
        return true;
    }();
    (void)served;
    return s;
}

std::string url() {
    return server().url("/map.zip");
}

std::string target() {
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/trevik-bench-download.bin";
}

void BM_DownloadComponent(benchmark::State& state) {
    std::string u = url(), t = target();
    CHttpDownload dl;
    for (auto _ : state) {
        DownloadOutcome out = download_file(dl, nullptr, std::u16string(u.begin(), u.end()),
                                            std::u16string(t.begin(), t.end()));
        if (out.result != DOWNLOAD_RESULT_OK) {
            state.SkipWithError("download failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FILE_SIZE));
    std::remove(t.c_str());
}
BENCHMARK(BM_DownloadComponent)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_CurlCommandLine(benchmark::State& state) {
    std::string cmd = "curl -s -f -o '" + target() + "' '" + url() + "'";
    for (auto _ : state) {
        if (std::system(cmd.c_str()) != 0) {
            state.SkipWithError("curl failed or is missing");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FILE_SIZE));
    std::remove(target().c_str());
}
BENCHMARK(BM_CurlCommandLine)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

} // namespace
