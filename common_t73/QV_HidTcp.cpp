// Report transport to a unit emulator on a TCP port: the stream transport
// of socket:PATH over TCP, for platforms without Unix-domain sockets.
#include <string>

#include "common_t73/QV_HidTransports.h"
#include "support/net.h"

std::unique_ptr<QV_ReportTransport> QV_HidTcp_open(const std::string& hostPort) {
    std::string host;
    uint16_t port = 0;
    if (!net_split_host_port(hostPort, &host, &port))
        return nullptr;
    return QV_HidStream_connect(
        [&host, port](NetSocket* s) { return net_connect_tcp(host, port, s); });
}
