#include "online/DownloadEnd.h"

#include <curl/curl.h>

#include <cerrno>

#include "online/DownloadAnswer.h"
#include "online/messages.h"

namespace {

TransferEnd failure(int result, intptr_t detail, CURLcode code, std::string why = {}) {
    TransferEnd e;
    e.failed = true;
    e.result = result;
    e.detail = detail;
    e.curl_code = static_cast<int>(code);
    e.why = std::move(why);
    return e;
}

TransferEnd finished(int result) {
    TransferEnd e;
    e.result = result;
    return e;
}

} // namespace

TransferEnd download_judge_end(const TransferFacts& f) {
    const auto rc = static_cast<CURLcode>(f.curl_result);
    if (f.aborted >= 0)
        return finished(f.aborted);
    if (f.not_package)
        return failure(DOWNLOAD_RESULT_READ, CURLE_WEIRD_SERVER_REPLY, CURLE_WEIRD_SERVER_REPLY,
                       std::string("the server sent something that is not the ") +
                           (f.refuse_web_pages ? "package" : "file asked for") + " (" +
                           f.not_package + ")");
    if (f.file_error != 0) {
        if (f.file_error == EFBIG)
            return failure(DOWNLOAD_RESULT_READ, f.file_error, CURLE_FILESIZE_EXCEEDED,
                           "the server sent more than the " + download_size_text(f.max_size) +
                               " a download may be");
        return failure(DOWNLOAD_RESULT_READ, f.file_error, CURLE_WRITE_ERROR);
    }
    if (f.range_refused)
        return failure(DOWNLOAD_RESULT_READ, CURLE_RANGE_ERROR, CURLE_RANGE_ERROR);
    if (f.range_short ||
        (rc == CURLE_OK && f.range_length >= 0 &&
         f.received < static_cast<uint64_t>(f.range_length) && !f.abort_requested)) {
        // A body that is not the range it claims is no data: the part goes
        // back to what it held, and the rest is asked for again.
        TransferEnd e =
            failure(DOWNLOAD_RESULT_READ, CURLE_PARTIAL_FILE, CURLE_PARTIAL_FILE,
                    "the server's answer did not hold the part of the file it announced");
        e.cut_part = true;
        return e;
    }
    const int dropped = f.good ? DOWNLOAD_RESULT_READ : DOWNLOAD_RESULT_CONNECT;
    if (f.too_slow)
        return failure(dropped, CURLE_OPERATION_TIMEDOUT, CURLE_OPERATION_TIMEDOUT,
                       "the transfer stayed below " + std::to_string(f.low_speed_bytes_per_second) +
                           " bytes/s for " + std::to_string((f.low_speed_ms + 999) / 1000) + " s");
    if (f.stalled)
        return failure(dropped, CURLE_OPERATION_TIMEDOUT, CURLE_OPERATION_TIMEDOUT);
    if (f.bad_status != 0)
        return failure(DOWNLOAD_RESULT_HTTP_STATUS, f.bad_status, CURLE_HTTP_RETURNED_ERROR);
    if (rc != CURLE_OK) {
        if (f.good)
            return failure(DOWNLOAD_RESULT_READ, rc, rc);
        if (rc == CURLE_WEIRD_SERVER_REPLY || rc == CURLE_GOT_NOTHING ||
            rc == CURLE_UNSUPPORTED_PROTOCOL)
            return failure(DOWNLOAD_RESULT_STATUS_UNREAD, rc, rc);
        return failure(DOWNLOAD_RESULT_CONNECT, rc, rc);
    }
    if (!f.good) {
        // The last answer was a challenge that was not met or a redirect
        // that was not followed.
        TransferEnd e =
            f.response_code == 0
                ? failure(DOWNLOAD_RESULT_STATUS_UNREAD, rc, CURLE_GOT_NOTHING)
                : failure(DOWNLOAD_RESULT_HTTP_STATUS, f.response_code, CURLE_HTTP_RETURNED_ERROR);
        e.last_status = f.response_code;
        return e;
    }
    if (f.length_known && f.received < f.content_length && !f.abort_requested)
        // A body that ended before the announced length is no complete file.
        return failure(DOWNLOAD_RESULT_READ, CURLE_PARTIAL_FILE, CURLE_PARTIAL_FILE);
    return finished(f.abort_requested ? DOWNLOAD_RESULT_ABORTED : DOWNLOAD_RESULT_OK);
}
