// RTCP under concurrent use: hooks changing while reports arrive, a runner
// reporting while statistics are counted. Meant for ThreadSanitizer.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
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
    // A sender's first report comes after about half the 5 s minimum
    // (RFC 3550 6.2): media and reports go on until it did, at most 20 s.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (uint16_t seq = 1;
         seq < 3000 || (f.transport->sent().empty() && std::chrono::steady_clock::now() < deadline);
         ++seq) {
        f.feed_rtp(k_peer_ssrc, seq);
        if (seq % 100 == 0) {
            f.feed(concat({rr_packet(k_peer_ssrc), sdes_packet(k_peer_ssrc, "p")}));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    done.store(true);
    pusher.join();
    hooks.join();
    EXPECT_EQ(f.rtcp->stop(), RTP_SUCCESS);
    EXPECT_GT(f.transport->sent().size(), 1u);
}

// Regression: an exception in the runner (here from an application's APP
// hook; before, also from std::random_device built every interval) left
// the thread and ended the process. It is caught, and reports go on.
TEST(RtcpThreaded, RunnerSurvivesAnException) {
    rtcp_fixture f(RCE_WITH_RTCP, false);
    f.rtcp->set_session_bandwidth(360000);
    std::atomic<int> calls{0};
    ASSERT_EQ(f.rtcp->install_send_app_hook(
                  "TEST",
                  [&calls](uint8_t &subtype, uint32_t &length) -> std::unique_ptr<uint8_t[]> {
                      if (calls.fetch_add(1) == 0) {
                          throw std::runtime_error("the application failed");
                      }
                      subtype = 1;
                      length = 4;
                      return std::unique_ptr<uint8_t[]>(new uint8_t[4]{'a', 'b', 'c', 'd'});
                  }),
              RTP_SUCCESS);
    stderr_capture quiet;
    f.sent_media(1);  // something to report
    ASSERT_EQ(f.rtcp->start(), RTP_SUCCESS);
    // Bounded wait for a report after the failed one (first ~1-3 s away).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (f.transport->sent().empty() && std::chrono::steady_clock::now() < deadline) {
        f.sent_media(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_GE(calls.load(), 2);
    EXPECT_FALSE(f.transport->sent().empty());
    EXPECT_EQ(f.rtcp->stop(), RTP_SUCCESS);
}

// Regression: the time-out check and an arriving report raced: a check
// that found the source silent could remove it after its report came in.
// The clock stands still after each report, so whatever the interleaving a
// check that ends later must leave the source in place.
TEST(RtcpThreaded, ReportingSourceSurvivesConcurrentTimeoutChecks) {
    rtcp_fixture f;
    stderr_capture quiet;
    const std::vector<uint8_t> report = concat({rr_packet(0x77), sdes_packet(0x77, "a")});
    ASSERT_EQ(f.feed(report), RTP_SUCCESS);
    std::atomic<bool> done{false};
    std::atomic<uint64_t> passes{0};
    std::thread checker([&] {
        while (!done.load()) {
            f.rtcp->age_sources();
            passes.fetch_add(1);
        }
    });
    for (uint64_t step = 1; step <= 300; ++step) {
        // 30 s of silence: a check now may remove the source, legitimately.
        fake_ntp().store(ntp_after_ms(step * 30000));
        ASSERT_EQ(f.feed(report), RTP_SUCCESS);
        // Two whole checks after the report, the one under way included.
        const uint64_t seen = passes.load();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (passes.load() < seen + 2 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        ASSERT_TRUE(f.rtcp->is_participant(0x77)) << step;
    }
    done.store(true);
    checker.join();
}

// RFC 3550 6.3.7: leaving a session of 50 or more, the BYE waits for its
// reconsidered time, counting the BYEs of others meanwhile; before, it went
// out at once.
TEST(RtcpThreaded, StopSchedulesTheByeOfALargeSession) {
    rtcp_fixture f(RCE_WITH_RTCP, false);
    f.rtcp->set_session_bandwidth(64);  // a reduced minimum of 5.625 s
    ASSERT_EQ(f.rtcp->start(), RTP_SUCCESS);
    stderr_capture quiet;
    for (uint32_t ssrc = 1; ssrc <= 60; ++ssrc) {
        ASSERT_EQ(f.feed(concat({rr_packet(ssrc), sdes_packet(ssrc, "m")})), RTP_SUCCESS);
    }
    std::thread stopper([&f] { f.rtcp->stop(); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!f.rtcp->is_leaving() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    const bool waited = f.rtcp->is_leaving();
    std::vector<uint8_t> bye = {0x81, 203, 0, 1};
    put32(bye, 7);
    for (int i = 0; i < 3 && f.rtcp->is_leaving(); ++i) {
        f.feed(concat({rr_packet(7), bye}));
        f.feed(concat({rr_packet(8), sdes_packet(8, "m")}));  // no BYE: not counted
    }
    const int counted = f.rtcp->leaving_members();
    stopper.join();
    EXPECT_TRUE(waited);
    EXPECT_GE(counted, 2);  // ourselves and at least one BYE
    EXPECT_LE(counted, 4);
    ASSERT_FALSE(f.transport->sent().empty());
    const std::vector<uint8_t> last = f.transport->sent().back();
    EXPECT_NE(std::search(last.begin(), last.end(), bye.begin(), bye.begin() + 2), last.end());
}

// RCE_RTCP_FEEDBACK with the runner: in a group of three, feedback waits for
// its dithered early time or for the regular report (RFC 4585 3.5.2), and
// the runner sends it either way; nobody calls send_early_feedback.
TEST(RtcpThreaded, RunnerSendsGroupFeedbackOnItsOwn) {
    rtcp_fixture f(RCE_WITH_RTCP | RCE_RTCP_FEEDBACK, false);
    f.rtcp->set_session_bandwidth(1000);
    ASSERT_EQ(f.rtcp->start(), RTP_SUCCESS);
    ASSERT_EQ(f.feed(concat({rr_packet(k_peer_ssrc), sdes_packet(k_peer_ssrc, "a")})), RTP_SUCCESS);
    ASSERT_EQ(f.feed(concat({rr_packet(0x5151), sdes_packet(0x5151, "b")})), RTP_SUCCESS);
    ASSERT_EQ(f.rtcp->send_pli(k_peer_ssrc), RTP_SUCCESS);
    auto carries_pli = [&f] {
        for (const std::vector<uint8_t> &d : f.transport->sent()) {
            for (size_t at = 0; at + 4 <= d.size();
                 at += (size_t{d[at + 2]} << 8 | d[at + 3]) * 4 + 4) {
                if (d[at + 1] == 206) {
                    return true;
                }
            }
        }
        return false;
    };
    // T_dither_max is half of the 5 s T_rr before the first report: the
    // PLI leaves within 2.5 s, or with the first report, about 1 s away.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!carries_pli() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(carries_pli());
    EXPECT_EQ(f.rtcp->feedback_counters().pli_sent, 1u);
    EXPECT_EQ(f.rtcp->stop(), RTP_SUCCESS);
}
