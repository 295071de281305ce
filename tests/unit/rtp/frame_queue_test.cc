// Send queue behaviour observed at the system-call seam: markers, sequence
// numbers and timestamps of the datagrams, the pieces the send handlers see,
// batching, failures, and frame and fragment pacing on a fake clock.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "rtp/frame_queue.hh"
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

constexpr uint32_t k_ssrc = 0x11223344;
constexpr nanoseconds k_interval_30fps{33'333'333};

// Fake steady clock shared by the queue's pacing and the RTP timestamps. Only
// the pushing thread touches it.
clock::hrc::hrc_t g_now{std::chrono::seconds(1000)};
std::vector<nanoseconds> g_sleeps;

clock::hrc::hrc_t fake_now() {
    return g_now;
}
void fake_sleep(nanoseconds d) {
    g_sleeps.push_back(d);
    g_now += d;
}
// A sleep after which the clock has not moved.
void stalled_sleep(nanoseconds d) {
    g_sleeps.push_back(d);
}

std::vector<int64_t> counts(const std::vector<nanoseconds> &durations) {
    std::vector<int64_t> out;
    for (nanoseconds d : durations) {
        out.push_back(d.count());
    }
    return out;
}

struct parsed_packet {
    bool marker;
    uint8_t payload_type;
    uint16_t sequence;
    uint32_t timestamp;
    uint32_t ssrc;
    std::vector<uint8_t> payload;
};

parsed_packet parse(const std::vector<uint8_t> &bytes) {
    EXPECT_GE(bytes.size(), k_rtp_header_size);
    EXPECT_EQ(bytes[0], 0x80);
    return {(bytes[1] & 0x80) != 0,
            static_cast<uint8_t>(bytes[1] & 0x7F),
            read_be16(bytes.data() + 2),
            read_be32(bytes.data() + 4),
            read_be32(bytes.data() + 8),
            std::vector<uint8_t>(bytes.begin() + k_rtp_header_size, bytes.end())};
}

// What a send handler saw for one packet: each piece's pointer and bytes.
struct seen_piece {
    uint8_t *data;
    std::vector<uint8_t> bytes;
};
using seen_packet = std::vector<seen_piece>;

// A send handler that records every packet; optionally it then inverts the
// bytes of piece 1 in place, as an encrypting handler would, or refuses
// packets.
struct recorder {
    std::vector<seen_packet> packets;
    std::vector<clock::hrc::hrc_t> times;
    bool invert_payload = false;
    bool refuse = false;

    static RTP_ERROR handle(void *arg, buffer_vector &pieces) {
        auto *self = static_cast<recorder *>(arg);
        if (self->refuse) {
            return RTP_FAILED;
        }
        seen_packet seen;
        for (const auto &piece : pieces) {
            seen.push_back({piece.second, {piece.second, piece.second + piece.first}});
        }
        self->packets.push_back(std::move(seen));
        self->times.push_back(g_now);
        if (self->invert_payload && pieces.size() > 1) {
            for (size_t i = 0; i < pieces[1].first; ++i) {
                pieces[1].second[i] = static_cast<uint8_t>(~pieces[1].second[i]);
            }
        }
        return RTP_SUCCESS;
    }
};

class FrameQueueTest : public ::testing::Test {
public:
    void SetUp() override {
        g_now = clock::hrc::hrc_t(std::chrono::seconds(1000));
        g_sleeps.clear();
    }

    // A queue over a fake socket; `ssrc_cell` holds the SSRC flush_queue is
    // given, and the recorder runs as its send handler.
    void make(int flags, RTP_FORMAT format = FMT_OPUS) {
        sock = std::make_shared<tessal::socket>(flags, &fake);
        ASSERT_EQ(sock->init(AF_INET, SOCK_DGRAM, 0), RTP_SUCCESS);
        ASSERT_EQ(sock->install_handler(ssrc_cell, &seen, recorder::handle), RTP_SUCCESS);
        rtp_state = std::make_shared<rtp>(format, make_shared_ssrc(k_ssrc), false);
        rtp_state->set_time_source(fake_now);
        queue = std::make_unique<frame_queue>(sock, rtp_state, flags);
        queue->set_pacing_clock(fake_now, fake_sleep);
    }

    RTP_ERROR flush() { return queue->flush_queue(to4, to6, k_ssrc); }

    // One transaction of `count` packets of `size` bytes from `frame`.
    RTP_ERROR push(size_t count, size_t size = 8) {
        frame.assign(count * size, 0x5A);
        EXPECT_EQ(queue->init_transaction(frame.data(), false), RTP_SUCCESS);
        for (size_t i = 0; i < count; ++i) {
            EXPECT_EQ(queue->enqueue_message(frame.data() + i * size, size), RTP_SUCCESS);
        }
        return flush();
    }

    std::vector<parsed_packet> sent() {
        std::vector<parsed_packet> out;
        for (const auto &d : fake.sent()) {
            out.push_back(parse(d.bytes));
        }
        return out;
    }

    fake_syscalls fake;  // outlives the socket
    shared_ssrc ssrc_cell = make_shared_ssrc(k_ssrc);
    recorder seen;
    std::shared_ptr<tessal::socket> sock;
    std::shared_ptr<rtp> rtp_state;
    std::unique_ptr<frame_queue> queue;
    std::vector<uint8_t> frame;
    sockaddr_in to4 = tessal::socket::create_sockaddr(AF_INET, "127.0.0.1", 5004);
    sockaddr_in6 to6 = tessal::socket::create_ip6_sockaddr("::1", 5004);
};

TEST_F(FrameQueueTest, MarkerGoesOnTheLastPacketOfAMultiPacketFrame) {
    struct Case {
        const char *name;
        std::vector<bool> enqueue_markers;
        bool as_pieces;
        std::vector<bool> expected;
    };
    const Case cases[] = {
        {"one packet without marker", {false}, false, {false}},
        {"one packet with marker", {true}, false, {true}},
        {"two packets", {false, false}, false, {false, true}},
        {"three packets", {false, false, false}, false, {false, false, true}},
        {"three multi-piece packets", {false, false, false}, true, {false, false, true}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        make(RCE_NO_FLAGS);
        uint8_t payload[4] = {1, 2, 3, 4};
        const size_t before = fake.sent().size();
        ASSERT_EQ(queue->init_transaction(false), RTP_SUCCESS);
        for (bool marker : c.enqueue_markers) {
            if (c.as_pieces) {
                buffer_vector pieces{{2, payload}, {2, payload + 2}};
                ASSERT_EQ(queue->enqueue_message(pieces), RTP_SUCCESS);
            } else {
                ASSERT_EQ(queue->enqueue_message(payload, sizeof(payload), marker), RTP_SUCCESS);
            }
        }
        ASSERT_EQ(flush(), RTP_SUCCESS);
        const auto packets = sent();
        ASSERT_EQ(packets.size() - before, c.expected.size());
        for (size_t i = 0; i < c.expected.size(); ++i) {
            EXPECT_EQ(packets[before + i].marker, c.expected[i]) << "packet " << i;
            EXPECT_EQ(packets[before + i].payload, std::vector<uint8_t>(payload, payload + 4));
        }
    }
}

// Formats whose frame spans several transactions (one per H.26x NAL unit)
// place the marker themselves.
TEST_F(FrameQueueTest, WithoutAutoMarkerOnlyTheExplicitlyMarkedPacketIsMarked) {
    struct Case {
        const char *name;
        size_t packets;
        bool as_pieces;
        bool with_tags;
        // Marks the last packet after this many enqueues (0: never).
        size_t mark_after;
        std::vector<bool> expected;
    };
    const Case cases[] = {
        {"three packets, none marked", 3, false, false, 0, {false, false, false}},
        {"three packets, last marked", 3, false, false, 3, {false, false, true}},
        {"three packets, first marked", 3, false, false, 1, {true, false, false}},
        {"one packet marked", 1, false, false, 1, {true}},
        {"multi-piece packets with tag slots", 2, true, true, 2, {false, true}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        make(c.with_tags ? RCE_SRTP_AUTH_TAG : RCE_NO_FLAGS);
        queue->set_auto_marker(false);
        uint8_t payload[4] = {1, 2, 3, 4};
        const size_t before = fake.sent().size();
        ASSERT_EQ(queue->init_transaction(false), RTP_SUCCESS);
        for (size_t i = 1; i <= c.packets; ++i) {
            if (c.as_pieces) {
                buffer_vector pieces{{2, payload}, {2, payload + 2}};
                ASSERT_EQ(queue->enqueue_message(pieces), RTP_SUCCESS);
            } else {
                ASSERT_EQ(queue->enqueue_message(payload, sizeof(payload)), RTP_SUCCESS);
            }
            if (i == c.mark_after) {
                ASSERT_EQ(queue->mark_last_packet(), RTP_SUCCESS);
            }
        }
        ASSERT_EQ(flush(), RTP_SUCCESS);
        const auto packets = sent();
        ASSERT_EQ(packets.size() - before, c.expected.size());
        for (size_t i = 0; i < c.expected.size(); ++i) {
            EXPECT_EQ(packets[before + i].marker, c.expected[i]) << "packet " << i;
            // The payload, then the zeroed tag slot.
            std::vector<uint8_t> expected(payload, payload + 4);
            expected.resize(c.with_tags ? 4 + k_auth_tag_size : 4, 0);
            EXPECT_EQ(packets[before + i].payload, expected);
        }
    }
}

TEST_F(FrameQueueTest, MarkingNeedsAnEnqueuedPacket) {
    make(RCE_NO_FLAGS);
    ASSERT_EQ(queue->init_transaction(false), RTP_SUCCESS);
    stderr_capture capture;
    EXPECT_EQ(queue->mark_last_packet(), RTP_BAD_ARGUMENT);
    EXPECT_EQ(capture.stop(), "[Tessal][ERROR][::mark_last_packet] No packet to mark\n");
    EXPECT_EQ(queue->deinit_transaction(), RTP_SUCCESS);
}

TEST_F(FrameQueueTest, PacketsShareTheTimestampAndNumberConsecutively) {
    make(RCE_NO_FLAGS, FMT_H264);
    ASSERT_EQ(push(3), RTP_SUCCESS);
    g_now += std::chrono::seconds(1);
    ASSERT_EQ(push(2), RTP_SUCCESS);  // fresh timestamp: one second later
    g_now += std::chrono::seconds(1);
    frame.assign(8, 1);
    ASSERT_EQ(queue->init_transaction(frame.data(), true), RTP_SUCCESS);  // same timestamp
    ASSERT_EQ(queue->enqueue_message(frame.data(), 8), RTP_SUCCESS);
    ASSERT_EQ(flush(), RTP_SUCCESS);

    const auto p = sent();
    ASSERT_EQ(p.size(), 6u);
    const uint16_t s = p[0].sequence;
    for (size_t i = 0; i < p.size(); ++i) {
        EXPECT_EQ(p[i].sequence, static_cast<uint16_t>(s + i)) << "packet " << i;
        EXPECT_EQ(p[i].ssrc, k_ssrc);
        EXPECT_EQ(p[i].payload_type, FMT_H264);
    }
    EXPECT_EQ(p[1].timestamp, p[0].timestamp);
    EXPECT_EQ(p[2].timestamp, p[0].timestamp);
    EXPECT_EQ(p[3].timestamp - p[0].timestamp, 90000u);
    EXPECT_EQ(p[4].timestamp, p[3].timestamp);
    EXPECT_EQ(p[5].timestamp, p[3].timestamp);
}

TEST_F(FrameQueueTest, DiscardedPacketsLeaveASequenceGap) {
    make(RCE_NO_FLAGS);
    const uint16_t s = rtp_state->get_sequence();
    uint8_t payload[3] = {7, 8, 9};
    ASSERT_EQ(queue->init_transaction(false), RTP_SUCCESS);
    ASSERT_EQ(queue->enqueue_message(payload, 3), RTP_SUCCESS);
    ASSERT_EQ(queue->enqueue_message(payload, 3), RTP_SUCCESS);
    ASSERT_EQ(queue->deinit_transaction(), RTP_SUCCESS);
    ASSERT_EQ(queue->init_transaction(false), RTP_SUCCESS);
    ASSERT_EQ(queue->enqueue_message(payload, 3), RTP_SUCCESS);
    ASSERT_EQ(queue->init_transaction(false), RTP_SUCCESS);  // discards the open one
    ASSERT_EQ(queue->enqueue_message(payload, 3), RTP_SUCCESS);
    ASSERT_EQ(flush(), RTP_SUCCESS);
    const auto p = sent();
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].sequence, static_cast<uint16_t>(s + 3));
}

TEST_F(FrameQueueTest, AuthTagSlotsEndEveryPacketAndAreDistinct) {
    make(RCE_SRTP_AUTH_TAG);
    ASSERT_EQ(push(3, 5), RTP_SUCCESS);
    ASSERT_EQ(seen.packets.size(), 3u);
    std::set<uint8_t *> slots;
    for (const seen_packet &pkt : seen.packets) {
        ASSERT_EQ(pkt.size(), 3u);  // header, payload, tag
        EXPECT_EQ(pkt.back().bytes.size(), k_auth_tag_size);
        EXPECT_EQ(pkt.back().bytes, std::vector<uint8_t>(k_auth_tag_size, 0));
        slots.insert(pkt.back().data);
    }
    EXPECT_EQ(slots.size(), 3u);
    for (const auto &d : fake.sent()) {
        EXPECT_EQ(d.bytes.size(), k_rtp_header_size + 5 + k_auth_tag_size);
    }
}

TEST_F(FrameQueueTest, SrtpJoinsSeveralPiecesIntoOneCopy) {
    struct Case {
        const char *name;
        int flags;
        size_t piece_count;  // payload pieces enqueued
        bool joined;
        size_t expected_pieces;  // as the send handler sees them
    };
    const Case cases[] = {
        {"srtp joins three pieces", RCE_SRTP, 3, true, 2},
        {"srtp with auth tag", RCE_SRTP | RCE_SRTP_AUTH_TAG, 3, true, 3},
        {"srtp without encryption keeps the pieces", RCE_SRTP | RCE_SRTP_NO_ENCRYPTION, 3, false,
         4},
        {"no srtp keeps the pieces", RCE_NO_FLAGS, 3, false, 4},
        {"srtp never copies a single piece", RCE_SRTP, 1, false, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        seen = recorder{};
        seen.invert_payload = c.joined;
        make(c.flags);
        uint8_t bytes[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
        const std::vector<uint8_t> original(bytes, bytes + sizeof(bytes));
        buffer_vector pieces;
        if (c.piece_count == 1) {
            pieces = {{9, bytes}};
        } else {
            pieces = {{2, bytes}, {3, bytes + 2}, {4, bytes + 5}};
        }
        const buffer_vector caller_pieces = pieces;
        const size_t before = fake.sent().size();
        ASSERT_EQ(queue->init_transaction(false), RTP_SUCCESS);
        ASSERT_EQ(queue->enqueue_message(pieces), RTP_SUCCESS);
        ASSERT_EQ(flush(), RTP_SUCCESS);

        EXPECT_EQ(pieces, caller_pieces);
        EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + sizeof(bytes)), original);
        ASSERT_EQ(seen.packets.size(), 1u);
        const seen_packet &pkt = seen.packets[0];
        ASSERT_EQ(pkt.size(), c.expected_pieces);
        EXPECT_EQ(pkt[0].bytes.size(), k_rtp_header_size);
        std::vector<uint8_t> expected_payload = original;
        if (c.joined) {
            EXPECT_EQ(pkt[1].bytes, original);
            for (const auto &piece : caller_pieces) {
                EXPECT_NE(pkt[1].data, piece.second);
            }
            for (uint8_t &b : expected_payload) {
                b = static_cast<uint8_t>(~b);  // the handler's in-place rewrite
            }
        } else {
            for (size_t i = 0; i < caller_pieces.size(); ++i) {
                EXPECT_EQ(pkt[1 + i].data, caller_pieces[i].second) << "piece " << i;
                EXPECT_EQ(pkt[1 + i].bytes.size(), caller_pieces[i].first) << "piece " << i;
            }
        }
        if (c.flags & RCE_SRTP_AUTH_TAG) {
            EXPECT_EQ(pkt.back().bytes.size(), k_auth_tag_size);
            expected_payload.resize(expected_payload.size() + k_auth_tag_size, 0);
        }
        EXPECT_EQ(parse(fake.sent().at(before).bytes).payload, expected_payload);
    }
}

TEST_F(FrameQueueTest, EnqueuedPieceListIsACopy) {
    make(RCE_NO_FLAGS);
    uint8_t a[] = {0xA1, 0xA2};
    uint8_t b[] = {0xB1};
    ASSERT_EQ(queue->init_transaction(false), RTP_SUCCESS);
    buffer_vector &list = queue->get_buffer_vector();
    EXPECT_TRUE(list.empty());
    list = {{2, a}, {1, b}};
    ASSERT_EQ(queue->enqueue_message(list), RTP_SUCCESS);
    list[1] = {2, a};  // reused at once for the next packet
    ASSERT_EQ(queue->enqueue_message(list), RTP_SUCCESS);
    ASSERT_EQ(flush(), RTP_SUCCESS);
    const auto p = sent();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0].payload, (std::vector<uint8_t>{0xA1, 0xA2, 0xB1}));
    EXPECT_EQ(p[1].payload, (std::vector<uint8_t>{0xA1, 0xA2, 0xA1, 0xA2}));

    ASSERT_EQ(queue->init_transaction(false), RTP_SUCCESS);
    EXPECT_TRUE(queue->get_buffer_vector().empty());  // emptied per transaction
}

TEST_F(FrameQueueTest, MediaHeaderBufferPerFormat) {
    struct Case {
        const char *name;
        RTP_FORMAT format;
        size_t size;
    };
    const Case cases[] = {
        {"h264", FMT_H264, 4}, {"h265", FMT_H265, 5}, {"h266", FMT_H266, 5},
        {"v3c", FMT_V3C, 5},   {"opus", FMT_OPUS, 0}, {"pcmu", FMT_PCMU, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fake.script_sendmmsg({});
        make(RCE_NO_FLAGS, c.format);
        EXPECT_EQ(queue->get_media_headers(), nullptr);  // no transaction
        ASSERT_EQ(queue->init_transaction(false), RTP_SUCCESS);
        uint8_t *headers = queue->get_media_headers();
        if (c.size == 0) {
            EXPECT_EQ(headers, nullptr);
            continue;
        }
        ASSERT_NE(headers, nullptr);
        std::vector<uint8_t> expected;
        for (size_t i = 0; i < c.size; ++i) {
            headers[i] = static_cast<uint8_t>(0xF0 + i);
            expected.push_back(headers[i]);
        }
        const size_t before = fake.sent().size();
        buffer_vector pieces{{c.size, headers}};
        ASSERT_EQ(queue->enqueue_message(pieces), RTP_SUCCESS);
        ASSERT_EQ(flush(), RTP_SUCCESS);
        EXPECT_EQ(sent().at(before).payload, expected);
    }
}

TEST_F(FrameQueueTest, OwnedFrameLivesUntilTheSendReturns) {
    make(RCE_NO_FLAGS);
    std::unique_ptr<uint8_t[]> owned(new uint8_t[6]{1, 2, 3, 4, 5, 6});
    uint8_t *data = owned.get();
    ASSERT_EQ(queue->init_transaction(std::move(owned), false), RTP_SUCCESS);
    ASSERT_EQ(queue->enqueue_message(data, 3), RTP_SUCCESS);
    ASSERT_EQ(queue->enqueue_message(data + 3, 3), RTP_SUCCESS);
    ASSERT_EQ(flush(), RTP_SUCCESS);
    const auto p = sent();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[1].payload, (std::vector<uint8_t>{4, 5, 6}));
}

TEST_F(FrameQueueTest, NullFrameIsRefusedAndKeepsTheOpenTransaction) {
    make(RCE_NO_FLAGS);
    uint8_t payload[2] = {1, 2};
    ASSERT_EQ(queue->init_transaction(payload, false), RTP_SUCCESS);
    ASSERT_EQ(queue->enqueue_message(payload, 2), RTP_SUCCESS);
    EXPECT_EQ(queue->init_transaction(static_cast<uint8_t *>(nullptr), false), RTP_BAD_ARGUMENT);
    EXPECT_EQ(queue->init_transaction(std::unique_ptr<uint8_t[]>(), false), RTP_BAD_ARGUMENT);
    ASSERT_EQ(flush(), RTP_SUCCESS);
    EXPECT_EQ(fake.sent().size(), 1u);
}

TEST_F(FrameQueueTest, InvalidMessagesAreRefused) {
    struct Case {
        const char *name;
        RTP_ERROR (*enqueue)(frame_queue &, uint8_t *);
        const char *message;
    };
    const Case cases[] = {
        {"null data", [](frame_queue &q, uint8_t *) { return q.enqueue_message(nullptr, 4); },
         "Tried to enqueue invalid message"},
        {"zero length", [](frame_queue &q, uint8_t *p) { return q.enqueue_message(p, 0, true); },
         "Tried to enqueue invalid message"},
        {"empty piece list",
         [](frame_queue &q, uint8_t *) {
             buffer_vector none;
             return q.enqueue_message(none);
         },
         "Tried to enqueue an empty buffer"},
        {"null piece",
         [](frame_queue &q, uint8_t *p) {
             buffer_vector pieces{{1, p}, {4, nullptr}};
             return q.enqueue_message(pieces);
         },
         "Tried to enqueue invalid message"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fake.script_sendmmsg({});
        make(RCE_NO_FLAGS);
        uint8_t payload[4] = {1, 2, 3, 4};
        const uint16_t s = rtp_state->get_sequence();
        ASSERT_EQ(queue->init_transaction(false), RTP_SUCCESS);
        stderr_capture capture;
        EXPECT_EQ(c.enqueue(*queue, payload), RTP_BAD_ARGUMENT);
        EXPECT_NE(capture.stop().find(c.message), std::string::npos);
        EXPECT_EQ(rtp_state->get_sequence(), s);  // nothing added
    }
}

TEST_F(FrameQueueTest, FlushWithoutPacketsLeavesTheQueueIdle) {
    make(RCE_NO_FLAGS);
    ASSERT_EQ(queue->init_transaction(false), RTP_SUCCESS);
    stderr_capture capture;
    EXPECT_EQ(flush(), RTP_BAD_ARGUMENT);
    EXPECT_EQ(queue->deinit_transaction(), RTP_BAD_ARGUMENT);
    const std::string log = capture.stop();
    EXPECT_NE(log.find("[::flush_queue] Cannot send an empty packet!"), std::string::npos);
    EXPECT_NE(log.find("Trying to deinit transaction"), std::string::npos);
    EXPECT_TRUE(fake.sent().empty());
}

TEST_F(FrameQueueTest, DeinitOnAnIdleQueueWarns) {
    make(RCE_NO_FLAGS);
    stderr_capture capture;
    EXPECT_EQ(queue->deinit_transaction(), RTP_BAD_ARGUMENT);
    EXPECT_EQ(capture.stop(),
              "[Tessal][WARNING][::deinit_transaction] Trying to deinit "
              "transaction, no active transaction!\n");
}

TEST_F(FrameQueueTest, OperationsNeedAnOpenTransaction) {
    struct Case {
        const char *name;
        RTP_ERROR (*call)(FrameQueueTest &);
        const char *function;
    };
    const Case cases[] = {
        {"enqueue", [](FrameQueueTest &t) { return t.queue->enqueue_message(t.frame.data(), 1); },
         "enqueue_message"},
        {"enqueue pieces",
         [](FrameQueueTest &t) {
             buffer_vector pieces{{1, t.frame.data()}};
             return t.queue->enqueue_message(pieces);
         },
         "enqueue_message"},
        {"finalize",
         [](FrameQueueTest &t) {
             buffer_vector pieces{{1, t.frame.data()}};
             return t.queue->enqueue_finalize(pieces);
         },
         "enqueue_finalize"},
        {"update header", [](FrameQueueTest &t) { return t.queue->update_rtp_header(); },
         "update_rtp_header"},
        {"mark last packet", [](FrameQueueTest &t) { return t.queue->mark_last_packet(); },
         "mark_last_packet"},
        {"flush", [](FrameQueueTest &t) { return t.flush(); }, "flush_queue"},
    };
    make(RCE_NO_FLAGS);
    frame.assign(4, 0);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        stderr_capture capture;
        EXPECT_EQ(c.call(*this), RTP_BAD_ARGUMENT);
        EXPECT_NE(capture.stop().find(std::string("[::") + c.function + "] No active transaction"),
                  std::string::npos);
    }
    stderr_capture capture;
    buffer_vector &idle = queue->get_buffer_vector();
    idle.emplace_back(1, frame.data());
    EXPECT_TRUE(queue->get_buffer_vector().empty());
    EXPECT_NE(capture.stop().find("[::get_buffer_vector] No active transaction"),
              std::string::npos);
    EXPECT_TRUE(fake.sent().empty());
}

TEST_F(FrameQueueTest, FramesBeyondOneSlotBlockAreSentWhole) {
    make(RCE_SRTP_AUTH_TAG);
    constexpr size_t n = 12000;
    const uint16_t s = rtp_state->get_sequence();
    ASSERT_EQ(push(n, 2), RTP_SUCCESS);
    const auto p = sent();
    ASSERT_EQ(p.size(), n);
    std::set<uint8_t *> headers;
    std::set<uint8_t *> tags;
    for (size_t i = 0; i < n; ++i) {
        ASSERT_EQ(p[i].sequence, static_cast<uint16_t>(s + i)) << "packet " << i;
        ASSERT_EQ(p[i].marker, i == n - 1) << "packet " << i;
        headers.insert(seen.packets[i].front().data);
        tags.insert(seen.packets[i].back().data);
    }
    EXPECT_EQ(headers.size(), n);
    EXPECT_EQ(tags.size(), n);
    EXPECT_EQ(rtp_state->get_sent_pkts(), n);
}

TEST_F(FrameQueueTest, SystemCallClusteringBatchesAFrame) {
    struct Case {
        const char *name;
        int flags;
        size_t calls;
        std::vector<unsigned> first_counts;
    };
    const Case cases[] = {
        {"scc", RCE_SCC_ENABLED, 3, {1024, 1024, 452}},
        {"no scc", RCE_NO_FLAGS, 2500, {1, 1, 1}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        make(c.flags);
        const size_t before = fake.sendmmsg_counts().size();
        ASSERT_EQ(push(2500, 1), RTP_SUCCESS);
        const auto counts = fake.sendmmsg_counts();
        ASSERT_EQ(counts.size() - before, c.calls);
        for (size_t i = 0; i < c.first_counts.size(); ++i) {
            EXPECT_EQ(counts[before + i], c.first_counts[i]);
        }
    }
}

TEST_F(FrameQueueTest, SendFailureEndsTheTransaction) {
    struct Case {
        const char *name;
        int flags;
        std::vector<int> script;
        bool refuse;
        size_t sent;
        const char *message;
    };
    const std::string eperm = std::to_string(EPERM);
    const Case cases[] = {
        {"batched send",
         RCE_SCC_ENABLED,
         {-EPERM},
         false,
         0,
         "[::flush_queue] Failed to flush the message queue: "},
        {"paced send",
         RCE_PACE_FRAGMENTS,
         {1, -EPERM},
         false,
         1,
         "[::flush_queue] Failed to send packet: "},
        {"send handler refuses",
         RCE_NO_FLAGS,
         {},
         true,
         0,
         "[::flush_queue] Failed to flush the message queue: "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        seen = recorder{};
        seen.refuse = c.refuse;
        fake.script_sendmmsg({});
        make(c.flags);
        queue->set_frame_rate(true, k_interval_30fps, false);
        queue->set_pacing(8, 10);
        const size_t before = fake.sent().size();
        fake.script_sendmmsg(c.script);
        stderr_capture capture;
        errno = 0;
        EXPECT_EQ(push(3), RTP_SEND_FAILED);
        EXPECT_EQ(queue->deinit_transaction(), RTP_BAD_ARGUMENT);  // idle
        const std::string log = capture.stop();
        EXPECT_NE(log.find(c.message), std::string::npos) << log;
        if (!c.refuse) {
            EXPECT_NE(log.find(std::string(c.message) + eperm), std::string::npos) << log;
        }
        EXPECT_EQ(fake.sent().size() - before, c.sent);
    }
}

// What a push prefetches reaches, through the queue, the RTP state, the
// socket, each send handler's SSRC cell and what the handler updates; the
// socket's version tells a holder of the list when handlers came or went.
TEST_F(FrameQueueTest, HotLinesReachTheStateASendTouches) {
    make(0);
    hot_lines lines;
    queue->collect_hot_lines(lines);
    EXPECT_TRUE(lines.contains(rtp_state.get()));
    EXPECT_TRUE(lines.contains(sock.get()));
    EXPECT_TRUE(lines.contains(ssrc_cell.get()));
    EXPECT_TRUE(lines.contains(&seen));  // the handler's argument: no other line given
    EXPECT_LE(lines.size(), hot_lines::k_capacity);

    alignas(64) static uint8_t counters[64];
    const uint64_t before = sock->hot_lines_version();
    ASSERT_EQ(sock->install_handler(ssrc_cell, &seen, recorder::handle, counters), RTP_SUCCESS);
    const uint64_t installed = sock->hot_lines_version();
    EXPECT_NE(installed, before);
    lines.clear();
    queue->collect_hot_lines(lines);
    EXPECT_TRUE(lines.contains(counters));

    ASSERT_EQ(sock->remove_handler(ssrc_cell), RTP_SUCCESS);
    EXPECT_NE(sock->hot_lines_version(), installed);
    lines.clear();
    queue->collect_hot_lines(lines);
    EXPECT_FALSE(lines.contains(counters));
}

// A frame of one packet sent without a transaction goes out as the
// transaction would send it: the next sequence number, the clock's
// timestamp, the marker asked for, the same two pieces to the send handler
// (payload by reference), the packet counted, a send failure reported and
// logged alike. Queues that need a transaction (pacing, tag slots, payload
// headers) do not offer it.
TEST_F(FrameQueueTest, SingleSendMatchesTheTransactionPath) {
    const struct {
        const char *name;
        int flags;
        RTP_FORMAT format;
        bool offered;
    } cases[] = {
        {"plain", RCE_NO_FLAGS, FMT_OPUS, true},
        {"batched sends", RCE_SCC_ENABLED, FMT_OPUS, true},
        {"SRTP without tag", RCE_SRTP, FMT_OPUS, true},
        {"frame pacing", RCE_PACE_FRAMES, FMT_OPUS, false},
        {"fragment pacing", RCE_PACE_FRAGMENTS, FMT_OPUS, false},
        {"SRTP tag slot", RCE_SRTP | RCE_SRTP_AUTH_TAG, FMT_OPUS, false},
        {"payload header", RCE_NO_FLAGS, FMT_H265, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        seen = recorder{};
        make(c.flags, c.format);
        EXPECT_EQ(queue->can_send_single(), c.offered);
        if (!c.offered) {
            EXPECT_EQ(queue->send_single(frame.data(), 1, false, to4, to6, k_ssrc),
                      RTP_BAD_ARGUMENT);
            continue;
        }
        const size_t before = fake.sent().size();
        std::vector<uint8_t> payload(100, 0x33);
        // Transaction, single, single, transaction, single: 20 ms apart.
        const bool single[] = {false, true, true, false, true};
        const bool marker[] = {true, false, true, false, false};
        for (size_t i = 0; i < 5; ++i) {
            g_now += milliseconds(20);
            payload[0] = static_cast<uint8_t>(i);
            if (single[i]) {
                ASSERT_EQ(
                    queue->send_single(payload.data(), payload.size(), marker[i], to4, to6, k_ssrc),
                    RTP_SUCCESS);
            } else {
                ASSERT_EQ(queue->init_transaction(payload.data(), false), RTP_SUCCESS);
                ASSERT_EQ(queue->enqueue_message(payload.data(), payload.size(), marker[i]),
                          RTP_SUCCESS);
                ASSERT_EQ(flush(), RTP_SUCCESS);
            }
        }
        const auto packets = sent();
        ASSERT_EQ(packets.size() - before, 5u);
        ASSERT_EQ(seen.packets.size(), 5u);
        EXPECT_EQ(rtp_state->get_sent_pkts(), 5u);
        for (size_t i = 0; i < 5; ++i) {
            SCOPED_TRACE(i);
            const parsed_packet &p = packets[before + i];
            EXPECT_EQ(p.marker, marker[i]);
            EXPECT_EQ(p.ssrc, k_ssrc);
            EXPECT_EQ(p.payload.size(), payload.size());
            ASSERT_EQ(seen.packets[i].size(), 2u);
            EXPECT_EQ(seen.packets[i][0].bytes.size(), k_rtp_header_size);
            EXPECT_EQ(seen.packets[i][1].data, payload.data());
            if (i > 0) {
                const parsed_packet &prev = packets[before + i - 1];
                EXPECT_EQ(p.sequence, static_cast<uint16_t>(prev.sequence + 1));
                EXPECT_EQ(p.timestamp - prev.timestamp, 20u * 48);  // 48 kHz
            }
        }
        // A refused send: reported and logged as the transaction's.
        fake.script_sendmmsg({-EPERM});
        stderr_capture capture;
        EXPECT_EQ(queue->send_single(payload.data(), payload.size(), false, to4, to6, k_ssrc),
                  RTP_SEND_FAILED);
        EXPECT_NE(capture.stop().find("[::flush_queue] Failed to flush the message queue: "),
                  std::string::npos);
        fake.script_sendmmsg({});
    }
}

TEST_F(FrameQueueTest, FramePacingOnAFakeClock) {
    const nanoseconds i = k_interval_30fps;
    struct Case {
        const char *name;
        bool on;
        bool catch_up;
        void (*sleep)(nanoseconds);
        std::vector<nanoseconds> advance;  // clock advance before each push
        std::vector<nanoseconds> sent_at;  // relative to the first push
        std::vector<nanoseconds> sleeps;
    };
    const Case cases[] = {
        {"back to back frames leave one interval apart",
         true,
         false,
         fake_sleep,
         {nanoseconds(0), nanoseconds(0), nanoseconds(0)},
         {nanoseconds(0), i, 2 * i},
         {i, i}},
        {"a late frame goes at once and starts a new run",
         true,
         false,
         fake_sleep,
         {nanoseconds(0), nanoseconds(0), milliseconds(200), nanoseconds(0)},
         {nanoseconds(0), i, i + milliseconds(200), 2 * i + milliseconds(200)},
         {i, i}},
        {"a frame on time does not wait",
         true,
         false,
         fake_sleep,
         {nanoseconds(0), i, i},
         {nanoseconds(0), i, 2 * i},
         {}},
        {"catching up ends within half an interval of the slot",
         true,
         true,
         fake_sleep,
         {nanoseconds(0), nanoseconds(0), i * 6 / 10, nanoseconds(0)},
         {nanoseconds(0), nanoseconds(0), i * 6 / 10, i * 16 / 10},
         {i}},
        {"early by more than an interval waits one and restarts",
         true,
         false,
         stalled_sleep,
         {nanoseconds(0), nanoseconds(0), nanoseconds(0), nanoseconds(0)},
         {nanoseconds(0), nanoseconds(0), nanoseconds(0), nanoseconds(0)},
         {i, i, i}},
        {"frame rate off",
         false,
         false,
         fake_sleep,
         {nanoseconds(0), nanoseconds(0)},
         {nanoseconds(0), nanoseconds(0)},
         {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        seen = recorder{};
        make(RCE_PACE_FRAMES);
        queue->set_pacing_clock(fake_now, c.sleep);
        queue->set_frame_rate(c.on, i, c.catch_up);
        const clock::hrc::hrc_t start = g_now;
        for (nanoseconds advance : c.advance) {
            g_now += advance;
            ASSERT_EQ(push(1), RTP_SUCCESS);
        }
        ASSERT_EQ(seen.times.size(), c.sent_at.size());
        for (size_t k = 0; k < c.sent_at.size(); ++k) {
            EXPECT_EQ((seen.times[k] - start).count(), c.sent_at[k].count()) << "frame " << k;
        }
        EXPECT_EQ(counts(g_sleeps), counts(c.sleeps));
    }
}

TEST_F(FrameQueueTest, FragmentPacingOnAFakeClock) {
    struct Case {
        const char *name;
        int64_t numerator;
        int64_t denominator;
        bool catch_up;
        nanoseconds gap;  // between consecutive packets
        size_t calls;     // sendmmsg calls for the frame
    };
    const Case cases[] = {
        {"eight tenths of the interval", 8, 10, false, nanoseconds(2'666'666), 10},
        {"whole interval", 1, 1, false, nanoseconds(3'333'333), 10},
        {"fraction not positive", 0, 10, false, nanoseconds(0), 10},
        {"catching up sends in one call", 8, 10, true, nanoseconds(0), 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        seen = recorder{};
        fake.script_sendmmsg({});
        make(RCE_PACE_FRAGMENTS | RCE_SCC_ENABLED);
        queue->set_frame_rate(true, k_interval_30fps, c.catch_up);
        queue->set_pacing(c.numerator, c.denominator);
        const size_t before = fake.sendmmsg_counts().size();
        const clock::hrc::hrc_t start = g_now;
        ASSERT_EQ(push(10), RTP_SUCCESS);
        EXPECT_EQ(fake.sendmmsg_counts().size() - before, c.calls);
        ASSERT_EQ(seen.times.size(), 10u);
        for (size_t k = 0; k < 10; ++k) {
            EXPECT_EQ((seen.times[k] - start).count(), c.gap.count() * static_cast<int64_t>(k))
                << "packet " << k;
        }
    }
}

TEST_F(FrameQueueTest, FramePacingHoldsOnTheRealClock) {
    make(RCE_PACE_FRAMES);
    queue->set_pacing_clock(nullptr, nullptr);
    queue->set_frame_rate(true, k_interval_30fps, false);
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_EQ(push(1), RTP_SUCCESS);
    ASSERT_EQ(push(1), RTP_SUCCESS);
    const auto elapsed = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(elapsed, milliseconds(25));
    EXPECT_LT(elapsed, std::chrono::seconds(10));
    EXPECT_EQ(fake.sent().size(), 2u);
}

TEST_F(FrameQueueTest, PacingCanBeReconfiguredWhilePushing) {
    make(RCE_PACE_FRAMES | RCE_PACE_FRAGMENTS);
    queue->set_frame_rate(true, k_interval_30fps, false);
    std::atomic<bool> done{false};
    std::thread configurer([&] {
        for (int k = 0; !done.load(); ++k) {
            queue->set_frame_rate(k % 3 != 0, nanoseconds(1'000'000 * (k % 40)), k % 2 == 0);
            queue->set_pacing(k % 10, 10);
            std::this_thread::yield();
        }
    });
    constexpr size_t frames = 300;
    size_t ok = 0;
    for (size_t k = 0; k < frames; ++k) {
        ok += push(2) == RTP_SUCCESS ? 1 : 0;
    }
    done.store(true);
    configurer.join();
    EXPECT_EQ(ok, frames);
    EXPECT_EQ(fake.sent().size(), 2 * frames);
}

}  // namespace
