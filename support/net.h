// Stream connections to a unit emulator: a Unix-domain socket (where the
// platform has them) or TCP. Sending and receiving never block; net_wait
// waits for either with a time limit. Interrupted calls are retried inside.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

using NetSocket = intptr_t;
inline constexpr NetSocket NET_NO_SOCKET = -1;

enum NetConnect {
    NET_CONNECTED = 0,
    NET_REFUSED = 1, // nothing accepts there yet (a starting emulator) or a full backlog
    NET_FAILED = 2,  // anything else: a bad address, no such socket, no sockets here
};

// Connects to the Unix-domain stream socket at path. On NET_CONNECTED *s is
// the connection, else NET_NO_SOCKET. Windows: always NET_FAILED.
NetConnect net_connect_unix(const std::string& path, NetSocket* s);

// Connects by TCP to host (an IPv4 address or a name) at port, with small
// writes sent at once (no coalescing: every report waits for a reply).
NetConnect net_connect_tcp(const std::string& host, uint16_t port, NetSocket* s);

// Sends up to n bytes without waiting. Returns the bytes sent (> 0), 0 when
// the connection takes nothing now, -1 when it is closed or broken.
long net_send(NetSocket s, const void* data, size_t n);

// Receives up to n bytes without waiting. Returns the bytes received (> 0),
// 0 when nothing has arrived, -1 when the peer closed or the connection broke.
long net_recv(NetSocket s, void* data, size_t n);

// Waits up to ms (>= 0) until the connection can be read (writable false)
// or written. Returns 1 when ready (also when closed: the next call tells),
// 0 on time-out, -1 on failure.
int net_wait(NetSocket s, bool writable, int ms);

// Closes the connection; NET_NO_SOCKET is ignored.
void net_close(NetSocket s);

// Splits "HOST:PORT" (the port 1..65535, in decimal). False when malformed.
bool net_split_host_port(const std::string& text, std::string* host, uint16_t* port);
