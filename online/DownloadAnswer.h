// What the download component makes of a server's final answer before a
// byte of its body is written: whether it is the whole file, the rest of
// the file the target holds, a reason to start afresh, a drop, or not the
// file at all. Plain functions over the answer's headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// What was asked for.
struct DownloadAsk {
    uint64_t offset = 0;         // the Range start; 0 when no range was asked
    std::string if_range;        // the validator sent as If-Range; empty when none
    int64_t expected_total = -1; // the whole file's length the part belongs to; -1 unknown
};

// What the final answer's headers said.
struct DownloadAnswer {
    long status = 0;
    std::string etag, last_modified, content_range;
    bool length_known = false;
    uint64_t content_length = 0;
};

enum class AnswerUse {
    Whole,      // a 200: the whole file (a target holding a part starts afresh)
    Rest,       // a 206 that is the rest of the file the target holds
    Restart,    // a 206 of another version of the file, or of another place
                // or length: the part is of no use, start afresh
    Drop,       // a 206 whose body cannot be the range it claims: ask again
    NotPackage, // a 206 where no range was asked: not the file at all
};

struct AnswerVerdict {
    AnswerUse use = AnswerUse::Whole;
    int64_t total = -1;        // the whole file's length the answer names, -1 unknown
    int64_t range_length = -1; // a Rest: the bytes its range claims
};

// Judges a 200 or 206 answer to ask.
AnswerVerdict download_judge_answer(const DownloadAsk& ask, const DownloadAnswer& answer);

// Reads "bytes FIRST-LAST/TOTAL" of a Content-Range; *total is -1 for "*".
bool download_parse_content_range(const std::string& v, uint64_t* first, uint64_t* last,
                                  int64_t* total);

// Whether a body that begins with these bytes is a web page (an HTML
// document, as a server's error or login page is) rather than a file. A
// package, zip or not, never begins so. Leading blanks and a UTF-8 byte
// order mark are skipped.
bool download_looks_like_web_page(const char* data, size_t n);

// "256 MiB", "64 KiB" or "1000 bytes": a size bound as the user reads it.
std::string download_size_text(uint64_t bytes);
