// A real HTTP (or HTTPS) server on 127.0.0.1 for the download tests.
//
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
// Anything else is 404.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

class TestServer {
  public:
    // tls: serve HTTPS with a self-signed certificate made for the run.
    explicit TestServer(bool tls = false);
    ~TestServer();

    // False when the server could not be started.
    bool ok() const;
    int port() const;
    // "http://127.0.0.1:PORT" + path (https for a TLS server).
    std::string url(const std::string& path) const;

    void put(const std::string& name, const std::string& content);
    void set_slow(int pieces, int delay_ms);

    // Headers of the last request.
    std::string last_range() const;
    std::string last_user_agent() const;
    int requests() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

// A file of n bytes with a recognisable pattern.
std::string pattern_bytes(size_t n);
