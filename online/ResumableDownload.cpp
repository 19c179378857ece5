#include "online/ResumableDownload.h"

#include "online/HttpDownload.h"
#include "support/platform.h"
#include "support/temp_dir.h"
#include "support/text.h"

#include <curl/curl.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;

namespace {

// A record is a few short fields; anything longer is no record of ours.
constexpr uintmax_t RECORD_MAX_SIZE = 16 * 1024;
constexpr int PAUSE_SLICE_MS = 50;
// The component resumes at 32-bit offsets; a longer part starts afresh.
constexpr int64_t MAX_RESUME_OFFSET = UINT32_MAX;

bool ends_with(const std::string& s, const char* end) {
    std::string e(end);
    return s.size() >= e.size() && s.compare(s.size() - e.size(), e.size(), e) == 0;
}

// Length of a regular file, -1 when there is none.
int64_t file_size(const std::string& path) {
    int64_t size = -1;
    return platform_path_kind(path, &size) == PLATFORM_PATH_FILE ? size : -1;
}

void remove_quietly(const std::string& path) {
    std::error_code ec;
    fs::remove(path, ec);
}

// A drop of the connection, worth asking again for the rest: a reset, a
// time-out, a body that ended short, a server that closed without a word.
bool is_drop(int result, int curl_code) {
    if (result != DOWNLOAD_RESULT_READ && result != DOWNLOAD_RESULT_CONNECT &&
        result != DOWNLOAD_RESULT_STATUS_UNREAD)
        return false;
    switch (curl_code) {
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_GOT_NOTHING:
        return true;
    default:
        return false;
    }
}

// Passes the component's messages on with sizes and positions counted from
// the start of the file, and keeps back the end message.
struct Relay : DownloadOwner {
    DownloadOwner* next = nullptr;
    uint64_t offset = 0; // where this attempt's body starts in the file
    bool ended = false;
    uintptr_t endResult = 0;
    intptr_t endDetail = 0;

    void post(uint32_t message, uintptr_t wParam, intptr_t lParam) override {
        switch (message) {
        case UWM_DOWNLOAD_FINISHED:
            ended = true;
            endResult = wParam;
            endDetail = lParam;
            return;
        case UWM_DOWNLOAD_SIZE:
            offset = static_cast<uint64_t>(lParam);
            // A length the server did not announce stays 0.
            if (wParam != 0)
                wParam += static_cast<uintptr_t>(offset);
            break;
        case UWM_DOWNLOAD_SPEED:
            lParam += static_cast<intptr_t>(offset);
            break;
        default:
            break;
        }
        if (next)
            next->post(message, wParam, lParam);
    }
    void pass(uintptr_t result, intptr_t detail) const {
        if (next)
            next->post(UWM_DOWNLOAD_FINISHED, result, detail);
    }
};

bool default_pause(int ms, const std::function<bool()>& cancelled) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        if (cancelled && cancelled())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(PAUSE_SLICE_MS));
    }
    return !(cancelled && cancelled());
}

} // namespace

int resume_record_read(const std::string& path, ResumeRecord* rec) {
    std::error_code ec;
    if (!fs::is_regular_file(fs::symlink_status(path, ec)) ||
        fs::file_size(path, ec) > RECORD_MAX_SIZE)
        return 0;
    std::FILE* f = platform_fopen(path, "rb");
    if (!f)
        return 0;
    std::string text;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        text.append(buf, n);
    std::fclose(f);
    nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    if (!j.is_object())
        return 0;
    auto text_field = [&j](const char* key, std::string* out) {
        auto it = j.find(key);
        if (it == j.end() || !it->is_string())
            return false;
        *out = it->get<std::string>();
        return true;
    };
    ResumeRecord r;
    if (!text_field("url", &r.url) || !text_field("etag", &r.etag) ||
        !text_field("last_modified", &r.last_modified))
        return 0;
    auto total = j.find("total");
    auto written = j.find("written");
    if (total == j.end() || !total->is_number_integer() || written == j.end() ||
        !written->is_number_unsigned())
        return 0;
    r.total = total->get<int64_t>();
    r.written = written->get<uint64_t>();
    *rec = r;
    return 1;
}

int resume_record_write(const std::string& path, const ResumeRecord& rec) {
    nlohmann::json j = {{"url", rec.url},
                        {"etag", rec.etag},
                        {"last_modified", rec.last_modified},
                        {"total", rec.total},
                        {"written", rec.written}};
    std::string text = j.dump() + "\n";
    // Written whole under another name first: a record cut short by a crash
    // would be no record at all.
    std::string fresh = path + ".new";
    int fd = platform_open(fresh, PLATFORM_WRITE | PLATFORM_CREATE | PLATFORM_TRUNCATE |
                                      PLATFORM_NO_LINK);
    if (fd < 0)
        return 0;
    bool ok = platform_write(fd, text.data(), text.size()) == static_cast<long>(text.size());
    ok = platform_close(fd) == 0 && ok;
    if (!ok || platform_rename(fresh, path) != 0) {
        remove_quietly(fresh);
        return 0;
    }
    return 1;
}

std::string resume_validator(const ResumeRecord& rec) {
    if (!rec.etag.empty())
        return rec.etag.rfind("W/", 0) == 0 ? std::string() : rec.etag;
    return rec.last_modified;
}

int resume_remove_leftovers(const std::string& dir, const std::string& url) {
    int removed = 0;
    auto remove = [&removed](const std::string& p) {
        std::error_code ec;
        if (fs::remove(p, ec))
            ++removed;
    };
    auto sweep = [&](const fs::path& folder) {
        std::error_code ec;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            std::string p = it->path().string();
            if (!it->is_regular_file(ec))
                continue;
            if (ends_with(p, RESUME_RECORD_SUFFIX)) {
                ResumeRecord rec;
                if (!resume_record_read(p, &rec) || rec.url != url) {
                    remove(p.substr(0, p.size() - 5)); // its .part
                    remove(p);
                }
            } else if (ends_with(p, RESUME_PART_SUFFIX) && !fs::exists(p + ".json", ec)) {
                remove(p);
            }
        }
    };
    sweep(dir);
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_directory(ec) && !it->is_symlink(ec))
            sweep(it->path());
    return removed;
}

std::u16string resume_notice_text(int attempt, int attempts) {
    return u"Download interrupted, resuming (attempt " + utf8_to_wtext(std::to_string(attempt)) +
           u" of " + utf8_to_wtext(std::to_string(attempts)) + u")\u2026";
}

ResumeOutcome resumable_download(CHttpDownload& dl, DownloadOwner* owner, const std::u16string& url,
                                 const std::u16string& target, const ResumeOptions& options) {
    ResumeOutcome out;
    const std::string final_path = wtext_to_utf8(target.c_str());
    const std::string part = final_path + RESUME_PART_SUFFIX;
    const std::string record_path = final_path + RESUME_RECORD_SUFFIX;
    const std::u16string part16 = target + utf8_to_wtext(RESUME_PART_SUFFIX);
    const std::string url8 = wtext_to_utf8(url.c_str());

    // What an earlier run left is resumed only for the same URL, with a
    // validator to ask the server whether the file is still the same.
    ResumeRecord rec;
    uint64_t offset = 0;
    int64_t held = file_size(part);
    if (resume_record_read(record_path, &rec) && rec.url == url8 &&
        !resume_validator(rec).empty() && held > 0 && held <= MAX_RESUME_OFFSET &&
        static_cast<uint64_t>(held) <= options.max_size && (rec.total < 0 || held <= rec.total)) {
        offset = static_cast<uint64_t>(held);
    } else {
        rec = ResumeRecord();
        rec.url = url8;
        remove_quietly(part);
        remove_quietly(record_path);
    }

    auto forget = [&] {
        remove_quietly(part);
        remove_quietly(record_path);
    };
    // Whether the part can be resumed later: the server named the file's
    // length and a validator, and some of it is there.
    auto keep_for_later = [&]() -> bool {
        int64_t size = file_size(part);
        if (size <= 0 || size > MAX_RESUME_OFFSET || rec.total < 0 || size >= rec.total ||
            resume_validator(rec).empty())
            return false;
        rec.written = static_cast<uint64_t>(size);
        return resume_record_write(record_path, rec) != 0;
    };
    auto finish_complete = [&](uint64_t size) -> bool {
        if (platform_rename(part, final_path) != 0)
            return false;
        remove_quietly(record_path);
        out.complete = true;
        out.size = size;
        return true;
    };

    Relay relay;
    relay.next = owner;
    const int retries = static_cast<int>(options.pauses_ms.size());
    bool restarted = false; // one fresh start after a refused or finished range
    for (int attempt = 0;; ++attempt) {
        DownloadRequest request;
        request.url = url;
        request.target = part16;
        request.resume_offset = static_cast<uint32_t>(offset);
        dl.Configure(&relay, request);
        dl.SetKeepPartial(true);
        dl.SetMaxSize(options.max_size);
        dl.SetRefuseWebPages(true);
        if (offset != 0)
            dl.SetResumeValidator(resume_validator(rec), rec.total);
        relay.ended = false;
        relay.offset = offset;
        out.start_error = dl.Start(1);
        if (!out.start_error.empty()) {
            forget();
            return out;
        }
        out.result = static_cast<int>(relay.ended ? relay.endResult : dl.LastResult());
        out.detail = relay.ended ? relay.endDetail : 0;
        int curl_code = dl.LastCurlCode();
        long status = dl.LastStatus();
        if (status == 200 || status == 206) {
            // A fresh answer: its validators and length describe the part now.
            rec.etag = dl.LastETag();
            rec.last_modified = dl.LastModified();
            rec.total = dl.LastTotal();
        }
        int64_t size = file_size(part);

        if (out.result == DOWNLOAD_RESULT_OK && status != 0) {
            if (rec.total >= 0 && size != rec.total) {
                // Never rename a file whose length is not the one announced.
                out.result = DOWNLOAD_RESULT_READ;
                out.detail = CURLE_PARTIAL_FILE;
                curl_code = CURLE_PARTIAL_FILE;
            } else if (size >= 0 && finish_complete(static_cast<uint64_t>(size))) {
                relay.pass(DOWNLOAD_RESULT_OK, 0);
                return out;
            } else {
                forget();
                out.reason = curl_easy_strerror(CURLE_WRITE_ERROR);
                out.result = DOWNLOAD_RESULT_READ;
                out.detail = EIO;
                relay.pass(DOWNLOAD_RESULT_READ, EIO);
                return out;
            }
        }
        if (out.result == DOWNLOAD_RESULT_OK) {
            // Stopped before a request went out: nothing to show.
            forget();
            relay.pass(DOWNLOAD_RESULT_OK, 0);
            return out;
        }

        bool range_done = status == 416 || curl_code == CURLE_RANGE_ERROR;
        if (status == 416 && rec.total >= 0 && size == rec.total &&
            (!options.check || options.check(part16))) {
            // The server has nothing past what the part holds: it is whole.
            if (finish_complete(static_cast<uint64_t>(size))) {
                out.result = DOWNLOAD_RESULT_OK;
                out.detail = 0;
                relay.pass(DOWNLOAD_RESULT_OK, 0);
                return out;
            }
        }
        if (range_done && !restarted) {
            // The part is not what the server has: start again from zero.
            restarted = true;
            forget();
            rec = ResumeRecord();
            rec.url = url8;
            offset = 0;
            --attempt;
            continue;
        }

        out.reason = dl.LastErrorText();
        if (curl_code == CURLE_FILESIZE_EXCEEDED || curl_code == CURLE_WEIRD_SERVER_REPLY) {
            // Too large, or not the package at all: nothing of it is kept.
            forget();
            out.refused = true;
            relay.pass(static_cast<uintptr_t>(out.result), out.detail);
            return out;
        }
        bool drop = is_drop(out.result, curl_code);
        bool stopped = out.result == DOWNLOAD_RESULT_ABORTED;
        if (drop && attempt < retries && !(options.cancelled && options.cancelled())) {
            offset = keep_for_later() ? rec.written : 0;
            if (offset == 0)
                forget();
            out.retries = attempt + 1;
            if (options.notice)
                options.notice(resume_notice_text(attempt + 1, retries));
            int ms = options.pauses_ms[static_cast<size_t>(attempt)];
            bool go_on = options.pause ? options.pause(ms) : default_pause(ms, options.cancelled);
            if (go_on)
                continue;
            stopped = true;
            out.result = DOWNLOAD_RESULT_ABORTED;
            out.detail = 0;
        }
        // Given up: the connection kept dropping, or an answer after a drop
        // was no use.
        out.gave_up = !stopped && (drop || out.retries > 0);
        // Whatever ended the run, sound bytes stay for the next run of the
        // same URL when they can be resumed; a failed answer's body never
        // reached the part.
        if (!keep_for_later())
            forget();
        relay.pass(static_cast<uintptr_t>(out.result), out.detail);
        return out;
    }
}
