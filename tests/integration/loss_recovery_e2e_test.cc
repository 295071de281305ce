// Loss recovery end to end through the impairment relay: a receiver that
// asks for lost packets with NACKs (RFC 4585) and a sender that resends them
// on the original SSRC or as RFC 4588 retransmissions; key-frame requests
// both ways. The same run without feedback loses frames (the tests bite).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "impair/relay.hh"
#include "rtcp/rtcp_internal.hh"
#include "stream/media_stream_internal.hh"
#include "support/media_frames.hh"
#include "support/ports.hh"
#include "tessal/tessal.h"
#include "tessal/tessal.hh"

using namespace tessal;
using namespace tessal_tools;
using tessal::test::free_udp_port;
using tessal::test::random_bytes;

namespace {

using bytes = std::vector<uint8_t>;
constexpr int k_feedback = RCE_WITH_RTCP | RCE_RTCP_FEEDBACK;

// A sender and a receiver through the relay, RTCP on the next ports.
struct lossy_link {
    impair_relay relay;
    context ctx;
    session *sess = nullptr;
    media_stream *tx = nullptr;
    media_stream *rx = nullptr;

    bool open(RTP_FORMAT fmt, int flags, double loss, uint64_t seed) {
        const uint16_t tx_port = free_udp_port();
        uint16_t rx_port = free_udp_port();
        while (rx_port == tx_port) {
            rx_port = free_udp_port();
        }
        relay_config cfg;
        cfg.rtcp_pair = true;
        cfg.to_a = tx_port;
        cfg.to_b = rx_port;
        cfg.a_to_b.loss = loss;  // media, and the sender's reports
        cfg.a_to_b.delay_us = 5000;
        cfg.b_to_a.delay_us = 5000;
        cfg.seed = seed;
        std::string error;
        if (!relay.start(cfg, &error)) {
            ADD_FAILURE() << error;
            return false;
        }
        sess = ctx.create_session("127.0.0.1");
        tx = sess->create_stream(tx_port, relay.port_a(), fmt, flags | RCE_SEND_ONLY);
        rx = sess->create_stream(rx_port, relay.port_b(), fmt, flags | RCE_RECEIVE_ONLY);
        if (tx == nullptr || rx == nullptr) {
            return false;
        }
        return (flags & RCE_SRTP_KEYS_FROM_USER) || configure();
    }
    // Once the streams run (SRTP streams: once keyed).
    bool configure() {
        // About the media's 10 Mbit/s: RTCP's share sets its report interval.
        return rx->configure_ctx(RCC_SOCKET_RECV_BUFFER, 4 * 1024 * 1024) == RTP_SUCCESS &&
               tx->configure_ctx(RCC_SESSION_BANDWIDTH, 10000) == RTP_SUCCESS &&
               rx->configure_ctx(RCC_SESSION_BANDWIDTH, 10000) == RTP_SUCCESS;
    }
    ~lossy_link() {
        if (sess != nullptr) {
            ctx.destroy_session(sess);
        }
        relay.stop();
    }
    stream_statistics stats(media_stream *m) {
        stream_statistics s;
        EXPECT_EQ(m->get_statistics(&s), RTP_SUCCESS);
        return s;
    }
};

// Generic frames of 4 packets each, 200 of them a frame every 4 ms, then a
// tail the receiver need not get whole. Returns the frames received, by
// their first byte pair (the frame's index).
std::map<uint16_t, bytes> send_frames(lossy_link &l, std::vector<bytes> &sent, int count) {
    std::map<uint16_t, bytes> got;
    std::atomic<bool> done{false};
    std::thread puller([&] {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < end) {
            frame::rtp_frame *f = l.rx->pull_frame(50);
            if (f == nullptr) {
                if (done.load()) {
                    break;
                }
                continue;
            }
            if (f->payload_length >= 2) {
                const auto index = static_cast<uint16_t>((f->payload[0] << 8) | f->payload[1]);
                got[index] = bytes(f->payload, f->payload + f->payload_length);
            }
            frame::dealloc_frame(f);
        }
    });
    // A one-packet frame first: the receiver delivers fragmented frames once
    // it has seen a frame end. Then the first regular RTCP report (RFC 4585
    // 3.4: at most a second in), until which one early feedback packet is
    // all a receiver may send.
    bytes lead = {0xFF, 0xFF, 'T', 'S', 'L', 'S'};
    EXPECT_EQ(l.tx->push_frame(lead.data(), lead.size(), RTP_PUSH_COPY_DATA), RTP_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(1600));
    for (int i = 0; i < count + 25; ++i) {
        bytes frame = random_bytes(5000, static_cast<uint32_t>(i));
        frame[0] = static_cast<uint8_t>(i >> 8);
        frame[1] = static_cast<uint8_t>(i);
        if (i < count) {
            sent.push_back(frame);
        }
        EXPECT_EQ(l.tx->push_frame(frame.data(), frame.size(), RTP_PUSH_COPY_DATA), RTP_SUCCESS);
        std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    done.store(true);
    puller.join();
    return got;
}

size_t missing_or_wrong(const std::vector<bytes> &sent, const std::map<uint16_t, bytes> &got) {
    size_t bad = 0;
    for (size_t i = 0; i < sent.size(); ++i) {
        auto it = got.find(static_cast<uint16_t>(i));
        bad += it == got.end() || it->second != sent[i] ? 1 : 0;
    }
    return bad;
}

// 5% loss of the media: with NACKs every frame arrives whole, resent on the
// original SSRC or as RTX; without feedback frames are lost.
TEST(LossRecovery, LostPacketsComeBackOnTheOriginalSsrcOrAsRtx) {
    constexpr int k_own_srtp = RCE_SRTP | RCE_SRTP_KEYS_FROM_USER | RCE_SRTP_AUTH_TAG;
    constexpr int k_std_srtp = RCE_SRTP | RCE_SRTP_KEYS_FROM_USER | RCE_SRTP_STANDARD;
    const struct Case {
        const char *name;
        int flags;
        int rtx_pt;
    } cases[] = {
        {"without feedback", RCE_WITH_RTCP, -1},
        {"NACK, original SSRC", k_feedback, -1},
        {"NACK, RTX", k_feedback, 97},
        // Resent as first protected: never encrypted twice, never in clear.
        {"own SRTP, original SSRC", k_feedback | k_own_srtp, -1},
        {"standard SRTP, original SSRC", k_feedback | k_std_srtp, -1},
        // Protected once, as packets of the RTX SSRC.
        {"standard SRTP, RTX", k_feedback | k_std_srtp, 97},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        lossy_link l;
        ASSERT_TRUE(l.open(FMT_PCMU, c.flags | RCE_FRAGMENT_GENERIC, 0.05, 11));
        if (c.flags & RCE_SRTP_STANDARD) {
            const bytes a = random_bytes(30, 1);
            const bytes b = random_bytes(30, 2);
            ASSERT_EQ(l.rx->add_srtp_keys(SRTP_AES_CM_128_HMAC_SHA1_80, b.data(), b.size(),
                                          a.data(), a.size()),
                      RTP_SUCCESS);
            ASSERT_EQ(l.tx->add_srtp_keys(SRTP_AES_CM_128_HMAC_SHA1_80, a.data(), a.size(),
                                          b.data(), b.size()),
                      RTP_SUCCESS);
        } else if (c.flags & RCE_SRTP) {
            bytes key = random_bytes(16, 3);
            bytes salt = random_bytes(14, 4);
            ASSERT_EQ(l.rx->add_srtp_ctx(key.data(), salt.data()), RTP_SUCCESS);
            ASSERT_EQ(l.tx->add_srtp_ctx(key.data(), salt.data()), RTP_SUCCESS);
            EXPECT_EQ(l.tx->configure_ctx(RCC_RTX_PAYLOAD_TYPE, 97), RTP_UNSUPPORTED)
                << "one sending counter for all SSRCs";
        }
        if (c.flags & RCE_SRTP) {
            ASSERT_TRUE(l.configure());
        }
        if (c.rtx_pt >= 0) {
            ASSERT_EQ(l.tx->configure_ctx(RCC_RTX_PAYLOAD_TYPE, c.rtx_pt), RTP_SUCCESS);
            ASSERT_EQ(l.rx->configure_ctx(RCC_RTX_PAYLOAD_TYPE, c.rtx_pt), RTP_SUCCESS);
        }
        std::vector<bytes> sent;
        const std::map<uint16_t, bytes> got = send_frames(l, sent, 200);
        const stream_statistics rs = l.stats(l.rx);
        const stream_statistics ts = l.stats(l.tx);
        const impairment_counts lost = l.relay.counts(RELAY_A_TO_B, 0);
        ASSERT_GT(lost.lost_random, 20u) << "the relay must lose media";
        if (!(c.flags & RCE_RTCP_FEEDBACK)) {
            EXPECT_GT(missing_or_wrong(sent, got), 10u) << "the loss shows without feedback";
            EXPECT_EQ(rs.nacks_sent, 0u);
            EXPECT_EQ(ts.retransmissions_sent, 0u);
            continue;
        }
        EXPECT_EQ(missing_or_wrong(sent, got), 0u)
            << "lost " << lost.lost_random << " nacks " << rs.nacks_sent << " asked "
            << rs.packets_requested << " in time " << rs.recovered_in_time << " late "
            << rs.recovered_late << " given up " << rs.given_up << " nacks received "
            << ts.nacks_received << " resent " << ts.retransmissions_sent << " refused "
            << ts.retransmissions_refused << " rtx received " << rs.retransmissions_received
            << " rtcp b->a " << l.relay.counts(RELAY_B_TO_A, 1).received << " nack pkts sent "
            << l.rx->internal()->get_rtcp()->internal()->feedback_counters().nack_sent << " early "
            << l.rx->internal()->get_rtcp()->internal()->feedback_counters().early_packets_sent;
        EXPECT_GT(rs.nacks_sent, 0u);
        EXPECT_GE(rs.packets_requested, lost.lost_random / 2);
        EXPECT_GT(rs.recovered_in_time, 0u);
        EXPECT_EQ(rs.given_up, 0u);
        EXPECT_GT(ts.nacks_received, 0u);
        EXPECT_GE(ts.retransmissions_sent, rs.recovered_in_time);
        EXPECT_EQ(ts.retransmissions_refused, 0u);
        EXPECT_EQ(rs.auth_failures, 0u);
        // A resend answering a repeated request after its first answer
        // arrived is a replay to SRTP on the original SSRC: dropped, and no
        // more of them than resends beyond the recovered packets.
        EXPECT_LE(rs.replay_failures, ts.retransmissions_sent - rs.recovered_in_time);
        if (c.rtx_pt >= 0 || !(c.flags & RCE_SRTP)) {
            EXPECT_EQ(rs.replay_failures, 0u);
        }
        if (c.rtx_pt >= 0) {
            EXPECT_GE(rs.retransmissions_received, rs.recovered_in_time);
        } else {
            EXPECT_EQ(rs.retransmissions_received, 0u);
        }
    }
}

// 0% loss: no NACK, nothing resent.
TEST(LossRecovery, CleanPathSendsNoNack) {
    lossy_link l;
    ASSERT_TRUE(l.open(FMT_PCMU, k_feedback | RCE_FRAGMENT_GENERIC, 0, 12));
    std::vector<bytes> sent;
    const std::map<uint16_t, bytes> got = send_frames(l, sent, 100);
    EXPECT_EQ(missing_or_wrong(sent, got), 0u);
    EXPECT_EQ(l.stats(l.rx).nacks_sent, 0u);
    EXPECT_EQ(l.stats(l.tx).retransmissions_sent, 0u);
}

// The application asks for a key frame: a PLI (or FIR) reaches the
// sender's hook, at most once per round trip; the C API does the same.
TEST(LossRecovery, KeyFrameRequestsReachTheSendersHook) {
    for (int kind : {0, 1}) {
        SCOPED_TRACE(kind == 0 ? "PLI" : "FIR");
        lossy_link l;
        ASSERT_TRUE(l.open(FMT_H265, k_feedback, 0, 13));
        ASSERT_EQ(l.rx->configure_ctx(RCC_KEY_FRAME_REQUEST, kind), RTP_SUCCESS);
        EXPECT_EQ(l.rx->get_configuration_value(RCC_KEY_FRAME_REQUEST), kind);
        static std::atomic<int> calls{0};
        calls = 0;
        ASSERT_EQ(tessal_stream_install_key_frame_request_hook(
                      l.tx, [](void *arg) { static_cast<std::atomic<int> *>(arg)->fetch_add(1); },
                      &calls),
                  RTP_SUCCESS);
        // The receiver learns the sender's SSRC from its media.
        const bytes au = test::h265_access_unit(1);
        ASSERT_EQ(l.tx->push_frame(const_cast<uint8_t *>(au.data()), au.size(), RTP_PUSH_COPY_DATA),
                  RTP_SUCCESS);
        frame::rtp_frame *f = l.rx->pull_frame(2000);
        ASSERT_NE(f, nullptr);
        frame::dealloc_frame(f);
        EXPECT_EQ(tessal_stream_request_key_frame(l.rx), RTP_SUCCESS);
        EXPECT_EQ(l.rx->request_key_frame(), RTP_SUCCESS) << "within the round trip: not sent";
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (calls.load() == 0 && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_EQ(calls.load(), 1);
        const stream_statistics rs = l.stats(l.rx);
        const stream_statistics ts = l.stats(l.tx);
        EXPECT_EQ(kind == 0 ? rs.pli_sent : rs.fir_sent, 1u);
        EXPECT_EQ(kind == 0 ? ts.pli_received : ts.fir_received, 1u);
    }
}

// A sender that may resend almost nothing (RCC_RETRANSMIT_SHARE 1): the
// receiver, in key-frame resync mode, gives lost packets up at their
// deadline, and only then asks for a key frame, which reaches the
// sender's hook; a recovered packet never does.
TEST(LossRecovery, GivenUpPacketsOfAResyncStreamAskForAKeyFrame) {
    lossy_link l;
    ASSERT_TRUE(l.open(FMT_H265, k_feedback | RCE_H26X_RESYNC_ON_KEY_FRAME, 0.1, 15));
    ASSERT_EQ(l.tx->configure_ctx(RCC_RETRANSMIT_SHARE, 1), RTP_SUCCESS);
    ASSERT_EQ(l.rx->configure_ctx(RCC_PACKET_DELAY_LIMIT, 200), RTP_SUCCESS);
    static std::atomic<int> hook_calls{0};
    hook_calls = 0;
    ASSERT_EQ(
        l.tx->install_key_frame_request_hook(
            [](void *arg) { static_cast<std::atomic<int> *>(arg)->fetch_add(1); }, &hook_calls),
        RTP_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(1600));  // RTCP's first report
    for (uint32_t i = 0; i < 100; ++i) {
        const bytes au = test::h265_access_unit(i);
        ASSERT_EQ(l.tx->push_frame(const_cast<uint8_t *>(au.data()), au.size(), RTP_PUSH_COPY_DATA),
                  RTP_SUCCESS);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (hook_calls.load() == 0 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const stream_statistics rs = l.stats(l.rx);
    const stream_statistics ts = l.stats(l.tx);
    EXPECT_GT(rs.given_up, 0u);
    EXPECT_GT(ts.retransmissions_refused, 0u);
    EXPECT_GT(rs.pli_sent, 0u);
    EXPECT_LE(rs.pli_sent, rs.given_up) << "only given-up packets ask";
    EXPECT_GT(ts.pli_received, 0u);
    EXPECT_GE(hook_calls.load(), 1);
    EXPECT_LE(static_cast<uint64_t>(hook_calls.load()), ts.pli_received);
}

TEST(LossRecovery, ConfigurationKeysAndRefusals) {
    lossy_link l;
    ASSERT_TRUE(l.open(FMT_PCMU, k_feedback, 0, 14));
    const struct {
        int key;
        ssize_t good;
        ssize_t bad;
    } keys[] = {
        {RCC_RTX_PAYLOAD_TYPE, 97, 95},    {RCC_RTX_SSRC, 0x1234, 0},
        {RCC_RETRANSMIT_STORE_MS, 300, 0}, {RCC_RETRANSMIT_STORE_BYTES, 100000, 100},
        {RCC_RETRANSMIT_SHARE, 30, 101},   {RCC_KEY_FRAME_REQUEST, 1, 2},
    };
    for (const auto &k : keys) {
        SCOPED_TRACE(k.key);
        EXPECT_EQ(l.tx->configure_ctx(k.key, k.good), RTP_SUCCESS);
        EXPECT_EQ(l.tx->get_configuration_value(k.key), k.good);
        EXPECT_EQ(l.tx->configure_ctx(k.key, k.bad), RTP_BAD_ARGUMENT);
        EXPECT_EQ(l.tx->get_configuration_value(k.key), k.good);
    }
    EXPECT_EQ(tessal_stream_configure(l.tx, TESSAL_RCC_RETRANSMIT_SHARE, 40), RTP_SUCCESS);
    EXPECT_EQ(tessal_stream_get_configuration_value(l.tx, TESSAL_RCC_RETRANSMIT_SHARE), 40);
    // A stream without feedback has none of it.
    media_stream *plain =
        l.sess->create_stream(free_udp_port(), free_udp_port(), FMT_PCMU, RCE_WITH_RTCP);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->configure_ctx(RCC_RTX_PAYLOAD_TYPE, 97), RTP_FAILED);
    EXPECT_EQ(plain->request_key_frame(), RTP_FAILED);
    EXPECT_EQ(l.tx->install_key_frame_request_hook(nullptr, nullptr), RTP_BAD_ARGUMENT);
}

}  // namespace
