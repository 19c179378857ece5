// Stream connections through BSD sockets.
#include "support/net.h"

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

NetConnect connect_fd(int fd, const sockaddr* addr, socklen_t len, NetSocket* s) {
    int r;
    do
        r = ::connect(fd, addr, len);
    while (r != 0 && errno == EINTR);
    if (r == 0) {
        *s = fd;
        return NET_CONNECTED;
    }
    int err = errno;
    ::close(fd);
    // Refused: bound but not listening yet, or a full backlog.
    return err == ECONNREFUSED || err == EAGAIN ? NET_REFUSED : NET_FAILED;
}

} // namespace

NetConnect net_connect_unix(const std::string& path, NetSocket* s) {
    *s = NET_NO_SOCKET;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path)
        return NET_FAILED;
    std::memcpy(addr.sun_path, path.data(), path.size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return NET_FAILED;
    return connect_fd(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr, s);
}

NetConnect net_connect_tcp(const std::string& host, uint16_t port, NetSocket* s) {
    *s = NET_NO_SOCKET;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found)
        return NET_FAILED;
    sockaddr_in addr{};
    std::memcpy(&addr, found->ai_addr, sizeof addr);
    ::freeaddrinfo(found);
    addr.sin_port = htons(port);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return NET_FAILED;
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return connect_fd(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr, s);
}

long net_send(NetSocket s, const void* data, size_t n) {
    for (;;) {
        ssize_t k = ::send(static_cast<int>(s), data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (k > 0)
            return static_cast<long>(k);
        if (k < 0 && errno == EINTR)
            continue;
        return k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
}

long net_recv(NetSocket s, void* data, size_t n) {
    for (;;) {
        ssize_t k = ::recv(static_cast<int>(s), data, n, MSG_DONTWAIT);
        if (k > 0)
            return static_cast<long>(k);
        if (k < 0 && errno == EINTR)
            continue;
        return k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
}

int net_wait(NetSocket s, bool writable, int ms) {
    pollfd p{static_cast<int>(s), static_cast<short>(writable ? POLLOUT : POLLIN), 0};
    int r = ::poll(&p, 1, ms < 0 ? 0 : ms);
    if (r < 0)
        return errno == EINTR ? 0 : -1;
    return r > 0 ? 1 : 0;
}

void net_close(NetSocket s) {
    if (s != NET_NO_SOCKET)
        ::close(static_cast<int>(s));
}
