// A fresh directory of the test's own, made the process's TMPDIR while the
// object lives (with XDG_RUNTIME_DIR unset, so the tools keep their
// temporary files in it too); the tools' state (backups, update history)
// goes to its "state" folder, never to the user's own.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/trevik-test-XXXXXX";
        if (!mkdtemp(tmpl)) {
            std::perror("mkdtemp");
            std::abort(); // no test can run without its directory
        }
        path_ = tmpl;
        const char* old = std::getenv("TMPDIR");
        had_old_ = old != nullptr;
        if (old)
            old_ = old;
        setenv("TMPDIR", path_.c_str(), 1);
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        had_runtime_ = runtime != nullptr;
        if (runtime)
            runtime_ = runtime;
        unsetenv("XDG_RUNTIME_DIR");
        const char* state = std::getenv("XDG_STATE_HOME");
        had_state_ = state != nullptr;
        if (state)
            state_ = state;
        setenv("XDG_STATE_HOME", (path_ + "/state").c_str(), 1);
    }
    ~TempDir() {
        if (had_state_)
            setenv("XDG_STATE_HOME", state_.c_str(), 1);
        else
            unsetenv("XDG_STATE_HOME");
        if (had_old_)
            setenv("TMPDIR", old_.c_str(), 1);
        else
            unsetenv("TMPDIR");
        if (had_runtime_)
            setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string path(const std::string& name) const { return path_ + "/" + name; }
    std::u16string wpath(const std::string& name) const {
        std::string p = path(name);
        return std::u16string(p.begin(), p.end());
    }
    // The tools' own temporary directory inside, and a name in it; neither
    // is made here, so a test sees what the tool made.
    std::string own() const { return path_ + "/trevik-" + std::to_string(geteuid()); }
    std::string own(const std::string& name) const { return own() + "/" + name; }
    // name in the own directory, which is made first when missing: for a
    // test that plants something there before the tool runs.
    std::string own_made(const std::string& name) const {
        ::mkdir(own().c_str(), 0700);
        return own(name);
    }
    // Every regular file below the directory, relative to it.
    std::vector<std::string> files() const {
        std::vector<std::string> out;
        for (auto& e : std::filesystem::recursive_directory_iterator(path_))
            if (e.is_regular_file())
                out.push_back(std::filesystem::relative(e.path(), path_).string());
        return out;
    }

  private:
    std::string path_;
    std::string old_, runtime_, state_;
    bool had_old_ = false, had_runtime_ = false, had_state_ = false;
};
