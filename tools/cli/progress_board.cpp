#include "tools/cli/progress_board.h"

#include <algorithm>
#include <cstdio>

#include "support/platform.h"

Board::Board(const std::vector<std::string>& names, bool terminal) : terminal_(terminal) {
    size_t width = 0;
    for (const std::string& n : names)
        width = std::max(width, n.size());
    for (const std::string& n : names) {
        names_.push_back(n + std::string(width - n.size(), ' '));
        rows_.push_back("waiting");
    }
}

void Board::draw(bool stay) {
    int width = platform_terminal_width(2);
    size_t cols = width > 0 ? size_t(width) : 80;
    std::string out = "\r";
    for (size_t i = 0; i < rows_.size(); ++i) {
        std::string row = names_[i] + "  " + rows_[i];
        // A wrapped row would throw the cursor's count off.
        if (row.size() >= cols)
            row.resize(cols - 1);
        out += row + "\033[K\n";
    }
    if (stay)
        out += "\033[" + std::to_string(rows_.size()) + "A";
    std::fputs(out.c_str(), stderr);
    std::fflush(stderr);
    drawn_ = std::chrono::steady_clock::now();
}
