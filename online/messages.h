// Messages the download component posts to its owner, and the owner
// interface they go through. The window implements post() by queueing the
// message to its own thread (posting order is kept); tests implement it with
// a queue.
#pragma once

#include <cstdint>

// Message ids of the main window.
inline constexpr uint32_t WM_APP_BASE = 0x8000;
// wParam: result 0..6 (DOWNLOAD_RESULT_*); lParam: detail.
inline constexpr uint32_t UWM_DOWNLOAD_FINISHED = WM_APP_BASE + 0x51;
// wParam: content length (0 when the server sent none); lParam: resume offset.
inline constexpr uint32_t UWM_DOWNLOAD_SIZE = WM_APP_BASE + 0x52;
// wParam: whole percentage; lParam: 0.
inline constexpr uint32_t UWM_DOWNLOAD_PERCENT = WM_APP_BASE + 0x53;
// wParam: speed in KB/s x 100000, truncated; lParam: bytes received in this
// transfer.
inline constexpr uint32_t UWM_DOWNLOAD_SPEED = WM_APP_BASE + 0x54;

// Result codes of UWM_DOWNLOAD_FINISHED and what lParam then holds.
inline constexpr int DOWNLOAD_RESULT_OK = 0;      // complete, or aborted before the request; 0
inline constexpr int DOWNLOAD_RESULT_SESSION = 1; // the client could not be set up; 0
inline constexpr int DOWNLOAD_RESULT_CONNECT =
    2; // connecting or sending failed, certificate refused; libcurl code
inline constexpr int DOWNLOAD_RESULT_READ =
    3; // reading failed (libcurl code) or writing the target failed (errno)
inline constexpr int DOWNLOAD_RESULT_STATUS_UNREAD = 4; // no readable HTTP status; libcurl code
inline constexpr int DOWNLOAD_RESULT_HTTP_STATUS = 5;   // HTTP status not 200/206; the status
inline constexpr int DOWNLOAD_RESULT_ABORTED = 6;       // aborted after the request was sent; 0

// Receives the download component's messages. post() is called on the
// thread that runs the transfer and must not block on the owner's thread.
class DownloadOwner {
  public:
    virtual ~DownloadOwner() = default;
    virtual void post(uint32_t message, uintptr_t wParam, intptr_t lParam) = 0;
};
