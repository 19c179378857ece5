// A small HTTP server on 127.0.0.1 for the download tests: serves fixed
// files by path (the query is ignored) and counts the requests.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace update_test {

class LocalServer {
  public:
    LocalServer() {
        server_.Get(R"(/.*)", [this](const httplib::Request& req, httplib::Response& res) {
            ++requests_;
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = files_.find(req.path);
            if (it == files_.end()) {
                res.status = 404;
                res.set_content("not here", "text/plain");
                return;
            }
            res.status = 200;
            res.set_content(it->second, "application/octet-stream");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        for (int i = 0; i < 500 && !server_.is_running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ~LocalServer() {
        server_.stop();
        if (thread_.joinable())
            thread_.join();
    }

    void serve(const std::string& path, const std::string& content) {
        std::lock_guard<std::mutex> lock(mutex_);
        files_[path] = content;
    }
    template <typename Bytes> void serveBytes(const std::string& path, const Bytes& bytes) {
        serve(path, std::string(bytes.begin(), bytes.end()));
    }

    int port() const { return port_; }
    std::string hostPort() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string url(const std::string& path) const { return "http://" + hostPort() + path; }
    int requests() const { return requests_.load(); }

  private:
    httplib::Server server_;
    std::thread thread_;
    std::mutex mutex_;
    std::map<std::string, std::string> files_;
    std::atomic<int> requests_{0};
    int port_ = 0;
};

} // namespace update_test
