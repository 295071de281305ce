// The generic payload format: packetization observed at the system-call seam,
// reassembly driven packet by packet the way the reception flow drives it,
// expiry on a fake clock, round trips, and the frame-rate settings observed
// through the send queue's pacing sleeps.

#include "formats/media.hh"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "support/fake_syscalls.hh"
#include "support/stderr_capture.hh"
#include "transport/socket.hh"
#include "util/byte_reader.hh"

using namespace tessal;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using tessal::test::fake_syscalls;
using tessal::test::stderr_capture;

namespace {

constexpr uint32_t k_ssrc = 0x5EED0001;
constexpr uint32_t k_ts = 0x00ABCDEF;
constexpr size_t k_payload_size = 1000;

// Fake steady clock for pacing, RTP timestamps and reassembly expiry.
clock::hrc::hrc_t g_now{std::chrono::seconds(1000)};
std::vector<nanoseconds> g_sleeps;

clock::hrc::hrc_t fake_now() {
    return g_now;
}
void fake_sleep(nanoseconds d) {
    g_sleeps.push_back(d);
    g_now += d;
}

// Bytes that differ from their neighbours, so a misplaced piece shows.
std::vector<uint8_t> pattern(size_t size, uint8_t seed = 0) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 31 + (i >> 8) + seed);
    }
    return bytes;
}

std::string warning(const std::string &message) {
    return "[Tessal][WARNING][::push_media_frame] " + message + "\n";
}
std::string error(const std::string &message) {
    return "[Tessal][ERROR][::push_media_frame] " + message + "\n";
}

struct frame_deleter {
    void operator()(frame::rtp_frame *f) const { frame::dealloc_frame(f); }
};
using frame_ptr = std::unique_ptr<frame::rtp_frame, frame_deleter>;

std::vector<uint8_t> payload_of(const frame::rtp_frame &f) {
    return {f.payload, f.payload + f.payload_length};
}

// A parsed packet as the RTP header handler would hand it on.
frame::rtp_frame *packet(uint16_t seq, bool marker, const std::vector<uint8_t> &payload,
                         uint32_t ts = k_ts) {
    frame::rtp_frame *f = frame::alloc_rtp_frame(payload.size());
    f->header.version = 2;
    f->header.marker = marker ? 1 : 0;
    f->header.payload_type = 96;
    f->header.sequence = seq;
    f->header.timestamp = ts;
    f->header.ssrc = k_ssrc;
    if (!payload.empty()) {
        std::memcpy(f->payload, payload.data(), payload.size());
    }
    return f;
}

// Exposes the send queue, so tests can switch pacing on around set_fps.
class probe_media : public formats::media {
public:
    using media::media;
    frame_queue &queue() { return *fqueue_; }
    formats::media_frame_table &table() { return *media_frame_info_; }
};

struct sent_packet {
    bool marker;
    uint16_t sequence;
    uint32_t timestamp;
    uint32_t ssrc;
    std::vector<uint8_t> payload;
};

class GenericFormatTest : public ::testing::Test {
public:
    void SetUp() override {
        g_now = clock::hrc::hrc_t(std::chrono::seconds(1000));
        g_sleeps.clear();
    }

    // A fresh format object over a fresh fake socket.
    void make(int flags) {
        format.reset();
        sock.reset();
        fake = std::make_unique<fake_syscalls>();
        sock = std::make_shared<tessal::socket>(flags, fake.get());
        ASSERT_EQ(sock->init(AF_INET, SOCK_DGRAM, 0), RTP_SUCCESS);
        rtp_state = std::make_shared<rtp>(FMT_OPUS, make_shared_ssrc(k_ssrc), false);
        rtp_state->set_time_source(fake_now);
        rtp_state->set_payload_size(k_payload_size);
        format = std::make_unique<probe_media>(sock, rtp_state, flags);
        format->queue().set_pacing_clock(fake_now, fake_sleep);
        format->table().now = fake_now;
        rce_flags = flags;
    }

    RTP_ERROR push(const std::vector<uint8_t> &frame) {
        bytes = frame;
        return format->push_frame(to4, to6, bytes.data(), bytes.size(), 0, k_ssrc);
    }

    std::vector<sent_packet> sent() {
        std::vector<sent_packet> out;
        for (const auto &d : fake->sent()) {
            EXPECT_GE(d.bytes.size(), k_rtp_header_size);
            out.push_back(
                {(d.bytes[1] & 0x80) != 0, read_be16(d.bytes.data() + 2),
                 read_be32(d.bytes.data() + 4), read_be32(d.bytes.data() + 8),
                 std::vector<uint8_t>(d.bytes.begin() + k_rtp_header_size, d.bytes.end())});
        }
        return out;
    }

    // Runs one parsed packet through the depacketizer as the reception flow
    // does: a frame left in the slot without a delivery is released.
    RTP_ERROR feed(frame::rtp_frame *f, int flags) {
        frame::rtp_frame *out = f;
        const RTP_ERROR rc =
            formats::media::packet_handler(format->get_media_frame_info(), flags, nullptr, 0, &out);
        if (rc == RTP_FRAME_READY) {
            EXPECT_NE(out, nullptr);
            delivered.emplace_back(out);
        } else if (rc == RTP_FRAMES_READY) {
            EXPECT_EQ(out, nullptr);
            for (frame::rtp_frame *ready = nullptr;
                 format->frame_getter(&ready) == RTP_FRAME_READY;) {
                delivered.emplace_back(ready);
            }
        } else if (out != nullptr) {
            frame::dealloc_frame(out);
        }
        return rc;
    }
    RTP_ERROR feed(frame::rtp_frame *f) { return feed(f, rce_flags); }

    // Shows the table a frame of one packet just before `seq`, as a receiver
    // that was already listening has seen the end of the frame before: a run
    // from `seq` on is then known to start a frame.
    void seen_frame_end_before(uint16_t seq, uint32_t ts = k_ts - 3000) {
        ASSERT_EQ(feed(packet(static_cast<uint16_t>(seq - 1), true, {0xEE}, ts)), RTP_FRAME_READY);
        delivered.clear();
    }

    formats::media_frame_table &table() { return format->table(); }

    std::unique_ptr<fake_syscalls> fake;  // outlives the socket
    std::shared_ptr<tessal::socket> sock;
    std::shared_ptr<rtp> rtp_state;
    std::unique_ptr<probe_media> format;
    int rce_flags = 0;
    std::vector<uint8_t> bytes;
    std::vector<frame_ptr> delivered;
    sockaddr_in to4 = tessal::socket::create_sockaddr(AF_INET, "127.0.0.1", 5004);
    sockaddr_in6 to6 = tessal::socket::create_ip6_sockaddr("::1", 5004);
};

// ---------------------------------------------------------------------------
// Sending

TEST_F(GenericFormatTest, FrameIsCutAtThePayloadSize) {
    const std::string oversize =
        warning("Packet is larger (1500 bytes) than maximum payload size (1000 bytes)") +
        warning("Consider using RCE_FRAGMENT_GENERIC!");
    struct Case {
        const char *name;
        int flags;
        size_t size;
        std::vector<size_t> lengths;
        std::vector<bool> markers;
        std::string log;
    };
    const Case cases[] = {
        {"2500 bytes: two full packets and the rest",
         RCE_FRAGMENT_GENERIC,
         2500,
         {1000, 1000, 500},
         {false, false, true},
         ""},
        {"2000 bytes: two full packets",
         RCE_FRAGMENT_GENERIC,
         2000,
         {1000, 1000},
         {false, true},
         ""},
        {"1001 bytes: one full packet and one byte",
         RCE_FRAGMENT_GENERIC,
         1001,
         {1000, 1},
         {false, true},
         ""},
        {"1000 bytes: one marked packet", RCE_FRAGMENT_GENERIC, 1000, {1000}, {true}, ""},
        {"1 byte: one marked packet", RCE_FRAGMENT_GENERIC, 1, {1}, {true}, ""},
        {"unfragmented 1500 bytes: one oversized packet", 0, 1500, {1500}, {false}, oversize},
        {"unfragmented 1000 bytes", 0, 1000, {1000}, {false}, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        make(c.flags);
        const std::vector<uint8_t> frame = pattern(c.size);
        stderr_capture capture;
        ASSERT_EQ(push(frame), RTP_SUCCESS);
        EXPECT_EQ(capture.stop(), c.log);

        const std::vector<sent_packet> packets = sent();
        ASSERT_EQ(packets.size(), c.lengths.size());
        std::vector<uint8_t> joined;
        for (size_t i = 0; i < packets.size(); ++i) {
            SCOPED_TRACE("packet " + std::to_string(i));
            EXPECT_EQ(packets[i].payload.size(), c.lengths[i]);
            EXPECT_EQ(packets[i].marker, c.markers[i]);
            EXPECT_EQ(packets[i].timestamp, packets[0].timestamp);
            EXPECT_EQ(packets[i].sequence, static_cast<uint16_t>(packets[0].sequence + i));
            EXPECT_EQ(packets[i].ssrc, k_ssrc);
            joined.insert(joined.end(), packets[i].payload.begin(), packets[i].payload.end());
        }
        EXPECT_EQ(joined, frame);
    }
}

TEST_F(GenericFormatTest, EachPushTakesAFreshTimestampAndContinuesTheSequence) {
    make(RCE_FRAGMENT_GENERIC);
    ASSERT_EQ(push(pattern(2500)), RTP_SUCCESS);
    g_now += milliseconds(20);
    ASSERT_EQ(push(pattern(1500)), RTP_SUCCESS);
    const std::vector<sent_packet> packets = sent();
    ASSERT_EQ(packets.size(), 5u);
    EXPECT_EQ(packets[3].sequence, static_cast<uint16_t>(packets[2].sequence + 1));
    EXPECT_NE(packets[3].timestamp, packets[2].timestamp);
    EXPECT_EQ(packets[4].timestamp, packets[3].timestamp);
}

TEST_F(GenericFormatTest, NullOrEmptyFrameIsRefusedSilently) {
    make(RCE_FRAGMENT_GENERIC);
    uint8_t byte = 1;
    struct Case {
        const char *name;
        std::function<RTP_ERROR()> push;
    };
    const Case cases[] = {
        {"null pointer",
         [&] { return format->push_frame(to4, to6, static_cast<uint8_t *>(nullptr), 10, 0, 1); }},
        {"zero length", [&] { return format->push_frame(to4, to6, &byte, 0, 0, 1); }},
        {"null owned buffer",
         [&] { return format->push_frame(to4, to6, std::unique_ptr<uint8_t[]>(), 10, 0, 1); }},
        {"owned buffer of zero length",
         [&] { return format->push_frame(to4, to6, std::make_unique<uint8_t[]>(4), 0, 0, 1); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        stderr_capture capture;
        EXPECT_EQ(c.push(), RTP_BAD_ARGUMENT);
        EXPECT_EQ(capture.stop(), "");
    }
    EXPECT_TRUE(fake->sent().empty());
}

TEST_F(GenericFormatTest, OwnedFrameIsSentWhole) {
    make(RCE_FRAGMENT_GENERIC);
    const std::vector<uint8_t> frame = pattern(2500, 9);
    auto owned = std::make_unique<uint8_t[]>(frame.size());
    std::memcpy(owned.get(), frame.data(), frame.size());
    ASSERT_EQ(format->push_frame(to4, to6, std::move(owned), frame.size(), 0, k_ssrc), RTP_SUCCESS);
    std::vector<uint8_t> joined;
    for (const sent_packet &p : sent()) {
        joined.insert(joined.end(), p.payload.begin(), p.payload.end());
    }
    EXPECT_EQ(joined, frame);
}

TEST_F(GenericFormatTest, FrameOfMorePacketsThanOneQueueBlockIsSentWhole) {
    make(RCE_FRAGMENT_GENERIC | RCE_SCC_ENABLED);
    rtp_state->set_payload_size(100);
    const size_t packets_needed = k_max_queue_size + 1001;
    ASSERT_EQ(push(pattern(packets_needed * 100 - 30)), RTP_SUCCESS);
    const std::vector<sent_packet> packets = sent();
    ASSERT_EQ(packets.size(), packets_needed);
    size_t marked = 0;
    for (size_t i = 0; i < packets.size(); ++i) {
        marked += packets[i].marker ? 1 : 0;
        ASSERT_EQ(packets[i].sequence, static_cast<uint16_t>(packets[0].sequence + i));
    }
    EXPECT_EQ(marked, 1u);
    EXPECT_TRUE(packets.back().marker);
    EXPECT_EQ(packets.back().payload.size(), 70u);
}

TEST_F(GenericFormatTest, SendFailuresAreReported) {
    struct Case {
        const char *name;
        bool with_socket;
        size_t payload_size;
        RTP_ERROR result;
        std::string log_line;
    };
    const Case cases[] = {
        {"no socket: the transaction cannot start", false, k_payload_size, RTP_UNINITIALIZED,
         error("Invalid frame queue or failed to initialize transaction!")},
        // A payload size of 0 leaves nothing to cut with; the push must end.
        {"payload size 0 while fragmenting", true, 0, RTP_BAD_ARGUMENT,
         error("Failed to enqueue packet when fragmenting generic frame")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        make(RCE_FRAGMENT_GENERIC);
        if (!c.with_socket) {
            format = std::make_unique<probe_media>(nullptr, rtp_state, RCE_FRAGMENT_GENERIC);
        }
        rtp_state->set_payload_size(c.payload_size);
        const size_t before = fake->sent().size();
        stderr_capture capture;
        EXPECT_EQ(push(pattern(1500)), c.result);
        const std::string log = capture.stop();
        EXPECT_NE(log.find(c.log_line), std::string::npos) << log;
        EXPECT_EQ(fake->sent().size(), before);
        if (c.with_socket) {
            // The failed transaction was closed: the next push goes out whole.
            rtp_state->set_payload_size(k_payload_size);
            EXPECT_EQ(push(pattern(1500)), RTP_SUCCESS);
            EXPECT_EQ(fake->sent().size(), before + 2);
        }
    }
}

// ---------------------------------------------------------------------------
// Receiving

TEST_F(GenericFormatTest, WithoutFragmentationEveryPacketIsAFrame) {
    make(0);
    for (bool marker : {false, true, false}) {
        frame::rtp_frame *f = packet(7, marker, {1, 2, 3});
        frame::rtp_frame *out = f;
        EXPECT_EQ(
            formats::media::packet_handler(format->get_media_frame_info(), 0, nullptr, 0, &out),
            RTP_FRAME_READY);
        EXPECT_EQ(out, f);
        frame::dealloc_frame(out);
    }
    EXPECT_TRUE(table().frames.empty());
}

TEST_F(GenericFormatTest, MarkedPacketAfterAnotherFramesPacketIsAFrameAtOnce) {
    make(RCE_FRAGMENT_GENERIC);
    ASSERT_EQ(feed(packet(40, false, {1}, k_ts)), RTP_SUCCESS);
    frame::rtp_frame *lone = packet(41, true, {9, 9}, k_ts + 3000);
    ASSERT_EQ(feed(lone), RTP_FRAME_READY);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].get(), lone);
    EXPECT_EQ(table().frames.size(), 1u);  // the other timestamp's record stays
}

// Fault: a marked packet without a record was delivered as a frame of one
// packet even when it was the last fragment of a frame whose earlier
// fragments were late, lost or already delivered (a repeat), so damaged
// frames and repeats reached the application.
TEST_F(GenericFormatTest, RegressionTailOfAnotherFrameWasDeliveredAsAFrame) {
    const std::vector<uint8_t> a = {1, 2}, b = {3, 4, 5}, c = {6};
    struct arrival {
        uint16_t seq;
        bool marker;
        uint32_t ts;
        const std::vector<uint8_t> *payload;
    };
    struct Case {
        const char *name;
        std::vector<arrival> arrivals;
        std::vector<std::vector<uint8_t>> frames;
    };
    const Case cases[] = {
        {"the marked fragment overtakes the others",
         {{7, true, k_ts - 2, &c},
          {8, false, k_ts - 1, &a},
          {9, true, k_ts - 1, &c},
          {12, true, k_ts, &c},
          {10, false, k_ts, &a},
          {11, false, k_ts, &b}},
         {c, {1, 2, 6}, {1, 2, 3, 4, 5, 6}}},
        {"a repeat of the marked fragment after the frame",
         {{9, true, k_ts - 1, &c},
          {10, false, k_ts, &a},
          {11, false, k_ts, &b},
          {12, true, k_ts, &c},
          {12, true, k_ts, &c}},
         {c, {1, 2, 3, 4, 5, 6}}},
        {"a repeat of a frame of one packet", {{9, true, k_ts, &c}, {9, true, k_ts, &c}}, {c}},
        {"the tail after a lost first fragment",
         {{8, true, k_ts - 1, &c},
          {9, false, k_ts - 1, &a},
          {11, false, k_ts, &b},
          {12, true, k_ts, &c}},
         {c}},
        {"a run whose start is held until the packet before it arrives",
         {{8, true, k_ts - 2, &c},
          {10, false, k_ts, &a},
          {11, true, k_ts, &b},
          {9, true, k_ts - 1, &c}},
         {c, c, {1, 2, 3, 4, 5}}},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        make(RCE_FRAGMENT_GENERIC);
        delivered.clear();
        for (const arrival &a_ : k.arrivals) {
            feed(packet(a_.seq, a_.marker, *a_.payload, a_.ts));
        }
        ASSERT_EQ(delivered.size(), k.frames.size());
        for (size_t i = 0; i < k.frames.size(); ++i) {
            EXPECT_EQ(payload_of(*delivered[i]), k.frames[i]) << i;
        }
    }
}

// Fault: early in the stream a run that started at the first packet seen
// was taken as a whole frame, so a receiver that joined in the middle of a
// frame handed the application the frame without its first packets. A run
// is a frame only once the packet before it is seen to end a frame (marker
// bit) or to belong to another one; the unproven run is given up when it
// expires, and counted.
TEST_F(GenericFormatTest, RegressionFrameJoinedMidwayWasDeliveredWithoutItsStart) {
    // Frame N is 100..104 (N1..N5), frame N+1 105..107: as sent.
    const uint32_t n = k_ts, n1 = k_ts + 3000;
    const std::vector<uint8_t> p0 = {0x10}, p1 = {0x11, 0x11}, p2 = {0x12}, p3 = {0x13, 0x13, 0x13},
                               p4 = {0x14}, q0 = {0x20}, q1 = {0x21, 0x21}, q2 = {0x22};
    const std::vector<uint8_t> lone = {0x30};
    struct arrival {
        uint16_t seq;
        bool marker;
        uint32_t ts;
        const std::vector<uint8_t> *payload;
    };
    struct Case {
        const char *name;
        std::vector<arrival> arrivals;
        std::vector<std::vector<uint8_t>> frames;
        uint64_t discarded;
    };
    const std::vector<arrival> next_frame = {
        {105, false, n1, &q0}, {106, false, n1, &q1}, {107, true, n1, &q2}};
    const auto then_next = [&next_frame](std::vector<arrival> first) {
        first.insert(first.end(), next_frame.begin(), next_frame.end());
        return first;
    };
    const Case cases[] = {
        {"joined midway: the first two packets of frame N never seen",
         then_next({{102, false, n, &p2}, {103, false, n, &p3}, {104, true, n, &p4}}),
         {{0x20, 0x21, 0x21, 0x22}},
         1},
        {"joined midway, the tail reordered",
         then_next({{103, false, n, &p3}, {102, false, n, &p2}, {104, true, n, &p4}}),
         {{0x20, 0x21, 0x21, 0x22}},
         1},
        {"joined midway, frame N+1 before the tail of frame N",
         {{102, false, n, &p2},
          {105, false, n1, &q0},
          {106, false, n1, &q1},
          {107, true, n1, &q2},
          {103, false, n, &p3},
          {104, true, n, &p4}},
         {{0x20, 0x21, 0x21, 0x22}},
         1},
        {"joined at a frame boundary: a frame of one packet, then frame N",
         then_next({{99, true, n - 3000, &lone},
                    {100, false, n, &p0},
                    {101, false, n, &p1},
                    {102, false, n, &p2},
                    {103, false, n, &p3},
                    {104, true, n, &p4}}),
         {lone, {0x10, 0x11, 0x11, 0x12, 0x13, 0x13, 0x13, 0x14}, {0x20, 0x21, 0x21, 0x22}},
         0},
        {"frames of one packet from the first packet on",
         {{50, true, n - 6000, &p0}, {51, true, n - 3000, &p1}, {52, true, n, &p2}},
         {p0, p1, p2},
         0},
        {"the packet before ends a frame of the same timestamp",
         {{99, true, n, &lone}, {100, false, n, &p0}, {101, true, n, &p1}},
         {lone, {0x10, 0x11, 0x11}},
         0},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        make(RCE_FRAGMENT_GENERIC);
        delivered.clear();
        for (const arrival &a : k.arrivals) {
            feed(packet(a.seq, a.marker, *a.payload, a.ts));
        }
        ASSERT_EQ(delivered.size(), k.frames.size());
        for (size_t i = 0; i < k.frames.size(); ++i) {
            EXPECT_EQ(payload_of(*delivered[i]), k.frames[i]) << i;
        }
        // Past the delay limit the next packet's scan gives up what is left.
        g_now += milliseconds(k_default_pkt_max_delay_ms + formats::k_expiry_scan_interval_ms + 1);
        feed(packet(2000, false, {0x40}, n + 30000));
        EXPECT_EQ(format->frames_discarded_incomplete(), k.discarded);
    }
}

// Fault: whether a run starts at its earliest fragment was looked up when
// it completed, after fragments of a long run had overwritten the record of
// the packet before it, so runs of more packets than that history holds
// never completed.
TEST_F(GenericFormatTest, RegressionRunLongerThanThePacketHistoryNeverCompleted) {
    make(RCE_FRAGMENT_GENERIC);
    ASSERT_EQ(feed(packet(99, true, {7}, k_ts - 1)), RTP_FRAME_READY);
    const size_t n = formats::media_frame_table::k_seen_slots + 500;
    for (size_t i = 0; i < n; ++i) {
        const RTP_ERROR rc = feed(
            packet(static_cast<uint16_t>(100 + i), i + 1 == n, {static_cast<uint8_t>(i)}, k_ts));
        ASSERT_EQ(rc, i + 1 == n ? RTP_FRAME_READY : RTP_SUCCESS) << i;
    }
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[1]->payload_length, n);
}

TEST_F(GenericFormatTest, RunCompletesAtTheMarkedPacket) {
    struct Case {
        const char *name;
        std::array<uint16_t, 3> seqs;
    };
    const Case cases[] = {
        {"10, 11, 12", {10, 11, 12}},
        {"65534, 65535, 0 across the wrap", {65534, 65535, 0}},
    };
    const std::vector<uint8_t> parts[] = {{1, 2, 3}, {4, 5, 6, 7}, {8}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        make(RCE_FRAGMENT_GENERIC);
        delivered.clear();
        seen_frame_end_before(c.seqs[0]);
        EXPECT_EQ(feed(packet(c.seqs[0], false, parts[0])), RTP_SUCCESS);
        EXPECT_EQ(feed(packet(c.seqs[1], false, parts[1])), RTP_SUCCESS);
        ASSERT_EQ(table().frames.count(k_ts), 1u);
        EXPECT_EQ(table().frames.at(k_ts).received_count, 2u);
        EXPECT_EQ(table().frames.at(k_ts).start_seq, c.seqs[0]);
        EXPECT_EQ(feed(packet(c.seqs[2], true, parts[2])), RTP_FRAME_READY);

        ASSERT_EQ(delivered.size(), 1u);
        const frame::rtp_frame &f = *delivered[0];
        EXPECT_EQ(payload_of(f), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
        EXPECT_EQ(f.header.timestamp, k_ts);
        EXPECT_EQ(f.header.ssrc, k_ssrc);
        EXPECT_EQ(f.header.sequence, c.seqs[2]);
        EXPECT_EQ(f.header.marker, 1);
        EXPECT_EQ(f.datagram, nullptr);
        EXPECT_TRUE(table().frames.empty());
    }
}

// A frame of four fragments of unequal sizes, the last one marked, starting
// at `base`.
struct four_fragments {
    uint16_t base;
    std::vector<std::vector<uint8_t>> parts{pattern(3, 1), pattern(5, 2), pattern(1, 3),
                                            pattern(4, 4)};

    frame::rtp_frame *make(size_t i) const {
        return packet(static_cast<uint16_t>(base + i), i == 3, parts[i]);
    }
    std::vector<uint8_t> join(size_t from, size_t to) const {  // parts [from, to]
        std::vector<uint8_t> out;
        for (size_t i = from; i <= to; ++i) {
            out.insert(out.end(), parts[i].begin(), parts[i].end());
        }
        return out;
    }
    bool is_in_order_slice(const std::vector<uint8_t> &bytes) const {
        for (size_t from = 0; from < 4; ++from) {
            for (size_t to = from; to < 4; ++to) {
                if (join(from, to) == bytes) {
                    return true;
                }
            }
        }
        return false;
    }
};

std::string order_name(uint16_t base, const std::array<size_t, 4> &order) {
    std::string name = "base " + std::to_string(base) + ", arrival";
    for (size_t i : order) {
        name += " " + std::to_string(static_cast<uint16_t>(base + i));
    }
    return name;
}

// Without a start marker the first fragment is known only once it has
// arrived: every order in which it precedes the marked fragment must give the
// exact frame. In the other orders no frame may ever be joined out of order.
TEST_F(GenericFormatTest, EveryArrivalOrderOfAFourFragmentFrame) {
    for (uint16_t base : {uint16_t{100}, uint16_t{65533}, uint16_t{65534}, uint16_t{65535}}) {
        const four_fragments frame{base};
        std::array<size_t, 4> order = {0, 1, 2, 3};
        do {
            SCOPED_TRACE(order_name(base, order));
            make(RCE_FRAGMENT_GENERIC);
            delivered.clear();
            seen_frame_end_before(base);
            std::vector<RTP_ERROR> results;
            for (size_t i : order) {
                results.push_back(feed(frame.make(i)));
            }
            for (const frame_ptr &f : delivered) {
                EXPECT_TRUE(frame.is_in_order_slice(payload_of(*f)));
            }
            const auto first_at = std::find(order.begin(), order.end(), 0u);
            const auto marked_at = std::find(order.begin(), order.end(), 3u);
            if (first_at < marked_at) {
                EXPECT_EQ(results, (std::vector<RTP_ERROR>{RTP_SUCCESS, RTP_SUCCESS, RTP_SUCCESS,
                                                           RTP_FRAME_READY}));
                ASSERT_EQ(delivered.size(), 1u);
                EXPECT_EQ(payload_of(*delivered[0]), frame.join(0, 3));
                EXPECT_TRUE(table().frames.empty());
            } else if (marked_at == order.begin()) {
                ASSERT_FALSE(delivered.empty());
                EXPECT_EQ(payload_of(*delivered[0]), frame.parts[3]);
            }
        } while (std::next_permutation(order.begin(), order.end()));
    }
}

// Fault: keys were fixed when a fragment arrived (sequence + 65536 below the
// recorded start) and not recomputed when the start moved back, so a start
// fragment arriving after its successor was joined at the end.
TEST_F(GenericFormatTest, RegressionSortKeyNotRecomputedWhenStartMovesBack) {
    struct Case {
        const char *name;
        uint16_t base;
        std::array<size_t, 4> order;
    };
    const Case cases[] = {
        {"first two swapped", 10, {1, 0, 2, 3}},
        {"first two swapped across the wrap", 65535, {1, 0, 2, 3}},
        {"start arrives third", 10, {1, 2, 0, 3}},
        {"start arrives after a non-adjacent fragment", 65534, {2, 0, 1, 3}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        make(RCE_FRAGMENT_GENERIC);
        delivered.clear();
        seen_frame_end_before(c.base);
        const four_fragments frame{c.base};
        for (size_t i : c.order) {
            feed(frame.make(i));
        }
        ASSERT_EQ(delivered.size(), 1u);
        EXPECT_EQ(payload_of(*delivered[0]), frame.join(0, 3));
    }
}

// Fault: a repeated fragment raised the count and added its size again, so
// the frame never completed, or completed with a hole of uninitialised
// bytes.
TEST_F(GenericFormatTest, RegressionDuplicateFragmentCountedTwice) {
    const std::vector<uint8_t> a = {1, 2, 3}, b = {4, 5, 6, 7, 8}, b2 = {0xB2, 0xB2}, c = {9};
    struct arrival {
        uint16_t seq;
        std::vector<uint8_t> payload;
    };
    struct Case {
        const char *name;
        std::vector<arrival> arrivals;  // sequence 22 is the marked one
        std::vector<uint8_t> frame;
    };
    const Case cases[] = {
        {"first fragment twice", {{20, a}, {20, a}, {21, b}, {22, c}}, {1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {"middle fragment twice",
         {{20, a}, {21, b}, {21, b}, {22, c}},
         {1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {"a shorter repeat replaces the stored bytes",
         {{20, a}, {21, b}, {21, b2}, {22, c}},
         {1, 2, 3, 0xB2, 0xB2, 9}},
        {"a longer repeat replaces the stored bytes",
         {{20, a}, {21, b2}, {21, b}, {22, c}},
         {1, 2, 3, 4, 5, 6, 7, 8, 9}},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        make(RCE_FRAGMENT_GENERIC);
        delivered.clear();
        seen_frame_end_before(20);
        for (size_t i = 0; i + 1 < k.arrivals.size(); ++i) {
            EXPECT_EQ(feed(packet(k.arrivals[i].seq, false, k.arrivals[i].payload)), RTP_SUCCESS);
        }
        EXPECT_EQ(table().frames.at(k_ts).received_count, 2u);
        EXPECT_EQ(table().frames.at(k_ts).total_size, k.frame.size() - c.size());
        EXPECT_EQ(feed(packet(k.arrivals.back().seq, true, k.arrivals.back().payload)),
                  RTP_FRAME_READY);
        ASSERT_EQ(delivered.size(), 1u);
        EXPECT_EQ(payload_of(*delivered[0]), k.frame);
    }
}

// Counting alone would take 10, 12, 13 (marked), 14 for the complete run
// 10 to 13.
TEST_F(GenericFormatTest, FragmentPastTheMarkedOneNeverCompletesAHoledRun) {
    make(RCE_FRAGMENT_GENERIC);
    for (const uint16_t seq : std::array<uint16_t, 4>{10, 12, 13, 14}) {
        EXPECT_EQ(feed(packet(seq, seq == 13, {static_cast<uint8_t>(seq)})), RTP_SUCCESS);
    }
    EXPECT_TRUE(delivered.empty());
    EXPECT_EQ(table().frames.at(k_ts).received_count, 4u);
}

// The table holds at most media_records::k_capacity frames under
// reassembly, and a sequence number for one frame at a time: a frame that
// needs more gives up the older one at once, as expiry would give it up
// later. Its fragments are released (LeakSanitizer checks).
TEST_F(GenericFormatTest, FullTableOrReusedSequenceNumberGivesUpTheOlderFrame) {
    struct arrival {
        uint16_t seq;
        uint32_t ts;
    };
    std::vector<arrival> full;
    for (uint32_t i = 0; i <= formats::media_records::k_capacity; ++i) {
        full.push_back({static_cast<uint16_t>(10 * i), 1000 + i});
    }
    struct Case {
        const char *name;
        std::vector<arrival> arrivals;  // none marked
        uint32_t released;
        size_t left;
    };
    const Case cases[] = {
        {"one frame more than the table holds", full, 1000, formats::media_records::k_capacity},
        {"sequence number 5 again, for another frame", {{4, 100}, {5, 100}, {5, 200}}, 100, 1},
    };
    // Either way one frame is given up incomplete.
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        make(RCE_FRAGMENT_GENERIC);
        for (const arrival &a : c.arrivals) {
            ASSERT_EQ(feed(packet(a.seq, false, {1, 2}, a.ts)), RTP_SUCCESS);
            g_now += milliseconds(1);
        }
        EXPECT_EQ(table().frames.count(c.released), 0u);
        EXPECT_EQ(table().frames.count(c.arrivals.back().ts), 1u);
        EXPECT_EQ(table().frames.size(), c.left);
        EXPECT_EQ(table().frames.at(c.arrivals.back().ts).received_count, 1u);
        EXPECT_EQ(format->frames_discarded_incomplete(), 1u);
    }
}

TEST_F(GenericFormatTest, FramesWithDifferentTimestampsAreJoinedApart) {
    make(RCE_FRAGMENT_GENERIC);
    seen_frame_end_before(1, 50);
    EXPECT_EQ(feed(packet(1, false, {1}, 100)), RTP_SUCCESS);
    EXPECT_EQ(feed(packet(3, false, {4}, 200)), RTP_SUCCESS);
    EXPECT_EQ(feed(packet(2, true, {2}, 100)), RTP_FRAME_READY);
    EXPECT_EQ(feed(packet(4, true, {5}, 200)), RTP_FRAME_READY);
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(payload_of(*delivered[0]), (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(payload_of(*delivered[1]), (std::vector<uint8_t>{4, 5}));
}

TEST_F(GenericFormatTest, MissingArgumentsAreRefused) {
    make(RCE_FRAGMENT_GENERIC);
    frame::rtp_frame *none = nullptr;
    EXPECT_EQ(formats::media::packet_handler(format->get_media_frame_info(), RCE_FRAGMENT_GENERIC,
                                             nullptr, 0, nullptr),
              RTP_BAD_ARGUMENT);
    EXPECT_EQ(formats::media::packet_handler(format->get_media_frame_info(), RCE_FRAGMENT_GENERIC,
                                             nullptr, 0, &none),
              RTP_BAD_ARGUMENT);
    frame_ptr f(packet(1, false, {1}));
    frame::rtp_frame *out = f.get();
    EXPECT_EQ(formats::media::packet_handler(nullptr, RCE_FRAGMENT_GENERIC, nullptr, 0, &out),
              RTP_BAD_ARGUMENT);
    EXPECT_EQ(out, f.get());  // still the caller's
}

// ---------------------------------------------------------------------------
// Expiry

// Fault: a record that never completed stayed in the table for the life of
// the stream, holding its fragments.
TEST_F(GenericFormatTest, RegressionNoExpiryIncompleteRecordsStayForever) {
    struct Case {
        const char *name;
        size_t max_delay_ms;
    };
    const Case cases[] = {
        {"default limit of 500 ms", k_default_pkt_max_delay_ms},
        {"stream limit of 200 ms", 200},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        make(RCE_FRAGMENT_GENERIC);
        rtp_state->set_pkt_max_delay(c.max_delay_ms);
        delivered.clear();
        const clock::hrc::hrc_t start = g_now;
        const milliseconds limit(c.max_delay_ms);
        ASSERT_EQ(feed(packet(10, false, {1}, 100)), RTP_SUCCESS);

        // Exactly as old as the limit: kept.
        g_now = start + limit;
        ASSERT_EQ(feed(packet(50, false, {5}, 500)), RTP_SUCCESS);
        EXPECT_EQ(table().frames.count(100), 1u);

        // At the next scan: released.
        g_now = start + limit + milliseconds(formats::k_expiry_scan_interval_ms);
        EXPECT_EQ(format->frames_discarded_incomplete(), 0u);
        ASSERT_EQ(feed(packet(60, false, {6}, 600)), RTP_SUCCESS);
        EXPECT_EQ(table().frames.count(100), 0u);
        EXPECT_EQ(table().frames.count(500), 1u);
        EXPECT_EQ(format->frames_discarded_incomplete(), 1u);

        // A straggler of the dropped frame finds no record, and is not a
        // frame: the packet before it was of the same frame.
        EXPECT_EQ(feed(packet(11, true, {2}, 100)), RTP_SUCCESS);
        EXPECT_TRUE(delivered.empty());
    }
}

TEST_F(GenericFormatTest, ExpiryLooksAtTheTableAtMostEvery100Ms) {
    make(RCE_FRAGMENT_GENERIC);
    rtp_state->set_pkt_max_delay(0);
    const clock::hrc::hrc_t start = g_now;
    ASSERT_EQ(feed(packet(10, false, {1}, 100)), RTP_SUCCESS);  // scans, opens 100
    g_now = start + milliseconds(99);
    ASSERT_EQ(feed(packet(20, false, {2}, 200)), RTP_SUCCESS);
    EXPECT_EQ(table().frames.size(), 2u);  // 100 is stale but not looked at yet
    g_now = start + milliseconds(100);
    ASSERT_EQ(feed(packet(30, false, {3}, 300)), RTP_SUCCESS);
    EXPECT_EQ(table().frames.size(), 1u);
    EXPECT_EQ(table().frames.count(300), 1u);
}

// ---------------------------------------------------------------------------
// Round trip

TEST_F(GenericFormatTest, RoundTripThroughTheSocketInShuffledOrder) {
    const size_t sizes[] = {1, 999, 1000, 1001, 2000, 2001, 300'007};
    std::mt19937 rng(1234);
    for (size_t size : sizes) {
        SCOPED_TRACE("frame of " + std::to_string(size) + " bytes");
        SetUp();
        make(RCE_FRAGMENT_GENERIC | RCE_SCC_ENABLED);
        delivered.clear();
        const std::vector<uint8_t> frame = pattern(size, static_cast<uint8_t>(size));
        ASSERT_EQ(push(frame), RTP_SUCCESS);

        std::vector<fake_syscalls::datagram> datagrams = fake->sent();
        ASSERT_EQ(datagrams.size(), (size + k_payload_size - 1) / k_payload_size);
        seen_frame_end_before(read_be16(datagrams[0].bytes.data() + 2),
                              read_be32(datagrams[0].bytes.data() + 4) - 1);
        // Any order, except that the marked packet comes last: arriving
        // first it would be taken for a frame of its own.
        std::shuffle(datagrams.begin(), datagrams.end() - 1, rng);
        std::vector<RTP_ERROR> results;
        for (auto &d : datagrams) {
            frame::rtp_frame *parsed = nullptr;
            ASSERT_EQ(rtp::packet_handler(nullptr, 0, d.bytes.data(), d.bytes.size(), &parsed),
                      RTP_PKT_CHANGED);
            results.push_back(feed(parsed));
        }
        std::vector<RTP_ERROR> expected(datagrams.size() - 1, RTP_SUCCESS);
        expected.push_back(RTP_FRAME_READY);
        EXPECT_EQ(results, expected);
        ASSERT_EQ(delivered.size(), 1u);
        EXPECT_TRUE(payload_of(*delivered[0]) == frame);
        EXPECT_TRUE(table().frames.empty());
    }
}

// ---------------------------------------------------------------------------
// Frame rate

// The frame interval in force, observed through fragment pacing: a two-packet
// frame paced over twice the interval leaves its second packet one interval
// after the first. Empty when no sleep happened.
std::vector<int64_t> interval_sleeps(GenericFormatTest &t) {
    g_sleeps.clear();
    EXPECT_EQ(t.push(pattern(2 * k_payload_size)), RTP_SUCCESS);
    std::vector<int64_t> out;
    for (nanoseconds d : g_sleeps) {
        out.push_back(d.count());
    }
    return out;
}

class FrameRateTest : public GenericFormatTest {
public:
    // The interval set_fps(numerator, denominator) puts in force after a
    // 25 fps setting, and whether frame-rate control is then on.
    std::pair<bool, std::vector<int64_t>> apply(int64_t numerator, int64_t denominator) {
        make(RCE_FRAGMENT_GENERIC | RCE_PACE_FRAGMENTS);
        format->set_pace(2, 1);
        format->set_fps(25, 1);
        format->set_fps(numerator, denominator);
        const bool on = !interval_sleeps(*this).empty();
        format->queue().set_frame_rate(true, std::nullopt, false);
        return {on, interval_sleeps(*this)};
    }
};

TEST_F(FrameRateTest, SetFpsIntervalsAndSwitch) {
    struct Case {
        const char *name;
        int64_t numerator;
        int64_t denominator;
        bool on;
        int64_t interval_ns;
    };
    const Case cases[] = {
        {"30/1", 30, 1, true, 33'333'333},
        {"25/1", 25, 1, true, 40'000'000},
        {"30000/1001", 30000, 1001, true, 33'366'666},
        {"60000/1001", 60000, 1001, true, 16'683'333},
        {"1/2, below one frame per second", 1, 2, true, 2'000'000'000},
        {"30/0 switches off and keeps the interval", 30, 0, false, 40'000'000},
        {"30/-1 switches off and keeps the interval", 30, -1, false, 40'000'000},
        {"0/1 switches off and keeps the interval", 0, 1, false, 40'000'000},
        {"-30/1 switches off and keeps the interval", -30, 1, false, 40'000'000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        const auto [on, sleeps] = apply(c.numerator, c.denominator);
        EXPECT_EQ(on, c.on);
        EXPECT_EQ(sleeps, std::vector<int64_t>{c.interval_ns});
    }
}

// Fault: the rate was divided as integers, so 30000/1001 paced at 29 fps
// (34 482 758 ns).
TEST_F(FrameRateTest, RegressionSetFpsIntegerDivisionPacesNtscAt29Fps) {
    EXPECT_EQ(apply(30000, 1001).second, std::vector<int64_t>{33'366'666});
}

// Fault: a numerator below the denominator gave an integer rate of 0 and a
// division by zero.
TEST_F(FrameRateTest, RegressionSetFpsNumeratorBelowDenominatorDividesByZero) {
    EXPECT_EQ(apply(1, 3).second, std::vector<int64_t>{3'000'000'000});
}

TEST_F(FrameRateTest, PaceFramesCatchesUpAndPaceSpreadsThePackets) {
    struct Case {
        const char *name;
        int flags;
        int64_t pace_numerator;
        int64_t pace_denominator;
        std::vector<int64_t> sleeps;
    };
    const Case cases[] = {
        {"spread over twice the interval", RCE_PACE_FRAGMENTS, 2, 1, {33'333'333}},
        {"spread over the whole interval", RCE_PACE_FRAGMENTS, 1, 1, {16'666'666}},
        {"with frame pacing the first frame catches up, unspread",
         RCE_PACE_FRAGMENTS | RCE_PACE_FRAMES,
         2,
         1,
         {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        make(RCE_FRAGMENT_GENERIC | c.flags);
        format->set_pace(c.pace_numerator, c.pace_denominator);
        format->set_fps(30, 1);
        EXPECT_EQ(interval_sleeps(*this), c.sleeps);
    }
}

}  // namespace
