// Report transport to a unit emulator on a stream connection: a
// Unix-domain socket (socket:PATH) or loopback TCP (tcp:HOST:PORT).
//
// Host to unit: whole 65-byte reports. Unit to host: whole 65-byte reports
// (report id 0 first) and, between them, one SOCKET_REPORT_TAKEN byte for
// every report the unit has taken. A write completes only when its byte has
// come back, so a slow unit slows the host down the way a USB endpoint does,
// instead of the host running seconds ahead and then timing out on a reply.
#include <array>
#include <chrono>
#include <cstring>
#include <deque>
#include <thread>

#include "common_t73/QV_HidTransports.h"
#include "support/net.h"

namespace {

using Clock = std::chrono::steady_clock;

// A freshly started emulator may refuse for a moment; a stale socket file
// whose emulator is gone refuses for good, so the wait stays short.
constexpr auto CONNECT_RETRY_FOR = std::chrono::milliseconds(300);
constexpr auto CONNECT_RETRY_STEP = std::chrono::milliseconds(10);

// Reports the unit sent that the host has not read yet. Like the input queue
// of a HID device it is bounded: beyond this the oldest are dropped.
constexpr size_t MAX_QUEUED_REPORTS = 4096;

int ms_left(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

class SocketTransport : public QV_ReportTransport {
  public:
    explicit SocketTransport(NetSocket fd) : fd_(fd) {}
    ~SocketTransport() override { net_close(fd_); }

    int writeReport(const uint8_t* report, int timeoutMs) override {
        if (gone_)
            return 0;
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        int sent = 0;
        while (sent < REPORT_SIZE) {
            long n = net_send(fd_, report + sent, static_cast<size_t>(REPORT_SIZE - sent));
            if (n > 0) {
                sent += static_cast<int>(n);
                continue;
            }
            if (n == 0) {
                if (!wait(true, deadline))
                    return 0;
                continue;
            }
            gone_ = true; // the emulator closed the connection: the unit is gone
            return 0;
        }
        // Reports taken late after an earlier write gave up are still owed
        // first: the unit takes reports in order.
        ++owed_;
        while (owed_ > 0)
            if (!receiveSome(deadline))
                return 0;
        return REPORT_SIZE;
    }

    int readReport(uint8_t* report, int timeoutMs) override {
        if (gone_)
            return 0;
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (reports_.empty())
            if (!receiveSome(deadline))
                return 0; // a part of a report stays pending, never in report
        std::memcpy(report, reports_.front().data(), REPORT_SIZE);
        reports_.pop_front();
        return REPORT_SIZE;
    }

    void discardInput() override {
        uint8_t scratch[4096];
        for (int i = 0; i < 1024 && !gone_; ++i) {
            long n = net_recv(fd_, scratch, sizeof scratch);
            if (n < 0)
                gone_ = true;
            if (n <= 0)
                break;
            take(scratch, static_cast<size_t>(n));
        }
        reports_.clear();
        // The rest of a report cut off here is dropped as it arrives.
        if (have_ > 0)
            dropPartial_ = true;
    }

  private:
    // Receives what has arrived, waiting until deadline for at least one
    // byte. False on time-out or when the unit is gone.
    bool receiveSome(Clock::time_point deadline) {
        uint8_t buf[4096];
        for (;;) {
            if (gone_)
                return false;
            long n = net_recv(fd_, buf, sizeof buf);
            if (n > 0) {
                take(buf, static_cast<size_t>(n));
                return true;
            }
            if (n == 0) {
                if (!wait(false, deadline))
                    return false;
                continue;
            }
            gone_ = true;
            return false;
        }
    }

    // Splits received bytes into taken-bytes and whole reports.
    void take(const uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if (have_ == 0 && p[i] == SOCKET_REPORT_TAKEN) {
                if (owed_ > 0)
                    --owed_;
                continue;
            }
            pending_[have_++] = p[i];
            if (have_ < REPORT_SIZE)
                continue;
            have_ = 0;
            if (dropPartial_) {
                dropPartial_ = false;
                continue;
            }
            if (reports_.size() >= MAX_QUEUED_REPORTS)
                reports_.pop_front();
            reports_.push_back(pending_);
        }
    }

    bool wait(bool writable, Clock::time_point deadline) {
        for (;;) {
            int left = ms_left(deadline);
            if (left <= 0)
                return false;
            int r = net_wait(fd_, writable, left);
            if (r != 0)
                return r > 0;
        }
    }

    NetSocket fd_;
    bool gone_ = false;
    std::array<uint8_t, REPORT_SIZE> pending_{};
    int have_ = 0;
    bool dropPartial_ = false;
    std::deque<std::array<uint8_t, REPORT_SIZE>> reports_;
    long owed_ = 0;
};

} // namespace

std::unique_ptr<QV_ReportTransport> QV_HidStream_connect(
    const std::function<NetConnect(NetSocket*)>& connect) {
    auto give_up = Clock::now() + CONNECT_RETRY_FOR;
    for (;;) {
        NetSocket fd = NET_NO_SOCKET;
        NetConnect r = connect(&fd);
        if (r == NET_CONNECTED)
            return std::make_unique<SocketTransport>(fd);
        if (r != NET_REFUSED || Clock::now() >= give_up)
            return nullptr;
        std::this_thread::sleep_for(CONNECT_RETRY_STEP);
    }
}

std::unique_ptr<QV_ReportTransport> QV_HidSocket_open(const std::string& path) {
    return QV_HidStream_connect([&path](NetSocket* s) { return net_connect_unix(path, s); });
}
