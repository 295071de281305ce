#include "transport/socket.hh"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/udp.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "util/log.hh"

namespace tessal {

namespace {

constexpr socklen_t k_v4_len = sizeof(sockaddr_in);
constexpr socklen_t k_v6_len = sizeof(sockaddr_in6);
// A lone datagram of at most this many pieces is sent from a stack array.
constexpr size_t k_stack_pieces = 8;

size_t total_length(const buffer_vector &pieces) {
    size_t total = 0;
    for (const auto &piece : pieces) {
        total += piece.first;
    }
    return total;
}

void fill_iov(iovec *iov, const buffer_vector &pieces) {
    for (size_t i = 0; i < pieces.size(); ++i) {
        iov[i].iov_base = pieces[i].second;
        iov[i].iov_len = pieces[i].first;
    }
}

}  // namespace

socket::socket(int stream_flags, socket_syscalls *sys)
    : sys_(sys), gso_enabled_(sys->supports_udp_gso()), stream_flags_(stream_flags) {}

socket::~socket() {
    if (descriptor_ >= 0) {
        sys_->close(descriptor_);
    }
}

RTP_ERROR socket::init(short family, int type, int protocol) {
    is_ipv6_ = (family == AF_INET6);
    descriptor_ = sys_->socket(family, type, protocol);
    if (descriptor_ < 0) {
        LOG_ERROR("Failed to create socket: %s", log::error_text(errno).c_str());
        return RTP_SOCKET_FAILED;
    }
    return RTP_SUCCESS;
}

void socket::close() {
    if (descriptor_ >= 0) {
        sys_->close(descriptor_);
        descriptor_ = -1;
    }
}

RTP_ERROR socket::setsockopt(int level, int name, const void *value, unsigned length) {
    std::lock_guard<std::mutex> guard(option_lock_);
    if (sys_->setsockopt(descriptor_, level, name, value, static_cast<socklen_t>(length)) < 0) {
        LOG_ERROR("Failed to set socket options");
        return RTP_FAILED;
    }
    return RTP_SUCCESS;
}

RTP_ERROR socket::bind(short family, unsigned host, uint16_t port) {
    sockaddr_in address = create_sockaddr(family, host, port);
    return bind(address);
}

namespace {

// The system's reason goes first, on a line of its own, then the log line.
void log_bind_error(const char *fn, const char *message, unsigned port) {
    std::fprintf(stderr, "%s\n", log::error_text(errno).c_str());
    log::write(log::level::error, fn, message, port);
}

}  // namespace

RTP_ERROR socket::bind_common(const char *fn, sockaddr *address, sockaddr *any, socklen_t len,
                              unsigned port, const membership &join) {
    if (join.request == nullptr) {
        if (sys_->bind(descriptor_, address, len) < 0) {
            log_bind_error(fn, "Binding to port %u failed!", port);
            return RTP_BIND_FAILED;
        }
        return RTP_SUCCESS;
    }
    // Multicast: every receiver of the group on this host shares the port.
    const int enable = 1;
    if (sys_->setsockopt(descriptor_, SOL_SOCKET, SO_REUSEADDR, &enable, sizeof(enable)) < 0) {
        log_bind_error(fn, "Reuse address failed!", port);
    }
    if (sys_->setsockopt(descriptor_, SOL_SOCKET, SO_REUSEPORT, &enable, sizeof(enable)) < 0) {
        log_bind_error(fn, "Reuse port failed!", port);
    }
    if (sys_->bind(descriptor_, any, len) < 0) {
        log_bind_error(fn, "Binding to port %u failed!", port);
        return RTP_BIND_FAILED;
    }
    if (sys_->setsockopt(descriptor_, join.level, join.name, join.request, join.length) < 0) {
        log_bind_error(fn, "Multicast join failed!", port);
        return RTP_BIND_FAILED;
    }
    return RTP_SUCCESS;
}

RTP_ERROR socket::bind(sockaddr_in &address) {
    local_v4_ = address;
    sockaddr_in any = address;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    ip_mreq group{};
    group.imr_multiaddr = address.sin_addr;
    group.imr_interface.s_addr = htonl(INADDR_ANY);
    const membership join{IPPROTO_IP, IP_ADD_MEMBERSHIP, is_multicast(address) ? &group : nullptr,
                          sizeof(group)};
    return bind_common("bind", reinterpret_cast<sockaddr *>(&address),
                       reinterpret_cast<sockaddr *>(&any), k_v4_len, ntohs(address.sin_port), join);
}

RTP_ERROR socket::bind_ip6(sockaddr_in6 &address) {
    local_v6_ = address;
    sockaddr_in6 any = address;  // flow label and scope kept
    any.sin6_addr = in6addr_any;
    ipv6_mreq group{};
    group.ipv6mr_multiaddr = address.sin6_addr;
    group.ipv6mr_interface = 0;
    const membership join{IPPROTO_IPV6, IPV6_JOIN_GROUP, is_multicast(address) ? &group : nullptr,
                          sizeof(group)};
    return bind_common("bind_ip6", reinterpret_cast<sockaddr *>(&address),
                       reinterpret_cast<sockaddr *>(&any), k_v6_len, ntohs(address.sin6_port),
                       join);
}

sockaddr_in socket::create_sockaddr(short family, unsigned host, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = static_cast<sa_family_t>(family);
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(host);
    return address;
}

sockaddr_in socket::create_sockaddr(short family, const std::string &host, uint16_t port) {
    sockaddr_in address{};
    if (!parse_sockaddr(host, port, address)) {
        address.sin_addr.s_addr = 0;
    }
    address.sin_family = static_cast<sa_family_t>(family);
    return address;
}

bool socket::parse_sockaddr(const std::string &host, uint16_t port, sockaddr_in &out) {
    out = sockaddr_in{};
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    return inet_pton(AF_INET, host.c_str(), &out.sin_addr) == 1;
}

bool socket::parse_ip6_sockaddr(const std::string &host, uint16_t port, sockaddr_in6 &out) {
    out = sockaddr_in6{};
    out.sin6_family = AF_INET6;
    out.sin6_port = htons(port);
    if (inet_pton(AF_INET6, host.c_str(), &out.sin6_addr) == 1) {
        return true;
    }
    // RFC 4291 section 2.5.5.2: an IPv4 peer seen from an IPv6 socket.
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) != 1) {
        return false;
    }
    out.sin6_addr.s6_addr[10] = 0xff;
    out.sin6_addr.s6_addr[11] = 0xff;
    std::memcpy(&out.sin6_addr.s6_addr[12], &v4, sizeof(v4));
    return true;
}

sockaddr_in6 socket::create_ip6_sockaddr(const std::string &host, uint16_t port) {
    sockaddr_in6 address{};
    if (!parse_ip6_sockaddr(host, port, address)) {
        address.sin6_addr = in6addr_any;
    }
    return address;
}

sockaddr_in6 socket::create_ip6_sockaddr_any(uint16_t port) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = in6addr_any;
    return address;
}

bool socket::is_multicast(const sockaddr_in &address) {
    const auto *bytes = reinterpret_cast<const uint8_t *>(&address.sin_addr.s_addr);
    return (bytes[0] & 0xF0) == 0xE0;  // 224.0.0.0/4
}

bool socket::is_multicast(const sockaddr_in6 &address) {
    return address.sin6_addr.s6_addr[0] == 0xFF;  // ff00::/8
}

int socket::check_family(const std::string &host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo *result = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) {
        LOG_ERROR("Invalid IP address");
        return -1;
    }
    const int family = result->ai_family;
    freeaddrinfo(result);
    if (family == AF_INET) {
        return 1;
    }
    if (family == AF_INET6) {
        return 2;
    }
    LOG_ERROR("Invalid IP address");
    return -1;
}

std::string socket::sockaddr_to_string(const sockaddr_in &address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof(text));
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

std::string socket::sockaddr_ip6_to_string(const sockaddr_in6 &address) {
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &address.sin6_addr, text, sizeof(text));
    return std::string(text) + ":" + std::to_string(ntohs(address.sin6_port));
}

RTP_ERROR socket::install_handler(shared_ssrc local_ssrc, void *arg, send_handler_fn handler,
                                  const void *hot) {
    if (handler == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    std::lock_guard<std::mutex> guard(handler_lock_);
    send_handlers_.emplace(std::move(local_ssrc), socket_packet_handler{arg, handler, hot});
    handlers_version_.fetch_add(1);
    return RTP_SUCCESS;
}

RTP_ERROR socket::remove_handler(const shared_ssrc &local_ssrc) {
    std::lock_guard<std::mutex> guard(handler_lock_);
    send_handlers_.erase(local_ssrc);
    handlers_version_.fetch_add(1);
    return RTP_SUCCESS;
}

void socket::collect_hot_lines(hot_lines &out) {
    out.add_between(this, &send_handlers_ + 1);
    std::lock_guard<std::mutex> guard(handler_lock_);
    for (const auto &entry : send_handlers_) {
        out.add(&entry, sizeof(entry));
        out.add(entry.first.get(), sizeof(*entry.first));
        out.add(entry.second.hot != nullptr ? entry.second.hot : entry.second.arg);
    }
}

// Called with handler_lock_ held.
RTP_ERROR socket::run_handlers(uint32_t ssrc, buffer_vector &pieces) {
    for (auto &entry : send_handlers_) {
        if (entry.first->load(std::memory_order_relaxed) != ssrc) {
            continue;
        }
        RTP_ERROR rc = entry.second.handler(entry.second.arg, pieces);
        if (rc != RTP_SUCCESS) {
            LOG_ERROR_AS("sendto", "Malformed packet");
            return rc;
        }
    }
    return RTP_SUCCESS;
}

void socket::fill_destination(msghdr &header, sockaddr_in &to4, sockaddr_in6 &to6, bool ipv6) {
    if (ipv6) {
        header.msg_name = &to6;
        header.msg_namelen = k_v6_len;
    } else {
        header.msg_name = &to4;
        header.msg_namelen = k_v4_len;
    }
}

RTP_ERROR socket::sendto(sockaddr_in &to4, sockaddr_in6 &to6, uint8_t *data, size_t length,
                         int flags, int *bytes_sent) {
    return raw_sendto(to4, to6, is_ipv6_, data, length, flags, bytes_sent);
}

RTP_ERROR socket::raw_sendto(sockaddr_in &to4, sockaddr_in6 &to6, bool ipv6, uint8_t *data,
                             size_t length, int flags, int *bytes_sent) {
    const sockaddr *to =
        ipv6 ? reinterpret_cast<const sockaddr *>(&to6) : reinterpret_cast<const sockaddr *>(&to4);
    const ssize_t sent =
        sys_->sendto(descriptor_, data, length, flags, to, ipv6 ? k_v6_len : k_v4_len);
    if (sent < 0) {
        LOG_ERROR_AS("__sendto", "Failed to send data: %s", log::error_text(errno).c_str());
        if (bytes_sent != nullptr) {
            *bytes_sent = -1;
        }
        return RTP_SEND_FAILED;
    }
    if (bytes_sent != nullptr) {
        *bytes_sent = static_cast<int>(sent);
    }
    return RTP_SUCCESS;
}

RTP_ERROR socket::sendto(uint32_t ssrc, sockaddr_in &to4, sockaddr_in6 &to6, buffer_vector &pieces,
                         int flags, int *bytes_sent) {
    std::lock_guard<std::mutex> guard(handler_lock_);
    RTP_ERROR rc = run_handlers(ssrc, pieces);
    if (rc != RTP_SUCCESS) {
        return rc;
    }
    return raw_sendtov(to4, to6, is_ipv6_, pieces, flags, bytes_sent);
}

// One datagram in one sendmsg(2), which costs the kernel less than a
// sendmmsg(2) of one message; retried when interrupted. The bytes sent, or
// -1 with errno set.
ssize_t socket::send_one(iovec *iov, size_t pieces, sockaddr_in &to4, sockaddr_in6 &to6, bool ipv6,
                         int flags) {
    msghdr message{};
    message.msg_iov = iov;
    message.msg_iovlen = pieces;
    fill_destination(message, to4, to6, ipv6);
    ssize_t sent = 0;
    do {
        sent = sys_->sendmsg(descriptor_, &message, flags);
    } while (sent < 0 && errno == EINTR);
    return sent;
}

// The single gathered datagram reuses batch_chunks_ and so runs under
// handler_lock_ (taken by the handler-running caller).
RTP_ERROR socket::raw_sendtov(sockaddr_in &to4, sockaddr_in6 &to6, bool ipv6, buffer_vector &pieces,
                              int flags, int *bytes_sent) {
    if (pieces.size() > static_cast<size_t>(IOV_MAX)) {
        LOG_ERROR_AS("__sendtov", "Too many pieces for one datagram: %zu", pieces.size());
        if (bytes_sent != nullptr) {
            *bytes_sent = -1;
        }
        return RTP_BAD_ARGUMENT;
    }
    // An aggregation packet may have hundreds of pieces: beyond the
    // preallocated array, gather through one of its own.
    std::unique_ptr<iovec[]> large;
    iovec *iov = batch_chunks_;
    if (pieces.size() > k_max_batch_chunks) {
        large.reset(new iovec[pieces.size()]);
        iov = large.get();
    }
    fill_iov(iov, pieces);
    if (send_one(iov, pieces.size(), to4, to6, ipv6, flags) < 0) {
        LOG_ERROR_AS("__sendtov", "Failed to send RTP frame: %s!", log::error_text(errno).c_str());
        if (bytes_sent != nullptr) {
            *bytes_sent = -1;
        }
        return RTP_SEND_FAILED;
    }
    if (bytes_sent != nullptr) {
        *bytes_sent = static_cast<int>(total_length(pieces));
    }
    return RTP_SUCCESS;
}

RTP_ERROR socket::sendto(uint32_t ssrc, sockaddr_in &to4, sockaddr_in6 &to6, packet_vector &packets,
                         int flags, int *bytes_sent) {
    {
        std::lock_guard<std::mutex> guard(handler_lock_);
        for (auto &pieces : packets) {
            RTP_ERROR rc = run_handlers(ssrc, pieces);
            if (rc != RTP_SUCCESS) {
                return rc;
            }
        }
    }
    return raw_sendtov(to4, to6, is_ipv6_, packets, flags, bytes_sent);
}

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103  // linux/udp.h, for older C library headers
#endif

namespace {

// Per-thread arrays for batched sends: grown once, reused by every later
// call on the thread, so a steady stream of pushes allocates nothing here.
struct send_scratch {
    std::vector<mmsghdr> headers;
    std::vector<iovec> chunks;
    std::vector<size_t> datagrams;  // datagrams carried by each header
    std::vector<size_t> sizes;      // bytes of each datagram of the call
    std::vector<std::array<uint8_t, CMSG_SPACE(sizeof(uint16_t))>> controls;
    // Segmented runs are copied here, one contiguous buffer per send.
    std::vector<uint8_t> staging;
};

// Bytes of segmented runs laid out before one sendmmsg(2): a few runs of
// k_gso_max_bytes each, small enough to stay in the cache between the copy
// here and the kernel's copy out of it.
constexpr size_t k_staging_bytes = 4 * k_gso_max_bytes;
static_assert(k_staging_bytes >= k_gso_max_bytes, "a whole run must fit");

// Not inlined: a shared library reaches a thread_local through a call to
// the dynamic linker, which the caller then pays once instead of at each use.
[[gnu::noinline]] send_scratch &scratch() {
    thread_local send_scratch s;
    return s;
}

// A batched send that failed (sent < 0, errno set) or made no progress
// (sent == 0, reported as EAGAIN).
RTP_ERROR batch_send_failed(int sent, int *bytes_sent) {
    if (sent == 0) {
        errno = EAGAIN;
    }
    log::platform_error("sendmmsg(2) failed");
    if (bytes_sent != nullptr) {
        *bytes_sent = -1;
    }
    return RTP_SEND_FAILED;
}

// Whether the kernel refused the segmentation offload itself (as opposed to
// the send): then the datagrams go out one by one.
bool gso_refused(int err) {
    return err == EIO || err == EINVAL || err == ENOPROTOOPT || err == EOPNOTSUPP;
}

}  // namespace

// A run of datagrams to one destination that are all `size` bytes long
// (the last may be shorter) goes out as one UDP_SEGMENT send: the kernel cuts
// it into exactly those datagrams. Given the `count` datagrams' sizes and
// starting at `first`, the number of datagrams such a run would carry (1 when
// none longer than one).
size_t socket::gso_run(const size_t *sizes, size_t count, size_t first) const {
    if (!(stream_flags_ & RCE_SCC_ENABLED) || !gso_enabled_.load(std::memory_order_relaxed)) {
        return 1;
    }
    const size_t size = sizes[first];
    if (size == 0 || size > k_gso_max_bytes) {
        return 1;
    }
    size_t n = 1;
    size_t bytes = size;
    while (first + n < count && n < k_gso_max_segments) {
        const size_t next = sizes[first + n];
        if (next > size || next == 0 || bytes + next > k_gso_max_bytes) {
            break;
        }
        bytes += next;
        ++n;
        if (next < size) {
            break;  // a shorter datagram ends the run
        }
    }
    return n;
}

RTP_ERROR socket::raw_sendtov(sockaddr_in &to4, sockaddr_in6 &to6, bool ipv6,
                              packet_vector &packets, int flags, int *bytes_sent) {
    const size_t count = packets.size();
    if (count == 1 && packets.front().size() <= k_stack_pieces) {
        // One datagram of a few pieces, the common case at many low-rate
        // streams: one header on the stack and none of the batch scratch.
        const buffer_vector &pieces = packets.front();
        iovec iov[k_stack_pieces];
        fill_iov(iov, pieces);
        if (bytes_sent != nullptr) {
            *bytes_sent = static_cast<int>(total_length(pieces));
        }
        if (send_one(iov, pieces.size(), to4, to6, ipv6, flags) < 0) {
            return batch_send_failed(-1, bytes_sent);
        }
        return RTP_SUCCESS;
    }
    send_scratch &sc = scratch();
    if (sc.sizes.size() < count) {
        sc.sizes.resize(count);
    }
    size_t total_pieces = 0;
    size_t total_bytes = 0;
    for (size_t i = 0; i < count; ++i) {
        const buffer_vector &pieces = packets[i];
        if (pieces.size() > static_cast<size_t>(IOV_MAX)) {
            LOG_ERROR_AS("__sendtov", "Too many pieces for one datagram: %zu", pieces.size());
            if (bytes_sent != nullptr) {
                *bytes_sent = -1;
            }
            return RTP_BAD_ARGUMENT;
        }
        total_pieces += pieces.size();
        sc.sizes[i] = total_length(pieces);
        total_bytes += sc.sizes[i];
    }
    if (bytes_sent != nullptr) {
        *bytes_sent = static_cast<int>(total_bytes);
    }
    if (sc.chunks.size() < total_pieces) {
        sc.chunks.resize(total_pieces);
    }
    if (sc.headers.size() < std::max<size_t>(count, 1)) {
        sc.headers.resize(std::max<size_t>(count, 1));
        sc.datagrams.resize(sc.headers.size());
        sc.controls.resize(sc.headers.size());
    }
    if (count == 0) {
        // Nothing to send; still one (empty) call, as the kernel would see it.
        sys_->sendmmsg(descriptor_, sc.headers.data(), 0, flags);
        return RTP_SUCCESS;
    }

    // Lays out headers for the datagrams from `from` on; the number of
    // headers. A segmented run goes out of one contiguous buffer: the kernel
    // copies a single buffer much faster than the same bytes gathered from an
    // iovec per piece (about 0.2 against 0.4 us per 1,200-byte datagram on
    // loopback), and the copy into the staging area costs less than the
    // difference. When the staging area is full, the headers built so far go
    // out first and the rest is laid out afterwards.
    const auto build = [&](size_t from) {
        size_t headers = 0;
        size_t next_chunk = 0;
        size_t staged = 0;
        for (size_t i = from; i < count && headers < sc.headers.size(); ++headers) {
            const size_t run = gso_run(sc.sizes.data(), count, i);
            mmsghdr &m = sc.headers[headers];
            m = mmsghdr{};
            msghdr &h = m.msg_hdr;
            h.msg_iov = sc.chunks.data() + next_chunk;
            if (run > 1) {
                size_t bytes = 0;
                for (size_t k = 0; k < run; ++k) {
                    bytes += sc.sizes[i + k];
                }
                if (staged + bytes > k_staging_bytes) {
                    break;
                }
                if (sc.staging.size() < k_staging_bytes) {
                    sc.staging.resize(k_staging_bytes);
                }
                uint8_t *const start = sc.staging.data() + staged;
                uint8_t *to = start;
                for (size_t k = 0; k < run; ++k) {
                    for (const auto &piece : packets[i + k]) {
                        if (piece.first != 0) {
                            std::memcpy(to, piece.second, piece.first);
                            to += piece.first;
                        }
                    }
                }
                staged += bytes;
                sc.chunks[next_chunk++] = iovec{start, bytes};
                h.msg_iovlen = 1;
            } else {
                fill_iov(sc.chunks.data() + next_chunk, packets[i]);
                next_chunk += packets[i].size();
                h.msg_iovlen = packets[i].size();
            }
            fill_destination(h, to4, to6, ipv6);
            if (run > 1) {
                auto &control = sc.controls[headers];
                control.fill(0);
                h.msg_control = control.data();
                h.msg_controllen = control.size();
                cmsghdr *c = CMSG_FIRSTHDR(&h);
                c->cmsg_level = SOL_UDP;
                c->cmsg_type = UDP_SEGMENT;
                c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
                const auto segment = static_cast<uint16_t>(sc.sizes[i]);
                std::memcpy(CMSG_DATA(c), &segment, sizeof(segment));
            }
            sc.datagrams[headers] = run;
            i += run;
        }
        return headers;
    };

    const size_t batch = (stream_flags_ & RCE_SCC_ENABLED) ? k_scc_batch : 1;
    size_t headers = build(0);
    // A short send is resumed where the kernel stopped; an error or a call
    // that makes no progress ends the send.
    size_t done = 0;       // headers sent
    size_t delivered = 0;  // datagrams sent
    for (;;) {
        if (done == headers) {
            if (delivered == count) {
                break;
            }
            headers = build(delivered);  // what did not fit in the staging area
            done = 0;
        }
        const auto want = static_cast<unsigned>(std::min(batch, headers - done));
        const int sent = sys_->sendmmsg(descriptor_, sc.headers.data() + done, want, flags);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && sc.datagrams[done] > 1 && gso_refused(errno)) {
            // No segmentation offload here: the same datagrams, one by one.
            gso_enabled_.store(false, std::memory_order_relaxed);
            LOG_WARN_LIMITED_AS(gso_warning_, "__sendtov",
                                "UDP segmentation offload is not available (%s), sending "
                                "datagrams one by one",
                                log::error_text(errno).c_str());
            headers = build(delivered);
            done = 0;
            continue;
        }
        if (sent <= 0) {
            return batch_send_failed(sent, bytes_sent);
        }
        for (size_t k = 0; k < static_cast<size_t>(sent); ++k) {
            delivered += sc.datagrams[done + k];
        }
        done += static_cast<size_t>(sent);
    }
    return RTP_SUCCESS;
}

RTP_ERROR socket::recv(uint8_t *buffer, size_t length, int flags, int *bytes_read) {
    if (buffer == nullptr || length == 0) {
        if (bytes_read != nullptr) {
            *bytes_read = -1;
        }
        return RTP_BAD_ARGUMENT;
    }
    const ssize_t got = sys_->recv(descriptor_, buffer, length, flags);
    if (got < 0) {
        const int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) {
            if (bytes_read != nullptr) {
                *bytes_read = 0;
            }
            return RTP_NO_DATA;
        }
        LOG_ERROR_AS("__recv", "recv(2) failed: %s", log::error_text(err).c_str());
        if (bytes_read != nullptr) {
            *bytes_read = -1;
        }
        return RTP_FAILED;
    }
    if (bytes_read != nullptr) {
        *bytes_read = static_cast<int>(got);
    }
    return RTP_SUCCESS;
}

// Only a receive that would block maps to RTP_NO_DATA here; an interrupted
// one is an error for these forms.
RTP_ERROR socket::receive_from(uint8_t *buffer, size_t length, int flags, sockaddr *sender,
                               socklen_t sender_len, const char *fn, int *bytes_read) {
    socklen_t len = sender_len;
    const ssize_t got =
        sys_->recvfrom(descriptor_, buffer, length, flags, sender, sender ? &len : nullptr);
    if (got < 0) {
        const int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK) {
            if (bytes_read != nullptr) {
                *bytes_read = 0;
            }
            return RTP_NO_DATA;
        }
        LOG_ERROR_AS(fn, "recvfrom failed: %s", log::error_text(err).c_str());
        if (bytes_read != nullptr) {
            *bytes_read = -1;
        }
        return RTP_FAILED;
    }
    if (bytes_read != nullptr) {
        *bytes_read = static_cast<int>(got);
    }
    return RTP_SUCCESS;
}

RTP_ERROR socket::raw_recvfrom(uint8_t *buffer, size_t length, int flags, sockaddr_in *sender,
                               int *bytes_read) {
    return receive_from(buffer, length, flags, reinterpret_cast<sockaddr *>(sender), k_v4_len,
                        "__recvfrom", bytes_read);
}

RTP_ERROR socket::raw_recvfrom_ip6(uint8_t *buffer, size_t length, int flags, sockaddr_in6 *sender,
                                   int *bytes_read) {
    return receive_from(buffer, length, flags, reinterpret_cast<sockaddr *>(sender), k_v6_len,
                        "__recvfrom_ip6", bytes_read);
}

RTP_ERROR socket::recvfrom(uint8_t *buffer, size_t length, int flags, sockaddr_in *sender4,
                           sockaddr_in6 *sender6, int *bytes_read) {
    if (is_ipv6_) {
        return raw_recvfrom_ip6(buffer, length, flags, sender6, bytes_read);
    }
    return raw_recvfrom(buffer, length, flags, sender4, bytes_read);
}

RTP_ERROR socket::recvfrom(uint8_t *buffer, size_t length, int flags, int *bytes_read) {
    return recvfrom(buffer, length, flags, nullptr, nullptr, bytes_read);
}

RTP_ERROR socket::recvfrom(uint8_t *buffer, size_t length, int flags, sockaddr_in *sender4) {
    return raw_recvfrom(buffer, length, flags, sender4, nullptr);
}

RTP_ERROR socket::recvfrom(uint8_t *buffer, size_t length, int flags) {
    return raw_recvfrom(buffer, length, flags, nullptr, nullptr);
}

int socket::int_option(int level, int name) const {
    int value = 0;
    socklen_t length = sizeof(value);
    if (descriptor_ < 0 || ::getsockopt(descriptor_, level, name, &value, &length) != 0) {
        return -1;
    }
    return value;
}

RTP_ERROR socket::set_buffer(int name, int bytes) {
    const RTP_ERROR rc = setsockopt(SOL_SOCKET, name, &bytes, sizeof(bytes));
    // The kernel reports twice what was set (its bookkeeping share).
    if (rc == RTP_SUCCESS && on_system_calls() && int_option(SOL_SOCKET, name) / 2 < bytes) {
        const int force = name == SO_RCVBUF ? SO_RCVBUFFORCE : SO_SNDBUFFORCE;
        (void)sys_->setsockopt(descriptor_, SOL_SOCKET, force, &bytes, sizeof(bytes));
    }
    return rc;
}

bool socket::enable_udp_gro() {
    constexpr int k_udp_gro_option = 104;  // linux/udp.h
    if (descriptor_ < 0 || !sys_->supports_udp_gro()) {
        return false;
    }
    const int on = 1;
    return sys_->setsockopt(descriptor_, IPPROTO_UDP, k_udp_gro_option, &on, sizeof(on)) == 0;
}

RTP_ERROR socket::recv_batch(mmsghdr *msgs, unsigned int count, int flags, int *received) {
    *received = 0;
    const int got = sys_->recvmmsg(descriptor_, msgs, count, flags | MSG_DONTWAIT);
    if (got < 0) {
        const int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) {
            return RTP_NO_DATA;
        }
        LOG_ERROR("recvmmsg failed: %s", log::error_text(err).c_str());
        return RTP_FAILED;
    }
    *received = got;
    return got > 0 ? RTP_SUCCESS : RTP_NO_DATA;
}

RTP_ERROR socket::wait_readable(int timeout_ms, int wake_fd) {
    pollfd fds[2] = {};
    fds[0].fd = descriptor_;
    fds[0].events = POLLIN;
    fds[1].fd = wake_fd;
    fds[1].events = POLLIN;
    const int rc = sys_->poll(fds, wake_fd >= 0 ? 2 : 1, timeout_ms);
    if (rc < 0) {
        return errno == EINTR ? RTP_NO_DATA : RTP_FAILED;
    }
    const pollfd &fd = fds[0];
    if (rc == 0 || (fd.revents & POLLIN) == 0) {
        return (fd.revents & (POLLERR | POLLNVAL)) ? RTP_FAILED : RTP_NO_DATA;
    }
    return RTP_SUCCESS;
}

}  // namespace tessal
