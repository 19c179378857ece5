// Programs the tests start (trevik-cli, trevik-unit-sim) and the files they
// leave.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

// The whole file, or "" when it cannot be read.
inline std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A program run in the background with standard input from /dev/null and
// its output into files (empty name: inherited, "/dev/null": dropped). It
// is killed if still running when the object goes.
class Spawned {
  public:
    Spawned(std::vector<std::string> args, const std::string& out, const std::string& err) {
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        if (!out.empty())
            posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                             0600);
        if (!err.empty())
            posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                             0600);
        if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~Spawned() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            wait();
        }
    }
    Spawned(const Spawned&) = delete;
    Spawned& operator=(const Spawned&) = delete;

    void signal(int sig) {
        if (pid_ > 0)
            kill(pid_, sig);
    }
    // The exit code, -1 when it did not exit normally; the CPU time it used
    // into *use when given.
    int wait(rusage* use = nullptr) {
        int status = 0;
        if (pid_ <= 0 || wait4(pid_, &status, 0, use) != pid_)
            return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // wait() for at most ms milliseconds: a program still running then
    // hangs, and is killed; -2 says so.
    int waitWithin(int ms) {
        for (int waited = 0; pid_ > 0 && waited < ms; waited += 10) {
            int status = 0;
            pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            if (done < 0)
                return -1;
            usleep(10 * 1000);
        }
        if (pid_ <= 0)
            return -1;
        kill(pid_, SIGKILL);
        wait();
        return -2;
    }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
};
