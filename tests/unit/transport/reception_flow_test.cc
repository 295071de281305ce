// Reception flow: classification and dispatch, delivery, pulling, the ring,
// and the receiver/processing threads driven through a fake socket.

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "rtp/datagram_kind.hh"
#include "rtp/rtp.hh"
#include "support/fake_syscalls.hh"
#include "support/rtp_builder.hh"
#include "support/stderr_capture.hh"
#include "transport/reception_flow.hh"
#include "transport/socket.hh"

using namespace tessal;
using std::chrono::milliseconds;
using tessal::test::fake_syscalls;
using tessal::test::rtp_packet;
using tessal::test::stderr_capture;

namespace {

// Records which stages ran; configurable results.
struct stage_log {
    std::mutex lock;
    std::vector<std::string> calls;
    RTP_ERROR decrypt_result = RTP_PKT_CHANGED;

    void add(const char *name) {
        std::lock_guard<std::mutex> g(lock);
        calls.emplace_back(name);
    }
    std::vector<std::string> get() {
        std::lock_guard<std::mutex> g(lock);
        return calls;
    }
};

RTP_ERROR header_stage(void *, int flags, uint8_t *packet, size_t size, frame::rtp_frame **out) {
    return rtp::packet_handler(nullptr, flags, packet, size, out);
}
RTP_ERROR mux_stage(void *, int, uint8_t *, size_t, frame::rtp_frame **) {
    return RTP_PKT_CHANGED;
}
RTP_ERROR decrypt_stage(void *arg, int, uint8_t *, size_t, frame::rtp_frame **) {
    auto *log = static_cast<stage_log *>(arg);
    log->add("decrypt");
    return log->decrypt_result;
}
RTP_ERROR stats_stage(void *arg, int, uint8_t *, size_t, frame::rtp_frame **) {
    static_cast<stage_log *>(arg)->add("stats");
    return RTP_PKT_CHANGED;
}
// Hands every parsed frame over as complete.
RTP_ERROR media_stage(void *arg, int, uint8_t *, size_t, frame::rtp_frame **) {
    static_cast<stage_log *>(arg)->add("media");
    return RTP_FRAME_READY;
}

struct flow_fixture {
    fake_syscalls fake;
    std::shared_ptr<tessal::socket> sock = std::make_shared<tessal::socket>(0, &fake);
    // On the heap: ThreadSanitizer forgets the locks of freed heap memory,
    // not those of a reused stack slot, so flows of earlier tests would
    // otherwise lend their lock history to this one.
    std::unique_ptr<reception_flow> owned_flow = std::make_unique<reception_flow>(false);
    reception_flow &flow = *owned_flow;
    stage_log log;

    flow_fixture() { sock->init(AF_INET, SOCK_DGRAM, 0); }
    ~flow_fixture() { flow.stop(); }

    // A stream keyed by `remote`: header, media (and optional stages).
    void add_stream(const shared_ssrc &remote, bool with_srtp_and_stats = false) {
        flow.install_handler(HANDLER_RTP_HEADER, remote, header_stage, nullptr);
        flow.install_handler(HANDLER_MEDIA, remote, media_stage, &log);
        if (with_srtp_and_stats) {
            flow.install_handler(HANDLER_SRTP, remote, decrypt_stage, &log);
            flow.install_handler(HANDLER_RTCP_STATS, remote, stats_stage, &log);
        }
    }
    void start(int flags = 0) { ASSERT_EQ(flow.start(sock, flags), RTP_SUCCESS); }
    void feed(std::vector<uint8_t> bytes, int flags = 0) {
        flow.process_packet(bytes.data(), bytes.size(), flags);
    }
};

TEST(ReceptionFlowDispatch, OneStreamTakesEverySsrcTwoStreamsRouteBySsrc) {
    flow_fixture f;
    auto a = make_shared_ssrc(0xA);
    f.add_stream(a);
    f.start();
    f.feed(rtp_packet(0x12345678));
    frame::rtp_frame *got = f.flow.pull_frame(1000);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->header.ssrc, 0x12345678u);
    frame::dealloc_frame(got);

    auto b = make_shared_ssrc(0xB);
    f.add_stream(b);
    f.feed(rtp_packet(0x12345678));  // neither stream: dropped
    f.feed(rtp_packet(0xB, 7));
    got = f.flow.pull_frame(1000, b);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->header.sequence, 7);
    frame::dealloc_frame(got);
    EXPECT_EQ(f.flow.pull_frame(0), nullptr);
}

// RFC 4588: a retransmission on its own SSRC and payload type is restored to
// the original (OSN, the media's SSRC and payload type) and delivered as a
// late packet, past the reception statistics; the stream's observer sees
// every media packet and can refuse duplicates. A lone stream takes the
// retransmission's new SSRC from its first packet.
TEST(ReceptionFlowDispatch, RetransmissionsAreRestoredAndObserved) {
    struct seen {
        uint16_t seq;
        bool rtx;
    };
    struct observer_state {
        std::vector<seen> packets;
        std::vector<uint16_t> have;
    } state;
    const auto observer = [](void *arg, const frame::rtp_frame &p, bool rtx) {
        auto *st = static_cast<observer_state *>(arg);
        st->packets.push_back({p.header.sequence, rtx});
        for (uint16_t s : st->have) {
            if (s == p.header.sequence) {
                return false;
            }
        }
        st->have.push_back(p.header.sequence);
        return true;
    };
    flow_fixture f;
    auto remote = make_shared_ssrc(0xA);
    f.add_stream(remote, true);
    ASSERT_EQ(f.flow.set_loss_recovery(remote, 97, observer, &state), RTP_SUCCESS);
    EXPECT_EQ(f.flow.set_loss_recovery(remote, 128, observer, &state), RTP_BAD_ARGUMENT);
    f.start(RCE_WITH_RTCP | RCE_SRTP);
    const uint32_t media = 0x11111111;
    const uint32_t rtx = 0x22222222;
    f.feed(rtp_packet(rtx, 500, {0x00, 0x09, 0xEE}, 97), RCE_WITH_RTCP | RCE_SRTP);  // no media yet
    f.feed(rtp_packet(media, 10, {0x10}), RCE_WITH_RTCP | RCE_SRTP);
    f.feed(rtp_packet(media, 12, {0x12}), RCE_WITH_RTCP | RCE_SRTP);
    f.feed(rtp_packet(rtx, 501, {0x00, 0x0B, 0x11, 0x22}, 97), RCE_WITH_RTCP | RCE_SRTP);
    f.feed(rtp_packet(rtx, 502, {0x00, 0x0B, 0x11, 0x22}, 97), RCE_WITH_RTCP | RCE_SRTP);  // again
    f.feed(rtp_packet(rtx, 503, {0x00}, 97), RCE_WITH_RTCP | RCE_SRTP);  // no room for an OSN
    f.feed(rtp_packet(media, 12, {0x12}), RCE_WITH_RTCP | RCE_SRTP);     // a duplicate
    std::vector<std::vector<uint8_t>> delivered;
    for (frame::rtp_frame *got = f.flow.pull_frame(200); got != nullptr;
         got = f.flow.pull_frame(200)) {
        EXPECT_EQ(got->header.ssrc, media);
        EXPECT_EQ(got->header.payload_type, 96);
        std::vector<uint8_t> d = {static_cast<uint8_t>(got->header.sequence)};
        d.insert(d.end(), got->payload, got->payload + got->payload_length);
        delivered.push_back(d);
        frame::dealloc_frame(got);
    }
    const std::vector<std::vector<uint8_t>> expected = {{10, 0x10}, {12, 0x12}, {11, 0x11, 0x22}};
    EXPECT_EQ(delivered, expected);
    ASSERT_EQ(state.packets.size(), 5u);
    EXPECT_TRUE(state.packets[2].rtx);
    EXPECT_EQ(state.packets[2].seq, 11);
    stream_reception_counts counts;
    ASSERT_TRUE(f.flow.stream_counts(remote, counts));
    EXPECT_EQ(counts.retransmissions, 2u);
    EXPECT_EQ(counts.retransmissions_dropped, 2u) << "before any media, and without an OSN";
    EXPECT_EQ(counts.duplicates, 2u);
    int stats = 0;
    for (const std::string &c : f.log.get()) {
        stats += c == "stats" ? 1 : 0;
    }
    EXPECT_EQ(stats, 3) << "media packets only, the duplicate included";
}

// An RTP packet is routed by its SSRC (bytes 8-11) even when its timestamp
// (bytes 4-7, where RTCP carries its SSRC) equals another stream's SSRC: the
// other stream's stages (statistics here; keys with SRTP) never see it.
TEST(ReceptionFlowDispatch, RtpTimestampEqualToAnotherSsrcDoesNotMisroute) {
    flow_fixture f;
    auto a = make_shared_ssrc(0xA);
    auto b = make_shared_ssrc(0xB);
    stage_log log_a;
    stage_log log_b;
    for (auto [ssrc, log] : {std::pair{a, &log_a}, std::pair{b, &log_b}}) {
        f.flow.install_handler(HANDLER_RTP_HEADER, ssrc, header_stage, nullptr);
        f.flow.install_handler(HANDLER_RTCP_STATS, ssrc, stats_stage, log);
        f.flow.install_handler(HANDLER_MEDIA, ssrc, media_stage, log);
    }
    f.start(RCE_WITH_RTCP);
    f.feed(rtp_packet(0xB, 7, {0xAB}, 96, /*ts=*/0xA), RCE_WITH_RTCP);
    EXPECT_EQ(log_b.get(), (std::vector<std::string>{"stats", "media"}));
    EXPECT_TRUE(log_a.get().empty());
    f.feed(rtp_packet(0xA, 9, {0xAB}, 96, /*ts=*/0xB), RCE_WITH_RTCP);
    EXPECT_EQ(log_a.get(), (std::vector<std::string>{"stats", "media"}));
    EXPECT_EQ(log_b.get().size(), 2u);
    frame::rtp_frame *got = f.flow.pull_frame(1000, b);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->header.sequence, 7);
    frame::dealloc_frame(got);
    got = f.flow.pull_frame(1000, a);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->header.sequence, 9);
    frame::dealloc_frame(got);
}

TEST(ReceptionFlowDispatch, ClassificationTable) {
    struct Case {
        const char *name;
        std::vector<uint8_t> bytes;
        int flags;
        bool delivered;
        const char *log_fragment;
        uint64_t not_taken;  // counted as what the port does not take
    };
    std::vector<uint8_t> rtcp_sr = {0x80, 200, 0, 1, 0, 0, 0, 0xA, 0, 0, 0, 0};
    std::vector<uint8_t> zrtp = {0x10, 0, 0, 1, 'Z', 'R', 'T', 'P', 0, 0, 0, 0xA, 0, 0};
    Case cases[] = {
        {"RTP", rtp_packet(0xA), 0, true, nullptr, 0},
        {"RTCP without mux", rtcp_sr, 0, false,
         "[::process_packet] Received RTCP packet but RTCP MUX is not enabled or handler not "
         "installed",
         1},
        {"RTCP with mux flag", rtcp_sr, RCE_RTCP_ON_RTP_PORT, false, nullptr, 0},
        {"ZRTP", zrtp, 0, false, nullptr, 0},
        {"payload type 72", rtp_packet(0xA, 1, {1}, 72), 0, false, nullptr, 1},
        {"payload type 75 with marker", rtp_packet(0xA, 1, {1}, 0x80 | 75), 0, false,
         "Received RTCP packet but RTCP MUX is not enabled", 1},
        // With the marker, payload type 72 puts 200 in byte 1: an SR to the
        // classifier (RFC 5761 section 4).
        {"payload type 72 with marker", rtp_packet(0xA, 1, {1}, 0x80 | 72), 0, false,
         "Received RTCP packet but RTCP MUX is not enabled", 1},
        {"payload type 77", rtp_packet(0xA, 1, {1}, 77), 0, true, nullptr, 0},
        {"11 bytes", std::vector<uint8_t>(11, 0x80), 0, false, nullptr, 1},
        {"version 1", {0x40, 96, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0xA}, 0, false, nullptr, 1},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.name);
        flow_fixture f;
        auto a = make_shared_ssrc(0xA);
        f.add_stream(a);
        f.flow.install_handler(HANDLER_RTCP_MUX, a, mux_stage, nullptr);
        f.start();
        stderr_capture cap;
        f.feed(c.bytes, c.flags);
        const std::string out = cap.stop();
        frame::rtp_frame *got = f.flow.pull_frame(0);
        EXPECT_EQ(got != nullptr, c.delivered);
        frame::dealloc_frame(got);
        if (c.log_fragment != nullptr) {
            EXPECT_NE(out.find(c.log_fragment), std::string::npos) << out;
        } else {
            EXPECT_EQ(out, "");
        }
        EXPECT_EQ(f.log.get().empty(), !c.delivered);
        EXPECT_EQ(f.flow.dropped_not_rtp(), c.not_taken);
    }
}

// Regression: the statistics stage ran on packets SRTP had rejected, so
// forged or damaged packets moved the reception statistics.
TEST(ReceptionFlowDispatch, FailedDecryptionNeitherCountsNorDelivers) {
    flow_fixture f;
    auto a = make_shared_ssrc(0xA);
    f.add_stream(a, true);
    f.log.decrypt_result = RTP_AUTH_FAILED;
    f.start();
    f.feed(rtp_packet(0xA), RCE_SRTP | RCE_WITH_RTCP);
    EXPECT_EQ(f.log.get(), (std::vector<std::string>{"decrypt"}));
    EXPECT_EQ(f.flow.pull_frame(0), nullptr);  // the parsed frame is released, not leaked

    f.log.decrypt_result = RTP_PKT_CHANGED;
    f.feed(rtp_packet(0xA), RCE_SRTP | RCE_WITH_RTCP);
    frame::rtp_frame *got = f.flow.pull_frame(1000);
    EXPECT_NE(got, nullptr);
    frame::dealloc_frame(got);
    // Without the flags the optional stages are skipped.
    f.log.calls.clear();
    f.feed(rtp_packet(0xA), 0);
    EXPECT_EQ(f.log.get(), (std::vector<std::string>{"media"}));
    frame::dealloc_frame(f.flow.pull_frame(1000));
}

RTP_ERROR logging_mux_stage(void *arg, int, uint8_t *, size_t, frame::rtp_frame **) {
    static_cast<stage_log *>(arg)->add("rtcp");
    return RTP_SUCCESS;
}

// Regression: RTCP feedback and XR (types 205-207) multiplexed on the RTP
// port were taken for RTP; RFC 5761 section 4 gives RTCP all of 192-223.
TEST(ReceptionFlowDispatch, RtcpTypes192To223OnTheRtpPortGoToRtcp) {
    struct Case {
        const char *name;
        uint8_t type;
        bool rtcp;
    };
    const Case cases[] = {
        {"191: RTP, marker and payload type 63", 191, false},
        {"192", 192, true},
        {"SR", 200, true},
        {"transport feedback", 205, true},
        {"payload-specific feedback", 206, true},
        {"XR", 207, true},
        {"223", 223, true},
        {"224: RTP, marker and payload type 96", 224, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        flow_fixture f;
        auto a = make_shared_ssrc(0xA);
        f.add_stream(a);
        f.flow.install_handler(HANDLER_RTCP_MUX, a, logging_mux_stage, &f.log);
        f.start();
        f.feed({0x80, c.type, 0, 2, 0, 0, 0, 0xA, 0, 0, 0, 0xA}, RCE_RTCP_ON_RTP_PORT);
        EXPECT_EQ(f.log.get(),
                  c.rtcp ? std::vector<std::string>{"rtcp"} : std::vector<std::string>{"media"});
        frame::dealloc_frame(f.flow.pull_frame(0));
    }
}

// Records the flags each stage is given.
struct flags_log {
    std::mutex lock;
    std::vector<int> media_flags;
};
RTP_ERROR flags_media_stage(void *arg, int flags, uint8_t *, size_t, frame::rtp_frame **) {
    auto *log = static_cast<flags_log *>(arg);
    std::lock_guard<std::mutex> g(log->lock);
    log->media_flags.push_back(flags);
    return RTP_FRAME_READY;
}

// Regression: every stream on a shared flow ran with the flags of the stream
// that started the flow, so a second stream's RCE_SRTP or fragment flags were
// ignored (and the first stream's imposed on it).
TEST(ReceptionFlowDispatch, EachStreamOnASharedFlowRunsWithItsOwnFlags) {
    flow_fixture f;
    auto plain = make_shared_ssrc(0xA);
    auto secured = make_shared_ssrc(0xB);
    flags_log seen;
    f.flow.install_handler(HANDLER_RTP_HEADER, plain, header_stage, nullptr);
    f.flow.install_handler(HANDLER_MEDIA, plain, flags_media_stage, &seen);
    f.flow.set_stream_flags(plain, RCE_FRAGMENT_GENERIC);
    f.add_stream(secured, true);
    f.flow.set_stream_flags(secured, RCE_SRTP | RCE_WITH_RTCP);
    f.start(RCE_FRAGMENT_GENERIC);  // the first stream's flags start the flow

    f.feed(rtp_packet(0xB), RCE_FRAGMENT_GENERIC);
    EXPECT_EQ(f.log.get(), (std::vector<std::string>{"decrypt", "stats", "media"}));
    frame::dealloc_frame(f.flow.pull_frame(1000, secured));

    f.log.calls.clear();
    f.feed(rtp_packet(0xA), RCE_SRTP | RCE_WITH_RTCP);
    EXPECT_TRUE(f.log.get().empty());
    EXPECT_EQ(seen.media_flags, (std::vector<int>{RCE_FRAGMENT_GENERIC}));
    frame::dealloc_frame(f.flow.pull_frame(1000, plain));

    // The flags move with the stream when its remote SSRC changes.
    f.flow.update_remote_ssrc(0xB, 0xC);
    f.log.calls.clear();
    f.feed(rtp_packet(0xC), 0);
    EXPECT_EQ(f.log.get(), (std::vector<std::string>{"decrypt", "stats", "media"}));
    frame::dealloc_frame(f.flow.pull_frame(0));
}

// Regression: the queue of a stream nobody pulls grew without bound.
TEST(ReceptionFlowDelivery, UnpulledQueueIsBoundedOldestFramesReleasedAndCounted) {
    flow_fixture f;
    auto a = make_shared_ssrc(0xA);
    f.add_stream(a);
    f.start();
    const size_t frame_cost = sizeof(frame::rtp_frame) + 1000;
    f.flow.set_queue_limits(60000, 10 * frame_cost);
    stderr_capture cap;
    for (uint16_t i = 0; i < 100; ++i) {
        f.feed(rtp_packet(0xA, i, std::vector<uint8_t>(1000, 5)));
    }
    const std::string err = cap.stop();
    EXPECT_EQ(f.flow.dropped_queue_full(), 90u);
    for (uint16_t i = 90; i < 100; ++i) {  // the newest ten, in order
        frame::rtp_frame *got = f.flow.pull_frame(0);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(got->header.sequence, i);
        frame::dealloc_frame(got);
    }
    EXPECT_EQ(f.flow.pull_frame(0), nullptr);
    EXPECT_NE(err.find("Released 1 unpulled frames"), std::string::npos) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << "one line, not one per frame: " << err;

    // Age bound: frames older than the limit go when the next one arrives.
    f.flow.set_queue_limits(20, k_default_queue_bytes);
    f.feed(rtp_packet(0xA, 200));
    f.feed(rtp_packet(0xA, 201));
    std::this_thread::sleep_for(milliseconds(60));
    f.feed(rtp_packet(0xA, 202));
    frame::rtp_frame *got = f.flow.pull_frame(0);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->header.sequence, 202);
    frame::dealloc_frame(got);
    EXPECT_EQ(f.flow.dropped_queue_full(), 92u);
}

struct hook_box {
    std::mutex lock;
    std::vector<uint32_t> ssrcs;
};
void record_hook(void *arg, frame::rtp_frame *frame) {
    auto *box = static_cast<hook_box *>(arg);
    {
        std::lock_guard<std::mutex> g(box->lock);
        box->ssrcs.push_back(frame->header.ssrc);
    }
    frame::dealloc_frame(frame);
}

TEST(ReceptionFlowDelivery, HooksAndQueue) {
    flow_fixture f;
    auto a = make_shared_ssrc(0xA);
    f.add_stream(a);
    hook_box box_a, box_b;
    EXPECT_EQ(f.flow.install_receive_hook(&box_a, nullptr, 0xA), RTP_BAD_ARGUMENT);
    ASSERT_EQ(f.flow.install_receive_hook(&box_a, record_hook, 0xA), RTP_SUCCESS);
    f.start();
    // One stream with one hook: the hook receives every frame, whatever its SSRC.
    f.feed(rtp_packet(0xF));
    EXPECT_EQ(box_a.ssrcs, (std::vector<uint32_t>{0xF}));

    // Regression: with a second stream that pulls, the single hook swallowed
    // that stream's frames too. Now each frame goes to its own stream.
    auto b = make_shared_ssrc(0xB);
    f.add_stream(b);
    f.feed(rtp_packet(0xB));
    EXPECT_EQ(box_a.ssrcs, (std::vector<uint32_t>{0xF}));
    frame::rtp_frame *got = f.flow.pull_frame(1000, b);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->header.ssrc, 0xBu);
    frame::dealloc_frame(got);

    ASSERT_EQ(f.flow.install_receive_hook(&box_b, record_hook, 0xB), RTP_SUCCESS);
    f.feed(rtp_packet(0xA));
    f.feed(rtp_packet(0xB));
    EXPECT_EQ(box_a.ssrcs, (std::vector<uint32_t>{0xF, 0xA}));
    EXPECT_EQ(box_b.ssrcs, (std::vector<uint32_t>{0xB}));
    EXPECT_EQ(f.flow.pull_frame(0), nullptr);

    // Two hooks, a frame matching neither hook but a stream goes to the queue.
    auto c = make_shared_ssrc(0xC);
    f.add_stream(c);
    f.feed(rtp_packet(0xC));
    got = f.flow.pull_frame(1000, c);
    ASSERT_NE(got, nullptr);
    frame::dealloc_frame(got);
}

TEST(ReceptionFlowPull, StreamPullReturnsWhenItsStreamLeavesTheFlow) {
    // Regression: a pull blocked on a shared port kept waiting (and later
    // took the other stream's frames) after its stream was destroyed.
    flow_fixture f;
    auto a = make_shared_ssrc(0xA);
    auto b = make_shared_ssrc(0xB);
    f.add_stream(a);
    f.add_stream(b);
    f.start();
    for (bool by_ssrc : {false, true}) {
        SCOPED_TRACE(by_ssrc);
        auto leaving = make_shared_ssrc(by_ssrc ? 0xA : 0xD);
        f.add_stream(leaving);
        std::atomic<bool> returned{false};
        std::thread puller([&] {
            EXPECT_EQ(f.flow.pull_stream_frame(leaving, by_ssrc, -1), nullptr);
            returned = true;
        });
        std::this_thread::sleep_for(milliseconds(20));
        f.flow.clear_stream_from_flow(leaving);
        puller.join();
        EXPECT_TRUE(returned);
        leaving.reset();  // the cell may go while a pull still holds it
    }
    // The remaining stream still receives.
    f.feed(rtp_packet(0xB, 5));
    frame::rtp_frame *got = f.flow.pull_stream_frame(b, true, 1000);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->header.sequence, 5);
    frame::dealloc_frame(got);
}

TEST(ReceptionFlowPull, TwoWaitersEachGetTheirFrameAtOnce) {
    // Regression: one notification per frame could wake the wrong waiter,
    // leaving the right one asleep until its deadline.
    flow_fixture f;
    auto a = make_shared_ssrc(0xA);
    auto b = make_shared_ssrc(0xB);
    f.add_stream(a);
    f.add_stream(b);
    f.start();
    std::atomic<int> got_frames{0};
    auto waiter = [&](const shared_ssrc &cell) {
        frame::rtp_frame *got = f.flow.pull_stream_frame(cell, true, 20000);
        if (got != nullptr) {
            ++got_frames;
            frame::dealloc_frame(got);
        }
    };
    const auto t0 = std::chrono::steady_clock::now();
    std::thread wa(waiter, a);
    std::thread wb(waiter, b);
    std::this_thread::sleep_for(milliseconds(20));
    f.feed(rtp_packet(0xB));
    f.feed(rtp_packet(0xA));
    wa.join();
    wb.join();
    EXPECT_EQ(got_frames.load(), 2);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
}

TEST(ReceptionFlowPull, SsrcFormTakesItsFrameFromAnywhereInTheQueue) {
    // Regression: one foreign frame at the head blocked the stream forever.
    flow_fixture f;
    auto a = make_shared_ssrc(0xA);
    auto b = make_shared_ssrc(0xB);
    f.add_stream(a);
    f.add_stream(b);
    f.start();
    f.feed(rtp_packet(0xA, 1));
    f.feed(rtp_packet(0xB, 2));
    f.feed(rtp_packet(0xA, 3));
    frame::rtp_frame *got = f.flow.pull_frame(1000, b);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->header.sequence, 2);
    frame::dealloc_frame(got);
    EXPECT_EQ(f.flow.pull_frame(20, b), nullptr);
    for (int seq : {1, 3}) {
        got = f.flow.pull_frame(1000, a);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(got->header.sequence, seq);
        frame::dealloc_frame(got);
    }
}

TEST(ReceptionFlowPull, SoleStreamPullingBySsrcReleasesForeignFrames) {
    flow_fixture f;
    auto a = make_shared_ssrc(0xA);
    f.add_stream(a);
    f.start();
    for (uint16_t i = 0; i < 100; ++i) {
        f.feed(rtp_packet(0xF00 + i));  // the sole stream is handed everything
    }
    f.feed(rtp_packet(0xA, 42));
    frame::rtp_frame *got = f.flow.pull_frame(1000, a);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->header.sequence, 42);
    frame::dealloc_frame(got);
    EXPECT_EQ(f.flow.pull_frame(0), nullptr) << "foreign frames were released";
}

TEST(ReceptionFlowPull, TimeoutsAndStopped) {
    flow_fixture f;
    auto a = make_shared_ssrc(0xA);
    f.add_stream(a);
    // Never started: null at once, even without a time-out.
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(f.flow.pull_frame(), nullptr);
    EXPECT_EQ(f.flow.pull_frame(a), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, milliseconds(1000));

    f.start();
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(f.flow.pull_frame(50), nullptr);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, milliseconds(50));

    // A blocking pull returns null when the flow stops.
    std::atomic<bool> returned{false};
    std::thread puller([&] {
        EXPECT_EQ(f.flow.pull_frame(), nullptr);
        returned = true;
    });
    std::this_thread::sleep_for(milliseconds(20));
    f.flow.stop();
    puller.join();
    EXPECT_TRUE(returned);
}

TEST(ReceptionFlowRegistration, RemoveClearUpdate) {
    flow_fixture f;
    auto a = make_shared_ssrc(0xA);
    auto b = make_shared_ssrc(0xB);
    auto none = make_shared_ssrc(0xDEAD);
    f.add_stream(a);
    f.add_stream(b);
    f.start();
    EXPECT_EQ(f.flow.remove_handlers(none), RTP_BAD_ARGUMENT);

    // Moving stream b to a new key: 0xBB reaches it, 0xB no longer does.
    b->store(0xBB);
    EXPECT_EQ(f.flow.update_remote_ssrc(0xB, 0xBB), RTP_SUCCESS);
    f.feed(rtp_packet(0xB, 1));
    f.feed(rtp_packet(0xBB, 2));
    frame::rtp_frame *got = f.flow.pull_frame(1000, b);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->header.sequence, 2);
    frame::dealloc_frame(got);

    // Leaving releases the stream's queued frames; the last one empties the flow.
    f.feed(rtp_packet(0xBB, 3));
    EXPECT_FALSE(f.flow.clear_stream_from_flow(b));
    EXPECT_EQ(f.flow.pull_frame(0), nullptr);
    EXPECT_TRUE(f.flow.clear_stream_from_flow(a));

    // A kind outside the chain is refused, not reported as installed.
    stderr_capture quiet;
    for (int kind : {0, HANDLER_RTCP_STATS + 1, -1}) {
        EXPECT_EQ(f.flow.install_handler(kind, a, header_stage, nullptr), RTP_BAD_ARGUMENT) << kind;
    }
}

// Datagrams that are neither RTP, RTCP nor ZRTP reach no stream's stages
// and are counted; the three kinds are told apart before any look-up.
TEST(ReceptionFlowDispatch, DatagramsOfNoKnownKindAreCountedNotDispatched) {
    flow_fixture f;
    auto a = make_shared_ssrc(0xA);
    f.add_stream(a, true);
    f.start(RCE_SRTP | RCE_WITH_RTCP);
    std::vector<uint8_t> v1 = rtp_packet(0xA, 1);
    v1[0] = 0x40;  // version 1
    std::vector<uint8_t> reserved = rtp_packet(0xA, 2);
    reserved[1] = 73;  // RFC 5761: a payload type RTCP's range reserves
    const std::vector<std::vector<uint8_t>> junk = {
        {}, {0x80, 0x60, 0, 1}, std::vector<uint8_t>(11, 0x80),
        v1, reserved,           std::vector<uint8_t>(40, 0xFF)};
    const int flags = RCE_SRTP | RCE_WITH_RTCP;
    for (const auto &j : junk) {
        f.feed(j, flags);
    }
    EXPECT_EQ(f.flow.dropped_not_rtp(), junk.size());
    EXPECT_TRUE(f.log.get().empty());
    f.feed(rtp_packet(0xA, 3), flags);
    EXPECT_EQ(f.log.get(), (std::vector<std::string>{"decrypt", "stats", "media"}));
    EXPECT_EQ(f.flow.dropped_not_rtp(), junk.size());
}

// A lone stream takes any SSRC, but once a source proved valid (two packets
// in sequence, RFC 3550 A.1) forged packets of other sources are refused
// and counted. A stream that joins the port later starts afresh: sources the
// earlier one validated say nothing of its own (a new stream's sender that
// repeats a sequence number used to be refused for ever).
TEST(ReceptionFlowDispatch, LoneStreamFollowsValidSourcesAndANewStreamStartsAfresh) {
    flow_fixture f;
    auto a = make_shared_ssrc(0xA);
    f.add_stream(a);
    f.start();
    f.feed(rtp_packet(0x1, 1));
    f.feed(rtp_packet(0x1, 2));   // 0x1 is valid now
    f.feed(rtp_packet(0x2, 40));  // a source that never sent in sequence
    f.feed(rtp_packet(0x1, 3));
    std::vector<uint32_t> got;
    while (frame::rtp_frame *fr = f.flow.pull_frame(100)) {
        got.push_back(fr->header.ssrc);
        frame::dealloc_frame(fr);
    }
    EXPECT_EQ(got, (std::vector<uint32_t>{0x1, 0x1, 0x1}));
    EXPECT_EQ(f.flow.dropped_unvalidated_source(), 1u);

    EXPECT_TRUE(f.flow.clear_stream_from_flow(a));
    auto b = make_shared_ssrc(0xB);
    f.add_stream(b);
    f.feed(rtp_packet(0x2, 40));
    f.feed(rtp_packet(0x2, 40));
    got.clear();
    while (frame::rtp_frame *fr = f.flow.pull_frame(100)) {
        got.push_back(fr->header.ssrc);
        frame::dealloc_frame(fr);
    }
    EXPECT_EQ(got, (std::vector<uint32_t>{0x2, 0x2}));
    EXPECT_EQ(f.flow.dropped_unvalidated_source(), 1u);
}

RTP_ERROR zrtp_stage(void *arg, int, uint8_t *, size_t, frame::rtp_frame **) {
    static_cast<stage_log *>(arg)->add("zrtp");
    return RTP_SUCCESS;
}

// A stream's ZRTP datagrams are taken only from its peer's address and
// port; a spoofed one from elsewhere is counted and never reaches the
// agreement. A sender that is not known (tests, replays) is taken.
TEST(ReceptionFlowDispatch, ZrtpFromAnotherAddressIsDroppedAndCounted) {
    flow_fixture f;
    auto a = make_shared_ssrc(0xA);
    f.flow.install_handler(HANDLER_ZRTP, a, zrtp_stage, &f.log);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(5004);
    peer.sin_addr.s_addr = htonl(0x7F000001);
    ASSERT_EQ(f.flow.set_zrtp_peer(a, reinterpret_cast<const sockaddr *>(&peer)), RTP_SUCCESS);
    f.start();
    std::vector<uint8_t> zrtp(28, 0);
    std::memcpy(zrtp.data() + 4, "ZRTP", 4);
    const auto from = [](uint32_t address, uint16_t port) {
        sockaddr_in6 storage{};
        auto &v4 = reinterpret_cast<sockaddr_in &>(storage);
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        v4.sin_addr.s_addr = htonl(address);
        return storage;
    };
    const struct Case {
        const char *name;
        sockaddr_in6 from;
        bool taken;
    } cases[] = {
        {"the peer", from(0x7F000001, 5004), true},
        {"another port", from(0x7F000001, 5006), false},
        {"another address", from(0x7F000002, 5004), false},
    };
    uint64_t dropped = 0;
    size_t taken = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        f.flow.process_packet(zrtp.data(), zrtp.size(), 0, &c.from);
        dropped += c.taken ? 0 : 1;
        taken += c.taken ? 1 : 0;
        EXPECT_EQ(f.log.get().size(), taken);
        EXPECT_EQ(f.flow.dropped_zrtp_foreign(), dropped);
    }
    f.flow.process_packet(zrtp.data(), zrtp.size(), 0, nullptr);
    EXPECT_EQ(f.log.get(), std::vector<std::string>(taken + 1, "zrtp"));
}

// The classifier alone: each kind, and the SSRC at the kind's own place.
TEST(DatagramKind, EachKindCarriesItsSsrcAtItsOwnPlace) {
    struct Case {
        const char *name;
        std::vector<uint8_t> bytes;
        datagram_kind kind;
        uint32_t ssrc;
    };
    std::vector<uint8_t> rtcp = {0x80, 200, 0, 6, 0, 0, 0, 0xB, 0, 0, 0, 0xA};
    rtcp.resize(28);
    std::vector<uint8_t> rtcp_long = rtcp;
    rtcp_long[3] = 7;  // claims 32 bytes in a 28-byte datagram: not RTCP, and as
                       // RTP its payload type (72) is one RFC 5761 reserves
    std::vector<uint8_t> zrtp = {0x10, 0, 0, 1, 'Z', 'R', 'T', 'P', 0, 0, 0, 0xC};
    const Case cases[] = {
        {"rtp", rtp_packet(0xA, 1), datagram_kind::rtp, 0xA},
        {"rtcp", rtcp, datagram_kind::rtcp, 0xB},
        {"rtcp length beyond the datagram", rtcp_long, datagram_kind::not_rtp, 0},
        {"zrtp", zrtp, datagram_kind::zrtp, 0xC},
        {"short", std::vector<uint8_t>(11, 0x80), datagram_kind::not_rtp, 0},
        {"version 0 without cookie", std::vector<uint8_t>(12, 0), datagram_kind::not_rtp, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const datagram_class got = classify_datagram(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(got.kind, c.kind);
        EXPECT_EQ(got.ssrc, c.ssrc);
    }
}

// --- threads -----------------------------------------------------------------

// Blocks the processing thread inside its first datagram until released.
struct gate {
    std::mutex lock;
    std::condition_variable cv;
    bool entered = false;
    bool open = false;
    std::atomic<int> seen{0};
};
RTP_ERROR gated_stage(void *arg, int, uint8_t *, size_t, frame::rtp_frame **out) {
    auto *g = static_cast<gate *>(arg);
    std::unique_lock<std::mutex> l(g->lock);
    g->entered = true;
    g->cv.notify_all();
    g->cv.wait_for(l, std::chrono::seconds(10), [g] { return g->open; });
    g->seen++;
    frame::dealloc_frame(*out);
    *out = nullptr;
    return RTP_PKT_CHANGED;
}

// A full ring is no reason to drop what the kernel holds: the receiver stops
// reading and the rest waits in the socket's buffer until slots free. Before,
// the receiver took the datagrams off and dropped them, so a burst larger
// than the ring lost its tail while the socket had room for it.
TEST(ReceptionFlowThreads, FullRingLeavesDatagramsInTheSocketUntilSlotsFree) {
    // 4 slots. The processing thread holds slot 0; the receiver may fill
    // slots 1-3 and must then leave the rest in the socket.
    flow_fixture f;
    f.flow.set_buffer_size(4 * static_cast<ssize_t>(k_default_slot_size));
    ASSERT_EQ(f.flow.ring_slots(), 4u);
    gate g;
    auto a = make_shared_ssrc(0xA);
    f.flow.install_handler(HANDLER_RTP_HEADER, a, header_stage, nullptr);
    f.flow.install_handler(HANDLER_MEDIA, a, gated_stage, &g);
    f.start();
    f.fake.push_rx(rtp_packet(0xA, 0));
    {
        std::unique_lock<std::mutex> l(g.lock);
        ASSERT_TRUE(g.cv.wait_for(l, std::chrono::seconds(10), [&] { return g.entered; }));
    }
    std::vector<std::vector<uint8_t>> burst;
    for (uint16_t i = 1; i <= 20; ++i) {
        burst.push_back(rtp_packet(0xA, i));
    }
    f.fake.push_rx_burst(burst);
    ASSERT_TRUE(f.fake.wait_delivered(4, std::chrono::seconds(10)));
    for (int i = 0; i < 1000 && f.flow.ring_full_waits() == 0; ++i) {
        std::this_thread::sleep_for(milliseconds(2));
    }
    EXPECT_GE(f.flow.ring_full_waits(), 1u);
    EXPECT_EQ(f.fake.rx_pending(), 17u);  // slot 0's and three more were taken
    {
        std::lock_guard<std::mutex> l(g.lock);
        g.open = true;
    }
    g.cv.notify_all();
    for (int i = 0; i < 2000 && g.seen.load() < 21; ++i) {
        std::this_thread::sleep_for(milliseconds(5));
    }
    f.flow.stop();
    EXPECT_EQ(g.seen.load(), 21);
    EXPECT_EQ(f.flow.dropped_ring_full(), 0u);
}

// A flow whose consumer keeps up goes round the first slots of its ring
// only, so that the rest of the ring never becomes resident: a lightly used
// 4 MiB ring (RTCP on a sending stream's port, a low-rate stream) used to
// walk through every slot, and the process grew by the whole ring.
TEST(ReceptionFlowThreads, RingThatKeepsEmptyingReusesItsFirstSlots) {
    flow_fixture f;
    ASSERT_GT(f.flow.ring_slots(), 1000u);
    auto a = make_shared_ssrc(0xA);
    f.add_stream(a);
    f.start();
    for (uint16_t i = 0; i < 300; ++i) {
        f.fake.push_rx(rtp_packet(0xA, i));
        frame::rtp_frame *got = f.flow.pull_frame(5000);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(got->header.sequence, i);
        frame::dealloc_frame(got);
    }
    // A datagram that arrives while the last one is still being finished
    // takes the next slot; without the reuse, every datagram took a new one.
    EXPECT_LE(f.fake.rx_buffers_used(), 16u);
}

// UDP GRO: the socket hands over a run of equal datagrams (the last one
// shorter) as one message; each datagram of it gets a slot of its own, in
// order, between datagrams that came alone. A run longer than the ring loses
// its tail, counted; a run of datagrams too large for a slot is dropped whole,
// counted per datagram.
TEST(ReceptionFlowThreads, CoalescedRunsAreTakenApartIntoTheirDatagrams) {
    const auto packet = [](uint16_t seq, size_t payload) {
        return rtp_packet(0xA, seq, std::vector<uint8_t>(payload, static_cast<uint8_t>(seq)));
    };
    const auto run_of = [&](uint16_t first, size_t count, size_t payload, size_t last_payload) {
        std::vector<std::vector<uint8_t>> run;
        for (size_t i = 0; i < count; ++i) {
            run.push_back(
                packet(static_cast<uint16_t>(first + i), i + 1 == count ? last_payload : payload));
        }
        return run;
    };
    const auto pull = [](reception_flow &flow, std::vector<uint16_t> &seqs) {
        while (frame::rtp_frame *got = flow.pull_frame(300)) {
            // Every payload byte names its packet: a misplaced segment shows.
            const std::vector<uint8_t> want(got->payload_length,
                                            static_cast<uint8_t>(got->header.sequence));
            EXPECT_EQ(std::vector<uint8_t>(got->payload, got->payload + got->payload_length), want)
                << "packet " << got->header.sequence;
            seqs.push_back(got->header.sequence);
            frame::dealloc_frame(got);
        }
    };

    flow_fixture f;
    f.fake.offer_gro(true);
    auto a = make_shared_ssrc(0xA);
    f.add_stream(a);
    f.start();
    f.fake.push_rx_burst({packet(0, 300)});
    f.fake.push_rx_coalesced(run_of(1, 5, 1000, 400));
    f.fake.push_rx_burst({packet(6, 1500)});
    f.fake.push_rx_coalesced(run_of(7, 3, 1400, 1400));
    std::vector<uint16_t> seqs;
    pull(f.flow, seqs);
    EXPECT_EQ(seqs, (std::vector<uint16_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(f.flow.dropped_ring_full(), 0u);

    // Datagrams too large for a slot.
    stderr_capture quiet;
    f.fake.push_rx_coalesced(run_of(20, 3, k_default_slot_size + 50, 100));
    f.fake.push_rx_burst({packet(30, 100)});
    seqs.clear();
    pull(f.flow, seqs);
    EXPECT_EQ(seqs, std::vector<uint16_t>{30});
    EXPECT_EQ(f.flow.dropped_oversize(), 3u);
    f.flow.stop();

    // A run longer than the whole ring.
    flow_fixture small;
    small.fake.offer_gro(true);
    small.flow.set_buffer_size(4 * static_cast<ssize_t>(k_default_slot_size));
    small.add_stream(a);
    small.start();
    small.fake.push_rx_coalesced(run_of(40, 7, 600, 600));
    seqs.clear();
    pull(small.flow, seqs);
    ASSERT_FALSE(seqs.empty());
    for (size_t i = 0; i < seqs.size(); ++i) {
        EXPECT_EQ(seqs[i], 40 + i);
    }
    EXPECT_LE(seqs.size(), 4u);
    EXPECT_EQ(seqs.size() + small.flow.dropped_ring_full(), 7u);
}

// With GRO a message may carry a run of up to 128 datagrams, so a batched
// receive asks for no more messages than the free slots hold whole: taking
// 64 messages at once dropped the runs that did not fit while the ring
// would have had room a moment later (an unpaced sender lost 1% of its
// frames on loopback).
TEST(ReceptionFlowThreads, CoalescedReceivesTakeNoMoreRunsThanTheRingHolds) {
    flow_fixture f;
    f.fake.offer_gro(true);
    f.flow.set_buffer_size(1024 * static_cast<ssize_t>(k_default_slot_size));
    auto a = make_shared_ssrc(0xA);
    f.add_stream(a);
    f.start();
    std::vector<std::vector<uint8_t>> run;
    for (uint16_t i = 0; i < 20; ++i) {
        run.push_back(rtp_packet(0xA, i, std::vector<uint8_t>(500, 1)));
    }
    f.fake.push_rx_coalesced(run);
    size_t got = 0;
    while (frame::rtp_frame *frame = f.flow.pull_frame(1000)) {
        frame::dealloc_frame(frame);
        if (++got == run.size()) {
            break;
        }
    }
    EXPECT_EQ(got, run.size());
    EXPECT_GE(f.fake.largest_rx_batch(), 1u);
    EXPECT_LE(f.fake.largest_rx_batch(), 1024u / 128u);
}

// Every datagram of a batch is delivered byte-exact or not at all, whatever
// the mix of lone datagrams, coalesced runs and datagrams too large for a
// slot. An oversize datagram used to take no slot, so the messages after it
// moved down the ring while it was walked from the last message to the
// first: earlier messages were overwritten before they were copied, and a
// run wrote its later segments over its first ones (duplicates and losses).
namespace gro_mix {

using rx_item = fake_syscalls::rx_item;

// A datagram whose every payload byte names its sequence number.
std::vector<uint8_t> named(uint16_t seq, size_t payload) {
    return rtp_packet(0xA, seq, std::vector<uint8_t>(payload, static_cast<uint8_t>(seq * 7 + 1)));
}

struct builder {
    uint16_t next = 0;
    std::vector<uint16_t> legit;  // what must arrive, in order
    size_t oversize = 0;

    rx_item lone(size_t payload) {
        legit.push_back(next);
        return rx_item{named(next++, payload), 0, 0};
    }
    rx_item too_large(size_t bytes) {
        ++oversize;
        return rx_item{std::vector<uint8_t>(bytes, 0xEE), 0, 0};
    }
    rx_item run(size_t count, size_t payload, size_t last_payload) {
        rx_item item;
        for (size_t i = 0; i < count; ++i) {
            legit.push_back(next);
            const auto d = named(next++, i + 1 == count ? last_payload : payload);
            item.bytes.insert(item.bytes.end(), d.begin(), d.end());
        }
        item.segment = static_cast<int>(12 + payload);
        return item;
    }
    rx_item run_too_large(size_t count) {
        rx_item item;
        item.bytes.assign(count * (k_default_slot_size + 100), 0xEE);
        item.segment = static_cast<int>(k_default_slot_size + 100);
        oversize += count;
        return item;
    }
};

// Pulls until `want` frames arrived or nothing comes for a while, checking
// each byte.
std::vector<uint16_t> pull_checked(reception_flow &flow, size_t want) {
    std::vector<uint16_t> seqs;
    while (seqs.size() < want) {
        frame::rtp_frame *got = flow.pull_frame(seqs.size() < want ? 2000 : 50);
        if (got == nullptr) {
            break;
        }
        const uint16_t seq = got->header.sequence;
        const std::vector<uint8_t> body(got->payload, got->payload + got->payload_length);
        EXPECT_EQ(body,
                  std::vector<uint8_t>(got->payload_length, static_cast<uint8_t>(seq * 7 + 1)))
            << "packet " << seq;
        seqs.push_back(seq);
        frame::dealloc_frame(got);
    }
    return seqs;
}

}  // namespace gro_mix

TEST(ReceptionFlowThreads, GroBatchMixesDeliverEveryDatagramOnceByteExact) {
    using gro_mix::builder;
    using gro_mix::rx_item;
    struct Case {
        const char *name;
        std::function<std::vector<rx_item>(builder &)> make;
    };
    const size_t big = k_default_slot_size + 952;  // fits slot + overflow, not a slot
    const Case cases[] = {
        {"oversize, run, lone",
         [&](builder &b) {
             return std::vector<rx_item>{b.too_large(big), b.run(3, 1200, 1200), b.lone(300)};
         }},
        {"oversize between lone datagrams",
         [&](builder &b) {
             return std::vector<rx_item>{b.lone(100), b.too_large(big), b.lone(200), b.lone(300)};
         }},
        {"two oversize, then runs straddling the slot end",
         [&](builder &b) {
             return std::vector<rx_item>{b.too_large(big), b.too_large(70000), b.run(5, 1000, 400),
                                         b.run(2, 1900, 1900)};
         }},
        {"run of oversize datagrams between runs",
         [&](builder &b) {
             return std::vector<rx_item>{b.run(4, 600, 10), b.run_too_large(3),
                                         b.run(3, 1400, 1400), b.lone(50)};
         }},
        {"runs then oversize last",
         [&](builder &b) {
             return std::vector<rx_item>{b.run(40, 1000, 1000), b.run(2, 30, 30), b.too_large(big)};
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        flow_fixture f;
        f.fake.offer_gro(true);
        auto a = make_shared_ssrc(0xA);
        f.add_stream(a);
        f.start();
        stderr_capture quiet;
        builder b;
        for (int burst = 0; burst < 20; ++burst) {
            f.fake.push_rx_messages(c.make(b));
        }
        const std::vector<uint16_t> seqs = gro_mix::pull_checked(f.flow, b.legit.size());
        EXPECT_EQ(seqs, b.legit);
        EXPECT_EQ(f.flow.dropped_oversize(), b.oversize);
        EXPECT_EQ(f.flow.dropped_ring_full(), 0u);
    }
}

// The same property over random mixes: for any order of lone datagrams,
// runs, oversize datagrams and oversize runs, each legitimate datagram
// arrives once, in order and byte-exact, and each oversize one is counted.
TEST(ReceptionFlowThreads, RandomGroMixesNeverDuplicateDropOrSplice) {
    std::mt19937 gen(20261211);
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        flow_fixture f;
        f.fake.offer_gro(true);
        auto a = make_shared_ssrc(0xA);
        f.add_stream(a);
        f.start();
        stderr_capture quiet;
        gro_mix::builder b;
        std::vector<gro_mix::rx_item> messages;
        for (int m = 0; m < 60; ++m) {
            switch (gen() % 5) {
                case 0:
                    messages.push_back(b.lone(1 + gen() % 1999));
                    break;
                case 1:
                    messages.push_back(b.too_large(k_default_slot_size + 1 + gen() % 70000));
                    break;
                case 2:
                    messages.push_back(b.run_too_large(1 + gen() % 4));
                    break;
                default: {
                    const size_t payload = 1 + gen() % 2000;
                    const size_t count = 2 + gen() % std::min<size_t>(40, 60000 / (payload + 12));
                    messages.push_back(b.run(count, payload, 1 + gen() % payload));
                }
            }
        }
        f.fake.push_rx_messages(std::move(messages));
        EXPECT_EQ(gro_mix::pull_checked(f.flow, b.legit.size()), b.legit);
        EXPECT_EQ(f.flow.dropped_oversize(), b.oversize);
        EXPECT_EQ(f.flow.dropped_ring_full(), 0u);
    }
}

// A receiving thread keeps its message headers laid out between receives;
// a thread that goes from a flow with UDP GRO to one without, or back, must
// lay them out anew, or a coalesced run would be cut at its first slot.
TEST(ReceiveHeaders, LaidOutAgainWhenTheOverflowChanges) {
    auto h = std::make_unique<receive_headers>();
    std::vector<uint8_t> area(8 * k_gro_overflow);
    const auto expect_gro = [&](size_t count) {
        for (size_t i = 0; i < count; ++i) {
            SCOPED_TRACE(i);
            const msghdr &m = h->msgs[i].msg_hdr;
            ASSERT_EQ(m.msg_iovlen, 2u);
            EXPECT_EQ(m.msg_iov, &h->iov[2 * i]);
            EXPECT_EQ(h->iov[2 * i + 1].iov_base, area.data() + i * k_gro_overflow);
            EXPECT_EQ(h->iov[2 * i + 1].iov_len, k_gro_overflow);
            EXPECT_EQ(m.msg_control, h->control[i].data());
            EXPECT_EQ(m.msg_controllen, h->control[i].size());
        }
    };
    const auto expect_plain = [&](size_t count) {
        for (size_t i = 0; i < count; ++i) {
            SCOPED_TRACE(i);
            const msghdr &m = h->msgs[i].msg_hdr;
            EXPECT_EQ(m.msg_iovlen, 1u);
            EXPECT_EQ(m.msg_iov, &h->iov[i]);
            EXPECT_EQ(m.msg_control, nullptr);
            EXPECT_EQ(m.msg_controllen, 0u);
        }
    };
    h->prepare(4, area.data());
    expect_gro(4);
    h->prepare(6, nullptr);
    expect_plain(6);
    h->prepare(3, area.data());
    expect_gro(3);
    h->prepare(8, area.data());  // growing keeps the mode
    expect_gro(8);
}

TEST(ReceptionFlowThreads, OversizeDatagramIsDroppedNotTruncatedWithOneWarning) {
    flow_fixture f;
    auto a = make_shared_ssrc(0xA);
    f.add_stream(a);
    f.start();
    stderr_capture cap;
    for (uint16_t i = 0; i < 50; ++i) {
        f.fake.push_rx(rtp_packet(0xA, i, std::vector<uint8_t>(k_default_slot_size, 1)));
    }
    // Exactly one slot: 12-byte header + payload.
    f.fake.push_rx(rtp_packet(0xA, 50, std::vector<uint8_t>(k_default_slot_size - 12, 2)));
    frame::rtp_frame *got = f.flow.pull_frame(5000);
    const std::string err = cap.stop();
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->header.sequence, 50);
    EXPECT_EQ(got->payload_length, k_default_slot_size - 12);
    frame::dealloc_frame(got);
    EXPECT_EQ(f.flow.dropped_oversize(), 50u);
    // Remote input writes one line, not one per datagram.
    size_t lines = 0;
    for (size_t at = err.find("larger than the"); at != std::string::npos;
         at = err.find("larger than the", at + 1)) {
        ++lines;
    }
    EXPECT_EQ(lines, 1u) << err;
}

// Standard peers send up to 1472-byte datagrams by default (a 1500-byte MTU
// less IPv4 and UDP headers); a smaller slot setting must not cut them.
TEST(ReceptionFlowThreads, SlotsHoldEthernetMtuDatagramsWhateverTheSetting) {
    struct Case {
        const char *name;
        size_t setting;  // 0: default
        size_t expected_slot;
    } cases[] = {
        {"default", 0, k_default_slot_size},
        {"smaller setting keeps the default", 100, k_default_slot_size},
        {"path MTU 1500 less 28", 1472, k_default_slot_size},
        {"larger setting enlarges", 9000, 9000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        flow_fixture f;
        if (c.setting != 0) {
            f.flow.set_payload_size(c.setting);
        }
        EXPECT_EQ(f.flow.get_payload_size(), c.expected_slot);
        EXPECT_GE(f.flow.get_payload_size(), 1500u);
        auto a = make_shared_ssrc(0xA);
        f.add_stream(a);
        f.start();
        f.fake.push_rx(rtp_packet(0xA, 7, std::vector<uint8_t>(1472 - 12, 3)));
        frame::rtp_frame *got = f.flow.pull_frame(5000);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(got->payload_length, 1472u - 12u);
        frame::dealloc_frame(got);
        EXPECT_EQ(f.flow.dropped_oversize(), 0u);
    }
}

TEST(ReceptionFlowThreads, InterruptedWaitKeepsReceiving) {
    flow_fixture f;
    f.flow.set_poll_timeout_ms(10);
    auto a = make_shared_ssrc(0xA);
    f.add_stream(a);
    f.start();
    f.fake.fail_next_poll(EINTR);
    std::this_thread::sleep_for(milliseconds(30));
    f.fake.push_rx(rtp_packet(0xA, 9));
    frame::rtp_frame *got = f.flow.pull_frame(5000);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->header.sequence, 9);
    frame::dealloc_frame(got);
}

// An idle receiver sleeps without a time-out (no periodic wake-ups), and
// stop() still ends it at once: with an hour-long poll time-out configured,
// a receiver that had to wait it out would hold this test until its limit.
TEST(ReceptionFlowThreads, StopWakesAnIdleReceiverWithoutItsTimeOut) {
    auto sock = std::make_shared<tessal::socket>(0);
    ASSERT_EQ(sock->init(AF_INET, SOCK_DGRAM, 0), RTP_SUCCESS);
    sockaddr_in any = tessal::socket::create_sockaddr(AF_INET, "127.0.0.1", 0);
    ASSERT_EQ(sock->bind(any), RTP_SUCCESS);
    auto flow = std::make_unique<reception_flow>(false);
    flow->set_poll_timeout_ms(3600 * 1000);
    auto a = make_shared_ssrc(0xA);
    flow->install_handler(HANDLER_RTP_HEADER, a, header_stage, nullptr);
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(flow->start(sock, 0), RTP_SUCCESS);
        std::this_thread::sleep_for(milliseconds(20));  // let the receiver block
        EXPECT_EQ(flow->stop(), RTP_SUCCESS);
        EXPECT_FALSE(flow->is_running());
    }
}

TEST(ReceptionFlowThreads, ReceiveFailureStopsTheFlowWithItsMessage) {
    flow_fixture f;
    auto a = make_shared_ssrc(0xA);
    f.add_stream(a);
    stderr_capture cap;
    f.start();
    f.fake.push_rx_error(ECONNREFUSED);
    EXPECT_EQ(f.flow.pull_frame(), nullptr);  // returns once the flow stops itself
    f.flow.stop();
    EXPECT_NE(
        cap.stop().find("[::receiver] recvfrom(2) failed! Reception flow cannot continue -1!"),
        std::string::npos);
}

TEST(ReceptionFlowThreads, BurstsArriveCompleteInOrderWhileHandlersChangeAndRingResizes) {
    flow_fixture f;
    auto a = make_shared_ssrc(0xA);
    f.add_stream(a);
    f.start();
    constexpr uint16_t k_total = 3000;
    std::atomic<bool> done{false};
    // Registration traffic on other keys while datagrams flow.
    std::thread churn([&] {
        auto other = make_shared_ssrc(0x5555);
        while (!done.load()) {
            f.flow.install_handler(HANDLER_RTP_HEADER, other, header_stage, nullptr);
            f.flow.remove_handlers(other);
        }
    });
    std::thread producer([&] {
        for (uint16_t i = 0; i < k_total; i += 100) {
            std::vector<std::vector<uint8_t>> burst;
            for (uint16_t k = i; k < i + 100; ++k) {
                burst.push_back(rtp_packet(0xA, k));
            }
            f.fake.push_rx_burst(burst);
            f.fake.wait_delivered(k_total, milliseconds(1));
        }
    });
    uint16_t expected = 0;
    while (expected < k_total) {
        frame::rtp_frame *got = f.flow.pull_frame(5000, a);
        ASSERT_NE(got, nullptr) << "missing sequence " << expected;
        if (got->header.ssrc == 0xA) {
            EXPECT_EQ(got->header.sequence, expected);
            ++expected;
        }
        frame::dealloc_frame(got);
        if (expected == k_total / 2) {
            f.flow.set_buffer_size(8 * 1024 * 1024);  // rebuilt with the threads paused
        }
    }
    done = true;
    producer.join();
    churn.join();
    EXPECT_EQ(f.flow.dropped_ring_full(), 0u);
}

TEST(ReceptionFlowThreads, StartStopRepeatedlyAndConcurrentPullers) {
    flow_fixture f;
    auto a = make_shared_ssrc(0xA);
    f.add_stream(a);
    for (int round = 0; round < 5; ++round) {
        f.start();
        EXPECT_EQ(f.flow.start(f.sock, 0), RTP_SUCCESS);  // second start: nothing
        std::atomic<int> pulled{0};
        std::vector<std::thread> pullers;
        for (int t = 0; t < 3; ++t) {
            pullers.emplace_back([&] {
                while (pulled.load() < 30) {
                    frame::rtp_frame *got = f.flow.pull_frame(20);
                    if (got != nullptr) {
                        frame::dealloc_frame(got);
                        ++pulled;
                    }
                }
            });
        }
        for (uint16_t i = 0; i < 30; ++i) {
            f.fake.push_rx(rtp_packet(0xA, i));
        }
        for (auto &p : pullers) {
            p.join();
        }
        EXPECT_EQ(pulled.load(), 30);
        EXPECT_EQ(f.flow.stop(), RTP_SUCCESS);
        EXPECT_FALSE(f.flow.is_running());
    }
}

}  // namespace
