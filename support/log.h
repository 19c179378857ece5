// One-line diagnostics: "[%8s][%5d][%20s][%s]: %s\n" with file name, line,
// function, level name and message.
//
// Lines go to a sink. Without one they are printed on standard output, as
// the window has always shown them; trevik-cli installs its own sink that
// keeps them on standard error.
#pragma once

enum LogLevel {
    LOG_VERBOSE = 1,
    LOG_DEBUG = 2,
    LOG_INFO = 3,
    LOG_WARN = 4,
    LOG_ERROR = 5,
    LOG_CRITICAL = 6,
};

// Receives one whole line, ending in "\n", with its level. Called on the
// thread that logged; a sink must be callable from any thread.
using LogSink = void (*)(void* user, int level, const char* line);

// Installs sink (with user) for every later line; a null sink restores
// printing on standard output. Meant to be called before other threads log.
void log_set_sink(LogSink sink, void* user);

// Lines below level are dropped before they are formatted. The default is
// LOG_VERBOSE: every line is kept.
void log_set_min_level(int level);

// Formats one line at level and hands it to the sink. The source path uses
// '\' separators, as in "..\common_t73\QV_Machine"; only the part after the
// last '\' is printed. The message is cut at 4095 characters; a trailing LF
// (and a CR before it) is dropped. Nothing is logged when memory runs out.
void log_message(int level, const char* source, int line, const char* function, const char* format,
                 ...) __attribute__((format(printf, 5, 6)));

// log_message at LOG_INFO, LOG_WARN and LOG_ERROR.
void log_info(const char* source, int line, const char* function, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void log_warn(const char* source, int line, const char* function, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void log_error(const char* source, int line, const char* function, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Level names by number 1..6; "" outside that range.
const char* log_level_name(int level);
