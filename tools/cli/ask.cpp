#include "tools/cli/ask.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace {

// The process's terminal, opened for one question; closed with the object.
struct Tty {
    Tty() : fd(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
    ~Tty() {
        if (fd >= 0)
            ::close(fd);
    }
    Tty(const Tty&) = delete;
    Tty& operator=(const Tty&) = delete;
    int fd;
};

bool write_all(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0)
            return false;
        done += size_t(n);
    }
    return true;
}

// One line from fd, read a byte at a time so nothing after it is taken
// from the terminal. False at the end of input before a newline.
bool read_line(int fd, std::string* line) {
    line->clear();
    char c = 0;
    for (;;) {
        ssize_t n = ::read(fd, &c, 1);
        if (n <= 0)
            return false;
        if (c == '\n')
            break;
        line->push_back(c);
    }
    if (!line->empty() && line->back() == '\r')
        line->pop_back();
    return true;
}

} // namespace

bool cli_can_ask() {
    if (::isatty(STDIN_FILENO))
        return true;
    if (!::isatty(STDOUT_FILENO) && !::isatty(STDERR_FILENO))
        return false;
    Tty tty;
    return tty.fd >= 0;
}

bool cli_ask(const std::string& text, std::string* answer) {
    answer->clear();
    std::fflush(stdout);
    bool in_tty = ::isatty(STDIN_FILENO);
    bool err_tty = ::isatty(STDERR_FILENO);
    Tty tty;
    if (!in_tty && (tty.fd < 0 || (!err_tty && !::isatty(STDOUT_FILENO))))
        return false;
    if (err_tty || tty.fd < 0) {
        std::fputs(text.c_str(), stderr);
        std::fflush(stderr);
    } else if (!write_all(tty.fd, text)) {
        return false;
    }
    if (in_tty) {
        if (!std::getline(std::cin, *answer))
            return false;
        if (!answer->empty() && answer->back() == '\r')
            answer->pop_back();
        return true;
    }
    return read_line(tty.fd, answer);
}

bool cli_ask_yes(const std::string& text) {
    std::string answer;
    return cli_ask(text, &answer) && (answer == "y" || answer == "Y" || answer == "yes");
}
