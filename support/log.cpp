#include "support/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char* log_level_name(int level) {
    static const char* const names[] = {"VERBOSE", "DEBUG", "INFO", "WARN", "ERROR", "CRITICAL"};
    return level >= 1 && level <= 6 ? names[level - 1] : "";
}

void log_info(const char* source, int line, const char* function, const char* format, ...) {
    constexpr size_t SIZE = 4096;
    char* msg = static_cast<char*>(std::malloc(SIZE));
    if (!msg)
        return;
    msg[0] = 0;
    if (format) {
        va_list args;
        va_start(args, format);
        std::vsnprintf(msg, SIZE, format, args);
        va_end(args);
    }
    size_t len = std::strlen(msg);
    if (len > 0 && msg[len - 1] == '\n') {
        msg[--len] = 0;
        if (len > 0 && msg[len - 1] == '\r')
            msg[--len] = 0;
    }
    const char* file = source ? source : "";
    if (const char* slash = std::strrchr(file, '\\'))
        file = slash + 1;
    std::printf("[%8s][%5d][%20s][%s]: %s\n", file, line, function ? function : "",
                log_level_name(3), msg);
    std::free(msg);
}
