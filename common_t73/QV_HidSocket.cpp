// Report transport to a unit emulator on a Unix-domain stream socket: every
// report is exactly 65 bytes in each direction.
#include <chrono>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "common_t73/QV_HidTransports.h"

namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

class SocketTransport : public QV_ReportTransport {
  public:
    explicit SocketTransport(int fd) : fd_(fd) {}
    ~SocketTransport() override { ::close(fd_); }

    int writeReport(const uint8_t* report, int timeoutMs) override {
        if (gone_)
            return 0;
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        int sent = 0;
        while (sent < REPORT_SIZE) {
            ssize_t n = ::send(fd_, report + sent, static_cast<size_t>(REPORT_SIZE - sent),
                               MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                sent += static_cast<int>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (!wait(POLLOUT, deadline))
                    return 0;
                continue;
            }
            gone_ = true; // the emulator closed the connection: the unit is gone
            return 0;
        }
        return REPORT_SIZE;
    }

    int readReport(uint8_t* report, int timeoutMs) override {
        if (gone_)
            return 0;
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (have_ < REPORT_SIZE) {
            ssize_t n = ::recv(fd_, pending_ + have_, static_cast<size_t>(REPORT_SIZE - have_),
                               MSG_DONTWAIT);
            if (n > 0) {
                have_ += static_cast<int>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (!wait(POLLIN, deadline))
                    return 0; // a part of a report stays pending, never in report
                continue;
            }
            gone_ = true;
            return 0;
        }
        std::memcpy(report, pending_, REPORT_SIZE);
        have_ = 0;
        return REPORT_SIZE;
    }

    void discardInput() override {
        have_ = 0;
        uint8_t scratch[4096];
        for (int i = 0; i < 1024; ++i)
            if (::recv(fd_, scratch, sizeof scratch, MSG_DONTWAIT) <= 0)
                break;
    }

  private:
    bool wait(short events, Clock::time_point deadline) {
        for (;;) {
            int left = ms_left(deadline);
            if (left <= 0)
                return false;
            pollfd p{fd_, events, 0};
            int r = ::poll(&p, 1, left);
            if (r > 0)
                return true;
            if (r < 0 && errno != EINTR)
                return false;
        }
    }

    int fd_;
    bool gone_ = false;
    uint8_t pending_[REPORT_SIZE] = {};
    int have_ = 0;
};

} // namespace

std::unique_ptr<QV_ReportTransport> QV_HidSocket_open(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path)
        return nullptr;
    std::memcpy(addr.sun_path, path.data(), path.size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<SocketTransport>(fd);
}
