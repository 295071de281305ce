#pragma once

// The raw baselines' receiving socket: UDP on 127.0.0.1, an ephemeral port,
// large buffers (beyond net.core.rmem_max where CAP_NET_ADMIN allows).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

namespace tessal {
namespace bench {

inline int loopback_udp_socket(uint16_t *port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int bytes = 16 * 1024 * 1024;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof(bytes)) != 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
    }
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof(bytes));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    *port = ntohs(addr.sin_port);
    return fd;
}

}  // namespace bench
}  // namespace tessal
