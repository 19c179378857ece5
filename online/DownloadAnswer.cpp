#include "online/DownloadAnswer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

// Whether the answer vouches for the validator sent: an ETag must come back
// the same, a date as the same Last-Modified. A server that drops or changes
// it may hold another version of the file, whatever its status says.
bool same_validator(const std::string& sent, const DownloadAnswer& a) {
    bool etag = !sent.empty() && (sent[0] == '"' || sent.rfind("W/", 0) == 0);
    return etag ? a.etag == sent : a.last_modified == sent;
}

} // namespace

bool download_parse_content_range(const std::string& v, uint64_t* first, uint64_t* last,
                                  int64_t* total) {
    unsigned long long a = 0, b = 0, t = 0;
    int used = 0;
    if (std::sscanf(v.c_str(), "bytes %llu-%llu/%n", &a, &b, &used) != 2 || used == 0 || b < a)
        return false;
    std::string rest = v.substr(static_cast<size_t>(used));
    if (rest == "*") {
        *total = -1;
    } else {
        if (rest.empty() || rest.find_first_not_of("0123456789") != std::string::npos ||
            rest.size() > 18)
            return false;
        t = std::strtoull(rest.c_str(), nullptr, 10);
        if (b >= t)
            return false;
        *total = static_cast<int64_t>(t);
    }
    *first = a;
    *last = b;
    return true;
}

AnswerVerdict download_judge_answer(const DownloadAsk& ask, const DownloadAnswer& answer) {
    AnswerVerdict v;
    if (answer.status != 206) {
        if (answer.length_known)
            v.total = static_cast<int64_t>(answer.content_length);
        return v;
    }
    if (ask.offset == 0) {
        // Part of something when the whole file was asked for.
        v.use = AnswerUse::NotPackage;
        return v;
    }
    uint64_t first = 0, last = 0;
    int64_t total = -1;
    if (!download_parse_content_range(answer.content_range, &first, &last, &total) ||
        first != ask.offset || (ask.expected_total >= 0 && total != ask.expected_total) ||
        (!ask.if_range.empty() && !same_validator(ask.if_range, answer))) {
        v.use = AnswerUse::Restart;
        return v;
    }
    v.total = total;
    v.range_length = static_cast<int64_t>(last - first + 1);
    // A body announced longer or shorter than its range is not that range
    // (an error page under a 206, say): nothing of it is written.
    v.use = answer.length_known && answer.content_length != last - first + 1 ? AnswerUse::Drop
                                                                             : AnswerUse::Rest;
    return v;
}

bool download_looks_like_web_page(const char* data, size_t n) {
    size_t i = 0;
    if (n >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0)
        i = 3;
    while (i < n && (data[i] == ' ' || data[i] == '\t' || data[i] == '\r' || data[i] == '\n'))
        ++i;
    static const char* const starts[] = {"<!doctype html", "<html", "<head",
                                         "<body",          "<?xml", "<!--"};
    for (const char* s : starts) {
        size_t len = std::strlen(s);
        if (n - i >= len && strncasecmp(data + i, s, len) == 0)
            return true;
    }
    return false;
}

std::string download_size_text(uint64_t bytes) {
    constexpr uint64_t KIB = 1024, MIB = 1024 * 1024;
    if (bytes >= MIB && bytes % MIB == 0)
        return std::to_string(bytes / MIB) + " MiB";
    if (bytes >= KIB && bytes % KIB == 0)
        return std::to_string(bytes / KIB) + " KiB";
    return std::to_string(bytes) + " bytes";
}
