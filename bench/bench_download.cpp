// Download throughput: 64 MiB from a server on 127.0.0.1 into a file, by
// CHttpDownload and by the curl command-line tool on the same file in the
// same run. The aim is at least 90 % of curl's throughput.
#include "online/HttpDownload.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr size_t FILE_SIZE = 64u << 20;

// Answers every GET with the same body and closes the connection.
class BodyServer {
  public:
    BodyServer() : body_(FILE_SIZE, '\0') {
        for (size_t i = 0; i < body_.size(); ++i)
            body_[i] = static_cast<char>(i * 31 + (i >> 12));
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        socklen_t len = sizeof addr;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(fd_, 8) != 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            return;
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~BodyServer() {
        stop_ = true;
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        if (thread_.joinable())
            thread_.join();
    }
    int port() const { return port_; }

  private:
    void serve() {
        while (!stop_) {
            int c = accept(fd_, nullptr, nullptr);
            if (c < 0)
                return;
            std::string request;
            char buf[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                ssize_t n = recv(c, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                request.append(buf, static_cast<size_t>(n));
            }
            std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                               "Content-Length: " +
                               std::to_string(body_.size()) + "\r\nConnection: close\r\n\r\n";
            send_all(c, head.data(), head.size());
            send_all(c, body_.data(), body_.size());
            shutdown(c, SHUT_WR);
            while (recv(c, buf, sizeof buf, 0) > 0) {
            }
            close(c);
        }
    }
    static void send_all(int fd, const char* p, size_t n) {
        while (n > 0) {
            ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
            if (w <= 0)
                return;
            p += w;
            n -= static_cast<size_t>(w);
        }
    }

    std::string body_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

BodyServer& server() {
    static BodyServer s;
    return s;
}

std::string url() {
    return "http://127.0.0.1:" + std::to_string(server().port()) + "/map.zip";
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
