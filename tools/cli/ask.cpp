#include "tools/cli/ask.h"

#include <cstdio>
#include <iostream>

#include "support/platform.h"

namespace {

// The process's terminal, opened for one question; closed with the object.
struct Tty {
    Tty() : fd(platform_open_terminal()) {}
    ~Tty() { platform_close(fd); }
    Tty(const Tty&) = delete;
    Tty& operator=(const Tty&) = delete;
    int fd;
};

bool write_all(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        long n = platform_write(fd, text.data() + done, text.size() - done);
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
        long n = platform_read(fd, &c, 1);
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
    if (platform_is_terminal(0))
        return true;
    if (!platform_is_terminal(1) && !platform_is_terminal(2))
        return false;
    Tty tty;
    return tty.fd >= 0;
}

bool cli_ask(const std::string& text, std::string* answer) {
    answer->clear();
    std::fflush(stdout);
    bool in_tty = platform_is_terminal(0);
    bool err_tty = platform_is_terminal(2);
    Tty tty;
    if (!in_tty && (tty.fd < 0 || (!err_tty && !platform_is_terminal(1))))
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
