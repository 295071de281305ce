#pragma once

// A socket_syscalls that records every datagram sent and replays scripted
// receive results, so batching, short sends, EAGAIN/EINTR and failures are
// tested without a network. Thread-safe: the reception threads and the test
// thread may use it at once.

#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <vector>

#include "transport/syscalls.hh"

namespace tessal {
namespace test {

class fake_syscalls : public socket_syscalls {
public:
    struct datagram {
        std::vector<uint8_t> bytes;
        sockaddr_storage to{};
        socklen_t to_len = 0;
    };

    // What the next receive returns: a datagram, or an error number.
    struct rx_item {
        std::vector<uint8_t> bytes;
        int error = 0;
        int segment = 0;  // a coalesced run of datagrams of this size (UDP GRO)
    };

    // --- sending ---------------------------------------------------------
    int socket(int, int, int) override { return next_fd_++; }
    int bind(int, const sockaddr *addr, socklen_t len) override {
        std::lock_guard<std::mutex> g(lock_);
        std::memcpy(&bound_, addr, len);
        return bind_result_;
    }
    int setsockopt(int, int level, int name, const void *, socklen_t) override {
        std::lock_guard<std::mutex> g(lock_);
        options_.emplace_back(level, name);
        return setsockopt_result_;
    }
    int close(int) override { return 0; }

    int sendmmsg(int, mmsghdr *msgs, unsigned int count, int) override {
        std::lock_guard<std::mutex> g(lock_);
        sendmmsg_counts_.push_back(count);
        if (!sendmmsg_script_.empty()) {
            const int scripted = sendmmsg_script_.front();
            sendmmsg_script_.pop_front();
            if (scripted < 0) {
                errno = -scripted;
                return -1;
            }
            count = std::min(count, static_cast<unsigned>(scripted));
        }
        for (unsigned i = 0; i < count; ++i) {
            datagram d;
            const msghdr &h = msgs[i].msg_hdr;
            for (size_t k = 0; k < h.msg_iovlen; ++k) {
                const auto *p = static_cast<const uint8_t *>(h.msg_iov[k].iov_base);
                d.bytes.insert(d.bytes.end(), p, p + h.msg_iov[k].iov_len);
            }
            if (h.msg_name != nullptr) {
                std::memcpy(&d.to, h.msg_name, h.msg_namelen);
                d.to_len = h.msg_namelen;
            }
            msgs[i].msg_len = static_cast<unsigned>(d.bytes.size());
            // UDP segmentation offload: cut as the kernel would.
            const uint16_t segment = gso_segment(h);
            if (segment != 0) {
                if (refuse_gso_) {
                    if (i == 0) {
                        errno = EIO;
                        return -1;
                    }
                    return static_cast<int>(i);
                }
                ++gso_sends_;
                gso_pieces_.push_back(h.msg_iovlen);
                for (size_t at = 0; at < d.bytes.size(); at += segment) {
                    datagram part = d;
                    part.bytes.assign(d.bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                      d.bytes.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                            d.bytes.size(), at + segment)));
                    sent_.push_back(std::move(part));
                }
                continue;
            }
            sent_.push_back(std::move(d));
        }
        return static_cast<int>(count);
    }

    // One datagram: recorded and scripted as a sendmmsg(2) of one message,
    // so that counts and scripts read the same whichever call a path makes.
    ssize_t sendmsg(int fd, const msghdr *msg, int flags) override {
        {
            std::lock_guard<std::mutex> g(lock_);
            ++sendmsg_calls_;
        }
        mmsghdr m{};
        m.msg_hdr = *msg;
        const int sent = sendmmsg(fd, &m, 1, flags);
        if (sent == 0) {
            errno = EAGAIN;
            return -1;
        }
        return sent < 0 ? -1 : static_cast<ssize_t>(m.msg_len);
    }

    // The UDP_SEGMENT size a message asks for, 0 without one.
    static uint16_t gso_segment(const msghdr &h) {
        if (h.msg_control == nullptr) {
            return 0;
        }
        for (cmsghdr *c = CMSG_FIRSTHDR(const_cast<msghdr *>(&h)); c != nullptr;
             c = CMSG_NXTHDR(const_cast<msghdr *>(&h), c)) {
            if (c->cmsg_level == IPPROTO_UDP && c->cmsg_type == 103 /* UDP_SEGMENT */) {
                uint16_t size = 0;
                std::memcpy(&size, CMSG_DATA(c), sizeof(size));
                return size;
            }
        }
        return 0;
    }
    // Sockets created afterwards ask for UDP segmentation offload (by
    // default the fake models a kernel they do not ask).
    bool supports_udp_gso() override {
        std::lock_guard<std::mutex> g(lock_);
        return offer_gso_;
    }
    void offer_gso(bool offer) {
        std::lock_guard<std::mutex> g(lock_);
        offer_gso_ = offer;
    }
    // A kernel that refuses the offload when asked: such sends fail with EIO.
    void refuse_gso(bool refuse) {
        std::lock_guard<std::mutex> g(lock_);
        refuse_gso_ = refuse;
    }
    // The iovec length of each UDP_SEGMENT message, in order.
    std::vector<size_t> gso_pieces() {
        std::lock_guard<std::mutex> g(lock_);
        return gso_pieces_;
    }
    size_t gso_sends() {
        std::lock_guard<std::mutex> g(lock_);
        return gso_sends_;
    }

    ssize_t sendto(int, const void *data, size_t len, int, const sockaddr *to,
                   socklen_t to_len) override {
        std::lock_guard<std::mutex> g(lock_);
        if (sendto_error_ != 0) {
            errno = sendto_error_;
            return -1;
        }
        datagram d;
        const auto *p = static_cast<const uint8_t *>(data);
        d.bytes.assign(p, p + len);
        if (to != nullptr) {
            std::memcpy(&d.to, to, to_len);
            d.to_len = to_len;
        }
        sent_.push_back(std::move(d));
        return static_cast<ssize_t>(len);
    }

    // --- receiving -------------------------------------------------------
    ssize_t recv(int fd, void *buf, size_t len, int flags) override {
        return recvfrom(fd, buf, len, flags, nullptr, nullptr);
    }

    ssize_t recvfrom(int, void *buf, size_t len, int flags, sockaddr *, socklen_t *) override {
        std::unique_lock<std::mutex> g(lock_);
        ++recv_calls_;
        if (rx_.empty()) {
            errno = EAGAIN;
            return -1;
        }
        rx_item item = std::move(rx_.front());
        rx_.pop_front();
        if (item.error != 0) {
            errno = item.error;
            return -1;
        }
        const size_t n = std::min(len, item.bytes.size());
        if (n > 0) {
            std::memcpy(buf, item.bytes.data(), n);
        }
        ++delivered_;
        rx_cv_.notify_all();
        return static_cast<ssize_t>((flags & MSG_TRUNC) ? item.bytes.size() : n);
    }

    int recvmmsg(int, mmsghdr *msgs, unsigned int count, int flags) override {
        std::unique_lock<std::mutex> g(lock_);
        ++recv_calls_;
        largest_rx_batch_ = std::max<size_t>(largest_rx_batch_, count);
        unsigned int n = 0;
        while (n < count && !rx_.empty()) {
            rx_item &item = rx_.front();
            if (item.error != 0) {
                if (n > 0) {
                    break;  // the error is reported by the next call
                }
                errno = item.error;
                rx_.pop_front();
                return -1;
            }
            msghdr &h = msgs[n].msg_hdr;
            rx_buffers_.insert(h.msg_iov[0].iov_base);
            // Scattered over the message's buffers in order, as the kernel does.
            size_t copy = 0;
            for (size_t v = 0; v < h.msg_iovlen && copy < item.bytes.size(); ++v) {
                const size_t part = std::min(h.msg_iov[v].iov_len, item.bytes.size() - copy);
                std::memcpy(h.msg_iov[v].iov_base, item.bytes.data() + copy, part);
                copy += part;
            }
            const size_t room = h.msg_controllen;
            if (item.segment > 0 && room >= CMSG_SPACE(sizeof(int))) {
                cmsghdr *c = CMSG_FIRSTHDR(&h);
                c->cmsg_level = IPPROTO_UDP;
                c->cmsg_type = 104;  // UDP_GRO
                c->cmsg_len = CMSG_LEN(sizeof(int));
                std::memcpy(CMSG_DATA(c), &item.segment, sizeof(int));
                h.msg_controllen = CMSG_SPACE(sizeof(int));
            } else {
                h.msg_controllen = 0;
            }
            msgs[n].msg_len = static_cast<unsigned>((flags & MSG_TRUNC) ? item.bytes.size() : copy);
            rx_.pop_front();
            ++delivered_;
            ++n;
        }
        if (n == 0) {
            errno = EAGAIN;
            return -1;
        }
        rx_cv_.notify_all();
        return static_cast<int>(n);
    }

    // Readable while datagrams are queued; a scripted poll error number is
    // returned once. Waits like the kernel would, in short steps.
    // The first descriptor is the fake socket; others (a wake-up eventfd)
    // are real and polled for real. A wait without limit re-checks them
    // every few milliseconds.
    int poll(pollfd *fds, nfds_t count, int timeout_ms) override {
        std::unique_lock<std::mutex> g(lock_);
        if (poll_error_ != 0) {
            errno = poll_error_;
            poll_error_ = 0;
            return -1;
        }
        const auto others_ready = [&] { return count > 1 && ::poll(fds + 1, count - 1, 0) > 0; };
        const int slice = timeout_ms < 0 ? 5 : timeout_ms;
        do {
            rx_cv_.wait_for(g, std::chrono::milliseconds(slice), [this] { return !rx_.empty(); });
        } while (timeout_ms < 0 && rx_.empty() && !others_ready());
        fds[0].revents = rx_.empty() ? 0 : POLLIN;
        const int woken = others_ready() ? 1 : 0;
        return (rx_.empty() ? 0 : 1) + woken;
    }

    // --- test controls ---------------------------------------------------
    void push_rx(std::vector<uint8_t> bytes) {
        std::lock_guard<std::mutex> g(lock_);
        rx_.push_back(rx_item{std::move(bytes), 0, 0});
        rx_cv_.notify_all();
    }
    // Queues many datagrams at once, so the receiver sees them as one burst.
    void push_rx_burst(std::vector<std::vector<uint8_t>> burst) {
        std::lock_guard<std::mutex> g(lock_);
        for (auto &b : burst) {
            rx_.push_back(rx_item{std::move(b), 0, 0});
        }
        rx_cv_.notify_all();
    }
    // A run of equal-sized datagrams (the last may be shorter) as a socket
    // with UDP_GRO receives it: one message, told apart by its segment size.
    void push_rx_coalesced(const std::vector<std::vector<uint8_t>> &run) {
        std::lock_guard<std::mutex> g(lock_);
        rx_item item;
        for (const auto &d : run) {
            item.bytes.insert(item.bytes.end(), d.begin(), d.end());
        }
        item.segment = run.empty() ? 0 : static_cast<int>(run.front().size());
        rx_.push_back(std::move(item));
        rx_cv_.notify_all();
    }
    // Messages queued at once in this order, each a lone datagram
    // (segment 0) or a coalesced run of `segment`-byte datagrams.
    void push_rx_messages(std::vector<rx_item> messages) {
        std::lock_guard<std::mutex> g(lock_);
        for (auto &m : messages) {
            rx_.push_back(std::move(m));
        }
        rx_cv_.notify_all();
    }
    // Datagrams still queued for receiving.
    size_t rx_pending() {
        std::lock_guard<std::mutex> g(lock_);
        return rx_.size();
    }
    bool supports_udp_gro() override {
        std::lock_guard<std::mutex> g(lock_);
        return offer_gro_;
    }
    void offer_gro(bool offer) {
        std::lock_guard<std::mutex> g(lock_);
        offer_gro_ = offer;
    }
    void push_rx_error(int err) {
        std::lock_guard<std::mutex> g(lock_);
        rx_.push_back(rx_item{{}, err, 0});
        rx_cv_.notify_all();
    }
    void fail_next_poll(int err) {
        std::lock_guard<std::mutex> g(lock_);
        poll_error_ = err;
    }
    // Each entry limits one sendmmsg call: n >= 0 sends at most n messages,
    // a negative value fails the call with errno -value.
    void script_sendmmsg(std::vector<int> results) {
        std::lock_guard<std::mutex> g(lock_);
        sendmmsg_script_.assign(results.begin(), results.end());
    }
    void fail_sendto(int err) {
        std::lock_guard<std::mutex> g(lock_);
        sendto_error_ = err;
    }
    void set_bind_result(int rc) { bind_result_ = rc; }
    void set_setsockopt_result(int rc) { setsockopt_result_ = rc; }

    sockaddr_storage bound() {
        std::lock_guard<std::mutex> g(lock_);
        return bound_;
    }
    std::vector<datagram> sent() {
        std::lock_guard<std::mutex> g(lock_);
        return sent_;
    }
    // sendmsg(2) calls (each also recorded in sendmmsg_counts() as one).
    size_t sendmsg_calls() {
        std::lock_guard<std::mutex> g(lock_);
        return sendmsg_calls_;
    }
    std::vector<unsigned> sendmmsg_counts() {
        std::lock_guard<std::mutex> g(lock_);
        return sendmmsg_counts_;
    }
    std::vector<std::pair<int, int>> options() {
        std::lock_guard<std::mutex> g(lock_);
        return options_;
    }
    // Waits (bounded) until `n` datagrams have been handed to receivers.
    // The most messages one batched receive asked for.
    size_t largest_rx_batch() {
        std::lock_guard<std::mutex> g(lock_);
        return largest_rx_batch_;
    }
    // The distinct buffers batched receives wrote a datagram into.
    size_t rx_buffers_used() {
        std::lock_guard<std::mutex> g(lock_);
        return rx_buffers_.size();
    }

    bool wait_delivered(size_t n, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> g(lock_);
        return rx_cv_.wait_for(g, limit, [&] { return delivered_ >= n; });
    }

private:
    std::mutex lock_;
    std::condition_variable rx_cv_;
    int next_fd_ = 100;
    sockaddr_storage bound_{};
    int bind_result_ = 0;
    int setsockopt_result_ = 0;
    int sendto_error_ = 0;
    int poll_error_ = 0;
    bool offer_gso_ = false;
    bool offer_gro_ = false;
    bool refuse_gso_ = false;
    size_t gso_sends_ = 0;
    std::vector<size_t> gso_pieces_;
    size_t recv_calls_ = 0;
    size_t delivered_ = 0;
    std::set<const void *> rx_buffers_;
    size_t largest_rx_batch_ = 0;
    std::deque<int> sendmmsg_script_;
    std::deque<rx_item> rx_;
    std::vector<datagram> sent_;
    std::vector<unsigned> sendmmsg_counts_;
    size_t sendmsg_calls_ = 0;
    std::vector<std::pair<int, int>> options_;
};

}  // namespace test
}  // namespace tessal
