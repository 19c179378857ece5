// The emulated unit served on a Unix-domain stream socket or a loopback TCP
// port.
#include "tools/unitsim/UnitSim.h"

#include <cerrno>
#include <cstring>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

struct UnitSimServer::Impl {
    int listenFd = -1;
    int stopPipe[2] = {-1, -1};
    uint16_t tcpPort = 0;
    std::thread thread;
};

UnitSimServer::UnitSimServer(UnitSim& unit, std::string socketPath)
    : impl_(std::make_unique<Impl>()), unit_(unit), path_(std::move(socketPath)) {
    if (::pipe2(impl_->stopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        impl_->stopPipe[0] = impl_->stopPipe[1] = -1;
}

UnitSimServer::~UnitSimServer() {
    stop();
    if (impl_->listenFd >= 0) {
        ::close(impl_->listenFd);
        if (impl_->tcpPort == 0)
            ::unlink(path_.c_str());
    }
    for (int fd : impl_->stopPipe)
        if (fd >= 0)
            ::close(fd);
}

int UnitSimServer::stopFd() const {
    return impl_->stopPipe[1];
}

bool UnitSimServer::listen() {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path_.empty() || path_.size() >= sizeof addr.sun_path || impl_->stopPipe[0] < 0)
        return false;
    struct stat st {};
    // A socket left behind by an earlier run is replaced; anything else at
    // the name is not ours to replace.
    if (::lstat(path_.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode))
        return false;
    // The socket is bound and listening under a name of its own in the same
    // folder, then renamed into place: whoever sees it appear can connect
    // at once.
    static std::atomic<unsigned> serial{0};
    size_t slash = path_.rfind('/');
    std::string folder = slash == std::string::npos ? std::string() : path_.substr(0, slash + 1);
    std::string staging =
        folder + ".unit-sim-" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
    bool staged = staging.size() < sizeof addr.sun_path;
    const std::string& bound = staged ? staging : path_;
    if (staged)
        ::unlink(staging.c_str());
    else if (::lstat(path_.c_str(), &st) == 0)
        ::unlink(path_.c_str()); // too long a folder for a staging name: bind in place
    std::memcpy(addr.sun_path, bound.data(), bound.size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return false;
    }
    if (::listen(fd, 4) != 0 || (staged && ::rename(staging.c_str(), path_.c_str()) != 0)) {
        ::close(fd);
        ::unlink(bound.c_str());
        return false;
    }
    impl_->listenFd = fd;
    return true;
}

bool UnitSimServer::listenTcp(const std::string& host, uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (impl_->listenFd >= 0 || impl_->stopPipe[0] < 0 ||
        ::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1 ||
        (ntohl(addr.sin_addr.s_addr) >> 24) != 127)
        return false;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, 4) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(fd);
        return false;
    }
    impl_->tcpPort = ntohs(addr.sin_port);
    impl_->listenFd = fd;
    return true;
}

uint16_t UnitSimServer::port() const {
    return impl_->tcpPort;
}

namespace {

bool send_all(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

} // namespace

void UnitSimServer::run(void (*onDisconnect)(void*), void* user) {
    int stopFd = impl_->stopPipe[0];
    for (;;) {
        pollfd waits[2] = {{impl_->listenFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (::poll(waits, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (waits[1].revents)
            return;
        int client = ::accept4(impl_->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        if (impl_->tcpPort != 0) {
            // Every report waits for its answer: send each one at once.
            int on = 1;
            ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        }
        if (unit_.unplugged())
            unit_.replug(); // a new connection plugs the unit back in
        // Take what the host sent in large reads and answer report by report.
        std::vector<uint8_t> in(REPORT_SIZE * 1024);
        size_t have = 0;
        bool stopping = false;
        bool open = true;
        while (open) {
            pollfd w[2] = {{client, POLLIN, 0}, {stopFd, POLLIN, 0}};
            if (::poll(w, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            if (w[1].revents) {
                stopping = true;
                break;
            }
            ssize_t n = ::recv(client, in.data() + have, in.size() - have, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            have += static_cast<size_t>(n);
            size_t used = 0;
            while (open && have - used >= REPORT_SIZE) {
                bool taken = unit_.receive(in.data() + used, REPORT_SIZE);
                used += REPORT_SIZE;
                // The host's write completes now, before the replies come.
                if (taken && !send_all(client, &SOCKET_REPORT_TAKEN, 1))
                    taken = false;
                uint8_t out[REPORT_SIZE];
                int k;
                while (taken && (k = unit_.send(out)) > 0) {
                    // Every report on the socket is whole: pad a short one.
                    if (k < REPORT_SIZE)
                        std::memset(out + k, 0xCC, static_cast<size_t>(REPORT_SIZE - k));
                    if (!send_all(client, out, REPORT_SIZE)) {
                        taken = false;
                        break;
                    }
                }
                if (!taken || unit_.unplugged())
                    open = false;
            }
            std::memmove(in.data(), in.data() + used, have - used);
            have -= used;
        }
        ::close(client);
        unit_.connectionEnded();
        if (onDisconnect)
            onDisconnect(user);
        if (stopping)
            return;
    }
}

bool UnitSimServer::start() {
    if (impl_->listenFd < 0 && !listen())
        return false;
    impl_->thread = std::thread([this] { run(); });
    return true;
}

void UnitSimServer::stop() {
    if (impl_->stopPipe[1] >= 0) {
        char b = 1;
        [[maybe_unused]] ssize_t n = ::write(impl_->stopPipe[1], &b, 1);
    }
    if (impl_->thread.joinable())
        impl_->thread.join();
}
