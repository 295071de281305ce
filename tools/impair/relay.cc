#include "impair/relay.hh"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace tessal_tools {

namespace {

int64_t now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

socklen_t loopback(bool ipv6, uint16_t port, sockaddr_storage &addr) {
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

// A non-blocking UDP socket on loopback `port` with large buffers and
// kernel drop counting; -1 when it cannot be bound.
int open_socket(bool ipv6, uint16_t port) {
    const int fd =
        ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    const int buffer = 8 * 1024 * 1024;
    const int on = 1;
    // The relay's own buffers should not be the bottleneck: FORCE where
    // allowed, else what the system maximum grants.
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof(buffer)) != 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
    }
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &buffer, sizeof(buffer)) != 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
    }
    ::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof(on));
    sockaddr_storage addr{};
    const socklen_t len = loopback(ipv6, port, addr);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

uint16_t bound_port(int fd) {
    sockaddr_storage addr{};
    socklen_t len = sizeof(addr);
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        return 0;
    }
    return ntohs(addr.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&addr)->sin6_port
                                            : reinterpret_cast<sockaddr_in *>(&addr)->sin_port);
}

}  // namespace

struct impair_relay::held {
    int64_t release_us;
    uint64_t order;  // arrival order breaks ties, so equal times keep their order
    int out_side;
    int channel;
    std::vector<uint8_t> bytes;
    // A min-heap on (release_us, order).
    bool operator<(const held &o) const {
        return release_us != o.release_us ? release_us > o.release_us : order > o.order;
    }
};

impair_relay::~impair_relay() {
    stop();
}

bool impair_relay::bind_side(int side, uint16_t wanted, std::string *error) {
    const int channels = config_.rtcp_pair ? 2 : 1;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int rtp = open_socket(config_.ipv6, wanted);
        if (rtp < 0) {
            break;
        }
        const uint16_t port = bound_port(rtp);
        int rtcp = -1;
        if (channels == 2) {
            rtcp = (port % 2 == 0 && port != 65534) ? open_socket(config_.ipv6, uint16_t(port + 1))
                                                    : -1;
            if (rtcp < 0) {
                ::close(rtp);
                if (wanted != 0) {
                    break;
                }
                continue;
            }
        }
        sockets_[side][0].fd = rtp;
        sockets_[side][1].fd = rtcp;
        ports_[side] = port;
        return true;
    }
    if (error != nullptr) {
        *error = "cannot bind port " + std::to_string(wanted) +
                 (config_.rtcp_pair ? " and the next" : "") +
                 " on loopback: " + std::strerror(errno);
    }
    return false;
}

bool impair_relay::start(const relay_config &config, std::string *error) {
    stop();
    config_ = config;
    if (!bind_side(0, config.port_a, error) || !bind_side(1, config.port_b, error)) {
        close_all();
        return false;
    }
    for (int dir = 0; dir < 2; ++dir) {
        for (int ch = 0; ch < k_channels; ++ch) {
            const uint64_t seed = config.seed * 0x9E3779B97F4A7C15ull + uint64_t(dir * 2 + ch);
            models_[dir][ch] =
                std::make_unique<impairment>(dir == 0 ? config.a_to_b : config.b_to_a, seed);
            learned_[dir][ch].clear();
        }
    }
    kernel_dropped_ = 0;
    pending_count_ = 0;
    running_ = true;
    thread_ = std::thread([this] { run(); });
    return true;
}

void impair_relay::stop() {
    running_ = false;
    if (thread_.joinable()) {
        thread_.join();
    }
    close_all();
}

void impair_relay::close_all() {
    for (auto &side : sockets_) {
        for (side_socket &s : side) {
            if (s.fd >= 0) {
                ::close(s.fd);
            }
            s = side_socket{};
        }
    }
}

impairment_counts impair_relay::counts(relay_direction dir, int channel) const {
    std::lock_guard<std::mutex> g(lock_);
    const auto &m = models_[dir][channel];
    return m ? m->counts() : impairment_counts{};
}

impairment_counts impair_relay::counts(relay_direction dir) const {
    impairment_counts c = counts(dir, 0);
    c += counts(dir, 1);
    return c;
}

bool impair_relay::wait_drained(int timeout_ms) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (pending_count_.load() != 0) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool impair_relay::destination(int side, int channel, sockaddr_storage &addr, unsigned &len) {
    const uint16_t fixed = side == 0 ? config_.to_a : config_.to_b;
    if (fixed != 0) {
        len = loopback(config_.ipv6, static_cast<uint16_t>(fixed + channel), addr);
        return true;
    }
    const std::vector<uint8_t> &learned = learned_[side][channel];
    if (learned.empty()) {
        return false;
    }
    std::memcpy(&addr, learned.data(), learned.size());
    len = static_cast<unsigned>(learned.size());
    return true;
}

void impair_relay::receive_from(int side, int channel, std::vector<held> &queue, uint64_t &order) {
    side_socket &s = sockets_[side][channel];
    static thread_local std::vector<uint8_t> buffer(65536);
    std::vector<impaired_datagram> out;
    // A bounded batch per wake-up, so one busy socket cannot starve releases.
    for (int n = 0; n < 256; ++n) {
        sockaddr_storage from{};
        iovec iov{buffer.data(), buffer.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t))];
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof(from);
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        const ssize_t got = ::recvmsg(s.fd, &msg, MSG_DONTWAIT);
        if (got < 0) {
            return;
        }
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                uint32_t total = 0;
                std::memcpy(&total, CMSG_DATA(c), sizeof(total));
                kernel_dropped_ += total - s.overflow;
                s.overflow = total;
            }
        }
        if (config_.to_a == 0 || config_.to_b == 0) {
            const auto *p = reinterpret_cast<const uint8_t *>(&from);
            learned_[side][channel].assign(p, p + msg.msg_namelen);
        }
        const int dir = side;  // side A's datagrams go A -> B
        out.clear();
        uint32_t verdict = 0;
        {
            std::lock_guard<std::mutex> g(lock_);
            verdict = models_[dir][channel]->process(buffer.data(), static_cast<size_t>(got),
                                                     now_us(), out);
        }
        for (impaired_datagram &d : out) {
            if (queue.size() >= config_.max_pending) {
                std::lock_guard<std::mutex> g(lock_);
                models_[dir][channel]->count_overflow();
                verdict |= VERDICT_QUEUE_DROPPED;
                continue;
            }
            queue.push_back(held{d.release_us, order++, 1 - side, channel, std::move(d.bytes)});
            std::push_heap(queue.begin(), queue.end());
        }
        pending_count_ = queue.size();
        if (observer_) {
            observer_(static_cast<relay_direction>(dir), channel, buffer.data(),
                      static_cast<size_t>(got), verdict);
        }
    }
}

void impair_relay::release_due(std::vector<held> &queue, int64_t now) {
    while (!queue.empty() && queue.front().release_us <= now) {
        std::pop_heap(queue.begin(), queue.end());
        held h = std::move(queue.back());
        queue.pop_back();
        sockaddr_storage to{};
        unsigned len = 0;
        if (destination(h.out_side, h.channel, to, len)) {
            ::sendto(sockets_[h.out_side][h.channel].fd, h.bytes.data(), h.bytes.size(), 0,
                     reinterpret_cast<sockaddr *>(&to), len);
            if (released_) {
                released_(static_cast<relay_direction>(1 - h.out_side), h.channel, h.bytes.data(),
                          h.bytes.size(), now_us());
            }
        }
    }
    pending_count_ = queue.size();
}

void impair_relay::run() {
    std::vector<held> queue;
    uint64_t order = 0;
    pollfd fds[4];
    int where[4][2];
    nfds_t n = 0;
    for (int side = 0; side < 2; ++side) {
        for (int ch = 0; ch < k_channels; ++ch) {
            if (sockets_[side][ch].fd >= 0) {
                fds[n] = pollfd{sockets_[side][ch].fd, POLLIN, 0};
                where[n][0] = side;
                where[n][1] = ch;
                ++n;
            }
        }
    }
    while (running_.load()) {
        // Sleep until the next release, at most 20 ms so that stop() is seen.
        int64_t wait_us = 20000;
        if (!queue.empty()) {
            wait_us = std::clamp<int64_t>(queue.front().release_us - now_us(), 0, wait_us);
        }
        const timespec ts{static_cast<time_t>(wait_us / 1000000),
                          static_cast<long>((wait_us % 1000000) * 1000)};
        if (::ppoll(fds, n, &ts, nullptr) > 0) {
            for (nfds_t i = 0; i < n; ++i) {
                if ((fds[i].revents & POLLIN) != 0) {
                    receive_from(where[i][0], where[i][1], queue, order);
                }
            }
        }
        release_due(queue, now_us());
    }
    pending_count_ = 0;
}

}  // namespace tessal_tools
