// The progress board of several units updated at once: the lines of every
// unit on standard error, on a terminal one line per unit redrawn in place.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

// Lines of every unit on standard error: on a terminal one line per unit
// redrawn in place (the cursor stays at the board's first line); otherwise
// plain lines with the unit's name in front.
class Board {
  public:
    // One row per name, in that order, each "waiting" at first.
    Board(const std::vector<std::string>& names, bool terminal);
    bool terminal() const { return terminal_; }

    // Called with standard error's lock held (CliProgress sinks, asides).
    void line(size_t unit, const std::string& text, bool whole) {
        std::lock_guard<std::mutex> guard(lock_);
        if (!terminal_) {
            if (whole)
                std::fprintf(stderr, "%s: %s\n", names_[unit].c_str(), text.c_str());
            std::fflush(stderr);
            return;
        }
        rows_[unit] = text;
        std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
        if (!held_ && now - drawn_ >= interval_)
            draw(true);
    }
    void aside(bool before) {
        std::lock_guard<std::mutex> guard(lock_);
        if (!terminal_)
            return;
        if (held_)
            return;
        if (before)
            std::fputs("\r\033[J", stderr);
        else
            draw(true);
    }
    // While a question is on the terminal, the board clears itself and
    // keeps its rows to itself.
    void hold(bool on) {
        std::lock_guard<std::mutex> guard(lock_);
        if (!terminal_)
            return;
        held_ = on;
        if (on)
            std::fputs("\r\033[J", stderr);
        else
            draw(true);
    }
    void setRow(size_t unit, const std::string& text) {
        std::lock_guard<std::mutex> guard(lock_);
        rows_[unit] = text;
    }
    // The last state, with the cursor left below the board.
    void close() {
        std::lock_guard<std::mutex> guard(lock_);
        if (terminal_)
            draw(false);
    }

  private:
    void draw(bool stay);

    // The board redraws at most this often; the last state is always drawn.
    static constexpr std::chrono::milliseconds interval_{100};
    bool terminal_;
    std::mutex lock_; // rows are set by workers outside standard error's lock
    bool held_ = false;
    std::vector<std::string> names_;
    std::vector<std::string> rows_;
    std::chrono::steady_clock::time_point drawn_{};
};

// The province answer of the first run that needs one, for every run.
