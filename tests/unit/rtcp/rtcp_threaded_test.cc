// RTCP under concurrent use: hooks changing while reports arrive, a runner
// reporting while statistics are counted. Meant for ThreadSanitizer.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/rtcp_fixture.hh"
#include "support/stderr_capture.hh"

using namespace tessal;
using namespace tessal::test;

// Regression: the round-trip hook was called without its lock while an
// application thread could replace or remove it.
TEST(RtcpThreaded, RoundTripHookChangesWhileReportsArrive) {
    rtcp_fixture f;
    std::atomic<int> calls{0};
    auto hook = [&calls](uint32_t, uint32_t, double) { calls.fetch_add(1); };
    ASSERT_EQ(f.rtcp->install_roundtrip_time_hook(hook), RTP_SUCCESS);
    f.feed(rr_packet(k_peer_ssrc));
    f.sent_media(1);
    ASSERT_EQ(f.rtcp->generate_report(), RTP_SUCCESS);  // the peer was sent an SR

    std::atomic<bool> done{false};
    std::thread changer([&] {
        while (!done.load()) {
            f.rtcp->install_roundtrip_time_hook(hook);
            f.rtcp->remove_all_hooks();
        }
    });
    const uint32_t a = ntp_middle_32(fake_ntp_now());
    const std::vector<uint8_t> report =
        concat({rr_packet(k_peer_ssrc, k_local_ssrc, a - 655, 0), sdes_packet(k_peer_ssrc, "p")});
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(f.feed(report), RTP_SUCCESS);
    }
    done.store(true);
    changer.join();
}

TEST(RtcpThreaded, RunnerReportsWhileMediaIsCountedAndHooksChange) {
    rtcp_fixture f(RCE_WITH_RTCP, false);
    f.rtcp->set_session_bandwidth(360000);  // a report about every millisecond
    ASSERT_EQ(f.rtcp->start(), RTP_SUCCESS);
    std::atomic<bool> done{false};
    std::thread pusher([&] {
        while (!done.load()) {
            f.sent_media(1);
        }
    });
    std::thread hooks([&] {
        while (!done.load()) {
            f.rtcp->send_app_packet("ABCD", 1, 4, reinterpret_cast<const uint8_t *>("abcd"));
            f.rtcp->add_sdes_item({2, 1, reinterpret_cast<uint8_t *>(const_cast<char *>("n"))});
            f.rtcp->clear_sdes_items();
        }
    });
    stderr_capture quiet;
    for (uint16_t seq = 1; seq < 3000; ++seq) {
        f.feed_rtp(k_peer_ssrc, seq);
        if (seq % 100 == 0) {
            f.feed(concat({rr_packet(k_peer_ssrc), sdes_packet(k_peer_ssrc, "p")}));
        }
    }
    done.store(true);
    pusher.join();
    hooks.join();
    EXPECT_EQ(f.rtcp->stop(), RTP_SUCCESS);
    EXPECT_GT(f.transport->sent().size(), 1u);
}
