// A package download that survives a dropped connection: the bytes arrive
// in NAME.part beside a small record (NAME.part.json: URL, validators, total
// length, bytes written); a drop is followed by up to three more attempts,
// each asking only for the rest, and only a complete file is renamed to
// NAME. What a run that gave up leaves behind is resumed by the next run of
// the same URL.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "online/messages.h"

class CHttpDownload;

// Name endings of the partial file and of its record.
inline constexpr const char* RESUME_PART_SUFFIX = ".part";
inline constexpr const char* RESUME_RECORD_SUFFIX = ".part.json";

// What the record keeps about a partial download.
struct ResumeRecord {
    std::string url;
    std::string etag; // as the server sent it, quotes and all
    std::string last_modified;
    int64_t total = -1; // the whole file's length, -1 when unknown
    uint64_t written = 0;
};

// Reads a record. Returns 1, or 0 when the file is missing, no JSON object,
// or its fields are of the wrong kinds (*rec is then unchanged).
int resume_record_read(const std::string& path, ResumeRecord* rec);
// Writes a record (readable by this user alone). Returns 1, or 0 on failure.
int resume_record_write(const std::string& path, const ResumeRecord& rec);

// What goes out as If-Range: the ETag when it is a strong one, the
// Last-Modified date when there is no ETag, else the empty text (no
// resuming: a weak ETag never vouches for single bytes).
std::string resume_validator(const ResumeRecord& rec);

// Removes the partial downloads in dir and in its folders one level down
// that belong to another URL than url: each record naming another URL (or
// unreadable) with its .part file, and each .part file without a record.
// Returns how many files were removed.
int resume_remove_leftovers(const std::string& dir, const std::string& url);

// "Download interrupted, resuming (attempt 2 of 3)…"
std::u16string resume_notice_text(int attempt, int attempts);

// The most a package download may bring: far above the flash of any unit
// (a few MiB) and above any package the makers publish, yet small enough
// that a server sending without end cannot fill the temporary folder (often
// held in memory). What passes it is removed at once.
inline constexpr uint64_t PACKAGE_DOWNLOAD_MAX_SIZE = 256ull * 1024 * 1024;

struct ResumeOptions {
    // The bound of the download (see PACKAGE_DOWNLOAD_MAX_SIZE).
    uint64_t max_size = PACKAGE_DOWNLOAD_MAX_SIZE;
    // The pause before each retry; their number is the number of retries.
    std::vector<int> pauses_ms{1000, 2000, 4000};
    // Waits ms; returns false when the wait was cut short and no retry
    // should follow. Unset: sleeps, watching cancelled every 50 ms.
    std::function<bool(int ms)> pause;
    // True once the run is being stopped (the window closes).
    std::function<bool()> cancelled;
    // Told the notice text before each retry.
    std::function<void(const std::u16string&)> notice;
    // Whether a file the server calls complete (416) is a sound package;
    // unset: only its length is checked.
    std::function<bool(const std::u16string& path)> check;
};

struct ResumeOutcome {
    std::u16string start_error; // the component's start error; nothing ran then
    int result = -1;            // the end message passed on to the owner
    intptr_t detail = 0;
    bool complete = false; // the file is at its final name, whole
    uint64_t size = 0;     // its length
    int retries = 0;       // retries made
    bool gave_up = false;  // the last retry failed too
    bool refused = false;  // what came is not the package, or more than one can be
    std::string reason;    // libcurl's message for the last failure
};

// Downloads url into target (as target + ".part" first) on the calling
// thread with dl. The component's messages reach owner (may be null) with
// sizes and positions counted from the file's start, so the percentage
// goes on from where a drop stopped it; the end messages of failed
// attempts that are retried are held back, so owner sees exactly one, the
// last. Whenever it fails, the record and the partial file stay when the
// server gave a validator and a length and the part can go on later;
// otherwise nothing of the download is left. A 416 with a part as long as
// the recorded total makes it the target when options.check passes; a 416
// otherwise, or a 206 that is not the rest asked for (another validator,
// place or total), starts the file again from zero (once). A 206 whose body
// is not the range it claims is a drop; a web page, a 206 nobody asked for
// and a file past options.max_size end the run and leave nothing behind.
ResumeOutcome resumable_download(CHttpDownload& dl, DownloadOwner* owner, const std::u16string& url,
                                 const std::u16string& target, const ResumeOptions& options);
