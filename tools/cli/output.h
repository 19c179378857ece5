// What trevik-cli shows, and where.
//
// Standard output carries data only: the information lines, the plan, the
// result text, or one JSON object. Everything else goes to standard error:
// failure texts, notes, the progress line and the log lines, which the
// verbosity filters (-q: errors only; default: warnings and errors; -v:
// everything the system logs).
#pragma once

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// JSON objects keep their keys in the order a command adds them.
using CliJson = nlohmann::ordered_json;

struct FailureText;

enum class CliVerbosity { Quiet, Normal, Verbose };

// Adds -q/--quiet and -v/--verbose to the root command; they may stand
// before or after the command name.
void cli_add_verbosity_flags(CLI::App& root);
CliVerbosity cli_verbosity();

// Sends the system's log lines to standard error through the verbosity
// filter, clear of the progress line. Called once at start.
void cli_install_log_sink();

// ---- JSON ----

// Adds --json and --pretty to a command that reports something.
void cli_add_json_flags(CLI::App* cmd);
// Whether the running command was asked for JSON, and indented JSON.
bool cli_json();
bool cli_pretty();
// Tests and main: sets what --json / --pretty would.
void cli_set_json(bool json, bool pretty);

// A date in every JSON object: "YYYY-MM-DD" from a yyyymmdd number, null
// for 0 or a number that is no date. Times are "YYYY-MM-DDTHH:MM:SSZ".
CliJson cli_date_json(uint32_t yyyymmdd);

// The object of exit code 7 (nothing to do), the same in every command:
// up_to_date, both versions as dates and the message, added to object.
void cli_nothing_to_do_json(CliJson* object, uint32_t online, uint32_t unit);
inline constexpr const char* CLI_ALREADY_NEWEST = "Already the newest version.";

// Prints one object on standard output: {"ok":true, ...the object's keys},
// compact unless --pretty, then a newline. Text that is not UTF-8 is
// replaced, never dropped.
void cli_print_json(const CliJson& object);

// Warnings of the whole run (a recording that could not be written) that
// every JSON object printed from now on carries in "warnings", after the
// command's own: source is asked each time an object is printed.
void cli_set_json_warnings(std::function<std::vector<std::string>()> source);

// The JSON text of a failure: {"ok":false,"error":{"code":code,"text":text}},
// with "reason" and "hint" after text when why holds them.
std::string cli_failure_json(int code, const std::string& text);
std::string cli_failure_json(int code, const std::string& text, const FailureText& why);

// Reports a failure and returns code: text (UTF-8) on standard error, and
// with --json the failure object on standard output. An empty text prints
// nothing on standard error (the command already said why).
int cli_fail(int code, const std::string& text);
// The same with the cause and the next step: their line goes under text on
// standard error (-q keeps it: it belongs to the failure), and into the
// JSON object as error.reason and error.hint.
int cli_fail(int code, const std::string& text, const FailureText& why);

// cli_fail with more to say: with --json the failure object carries the
// keys of extra beside "ok" and "error" (its own "ok" and "error" are
// ignored).
int cli_fail_with(int code, const std::string& text, const CliJson& extra);
// The same with the cause and the next step under the text (and in the
// failure object's reason and hint).
int cli_fail_with(int code, const std::string& text, const CliJson& extra, const FailureText& why);

// A note for the user on standard error, hidden by -q.
void cli_note(const std::string& text);

// ---- Text ----

// Text of the unit, packages and version files (system ANSI code page) in
// the terminal's character set. Files keep the ANSI bytes; this is for
// printing only.
std::string cli_ansi_text(const std::string& ansi);
// UTF-16 text in the terminal's character set.
std::string cli_wide_text(const std::u16string& wide);

// ---- Progress ----

// The progress display on standard error. On a terminal one line redrawn
// in place: a bar, the window's progress text, the bytes done and total.
// Otherwise a line at the start of each phase and at most one more per
// tenth of the work. -q hides it. A terminal whose TERM is "dumb" gets no
// escape sequences. One display is active at a time; log
// lines printed meanwhile never land inside its line.
class CliProgress {
  public:
    CliProgress();
    ~CliProgress();
    CliProgress(const CliProgress&) = delete;
    CliProgress& operator=(const CliProgress&) = delete;

    // Tests: a display that writes to out as if it were a terminal or not.
    CliProgress(std::FILE* out, bool terminal);

    // A display of one unit among several: its lines go to sink instead of
    // a file, with whole set when the line is complete (not a terminal) and
    // clear when it is redrawn in place. The sink is called with standard
    // error's lock held; the display never becomes the active one.
    using Sink = std::function<void(const std::string& line, bool whole)>;
    CliProgress(Sink sink, bool terminal);

    // Several displays at once: a board of lines drawn in place on standard
    // error. While one is set, printAside calls it with true before its text
    // (the board clears itself) and false after it (the board redraws).
    // Null ends it.
    static void setBoard(std::function<void(bool before)> board);

    // A new phase with its own text ("updating", "Decompressing
    // database…"), shown as it is.
    void phase(const std::string& text);
    // The progress text of the moment with done of total units (bytes).
    // total 0: no bar, no figures.
    void update(const std::string& text, uint64_t done, uint64_t total);
    // Ends the progress line before other output.
    void finish();

    // The bar, text and figures of one line, without "\r" or "\n".
    static std::string line(const std::string& text, uint64_t done, uint64_t total, bool bar);

    // Prints a whole line on standard error, moving the active display's
    // line out of its way and drawing it again below.
    static void printAside(const std::string& text);

  private:
    void draw(const std::string& line);
    void emitLine(const std::string& line);

    std::FILE* out_;
    Sink sink_;
    bool terminal_;
    bool dumb_; // TERM=dumb: the line is redrawn with "\r" and blanks, no escape sequences
    bool hidden_;
    bool open_ = false;
    std::string shown_;
    int tenth_ = -1;
    uint64_t total_ = 0;
};
