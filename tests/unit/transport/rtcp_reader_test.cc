// The RTCP reader and the socket factory's reader registry, over loopback.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "support/ports.hh"
#include "support/rtcp_fixture.hh"
#include "support/stderr_capture.hh"
#include "support/udp_capture.hh"
#include "transport/rtcp_reader.hh"
#include "transport/socket.hh"
#include "transport/socketfactory.hh"

using namespace tessal;
using namespace tessal::test;

namespace {

bool eventually(const std::function<bool()> &done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

struct reader_fixture {
    reader_fixture() {
        for (int attempt = 0; attempt < 10 && !sock; ++attempt) {
            port = free_udp_port();
            sock = sf->get_socket_ptr(k_socket_rtcp, port, 0);
        }
        reader = sf->get_rtcp_reader(port);
    }
    std::shared_ptr<socketfactory> sf = std::make_shared<socketfactory>();
    uint16_t port = 0;
    std::shared_ptr<tessal::socket> sock;
    std::shared_ptr<rtcp_reader> reader;
};

}  // namespace

TEST(RtcpReader, RoutesReportsBySenderSsrc) {
    reader_fixture f;
    ASSERT_NE(f.sock, nullptr);
    ASSERT_NE(f.reader, nullptr);
    rtcp_fixture a;
    rtcp_fixture b;
    a.remote_ssrc->store(0xA);
    b.remote_ssrc->store(0xB);
    udp_capture peer;
    f.reader->map_ssrc_to_rtcp(a.remote_ssrc, a.rtcp.get());
    ASSERT_EQ(f.reader->start(), RTP_SUCCESS);

    // One stream mapped: it gets everything.
    peer.send_to(f.port, concat({rr_packet(0xC), sdes_packet(0xC, "c")}));
    EXPECT_TRUE(eventually([&] { return a.rtcp->is_participant(0xC); }));

    f.reader->map_ssrc_to_rtcp(b.remote_ssrc, b.rtcp.get());
    struct Case {
        const char *name;
        uint32_t sender;
        bool to_a;
        bool to_b;
    };
    const Case cases[] = {
        {"A's peer", 0xA, true, false},
        {"B's peer", 0xB, false, true},
        {"nobody's", 0xD, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        peer.send_to(f.port, concat({rr_packet(c.sender), sdes_packet(c.sender, "x")}));
    }
    // A marker after the cases: once it arrived, the cases have been handled.
    peer.send_to(f.port, concat({rr_packet(0xB), sdes_packet(0xB, "end")}));
    ASSERT_TRUE(eventually([&] { return b.rtcp->is_participant(0xB); }));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(a.rtcp->is_participant(c.sender), c.to_a);
        EXPECT_EQ(b.rtcp->is_participant(c.sender), c.to_b);
    }

    EXPECT_FALSE(f.reader->clear_rtcp_from_reader(a.remote_ssrc));
    EXPECT_TRUE(f.reader->is_running());
    EXPECT_TRUE(f.reader->clear_rtcp_from_reader(b.remote_ssrc));
    EXPECT_FALSE(f.reader->is_running());
}

TEST(RtcpReader, StartTwiceRunsOneThread) {
    reader_fixture f;
    ASSERT_NE(f.reader, nullptr);
    stderr_capture cap;
    EXPECT_EQ(f.reader->start(), RTP_SUCCESS);
    EXPECT_EQ(f.reader->start(), RTP_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(f.reader->stop(), RTP_SUCCESS);
    const std::string log = cap.stop();
    EXPECT_EQ(log.find("RTCP report reader created!"), log.rfind("RTCP report reader created!"));
    EXPECT_NE(log.find("RTCP report reader created!"), std::string::npos);
}

// Regression: two streams starting RTCP on one port at once could both
// create the reader thread (the second assignment terminates the process).
TEST(RtcpReader, ConcurrentStartsAndStopsKeepOneThread) {
    reader_fixture f;
    ASSERT_NE(f.reader, nullptr);
    rtcp_fixture a;
    stderr_capture quiet;
    std::atomic<bool> go{false};
    auto churn = [&] {
        while (!go.load()) {
        }
        for (int i = 0; i < 200; ++i) {
            f.reader->map_ssrc_to_rtcp(a.remote_ssrc, a.rtcp.get());
            f.reader->start();
            f.reader->clear_rtcp_from_reader(a.remote_ssrc);
        }
    };
    std::thread t1(churn);
    std::thread t2(churn);
    go = true;
    t1.join();
    t2.join();
    EXPECT_EQ(f.reader->stop(), RTP_SUCCESS);
    EXPECT_FALSE(f.reader->is_running());
}

TEST(RtcpReader, LastUserOfThePortStopsAndForgetsItsReader) {
    reader_fixture f;
    ASSERT_NE(f.reader, nullptr);
    std::shared_ptr<tessal::socket> second = f.sf->get_socket_ptr(k_socket_rtcp, f.port, 0);
    ASSERT_EQ(second, f.sock);  // a second stream of the port shares both
    EXPECT_EQ(f.sf->get_rtcp_reader(f.port), f.reader);
    ASSERT_EQ(f.reader->start(), RTP_SUCCESS);

    EXPECT_FALSE(f.sf->release_socket(f.port, second));
    EXPECT_TRUE(f.reader->is_running());
    EXPECT_TRUE(f.sf->release_socket(f.port, f.sock));
    EXPECT_FALSE(f.reader->is_running());
    EXPECT_EQ(f.sf->get_rtcp_reader(f.port), nullptr);
    EXPECT_TRUE(udp_port_bindable(f.port));

    const std::shared_ptr<rtcp_reader> installed = f.sf->install_rtcp_reader(f.port);
    EXPECT_EQ(f.sf->get_rtcp_reader(f.port), installed);
}
