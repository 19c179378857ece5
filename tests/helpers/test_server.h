// A real HTTP (or HTTPS) server on 127.0.0.1 for the tests and benchmarks
// that download.
//
// Exact paths registered with serve() are answered first (the query is
// ignored), with their length; ranges are answered with 206.
// Routes, each followed by a file name registered with put():
//   /files/NAME     the file with its length; ranges answered with 206
//                   (also under /UserFiles/File/ and /ditu/qt471k/, the
//                   version servers' folders)
//   /nolength/NAME  no length, the end of the body closes the connection
//   /chunked/NAME   chunked, no length
//   /slow/NAME      with length, in `pieces` pieces `delay_ms` apart
//   /drop/NAME      announces the whole length, closes after half of it
//   /norange/NAME   always 200 with the whole file, ranges ignored
//   /auth/NAME      401 without Basic credentials user:secret
//   /redirect/NAME  302 to /files/NAME
//   /stall/NAME     sends 1000 bytes, then nothing until stopped
//   /resume/NAME    ranges, ETag, Last-Modified and If-Range done by hand,
//                   with the faults of set_resume (dropping the connection
//                   after K bytes, ignoring ranges, an error status)
// Anything else is 404.
// A body is kept once and shared by every answer, so a large one is not
// copied per request.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TestServer {
  public:
    // tls: serve HTTPS with a self-signed certificate made for the run.
    explicit TestServer(bool tls = false);
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    // False when the server could not be started.
    bool ok() const;
    int port() const;
    // "127.0.0.1:PORT", as a version-server setting names the server.
    std::string host_port() const;
    // "http://127.0.0.1:PORT" + path (https for a TLS server).
    std::string url(const std::string& path) const;

    // content at exactly path.
    void serve(const std::string& path, std::string content);
    void serve(const std::string& path, const std::vector<uint8_t>& content);
    // content as NAME under the routes above.
    void put(const std::string& name, std::string content);
    void set_slow(int pieces, int delay_ms);

    // How /resume/NAME answers. A Range "bytes=N-" gets 206 with
    // Content-Range, unless If-Range names neither the current ETag nor the
    // current Last-Modified (then 200, the whole file), or N is past the end
    // (416 with "bytes */SIZE").
    struct Resume {
        std::string etag = "\"v1\""; // "" sends none
        std::string last_modified;   // "" sends none
        bool ignore_range = false;   // always 200 with the whole file
        int drops = 0;               // this many answers break off ...
        size_t drop_after = 0;       // ... after this many body bytes
        int range_status = 0;        // answer ranges with this status and an error page
    };
    void set_resume(const std::string& name, const Resume& how);

    // One request as the server saw it.
    struct Seen {
        std::string path, range, if_range;
        int status = 0;
    };
    // Every request so far, in order.
    std::vector<Seen> log() const;

    // Headers of the last request.
    std::string last_range() const;
    std::string last_user_agent() const;
    // Every request that reached the server, whatever it asked for.
    int requests() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

// A file of n bytes with a recognisable pattern.
std::string pattern_bytes(size_t n);
