// One-line diagnostics on standard output:
// "[%8s][%5d][%20s][%s]: %s\n" with file name, line, function, level, message.
#pragma once

// The source path uses '\' separators, as in "..\common_t73\QV_Machine";
// only the part after the last '\' is printed. A trailing LF (and a CR
// before it) is dropped from the message.
void log_info(const char* source, int line, const char* function, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Level names by number 1..6; "" outside that range.
const char* log_level_name(int level);
