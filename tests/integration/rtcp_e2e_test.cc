// RTCP between two streams over loopback: reports, SDES, hooks, round-trip
// times and BYE, on the port after the RTP port and multiplexed on the RTP
// port; streams without RTCP; streams whose RTCP cannot start.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rtcp/rtcp_internal.hh"
#include "stream/media_stream_internal.hh"
#include "support/ports.hh"
#include "support/stderr_capture.hh"
#include "support/udp_capture.hh"
#include "tessal/tessal.hh"
#include "transport/reception_flow.hh"

using namespace tessal;
using tessal::test::free_udp_port;
using tessal::test::stderr_capture;
using tessal::test::udp_capture;

namespace {

constexpr auto k_deadline = std::chrono::seconds(10);

std::atomic<int> g_srs{0};
std::atomic<int> g_rrs{0};
std::atomic<int> g_sdes{0};
std::atomic<uint32_t> g_sr_sender{0};

void on_sr(frame::rtcp_sr *sr) {
    g_sr_sender.store(sr->sender_ssrc);
    frame::dealloc_sr(sr);
    g_srs.fetch_add(1);
}
void on_rr(frame::rtcp_rr *rr) {
    frame::dealloc_rr(rr);
    g_rrs.fetch_add(1);
}
void on_sdes(frame::rtcp_sdes *sdes) {
    for (size_t j = 0; j < sdes->header.count; ++j) {
        for (size_t i = 0; i < sdes->chunks[j].item_count; ++i) {
            delete[] sdes->chunks[j].items[i].item_data;
        }
    }
    frame::dealloc_sdes(sdes);
    g_sdes.fetch_add(1);
}

// Polls `done` until it holds or the deadline passes.
bool eventually(const std::function<bool()> &done) {
    const auto end = std::chrono::steady_clock::now() + k_deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::vector<uint8_t> h264_frame(uint8_t n) {
    std::vector<uint8_t> f = {0, 0, 0, 1, 0x65};
    f.resize(200, static_cast<uint8_t>(0x10 + n % 64));
    return f;
}

rtcp_internal *engine(media_stream *s) {
    return s->get_rtcp()->internal();
}

}  // namespace

TEST(RtcpEndToEnd, TwoStreamsExchangeReportsHooksRoundTripAndBye) {
    struct Case {
        const char *name;
        int flags;
    };
    const Case cases[] = {
        {"RTCP on the next port", RCE_WITH_RTCP},
        {"RTCP on the RTP port", RCE_WITH_RTCP | RCE_RTCP_ON_RTP_PORT},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        g_srs = 0;
        g_rrs = 0;
        g_sdes = 0;
        const uint16_t pa = free_udp_port();
        const uint16_t pb = free_udp_port();
        ASSERT_NE(pa, 0);
        ASSERT_NE(pb, 0);
        context ctx;
        session *s = ctx.create_session("127.0.0.1");
        ASSERT_NE(s, nullptr);
        // H.264: 6000 kbit/s, so the first reports leave within tens of ms.
        media_stream *a = s->create_stream(pa, pb, FMT_H264, c.flags);
        media_stream *b = s->create_stream(pb, pa, FMT_H264, c.flags | RCE_RECEIVE_ONLY);
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        ASSERT_NE(a->get_rtcp(), nullptr);
        ASSERT_TRUE(engine(a)->is_active());

        std::mutex rtt_lock;
        std::vector<double> rtts;
        ASSERT_EQ(engine(a)->install_roundtrip_time_hook([&](uint32_t, uint32_t, double ms) {
            std::lock_guard<std::mutex> g(rtt_lock);
            rtts.push_back(ms);
        }),
                  RTP_SUCCESS);
        ASSERT_EQ(b->get_rtcp()->install_sender_hook(on_sr), RTP_SUCCESS);
        ASSERT_EQ(a->get_rtcp()->install_receiver_hook(on_rr), RTP_SUCCESS);
        ASSERT_EQ(a->get_rtcp()->install_sdes_hook(on_sdes), RTP_SUCCESS);

        int pulled = 0;
        std::atomic<bool> pushing{true};
        std::thread pusher([&] {
            for (uint8_t n = 0; pushing.load(); ++n) {
                std::vector<uint8_t> f = h264_frame(n);
                a->push_frame(f.data(), f.size(), RTP_PUSH_COPY_DATA);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
        const bool exchanged = eventually([&] {
            frame::rtp_frame *f = b->pull_frame(1);
            if (f != nullptr) {
                ++pulled;
                frame::dealloc_frame(f);
            }
            std::lock_guard<std::mutex> g(rtt_lock);
            return pulled > 5 && g_srs > 0 && g_rrs > 0 && g_sdes > 0 && !rtts.empty();
        });
        pushing = false;
        pusher.join();
        EXPECT_TRUE(exchanged) << "frames " << pulled << " SR " << g_srs << " RR " << g_rrs
                               << " SDES " << g_sdes;
        EXPECT_EQ(g_sr_sender.load(), a->get_ssrc());
        {
            std::lock_guard<std::mutex> g(rtt_lock);
            for (double ms : rtts) {
                EXPECT_GE(ms, 0.0);
                EXPECT_LT(ms, 1000.0);
            }
        }
        receiver_statistics st;
        ASSERT_TRUE(engine(b)->get_statistics(a->get_ssrc(), st));
        EXPECT_GT(st.received, 0u);
        EXPECT_GT(engine(a)->sent_packets(), 5u);

        // B's BYE removes it from A's table.
        const uint32_t b_ssrc = b->get_ssrc();
        ASSERT_TRUE(eventually([&] { return engine(a)->is_participant(b_ssrc); }));
        EXPECT_EQ(s->destroy_stream(b), RTP_SUCCESS);
        EXPECT_TRUE(eventually([&] { return !engine(a)->is_participant(b_ssrc); }));
        EXPECT_EQ(s->destroy_stream(a), RTP_SUCCESS);
        ctx.destroy_session(s);
    }
}

TEST(RtcpEndToEnd, StreamWithoutRtcpCountsWhatItSendsAndSendsNoRtcp) {
    udp_capture rtp_wire(300);
    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    const uint16_t own = free_udp_port();
    media_stream *a = s->create_stream(own, rtp_wire.port(), FMT_H264, RCE_SEND_ONLY);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(a->get_rtcp(), nullptr);
    for (uint8_t n = 0; n < 5; ++n) {
        std::vector<uint8_t> f = h264_frame(n);
        ASSERT_EQ(a->push_frame(f.data(), f.size(), RTP_PUSH_COPY_DATA), RTP_SUCCESS);
    }
    EXPECT_EQ(engine(a)->sent_packets(), 5u);
    EXPECT_EQ(engine(a)->sent_octets(), 5u * 196);
    EXPECT_FALSE(engine(a)->is_active());
    int datagrams = 0;
    for (std::vector<uint8_t> d = rtp_wire.receive(); !d.empty(); d = rtp_wire.receive()) {
        ++datagrams;
        EXPECT_FALSE(d[1] >= 192 && d[1] <= 223 && d[1] != 224) << int{d[1]};
    }
    EXPECT_EQ(datagrams, 5);
    ctx.destroy_session(s);
}

// Regression: with port + 1 held by another stream's RTP socket the RTCP
// set-up dereferenced a missing reader, and port 65535 wrapped to port 0.
TEST(RtcpEndToEnd, StreamWhoseRtcpPortIsUnusableStartsWithoutRtcp) {
    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    const uint16_t p = free_udp_port();
    const uint16_t peer = free_udp_port();
    media_stream *holder = s->create_stream(static_cast<uint16_t>(p + 1), peer, FMT_H264, 0);
    ASSERT_NE(holder, nullptr);
    struct Case {
        const char *name;
        uint16_t src;
        uint16_t dst;
        const char *log;
    };
    const Case cases[] = {
        {"port + 1 is another stream's RTP port", p, peer, "used by another stream's RTP"},
        {"the peer's RTP port is 65535", static_cast<uint16_t>(peer + 2), 65535,
         "which does not exist"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        stderr_capture cap;
        media_stream *m = s->create_stream(c.src, c.dst, FMT_H264, RCE_WITH_RTCP);
        const std::string log = cap.stop();
        ASSERT_NE(m, nullptr);
        EXPECT_NE(log.find(c.log), std::string::npos) << log;
        EXPECT_FALSE(engine(m)->is_active());
        std::vector<uint8_t> f = h264_frame(1);
        EXPECT_EQ(m->push_frame(f.data(), f.size(), RTP_PUSH_COPY_DATA), RTP_SUCCESS);
        EXPECT_EQ(s->destroy_stream(m), RTP_SUCCESS);
    }
    // The holder's socket survived the refused RTCP set-up.
    std::vector<uint8_t> f = h264_frame(2);
    EXPECT_EQ(holder->push_frame(f.data(), f.size(), RTP_PUSH_COPY_DATA), RTP_SUCCESS);
    ctx.destroy_session(s);
}

// Regression: the RTCP map entry was released under the current local SSRC,
// so after a change of the local SSRC the object stayed in the map for good.
TEST(RtcpEndToEnd, RtcpObjectIsReleasedAfterTheLocalSsrcChanged) {
    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    const size_t before = media_stream_internal::rtcp_map_size();
    media_stream *m = s->create_stream(free_udp_port(), free_udp_port(), FMT_H264, RCE_WITH_RTCP);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(media_stream_internal::rtcp_map_size(), before + 1);
    ASSERT_EQ(m->configure_ctx(RCC_LOCAL_SSRC, 0x1234567), RTP_SUCCESS);
    EXPECT_EQ(s->destroy_stream(m), RTP_SUCCESS);
    EXPECT_EQ(media_stream_internal::rtcp_map_size(), before);
    ctx.destroy_session(s);
}

TEST(RtcpEndToEnd, DefaultSessionBandwidthPerFormat) {
    struct Case {
        const char *name;
        RTP_FORMAT fmt;
        uint32_t kbps;
        bool warns;
    };
    const Case cases[] = {
        {"PCMU", FMT_PCMU, 64, false},
        {"GSM", FMT_GSM, 13, false},
        {"L16 stereo", FMT_L16_STEREO, 1411, false},
        {"Opus", FMT_OPUS, 24, false},
        {"H.264", FMT_H264, 6000, false},
        {"H.265", FMT_H265, 3000, false},
        {"H.266", FMT_H266, 2000, false},
        {"V3C", FMT_V3C, 64, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        stderr_capture cap;
        EXPECT_EQ(media_stream_internal::get_default_bandwidth_kbps(c.fmt), c.kbps);
        EXPECT_EQ(cap.stop().find("Unknown RTP format, setting session bandwidth to 64 kbps") !=
                      std::string::npos,
                  c.warns);
    }
}

// Decision: RTCP on an SRTP stream is SRTCP keyed with the stream's keys, and
// nothing goes out in clear before the keys are known.
TEST(RtcpEndToEnd, SrtcpBetweenTwoEndpointsWithUserKeys) {
    const int flags = RCE_WITH_RTCP | RCE_SRTP | RCE_SRTP_KEYS_FROM_USER | RCE_SRTP_AUTH_TAG;
    std::vector<uint8_t> key(16, 0x5A);
    std::vector<uint8_t> salt(14, 0xA5);
    g_srs = 0;
    g_rrs = 0;
    udp_capture before_keys(200);
    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    const uint16_t pb = free_udp_port();
    media_stream *a = s->create_stream(free_udp_port(), before_keys.port(), FMT_H264, flags);
    ASSERT_NE(a, nullptr);
    // Not started before its keys: nothing at all reaches the peer.
    EXPECT_TRUE(before_keys.receive().empty());
    EXPECT_EQ(s->destroy_stream(a), RTP_SUCCESS);

    const uint16_t pa = free_udp_port();
    a = s->create_stream(pa, pb, FMT_H264, flags);
    media_stream *b = s->create_stream(pb, pa, FMT_H264, flags | RCE_RECEIVE_ONLY);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(a->add_srtp_ctx(key.data(), salt.data()), RTP_SUCCESS);
    ASSERT_EQ(b->add_srtp_ctx(key.data(), salt.data()), RTP_SUCCESS);
    ASSERT_EQ(b->get_rtcp()->install_sender_hook(on_sr), RTP_SUCCESS);
    ASSERT_EQ(a->get_rtcp()->install_receiver_hook(on_rr), RTP_SUCCESS);
    std::atomic<bool> pushing{true};
    std::thread pusher([&] {
        for (uint8_t n = 0; pushing.load(); ++n) {
            std::vector<uint8_t> f = h264_frame(n);
            a->push_frame(f.data(), f.size(), RTP_PUSH_COPY_DATA);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    const bool exchanged = eventually([&] {
        frame::dealloc_frame(b->pull_frame(1));
        return g_srs > 0 && g_rrs > 0;
    });
    pushing = false;
    pusher.join();
    EXPECT_TRUE(exchanged) << "SR " << g_srs << " RR " << g_rrs;
    EXPECT_EQ(g_sr_sender.load(), a->get_ssrc());
    ctx.destroy_session(s);
}

namespace {

// Whether an RTCP compound holds a BYE naming `ssrc`.
bool compound_says_bye(const std::vector<uint8_t> &d, uint32_t ssrc) {
    size_t at = 0;
    while (at + 4 <= d.size()) {
        const size_t length = (size_t{d[at + 2]} << 8 | d[at + 3]) * 4 + 4;
        if (at + length > d.size()) {
            return false;
        }
        if (d[at + 1] == 203) {
            const size_t count = d[at] & 0x1F;
            for (size_t i = 0; i < count && at + 8 + 4 * i <= d.size(); ++i) {
                const uint8_t *p = d.data() + at + 4 + 4 * i;
                if ((uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]) ==
                    ssrc) {
                    return true;
                }
            }
        }
        at += length;
    }
    return false;
}

}  // namespace

// RFC 3550 section 8.2: another participant sending with our SSRC (from
// another address) makes the stream say BYE under the old SSRC and go on
// under a new one; the colliding packet is no media of the peer's. Before, it
// was taken as the peer's media and nothing changed. (Later packets of that
// participant, whose SSRC is no longer ours, are an ordinary source.)
TEST(RtcpEndToEnd, SsrcCollisionSaysByeForTheOldSsrcAndPicksANewOne) {
    udp_capture peer_rtcp(500);  // the peer's RTCP port: our reports arrive here
    ASSERT_GT(peer_rtcp.port(), 1);
    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    const uint16_t port = free_udp_port();
    media_stream *m = s->create_stream(port, static_cast<uint16_t>(peer_rtcp.port() - 1), FMT_H264,
                                       RCE_WITH_RTCP);
    ASSERT_NE(m, nullptr);
    const uint32_t ours = m->get_ssrc();
    // A sender: its reports (and so the BYE) go out whether or not it heard
    // anyone.
    std::vector<uint8_t> f = h264_frame(1);
    ASSERT_EQ(m->push_frame(f.data(), f.size(), RTP_PUSH_COPY_DATA), RTP_SUCCESS);
    udp_capture other;
    std::vector<uint8_t> colliding = {0x80, 0, 0, 1, 0, 0, 0, 0};
    for (int shift = 24; shift >= 0; shift -= 8) {
        colliding.push_back(static_cast<uint8_t>(ours >> shift));
    }
    colliding.resize(12 + 160, 0x55);
    other.send_to(port, colliding);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (m->get_ssrc() == ours && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_NE(m->get_ssrc(), ours);
    EXPECT_EQ(m->internal()->flow()->ssrc_collisions(), 1u);
    EXPECT_EQ(m->pull_frame(50), nullptr);  // the colliding packet is no media of the peer's
    bool bye = false;
    while (!bye && std::chrono::steady_clock::now() < deadline) {
        bye = compound_says_bye(peer_rtcp.receive(), ours);
    }
    EXPECT_TRUE(bye);
    ctx.destroy_session(s);
}

// RFC 3550 5.1: an RTP packet may be all padding (bandwidth probes). It is
// counted in the reception statistics, so its sequence number is not
// reported lost, and is never delivered as a frame. Regression: the header
// stage refused it, so every probe showed up as a lost packet.
TEST(RtcpEndToEnd, PaddingOnlyPacketsAreCountedAndNotDelivered) {
    struct Case {
        const char *name;
        int flags;
        bool counted;
    };
    const Case cases[] = {
        {"with RTCP", RCE_WITH_RTCP, true},
        {"without RTCP", 0, false},
    };
    constexpr uint32_t k_ssrc = 0x5EED0001;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        udp_capture peer(300);
        context ctx;
        session *s = ctx.create_session("127.0.0.1");
        const uint16_t port = free_udp_port();
        media_stream *b = s->create_stream(port, peer.port(), FMT_PCMU, c.flags);
        ASSERT_NE(b, nullptr);
        // Media 1-3, probes 4-5, media 6-7, a probe 8, media 9-10.
        for (uint16_t seq = 1; seq <= 10; ++seq) {
            const bool probe = seq == 4 || seq == 5 || seq == 8;
            std::vector<uint8_t> p = {0x80, 0,    0,    static_cast<uint8_t>(seq),
                                      0,    0,    0,    static_cast<uint8_t>(seq * 160),
                                      0x5E, 0xED, 0x00, 0x01};
            if (probe) {
                p[0] |= 0x20;
                p.resize(p.size() + 100, 0);
                p.back() = 100;
            } else {
                p.resize(p.size() + 160, static_cast<uint8_t>(seq));
            }
            peer.send_to(port, p);
        }
        std::vector<uint16_t> delivered;
        while (delivered.empty() || delivered.back() != 10) {
            frame::rtp_frame *f = b->pull_frame(5000);
            if (f == nullptr) {
                break;
            }
            EXPECT_GT(f->payload_length, 0u);
            delivered.push_back(f->header.sequence);
            frame::dealloc_frame(f);
        }
        EXPECT_EQ(delivered, (std::vector<uint16_t>{1, 2, 3, 6, 7, 9, 10}));
        if (c.counted) {
            receiver_statistics st;
            ASSERT_TRUE(engine(b)->get_statistics(k_ssrc, st));
            EXPECT_EQ(expected_packets(st), 9u);  // from seq 2, after probation
            EXPECT_EQ(st.received, 9u);
            EXPECT_EQ(st.lost, 0);
        }
        ctx.destroy_session(s);
    }
}
