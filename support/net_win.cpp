// Stream connections through Winsock. Unix-domain sockets are not used on
// Windows; the emulator is reached by TCP there.
#include "support/net.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <mutex>

namespace {

bool winsock_ready() {
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] {
        WSADATA data;
        ready = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return ready;
}

} // namespace

NetConnect net_connect_unix(const std::string&, NetSocket* s) {
    *s = NET_NO_SOCKET;
    return NET_FAILED;
}

NetConnect net_connect_tcp(const std::string& host, uint16_t port, NetSocket* s) {
    *s = NET_NO_SOCKET;
    if (host.empty() || !winsock_ready())
        return NET_FAILED;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found)
        return NET_FAILED;
    sockaddr_in addr{};
    std::memcpy(&addr, found->ai_addr, sizeof addr);
    freeaddrinfo(found);
    addr.sin_port = htons(port);
    SOCKET fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd == INVALID_SOCKET)
        return NET_FAILED;
    BOOL on = TRUE;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        int err = WSAGetLastError();
        closesocket(fd);
        return err == WSAECONNREFUSED || err == WSAEWOULDBLOCK ? NET_REFUSED : NET_FAILED;
    }
    // From here on no call waits; net_wait does the waiting.
    u_long nonblocking = 1;
    if (ioctlsocket(fd, FIONBIO, &nonblocking) != 0) {
        closesocket(fd);
        return NET_FAILED;
    }
    *s = static_cast<NetSocket>(fd);
    return NET_CONNECTED;
}

long net_send(NetSocket s, const void* data, size_t n) {
    int chunk = n > 0x10000 ? 0x10000 : static_cast<int>(n);
    int k = send(static_cast<SOCKET>(s), static_cast<const char*>(data), chunk, 0);
    if (k > 0)
        return k;
    return k == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

long net_recv(NetSocket s, void* data, size_t n) {
    int chunk = n > 0x10000 ? 0x10000 : static_cast<int>(n);
    int k = recv(static_cast<SOCKET>(s), static_cast<char*>(data), chunk, 0);
    if (k > 0)
        return k;
    return k == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

int net_wait(NetSocket s, bool writable, int ms) {
    WSAPOLLFD p{};
    p.fd = static_cast<SOCKET>(s);
    p.events = writable ? POLLWRNORM : POLLRDNORM;
    int r = WSAPoll(&p, 1, ms < 0 ? 0 : ms);
    if (r == SOCKET_ERROR)
        return -1;
    return r > 0 ? 1 : 0;
}

void net_close(NetSocket s) {
    if (s != NET_NO_SOCKET)
        closesocket(static_cast<SOCKET>(s));
}
