// Real sockets over 127.0.0.1, ::1 and a multicast group on loopback: batched
// sends reach a reception flow complete and in order.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "rtp/rtp.hh"
#include "support/ports.hh"
#include "support/rtp_builder.hh"
#include "support/udp_capture.hh"
#include "transport/reception_flow.hh"
#include "transport/socket.hh"

using namespace tessal;

namespace {

uint16_t local_port(const tessal::socket &sock) {
    return test::bound_port(sock.get_raw_socket());
}

struct endpoint {
    std::shared_ptr<tessal::socket> sock;
    uint16_t port = 0;
};

// A bound receiving socket on an ephemeral port with a 4 MiB buffer.
endpoint bind_receiver(bool ipv6, const char *address) {
    endpoint e{std::make_shared<tessal::socket>(RCE_SCC_ENABLED), 0};
    EXPECT_EQ(e.sock->init(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0), RTP_SUCCESS);
    const int bytes = 4 * 1024 * 1024;
    e.sock->setsockopt(SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
    if (ipv6) {
        sockaddr_in6 addr = tessal::socket::create_ip6_sockaddr(address, 0);
        EXPECT_EQ(e.sock->bind_ip6(addr), RTP_SUCCESS);
    } else {
        sockaddr_in addr = tessal::socket::create_sockaddr(AF_INET, address, 0);
        EXPECT_EQ(e.sock->bind(addr), RTP_SUCCESS);
    }
    e.port = local_port(*e.sock);
    return e;
}

// Each RTP packet of the stream keyed by `remote` becomes a frame of its own.
void deliver_every_packet(reception_flow &flow, const shared_ssrc &remote) {
    flow.install_handler(
        HANDLER_RTP_HEADER, remote,
        [](void *, int flags, uint8_t *p, size_t n, frame::rtp_frame **out) {
            RTP_ERROR r = rtp::packet_handler(nullptr, flags, p, n, out);
            return r == RTP_PKT_CHANGED ? RTP_FRAME_READY : r;
        },
        nullptr);
}

// Sends `count` RTP packets in one batched call and pulls them back.
void round_trip(bool ipv6, const char *bind_address, const char *to_address,
                const std::shared_ptr<tessal::socket> &sender) {
    endpoint rx = bind_receiver(ipv6, bind_address);
    reception_flow flow(ipv6);
    auto remote = make_shared_ssrc(0x5EED);
    deliver_every_packet(flow, remote);
    ASSERT_EQ(flow.start(rx.sock, 0), RTP_SUCCESS);

    constexpr uint16_t k_count = 500;
    std::vector<std::vector<uint8_t>> datagrams;
    packet_vector packets;
    for (uint16_t i = 0; i < k_count; ++i) {
        datagrams.push_back(test::rtp_packet(0x5EED, i, std::vector<uint8_t>(200, uint8_t(i))));
    }
    for (auto &d : datagrams) {
        packets.push_back({{12, d.data()}, {d.size() - 12, d.data() + 12}});
    }
    sockaddr_in to4 = tessal::socket::create_sockaddr(AF_INET, to_address, rx.port);
    sockaddr_in6 to6 = tessal::socket::create_ip6_sockaddr(to_address, rx.port);
    ASSERT_EQ(sender->sendto(0x1, to4, to6, packets, 0), RTP_SUCCESS);

    for (uint16_t i = 0; i < k_count; ++i) {
        frame::rtp_frame *f = flow.pull_frame(5000);
        ASSERT_NE(f, nullptr) << "datagram " << i << " missing";
        EXPECT_EQ(f->header.sequence, i);
        ASSERT_EQ(f->payload_length, 200u);
        EXPECT_EQ(f->payload[199], uint8_t(i));
        frame::dealloc_frame(f);
    }
    EXPECT_EQ(flow.stop(), RTP_SUCCESS);
}

std::shared_ptr<tessal::socket> make_sender(bool ipv6) {
    auto s = std::make_shared<tessal::socket>(RCE_SCC_ENABLED);
    EXPECT_EQ(s->init(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0), RTP_SUCCESS);
    return s;
}

TEST(TransportLoopback, Ipv4BatchedSendReachesFlow) {
    round_trip(false, "127.0.0.1", "127.0.0.1", make_sender(false));
}

TEST(TransportLoopback, Ipv6BatchedSendReachesFlow) {
    auto probe = make_sender(true);
    sockaddr_in6 any = tessal::socket::create_ip6_sockaddr("::1", 0);
    if (probe->bind_ip6(any) != RTP_SUCCESS) {
        GTEST_SKIP() << "IPv6 loopback (::1) is not available on this machine";
    }
    round_trip(true, "::1", "::1", make_sender(true));
}

TEST(TransportLoopback, MulticastGroupOnLoopback) {
    auto sender = make_sender(false);
    // TTL 0 keeps the datagrams on this host; IP_MULTICAST_LOOP delivers
    // them to our own group member.
    const int ttl = 0;
    const int loop = 1;
    sender->setsockopt(IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl));
    sender->setsockopt(IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop));
    {
        // Joining needs a multicast-capable default interface.
        tessal::socket probe(0);
        probe.init(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in group = tessal::socket::create_sockaddr(AF_INET, "239.255.77.77", 0);
        testing::internal::CaptureStderr();
        const RTP_ERROR joined = probe.bind(group);
        testing::internal::GetCapturedStderr();
        if (joined != RTP_SUCCESS) {
            GTEST_SKIP() << "no multicast route on this machine: cannot join 239.255.77.77";
        }
    }
    round_trip(false, "239.255.77.77", "239.255.77.77", sender);
}

// RFC 3550 section 8.2 over real sockets: a packet with the stream's own
// SSRC sent from its own socket (as multicast loopback returns it) is ours
// and dropped; the same SSRC from another socket is a collision, reported to
// the stream; other sources' packets are delivered. Before, both were handed
// to the application as a peer's media.
TEST(TransportLoopback, OwnSsrcFromOwnAddressIsDroppedFromAnotherIsACollision) {
    endpoint rx = bind_receiver(false, "127.0.0.1");
    reception_flow flow(false);
    auto remote = make_shared_ssrc(0x5EED);
    auto local = make_shared_ssrc(0x0101);
    deliver_every_packet(flow, remote);
    std::atomic<int> collisions{0};
    flow.set_local_source(
        remote, local, [](void *arg) { static_cast<std::atomic<int> *>(arg)->fetch_add(1); },
        &collisions);
    ASSERT_EQ(flow.start(rx.sock, 0), RTP_SUCCESS);
    sockaddr_in to4 = tessal::socket::create_sockaddr(AF_INET, "127.0.0.1", rx.port);
    sockaddr_in6 to6{};
    const auto send_from = [&](tessal::socket &from, uint32_t ssrc, uint16_t seq) {
        std::vector<uint8_t> d = test::rtp_packet(ssrc, seq, std::vector<uint8_t>(100, 7));
        EXPECT_EQ(from.sendto(to4, to6, d.data(), d.size(), 0), RTP_SUCCESS);
    };
    send_from(*rx.sock, 0x0101, 1);  // our own, looped back
    send_from(*rx.sock, 0x0101, 2);
    auto other = make_sender(false);
    send_from(*other, 0x0101, 3);  // another participant with our SSRC
    send_from(*other, 0x7777, 4);  // another participant
    frame::rtp_frame *f = flow.pull_frame(5000);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->header.ssrc, 0x7777u);
    frame::dealloc_frame(f);
    EXPECT_EQ(flow.pull_frame(100), nullptr);
    EXPECT_EQ(flow.dropped_own_packets(), 2u);
    EXPECT_EQ(flow.ssrc_collisions(), 1u);
    EXPECT_EQ(collisions.load(), 1);
    EXPECT_EQ(flow.stop(), RTP_SUCCESS);
}

// Batched sends use UDP segmentation offload where the kernel has it: the
// receiver still sees exactly the datagrams sent, boundaries and order.
// Sends `datagrams` (equal sizes) as one UDP_SEGMENT send: the receiver's
// kernel hands them to a UDP_GRO socket as one coalesced message.
bool send_segmented(int fd, const sockaddr_in &to, const std::vector<std::vector<uint8_t>> &run) {
    std::vector<uint8_t> joined;
    for (const auto &d : run) {
        joined.insert(joined.end(), d.begin(), d.end());
    }
    iovec iov{joined.data(), joined.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint16_t))] = {};
    msghdr m{};
    m.msg_name = const_cast<sockaddr_in *>(&to);
    m.msg_namelen = sizeof(to);
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof(control);
    cmsghdr *c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = IPPROTO_UDP;
    c->cmsg_type = 103;  // UDP_SEGMENT (linux/udp.h)
    c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
    const auto segment = static_cast<uint16_t>(run.front().size());
    std::memcpy(CMSG_DATA(c), &segment, sizeof(segment));
    return ::sendmsg(fd, &m, 0) == static_cast<ssize_t>(joined.size());
}

// A GSO sender and a GRO receiver with datagrams too large for a slot
// between the coalesced runs: every legitimate datagram arrives once and
// byte-exact, every oversize one is counted. The mix used to deliver some
// packets twice and others never.
TEST(TransportLoopback, GroRunsBesideOversizeDatagramsArriveOnceAndWhole) {
    endpoint rx = bind_receiver(false, "127.0.0.1");
    reception_flow flow(false);
    auto remote = make_shared_ssrc(0x5EED);
    deliver_every_packet(flow, remote);
    ASSERT_EQ(flow.start(rx.sock, 0), RTP_SUCCESS);
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    const sockaddr_in to = tessal::socket::create_sockaddr(AF_INET, "127.0.0.1", rx.port);
    const auto packet = [](uint16_t seq) {
        return test::rtp_packet(0x5EED, seq, std::vector<uint8_t>(1000, uint8_t(seq * 3 + 1)));
    };
    const std::vector<uint8_t> oversize(3000, 0xEE);
    constexpr int k_rounds = 80;
    constexpr int k_bursts = 8;
    uint16_t seq = 0;
    std::vector<int> seen(k_rounds * k_bursts * 4, 0);
    size_t corrupt = 0;
    bool sent_all = true;
    for (int round = 0; round < k_rounds; ++round) {
        // Back to back, so that the receiver finds several in one batch.
        for (int b = 0; b < k_bursts; ++b) {
            sent_all &= ::sendto(fd, oversize.data(), oversize.size(), 0,
                                 reinterpret_cast<const sockaddr *>(&to), sizeof(to)) == 3000;
            std::vector<std::vector<uint8_t>> run = {packet(seq), packet(uint16_t(seq + 1)),
                                                     packet(uint16_t(seq + 2))};
            sent_all &= send_segmented(fd, to, run);
            const auto lone = packet(uint16_t(seq + 3));
            sent_all &=
                ::sendto(fd, lone.data(), lone.size(), 0, reinterpret_cast<const sockaddr *>(&to),
                         sizeof(to)) == static_cast<ssize_t>(lone.size());
            seq = uint16_t(seq + 4);
        }
        // Pulled before the next round: the socket's buffer never overflows.
        for (int k = 0; k < 4 * k_bursts; ++k) {
            frame::rtp_frame *f = flow.pull_frame(5000);
            ASSERT_NE(f, nullptr) << "round " << round;
            const uint16_t s = f->header.sequence;
            if (s < seen.size()) {
                ++seen[s];
            }
            corrupt += f->payload_length == 1000 &&
                               std::all_of(f->payload, f->payload + 1000,
                                           [&](uint8_t v) { return v == uint8_t(s * 3 + 1); })
                           ? 0
                           : 1;
            frame::dealloc_frame(f);
        }
    }
    ::close(fd);
    EXPECT_TRUE(sent_all);
    EXPECT_EQ(flow.pull_frame(100), nullptr);  // nothing more: no duplicate
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<long>(seen.size()));
    EXPECT_EQ(corrupt, 0u);
    EXPECT_EQ(flow.dropped_oversize(), static_cast<uint64_t>(k_rounds * k_bursts));
    EXPECT_EQ(flow.stop(), RTP_SUCCESS);
}

TEST(TransportLoopback, OffloadedBatchesKeepDatagramBoundaries) {
    test::udp_capture rx;
    const int buffer = 4 * 1024 * 1024;
    ::setsockopt(rx.fd(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
    std::vector<size_t> sizes(30, 1400);
    sizes.push_back(700);
    sizes.insert(sizes.end(), 5, 1400);
    sizes.push_back(100);
    sizes.insert(sizes.end(), 100, 300);
    std::vector<std::vector<uint8_t>> datagrams;
    for (size_t i = 0; i < sizes.size(); ++i) {
        std::vector<uint8_t> d(sizes[i]);
        for (size_t k = 0; k < d.size(); ++k) {
            d[k] = static_cast<uint8_t>(i * 7 + k);
        }
        datagrams.push_back(std::move(d));
    }
    packet_vector packets;
    for (auto &d : datagrams) {
        packets.push_back({{12, d.data()}, {d.size() - 12, d.data() + 12}});
    }
    auto sender = make_sender(false);
    sockaddr_in to4 = tessal::socket::create_sockaddr(AF_INET, "127.0.0.1", rx.port());
    sockaddr_in6 to6{};
    ASSERT_EQ(sender->sendto(0x1, to4, to6, packets, 0), RTP_SUCCESS);
    for (size_t i = 0; i < datagrams.size(); ++i) {
        ASSERT_EQ(rx.receive(), datagrams[i]) << "datagram " << i;
    }
}

}  // namespace
