#pragma once

// One UDP socket (IPv4 or IPv6, unicast or multicast) shared by every
// component that sends or receives on a local port. Sending runs the
// per-SSRC send-handler chain (RTCP statistics, SRTP) and batches datagrams
// into sendmmsg(2) calls. Any thread may send; the reception threads receive
// at the same time without a common lock.

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tessal/util.hh"
#include "transport/syscalls.hh"
#include "util/buffer_vector.hh"
#include "util/datagram_sink.hh"
#include "util/log.hh"
#include "util/shared_ssrc.hh"

namespace tessal {

using send_handler_fn = RTP_ERROR (*)(void *arg, buffer_vector &pieces);

struct socket_packet_handler {
    void *arg;
    send_handler_fn handler;
    const void *hot;  // what the handler updates on every send (arg when null)
};

// Orders shared SSRC cells by identity, not by value.
struct shared_ssrc_identity_less {
    bool operator()(const shared_ssrc &a, const shared_ssrc &b) const noexcept {
        return a.get() < b.get();
    }
};

constexpr size_t k_max_batch_chunks = 256;
constexpr size_t k_scc_batch = 1024;
// UDP segmentation offload (UDP_SEGMENT): at most this many datagrams, and
// bytes, per send.
constexpr size_t k_gso_max_segments = 64;
constexpr size_t k_gso_max_bytes = 65000;

class socket : public datagram_sink {
public:
    // `sys` must outlive the socket; tests pass a fake.
    explicit socket(int stream_flags, socket_syscalls *sys = &socket_syscalls::system());
    ~socket() override;
    socket(const socket &) = delete;
    socket &operator=(const socket &) = delete;

    RTP_ERROR init(short family, int type, int protocol);
    // Closes the descriptor at once, so that the port can be bound again
    // while other holders still keep the object; later calls fail cleanly.
    // No other thread may use the socket meanwhile.
    void close();
    RTP_ERROR setsockopt(int level, int name, const void *value, unsigned length);
    // An integer option's value (getsockopt(2)); -1 when it cannot be read.
    int int_option(int level, int name) const;
    // Sets the receive (SO_RCVBUF) or send (SO_SNDBUF) buffer to `bytes`,
    // past the system's cap (net.core.rmem_max, wmem_max) where the process
    // has the privilege (SO_RCVBUFFORCE, SO_SNDBUFFORCE). RTP_SUCCESS when
    // the plain option was accepted, whatever the cap made of it.
    RTP_ERROR set_buffer(int name, int bytes);

    RTP_ERROR bind(short family, unsigned host, uint16_t port);
    RTP_ERROR bind(sockaddr_in &address);
    RTP_ERROR bind_ip6(sockaddr_in6 &address);

    int get_raw_socket() const noexcept { return descriptor_; }
    // Asks the kernel to coalesce received runs of equal datagrams (UDP_GRO);
    // true when it agreed, and receives must then take a run apart.
    bool enable_udp_gro();
    // Whether the socket makes real system calls (not a test's fake), so
    // that its descriptor can be watched with epoll(7).
    bool on_system_calls() const noexcept { return sys_ == &socket_syscalls::system(); }
    bool is_ipv6() const noexcept { return is_ipv6_; }

    static sockaddr_in create_sockaddr(short family, unsigned host, uint16_t port);
    static sockaddr_in create_sockaddr(short family, const std::string &host, uint16_t port);
    // IPv6 text, or dotted IPv4 text as its IPv4-mapped address (::ffff:a.b.c.d).
    static sockaddr_in6 create_ip6_sockaddr(const std::string &host, uint16_t port);
    // Strict numeric forms: false for text that is not an address of the
    // family (the create_* forms above fall back to the wildcard address).
    static bool parse_sockaddr(const std::string &host, uint16_t port, sockaddr_in &out);
    static bool parse_ip6_sockaddr(const std::string &host, uint16_t port, sockaddr_in6 &out);
    static sockaddr_in6 create_ip6_sockaddr_any(uint16_t port);
    static bool is_multicast(const sockaddr_in &address);
    static bool is_multicast(const sockaddr_in6 &address);
    // 1 for a numeric IPv4 address, 2 for IPv6, -1 (with an ERROR) otherwise.
    static int check_family(const std::string &host);
    static std::string sockaddr_to_string(const sockaddr_in &address);
    static std::string sockaddr_ip6_to_string(const sockaddr_in6 &address);
    static std::string get_socket_path_string() { return "Not implemented"; }

    // Send handlers run, per datagram, for every cell that holds the SSRC
    // being sent, in installation order. Handlers must not call back into
    // install_handler, remove_handler or a handler-running sendto.
    // `hot` is what the handler updates on every send, for
    // collect_hot_lines (null: the line `arg` points to).
    RTP_ERROR install_handler(shared_ssrc local_ssrc, void *arg, send_handler_fn handler,
                              const void *hot = nullptr);
    RTP_ERROR remove_handler(const shared_ssrc &local_ssrc);

    // The socket's send-side fields, each handler's entry and SSRC cell,
    // and what each handler updates.
    void collect_hot_lines(hot_lines &out) override;
    uint64_t hot_lines_version() const noexcept override { return handlers_version_.load(); }

    // One contiguous datagram, no handlers.
    RTP_ERROR sendto(sockaddr_in &to4, sockaddr_in6 &to6, uint8_t *data, size_t length, int flags,
                     int *bytes_sent = nullptr);
    RTP_ERROR raw_sendto(sockaddr_in &to4, sockaddr_in6 &to6, bool ipv6, uint8_t *data,
                         size_t length, int flags, int *bytes_sent);
    // Handlers for `ssrc`, then one gathered datagram.
    RTP_ERROR sendto(uint32_t ssrc, sockaddr_in &to4, sockaddr_in6 &to6, buffer_vector &pieces,
                     int flags, int *bytes_sent = nullptr) override;
    // Handlers for `ssrc` on every datagram, then all datagrams in batches of
    // up to 1024 per sendmmsg(2) with RCE_SCC_ENABLED, else one per call.
    // With RCE_SCC_ENABLED, runs of equal-sized datagrams go out as one
    // UDP_SEGMENT send each, which the kernel cuts into the same datagrams;
    // where the kernel refuses the offload (one rate-limited WARNING) the
    // socket sends them one by one from then on.
    RTP_ERROR sendto(uint32_t ssrc, sockaddr_in &to4, sockaddr_in6 &to6, packet_vector &packets,
                     int flags, int *bytes_sent = nullptr) override;
    RTP_ERROR raw_sendtov(sockaddr_in &to4, sockaddr_in6 &to6, bool ipv6, buffer_vector &pieces,
                          int flags, int *bytes_sent);
    RTP_ERROR raw_sendtov(sockaddr_in &to4, sockaddr_in6 &to6, bool ipv6, packet_vector &packets,
                          int flags, int *bytes_sent);

    // RTP_NO_DATA (0 bytes) when nothing is queued or the call was
    // interrupted; RTP_BAD_ARGUMENT for a null buffer or zero length.
    RTP_ERROR recv(uint8_t *buffer, size_t length, int flags, int *bytes_read = nullptr);
    // IPv6 or IPv4 form by the socket's family; RTP_NO_DATA only for
    // EAGAIN/EWOULDBLOCK. With MSG_TRUNC in `flags`, *bytes_read is the
    // datagram's real length even when it did not fit.
    RTP_ERROR recvfrom(uint8_t *buffer, size_t length, int flags, sockaddr_in *sender4,
                       sockaddr_in6 *sender6, int *bytes_read);
    RTP_ERROR recvfrom(uint8_t *buffer, size_t length, int flags, int *bytes_read);
    RTP_ERROR recvfrom(uint8_t *buffer, size_t length, int flags, sockaddr_in *sender4);
    RTP_ERROR recvfrom(uint8_t *buffer, size_t length, int flags);
    RTP_ERROR raw_recvfrom(uint8_t *buffer, size_t length, int flags, sockaddr_in *sender,
                           int *bytes_read);
    RTP_ERROR raw_recvfrom_ip6(uint8_t *buffer, size_t length, int flags, sockaddr_in6 *sender,
                               int *bytes_read);

    // Receives up to `count` datagrams into the messages' buffers without
    // waiting: RTP_SUCCESS with *received > 0, RTP_NO_DATA when nothing is
    // queued (or the call was interrupted), RTP_FAILED otherwise. With
    // MSG_TRUNC in `flags`, each msg_len is the datagram's real length.
    RTP_ERROR recv_batch(mmsghdr *msgs, unsigned int count, int flags, int *received);

    // Waits until the socket is readable: RTP_SUCCESS when readable,
    // RTP_NO_DATA on time-out or interruption (EINTR), RTP_FAILED otherwise.
    // With `wake_fd` >= 0 the wait also ends (RTP_NO_DATA) when that
    // descriptor becomes readable; a negative time-out waits without limit.
    RTP_ERROR wait_readable(int timeout_ms, int wake_fd = -1);

private:
    // A multicast group membership request; `request` null for unicast.
    struct membership {
        int level;
        int name;
        const void *request;
        socklen_t length;
    };

    RTP_ERROR bind_common(const char *fn, sockaddr *address, sockaddr *any, socklen_t len,
                          unsigned port, const membership &join);
    RTP_ERROR run_handlers(uint32_t ssrc, buffer_vector &pieces);
    RTP_ERROR receive_from(uint8_t *buffer, size_t length, int flags, sockaddr *sender,
                           socklen_t sender_len, const char *fn, int *bytes_read);
    void fill_destination(msghdr &header, sockaddr_in &to4, sockaddr_in6 &to6, bool ipv6);
    ssize_t send_one(iovec *iov, size_t pieces, sockaddr_in &to4, sockaddr_in6 &to6, bool ipv6,
                     int flags);
    size_t gso_run(const size_t *sizes, size_t count, size_t first) const;

    // What every send reads comes first, up to send_handlers_: the lines
    // collect_hot_lines adds.
    socket_syscalls *sys_;
    int descriptor_ = -1;
    bool is_ipv6_ = false;
    std::atomic<bool> gso_enabled_;
    int stream_flags_;
    std::atomic<uint64_t> handlers_version_{0};
    std::mutex handler_lock_;
    std::multimap<shared_ssrc, socket_packet_handler, shared_ssrc_identity_less> send_handlers_;
    iovec batch_chunks_[k_max_batch_chunks]{};
    sockaddr_in local_v4_{};
    sockaddr_in6 local_v6_{};
    log::limiter gso_warning_;
    std::mutex option_lock_;
};

}  // namespace tessal
