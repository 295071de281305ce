// Hole puncher keep-alives over loopback socket pairs, and the poll helpers:
// argument checks, the socket limit, time-outs, list order, receive failures
// and waits interrupted by signals.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_syscalls.hh"
#include "support/ports.hh"
#include "support/stderr_capture.hh"
#include "transport/holepuncher.hh"
#include "transport/poll.hh"
#include "transport/socket.hh"
#include "util/log.hh"

using namespace tessal;
using std::chrono::milliseconds;
using steady = std::chrono::steady_clock;
using tessal::test::fake_syscalls;
using tessal::test::stderr_capture;

namespace {

using socket_ptr = std::shared_ptr<tessal::socket>;

int64_t ms_since(steady::time_point start) {
    return std::chrono::duration_cast<milliseconds>(steady::now() - start).count();
}

uint16_t local_port(const tessal::socket &sock) {
    return test::bound_port(sock.get_raw_socket());
}

socket_ptr unbound_socket(bool ipv6) {
    auto sock = std::make_shared<tessal::socket>(0);
    return sock->init(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0) == RTP_SUCCESS ? sock : nullptr;
}

// A socket on the loopback address with a port the kernel picked; null when
// the family is not available here.
socket_ptr loopback_socket(bool ipv6) {
    socket_ptr sock = unbound_socket(ipv6);
    if (!sock) {
        return nullptr;
    }
    RTP_ERROR rc = RTP_FAILED;
    stderr_capture quiet;  // a missing ::1 logs a bind failure
    if (ipv6) {
        sockaddr_in6 addr = tessal::socket::create_ip6_sockaddr("::1", 0);
        rc = sock->bind_ip6(addr);
    } else {
        sockaddr_in addr = tessal::socket::create_sockaddr(AF_INET, "127.0.0.1", 0);
        rc = sock->bind(addr);
    }
    return rc == RTP_SUCCESS ? sock : nullptr;
}

void send_to(const socket_ptr &to, const std::string &payload) {
    socket_ptr from = unbound_socket(false);
    ASSERT_NE(from, nullptr);
    sockaddr_in to4 = tessal::socket::create_sockaddr(AF_INET, "127.0.0.1", local_port(*to));
    sockaddr_in6 unused{};
    std::vector<uint8_t> bytes(payload.begin(), payload.end());
    ASSERT_EQ(from->sendto(to4, unused, bytes.data(), bytes.size(), 0), RTP_SUCCESS);
}

std::string error_line(const char *function, const std::string &message) {
    return std::string("[Tessal][") + log::level_string(log::level::error, false) +
           "][::" + function + "] " + message + "\n";
}

// --- hole puncher -----------------------------------------------------------

// A hole puncher on an unbound sending socket, aimed at a loopback receiver.
// The address of the other family is a port nobody reads, so a keep-alive
// that arrives shows the socket's family picked the right one.
struct keepalive_rig {
    socket_ptr receiver;
    socket_ptr sender;
    std::unique_ptr<holepuncher> puncher;

    static std::unique_ptr<keepalive_rig> make(bool ipv6) {
        auto rig = std::make_unique<keepalive_rig>();
        rig->receiver = loopback_socket(ipv6);
        rig->sender = unbound_socket(ipv6);
        if (!rig->receiver || !rig->sender) {
            return nullptr;
        }
        const uint16_t port = local_port(*rig->receiver);
        sockaddr_in to4 = tessal::socket::create_sockaddr(AF_INET, "127.0.0.1", ipv6 ? 9 : port);
        sockaddr_in6 to6 = tessal::socket::create_ip6_sockaddr("::1", ipv6 ? port : 9);
        rig->puncher = std::make_unique<holepuncher>(rig->sender);
        EXPECT_EQ(rig->puncher->set_remote_address(to4, to6), RTP_SUCCESS);
        return rig;
    }
};

int64_t timed_stop(holepuncher &puncher) {
    const steady::time_point start = steady::now();
    EXPECT_EQ(puncher.stop(), RTP_SUCCESS);
    return ms_since(start);
}

TEST(HolePuncher, IdleStreamGetsKeepAliveAfterTwoSeconds) {
    struct Case {
        const char *name;
        bool ipv6;
    } cases[] = {{"IPv4", false}, {"IPv6", true}};
    // Both families run at once, so the test waits for one interval only.
    std::vector<std::unique_ptr<keepalive_rig>> rigs;
    std::vector<const char *> names;
    std::vector<pollfd> receivers;
    for (const Case &c : cases) {
        auto rig = keepalive_rig::make(c.ipv6);
        if (!rig) {
            continue;  // family not available here
        }
        receivers.push_back(pollfd{rig->receiver->get_raw_socket(), POLLIN, 0});
        rigs.push_back(std::move(rig));
        names.push_back(c.name);
    }
    ASSERT_FALSE(rigs.empty());

    const steady::time_point start = steady::now();
    for (auto &rig : rigs) {
        ASSERT_EQ(rig->puncher->start(), RTP_SUCCESS);
    }
    // The first datagram on any receiver must not come before 1.8 s.
    const int ready = ::poll(receivers.data(), receivers.size(), 3500);
    EXPECT_GE(ready, 1);
    EXPECT_GE(ms_since(start), 1800);

    for (size_t i = 0; i < rigs.size(); ++i) {
        SCOPED_TRACE(names[i]);
        uint8_t buffer[64] = {};
        int bytes = -2;
        const int left = static_cast<int>(std::max<int64_t>(0, 3500 - ms_since(start)));
        EXPECT_EQ(poll::blocked_recv(rigs[i]->receiver, buffer, sizeof(buffer), left, &bytes),
                  RTP_SUCCESS);
        EXPECT_EQ(bytes, 1);
        EXPECT_EQ(buffer[0], 0xC0);
        EXPECT_LT(ms_since(start), 3500);
        EXPECT_LT(timed_stop(*rigs[i]->puncher), 500);
    }
}

TEST(HolePuncher, NotifyKeepsItSilent) {
    auto rig = keepalive_rig::make(false);
    ASSERT_NE(rig, nullptr);
    ASSERT_EQ(rig->puncher->start(), RTP_SUCCESS);
    uint8_t buffer[64];
    for (int i = 0; i < 5; ++i) {
        rig->puncher->notify();
        int bytes = -2;
        EXPECT_EQ(poll::poll({rig->receiver}, buffer, sizeof(buffer), 500, &bytes), RTP_NO_DATA)
            << "after " << i * 500 << " ms";
    }
    EXPECT_LT(timed_stop(*rig->puncher), 500);
}

TEST(HolePuncher, StopIsPromptAndSafeToRepeat) {
    // Long enough for a started thread to be inside one of its 100 ms waits.
    const auto settle = [] { std::this_thread::sleep_for(milliseconds(150)); };
    struct Case {
        const char *name;
        std::function<void(std::unique_ptr<holepuncher> &)> run;
    } cases[] = {
        {"stop before start",
         [&](std::unique_ptr<holepuncher> &p) { EXPECT_LT(timed_stop(*p), 500); }},
        {"second start ignored, second stop harmless",
         [&](std::unique_ptr<holepuncher> &p) {
             EXPECT_EQ(p->start(), RTP_SUCCESS);
             EXPECT_EQ(p->start(), RTP_SUCCESS);
             settle();
             EXPECT_LT(timed_stop(*p), 500);
             EXPECT_LT(timed_stop(*p), 500);
         }},
        {"restart after stop",
         [&](std::unique_ptr<holepuncher> &p) {
             EXPECT_EQ(p->start(), RTP_SUCCESS);
             settle();
             EXPECT_LT(timed_stop(*p), 500);
             EXPECT_EQ(p->start(), RTP_SUCCESS);
             settle();
             EXPECT_LT(timed_stop(*p), 500);
         }},
        {"destroyed while running",
         [&](std::unique_ptr<holepuncher> &p) {
             EXPECT_EQ(p->start(), RTP_SUCCESS);
             settle();
             const steady::time_point start = steady::now();
             p.reset();
             EXPECT_LT(ms_since(start), 500);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto rig = keepalive_rig::make(false);
        ASSERT_NE(rig, nullptr);
        c.run(rig->puncher);
    }

    holepuncher without_socket(nullptr);
    EXPECT_EQ(without_socket.start(), RTP_BAD_ARGUMENT);
}

// --- poll helpers -----------------------------------------------------------

using receive_fn =
    std::function<RTP_ERROR(uint8_t *buffer, size_t size, int timeout_ms, int *bytes_read)>;

TEST(Poll, BadArgumentsAreRefused) {
    socket_ptr sock = loopback_socket(false);
    ASSERT_NE(sock, nullptr);
    uint8_t buffer[16];
    struct Case {
        const char *name;
        std::function<RTP_ERROR()> call;
    } cases[] = {
        {"poll, null buffer", [&] { return poll::poll({sock}, nullptr, 16, 0, nullptr); }},
        {"poll, zero size", [&] { return poll::poll({sock}, buffer, 0, 0, nullptr); }},
        {"blocked_recv, null buffer",
         [&] { return poll::blocked_recv(sock, nullptr, 16, 0, nullptr); }},
        {"blocked_recv, zero size",
         [&] { return poll::blocked_recv(sock, buffer, 0, 0, nullptr); }},
        {"blocked_recv, null socket",
         [&] { return poll::blocked_recv(nullptr, buffer, sizeof(buffer), 0, nullptr); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(), RTP_BAD_ARGUMENT);
    }
}

TEST(Poll, AtMostSixtyThreeSockets) {
    struct Case {
        const char *name;
        size_t count;
        int timeout_ms;
        RTP_ERROR result;
        std::string expected_log;
    } cases[] = {
        {"63 sockets are watched", 63, 50, RTP_NO_DATA, ""},
        // A long time-out: the refusal must not wait for it.
        {"64 sockets are refused", 64, 10000, RTP_BAD_ARGUMENT,
         error_line("poll", "Too many participants!")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<socket_ptr> sockets;
        for (size_t i = 0; i < c.count; ++i) {
            sockets.push_back(unbound_socket(false));
            ASSERT_NE(sockets.back(), nullptr);
        }
        uint8_t buffer[16];
        int bytes = -2;
        const steady::time_point start = steady::now();
        stderr_capture capture;
        EXPECT_EQ(poll::poll(sockets, buffer, sizeof(buffer), c.timeout_ms, &bytes), c.result);
        EXPECT_EQ(capture.stop(), c.expected_log);
        EXPECT_LT(ms_since(start), 2000);
    }
}

TEST(Poll, TimeOutReturnsNoData) {
    socket_ptr sock = loopback_socket(false);
    ASSERT_NE(sock, nullptr);
    struct Case {
        const char *name;
        receive_fn receive;
    } cases[] = {
        {"poll",
         [&](uint8_t *b, size_t n, int t, int *r) { return poll::poll({sock}, b, n, t, r); }},
        {"blocked_recv",
         [&](uint8_t *b, size_t n, int t, int *r) { return poll::blocked_recv(sock, b, n, t, r); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t buffer[16];
        int bytes = -2;
        const steady::time_point start = steady::now();
        EXPECT_EQ(c.receive(buffer, sizeof(buffer), 100, &bytes), RTP_NO_DATA);
        const int64_t elapsed = ms_since(start);
        EXPECT_EQ(bytes, 0);
        EXPECT_GE(elapsed, 90);
        EXPECT_LT(elapsed, 2000);
    }
}

TEST(Poll, ReceivesFromFirstReadableSocketInListOrder) {
    struct Case {
        const char *name;
        std::vector<size_t> send_to;  // indexes into the list, in sending order
        size_t expected_from;
        bool null_first;
    } cases[] = {
        {"data on the second of three", {1}, 1, false},
        {"two ready: the earlier in the list wins", {2, 1}, 1, false},
        {"a null entry is never ready", {1}, 1, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<socket_ptr> sockets;
        for (int i = 0; i < 3; ++i) {
            sockets.push_back(loopback_socket(false));
            ASSERT_NE(sockets.back(), nullptr);
        }
        if (c.null_first) {
            sockets[0] = nullptr;
        }
        for (size_t index : c.send_to) {
            send_to(sockets[index], "to " + std::to_string(index));
            ASSERT_EQ(sockets[index]->wait_readable(2000), RTP_SUCCESS);
        }

        uint8_t buffer[64] = {};
        int bytes = -2;
        ASSERT_EQ(poll::poll(sockets, buffer, sizeof(buffer), 2000, &bytes), RTP_SUCCESS);
        const std::string expected = "to " + std::to_string(c.expected_from);
        ASSERT_EQ(bytes, static_cast<int>(expected.size()));
        EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), expected.size()), expected);
        // One datagram per call: the others are still queued.
        for (size_t index : c.send_to) {
            EXPECT_EQ(sockets[index]->wait_readable(0),
                      index == c.expected_from ? RTP_NO_DATA : RTP_SUCCESS)
                << "socket " << index;
        }
    }
}

TEST(Poll, ReceiveFailureIsReported) {
    // A listening TCP socket is readable once a connection is pending, but
    // recv(2) on it fails with ENOTCONN.
    auto listener = std::make_shared<tessal::socket>(0);
    ASSERT_EQ(listener->init(AF_INET, SOCK_STREAM, 0), RTP_SUCCESS);
    sockaddr_in addr = tessal::socket::create_sockaddr(AF_INET, "127.0.0.1", 0);
    ASSERT_EQ(listener->bind(addr), RTP_SUCCESS);
    ASSERT_EQ(::listen(listener->get_raw_socket(), 1), 0);
    const int client = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(client, 0);
    sockaddr_in to = tessal::socket::create_sockaddr(AF_INET, "127.0.0.1", local_port(*listener));
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr *>(&to), sizeof(to)), 0);

    const std::string reason = log::error_text(ENOTCONN);
    struct Case {
        const char *name;
        receive_fn receive;
        std::string line;
    } cases[] = {
        {"poll",
         [&](uint8_t *b, size_t n, int t, int *r) { return poll::poll({listener}, b, n, t, r); },
         error_line("poll", "recv() for socket " + std::to_string(listener->get_raw_socket()) +
                                " failed: " + reason)},
        {"blocked_recv",
         [&](uint8_t *b, size_t n, int t, int *r) {
             return poll::blocked_recv(listener, b, n, t, r);
         },
         error_line("log_platform_error",
                    "recv(2) failed: " + reason + " " + std::to_string(ENOTCONN) + "\n")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t buffer[16];
        int bytes = -2;
        stderr_capture capture;
        EXPECT_EQ(c.receive(buffer, sizeof(buffer), 2000, &bytes), RTP_FAILED);
        const std::string output = capture.stop();
        EXPECT_EQ(bytes, -1);
        EXPECT_NE(output.find(c.line), std::string::npos) << output;
    }
    ::close(client);
}

// Regression: an interrupted readiness wait (EINTR) used to end reception as
// if the time-out had passed.
TEST(Poll, InterruptedWaitDoesNotEndBlockedRecv) {
    struct Case {
        const char *name;
        bool data_queued;
        int timeout_ms;
        RTP_ERROR result;
        int bytes;
        int64_t min_elapsed_ms;
    } cases[] = {
        {"data is received after the interruption", true, 2000, RTP_SUCCESS, 3, 0},
        {"without data the rest of the time-out is waited", false, 300, RTP_NO_DATA, 0, 250},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fake_syscalls fake;
        auto sock = std::make_shared<tessal::socket>(0, &fake);
        ASSERT_EQ(sock->init(AF_INET, SOCK_DGRAM, 0), RTP_SUCCESS);
        fake.fail_next_poll(EINTR);
        if (c.data_queued) {
            fake.push_rx({1, 2, 3});
        }
        uint8_t buffer[16];
        int bytes = -2;
        const steady::time_point start = steady::now();
        EXPECT_EQ(poll::blocked_recv(sock, buffer, sizeof(buffer), c.timeout_ms, &bytes), c.result);
        const int64_t elapsed = ms_since(start);
        EXPECT_EQ(bytes, c.bytes);
        EXPECT_GE(elapsed, c.min_elapsed_ms);
        EXPECT_LT(elapsed, 2000);
    }
}

void ignore_signal(int) {}

// Installs a no-op handler (without SA_RESTART) for SIGUSR1 while in scope.
class signal_handler_scope {
public:
    signal_handler_scope() {
        struct sigaction action {};
        action.sa_handler = ignore_signal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(SIGUSR1, &action, &saved_);
    }
    ~signal_handler_scope() { sigaction(SIGUSR1, &saved_, nullptr); }
    signal_handler_scope(const signal_handler_scope &) = delete;
    signal_handler_scope &operator=(const signal_handler_scope &) = delete;

private:
    struct sigaction saved_ {};
};

// Regression: a signal delivered to a thread waiting in poll::poll used to
// end the wait with "Poll failed".
TEST(Poll, SignalDuringPollDoesNotEndIt) {
    struct Case {
        const char *name;
        bool send_data;
        int timeout_ms;
        RTP_ERROR result;
        int64_t min_elapsed_ms;
        int64_t max_elapsed_ms;
    } cases[] = {
        {"data after the signals is received", true, 3000, RTP_SUCCESS, 100, 2900},
        {"without data the whole time-out is waited", false, 400, RTP_NO_DATA, 350, 2000},
    };
    signal_handler_scope handler;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        socket_ptr sock = loopback_socket(false);
        ASSERT_NE(sock, nullptr);
        RTP_ERROR result = RTP_FAILED;
        int bytes = -2;
        int64_t elapsed = 0;
        uint8_t buffer[64] = {};

        stderr_capture capture;
        std::thread waiter([&] {
            const steady::time_point start = steady::now();
            result = poll::poll({sock}, buffer, sizeof(buffer), c.timeout_ms, &bytes);
            elapsed = ms_since(start);
        });
        for (int i = 0; i < 3; ++i) {
            std::this_thread::sleep_for(milliseconds(50));
            pthread_kill(waiter.native_handle(), SIGUSR1);
        }
        if (c.send_data) {
            send_to(sock, "data");
        }
        waiter.join();

        EXPECT_EQ(capture.stop(), "");
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(bytes, c.send_data ? 4 : 0);
        EXPECT_GE(elapsed, c.min_elapsed_ms);
        EXPECT_LT(elapsed, c.max_elapsed_ms);
    }
}

}  // namespace
