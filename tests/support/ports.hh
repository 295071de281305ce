#pragma once

// Free UDP ports for tests: the kernel picks one by binding port 0; it is
// released again at once, so a caller that then fails to bind it (another
// process took it in between) should ask for a new one.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace tessal {
namespace test {

// A loopback address of the family with `port`; returns its length.
inline socklen_t loopback_address(bool ipv6, uint16_t port, sockaddr_storage &addr) {
    addr = sockaddr_storage{};
    if (ipv6) {
        auto *a6 = reinterpret_cast<sockaddr_in6 *>(&addr);
        a6->sin6_family = AF_INET6;
        a6->sin6_addr = in6addr_loopback;
        a6->sin6_port = htons(port);
        return sizeof(sockaddr_in6);
    }
    auto *a4 = reinterpret_cast<sockaddr_in *>(&addr);
    a4->sin_family = AF_INET;
    a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a4->sin_port = htons(port);
    return sizeof(sockaddr_in);
}

// The local port a descriptor is bound to (either family); 0 if unknown.
inline uint16_t bound_port(int fd) {
    sockaddr_storage addr{};
    socklen_t len = sizeof(addr);
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        return 0;
    }
    return ntohs(addr.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&addr)->sin6_port
                                            : reinterpret_cast<sockaddr_in *>(&addr)->sin_port);
}

// Whether a plain socket can bind `port` on loopback right now (0: any port).
inline bool udp_port_bindable(uint16_t port, bool ipv6 = false) {
    int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
    sockaddr_storage addr{};
    const socklen_t len = loopback_address(ipv6, port, addr);
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr *>(&addr), len) == 0;
    ::close(fd);
    return ok;
}

// A free even port p whose companion p + 1 is free as well (RTP/RTCP pairs).
inline uint16_t free_udp_port(bool ipv6 = false) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
        sockaddr_storage addr{};
        const socklen_t len = loopback_address(ipv6, 0, addr);
        ::bind(fd, reinterpret_cast<sockaddr *>(&addr), len);
        const uint16_t port = bound_port(fd);
        ::close(fd);
        if (port % 2 == 0 && port != 65534 && udp_port_bindable(uint16_t(port + 1), ipv6)) {
            return port;
        }
    }
    return 0;
}

}  // namespace test
}  // namespace tessal
