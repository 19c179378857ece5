#include "tools/cli/output.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "support/log.h"
#include "support/text.h"

namespace {

bool quiet_flag = false;
bool verbose_flag = false;
bool json_flag = false;
bool pretty_flag = false;

// Progress and log lines share standard error; one writer at a time.
std::mutex stderr_lock;
CliProgress* active_progress = nullptr;

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
        std::string name;
        if (locale_t loc = newlocale(LC_CTYPE_MASK, "", locale_t(0))) {
            if (const char* cs = nl_langinfo_l(CODESET, loc))
                name = cs;
            freelocale(loc);
        }
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

// iconv from one character set to another; false when a byte cannot be
// converted.
bool convert(const char* from, const char* to, const std::string& in, std::string* out) {
    iconv_t cd = iconv_open(to, from);
    if (cd == iconv_t(-1))
        return false;
    std::vector<char> buffer(in.size() * 4 + 16);
    char* src = const_cast<char*>(in.data());
    size_t src_left = in.size();
    char* dst = buffer.data();
    size_t dst_left = buffer.size();
    size_t rc = iconv(cd, &src, &src_left, &dst, &dst_left);
    iconv_close(cd);
    if (rc == size_t(-1) || src_left != 0)
        return false;
    out->assign(buffer.data(), buffer.size() - dst_left);
    return true;
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
    std::string text =
        out.dump(pretty_flag ? 2 : -1, ' ', false, CliJson::error_handler_t::replace);
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

std::string cli_failure_json(int code, const std::string& text) {
    CliJson out;
    out["ok"] = false;
    out["error"] = {{"code", code}, {"text", text}};
    return out.dump(pretty_flag ? 2 : -1, ' ', false, CliJson::error_handler_t::replace);
}

int cli_fail(int code, const std::string& text) {
    if (!text.empty())
        CliProgress::printAside(text + "\n");
    if (json_flag) {
        std::printf("%s\n", cli_failure_json(code, text).c_str());
        std::fflush(stdout);
    }
    return code;
}

int cli_fail_with(int code, const std::string& text, const CliJson& extra) {
    if (!json_flag)
        return cli_fail(code, text);
    if (!text.empty())
        CliProgress::printAside(text + "\n");
    CliJson out = CliJson::parse(cli_failure_json(code, text));
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

CliProgress::CliProgress() : CliProgress(stderr, ::isatty(STDERR_FILENO) != 0) {}

CliProgress::CliProgress(std::FILE* out, bool terminal)
    : out_(out), terminal_(terminal), hidden_(quiet_flag) {
    std::lock_guard<std::mutex> guard(stderr_lock);
    active_progress = this;
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
    if (open_) {
        std::fputc('\n', out_);
        open_ = false;
    }
    shown_.clear();
    std::fflush(out_);
}

void CliProgress::draw(const std::string& text) {
    std::fprintf(out_, "\r%s\033[K", text.c_str());
    std::fflush(out_);
    shown_ = text;
    open_ = true;
}

void CliProgress::emitLine(const std::string& text) {
    std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
    shown_ = text;
}

void CliProgress::printAside(const std::string& text) {
    std::lock_guard<std::mutex> guard(stderr_lock);
    CliProgress* p = active_progress;
    bool redraw = p && p->terminal_ && p->open_ && p->out_ == stderr;
    if (redraw)
        std::fputs("\r\033[K", stderr);
    std::fputs(text.c_str(), stderr);
    if (redraw)
        std::fprintf(stderr, "\r%s\033[K", p->shown_.c_str());
    std::fflush(stderr);
}
