#include "tools/testbed/child_runner.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace hidraw_testbed {

namespace {

constexpr const char* PRELOAD = "libumockdev-preload.so.0";

pid_t g_child = -1;

void forward_signal(int sig) {
    if (g_child > 0)
        ::kill(g_child, sig);
}

// Root passes over file modes; without these capabilities a program run as
// root meets an unreadable node as any user does.
void drop_mode_override() {
    if (::geteuid() != 0)
        return;
    ::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
    ::prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (::syscall(SYS_capget, &header, data) != 0)
        return;
    for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) {
        uint32_t bit = 1u << (cap % 32);
        data[cap / 32].inheritable &= ~bit;
    }
    ::syscall(SYS_capset, &header, data);
}

} // namespace

std::vector<std::string> preload_environment(const std::string& root) {
    std::vector<std::string> env;
    std::string preload = PRELOAD;
    for (char** e = environ; *e; ++e) {
        std::string v = *e;
        if (v.rfind("LD_PRELOAD=", 0) == 0) {
            std::string rest = v.substr(11);
            if (!rest.empty())
                preload += " " + rest;
            continue;
        }
        if (v.rfind("UMOCKDEV_DIR=", 0) == 0 || v.rfind("ASAN_OPTIONS=", 0) == 0)
            continue;
        env.push_back(v);
    }
    // A program built with the address sanitizer wants its runtime first;
    // the preload must come first to see the program's calls, and the
    // runtime works as well second.
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string asanOptions = asan && *asan ? std::string(asan) + ":" : std::string();
    env.push_back("ASAN_OPTIONS=" + asanOptions + "verify_asan_link_order=0");
    env.push_back("LD_PRELOAD=" + preload);
    env.push_back("UMOCKDEV_DIR=" + root);
    return env;
}

int run_child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
              bool dropModeOverride, const std::function<void()>& service,
              const std::function<void(long elapsedMs)>& tick) {
    std::vector<char*> args, envp;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid < 0)
        return 127;
    if (pid == 0) {
        if (dropModeOverride)
            drop_mode_override();
        ::execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    g_child = pid;
    struct sigaction sa {
    }, oldInt{}, oldTerm{};
    sa.sa_handler = forward_signal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, &oldInt);
    ::sigaction(SIGTERM, &sa, &oldTerm);
    auto start = std::chrono::steady_clock::now();
    int status = 0;
    for (;;) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
            break;
        if (r < 0 && errno != EINTR) {
            status = 127 << 8;
            break;
        }
        service();
        if (tick)
            tick(std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - start)
                     .count());
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    g_child = -1;
    ::sigaction(SIGINT, &oldInt, nullptr);
    ::sigaction(SIGTERM, &oldTerm, nullptr);
    service();
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 127;
}

} // namespace hidraw_testbed
