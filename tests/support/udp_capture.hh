#pragma once

// A plain UDP socket on 127.0.0.1 that captures what a stream sends and can
// send datagrams on; every receive waits at most `timeout_ms`.

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "support/ports.hh"

namespace tessal {
namespace test {

class udp_capture {
public:
    explicit udp_capture(int timeout_ms = 5000) : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_storage addr{};
        const socklen_t len = loopback_address(false, 0, addr);
        ::bind(fd_, reinterpret_cast<sockaddr *>(&addr), len);
        port_ = bound_port(fd_);
        set_timeout(timeout_ms);
    }
    ~udp_capture() { ::close(fd_); }
    udp_capture(const udp_capture &) = delete;
    udp_capture &operator=(const udp_capture &) = delete;

    uint16_t port() const { return port_; }
    int fd() const { return fd_; }

    void set_timeout(int timeout_ms) {
        timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    }
    // The next datagram; empty after the time-out.
    std::vector<uint8_t> receive() {
        std::vector<uint8_t> b(65536);
        const ssize_t n = ::recv(fd_, b.data(), b.size(), 0);
        b.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return b;
    }
    void send_to(uint16_t to_port, const std::vector<uint8_t> &datagram) {
        sockaddr_storage addr{};
        const socklen_t len = loopback_address(false, to_port, addr);
        ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&addr),
                 len);
    }

private:
    int fd_;
    uint16_t port_ = 0;
};

}  // namespace test
}  // namespace tessal
