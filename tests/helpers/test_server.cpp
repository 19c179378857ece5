#include "tests/helpers/test_server.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;

namespace {

using Body = std::shared_ptr<const std::string>;

// The whole body with its length; httplib cuts a requested range out of it.
void answer_whole(httplib::Response& res, const Body& c) {
    if (c->empty()) {
        res.set_content("", "application/octet-stream"); // nothing to provide
        return;
    }
    res.set_content_provider(c->size(), "application/octet-stream",
                             [c](size_t offset, size_t length, httplib::DataSink& sink) {
                                 return sink.write(c->data() + offset, length);
                             });
}

} // namespace

struct TestServer::Impl {
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    int port = -1;
    bool tls = false;
    fs::path cert_dir;
    mutable std::mutex lock;
    std::map<std::string, Body> files; // by route name
    std::map<std::string, Body> paths; // by exact path
    std::string range, agent;
    std::map<std::string, TestServer::Resume> resume;
    std::vector<TestServer::Seen> seen;
    int requests = 0;
    int pieces = 4;
    int delay_ms = 400;
    std::atomic<bool> stopping{false};

    // Counts every request and notes its headers; answers an exact path.
    httplib::Server::HandlerResponse first(const httplib::Request& req, httplib::Response& res) {
        Body c;
        {
            std::lock_guard<std::mutex> g(lock);
            ++requests;
            range = req.get_header_value("Range");
            agent = req.get_header_value("User-Agent");
            seen.push_back({req.path, range, req.get_header_value("If-Range"), 0});
            auto it = paths.find(req.path);
            if (it != paths.end())
                c = it->second;
        }
        if (!c)
            return httplib::Server::HandlerResponse::Unhandled;
        answer_whole(res, c);
        return httplib::Server::HandlerResponse::Handled;
    }

    // The file a route names, or null after setting 404.
    Body file(const httplib::Request& req, httplib::Response& res) {
        std::lock_guard<std::mutex> g(lock);
        auto it = files.find(req.matches[1]);
        if (it != files.end())
            return it->second;
        res.status = 404;
        return nullptr;
    }

    // /resume/NAME: ranges by hand, so the faults can be placed exactly.
    void answer_resume(const httplib::Request& req, httplib::Response& res) {
        Body c = file(req, res);
        if (!c)
            return;
        TestServer::Resume how;
        bool drop = false;
        {
            std::lock_guard<std::mutex> g(lock);
            how = resume[req.matches[1]];
            if (resume[req.matches[1]].drops > 0) {
                --resume[req.matches[1]].drops;
                drop = true;
            }
        }
        // The library would cut its own range out of what is sent: this
        // route answers the Range header itself. The request object is the
        // library's own, not a constant.
        const_cast<httplib::Request&>(req).ranges.clear();
        if (!how.etag.empty())
            res.set_header("ETag", how.etag);
        if (!how.last_modified.empty())
            res.set_header("Last-Modified", how.last_modified);
        std::string range = req.get_header_value("Range");
        std::string if_range = req.get_header_value("If-Range");
        size_t first = 0;
        bool ranged = !how.ignore_range && range.rfind("bytes=", 0) == 0 && range.back() == '-' &&
                      (if_range.empty() || if_range == how.etag || if_range == how.last_modified);
        if (ranged)
            first = std::stoull(range.substr(6));
        int status = 200;
        if (ranged && how.range_status != 0) {
            status = how.range_status;
            res.status = status;
            res.set_content("<html><body>Service Unavailable</body></html>", "text/html");
        } else if (ranged && first >= c->size()) {
            status = 416;
            res.status = status;
            res.set_header("Content-Range", "bytes */" + std::to_string(c->size()));
            res.set_content("", "text/plain");
        } else {
            status = ranged ? 206 : 200;
            res.status = status;
            if (ranged)
                res.set_header("Content-Range", "bytes " + std::to_string(first) + "-" +
                                                    std::to_string(c->size() - 1) + "/" +
                                                    std::to_string(c->size()));
            size_t limit = drop ? how.drop_after : c->size();
            res.set_content_provider(
                c->size() - first, "application/octet-stream",
                [c, first, limit](size_t offset, size_t length, httplib::DataSink& sink) {
                    if (offset >= limit)
                        return false; // the connection goes down
                    return sink.write(c->data() + first + offset, std::min(length, limit - offset));
                });
        }
        std::lock_guard<std::mutex> g(lock);
        for (auto it = seen.rbegin(); it != seen.rend(); ++it)
            if (it->path == req.path && it->status == 0) {
                it->status = status;
                break;
            }
    }

    // Sleeps ms, or less when the server stops.
    void pause(int ms) {
        for (int i = 0; i < ms / 10 && !stopping; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    void routes() {
        httplib::Server& s = *server;
        s.set_pre_routing_handler(
            [this](const httplib::Request& req, httplib::Response& res) { return first(req, res); });
        // The version servers' paths serve registered files too.
        s.Get(R"(/(?:files|UserFiles/File|ditu/qt471k)/([^/]+))",
              [this](const httplib::Request& req, httplib::Response& res) {
                  if (Body c = file(req, res))
                      answer_whole(res, c);
              });
        s.Get(R"(/nolength/([^/]+))", [this](const httplib::Request& req, httplib::Response& res) {
            Body c = file(req, res);
            if (!c)
                return;
            res.set_content_provider("application/octet-stream",
                                     [c](size_t offset, httplib::DataSink& sink) {
                                         if (offset < c->size())
                                             sink.write(c->data() + offset, c->size() - offset);
                                         else
                                             sink.done();
                                         return true;
                                     });
        });
        s.Get(R"(/chunked/([^/]+))", [this](const httplib::Request& req, httplib::Response& res) {
            Body c = file(req, res);
            if (!c)
                return;
            res.set_chunked_content_provider(
                "application/octet-stream", [c](size_t offset, httplib::DataSink& sink) {
                    if (offset < c->size())
                        sink.write(c->data() + offset, std::min<size_t>(4096, c->size() - offset));
                    else
                        sink.done();
                    return true;
                });
        });
        s.Get(R"(/norange/([^/]+))", [this](const httplib::Request& req, httplib::Response& res) {
            Body c = file(req, res);
            if (!c)
                return;
            res.status = 200;
            res.set_chunked_content_provider(
                "application/octet-stream", [c](size_t offset, httplib::DataSink& sink) {
                    if (offset < c->size())
                        sink.write(c->data() + offset, c->size() - offset);
                    else
                        sink.done();
                    return true;
                });
        });
        s.Get(R"(/slow/([^/]+))", [this](const httplib::Request& req, httplib::Response& res) {
            Body c = file(req, res);
            if (!c)
                return;
            int n, delay;
            {
                std::lock_guard<std::mutex> g(lock);
                n = pieces;
                delay = delay_ms;
            }
            size_t piece = (c->size() + n - 1) / n;
            res.set_content_provider(
                c->size(), "application/octet-stream",
                [this, c, piece, delay](size_t offset, size_t, httplib::DataSink& sink) {
                    if (offset > 0)
                        pause(delay);
                    if (stopping)
                        return false;
                    return sink.write(c->data() + offset, std::min(piece, c->size() - offset));
                });
        });
        s.Get(R"(/drop/([^/]+))", [this](const httplib::Request& req, httplib::Response& res) {
            Body c = file(req, res);
            if (!c)
                return;
            res.set_content_provider(c->size(), "application/octet-stream",
                                     [c](size_t offset, size_t, httplib::DataSink& sink) {
                                         if (offset >= c->size() / 2)
                                             return false; // the connection goes down
                                         return sink.write(c->data() + offset, c->size() / 2);
                                     });
        });
        s.Get(R"(/stall/([^/]+))", [this](const httplib::Request& req, httplib::Response& res) {
            Body c = file(req, res);
            if (!c)
                return;
            res.set_content_provider(c->size(), "application/octet-stream",
                                     [this, c](size_t offset, size_t, httplib::DataSink& sink) {
                                         if (offset == 0)
                                             return sink.write(c->data(), 1000);
                                         pause(20000);
                                         return false;
                                     });
        });
        s.Get(R"(/resume/([^/]+))", [this](const httplib::Request& req, httplib::Response& res) {
            answer_resume(req, res);
        });
        s.Get(R"(/auth/([^/]+))", [this](const httplib::Request& req, httplib::Response& res) {
            Body c = file(req, res);
            if (!c)
                return;
            // user:secret
            if (req.get_header_value("Authorization") != "Basic dXNlcjpzZWNyZXQ=") {
                res.status = 401;
                res.set_header("WWW-Authenticate", "Basic realm=\"units\"");
                res.set_content("who are you?", "text/plain");
                return;
            }
            answer_whole(res, c);
        });
        s.Get(R"(/redirect/([^/]+))", [](const httplib::Request& req, httplib::Response& res) {
            res.set_redirect("/files/" + std::string(req.matches[1]));
        });
    }
};

namespace {

// A self-signed certificate for 127.0.0.1 in dir. False when openssl failed.
bool make_certificate(const fs::path& dir) {
    std::string cmd = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
                      "-days 1 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
                      (dir / "key.pem").string() + "' -out '" + (dir / "cert.pem").string() +
                      "' >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

} // namespace

TestServer::TestServer(bool tls) : impl_(new Impl) {
    impl_->tls = tls;
    if (tls) {
        char tmpl[] = "/tmp/trevik-cert-XXXXXX";
        if (!mkdtemp(tmpl))
            return;
        impl_->cert_dir = tmpl;
        if (!make_certificate(impl_->cert_dir))
            return;
        impl_->server = std::make_unique<httplib::SSLServer>((impl_->cert_dir / "cert.pem").c_str(),
                                                             (impl_->cert_dir / "key.pem").c_str());
    } else {
        impl_->server = std::make_unique<httplib::Server>();
    }
    if (!impl_->server->is_valid())
        return;
    impl_->routes();
    impl_->server->set_keep_alive_timeout(1);
    impl_->port = impl_->server->bind_to_any_port("127.0.0.1");
    if (impl_->port <= 0)
        return;
    impl_->thread = std::thread([this] { impl_->server->listen_after_bind(); });
    for (int i = 0; i < 500 && !impl_->server->is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

TestServer::~TestServer() {
    impl_->stopping = true;
    if (impl_->server)
        impl_->server->stop();
    if (impl_->thread.joinable())
        impl_->thread.join();
    if (!impl_->cert_dir.empty()) {
        std::error_code ec;
        fs::remove_all(impl_->cert_dir, ec);
    }
}

bool TestServer::ok() const {
    return impl_->server && impl_->port > 0;
}
int TestServer::port() const {
    return impl_->port;
}

std::string TestServer::host_port() const {
    return "127.0.0.1:" + std::to_string(impl_->port);
}

std::string TestServer::url(const std::string& path) const {
    return std::string(impl_->tls ? "https" : "http") + "://" + host_port() + path;
}

void TestServer::serve(const std::string& path, std::string content) {
    auto c = std::make_shared<const std::string>(std::move(content));
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->paths[path] = std::move(c);
}

void TestServer::serve(const std::string& path, const std::vector<uint8_t>& content) {
    serve(path, std::string(content.begin(), content.end()));
}

void TestServer::put(const std::string& name, std::string content) {
    auto c = std::make_shared<const std::string>(std::move(content));
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->files[name] = std::move(c);
}

void TestServer::set_slow(int pieces, int delay_ms) {
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->pieces = pieces;
    impl_->delay_ms = delay_ms;
}

void TestServer::set_resume(const std::string& name, const Resume& how) {
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->resume[name] = how;
}

std::vector<TestServer::Seen> TestServer::log() const {
    std::lock_guard<std::mutex> g(impl_->lock);
    return impl_->seen;
}

std::string TestServer::last_range() const {
    std::lock_guard<std::mutex> g(impl_->lock);
    return impl_->range;
}

std::string TestServer::last_user_agent() const {
    std::lock_guard<std::mutex> g(impl_->lock);
    return impl_->agent;
}

int TestServer::requests() const {
    std::lock_guard<std::mutex> g(impl_->lock);
    return impl_->requests;
}

std::string pattern_bytes(size_t n) {
    std::string s(n, '\0');
    uint32_t x = 0x12345678;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}
