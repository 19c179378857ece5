// The POSIX side of the terminal, the abort hook and starting this program
// again (platform.h).
#include "support/platform.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

// ---- The terminal ------------------------------------------------------------

bool platform_is_terminal(int fd) {
    return ::isatty(fd) != 0;
}

int platform_open_terminal() {
    return ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
}

int platform_terminal_width(int fd) {
    winsize ws {};
    return ::ioctl(fd, TIOCGWINSZ, &ws) == 0 ? ws.ws_col : 0;
}

std::string platform_terminal_charset() {
    std::string name;
    if (locale_t loc = ::newlocale(LC_CTYPE_MASK, "", locale_t(0))) {
        if (const char* cs = ::nl_langinfo_l(CODESET, loc))
            name = cs;
        ::freelocale(loc);
    }
    return name;
}

void platform_binary_stream(FILE*) {}

void platform_ignore_broken_pipes() {
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

namespace {

void (*abort_last)() = nullptr;

void on_abort(int sig) {
    if (abort_last)
        abort_last();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

} // namespace

void platform_on_abort(void (*last)()) {
    abort_last = last;
    struct sigaction sa {};
    sa.sa_handler = on_abort;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND;
    sigaction(SIGABRT, &sa, nullptr);
}

// ---- Starting this program again ---------------------------------------------

int platform_run_self(const PlatformRunSelf& run, std::string* channel) {
    // The side channel is a pipe the program finds at descriptor 3.
    const int channel_fd = 3;
    bool with_channel = !run.channel_variable.empty();
    int fds[2] = {-1, -1};
    if (with_channel && ::pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (with_channel)
        posix_spawn_file_actions_adddup2(&actions, fds[1], channel_fd);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (!run.keep_stderr)
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    std::vector<std::string> changed = run.env;
    if (with_channel)
        changed.push_back(run.channel_variable + "=" + std::to_string(channel_fd));
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& c : changed)
            replaced = replaced || c.substr(0, c.find('=')) == name;
        if (!replaced)
            env.push_back(entry);
    }
    for (const std::string& c : changed)
        if (c.find('=') != std::string::npos)
            env.push_back(c);
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = run.args;
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    int rc = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    platform_close(fds[1]);
    if (rc != 0) {
        platform_close(fds[0]);
        errno = rc;
        return -1;
    }
    if (with_channel) {
        char buffer[4096];
        for (;;) {
            ssize_t n = ::read(fds[0], buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            if (channel && channel->size() < run.channel_limit)
                channel->append(buffer, static_cast<size_t>(n));
        }
        platform_close(fds[0]);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int platform_side_channel(const char* text) {
    if (!text || !*text)
        return -1;
    char* end = nullptr;
    long fd = std::strtol(text, &end, 10);
    return *end == 0 && fd >= 3 && fd < INT_MAX ? static_cast<int>(fd) : -1;
}

const char* platform_state_variable() {
    return "XDG_STATE_HOME";
}
