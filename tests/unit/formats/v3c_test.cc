// The V3C payload format: units with the two-byte H.265 unit header, every
// push one unit sent whole or as FUs of payload header type 57, received
// without a start code. The send side is observed at the system-call seam,
// the receive side is driven as the reception flow drives it.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "formats/h26x.hh"
#include "rtp/rtp.hh"
#include "support/fake_syscalls.hh"
#include "support/rtp_builder.hh"
#include "support/stderr_capture.hh"
#include "transport/socket.hh"
#include "util/byte_reader.hh"

using namespace tessal;
using tessal::test::fake_syscalls;
using tessal::test::stderr_capture;

namespace {

using bytes = std::vector<uint8_t>;

constexpr uint32_t k_ssrc = 0x7C3C0001;
constexpr uint32_t k_ts = 0x11223344;  // 287454020
constexpr uint8_t k_pt = 109;          // FMT_V3C

clock::hrc::hrc_t g_now{std::chrono::seconds(1000)};
clock::hrc::hrc_t fake_now() {
    return g_now;
}

struct frame_deleter {
    void operator()(frame::rtp_frame *f) const { frame::dealloc_frame(f); }
};
using frame_ptr = std::unique_ptr<frame::rtp_frame, frame_deleter>;

bytes payload_of(const frame::rtp_frame &f) {
    return {f.payload, f.payload + f.payload_length};
}

bytes cat(std::initializer_list<bytes> parts) {
    bytes all;
    for (const bytes &p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

std::string log_line(const char *level, const char *function, const std::string &message) {
    return std::string("[Tessal][") + level + "][::" + function + "] " + message + "\n";
}
const char *const k_warning = "WARNING";
const char *const k_info = "INFO";

// A unit of `size` bytes behind `header`, its body counting up from 0x10.
bytes unit(const bytes &header, size_t size) {
    bytes u = header;
    for (size_t i = header.size(); i < size; ++i) {
        u.push_back(static_cast<uint8_t>(0x10 + (i - header.size())));
    }
    return u;
}

// The 12-byte RTP header the sender writes: version 2, payload type 109,
// the explicit timestamp k_ts and k_ssrc.
bytes rtp_header(uint16_t seq, bool marker) {
    return {0x80,
            static_cast<uint8_t>(k_pt | (marker ? 0x80 : 0)),
            static_cast<uint8_t>(seq >> 8),
            static_cast<uint8_t>(seq),
            0x11,
            0x22,
            0x33,
            0x44,
            static_cast<uint8_t>(k_ssrc >> 24),
            static_cast<uint8_t>(k_ssrc >> 16),
            static_cast<uint8_t>(k_ssrc >> 8),
            static_cast<uint8_t>(k_ssrc)};
}

// A formats::v3c on a fake socket; every datagram it sends is recorded.
class sender {
public:
    explicit sender(size_t payload_size) {
        sock_ = std::make_shared<tessal::socket>(RCE_NO_FLAGS, &fake_);
        EXPECT_EQ(sock_->init(AF_INET, SOCK_DGRAM, 0), RTP_SUCCESS);
        state_ = std::make_shared<rtp>(FMT_V3C, make_shared_ssrc(k_ssrc), false);
        state_->set_payload_size(payload_size);
        state_->set_timestamp(k_ts);
        format_ = std::make_unique<formats::v3c>(sock_, state_, RCE_NO_FLAGS);
    }

    rtp &state() { return *state_; }

    // Pushes a copy of exactly `data.size()` bytes, so a read past the
    // caller's buffer is a heap overflow under AddressSanitizer.
    RTP_ERROR push(const bytes &data, int flags = 0) {
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[data.size()]);
        std::memcpy(buffer.get(), data.data(), data.size());
        return format_->push_frame(to4_, to6_, buffer.get(), data.size(), flags, k_ssrc);
    }

    // Datagrams sent since the last call.
    std::vector<bytes> take_sent() {
        std::vector<bytes> out;
        const auto all = fake_.sent();
        for (size_t i = taken_; i < all.size(); ++i) {
            out.push_back(all[i].bytes);
        }
        taken_ = all.size();
        return out;
    }

private:
    fake_syscalls fake_;  // outlives the socket
    std::shared_ptr<tessal::socket> sock_;
    std::shared_ptr<rtp> state_;
    std::unique_ptr<formats::v3c> format_;
    size_t taken_ = 0;
    sockaddr_in to4_ = tessal::socket::create_sockaddr(AF_INET, "127.0.0.1", 5004);
    sockaddr_in6 to6_ = tessal::socket::create_ip6_sockaddr("::1", 5004);
};

struct received {
    RTP_ERROR rc = RTP_SUCCESS;
    std::vector<frame_ptr> frames;
};

// A formats::v3c on the fake clock, fed like the reception flow feeds it.
class receiver {
public:
    explicit receiver(int flags = 0)
        : format_(std::make_unique<formats::v3c>(
              nullptr, std::make_shared<rtp>(FMT_V3C, make_shared_ssrc(1), false), flags)),
          flags_(flags) {
        format_->set_time_source(fake_now);
    }

    formats::v3c &format() { return *format_; }

    received feed(uint16_t seq, const bytes &payload, uint32_t ts = k_ts, bool marker = false) {
        return feed_datagram(test::rtp_packet(
            k_ssrc, seq, payload, static_cast<uint8_t>(k_pt | (marker ? 0x80 : 0)), ts));
    }

    received feed_datagram(bytes datagram) {
        received r;
        frame::rtp_frame *out = nullptr;
        EXPECT_EQ(rtp::packet_handler(nullptr, flags_, datagram.data(), datagram.size(), &out),
                  RTP_PKT_CHANGED);
        r.rc = formats::h26x::packet_handler(format_.get(), flags_, datagram.data(),
                                             datagram.size(), &out);
        // A packet the handler does not hand back is no longer the caller's.
        EXPECT_EQ(out != nullptr, r.rc == RTP_FRAME_READY) << "result " << r.rc;
        if (r.rc == RTP_FRAME_READY) {
            r.frames.emplace_back(out);
        }
        frame::rtp_frame *next = nullptr;
        if (r.rc == RTP_FRAMES_READY) {  // whole access units in resync mode
            while (format_->frame_getter(&next) == RTP_FRAME_READY) {
                r.frames.emplace_back(next);
            }
        }
        EXPECT_EQ(format_->frame_getter(&next), RTP_NO_SUCH_ITEM) << "V3C never aggregates";
        return r;
    }

private:
    std::unique_ptr<formats::v3c> format_;
    int flags_;
};

// A parsed packet, for the classification operations.
frame_ptr parsed(const bytes &payload) {
    bytes datagram = test::rtp_packet(k_ssrc, 1, payload, k_pt, k_ts);
    frame::rtp_frame *out = nullptr;
    EXPECT_EQ(rtp::packet_handler(nullptr, 0, datagram.data(), datagram.size(), &out),
              RTP_PKT_CHANGED);
    return frame_ptr(out);
}

enum fu_position { FU_START, FU_MIDDLE, FU_END };

// One FU of the unit with header `header`, carrying `data`.
bytes fu(const bytes &header, fu_position at, const bytes &data) {
    const uint8_t se = at == FU_START ? 0x80 : at == FU_END ? 0x40 : 0x00;
    bytes p = {static_cast<uint8_t>((header[0] & 0x81) | 0x72), header[1],
               static_cast<uint8_t>(se | (header[0] >> 1))};
    p.insert(p.end(), data.begin(), data.end());
    return p;
}

class V3cTest : public ::testing::Test {
protected:
    void SetUp() override { g_now = clock::hrc::hrc_t(std::chrono::seconds(1000)); }
};

// --- the wire -------------------------------------------------------------------

// Payload size 12: fragments of 12 - 2 - 1 = 9 bytes; the 2-byte unit header
// is not carried, the receiver rebuilds it from the payload and FU headers.
TEST_F(V3cTest, FuPacketsOnTheWire) {
    struct Case {
        const char *name;
        bytes unit;
        std::vector<bytes> payloads;  // after the RTP header
    };
    const Case cases[] = {
        {"type 39, layer 0: payload header 0x72 0x01, FU headers 0xA7, 0x27, 0x67",
         unit({0x4E, 0x01}, 22),
         {{0x72, 0x01, 0xA7, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18},
          {0x72, 0x01, 0x27, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F, 0x20, 0x21},
          {0x72, 0x01, 0x67, 0x22, 0x23}}},
        {"layer 33 (its high bit in byte 0), TID 2: payload header 0x73 0x0A",
         unit({0x4F, 0x0A}, 13),
         {{0x73, 0x0A, 0xA7, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18},
          {0x73, 0x0A, 0x67, 0x19, 0x1A}}},
        {"type 1, layer 1: FU headers 0x81, 0x41",
         unit({0x02, 0x09}, 14),
         {{0x72, 0x09, 0x81, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18},
          {0x72, 0x09, 0x41, 0x19, 0x1A, 0x1B}}},
        {"exactly the payload size: one packet, the unit as it is",
         unit({0x4E, 0x01}, 12),
         {{0x4E, 0x01, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sender s(12);
        const uint16_t seq = s.state().get_sequence();
        ASSERT_EQ(s.push(c.unit), RTP_SUCCESS);
        const auto sent = s.take_sent();
        ASSERT_EQ(sent.size(), c.payloads.size());
        for (size_t i = 0; i < sent.size(); ++i) {
            SCOPED_TRACE("packet " + std::to_string(i));
            // RFC 3550 section 5.1: one timestamp, consecutive sequence
            // numbers, the marker on the last packet of the push only.
            EXPECT_EQ(sent[i],
                      cat({rtp_header(static_cast<uint16_t>(seq + i), i + 1 == sent.size()),
                           c.payloads[i]}));
        }
    }
}

// Start codes, several units' worth of bytes and push flags change nothing:
// the buffer is one unit.
TEST_F(V3cTest, WholeBufferIsOneUnitWhateverItHoldsAndWhateverTheFlags) {
    struct Case {
        const char *name;
        bytes data;
        int flags;
    };
    const bytes with_start_codes = {0x00, 0x00, 0x00, 0x01, 0x4E, 0x01, 0xAA,
                                    0x00, 0x00, 0x01, 0x02, 0x09, 0xBB};
    const Case cases[] = {
        {"start codes inside, no flags", with_start_codes, 0},
        {"start codes inside, RTP_PUSH_NO_AGGREGATION", with_start_codes, RTP_PUSH_NO_AGGREGATION},
        {"start codes inside, RTP_PUSH_ONE_NAL", with_start_codes, RTP_PUSH_ONE_NAL},
        {"no start code at all (H.26x would refuse it)", {0x4E, 0x01, 0xCC, 0xDD}, 0},
        {"a unit of its header alone", {0x4E, 0x01}, 0},
        {"a single byte", {0x4E}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sender s(1000);
        const uint16_t seq = s.state().get_sequence();
        stderr_capture capture;
        ASSERT_EQ(s.push(c.data, c.flags), RTP_SUCCESS);
        EXPECT_EQ(capture.stop(), "");
        const auto sent = s.take_sent();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0], cat({rtp_header(seq, true), c.data}));
    }
}

// Units around the payload size, and of several payloads, go out in the
// expected number of packets and come back from our receiver byte-exact and
// without a start code, across the sequence-number wrap.
TEST_F(V3cTest, UnitsAroundThePayloadSizeRoundTrip) {
    constexpr size_t k_payload = 1000;
    constexpr size_t k_fragment = k_payload - 3;
    struct Case {
        const char *name;
        size_t size;
        size_t packets;
    };
    const Case cases[] = {
        {"header and one byte", 3, 1},
        {"payload size - 1", k_payload - 1, 1},
        {"payload size", k_payload, 1},
        {"payload size + 1", k_payload + 1, 2},
        {"two full fragments", 2 * k_fragment + 2, 2},
        {"two full fragments + 1", 2 * k_fragment + 3, 3},
        {"several payloads", 5 * k_payload + 17, 6},
        {"past 64 KiB", 70000, (70000 - 2 + k_fragment - 1) / k_fragment},
    };
    for (int flags : {0, int{RCE_H26X_OMIT_START_CODE}}) {
        sender s(k_payload);
        while (s.state().get_sequence() != 65533) {
            s.state().inc_sequence();
        }
        receiver r(flags);
        uint32_t ts = k_ts;
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.name) + ", flags " + std::to_string(flags));
            const bytes u = unit({0x4E, 0x01}, c.size);
            s.state().set_timestamp(ts += 3000);
            ASSERT_EQ(s.push(u), RTP_SUCCESS);
            const auto sent = s.take_sent();
            ASSERT_EQ(sent.size(), c.packets);
            std::vector<bytes> got;
            for (size_t i = 0; i < sent.size(); ++i) {
                EXPECT_LE(sent[i].size(), k_rtp_header_size + k_payload);
                received rx = r.feed_datagram(sent[i]);
                EXPECT_EQ(rx.rc, i + 1 == sent.size() ? RTP_FRAME_READY : RTP_SUCCESS);
                for (const frame_ptr &f : rx.frames) {
                    got.push_back(payload_of(*f));
                }
            }
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(got[0], u);
        }
        EXPECT_LT(s.state().get_sequence(), 65533) << "the run crossed the sequence wrap";
    }
}

// --- payload headers ------------------------------------------------------------

TEST_F(V3cTest, CodecConstantsAndUnitType) {
    receiver r;
    formats::v3c &v = r.format();
    EXPECT_EQ(v.get_payload_header_size(), 2);
    EXPECT_EQ(v.get_nal_header_size(), 2);
    EXPECT_EQ(v.get_fu_header_size(), 1);
    EXPECT_EQ(v.get_start_code_range(), 4);
    struct Case {
        const char *name;
        bytes header;
        uint8_t type;
    };
    const Case cases[] = {
        {"type 39", {0x4E, 0x01}, 39},
        {"the layer id's high bit is shifted out", {0x4F, 0x01}, 39},
        {"F is not masked off", {0xCE, 0x01}, 0x67},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        bytes header = c.header;
        EXPECT_EQ(v.get_nal_type(header.data()), c.type);
    }
}

TEST_F(V3cTest, ClassifiesPayloads) {
    struct Case {
        const char *name;
        bytes payload;
        formats::fragment_kind expected;
    };
    const Case cases[] = {
        {"empty", {}, formats::FRAGMENT_INVALID},
        {"one byte", {0x4E}, formats::FRAGMENT_INVALID},
        {"FU payload header without FU header", {0x72, 0x01}, formats::FRAGMENT_INVALID},
        {"unit of its header alone", {0x4E, 0x01}, formats::FRAGMENT_NONE},
        {"FU start", {0x72, 0x01, 0xA7}, formats::FRAGMENT_FIRST},
        {"FU middle", {0x72, 0x01, 0x27}, formats::FRAGMENT_MIDDLE},
        {"FU end", {0x72, 0x01, 0x67}, formats::FRAGMENT_LAST},
        {"FU start and end", {0x72, 0x01, 0xE7}, formats::FRAGMENT_INVALID},
        {"FU header 0xC0", {0x72, 0x01, 0xC0}, formats::FRAGMENT_INVALID},
        {"FU header 0xBF", {0x72, 0x01, 0xBF}, formats::FRAGMENT_FIRST},
        {"0x73: the low bit of the first byte is ignored",
         {0x73, 0x01, 0x27, 0xAA},
         formats::FRAGMENT_MIDDLE},
        {"0x70 is a single unit", {0x70, 0x01, 0xA7}, formats::FRAGMENT_NONE},
        {"0xF2 (F set) is a single unit", {0xF2, 0x01, 0xA7}, formats::FRAGMENT_NONE},
        {"H.265 AP type 48 is a single unit", {0x60, 0x01, 0x00}, formats::FRAGMENT_NONE},
        {"H.265 FU type 49 is a single unit", {0x62, 0x01, 0x93}, formats::FRAGMENT_NONE},
    };
    receiver r;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        frame_ptr packet = parsed(c.payload);
        EXPECT_EQ(r.format().get_fragment_type(packet.get()), c.expected);
    }
    EXPECT_EQ(r.format().get_fragment_type(nullptr), formats::FRAGMENT_INVALID);
}

// Layer id = (low bit of byte 0) << 5 | byte 1 >> 3: layer 0 holds the key
// units, any other layer depends on them.
TEST_F(V3cTest, ClassifiesUnitsByLayerId) {
    struct Case {
        const char *name;
        bytes payload;
        formats::nal_class fu_class;  // of the FU payload
        bytes unit_header;            // the unit it carries
    };
    const Case cases[] = {
        {"layer 0", {0x72, 0x01, 0xA7}, formats::NAL_CLASS_INTRA, {0x4E, 0x01}},
        {"layer 0, TID 7", {0x72, 0x07, 0x27}, formats::NAL_CLASS_INTRA, {0x4E, 0x07}},
        {"layer 1", {0x72, 0x09, 0xA7}, formats::NAL_CLASS_INTER, {0x4E, 0x09}},
        {"layer 32, only the high bit", {0x73, 0x01, 0xA7}, formats::NAL_CLASS_INTER, {0x4F, 0x01}},
        {"layer 63", {0x73, 0xF9, 0x41}, formats::NAL_CLASS_INTER, {0x03, 0xF9}},
    };
    receiver r;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        frame_ptr packet = parsed(c.payload);
        EXPECT_EQ(r.format().get_nal_type(packet.get()), c.fu_class);
        bytes header = c.unit_header;
        EXPECT_EQ(r.format().get_nal_unit_class(header.data()), c.fu_class);
    }
    frame_ptr short_packet = parsed({0x72});
    EXPECT_EQ(r.format().get_nal_type(short_packet.get()), formats::NAL_CLASS_OTHER);
    EXPECT_EQ(r.format().get_nal_type(static_cast<frame::rtp_frame *>(nullptr)),
              formats::NAL_CLASS_OTHER);
}

TEST_F(V3cTest, RebuildsUnitHeaderFromFuHeaders) {
    struct Case {
        const char *name;
        bytes payload;
        bytes header;
    };
    const Case cases[] = {
        {"type 39, layer 0", {0x72, 0x01, 0xA7}, {0x4E, 0x01}},
        {"keeps the layer id's high bit and TID", {0x73, 0x0A, 0x27}, {0x4F, 0x0A}},
        {"type from the end FU header", {0x72, 0x09, 0x41}, {0x02, 0x09}},
    };
    receiver r;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        constexpr size_t k_pos = 3;
        bytes out(8, 0xEE);
        bytes payload = c.payload;
        r.format().get_nal_header_from_fu_headers(k_pos, payload.data(), out.data());
        bytes expected(8, 0xEE);
        std::copy(c.header.begin(), c.header.end(), expected.begin() + k_pos);
        EXPECT_EQ(out, expected);
    }
}

// --- the receiver -----------------------------------------------------------------

TEST_F(V3cTest, JoinsFusInAnyArrivalOrderWithoutAStartCode) {
    const bytes header = {0x4E, 0x01};
    const bytes parts[] = {{0xA1, 0xA2}, {0xB1}, {0xC1, 0xC2, 0xC3}};
    const bytes packets[] = {fu(header, FU_START, parts[0]), fu(header, FU_MIDDLE, parts[1]),
                             fu(header, FU_END, parts[2])};
    EXPECT_EQ(packets[0], (bytes{0x72, 0x01, 0xA7, 0xA1, 0xA2}));
    struct Case {
        const char *name;
        int flags;
        size_t order[3];
    };
    const Case cases[] = {
        {"in order", 0, {0, 1, 2}},
        {"middle first", 0, {1, 0, 2}},
        {"reversed", 0, {2, 1, 0}},
        {"start code omitted as well", RCE_H26X_OMIT_START_CODE, {0, 2, 1}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        receiver r(c.flags);
        for (size_t i = 0; i < 3; ++i) {
            const size_t k = c.order[i];
            received got = r.feed(static_cast<uint16_t>(100 + k), packets[k]);
            if (i < 2) {
                EXPECT_EQ(got.rc, RTP_SUCCESS);
                continue;
            }
            ASSERT_EQ(got.rc, RTP_FRAME_READY);
            EXPECT_EQ(payload_of(*got.frames[0]), cat({header, parts[0], parts[1], parts[2]}));
            EXPECT_EQ(got.frames[0]->header.timestamp, k_ts);
        }
    }
}

TEST_F(V3cTest, SingleUnitPacketsAreDeliveredAsTheyAre) {
    const bytes payloads[] = {{0x4E, 0x01, 0x10, 0x11}, {0x70, 0x01, 0xA7}, {0x4E, 0x01}};
    for (const bytes &payload : payloads) {
        SCOPED_TRACE(std::to_string(payload.size()) + " bytes");
        receiver r;
        received got = r.feed(7, payload);
        ASSERT_EQ(got.rc, RTP_FRAME_READY);
        EXPECT_EQ(payload_of(*got.frames[0]), payload);
    }
}

// Every cut of an FU start packet classifies without reading past the cut.
TEST_F(V3cTest, TruncatedFuPacketIsRejectedOrKeptCleanly) {
    const bytes packet = {0x72, 0x01, 0xA7, 0xA1, 0xA2};
    for (size_t len = 0; len <= packet.size(); ++len) {
        SCOPED_TRACE("length " + std::to_string(len));
        receiver r;
        stderr_capture capture;
        received got =
            r.feed(5, bytes(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(len)));
        const std::string log = capture.stop();
        if (len < 3) {
            EXPECT_EQ(got.rc, RTP_FAILED);
            EXPECT_EQ(log, log_line(k_warning, "packet_handler", "invalid frame received!"));
        } else {
            EXPECT_EQ(got.rc, RTP_SUCCESS);  // a start fragment waits for its end
            EXPECT_EQ(log, "");
        }
    }
}

// Resync mode: a unit of a layer other than 0 is dropped until a layer-0
// unit has arrived, in FUs or in a packet of its own.
TEST_F(V3cTest, ResyncWaitsForALayerZeroUnit) {
    const bytes key = {0x4E, 0x01};    // layer 0
    const bytes other = {0x4E, 0x09};  // layer 1
    struct Case {
        const char *name;
        bool key_in_fus;
    };
    const Case cases[] = {{"key unit in FUs", true}, {"key unit in a packet of its own", false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        receiver r(RCE_H26X_RESYNC_ON_KEY_FRAME);
        stderr_capture dropping;
        EXPECT_EQ(r.feed(10, fu(other, FU_START, {0xA1}), k_ts).rc, RTP_SUCCESS);
        const received dropped = r.feed(11, fu(other, FU_END, {0xA2}), k_ts, true);
        EXPECT_EQ(dropped.rc, RTP_SUCCESS);
        EXPECT_TRUE(dropped.frames.empty());
        EXPECT_EQ(dropping.stop(),
                  log_line(k_warning, "packet_handler",
                           "Dropping h26x access unit because of missing reference. "
                           "Timestamp: 287454020. Seq: 10 - 11"));

        stderr_capture found;
        const uint32_t key_ts = k_ts + 3000;
        if (c.key_in_fus) {
            EXPECT_EQ(r.feed(12, fu(key, FU_START, {0xB1}), key_ts).rc, RTP_SUCCESS);
            const received joined = r.feed(13, fu(key, FU_END, {0xB2}), key_ts, true);
            ASSERT_EQ(joined.rc, RTP_FRAMES_READY);
            ASSERT_EQ(joined.frames.size(), 1u);
            EXPECT_EQ(payload_of(*joined.frames[0]), (bytes{0x4E, 0x01, 0xB1, 0xB2}));
        } else {
            EXPECT_EQ(r.feed(12, {0x4E, 0x01, 0xB0}, key_ts).rc, RTP_SUCCESS);
            EXPECT_EQ(r.feed(13, {0x4E, 0x01, 0xB1}, key_ts, true).rc, RTP_FRAMES_READY);
        }
        EXPECT_EQ(found.stop(), log_line(k_info, "packet_handler",
                                         "Found a key frame at ts " + std::to_string(key_ts)));

        stderr_capture quiet;
        EXPECT_EQ(r.feed(14, fu(other, FU_START, {0xC1}), key_ts + 3000).rc, RTP_SUCCESS);
        const received after = r.feed(15, fu(other, FU_END, {0xC2}), key_ts + 3000, true);
        ASSERT_EQ(after.rc, RTP_FRAMES_READY);
        ASSERT_EQ(after.frames.size(), 1u);
        EXPECT_EQ(payload_of(*after.frames[0]), (bytes{0x4E, 0x09, 0xC1, 0xC2}));
        EXPECT_EQ(quiet.stop(), "");
    }
}

}  // namespace
