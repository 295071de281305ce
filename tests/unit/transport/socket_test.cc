// Socket behaviour through the system-call seam: batching, short sends,
// failures, the send-handler chain, binding and receive result mapping.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstring>
#include <vector>

#include "support/fake_syscalls.hh"
#include "support/stderr_capture.hh"
#include "transport/socket.hh"

using namespace tessal;
using tessal::test::fake_syscalls;
using tessal::test::stderr_capture;

namespace {

struct fixture {
    fake_syscalls fake;
    tessal::socket sock;
    sockaddr_in to4 = tessal::socket::create_sockaddr(AF_INET, "127.0.0.1", 5004);
    sockaddr_in6 to6 = tessal::socket::create_ip6_sockaddr("::1", 5004);

    explicit fixture(int flags, short family = AF_INET) : sock(flags, &fake) {
        EXPECT_EQ(sock.init(family, SOCK_DGRAM, 0), RTP_SUCCESS);
    }
};

// `count` two-piece datagrams: a 2-byte index header and a shared payload.
struct packet_set {
    std::vector<std::array<uint8_t, 2>> headers;
    uint8_t payload[3] = {'a', 'b', 'c'};
    packet_vector packets;

    explicit packet_set(size_t count) : headers(count) {
        for (size_t i = 0; i < count; ++i) {
            headers[i] = {static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
            packets.push_back({{2, headers[i].data()}, {3, payload}});
        }
    }
};

void expect_in_order(const std::vector<fake_syscalls::datagram> &sent, size_t count) {
    ASSERT_EQ(sent.size(), count);
    for (size_t i = 0; i < count; ++i) {
        ASSERT_EQ(sent[i].bytes.size(), 5u);
        EXPECT_EQ((sent[i].bytes[0] << 8) | sent[i].bytes[1], static_cast<int>(i & 0xFFFF));
    }
}

TEST(SocketSend, BatchingByClusteringFlag) {
    struct Case {
        const char *name;
        int flags;
        size_t count;
        std::vector<unsigned> calls;
    } cases[] = {
        {"SCC 2500", RCE_SCC_ENABLED, 2500, {1024, 1024, 452}},
        {"SCC exactly one batch", RCE_SCC_ENABLED, 1024, {1024}},
        {"SCC empty vector", RCE_SCC_ENABLED, 0, {0}},
        {"no SCC 3", 0, 3, {1, 1, 1}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fixture f(c.flags);
        packet_set set(c.count);
        int bytes = 0;
        EXPECT_EQ(f.sock.sendto(7, f.to4, f.to6, set.packets, 0, &bytes), RTP_SUCCESS);
        EXPECT_EQ(f.fake.sendmmsg_counts(), c.calls);
        EXPECT_EQ(bytes, static_cast<int>(5 * c.count));
        expect_in_order(f.fake.sent(), c.count);
    }
    fixture f(0);
    packet_set set(2500);
    EXPECT_EQ(f.sock.sendto(7, f.to4, f.to6, set.packets, 0), RTP_SUCCESS);
    EXPECT_EQ(f.fake.sendmmsg_counts().size(), 2500u);
}

TEST(SocketSend, ShortSendIsResumedWhereTheKernelStopped) {
    // Regression: a partial sendmmsg silently dropped the rest of the frame.
    fixture f(RCE_SCC_ENABLED);
    f.fake.script_sendmmsg({500, 1024, -EINTR, 1000});
    packet_set set(2500);
    EXPECT_EQ(f.sock.sendto(7, f.to4, f.to6, set.packets, 0), RTP_SUCCESS);
    expect_in_order(f.fake.sent(), 2500);
    EXPECT_EQ(f.fake.sendmmsg_counts(), (std::vector<unsigned>{1024, 1024, 976, 976}));
}

TEST(SocketSend, FailureOrNoProgressEndsTheSend) {
    struct Case {
        const char *name;
        std::vector<int> script;
        size_t delivered;
    } cases[] = {
        {"error on first call", {-EPERM}, 0},
        {"error after a short send", {10, -ENOBUFS}, 10},
        {"no progress", {0}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fixture f(RCE_SCC_ENABLED);
        f.fake.script_sendmmsg(c.script);
        packet_set set(50);
        stderr_capture cap;
        EXPECT_EQ(f.sock.sendto(7, f.to4, f.to6, set.packets, 0), RTP_SEND_FAILED);
        EXPECT_NE(cap.stop().find("[::log_platform_error] sendmmsg(2) failed: "),
                  std::string::npos);
        EXPECT_EQ(f.fake.sent().size(), c.delivered);
    }
}

// Datagrams of the given sizes, each filled with its index.
struct sized_set {
    std::vector<std::vector<uint8_t>> bytes;
    packet_vector packets;
    explicit sized_set(const std::vector<size_t> &sizes) {
        for (size_t i = 0; i < sizes.size(); ++i) {
            bytes.emplace_back(sizes[i], static_cast<uint8_t>(i));
        }
        for (auto &b : bytes) {
            // Two pieces, as the send queue hands them over.
            const size_t head = std::min<size_t>(b.size(), 12);
            packets.push_back({{head, b.data()}, {b.size() - head, b.data() + head}});
        }
    }
};

std::vector<size_t> repeat(size_t size, size_t n) {
    return std::vector<size_t>(n, size);
}

std::vector<size_t> concat(std::vector<std::vector<size_t>> parts) {
    std::vector<size_t> out;
    for (auto &p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// With RCE_SCC_ENABLED, runs of equal-sized datagrams go out as UDP_SEGMENT
// sends, each run from one buffer; what arrives is exactly the datagrams of a
// send without offload. A batch whose runs outgrow the staging buffer goes out
// in several calls, and a short send is resumed where the kernel stopped.
TEST(SocketSend, SegmentationOffloadSendsTheSameDatagrams) {
    const struct {
        const char *name;
        std::vector<size_t> sizes;
        size_t offload_sends;
        bool one_call;
        std::vector<int> script;  // sendmmsg results before the fake's own
    } cases[] = {
        {"one frame of full packets and a short last",
         concat({repeat(1400, 20), {300}}),
         1,
         true,
         {}},
        {"longer than one offload send", repeat(1200, 150), 3, true, {}},
        {"a longer datagram ends a run", {500, 500, 900, 900, 900}, 2, true, {}},
        {"a shorter datagram ends a run", {500, 400, 500, 500}, 2, true, {}},
        {"single datagrams only", {100, 200, 300}, 0, true, {}},
        {"bytes limit", repeat(9000, 10), 2, true, {}},
        {"more runs than one call stages", repeat(1200, 1000), 19, false, {}},
        {"short sends among staged runs",
         concat({repeat(1200, 500), {80}, repeat(1200, 500)}),
         20,
         false,
         {1, 2, 1}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fake_syscalls fake;
        fake.offer_gso(true);
        fake.script_sendmmsg(c.script);
        tessal::socket sock(RCE_SCC_ENABLED, &fake);
        ASSERT_EQ(sock.init(AF_INET, SOCK_DGRAM, 0), RTP_SUCCESS);
        sockaddr_in to4 = tessal::socket::create_sockaddr(AF_INET, "127.0.0.1", 5004);
        sockaddr_in6 to6{};
        sized_set set(c.sizes);
        ASSERT_EQ(sock.sendto(7, to4, to6, set.packets, 0), RTP_SUCCESS);
        const auto sent = fake.sent();
        ASSERT_EQ(sent.size(), set.bytes.size());
        for (size_t i = 0; i < sent.size(); ++i) {
            EXPECT_EQ(sent[i].bytes, set.bytes[i]) << i;
        }
        EXPECT_EQ(fake.gso_sends(), c.offload_sends);
        EXPECT_EQ(fake.gso_pieces(), std::vector<size_t>(c.offload_sends, 1));
        if (c.one_call) {
            EXPECT_EQ(fake.sendmmsg_counts().size(), 1u);
        } else {
            EXPECT_GT(fake.sendmmsg_counts().size(), 1u);
        }
    }
}

TEST(SocketSend, RefusedOffloadFallsBackOnceAndQuietly) {
    fake_syscalls fake;
    fake.offer_gso(true);
    fake.refuse_gso(true);
    tessal::socket sock(RCE_SCC_ENABLED, &fake);
    ASSERT_EQ(sock.init(AF_INET, SOCK_DGRAM, 0), RTP_SUCCESS);
    sockaddr_in to4 = tessal::socket::create_sockaddr(AF_INET, "127.0.0.1", 5004);
    sockaddr_in6 to6{};
    sized_set first(concat({{80}, repeat(1000, 10), {20}}));
    sized_set second(repeat(1000, 10));
    stderr_capture cap;
    ASSERT_EQ(sock.sendto(7, to4, to6, first.packets, 0), RTP_SUCCESS);
    ASSERT_EQ(sock.sendto(7, to4, to6, second.packets, 0), RTP_SUCCESS);
    const std::string log = cap.stop();
    const auto sent = fake.sent();
    ASSERT_EQ(sent.size(), 22u);
    for (size_t i = 0; i < 12; ++i) {
        EXPECT_EQ(sent[i].bytes, first.bytes[i]) << i;
    }
    EXPECT_EQ(sent[12].bytes, second.bytes[0]);
    EXPECT_EQ(fake.gso_sends(), 0u);
    // The batch stops at the refused offload send (the single datagram
    // before it went out), that send is refused once more on its own, the
    // rest goes out without offload, and later sends do not try again.
    EXPECT_EQ(fake.sendmmsg_counts(), (std::vector<unsigned>{2, 1, 11, 10}));
    size_t warnings = 0;
    for (size_t at = log.find("UDP segmentation offload is not available"); at != std::string::npos;
         at = log.find("UDP segmentation offload is not available", at + 1)) {
        ++warnings;
    }
    EXPECT_EQ(warnings, 1u) << log;
}

struct handler_log {
    std::vector<std::string> calls;
    int fail_on_call = -1;
};

RTP_ERROR handler_a(void *arg, buffer_vector &) {
    auto *log = static_cast<handler_log *>(arg);
    log->calls.push_back("a");
    return static_cast<int>(log->calls.size()) == log->fail_on_call ? RTP_SEND_FAILED : RTP_SUCCESS;
}

RTP_ERROR handler_b(void *arg, buffer_vector &pieces) {
    auto *log = static_cast<handler_log *>(arg);
    log->calls.push_back("b");
    pieces[0].second[0] = 0xEE;  // handlers may rewrite the bytes
    return RTP_SUCCESS;
}

TEST(SocketSendHandlers, RunPerCellInInstallationOrder) {
    fixture f(RCE_SCC_ENABLED);
    handler_log log;
    auto cell_a = make_shared_ssrc(1111);
    auto cell_b = make_shared_ssrc(2222);
    ASSERT_EQ(f.sock.install_handler(cell_a, &log, handler_a), RTP_SUCCESS);
    ASSERT_EQ(f.sock.install_handler(cell_a, &log, handler_b), RTP_SUCCESS);
    ASSERT_EQ(f.sock.install_handler(cell_b, &log, handler_a), RTP_SUCCESS);
    EXPECT_EQ(f.sock.install_handler(cell_b, &log, nullptr), RTP_BAD_ARGUMENT);

    packet_set set(2);
    EXPECT_EQ(f.sock.sendto(1111, f.to4, f.to6, set.packets, 0), RTP_SUCCESS);
    EXPECT_EQ(log.calls, (std::vector<std::string>{"a", "b", "a", "b"}));
    EXPECT_EQ(f.fake.sent()[0].bytes[0], 0xEE);

    // The cell's value decides, read at send time.
    log.calls.clear();
    cell_b->store(3333);
    EXPECT_EQ(f.sock.sendto(3333, f.to4, f.to6, set.packets[0], 0), RTP_SUCCESS);
    EXPECT_EQ(log.calls, (std::vector<std::string>{"a"}));

    log.calls.clear();
    EXPECT_EQ(f.sock.remove_handler(cell_a), RTP_SUCCESS);
    EXPECT_EQ(f.sock.sendto(1111, f.to4, f.to6, set.packets, 0), RTP_SUCCESS);
    EXPECT_TRUE(log.calls.empty());
}

// Runs sent with UDP segmentation offload still pass through the send
// handlers one datagram at a time, in order, and what a handler writes
// (an SRTP transform, say) is what goes out.
TEST(SocketSendHandlers, SeeEveryDatagramOfAnOffloadedBatch) {
    fake_syscalls fake;
    fake.offer_gso(true);
    tessal::socket sock(RCE_SCC_ENABLED, &fake);
    ASSERT_EQ(sock.init(AF_INET, SOCK_DGRAM, 0), RTP_SUCCESS);
    sockaddr_in to4 = tessal::socket::create_sockaddr(AF_INET, "127.0.0.1", 5004);
    sockaddr_in6 to6{};
    struct numbering {
        uint8_t next = 0;
        static RTP_ERROR mark(void *arg, buffer_vector &pieces) {
            auto *self = static_cast<numbering *>(arg);
            // Not the index the set fills each datagram with.
            pieces[0].second[0] = static_cast<uint8_t>(0xA5 ^ self->next++);
            return RTP_SUCCESS;
        }
    } counter;
    auto cell = make_shared_ssrc(7);
    ASSERT_EQ(sock.install_handler(cell, &counter, numbering::mark), RTP_SUCCESS);
    sized_set set(concat({repeat(1200, 150), {300}}));
    ASSERT_EQ(sock.sendto(7, to4, to6, set.packets, 0), RTP_SUCCESS);
    EXPECT_EQ(counter.next, 151);
    EXPECT_GT(fake.gso_sends(), 0u);
    const auto sent = fake.sent();
    ASSERT_EQ(sent.size(), 151u);
    for (size_t i = 0; i < sent.size(); ++i) {
        ASSERT_EQ(sent[i].bytes.size(), i < 150 ? 1200u : 300u) << i;
        EXPECT_EQ(sent[i].bytes[0], static_cast<uint8_t>(0xA5 ^ i)) << i;
    }
}

TEST(SocketSendHandlers, FailureOnAnyDatagramSendsNothing) {
    fixture f(RCE_SCC_ENABLED);
    handler_log log;
    log.fail_on_call = 2;
    auto cell = make_shared_ssrc(9);
    f.sock.install_handler(cell, &log, handler_a);
    packet_set set(3);
    stderr_capture cap;
    EXPECT_EQ(f.sock.sendto(9, f.to4, f.to6, set.packets, 0), RTP_SEND_FAILED);
    EXPECT_NE(cap.stop().find("[::sendto] Malformed packet"), std::string::npos);
    EXPECT_TRUE(f.fake.sent().empty());
    EXPECT_TRUE(f.fake.sendmmsg_counts().empty());
}

TEST(SocketSend, SingleDatagramOfManyPieces) {
    // Regression: more than 256 pieces overflowed the preallocated array.
    for (size_t pieces : {size_t{1}, size_t{256}, size_t{257}, size_t{600}, size_t{1024}}) {
        SCOPED_TRACE(pieces);
        fixture f(0);
        std::vector<uint8_t> bytes(pieces);
        buffer_vector vec;
        for (size_t i = 0; i < pieces; ++i) {
            bytes[i] = static_cast<uint8_t>(i * 7);
            vec.push_back({1, &bytes[i]});
        }
        int sent_bytes = 0;
        EXPECT_EQ(f.sock.sendto(1, f.to4, f.to6, vec, 0, &sent_bytes), RTP_SUCCESS);
        ASSERT_EQ(f.fake.sent().size(), 1u);
        EXPECT_EQ(f.fake.sent()[0].bytes, bytes);
        EXPECT_EQ(sent_bytes, static_cast<int>(pieces));
    }
    fixture f(0);
    std::vector<uint8_t> bytes(IOV_MAX + 1);
    buffer_vector vec;
    for (auto &b : bytes) {
        vec.push_back({1, &b});
    }
    stderr_capture cap;
    EXPECT_EQ(f.sock.sendto(1, f.to4, f.to6, vec, 0), RTP_BAD_ARGUMENT);
    cap.stop();
    EXPECT_TRUE(f.fake.sent().empty());
}

// A lone datagram goes out in one sendmsg(2), which costs the kernel less
// than a sendmmsg(2) of one message, on both single-datagram paths; a
// failure is still reported with the path's own message.
TEST(SocketSend, LoneDatagramIsOneSendmsg) {
    struct Case {
        const char *name;
        bool gathered;  // the buffer_vector path, else a packet_vector of one
        int flags;
        std::vector<int> script;
        RTP_ERROR result;
        const char *log;
    } cases[] = {
        {"gathered", true, 0, {}, RTP_SUCCESS, nullptr},
        {"one of a batch, SCC", false, RCE_SCC_ENABLED, {}, RTP_SUCCESS, nullptr},
        {"one of a batch", false, 0, {}, RTP_SUCCESS, nullptr},
        {"gathered fails",
         true,
         0,
         {-EPERM},
         RTP_SEND_FAILED,
         "[::__sendtov] Failed to send RTP frame: "},
        {"one of a batch fails",
         false,
         RCE_SCC_ENABLED,
         {-EPERM},
         RTP_SEND_FAILED,
         "[::log_platform_error] sendmmsg(2) failed: "},
        {"no progress",
         false,
         RCE_SCC_ENABLED,
         {0},
         RTP_SEND_FAILED,
         "[::log_platform_error] sendmmsg(2) failed: "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fixture f(c.flags);
        f.fake.script_sendmmsg(c.script);
        packet_set set(1);
        int sent_bytes = 0;
        stderr_capture cap;
        const RTP_ERROR rc =
            c.gathered ? f.sock.sendto(7, f.to4, f.to6, set.packets.front(), 0, &sent_bytes)
                       : f.sock.sendto(7, f.to4, f.to6, set.packets, 0, &sent_bytes);
        const std::string log = cap.stop();
        EXPECT_EQ(rc, c.result);
        EXPECT_EQ(f.fake.sendmsg_calls(), 1u);
        EXPECT_EQ(f.fake.sendmmsg_counts(), std::vector<unsigned>{1});
        if (c.result == RTP_SUCCESS) {
            expect_in_order(f.fake.sent(), 1);
            EXPECT_EQ(sent_bytes, 5);
            EXPECT_EQ(f.fake.sent()[0].to_len, sizeof(sockaddr_in));
        } else {
            EXPECT_TRUE(f.fake.sent().empty());
            EXPECT_EQ(sent_bytes, -1);
            EXPECT_NE(log.find(c.log), std::string::npos) << log;
        }
    }
}

TEST(SocketSend, DestinationFollowsTheFamily) {
    for (short family : {short{AF_INET}, short{AF_INET6}}) {
        SCOPED_TRACE(family);
        fixture f(0, family);
        uint8_t byte = 1;
        EXPECT_EQ(f.sock.sendto(f.to4, f.to6, &byte, 1, 0), RTP_SUCCESS);
        const auto sent = f.fake.sent();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].to.ss_family, family);
        EXPECT_EQ(sent[0].to_len, family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
    }
    fixture f(0);
    f.fake.fail_sendto(ENETUNREACH);
    uint8_t byte = 1;
    int sent = 0;
    stderr_capture cap;
    EXPECT_EQ(f.sock.sendto(f.to4, f.to6, &byte, 1, 0, &sent), RTP_SEND_FAILED);
    EXPECT_NE(cap.stop().find("[::__sendto] Failed to send data: "), std::string::npos);
    EXPECT_EQ(sent, -1);
}

TEST(SocketBind, MulticastSetsReuseBindsAnyAndJoins) {
    {
        fixture f(0);
        sockaddr_in group = tessal::socket::create_sockaddr(AF_INET, "239.1.2.3", 5004);
        ASSERT_EQ(f.sock.bind(group), RTP_SUCCESS);
        EXPECT_EQ(f.fake.options(),
                  (std::vector<std::pair<int, int>>{{SOL_SOCKET, SO_REUSEADDR},
                                                    {SOL_SOCKET, SO_REUSEPORT},
                                                    {IPPROTO_IP, IP_ADD_MEMBERSHIP}}));
        sockaddr_storage bound = f.fake.bound();
        const auto *v4 = reinterpret_cast<const sockaddr_in *>(&bound);
        EXPECT_EQ(v4->sin_addr.s_addr, htonl(INADDR_ANY));
        EXPECT_EQ(ntohs(v4->sin_port), 5004);
    }
    {
        fixture f(0, AF_INET6);
        sockaddr_in6 group = tessal::socket::create_ip6_sockaddr("ff02::1", 5004);
        ASSERT_EQ(f.sock.bind_ip6(group), RTP_SUCCESS);
        EXPECT_EQ(f.fake.options().back(), (std::pair<int, int>{IPPROTO_IPV6, IPV6_JOIN_GROUP}));
        sockaddr_storage bound = f.fake.bound();
        const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(&bound);
        EXPECT_TRUE(IN6_IS_ADDR_UNSPECIFIED(&v6->sin6_addr));
    }
    {
        // Unicast: no options, the address as given.
        fixture f(0);
        sockaddr_in addr = tessal::socket::create_sockaddr(AF_INET, "127.0.0.1", 6000);
        ASSERT_EQ(f.sock.bind(addr), RTP_SUCCESS);
        EXPECT_TRUE(f.fake.options().empty());
    }
}

TEST(SocketBind, FailuresLogReasonThenMessage) {
    fixture f(0);
    f.fake.set_bind_result(-1);
    errno = EADDRINUSE;
    sockaddr_in addr = tessal::socket::create_sockaddr(AF_INET, "127.0.0.1", 40000);
    stderr_capture cap;
    EXPECT_EQ(f.sock.bind(addr), RTP_BIND_FAILED);
    const std::string out = cap.stop();
    EXPECT_NE(out.find("[::bind] Binding to port 40000 failed!\n"), std::string::npos) << out;
}

TEST(SocketReceive, ResultMapping) {
    struct Case {
        const char *name;
        int error;  // 0: a 4-byte datagram
        RTP_ERROR recv_rc, recvfrom_rc;
        int recv_bytes, recvfrom_bytes;
    } cases[] = {
        {"datagram", 0, RTP_SUCCESS, RTP_SUCCESS, 4, 4},
        {"would block", EAGAIN, RTP_NO_DATA, RTP_NO_DATA, 0, 0},
        {"interrupted", EINTR, RTP_NO_DATA, RTP_FAILED, 0, -1},
        {"refused", ECONNREFUSED, RTP_FAILED, RTP_FAILED, -1, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fixture f(0);
        uint8_t buf[16];
        int bytes = 99;
        stderr_capture cap;
        c.error ? f.fake.push_rx_error(c.error) : f.fake.push_rx({1, 2, 3, 4});
        EXPECT_EQ(f.sock.recv(buf, sizeof(buf), MSG_DONTWAIT, &bytes), c.recv_rc);
        EXPECT_EQ(bytes, c.recv_bytes);
        c.error ? f.fake.push_rx_error(c.error) : f.fake.push_rx({1, 2, 3, 4});
        EXPECT_EQ(f.sock.recvfrom(buf, sizeof(buf), MSG_DONTWAIT, &bytes), c.recvfrom_rc);
        EXPECT_EQ(bytes, c.recvfrom_bytes);
        cap.stop();
    }
    fixture f(0);
    int bytes = 0;
    EXPECT_EQ(f.sock.recv(nullptr, 10, 0, &bytes), RTP_BAD_ARGUMENT);
    EXPECT_EQ(bytes, -1);
    uint8_t buf[1];
    EXPECT_EQ(f.sock.recv(buf, 0, 0, &bytes), RTP_BAD_ARGUMENT);
}

TEST(SocketAddress, Helpers) {
    EXPECT_EQ(tessal::socket::sockaddr_to_string(
                  tessal::socket::create_sockaddr(AF_INET, "10.0.0.1", 40000)),
              "10.0.0.1:40000");
    EXPECT_EQ(tessal::socket::sockaddr_to_string(
                  tessal::socket::create_sockaddr(AF_INET, 0x7F000001u, 65535)),
              "127.0.0.1:65535");
    EXPECT_EQ(
        tessal::socket::sockaddr_ip6_to_string(tessal::socket::create_ip6_sockaddr("::1", 8888)),
        "::1:8888");
    EXPECT_EQ(tessal::socket::sockaddr_to_string(
                  tessal::socket::create_sockaddr(AF_INET, "not-an-ip", 1)),
              "0.0.0.0:1");
    EXPECT_EQ(tessal::socket::sockaddr_ip6_to_string(tessal::socket::create_ip6_sockaddr_any(5)),
              ":::5");
    EXPECT_EQ(tessal::socket::get_socket_path_string(), "Not implemented");

    struct Case {
        const char *text;
        int family;
        bool v4_multicast;
    } cases[] = {
        {"127.0.0.1", 1, false}, {"224.0.0.1", 1, true},        {"239.255.255.255", 1, true},
        {"240.0.0.1", 1, false}, {"223.255.255.255", 1, false}, {"::1", 2, false},
        {"ff02::1", 2, false},   {"example.com", -1, false},    {"", -1, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        stderr_capture cap;
        EXPECT_EQ(tessal::socket::check_family(c.text), c.family);
        const std::string out = cap.stop();
        EXPECT_EQ(out.find("Invalid IP address") != std::string::npos, c.family == -1);
        if (c.family == 1) {
            EXPECT_EQ(
                tessal::socket::is_multicast(tessal::socket::create_sockaddr(AF_INET, c.text, 1)),
                c.v4_multicast);
        }
    }
    EXPECT_TRUE(tessal::socket::is_multicast(tessal::socket::create_ip6_sockaddr("ff02::1", 1)));
    EXPECT_FALSE(tessal::socket::is_multicast(tessal::socket::create_ip6_sockaddr("fe80::1", 1)));
}

TEST(SocketWait, PollResults) {
    fixture f(0);
    EXPECT_EQ(f.sock.wait_readable(0), RTP_NO_DATA);
    f.fake.fail_next_poll(EINTR);
    EXPECT_EQ(f.sock.wait_readable(0), RTP_NO_DATA);
    f.fake.fail_next_poll(EBADF);
    EXPECT_EQ(f.sock.wait_readable(0), RTP_FAILED);
    f.fake.push_rx({1});
    EXPECT_EQ(f.sock.wait_readable(0), RTP_SUCCESS);
}

}  // namespace
