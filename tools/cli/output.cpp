#include "tools/cli/output.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "update/failure_text.h"
#include "support/charset.h"
#include "support/log.h"
#include "support/platform.h"
#include "support/text.h"
#include "tools/cli/unit_access.h"

namespace {

bool quiet_flag = false;
bool verbose_flag = false;
bool json_flag = false;
bool pretty_flag = false;

// Progress and log lines share standard error; one writer at a time.
std::mutex stderr_lock;
CliProgress* active_progress = nullptr;
std::function<void(bool before)> active_board;
std::function<std::vector<std::string>()> json_warnings;

// The run's warnings beside the command's own, each once.
void add_json_warnings(CliJson* out) {
    if (!json_warnings)
        return;
    for (const std::string& w : json_warnings()) {
        CliJson& list = (*out)["warnings"];
        if (!list.is_array())
            list = CliJson::array();
        if (std::find(list.begin(), list.end(), CliJson(w)) == list.end())
            list.push_back(w);
    }
}

bool is_ascii(const std::string& s) {
    for (unsigned char c : s)
        if (c >= 0x80)
            return false;
    return true;
}

// The character set of the user's locale; UTF-8 when the locale names
// none, or only ASCII, which cannot show the unit's texts at all.
const std::string& terminal_codeset() {
    static const std::string codeset = [] {
        std::string name = platform_terminal_charset();
        std::string lower;
        for (char c : name)
            lower.push_back(char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
        if (lower.empty() || lower == "utf-8" || lower == "utf8" || lower == "ansi_x3.4-1968" ||
            lower == "ascii" || lower == "us-ascii")
            return std::string("UTF-8");
        return name;
    }();
    return codeset;
}

bool terminal_is_utf8() {
    return terminal_codeset() == "UTF-8";
}

// From one character set to another; false when a byte cannot be
// converted.
bool convert(const char* from, const char* to, const std::string& in, std::string* out) {
    std::vector<char> bytes;
    if (!charset_convert(to, from, in.data(), in.size(), &bytes))
        return false;
    out->assign(bytes.begin(), bytes.end());
    return true;
}

bool dumb_terminal() {
    const char* term = std::getenv("TERM");
    return term && std::strcmp(term, "dumb") == 0;
}

void log_to_stderr(void*, int level, const char* line) {
    int shown_from = quiet_flag ? LOG_ERROR : verbose_flag ? LOG_VERBOSE : LOG_WARN;
    if (level < shown_from)
        return;
    CliProgress::printAside(cli_ansi_text(line));
}

} // namespace

void cli_add_verbosity_flags(CLI::App& root) {
    CLI::Option* q =
        root.add_flag("-q,--quiet", quiet_flag, "Print nothing on standard error but errors");
    CLI::Option* v = root.add_flag("-v,--verbose", verbose_flag,
                                   "Also print the system's log lines (on standard error)");
    q->excludes(v);
}

CliVerbosity cli_verbosity() {
    return quiet_flag     ? CliVerbosity::Quiet
           : verbose_flag ? CliVerbosity::Verbose
                          : CliVerbosity::Normal;
}

void cli_install_log_sink() {
    log_set_sink(log_to_stderr, nullptr);
}

void cli_add_json_flags(CLI::App* cmd) {
    cmd->add_flag("--json", json_flag, "Print one JSON object (failures too)");
    cmd->add_flag("--pretty", pretty_flag, "Indent the JSON object");
}

bool cli_json() {
    return json_flag;
}

bool cli_pretty() {
    return pretty_flag;
}

void cli_set_json(bool json, bool pretty) {
    json_flag = json;
    pretty_flag = pretty;
}

void cli_print_json(const CliJson& object) {
    CliJson out;
    out["ok"] = object.contains("ok") ? object["ok"] : CliJson(true);
    for (auto it = object.begin(); it != object.end(); ++it)
        if (it.key() != "ok")
            out[it.key()] = it.value();
    add_json_warnings(&out);
    std::string text =
        out.dump(pretty_flag ? 2 : -1, ' ', false, CliJson::error_handler_t::replace);
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

void cli_set_json_warnings(std::function<std::vector<std::string>()> source) {
    json_warnings = std::move(source);
}

CliJson cli_date_json(uint32_t d) {
    uint32_t year = d / 10000, month = d / 100 % 100, day = d % 100;
    if (year == 0 || month < 1 || month > 12 || day < 1 || day > 31)
        return nullptr;
    char text[16];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u", year, month, day);
    return text;
}

void cli_nothing_to_do_json(CliJson* object, uint32_t online, uint32_t unit) {
    (*object)["version"] = cli_date_json(online);
    (*object)["unit_version"] = cli_date_json(unit);
    (*object)["up_to_date"] = true;
    (*object)["message"] = CLI_ALREADY_NEWEST;
}

std::string cli_failure_json(int code, const std::string& text) {
    return cli_failure_json(code, text, FailureText());
}

std::string cli_failure_json(int code, const std::string& text, const FailureText& why) {
    CliJson out;
    out["ok"] = false;
    out["error"] = {{"code", code}, {"text", text}};
    // A unit that could not be reached has its cause and next step from
    // one place, whichever command failed to reach it.
    FailureText unit_why =
        why.reason.empty() && why.hint.empty() ? cli_unit_failure_why(code, text) : why;
    if (!unit_why.reason.empty())
        out["error"]["reason"] = unit_why.reason;
    if (!unit_why.hint.empty())
        out["error"]["hint"] = unit_why.hint;
    add_json_warnings(&out);
    return out.dump(pretty_flag ? 2 : -1, ' ', false, CliJson::error_handler_t::replace);
}

int cli_fail(int code, const std::string& text) {
    return cli_fail(code, text, FailureText());
}

int cli_fail(int code, const std::string& text, const FailureText& why) {
    std::string shown = text;
    std::string line = failure_text_line(why);
    if (!line.empty())
        shown += (shown.empty() ? "" : "\n") + line;
    if (!shown.empty())
        CliProgress::printAside(shown + "\n");
    if (json_flag) {
        std::printf("%s\n", cli_failure_json(code, text, why).c_str());
        std::fflush(stdout);
    }
    return code;
}

int cli_fail_with(int code, const std::string& text, const CliJson& extra) {
    return cli_fail_with(code, text, extra, FailureText());
}

int cli_fail_with(int code, const std::string& text, const CliJson& extra, const FailureText& why) {
    if (!json_flag || extra.empty())
        return cli_fail(code, text, why);
    std::string line = failure_text_line(why);
    std::string shown = text + (line.empty() ? "" : (text.empty() ? "" : "\n") + line);
    if (!shown.empty())
        CliProgress::printAside(shown + "\n");
    CliJson out = CliJson::parse(cli_failure_json(code, text, why));
    for (auto it = extra.begin(); it != extra.end(); ++it)
        if (it.key() != "ok" && it.key() != "error")
            out[it.key()] = it.value();
    cli_print_json(out);
    return code;
}

void cli_note(const std::string& text) {
    if (!quiet_flag)
        CliProgress::printAside(text + "\n");
}

std::string cli_ansi_text(const std::string& ansi) {
    if (is_ascii(ansi))
        return ansi;
    std::string out;
    if (convert(ANSI_CODE_PAGE, terminal_codeset().c_str(), ansi, &out))
        return out;
    return ansi;
}

std::string cli_wide_text(const std::u16string& wide) {
    std::string utf8 = wtext_to_utf8(wide.c_str());
    if (terminal_is_utf8() || is_ascii(utf8))
        return utf8;
    std::string out;
    if (convert("UTF-8", terminal_codeset().c_str(), utf8, &out))
        return out;
    return utf8;
}

// ---- Progress ----

CliProgress::CliProgress() : CliProgress(stderr, platform_is_terminal(2)) {}

CliProgress::CliProgress(std::FILE* out, bool terminal)
    : out_(out), terminal_(terminal), dumb_(dumb_terminal()), hidden_(quiet_flag) {
    std::lock_guard<std::mutex> guard(stderr_lock);
    active_progress = this;
}

CliProgress::CliProgress(Sink sink, bool terminal)
    : out_(nullptr), sink_(std::move(sink)), terminal_(terminal), hidden_(quiet_flag) {}

void CliProgress::setBoard(std::function<void(bool before)> board) {
    std::lock_guard<std::mutex> guard(stderr_lock);
    active_board = std::move(board);
}

CliProgress::~CliProgress() {
    finish();
    std::lock_guard<std::mutex> guard(stderr_lock);
    if (active_progress == this)
        active_progress = nullptr;
}

std::string CliProgress::line(const std::string& text, uint64_t done, uint64_t total, bool bar) {
    std::string out;
    if (bar && total > 0) {
        constexpr int CELLS = 20;
        uint64_t filled = (done >= total ? total : done) * CELLS / total;
        out = "[" + std::string(size_t(filled), '#') + std::string(size_t(CELLS - filled), '.') +
              "] ";
    }
    out += text;
    if (total > 0)
        out += "  " + std::to_string(done) + "/" + std::to_string(total) + " bytes";
    return out;
}

void CliProgress::phase(const std::string& text) {
    if (hidden_ || text.empty())
        return;
    std::lock_guard<std::mutex> guard(stderr_lock);
    tenth_ = -1;
    total_ = 0;
    if (terminal_)
        draw(text);
    else if (text != shown_)
        emitLine(text);
}

void CliProgress::update(const std::string& text, uint64_t done, uint64_t total) {
    if (hidden_ || text.empty())
        return;
    std::lock_guard<std::mutex> guard(stderr_lock);
    if (terminal_) {
        draw(line(text, done, total, true));
        return;
    }
    if (total == 0)
        return; // no measure of tenths
    if (total != total_) {
        total_ = total;
        tenth_ = -1;
    }
    int tenth = int((done >= total ? total : done) * 10 / total);
    if (tenth == tenth_)
        return;
    tenth_ = tenth;
    emitLine(line(text, done, total, false));
}

void CliProgress::finish() {
    std::lock_guard<std::mutex> guard(stderr_lock);
    if (open_ && out_)
        std::fputc('\n', out_);
    open_ = false;
    shown_.clear();
    if (out_)
        std::fflush(out_);
}

void CliProgress::draw(const std::string& text) {
    if (sink_) {
        sink_(text, false);
        shown_ = text;
        return;
    }
    if (dumb_) {
        // Blanks cover what is left of a longer line before.
        size_t wider = shown_.size() > text.size() ? shown_.size() - text.size() : 0;
        std::fprintf(out_, "\r%s%s", text.c_str(), std::string(wider, ' ').c_str());
        if (wider)
            std::fprintf(out_, "\r%s", text.c_str());
    } else {
        std::fprintf(out_, "\r%s\033[K", text.c_str());
    }
    std::fflush(out_);
    shown_ = text;
    open_ = true;
}

void CliProgress::emitLine(const std::string& text) {
    if (sink_) {
        sink_(text, true);
        shown_ = text;
        return;
    }
    std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
    shown_ = text;
}

void CliProgress::printAside(const std::string& text) {
    std::lock_guard<std::mutex> guard(stderr_lock);
    CliProgress* p = active_progress;
    bool redraw = p && p->terminal_ && p->open_ && p->out_ == stderr;
    if (redraw && p->dumb_)
        std::fprintf(stderr, "\r%s\r", std::string(p->shown_.size(), ' ').c_str());
    else if (redraw)
        std::fputs("\r\033[K", stderr);
    if (active_board)
        active_board(true);
    std::fputs(text.c_str(), stderr);
    if (active_board)
        active_board(false);
    if (redraw && p->dumb_)
        std::fprintf(stderr, "%s", p->shown_.c_str());
    else if (redraw)
        std::fprintf(stderr, "\r%s\033[K", p->shown_.c_str());
    std::fflush(stderr);
}
