#include "support/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// The sink and its user change together; a line takes both at once.
std::mutex sink_lock;
LogSink current_sink = nullptr;
void* current_user = nullptr;
std::atomic<int> min_level{LOG_VERBOSE};

// One call of the C library's output keeps a line whole among threads.
void print_on_stdout(const char* line) {
    std::fputs(line, stdout);
}

void log_v(int level, const char* source, int line, const char* function, const char* format,
           va_list args) {
    if (level < min_level.load(std::memory_order_relaxed))
        return;
    constexpr size_t SIZE = 4096;
    char* msg = static_cast<char*>(std::malloc(SIZE));
    if (!msg)
        return;
    msg[0] = 0;
    if (format)
        std::vsnprintf(msg, SIZE, format, args);
    size_t len = std::strlen(msg);
    if (len > 0 && msg[len - 1] == '\n') {
        msg[--len] = 0;
        if (len > 0 && msg[len - 1] == '\r')
            msg[--len] = 0;
    }
    const char* file = source ? source : "";
    if (const char* slash = std::strrchr(file, '\\'))
        file = slash + 1;
    const char* fn = function ? function : "";
    const char* name = log_level_name(level);
    static const char FORMAT[] = "[%8s][%5d][%20s][%s]: %s\n";
    int need = std::snprintf(nullptr, 0, FORMAT, file, line, fn, name, msg);
    char* text = need >= 0 ? static_cast<char*>(std::malloc(size_t(need) + 1)) : nullptr;
    if (text) {
        std::snprintf(text, size_t(need) + 1, FORMAT, file, line, fn, name, msg);
        LogSink sink;
        void* user;
        {
            std::lock_guard<std::mutex> guard(sink_lock);
            sink = current_sink;
            user = current_user;
        }
        if (sink)
            sink(user, level, text);
        else
            print_on_stdout(text);
        std::free(text);
    }
    std::free(msg);
}

} // namespace

const char* log_level_name(int level) {
    static const char* const names[] = {"VERBOSE", "DEBUG", "INFO", "WARN", "ERROR", "CRITICAL"};
    return level >= 1 && level <= 6 ? names[level - 1] : "";
}

void log_set_sink(LogSink sink, void* user) {
    std::lock_guard<std::mutex> guard(sink_lock);
    current_sink = sink;
    current_user = user;
}

void log_set_min_level(int level) {
    min_level.store(level, std::memory_order_relaxed);
}

void log_message(int level, const char* source, int line, const char* function, const char* format,
                 ...) {
    va_list args;
    va_start(args, format);
    log_v(level, source, line, function, format, args);
    va_end(args);
}

void log_info(const char* source, int line, const char* function, const char* format, ...) {
    va_list args;
    va_start(args, format);
    log_v(LOG_INFO, source, line, function, format, args);
    va_end(args);
}

void log_warn(const char* source, int line, const char* function, const char* format, ...) {
    va_list args;
    va_start(args, format);
    log_v(LOG_WARN, source, line, function, format, args);
    va_end(args);
}

void log_error(const char* source, int line, const char* function, const char* format, ...) {
    va_list args;
    va_start(args, format);
    log_v(LOG_ERROR, source, line, function, format, args);
    va_end(args);
}
