// The receive side of the H.264, H.265 and H.266 formats, driven the way the
// reception flow drives it: real RTP datagrams parsed by the RTP reception
// handler, then the format's handler, then its frame getter after
// RTP_FRAMES_READY. A fake clock drives the duplicate window and the garbage
// collection.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "formats/h26x.hh"
#include "rtp/rtp.hh"
#include "support/rtp_builder.hh"
#include "support/stderr_capture.hh"

using namespace tessal;
using tessal::test::stderr_capture;

namespace {

using bytes = std::vector<uint8_t>;

enum class codec { h264, h265, h266 };

constexpr uint32_t k_ssrc = 0x5EED0002;
constexpr uint32_t k_ts = 0x00ABCDEF;  // 11259375
constexpr uint8_t k_pt = 96;

clock::hrc::hrc_t g_now{std::chrono::seconds(1000)};
clock::hrc::hrc_t fake_now() {
    return g_now;
}
void advance_ms(int64_t ms) {
    g_now += std::chrono::milliseconds(ms);
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
const char *const k_error = "ERROR";
const char *const k_warning = "WARNING";
const char *const k_info = "INFO";

bytes start_code(codec c) {
    return c == codec::h264 ? bytes{0, 0, 1} : bytes{0, 0, 0, 1};
}

// NAL headers by class: IDR slice (intra), non-IDR/trailing slice (inter),
// and a parameter set (neither).
bytes intra_header(codec c) {
    switch (c) {
        case codec::h264:
            return {0x65};  // NRI 3, type 5
        case codec::h265:
            return {0x26, 0x01};  // type 19, TID 1
        case codec::h266:
            return {0x00, 0x39};  // type 7, TID 1
    }
    return {};
}
bytes inter_header(codec c) {
    switch (c) {
        case codec::h264:
            return {0x41};  // NRI 2, type 1
        case codec::h265:
            return {0x02, 0x01};  // type 1
        case codec::h266:
            return {0x00, 0x01};  // type 0
    }
    return {};
}

enum fu_position { FU_START, FU_MIDDLE, FU_END };

// One FU of the NAL unit with header `nal`, carrying `data`.
bytes fu(codec c, const bytes &nal, fu_position at, const bytes &data) {
    const uint8_t se = at == FU_START ? 0x80 : at == FU_END ? 0x40 : 0x00;
    bytes p;
    switch (c) {
        case codec::h264:  // FU indicator (F, NRI, 28), FU header
            p = {static_cast<uint8_t>((nal[0] & 0xE0) | 28),
                 static_cast<uint8_t>(se | (nal[0] & 0x1F))};
            break;
        case codec::h265:  // payload header type 49, FU header with the 6-bit type
            p = {static_cast<uint8_t>((nal[0] & 0x81) | (49 << 1)), nal[1],
                 static_cast<uint8_t>(se | ((nal[0] >> 1) & 0x3F))};
            break;
        case codec::h266:  // payload header type 29, FU header with the 5-bit type
            p = {nal[0], static_cast<uint8_t>((29 << 3) | (nal[1] & 0x07)),
                 static_cast<uint8_t>(se | (nal[1] >> 3))};
            break;
    }
    p.insert(p.end(), data.begin(), data.end());
    return p;
}

bytes fu_at(codec c, const bytes &nal, size_t index, size_t count, const bytes &data) {
    return fu(c, nal, index == 0 ? FU_START : index + 1 == count ? FU_END : FU_MIDDLE, data);
}

// Data of fragment `index`: bytes that name the fragment, so a misplaced or
// repeated one shows.
bytes chunk(size_t index) {
    return {static_cast<uint8_t>(0xA0 + index), static_cast<uint8_t>(0x10 + index)};
}

struct received {
    RTP_ERROR rc = RTP_SUCCESS;
    std::vector<frame_ptr> frames;

    std::vector<bytes> payloads() const {
        std::vector<bytes> all;
        for (const frame_ptr &f : frames) {
            all.push_back(payload_of(*f));
        }
        return all;
    }
};

// One format object on the fake clock, fed like the reception flow feeds it.
class receiver {
public:
    explicit receiver(codec c, int flags = 0) : receiver(c, flags, default_format(c)) {}
    receiver(codec c, int flags, RTP_FORMAT format)
        : rtp_(std::make_shared<rtp>(format, make_shared_ssrc(1), false)), flags_(flags) {
        switch (c) {
            case codec::h264:
                format_ = std::make_unique<formats::h264>(nullptr, rtp_, flags);
                break;
            case codec::h265:
                format_ = std::make_unique<formats::h265>(nullptr, rtp_, flags);
                break;
            case codec::h266:
                format_ = std::make_unique<formats::h266>(nullptr, rtp_, flags);
                break;
        }
        format_->set_time_source(fake_now);
    }

    formats::h26x &format() { return *format_; }
    rtp &rtp_state() { return *rtp_; }

    // The handler's result, with whatever it delivered: *out on
    // RTP_FRAME_READY, the getter's frames on RTP_FRAMES_READY.
    received feed(uint16_t seq, const bytes &payload, uint32_t ts = k_ts, bool marker = false) {
        return feed_datagram(test::rtp_packet(
            k_ssrc, seq, payload, static_cast<uint8_t>(k_pt | (marker ? 0x80 : 0)), ts));
    }

    received feed_datagram(bytes datagram) {
        received r;
        frame::rtp_frame *out = nullptr;
        r.rc = handle_datagram(datagram, &out);
        if (r.rc == RTP_FRAME_READY) {
            r.frames.emplace_back(out);
        }
        if (r.rc == RTP_FRAMES_READY) {
            frame::rtp_frame *next = nullptr;
            while (format_->frame_getter(&next) == RTP_FRAME_READY) {
                r.frames.emplace_back(next);
            }
        }
        return r;
    }

    // Only the handler call; the caller fetches from the getter itself.
    RTP_ERROR handle(uint16_t seq, const bytes &payload, uint32_t ts, bool marker,
                     frame::rtp_frame **out) {
        bytes datagram = test::rtp_packet(k_ssrc, seq, payload,
                                          static_cast<uint8_t>(k_pt | (marker ? 0x80 : 0)), ts);
        return handle_datagram(datagram, out);
    }

    RTP_ERROR handle_datagram(bytes &datagram, frame::rtp_frame **out) {
        EXPECT_EQ(rtp::packet_handler(nullptr, flags_, datagram.data(), datagram.size(), out),
                  RTP_PKT_CHANGED);
        const RTP_ERROR rc = formats::h26x::packet_handler(format_.get(), flags_, datagram.data(),
                                                           datagram.size(), out);
        // A packet the handler does not hand back is no longer the caller's.
        EXPECT_EQ(*out != nullptr, rc == RTP_FRAME_READY) << "result " << rc;
        return rc;
    }

private:
    static RTP_FORMAT default_format(codec c) {
        return c == codec::h264 ? FMT_H264 : c == codec::h265 ? FMT_H265 : FMT_H266;
    }

    std::shared_ptr<rtp> rtp_;
    std::unique_ptr<formats::h26x> format_;
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

class H26xReceiveTest : public ::testing::Test {
protected:
    void SetUp() override { g_now = clock::hrc::hrc_t(std::chrono::seconds(1000)); }
};

// --- payload headers ---------------------------------------------------------

TEST_F(H26xReceiveTest, ClassifiesPayloads) {
    struct Case {
        const char *name;
        codec c;
        bytes payload;
        formats::fragment_kind expected;
    };
    const Case cases[] = {
        {"h264 empty", codec::h264, {}, formats::FRAGMENT_INVALID},
        {"h264 one-byte NAL unit (end of sequence)", codec::h264, {0x0A}, formats::FRAGMENT_NONE},
        {"h264 one-byte STAP-A", codec::h264, {0x18}, formats::FRAGMENT_INVALID},
        {"h264 one-byte STAP-B", codec::h264, {0x19}, formats::FRAGMENT_INVALID},
        {"h264 FU indicator without FU header", codec::h264, {0x7C}, formats::FRAGMENT_INVALID},
        {"h264 single NAL unit", codec::h264, {0x65, 0x88}, formats::FRAGMENT_NONE},
        {"h264 STAP-A", codec::h264, {0x18, 0x00}, formats::FRAGMENT_AGGREGATE},
        {"h264 STAP-B", codec::h264, {0x19, 0x00}, formats::FRAGMENT_STAP_B},
        {"h264 FU-A start", codec::h264, {0x7C, 0x85}, formats::FRAGMENT_FIRST},
        {"h264 FU-A middle", codec::h264, {0x7C, 0x05}, formats::FRAGMENT_MIDDLE},
        {"h264 FU-A end", codec::h264, {0x7C, 0x45}, formats::FRAGMENT_LAST},
        {"h264 FU-A start and end", codec::h264, {0x7C, 0xC5}, formats::FRAGMENT_INVALID},
        {"h264 FU-B is not received", codec::h264, {0x7D, 0x85}, formats::FRAGMENT_NONE},
        {"h265 empty", codec::h265, {}, formats::FRAGMENT_INVALID},
        {"h265 one byte", codec::h265, {0x48}, formats::FRAGMENT_INVALID},
        {"h265 two-byte NAL unit (end of sequence)",
         codec::h265,
         {0x48, 0x01},
         formats::FRAGMENT_NONE},
        {"h265 FU without FU header", codec::h265, {0x62, 0x01}, formats::FRAGMENT_INVALID},
        {"h265 AP of its header alone", codec::h265, {0x60, 0x01}, formats::FRAGMENT_INVALID},
        {"h265 single NAL unit", codec::h265, {0x40, 0x01, 0x0C}, formats::FRAGMENT_NONE},
        {"h265 AP", codec::h265, {0x60, 0x01, 0x00}, formats::FRAGMENT_AGGREGATE},
        {"h265 FU start", codec::h265, {0x62, 0x01, 0x93}, formats::FRAGMENT_FIRST},
        {"h265 FU middle", codec::h265, {0x62, 0x01, 0x13}, formats::FRAGMENT_MIDDLE},
        {"h265 FU end", codec::h265, {0x62, 0x01, 0x53}, formats::FRAGMENT_LAST},
        {"h265 FU start and end", codec::h265, {0x62, 0x01, 0xC5}, formats::FRAGMENT_INVALID},
        {"h265 FU with F set", codec::h265, {0xE2, 0x01, 0x93}, formats::FRAGMENT_NONE},
        {"h266 empty", codec::h266, {}, formats::FRAGMENT_INVALID},
        {"h266 one byte", codec::h266, {0x00}, formats::FRAGMENT_INVALID},
        {"h266 two-byte NAL unit (end of sequence)",
         codec::h266,
         {0x00, 0xA9},
         formats::FRAGMENT_NONE},
        {"h266 AP 0x38 0x01 of its header alone",
         codec::h266,
         {0x38, 0x01},
         formats::FRAGMENT_INVALID},
        {"h266 AP of its header alone", codec::h266, {0x00, 0xE1}, formats::FRAGMENT_INVALID},
        {"h266 FU without FU header", codec::h266, {0x00, 0xE9}, formats::FRAGMENT_INVALID},
        {"h266 AP 0x38 0x01", codec::h266, {0x38, 0x01, 0x00}, formats::FRAGMENT_AGGREGATE},
        {"h266 AP 0x39", codec::h266, {0x39, 0x01, 0x00}, formats::FRAGMENT_AGGREGATE},
        {"h266 AP type 28, RFC 9328", codec::h266, {0x00, 0xE1, 0x00}, formats::FRAGMENT_AGGREGATE},
        {"h266 AP type 28, RFC 9328, F set, layer 3, TID 2",
         codec::h266,
         {0x83, 0xE2, 0x00},
         formats::FRAGMENT_AGGREGATE},
        {"h266 FU start", codec::h266, {0x00, 0xE9, 0x87}, formats::FRAGMENT_FIRST},
        {"h266 FU middle", codec::h266, {0x00, 0xE9, 0x07}, formats::FRAGMENT_MIDDLE},
        {"h266 FU end", codec::h266, {0x00, 0xE9, 0x47}, formats::FRAGMENT_LAST},
        {"h266 FU start and end", codec::h266, {0x00, 0xE9, 0xC7}, formats::FRAGMENT_INVALID},
        {"h266 single NAL unit", codec::h266, {0x00, 0x39, 0x11}, formats::FRAGMENT_NONE},
    };
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        receiver r(tc.c);
        frame_ptr packet = parsed(tc.payload);
        EXPECT_EQ(r.format().get_fragment_type(packet.get()), tc.expected);
    }
}

TEST_F(H26xReceiveTest, ClassifiesFragmentedNalUnits) {
    struct Case {
        const char *name;
        codec c;
        bytes payload;
        formats::nal_class expected;
    };
    const Case cases[] = {
        {"h264 IDR slice", codec::h264, {0x7C, 0x85}, formats::NAL_CLASS_INTRA},
        {"h264 non-IDR slice", codec::h264, {0x5C, 0x81}, formats::NAL_CLASS_INTER},
        {"h264 SPS", codec::h264, {0x7C, 0x87}, formats::NAL_CLASS_OTHER},
        {"h264 short", codec::h264, {0x7C}, formats::NAL_CLASS_OTHER},
        {"h265 IDR_W_RADL", codec::h265, {0x62, 0x01, 0x93}, formats::NAL_CLASS_INTRA},
        {"h265 TRAIL_R", codec::h265, {0x62, 0x01, 0x81}, formats::NAL_CLASS_INTER},
        {"h265 VPS", codec::h265, {0x62, 0x01, 0xA0}, formats::NAL_CLASS_OTHER},
        // Every IRAP picture is a point to resume decoding at; every non-IRAP
        // picture is predicted from others.
        {"h265 IDR_N_LP", codec::h265, {0x62, 0x01, 0x94}, formats::NAL_CLASS_INTRA},
        {"h265 CRA", codec::h265, {0x62, 0x01, 0x95}, formats::NAL_CLASS_INTRA},
        {"h265 BLA_W_LP", codec::h265, {0x62, 0x01, 0x90}, formats::NAL_CLASS_INTRA},
        {"h265 IDR_N_LP end fragment", codec::h265, {0x62, 0x01, 0x54}, formats::NAL_CLASS_INTRA},
        {"h265 TRAIL_N", codec::h265, {0x62, 0x01, 0x80}, formats::NAL_CLASS_INTER},
        {"h265 RASL_N", codec::h265, {0x62, 0x01, 0x88}, formats::NAL_CLASS_INTER},
        {"h265 RASL_R", codec::h265, {0x62, 0x01, 0x89}, formats::NAL_CLASS_INTER},
        {"h265 reserved 10", codec::h265, {0x62, 0x01, 0x8A}, formats::NAL_CLASS_OTHER},
        {"h265 prefix SEI", codec::h265, {0x62, 0x01, 0xA7}, formats::NAL_CLASS_OTHER},
        {"h265 short", codec::h265, {0x62, 0x01}, formats::NAL_CLASS_OTHER},
        {"h266 IDR_W_RADL", codec::h266, {0x00, 0xE9, 0x87}, formats::NAL_CLASS_INTRA},
        {"h266 TRAIL_NUT", codec::h266, {0x00, 0xE9, 0x80}, formats::NAL_CLASS_INTER},
        {"h266 IDR end fragment with P set",
         codec::h266,
         {0x00, 0xE9, 0x67},
         formats::NAL_CLASS_INTRA},
        {"h266 SPS", codec::h266, {0x00, 0xE9, 0x8F}, formats::NAL_CLASS_OTHER},
        {"h266 IDR_N_LP", codec::h266, {0x00, 0xE9, 0x88}, formats::NAL_CLASS_INTRA},
        {"h266 CRA", codec::h266, {0x00, 0xE9, 0x89}, formats::NAL_CLASS_INTRA},
        {"h266 STSA", codec::h266, {0x00, 0xE9, 0x81}, formats::NAL_CLASS_INTER},
        {"h266 RASL", codec::h266, {0x00, 0xE9, 0x83}, formats::NAL_CLASS_INTER},
        {"h266 GDR", codec::h266, {0x00, 0xE9, 0x8A}, formats::NAL_CLASS_OTHER},
        {"h266 short", codec::h266, {0x00, 0xE9}, formats::NAL_CLASS_OTHER},
    };
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        receiver r(tc.c);
        frame_ptr packet = parsed(tc.payload);
        EXPECT_EQ(r.format().get_nal_type(packet.get()), tc.expected);
    }
    receiver r(codec::h264);
    EXPECT_EQ(r.format().get_nal_type(static_cast<frame::rtp_frame *>(nullptr)),
              formats::NAL_CLASS_OTHER);
    EXPECT_EQ(r.format().get_fragment_type(nullptr), formats::FRAGMENT_INVALID);
}

TEST_F(H26xReceiveTest, RebuildsNalHeaderFromFuHeaders) {
    struct Case {
        const char *name;
        codec c;
        bytes payload;
        bytes header;
    };
    const Case cases[] = {
        {"h264 IDR", codec::h264, {0x7C, 0x85}, {0x65}},
        {"h264 keeps NRI", codec::h264, {0x5C, 0x41}, {0x41}},
        {"h265 IDR", codec::h265, {0x62, 0x01, 0x93}, {0x26, 0x01}},
        {"h265 keeps the layer id's high bit", codec::h265, {0x63, 0x01, 0x13}, {0x27, 0x01}},
        {"h266 IDR", codec::h266, {0x00, 0xE9, 0x87}, {0x00, 0x39}},
        {"h266 keeps layer and TID, not P", codec::h266, {0x05, 0xEB, 0x60}, {0x05, 0x03}},
    };
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        receiver r(tc.c);
        constexpr size_t k_pos = 3;
        bytes out(8, 0xEE);
        bytes payload = tc.payload;
        r.format().get_nal_header_from_fu_headers(k_pos, payload.data(), out.data());
        bytes expected(8, 0xEE);
        std::copy(tc.header.begin(), tc.header.end(), expected.begin() + k_pos);
        EXPECT_EQ(out, expected);
    }
}

// --- single NAL unit and aggregation packets ----------------------------------

TEST_F(H26xReceiveTest, DeliversSingleNalUnitPacketsAtOnce) {
    struct Case {
        const char *name;
        codec c;
        int flags;
        RTP_FORMAT format;
        bytes payload;
        bytes expected;
    };
    const Case cases[] = {
        {"h264, 3-byte start code",
         codec::h264,
         0,
         FMT_H264,
         {0x65, 0x88, 0x84},
         {0, 0, 1, 0x65, 0x88, 0x84}},
        {"h265, 4-byte start code",
         codec::h265,
         0,
         FMT_H265,
         {0x40, 0x01, 0x0C, 0x01},
         {0, 0, 0, 1, 0x40, 0x01, 0x0C, 0x01}},
        {"h266, 4-byte start code",
         codec::h266,
         0,
         FMT_H266,
         {0x00, 0x39, 0x11},
         {0, 0, 0, 1, 0x00, 0x39, 0x11}},
        {"h264, start code omitted",
         codec::h264,
         RCE_H26X_OMIT_START_CODE,
         FMT_H264,
         {0x65, 0x88, 0x84},
         {0x65, 0x88, 0x84}},
        {"h265, start code omitted",
         codec::h265,
         RCE_H26X_OMIT_START_CODE,
         FMT_H265,
         {0x40, 0x01, 0x0C},
         {0x40, 0x01, 0x0C}},
        {"V3C stream, never a start code",
         codec::h265,
         0,
         FMT_V3C,
         {0x40, 0x01, 0x0C},
         {0x40, 0x01, 0x0C}},
    };
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        receiver r(tc.c, tc.flags, tc.format);
        received got = r.feed(42, tc.payload, k_ts, true);
        ASSERT_EQ(got.rc, RTP_FRAME_READY);
        EXPECT_EQ(payload_of(*got.frames[0]), tc.expected);
        EXPECT_EQ(got.frames[0]->header.sequence, 42);
        EXPECT_EQ(got.frames[0]->header.timestamp, k_ts);
        EXPECT_EQ(got.frames[0]->header.marker, 1);
    }
}

TEST_F(H26xReceiveTest, StapAGivesOneFramePerNalUnitThroughTheGetter) {
    receiver r(codec::h264);
    frame::rtp_frame *out = nullptr;
    ASSERT_EQ(r.handle(7, {0x18, 0x00, 0x02, 0x67, 0x42, 0x00, 0x01, 0x68}, k_ts, false, &out),
              RTP_FRAMES_READY);

    frame::rtp_frame *got = nullptr;
    ASSERT_EQ(r.format().frame_getter(&got), RTP_FRAME_READY);
    frame_ptr first(got);
    EXPECT_EQ(payload_of(*first), (bytes{0, 0, 1, 0x67, 0x42}));
    ASSERT_EQ(r.format().frame_getter(&got), RTP_FRAME_READY);
    frame_ptr second(got);
    EXPECT_EQ(payload_of(*second), (bytes{0, 0, 1, 0x68}));
    EXPECT_EQ(r.format().frame_getter(&got), RTP_NO_SUCH_ITEM);
    for (const frame_ptr *f : {&first, &second}) {
        EXPECT_EQ((*f)->header.sequence, 7);
        EXPECT_EQ((*f)->header.timestamp, k_ts);
    }
}

TEST_F(H26xReceiveTest, SplitsAggregationPackets) {
    struct Case {
        const char *name;
        codec c;
        int flags;
        bytes payload;
        std::vector<bytes> expected;
    };
    const Case cases[] = {
        {"h265 AP",
         codec::h265,
         0,
         {0x60, 0x01, 0x00, 0x02, 0x40, 0x01, 0x00, 0x03, 0x42, 0x01, 0x01},
         {{0, 0, 0, 1, 0x40, 0x01}, {0, 0, 0, 1, 0x42, 0x01, 0x01}}},
        {"h266 AP as this library sends it",
         codec::h266,
         0,
         {0x38, 0x01, 0x00, 0x02, 0x00, 0x79, 0x00, 0x02, 0x00, 0x81},
         {{0, 0, 0, 1, 0x00, 0x79}, {0, 0, 0, 1, 0x00, 0x81}}},
        {"h266 AP as RFC 9328 has it",
         codec::h266,
         0,
         {0x00, 0xE1, 0x00, 0x02, 0x00, 0x79, 0x00, 0x02, 0x00, 0x81},
         {{0, 0, 0, 1, 0x00, 0x79}, {0, 0, 0, 1, 0x00, 0x81}}},
        {"h266 AP as RFC 9328 has it, F set, lowest layer 3 and TID 2",
         codec::h266,
         0,
         {0x83, 0xE2, 0x00, 0x03, 0x85, 0x12, 0xAA, 0x00, 0x02, 0x03, 0x0B},
         {{0, 0, 0, 1, 0x85, 0x12, 0xAA}, {0, 0, 0, 1, 0x03, 0x0B}}},
        {"h264 STAP-B skips the decoding order number",
         codec::h264,
         0,
         {0x19, 0x12, 0x34, 0x00, 0x02, 0x67, 0x42, 0x00, 0x01, 0x68},
         {{0, 0, 1, 0x67, 0x42}, {0, 0, 1, 0x68}}},
        {"h264 STAP-A, start code omitted",
         codec::h264,
         RCE_H26X_OMIT_START_CODE,
         {0x18, 0x00, 0x02, 0x67, 0x42, 0x00, 0x01, 0x68},
         {{0x67, 0x42}, {0x68}}},
        {"an empty unit is skipped",
         codec::h264,
         0,
         {0x18, 0x00, 0x00, 0x00, 0x01, 0x68},
         {{0, 0, 1, 0x68}}},
    };
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        receiver r(tc.c, tc.flags);
        received got = r.feed(9, tc.payload);
        EXPECT_EQ(got.rc, RTP_FRAMES_READY);
        EXPECT_EQ(got.payloads(), tc.expected);
    }
}

// Every cut of 18 | 00 02 67 42 | 00 01 68 either yields the units that fit
// or fails cleanly, with nothing queued.
TEST_F(H26xReceiveTest, TruncatedStapAYieldsWholeUnitsOrFails) {
    const bytes stap = {0x18, 0x00, 0x02, 0x67, 0x42, 0x00, 0x01, 0x68};
    struct Expect {
        RTP_ERROR rc;
        size_t units;
    };
    const Expect by_length[] = {
        {RTP_FAILED, 0},        // 0: too short to classify
        {RTP_FAILED, 0},        // 1
        {RTP_FRAMES_READY, 0},  // 2: header and half a size field
        {RTP_FAILED, 0},        // 3: first unit cut
        {RTP_FAILED, 0},        // 4
        {RTP_FRAMES_READY, 1},  // 5: first unit whole
        {RTP_FRAMES_READY, 1},  // 6: a lone byte after it
        {RTP_FAILED, 0},        // 7: second unit cut
        {RTP_FRAMES_READY, 2},  // 8: whole packet
    };
    for (size_t len = 0; len <= stap.size(); ++len) {
        SCOPED_TRACE("length " + std::to_string(len));
        receiver r(codec::h264);
        stderr_capture capture;
        received got =
            r.feed(3, bytes(stap.begin(), stap.begin() + static_cast<std::ptrdiff_t>(len)));
        capture.stop();
        EXPECT_EQ(got.rc, by_length[len].rc);
        EXPECT_EQ(got.frames.size(), by_length[len].units);
        frame::rtp_frame *left = nullptr;
        EXPECT_EQ(r.format().frame_getter(&left), RTP_NO_SUCH_ITEM);
    }
}

TEST_F(H26xReceiveTest, AggregationSizeFieldPastTheEndFailsAndDeliversNothing) {
    receiver r(codec::h264);
    stderr_capture capture;
    // The second unit claims 4 bytes; 1 is left.
    received got = r.feed(5, {0x18, 0x00, 0x02, 0x67, 0x42, 0x00, 0x04, 0x68});
    EXPECT_EQ(capture.stop(),
              log_line(k_error, "handle_aggregation_packet",
                       "The received aggregation packet claims to be larger than packet!"));
    EXPECT_EQ(got.rc, RTP_FAILED);
    frame::rtp_frame *left = nullptr;
    EXPECT_EQ(r.format().frame_getter(&left), RTP_NO_SUCH_ITEM);
    EXPECT_EQ(r.format().payloads_malformed(), 1u);
}

TEST_F(H26xReceiveTest, InvalidPayloadIsDiscardedWithAWarning) {
    receiver r(codec::h265);
    stderr_capture capture;
    received got = r.feed(5, {0x62, 0x01, 0xC5, 0x00});
    EXPECT_EQ(capture.stop(), log_line(k_warning, "packet_handler", "invalid frame received!"));
    EXPECT_EQ(got.rc, RTP_FAILED);
    EXPECT_EQ(r.format().payloads_malformed(), 1u);  // counted, not only logged
}

TEST_F(H26xReceiveTest, HandlerRejectsMissingArguments) {
    receiver r(codec::h264);
    frame::rtp_frame *none = nullptr;
    EXPECT_EQ(formats::h26x::packet_handler(&r.format(), 0, nullptr, 0, nullptr), RTP_BAD_ARGUMENT);
    EXPECT_EQ(formats::h26x::packet_handler(&r.format(), 0, nullptr, 0, &none), RTP_BAD_ARGUMENT);
    frame_ptr packet = parsed({0x65, 0x88});
    frame::rtp_frame *raw = packet.get();
    EXPECT_EQ(formats::h26x::packet_handler(nullptr, 0, nullptr, 0, &raw), RTP_BAD_ARGUMENT);
    EXPECT_EQ(r.format().frame_getter(nullptr), RTP_BAD_ARGUMENT);
}

// A single NAL unit packet may be the NAL header alone: H.264 end of
// sequence and end of stream (types 10, 11) are one byte, H.265 EOS and EOB
// (36, 37) and H.266 EOS and EOB (21, 22) two. They used to be discarded as
// too short, which only aggregation packets and FUs of that length are.
TEST_F(H26xReceiveTest, HeaderOnlyNalUnitsLikeEndOfSequenceWereDiscardedAsTooShort) {
    struct Case {
        const char *name;
        codec c;
        bytes payload;
        bool delivered;
    };
    const Case cases[] = {
        {"h264 end of sequence", codec::h264, {0x0A}, true},
        {"h264 end of stream", codec::h264, {0x0B}, true},
        {"h265 end of sequence", codec::h265, {0x48, 0x01}, true},
        {"h265 end of bitstream", codec::h265, {0x4A, 0x01}, true},
        {"h266 end of sequence", codec::h266, {0x00, 0xA9}, true},
        {"h266 end of bitstream", codec::h266, {0x00, 0xB1}, true},
        {"h264 empty", codec::h264, {}, false},
        {"h264 STAP-A header alone", codec::h264, {0x18}, false},
        {"h264 FU indicator alone", codec::h264, {0x7C}, false},
        {"h265 one byte", codec::h265, {0x48}, false},
        {"h265 AP header alone", codec::h265, {0x60, 0x01}, false},
        {"h265 FU payload header alone", codec::h265, {0x62, 0x01}, false},
        {"h266 one byte", codec::h266, {0x00}, false},
        {"h266 AP header alone", codec::h266, {0x38, 0x01}, false},
        {"h266 FU payload header alone", codec::h266, {0x00, 0xE9}, false},
    };
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        receiver r(tc.c);
        stderr_capture capture;
        received got = r.feed(31, tc.payload, k_ts, true);
        const std::string log = capture.stop();
        if (tc.delivered) {
            ASSERT_EQ(got.rc, RTP_FRAME_READY);
            EXPECT_EQ(payload_of(*got.frames[0]), cat({start_code(tc.c), tc.payload}));
            EXPECT_EQ(log, "");
        } else {
            EXPECT_EQ(got.rc, RTP_FAILED);
            EXPECT_EQ(log, log_line(k_warning, "packet_handler", "invalid frame received!"));
        }
    }
}

// --- duplicates -------------------------------------------------------------

TEST_F(H26xReceiveTest, DuplicateWithinFiveSecondsIsDiscarded) {
    struct Case {
        int64_t later_ms;
        bool duplicate;
    };
    const Case cases[] = {{0, true}, {4000, true}, {5000, true}, {5001, false}, {6000, false}};
    for (const Case &tc : cases) {
        SCOPED_TRACE(std::to_string(tc.later_ms) + " ms later");
        receiver r(codec::h264);
        ASSERT_EQ(r.feed(77, {0x65, 0x88}).rc, RTP_FRAME_READY);
        advance_ms(tc.later_ms);
        stderr_capture capture;
        received again = r.feed(77, {0x65, 0x88});
        const std::string log = capture.stop();
        if (tc.duplicate) {
            EXPECT_EQ(again.rc, RTP_FAILED);
            EXPECT_EQ(log, log_line(k_warning, "is_duplicate_frame",
                                    "duplicate ts and seq num received, discarding frame"));
        } else {
            EXPECT_EQ(again.rc, RTP_FRAME_READY);
            EXPECT_EQ(log, "");
        }
    }
}

// The filter remembers the packets of the last few thousand sequence
// numbers: a repeat among them is caught, across the sequence wrap too,
// and nothing else is taken for one.
TEST_F(H26xReceiveTest, DuplicatesAreCaughtAcrossTheSequenceWrapWithoutFalseOnes) {
    struct packet {
        uint32_t ts;
        uint16_t seq;
        bool duplicate;
    };
    // `count` packets from `seq` on, 8 a timestamp; none a duplicate.
    auto run = [](uint32_t ts, uint16_t seq, size_t count, uint32_t ticks_per_8 = 3000) {
        std::vector<packet> packets;
        for (size_t i = 0; i < count; ++i) {
            packets.push_back({ts + static_cast<uint32_t>(i / 8) * ticks_per_8,
                               static_cast<uint16_t>(seq + i), false});
        }
        return packets;
    };
    auto then = [](std::vector<packet> packets, std::initializer_list<packet> more) {
        packets.insert(packets.end(), more.begin(), more.end());
        return packets;
    };
    struct Case {
        const char *name;
        std::vector<packet> packets;
    };
    const Case cases[] = {
        {"repeat right away", {{1, 10, false}, {1, 10, true}}},
        {"same number, another timestamp", {{1, 10, false}, {2, 10, false}}},
        {"same timestamp, another number", {{1, 10, false}, {1, 11, false}}},
        {"repeats across the wrap",
         then(run(7, 65530, 12), {{7, 65534, true}, {7, 0, true}, {7 + 3000, 3, true}})},
        {"repeat 4000 packets later", then(run(100, 200, 4001), {{100, 200, true}})},
        {"repeat of the newest after a long run",
         then(run(5, 0, 20000), {{5 + 2499 * 3000, 19999, true}})},
        {"three wraps with growing timestamps", run(0xFFFF0000u, 60000, 3 * 65536)},
        // One timestamp for more than 65536 packets (a sender that does not
        // set the timestamp): after the wrap a number repeats, the packet
        // does not.
        {"one timestamp over the wrap", run(42, 0, 70000, 0)},
    };
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        receiver r(codec::h264);
        stderr_capture quiet;
        size_t wrong = 0;
        for (size_t i = 0; i < tc.packets.size(); ++i) {
            const packet &p = tc.packets[i];
            if (r.format().is_duplicate_frame(p.ts, p.seq) != p.duplicate && ++wrong <= 3) {
                ADD_FAILURE() << "packet " << i << " (ts " << p.ts << ", seq " << p.seq
                              << ") expected " << (p.duplicate ? "" : "not ") << "a duplicate";
            }
        }
        EXPECT_EQ(wrong, 0u);
    }
}

// The history used to keep a heap node per packet for 5 s, so a flood of
// packets from the network grew it without bound.
TEST_F(H26xReceiveTest, DuplicateHistoryGrewWithEveryPacketOfTheLastFiveSeconds) {
    receiver r(codec::h265);
    const size_t capacity = r.format().duplicate_history_capacity();
    EXPECT_GE(capacity, 1024u);
    EXPECT_LE(capacity, 16384u);
    for (uint32_t i = 0; i < 100000; ++i) {
        ASSERT_FALSE(r.format().is_duplicate_frame(i * 7, static_cast<uint16_t>(i)));
    }
    EXPECT_LE(r.format().duplicate_history_size(), capacity);
    EXPECT_EQ(r.format().duplicate_history_capacity(), capacity);
    // Still catches the latest ones.
    stderr_capture quiet;
    EXPECT_TRUE(r.format().is_duplicate_frame(99999u * 7, static_cast<uint16_t>(99999)));
}

// Warnings that a peer triggers with every packet were written for every
// packet. The first is written in full, then at most one a second.
TEST_F(H26xReceiveTest, PerPacketWarningsFloodedTheLog) {
    struct Case {
        const char *name;
        codec c;
        int flags;
        // Sends the i-th packet (or packets) of the flood.
        std::function<void(receiver &, uint16_t)> send;
        std::string line;
    };
    const bytes inter = inter_header(codec::h264);
    const Case cases[] = {
        {"duplicate", codec::h264, 0,
         [](receiver &r, uint16_t) {
             r.feed(77, {0x65, 0x88});
         },
         log_line(k_warning, "is_duplicate_frame",
                  "duplicate ts and seq num received, discarding frame")},
        {"invalid FU header", codec::h265, 0,
         [](receiver &r, uint16_t i) {
             r.feed(i, {0x62, 0x01, 0xC5, 0x00});
         },
         log_line(k_warning, "packet_handler", "invalid frame received!")},
        {"aggregation size past the end", codec::h264, 0,
         [](receiver &r, uint16_t i) {
             r.feed(i, {0x18, 0x00, 0x09, 0x67});
         },
         log_line(k_error, "handle_aggregation_packet",
                  "The received aggregation packet claims to be larger than packet!")},
        {"fragment number held by another access unit", codec::h265, 0,
         [](receiver &r, uint16_t i) {
             r.feed(5, fu(codec::h265, intra_header(codec::h265), FU_START, chunk(0)), k_ts + i);
         },
         log_line(k_warning, "packet_handler",
                  "Found an existing fragment with same sequence number 5! Fragment ts: "
                  "11259375, current ts: 11259376")},
        {"inter access unit while waiting for a key frame", codec::h264,
         RCE_H26X_RESYNC_ON_KEY_FRAME,
         [inter](receiver &r, uint16_t i) {
             const auto seq = static_cast<uint16_t>(2 * i);
             r.feed(seq, fu(codec::h264, inter, FU_START, chunk(0)), k_ts + 3000u * i);
             r.feed(static_cast<uint16_t>(seq + 1), fu(codec::h264, inter, FU_END, chunk(1)),
                    k_ts + 3000u * i);
         },
         log_line(k_warning, "packet_handler",
                  "Dropping h26x access unit because of missing reference. Timestamp: 11259375. "
                  "Seq: 0 - 1")},
    };
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        receiver r(tc.c, tc.flags);
        stderr_capture capture;
        // Within a second: the first occurrence alone is written.
        for (uint16_t i = 0; i < 1001; ++i) {
            tc.send(r, i);
        }
        EXPECT_EQ(capture.stop(), tc.line);
    }
}

TEST_F(H26xReceiveTest, RepeatedFuIsNotJoinedTwice) {
    const codec c = codec::h265;
    const bytes nal = intra_header(c);
    struct Case {
        const char *name;
        int64_t repeat_after_ms;
        bool warned;
    };
    const Case cases[] = {
        {"within the duplicate window", 1000, true},
        {"after the window, unit still open", 6000, false},
    };
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        receiver r(c);
        r.rtp_state().set_pkt_max_delay(10000);
        ASSERT_EQ(r.feed(100, fu(c, nal, FU_START, chunk(0))).rc, RTP_SUCCESS);
        advance_ms(tc.repeat_after_ms);
        stderr_capture capture;
        EXPECT_EQ(r.feed(100, fu(c, nal, FU_START, chunk(0))).rc, RTP_FAILED);
        EXPECT_EQ(capture.stop().empty(), !tc.warned);
        received got = r.feed(101, fu(c, nal, FU_END, chunk(1)));
        ASSERT_EQ(got.rc, RTP_FRAME_READY);
        EXPECT_EQ(payload_of(*got.frames[0]), cat({start_code(c), nal, chunk(0), chunk(1)}));
    }
}

// --- fragmentation units ----------------------------------------------------

TEST_F(H26xReceiveTest, JoinsH265FusInAnyArrivalOrder) {
    const bytes a = {0xA1, 0xA2}, b = {0xB1}, cc = {0xC1, 0xC2, 0xC3};
    const bytes nal_body = cat({{0x26, 0x01}, a, b, cc});
    struct Case {
        const char *name;
        std::vector<uint16_t> order;
        int flags;
        RTP_FORMAT format;
        bytes expected;
    };
    const Case cases[] = {
        {"in order", {100, 101, 102}, 0, FMT_H265, cat({{0, 0, 0, 1}, nal_body})},
        {"101 first", {101, 100, 102}, 0, FMT_H265, cat({{0, 0, 0, 1}, nal_body})},
        {"reversed", {102, 101, 100}, 0, FMT_H265, cat({{0, 0, 0, 1}, nal_body})},
        {"start code omitted", {100, 101, 102}, RCE_H26X_OMIT_START_CODE, FMT_H265, nal_body},
        {"V3C stream", {102, 100, 101}, 0, FMT_V3C, nal_body},
    };
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        receiver r(codec::h265, tc.flags, tc.format);
        received got;
        for (size_t i = 0; i < tc.order.size(); ++i) {
            const uint16_t seq = tc.order[i];
            const bytes payload = seq == 100   ? cat({{0x62, 0x01, 0x93}, a})
                                  : seq == 101 ? cat({{0x62, 0x01, 0x13}, b})
                                               : cat({{0x62, 0x01, 0x53}, cc});
            got = r.feed(seq, payload, k_ts, seq == 102);
            EXPECT_EQ(got.rc, i + 1 < tc.order.size() ? RTP_SUCCESS : RTP_FRAME_READY);
        }
        ASSERT_EQ(got.frames.size(), 1u);
        EXPECT_EQ(payload_of(*got.frames[0]), tc.expected);
        // The header is the end fragment's, whichever packet arrived last.
        EXPECT_EQ(got.frames[0]->header.sequence, 102);
        EXPECT_EQ(got.frames[0]->header.marker, 1);
        EXPECT_EQ(got.frames[0]->header.timestamp, k_ts);
    }
}

TEST_F(H26xReceiveTest, JoinsFuRunAcrossTheSequenceWrap) {
    const codec c = codec::h264;
    const bytes nal = intra_header(c);
    receiver r(c);
    EXPECT_EQ(r.feed(65534, fu(c, nal, FU_START, chunk(0))).rc, RTP_SUCCESS);
    EXPECT_EQ(r.feed(65535, fu(c, nal, FU_MIDDLE, chunk(1))).rc, RTP_SUCCESS);
    received got = r.feed(0, fu(c, nal, FU_END, chunk(2)));
    ASSERT_EQ(got.rc, RTP_FRAME_READY);
    EXPECT_EQ(payload_of(*got.frames[0]), cat({start_code(c), nal, chunk(0), chunk(1), chunk(2)}));
}

TEST_F(H26xReceiveTest, EveryArrivalOrderAroundTheWrapGivesTheSameNalUnit) {
    const uint16_t seqs[] = {65534, 65535, 0, 1};
    for (codec c : {codec::h264, codec::h265, codec::h266}) {
        const bytes nal = intra_header(c);
        const bytes expected = cat({start_code(c), nal, chunk(0), chunk(1), chunk(2), chunk(3)});
        std::vector<size_t> order = {0, 1, 2, 3};
        do {
            SCOPED_TRACE("codec " + std::to_string(static_cast<int>(c)) + " order " +
                         std::to_string(order[0]) + std::to_string(order[1]) +
                         std::to_string(order[2]) + std::to_string(order[3]));
            receiver r(c);
            received got;
            for (size_t i = 0; i < order.size(); ++i) {
                const size_t k = order[i];
                got = r.feed(seqs[k], fu_at(c, nal, k, 4, chunk(k)), k_ts, k == 3);
                ASSERT_EQ(got.rc, i < 3 ? RTP_SUCCESS : RTP_FRAME_READY);
            }
            EXPECT_EQ(payload_of(*got.frames[0]), expected);
            EXPECT_EQ(got.frames[0]->header.sequence, 1);
        } while (std::next_permutation(order.begin(), order.end()));
    }
}

// Three NAL units of three FUs each in one access unit; whichever fragment
// is lost, the other two units arrive whole.
TEST_F(H26xReceiveTest, LostFuCostsOnlyItsOwnNalUnit) {
    const codec c = codec::h265;
    const uint16_t first_seq = 500;
    const bytes headers[] = {intra_header(c), {0x28, 0x01}, {0x2A, 0x01}};  // three slices
    auto unit = [&](size_t n) {
        return cat({start_code(c), headers[n], chunk(3 * n), chunk(3 * n + 1), chunk(3 * n + 2)});
    };
    for (bool reversed : {false, true}) {
        for (size_t lost = 0; lost < 9; ++lost) {
            SCOPED_TRACE(std::string(reversed ? "reversed" : "in order") + ", lost fragment " +
                         std::to_string(lost));
            receiver r(c);
            std::vector<bytes> delivered;
            for (size_t step = 0; step < 9; ++step) {
                const size_t k = reversed ? 8 - step : step;
                if (k == lost) {
                    continue;
                }
                received got = r.feed(static_cast<uint16_t>(first_seq + k),
                                      fu_at(c, headers[k / 3], k % 3, 3, chunk(k)));
                for (const bytes &p : got.payloads()) {
                    delivered.push_back(p);
                }
            }
            std::vector<bytes> expected;
            for (size_t n = 0; n < 3; ++n) {
                if (n != lost / 3) {
                    expected.push_back(unit(n));
                }
            }
            if (reversed) {
                std::reverse(expected.begin(), expected.end());
            }
            EXPECT_EQ(delivered, expected);
        }
    }
}

// FUs 10 (start), 12 (start), 13 (end), 11 (end) of one access unit: each
// NAL unit is delivered by the packet that completes it.
TEST_F(H26xReceiveTest, NalUnitIsDeliveredByThePacketThatCompletesIt) {
    const codec c = codec::h264;
    const bytes first = intra_header(c);
    const bytes second = {0x45};
    receiver r(c);
    EXPECT_EQ(r.feed(10, fu(c, first, FU_START, chunk(0))).rc, RTP_SUCCESS);
    EXPECT_EQ(r.feed(12, fu(c, second, FU_START, chunk(2))).rc, RTP_SUCCESS);
    received got = r.feed(13, fu(c, second, FU_END, chunk(3)));
    ASSERT_EQ(got.rc, RTP_FRAME_READY);
    EXPECT_EQ(payload_of(*got.frames[0]), cat({start_code(c), second, chunk(2), chunk(3)}));
    got = r.feed(11, fu(c, first, FU_END, chunk(1)));
    ASSERT_EQ(got.rc, RTP_FRAME_READY);
    EXPECT_EQ(payload_of(*got.frames[0]), cat({start_code(c), first, chunk(0), chunk(1)}));
}

// A unit whose end fragment was lost does not swallow the unit after it.
TEST_F(H26xReceiveTest, UnitWithoutEndDoesNotSwallowTheNext) {
    const codec c = codec::h264;
    const bytes nal = intra_header(c);
    receiver r(c);
    // 20 starts a unit whose end was lost; 21 starts the next one.
    EXPECT_EQ(r.feed(20, fu(c, nal, FU_START, chunk(0))).rc, RTP_SUCCESS);
    EXPECT_EQ(r.feed(21, fu(c, nal, FU_START, chunk(1))).rc, RTP_SUCCESS);
    received got = r.feed(22, fu(c, nal, FU_END, chunk(2)));
    ASSERT_EQ(got.rc, RTP_FRAME_READY);
    EXPECT_EQ(payload_of(*got.frames[0]), cat({start_code(c), nal, chunk(1), chunk(2)}));
}

// Fault: each FU looked for the ends of its NAL unit by walking its
// neighbours one sequence number at a time, up to 65,535 steps a packet, so
// middle fragments arriving in descending order cost work quadratic in
// their number. In every order the unit is joined byte-exact, or dropped
// when one of its fragments is lost, in a few ring lookups per packet, and
// the next unit of the access unit arrives whole.
TEST_F(H26xReceiveTest, RegressionFuNeighbourWalkWasQuadraticInDescendingOrder) {
    constexpr size_t k_count = 400;
    constexpr uint16_t k_first = 65400;  // the unit spans the wrap
    constexpr size_t k_lost_none = k_count;
    constexpr uint64_t k_lookups_per_packet = 16;
    const codec c = codec::h265;
    const bytes nal = intra_header(c);
    const bytes next_nal = {0x28, 0x01};
    // Data of fragment i: two bytes naming it.
    const auto data = [](size_t i) {
        return bytes{static_cast<uint8_t>(i), static_cast<uint8_t>(0x80 | (i >> 8))};
    };
    std::vector<size_t> in_order(k_count);
    std::iota(in_order.begin(), in_order.end(), size_t{0});
    std::vector<size_t> middles_descending = {0};
    for (size_t i = k_count - 2; i > 0; --i) {
        middles_descending.push_back(i);
    }
    middles_descending.push_back(k_count - 1);
    std::vector<size_t> ends_first = {0, k_count - 1};
    ends_first.insert(ends_first.end(), middles_descending.begin() + 1,
                      middles_descending.end() - 1);
    std::vector<size_t> interleaved;  // even fragments, then odd ones
    for (size_t parity : {0, 1}) {
        for (size_t i = parity; i < k_count; i += 2) {
            interleaved.push_back(i);
        }
    }
    std::vector<size_t> shuffled = in_order;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
    struct Case {
        const char *name;
        const std::vector<size_t> &order;
        size_t lost;
    };
    const Case cases[] = {
        {"in order", in_order, k_lost_none},
        {"middles descending", middles_descending, k_lost_none},
        {"ends first, then middles descending", ends_first, k_lost_none},
        {"even fragments, then odd ones", interleaved, k_lost_none},
        {"shuffled", shuffled, k_lost_none},
        {"in order, one middle lost", in_order, k_count / 2},
        {"middles descending, one middle lost", middles_descending, k_count / 2},
        {"ends first, the last middle lost", ends_first, 1},
        {"even then odd, one lost", interleaved, 7},
        {"shuffled, the end lost", shuffled, k_count - 1},
    };
    bytes whole = cat({start_code(c), nal});
    for (size_t i = 0; i < k_count; ++i) {
        const bytes d = data(i);
        whole.insert(whole.end(), d.begin(), d.end());
    }
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        receiver r(c);
        std::vector<bytes> delivered;
        size_t fed = 0;
        const auto keep = [&delivered](const received &got) {
            for (const bytes &p : got.payloads()) {
                delivered.push_back(p);
            }
        };
        for (size_t i : tc.order) {
            if (i != tc.lost) {
                keep(
                    r.feed(static_cast<uint16_t>(k_first + i), fu_at(c, nal, i, k_count, data(i))));
                ++fed;
            }
        }
        // The next NAL unit of the same access unit, in order.
        for (size_t i = 0; i < 3; ++i) {
            keep(r.feed(static_cast<uint16_t>(k_first + k_count + i),
                        fu_at(c, next_nal, i, 3, chunk(i))));
            ++fed;
        }
        std::vector<bytes> expected;
        if (tc.lost == k_lost_none) {
            expected.push_back(whole);
        }
        expected.push_back(cat({start_code(c), next_nal, chunk(0), chunk(1), chunk(2)}));
        EXPECT_EQ(delivered, expected);
        EXPECT_LE(r.format().fragment_lookups(), k_lookups_per_packet * fed);
    }
}

// A joined or split NAL unit is a new frame without the packet's CSRC list
// and extension; its header must not claim them.
TEST_F(H26xReceiveTest, NewFramesDoNotClaimTheCsrcsAndExtensionOfThePacket) {
    const codec c = codec::h264;
    // V=2 X=1 CC=1, CSRC, a one-word extension, then the payload.
    auto datagram = [](uint16_t seq, const bytes &payload) {
        bytes d = {0x91,
                   k_pt,
                   static_cast<uint8_t>(seq >> 8),
                   static_cast<uint8_t>(seq),
                   0x00,
                   0xAB,
                   0xCD,
                   0xEF,
                   0x5E,
                   0xED,
                   0x00,
                   0x02,  // ts, SSRC
                   0x11,
                   0x22,
                   0x33,
                   0x44,  // CSRC
                   0xBE,
                   0xDE,
                   0x00,
                   0x01,
                   0x10,
                   0xAA,
                   0x00,
                   0x00};  // extension
        d.insert(d.end(), payload.begin(), payload.end());
        return d;
    };
    receiver r(c);
    ASSERT_EQ(r.feed_datagram(datagram(1, fu(c, intra_header(c), FU_START, chunk(0)))).rc,
              RTP_SUCCESS);
    received joined = r.feed_datagram(datagram(2, fu(c, intra_header(c), FU_END, chunk(1))));
    ASSERT_EQ(joined.rc, RTP_FRAME_READY);
    received split = r.feed_datagram(datagram(3, {0x18, 0x00, 0x01, 0x68}));
    ASSERT_EQ(split.rc, RTP_FRAMES_READY);
    ASSERT_EQ(split.frames.size(), 1u);
    for (const frame_ptr *f : {&joined.frames[0], &split.frames[0]}) {
        EXPECT_EQ((*f)->header.csrc_count, 0);
        EXPECT_EQ((*f)->header.extension, 0);
        EXPECT_EQ((*f)->csrc_list, nullptr);
        EXPECT_EQ((*f)->extension_header, nullptr);
        EXPECT_EQ((*f)->header.timestamp, k_ts);
    }
}

// --- garbage collection -------------------------------------------------------

// FUs 100 (start) and 102 (end) without 101. The unit is dropped by the
// first collection after it outlived the delay limit (500 ms); collections
// run at most every 100 ms, at the end of the FU path.
TEST_F(H26xReceiveTest, IncompleteUnitIsDroppedByTheFirstCollectionPastTheLimit) {
    struct Case {
        const char *name;
        int64_t end_at_ms;      // arrival of 102; a collection runs then
        int64_t trigger_at_ms;  // arrival of an FU of another access unit
        bool dropped;
    };
    const Case cases[] = {
        {"collected once past the limit", 450, 560, true},
        {"collections run at most every 100 ms", 450, 520, false},
        {"a unit exactly at the limit is kept", 400, 500, false},
        {"one millisecond past the limit", 400, 501, true},
    };
    const codec c = codec::h265;
    const bytes nal = intra_header(c);
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        g_now = clock::hrc::hrc_t(std::chrono::seconds(1000));
        receiver r(c);
        ASSERT_EQ(r.feed(100, fu(c, nal, FU_START, chunk(0))).rc, RTP_SUCCESS);
        advance_ms(tc.end_at_ms);
        ASSERT_EQ(r.feed(102, fu(c, nal, FU_END, chunk(2))).rc, RTP_SUCCESS);
        advance_ms(tc.trigger_at_ms - tc.end_at_ms);
        stderr_capture capture;
        EXPECT_EQ(r.feed(200, fu(c, nal, FU_START, chunk(7)), k_ts + 3000).rc, RTP_SUCCESS);
        received late = r.feed(101, fu(c, nal, FU_MIDDLE, chunk(1)));
        EXPECT_EQ(capture.stop(), "");  // a dropped unit's packets go silently
        if (tc.dropped) {
            EXPECT_EQ(late.rc, RTP_FAILED);
        } else {
            ASSERT_EQ(late.rc, RTP_FRAME_READY);
            EXPECT_EQ(payload_of(*late.frames[0]),
                      cat({start_code(c), nal, chunk(0), chunk(1), chunk(2)}));
        }
    }
}

// An access unit whose NAL units have all been handed on leaves the table
// quietly: its timestamp is not remembered as dropped, so later packets with
// it still count. One with a NAL unit still pending is dropped as lost, and
// later packets of it are discarded.
TEST_F(H26xReceiveTest, DeliveredAccessUnitLeavesWithoutCountingAsLost) {
    struct Case {
        const char *name;
        bool leave_unit_pending;
    };
    const Case cases[] = {{"all delivered", false}, {"one NAL unit pending", true}};
    const codec c = codec::h264;
    const bytes intra = intra_header(c);
    const bytes inter = inter_header(c);
    const uint32_t next_ts = k_ts + 3000;
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        receiver r(c);
        ASSERT_EQ(r.feed(10, fu(c, intra, FU_START, chunk(0))).rc, RTP_SUCCESS);
        ASSERT_EQ(r.feed(11, fu(c, intra, FU_END, chunk(1))).rc, RTP_FRAME_READY);
        if (tc.leave_unit_pending) {
            ASSERT_EQ(r.feed(12, fu(c, intra, FU_START, chunk(2))).rc, RTP_SUCCESS);
        }
        advance_ms(600);
        stderr_capture capture;
        // The collection at this packet finds the first access unit too old.
        ASSERT_EQ(r.feed(20, fu(c, inter, FU_START, chunk(3)), next_ts).rc, RTP_SUCCESS);
        received next = r.feed(21, fu(c, inter, FU_END, chunk(4)), next_ts);
        // A late NAL unit with the first timestamp.
        received late_start = r.feed(14, fu(c, inter, FU_START, chunk(5)));
        received late_end = r.feed(15, fu(c, inter, FU_END, chunk(6)));
        EXPECT_EQ(capture.stop(), "");
        ASSERT_EQ(next.rc, RTP_FRAME_READY);
        EXPECT_EQ(payload_of(*next.frames[0]), cat({start_code(c), inter, chunk(3), chunk(4)}));
        if (tc.leave_unit_pending) {
            EXPECT_EQ(late_start.rc, RTP_FAILED);
            EXPECT_EQ(late_end.rc, RTP_FAILED);
        } else {
            EXPECT_EQ(late_start.rc, RTP_SUCCESS);
            EXPECT_EQ(late_end.rc, RTP_FRAME_READY);
        }
    }
}

// --- key-frame wait ----------------------------------------------------------

// In resync mode NAL units come out as whole access units, once the one
// carrying the marker bit (or a packet of the next access unit) shows where
// the unit ends; inter access units are dropped until a key one arrived.
TEST_F(H26xReceiveTest, ResyncDropsInterUnitsUntilAKeyFrame) {
    struct Case {
        const char *name;
        codec c;
        bool intra;
    };
    const Case cases[] = {
        {"h264 inter", codec::h264, false}, {"h264 intra", codec::h264, true},
        {"h265 inter", codec::h265, false}, {"h265 intra", codec::h265, true},
        {"h266 inter", codec::h266, false}, {"h266 intra", codec::h266, true},
    };
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        receiver r(tc.c, RCE_H26X_RESYNC_ON_KEY_FRAME);
        const bytes nal = tc.intra ? intra_header(tc.c) : inter_header(tc.c);
        stderr_capture capture;
        EXPECT_EQ(r.feed(100, fu(tc.c, nal, FU_START, chunk(0))).rc, RTP_SUCCESS);
        // The NAL unit is whole, the access unit not yet known to end.
        EXPECT_EQ(r.feed(101, fu(tc.c, nal, FU_END, chunk(1))).rc, RTP_SUCCESS);
        received got = r.feed(102, cat({nal, {0x55}}), k_ts, true);
        std::string log = capture.stop();
        if (tc.intra) {
            ASSERT_EQ(got.rc, RTP_FRAMES_READY);
            EXPECT_EQ(got.payloads(),
                      (std::vector<bytes>{cat({start_code(tc.c), nal, chunk(0), chunk(1)}),
                                          cat({start_code(tc.c), nal, {0x55}})}));
            EXPECT_EQ(log, log_line(k_info, "packet_handler", "Found a key frame at ts 11259375"));
        } else {
            EXPECT_EQ(got.rc, RTP_SUCCESS);
            EXPECT_TRUE(got.frames.empty());
            EXPECT_EQ(log, log_line(k_warning, "packet_handler",
                                    "Dropping h26x access unit because of missing reference. "
                                    "Timestamp: 11259375. Seq: 100 - 102"));
        }

        // The next access unit, inter: delivered once a key frame ended the
        // wait, dropped while it goes on. Single NAL unit packets wait too.
        const bytes inter = inter_header(tc.c);
        const uint32_t next_ts = k_ts + 3000;
        stderr_capture next_capture;
        EXPECT_EQ(r.feed(103, fu(tc.c, inter, FU_START, chunk(2)), next_ts).rc, RTP_SUCCESS);
        EXPECT_EQ(r.feed(104, fu(tc.c, inter, FU_END, chunk(3)), next_ts).rc, RTP_SUCCESS);
        received next = r.feed(105, cat({inter, {0x77}}), next_ts, true);
        // A late packet of an access unit handed on or dropped goes silently.
        received late = r.feed(99, fu(tc.c, nal, FU_START, chunk(4)));
        log = next_capture.stop();
        if (tc.intra) {
            ASSERT_EQ(next.rc, RTP_FRAMES_READY);
            EXPECT_EQ(next.payloads(),
                      (std::vector<bytes>{cat({start_code(tc.c), inter, chunk(2), chunk(3)}),
                                          cat({start_code(tc.c), inter, {0x77}})}));
        } else {
            EXPECT_EQ(next.rc, RTP_SUCCESS);
            EXPECT_TRUE(next.frames.empty());
        }
        EXPECT_EQ(late.rc, RTP_FAILED);
        // A second drop within a second of the first is counted, not written.
        EXPECT_EQ(log, "");
    }
}

// A key NAL unit ends the wait whichever packet carries it: a single NAL
// unit packet or an aggregation packet used to be passed on without ending
// it, and the inter pictures after such a key picture were dropped.
TEST_F(H26xReceiveTest, KeyFrameOutsideFusDidNotEndTheWait) {
    struct Case {
        const char *name;
        codec c;
        bytes payload;
        size_t units;
    };
    const Case cases[] = {
        {"h264 IDR slice, single", codec::h264, {0x65, 0x88, 0x84}, 1},
        {"h264 IDR slice in a STAP-A",
         codec::h264,
         {0x18, 0x00, 0x02, 0x67, 0x42, 0x00, 0x02, 0x65, 0x88},
         2},
        {"h265 IDR_N_LP, single", codec::h265, {0x28, 0x01, 0xAF}, 1},
        {"h265 CRA in an AP",
         codec::h265,
         {0x60, 0x01, 0x00, 0x02, 0x40, 0x01, 0x00, 0x03, 0x2A, 0x01, 0xAF},
         2},
        {"h266 CRA, single", codec::h266, {0x00, 0x49, 0xAF}, 1},
    };
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        receiver r(tc.c, RCE_H26X_RESYNC_ON_KEY_FRAME);
        stderr_capture capture;
        const received key = r.feed(50, tc.payload, k_ts, true);
        EXPECT_EQ(key.rc, RTP_FRAMES_READY);
        EXPECT_EQ(key.frames.size(), tc.units);
        const bytes inter = inter_header(tc.c);
        EXPECT_EQ(r.feed(51, fu(tc.c, inter, FU_START, chunk(0)), k_ts + 3000).rc, RTP_SUCCESS);
        const received next = r.feed(52, fu(tc.c, inter, FU_END, chunk(1)), k_ts + 3000, true);
        EXPECT_EQ(capture.stop(),
                  log_line(k_info, "packet_handler", "Found a key frame at ts 11259375"));
        ASSERT_EQ(next.rc, RTP_FRAMES_READY);
        ASSERT_EQ(next.frames.size(), 1u);
        EXPECT_EQ(payload_of(*next.frames[0]), cat({start_code(tc.c), inter, chunk(0), chunk(1)}));
    }
}

// An access unit of parameter sets alone is handed on while the wait goes
// on, and does not end it.
TEST_F(H26xReceiveTest, ParameterSetFuDoesNotEndTheWait) {
    const codec c = codec::h264;
    receiver r(c, RCE_H26X_RESYNC_ON_KEY_FRAME);
    const bytes sps = {0x67};
    stderr_capture capture;
    EXPECT_EQ(r.feed(1, fu(c, sps, FU_START, chunk(0))).rc, RTP_SUCCESS);
    EXPECT_EQ(r.feed(2, fu(c, sps, FU_END, chunk(1)), k_ts, true).rc, RTP_FRAMES_READY);
    EXPECT_EQ(capture.stop(), "");
    stderr_capture quiet;
    EXPECT_EQ(r.feed(3, fu(c, inter_header(c), FU_START, chunk(2)), k_ts + 1).rc, RTP_SUCCESS);
    const received inter = r.feed(4, fu(c, inter_header(c), FU_END, chunk(3)), k_ts + 1, true);
    EXPECT_EQ(inter.rc, RTP_SUCCESS);
    EXPECT_TRUE(inter.frames.empty());
}

// --- a clip as a standard payloader sends it ---------------------------------

// NAL unit types (ITU-T H.264 table 7-1, H.265 table 7-1, H.266 table 5).
namespace nal_type {
constexpr uint8_t h264_slice = 1, h264_idr = 5, h264_sps = 7, h264_pps = 8;
constexpr uint8_t h265_trail_n = 0, h265_trail_r = 1, h265_idr_w_radl = 19, h265_idr_n_lp = 20,
                  h265_cra = 21, h265_vps = 32, h265_sps = 33, h265_pps = 34;
constexpr uint8_t h266_trail = 0, h266_idr_n_lp = 8, h266_cra = 9, h266_sps = 15, h266_pps = 16;
}  // namespace nal_type

// The NAL header of a unit of `type`; H.264 takes `nri` for its importance.
bytes nal_header(codec c, uint8_t type, uint8_t nri = 3) {
    switch (c) {
        case codec::h264:
            return {static_cast<uint8_t>(nri << 5 | type)};
        case codec::h265:
            return {static_cast<uint8_t>(type << 1), 0x01};  // layer 0, TID 1
        case codec::h266:
            return {0x00, static_cast<uint8_t>(type << 3 | 1)};
    }
    return {};
}

// One picture of a clip: its RTP timestamp (the presentation time) and its
// NAL units, parameter sets first on key pictures.
struct picture {
    uint32_t ts;
    std::vector<bytes> nals;
};

// What the encoder wrote: slice sizes by picture kind and the NAL type of
// key pictures (x265 writes IDR_N_LP, then CRA in an open GOP).
struct clip_shape {
    size_t key_slice;
    size_t p_slice;
    size_t b_slice;
    uint8_t first_key_type;
    uint8_t key_type;
};

constexpr size_t k_slices = 8;
constexpr size_t k_pictures = 60;
constexpr size_t k_gop = 30;
constexpr uint32_t k_ticks_per_picture = 3000;  // 30 pictures a second at 90 kHz

// A NAL unit whose bytes name its picture and index, so a misplaced or
// repeated fragment shows.
bytes unit(const bytes &header, size_t size, size_t pic, size_t index) {
    bytes nal = header;
    for (size_t i = nal.size(); i < size; ++i) {
        nal.push_back(static_cast<uint8_t>(pic * 16 + index + i * 7));
    }
    return nal;
}

// Presentation index and kind ('I', 'P', 'B') of each picture in decoding
// order: a key picture every 30, and between them a P picture followed by
// the two B pictures shown before it (I0 P3 B1 B2 P6 B4 B5 ...).
std::vector<std::pair<size_t, char>> decoding_order() {
    std::vector<std::pair<size_t, char>> order;
    for (size_t g = 0; g < k_pictures; g += k_gop) {
        const size_t end = std::min(g + k_gop, k_pictures);
        order.emplace_back(g, 'I');
        for (size_t k = g + 1; k < end; k += 3) {
            const size_t last = std::min(k + 3, end) - 1;
            order.emplace_back(last, 'P');
            for (size_t b = k; b < last; ++b) {
                order.emplace_back(b, 'B');
            }
        }
    }
    return order;
}

std::vector<bytes> parameter_sets(codec c, size_t pic) {
    using namespace nal_type;
    switch (c) {
        case codec::h264:
            return {unit(nal_header(c, h264_sps), 24, pic, 14),
                    unit(nal_header(c, h264_pps), 6, pic, 15)};
        case codec::h265:
            return {unit(nal_header(c, h265_vps), 24, pic, 13),
                    unit(nal_header(c, h265_sps), 45, pic, 14),
                    unit(nal_header(c, h265_pps), 8, pic, 15)};
        case codec::h266:
            return {unit(nal_header(c, h266_sps), 30, pic, 14),
                    unit(nal_header(c, h266_pps), 8, pic, 15)};
    }
    return {};
}

// The slice header of a picture of `kind`; `first` for the clip's first.
bytes slice_header(codec c, const clip_shape &shape, char kind, bool first) {
    using namespace nal_type;
    const uint8_t key = first ? shape.first_key_type : shape.key_type;
    switch (c) {
        case codec::h264:  // B pictures are not referenced: NRI 0
            return kind == 'I'   ? nal_header(c, h264_idr, 3)
                   : kind == 'P' ? nal_header(c, h264_slice, 2)
                                 : nal_header(c, h264_slice, 0);
        case codec::h265:
            return kind == 'I'   ? nal_header(c, key)
                   : kind == 'P' ? nal_header(c, h265_trail_r)
                                 : nal_header(c, h265_trail_n);
        case codec::h266:
            return nal_header(c, kind == 'I' ? key : h266_trail);
    }
    return {};
}

// Sixty pictures in decoding order, each carrying its own presentation time,
// so the timestamps go backwards at every B picture; `first_ts` lets them
// wrap.
std::vector<picture> make_clip(codec c, const clip_shape &shape, uint32_t first_ts) {
    const auto order = decoding_order();
    std::vector<picture> clip;
    for (size_t n = 0; n < order.size(); ++n) {
        const char kind = order[n].second;
        picture pic;
        pic.ts = first_ts + static_cast<uint32_t>(order[n].first) * k_ticks_per_picture;
        if (kind == 'I') {
            pic.nals = parameter_sets(c, n);
        }
        const bytes header = slice_header(c, shape, kind, n == 0);
        const size_t size = kind == 'I'   ? shape.key_slice
                            : kind == 'P' ? shape.p_slice
                                          : shape.b_slice;
        for (size_t i = 0; i < k_slices; ++i) {
            // Slices of one picture differ in size, so runs of FUs differ.
            bytes slice = unit(header, size + 37 * i, n, i);
            // The slice header's first bit: H.264 first_mb_in_slice is 0
            // (ue(v) "1") only for the first slice, as is H.265
            // first_slice_segment_in_pic_flag set.
            uint8_t &first_bit = slice[header.size()];
            first_bit = static_cast<uint8_t>(i == 0 ? first_bit | 0x80 : first_bit & 0x7F);
            pic.nals.push_back(std::move(slice));
        }
        clip.push_back(std::move(pic));
    }
    return clip;
}

struct wire_packet {
    uint16_t seq;
    uint32_t ts;
    bool marker;
    bytes payload;
    size_t picture;  // index in decoding order
};

// As rtph264pay and rtph265pay send with their default settings: no
// aggregation; a NAL unit that fits the payload size in a packet of its own,
// a larger one in FUs; the marker on the last packet of the access unit;
// sequence numbers running on across access units.
std::vector<wire_packet> packetize(codec c, const std::vector<picture> &clip, uint16_t first_seq,
                                   size_t payload_size = 1388) {
    const size_t header = c == codec::h264 ? 1 : 2;
    const size_t fragment = payload_size - header - 1;
    std::vector<wire_packet> out;
    uint16_t seq = first_seq;
    for (size_t n = 0; n < clip.size(); ++n) {
        const picture &pic = clip[n];
        for (const bytes &nal : pic.nals) {
            if (nal.size() <= payload_size) {
                out.push_back({seq++, pic.ts, false, nal, n});
                continue;
            }
            const size_t data = nal.size() - header;
            const size_t count = (data + fragment - 1) / fragment;
            for (size_t i = 0; i < count; ++i) {
                const auto from = static_cast<std::ptrdiff_t>(header + i * fragment);
                const auto to =
                    static_cast<std::ptrdiff_t>(std::min(nal.size(), header + (i + 1) * fragment));
                out.push_back({seq++, pic.ts, false,
                               fu_at(c, nal, i, count, bytes(nal.begin() + from, nal.begin() + to)),
                               n});
            }
        }
        out.back().marker = true;
    }
    return out;
}

struct playback {
    std::vector<bytes> delivered;
    std::vector<size_t> per_picture;  // NAL units delivered per picture
    size_t failed = 0;
    std::string log;
};

// Feeds the packets, `pace_ms` apart per access unit on the fake clock, to a
// receiver with `flags`, skipping the packets at the indices in `lost`.
playback play(codec c, int flags, const std::vector<picture> &clip,
              const std::vector<wire_packet> &packets, int64_t pace_ms,
              const std::vector<size_t> &lost = {}) {
    playback result;
    result.per_picture.assign(clip.size(), 0);
    receiver r(c, flags);
    stderr_capture capture;
    for (size_t i = 0; i < packets.size(); ++i) {
        const wire_packet &p = packets[i];
        if (i > 0 && packets[i - 1].picture != p.picture) {
            advance_ms(pace_ms);
        }
        if (std::find(lost.begin(), lost.end(), i) != lost.end()) {
            continue;
        }
        received got = r.feed(p.seq, p.payload, p.ts, p.marker);
        result.failed += got.rc == RTP_FAILED ? 1 : 0;
        for (const frame_ptr &f : got.frames) {
            // Delivered NAL units carry the timestamp of their picture.
            for (size_t n = 0; n < clip.size(); ++n) {
                if (clip[n].ts == f->header.timestamp) {
                    ++result.per_picture[n];
                }
            }
            result.delivered.push_back(payload_of(*f));
        }
    }
    result.log = capture.stop();
    return result;
}

// A picture stream with B pictures, 8 slices a picture and a key picture
// every 30, as GStreamer's payloaders send it, without any loss: in resync
// mode every NAL unit must come out, in order. H.265 key pictures that are
// not IDR_W_RADL (x265 writes IDR_N_LP, and CRA in an open GOP) used to be
// taken for something other than a key frame: the wait that starts every
// stream was never ended, and every fragmented inter slice was dropped "because
// of missing reference". And a key picture whose slices each fit in one
// packet did not end that wait either, only a fragmented one did.
TEST_F(H26xReceiveTest, ResyncModeDroppedPicturesOfALosslessStreamWithBPictures) {
    struct Case {
        const char *name;
        codec c;
        clip_shape shape;
        int64_t pace_ms;
    };
    using namespace nal_type;
    const Case cases[] = {
        {"h265 as x265 writes it: IDR_N_LP, all slices in FUs, real time",
         codec::h265,
         {3000, 1900, 1500, h265_idr_n_lp, h265_idr_n_lp},
         33},
        {"h265 IDR_N_LP, all slices in FUs, one burst",
         codec::h265,
         {3000, 1900, 1500, h265_idr_n_lp, h265_idr_n_lp},
         0},
        {"h265 open GOP: IDR_N_LP, then CRA",
         codec::h265,
         {3000, 1900, 1500, h265_idr_n_lp, h265_cra},
         33},
        {"h265 IDR_W_RADL", codec::h265, {3000, 1900, 1500, h265_idr_w_radl, h265_idr_w_radl}, 33},
        {"h265 key slices in single packets, P slices in FUs, B slices single",
         codec::h265,
         {1000, 1900, 300, h265_idr_w_radl, h265_idr_w_radl},
         33},
        {"h264 all slices in FUs, real time", codec::h264, {3000, 1900, 1500, 0, 0}, 33},
        {"h264 all slices in FUs, one burst", codec::h264, {3000, 1900, 1500, 0, 0}, 0},
        {"h264 key slices in single packets, P slices in FUs, B slices single",
         codec::h264,
         {1000, 1900, 300, 0, 0},
         33},
        {"h266 IDR_N_LP, then CRA", codec::h266, {3000, 1900, 1500, h266_idr_n_lp, h266_cra}, 33},
    };
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        g_now = clock::hrc::hrc_t(std::chrono::seconds(1000));
        // Timestamps wrap at the tenth picture, sequence numbers early on.
        const uint32_t first_ts = 0u - 10 * k_ticks_per_picture;
        const std::vector<picture> clip = make_clip(tc.c, tc.shape, first_ts);
        const std::vector<wire_packet> packets = packetize(tc.c, clip, 65500);
        std::vector<bytes> expected;
        for (const picture &pic : clip) {
            for (const bytes &nal : pic.nals) {
                expected.push_back(cat({start_code(tc.c), nal}));
            }
        }
        const playback got = play(tc.c, RCE_H26X_RESYNC_ON_KEY_FRAME, clip, packets, tc.pace_ms);
        EXPECT_EQ(got.failed, 0u);
        EXPECT_EQ(got.delivered.size(), expected.size());
        EXPECT_TRUE(got.delivered == expected) << "NAL units differ or are out of order";
        EXPECT_EQ(got.log, log_line(k_info, "packet_handler",
                                    "Found a key frame at ts " + std::to_string(first_ts)));
    }
}

// Resync mode under loss: no picture with a slice missing reaches the
// decoder, and no picture predicted from one. The access unit of a lost
// packet is dropped whole, inter pictures after it until the next key
// picture, from which on all arrives again. A lost packet carrying a whole
// slice used to start no wait at all, and the slices of the lost packet's
// picture before it had already been handed on.
TEST_F(H26xReceiveTest, LostPacketDropsItsWholeAccessUnitThenInterPicturesUntilTheNextKey) {
    struct Case {
        const char *name;
        codec c;
        clip_shape shape;
        size_t picture;  // of the lost packet, in decoding order
        size_t packet;   // which packet of that picture
    };
    using namespace nal_type;
    const Case cases[] = {
        // P6: each slice takes two FUs, the fourth slice's second is lost.
        {"h264, middle FU of a P picture", codec::h264, {3000, 1900, 1500, 0, 0}, 4, 7},
        {"h265, middle FU of a P picture",
         codec::h265,
         {3000, 1900, 1500, h265_idr_n_lp, h265_cra},
         4,
         7},
        // B4: slices in packets of their own, the sixth is lost.
        {"h264, a whole slice of a B picture", codec::h264, {1000, 1900, 300, 0, 0}, 5, 5},
        {"h265, a whole slice of a B picture",
         codec::h265,
         {1000, 1900, 300, h265_idr_w_radl, h265_idr_w_radl},
         5,
         5},
        {"h266, a whole slice of a B picture",
         codec::h266,
         {1000, 1900, 300, h266_idr_n_lp, h266_cra},
         5,
         5},
        // The last packet of a P picture, with the marker bit.
        {"h265, the marker packet",
         codec::h265,
         {1000, 1900, 300, h265_idr_w_radl, h265_cra},
         4,
         15},
    };
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        g_now = clock::hrc::hrc_t(std::chrono::seconds(1000));
        const std::vector<picture> clip = make_clip(tc.c, tc.shape, 90000);
        const std::vector<wire_packet> packets = packetize(tc.c, clip, 65000);
        size_t lost = 0;
        size_t seen = 0;
        for (size_t i = 0; i < packets.size(); ++i) {
            if (packets[i].picture == tc.picture && seen++ == tc.packet) {
                lost = i;
                break;
            }
        }
        ASSERT_GT(lost, 0u);
        if (tc.packet == 15) {
            ASSERT_TRUE(packets[lost].marker);
        }
        const playback got = play(tc.c, RCE_H26X_RESYNC_ON_KEY_FRAME, clip, packets, 33, {lost});
        EXPECT_NE(got.log.find("Dropping h26x access unit because of missing reference"),
                  std::string::npos);
        for (size_t n = 0; n < clip.size(); ++n) {
            const bool dropped = n >= tc.picture && n < k_gop;
            EXPECT_EQ(got.per_picture[n], dropped ? 0 : clip[n].nals.size()) << "picture " << n;
        }
    }
}

// Packets reordered within the reorder window: every access unit still
// comes out whole and in decoding order, each NAL unit once.
TEST_F(H26xReceiveTest, ResyncModeRestoresDecodingOrderOfReorderedPackets) {
    using namespace nal_type;
    const codec c = codec::h265;
    const std::vector<picture> clip =
        make_clip(c, {1000, 1900, 300, h265_idr_w_radl, h265_idr_w_radl}, 90000);
    std::vector<wire_packet> packets = packetize(c, clip, 65530);
    // Swap neighbours here and there, across access units too.
    for (size_t i = 3; i + 1 < packets.size(); i += 7) {
        std::swap(packets[i], packets[i + 1]);
    }
    std::vector<bytes> expected;
    for (const picture &pic : clip) {
        for (const bytes &nal : pic.nals) {
            expected.push_back(cat({start_code(c), nal}));
        }
    }
    const playback got = play(c, RCE_H26X_RESYNC_ON_KEY_FRAME, clip, packets, 33);
    EXPECT_EQ(got.delivered.size(), expected.size());
    EXPECT_TRUE(got.delivered == expected) << "NAL units differ or are out of order";
    EXPECT_EQ(got.log.find("Dropping"), std::string::npos);
}

// --- regressions -------------------------------------------------------------

// Two access units holding the same sequence number (65536 packets apart):
// dropping the older one must not free the fragment the newer one stored.
TEST_F(H26xReceiveTest, FragmentOverwrittenByAnotherAccessUnitSurvivesTheOlderUnitsDrop) {
    const codec c = codec::h265;
    const bytes nal = intra_header(c);
    const uint32_t ts1 = 1, ts2 = 2, ts3 = 3;
    receiver r(c);
    ASSERT_EQ(r.feed(5, fu(c, nal, FU_START, chunk(0)), ts1).rc, RTP_SUCCESS);
    advance_ms(400);
    stderr_capture capture;
    ASSERT_EQ(r.feed(5, fu(c, nal, FU_START, chunk(1)), ts2).rc, RTP_SUCCESS);
    EXPECT_EQ(capture.stop(),
              log_line(k_warning, "packet_handler",
                       "Found an existing fragment with same sequence number 5! Fragment ts: 1, "
                       "current ts: 2"));
    advance_ms(150);
    stderr_capture later;
    // Collects ts1 (550 ms old); ts2 is 150 ms old.
    ASSERT_EQ(r.feed(900, fu(c, nal, FU_START, chunk(2)), ts3).rc, RTP_SUCCESS);
    received got = r.feed(6, fu(c, nal, FU_END, chunk(3)), ts2);
    EXPECT_EQ(later.stop(), "");
    ASSERT_EQ(got.rc, RTP_FRAME_READY);
    EXPECT_EQ(payload_of(*got.frames[0]), cat({start_code(c), nal, chunk(1), chunk(3)}));
}

// Access unit 2 takes over sequence number 12 while fragments 10 to 12 of
// access unit 1 wait for their start: the rest of that run goes with it, so
// unit 1's late start fragment 9 cannot reach through 12 into unit 2's
// fragments and spoil the NAL unit 12 to 13.
TEST_F(H26xReceiveTest, FragmentTakenOverByAnotherAccessUnitLeavesNoRunReachingIntoIt) {
    const codec c = codec::h265;
    const bytes nal = intra_header(c);
    const uint32_t ts1 = 1, ts2 = 2;
    receiver r(c);
    stderr_capture capture;
    for (const uint16_t seq : std::vector<uint16_t>{10, 11, 12}) {
        ASSERT_EQ(r.feed(seq, fu(c, nal, FU_MIDDLE, chunk(seq)), ts1).rc, RTP_SUCCESS);
    }
    ASSERT_EQ(r.feed(12, fu(c, nal, FU_START, chunk(0)), ts2).rc, RTP_SUCCESS);
    ASSERT_EQ(r.feed(9, fu(c, nal, FU_START, chunk(9)), ts1).rc, RTP_SUCCESS);
    const received got = r.feed(13, fu(c, nal, FU_END, chunk(1)), ts2);
    ASSERT_EQ(got.rc, RTP_FRAME_READY);
    EXPECT_EQ(payload_of(*got.frames[0]), cat({start_code(c), nal, chunk(0), chunk(1)}));
    EXPECT_EQ(capture.stop(),
              log_line(k_warning, "packet_handler",
                       "Found an existing fragment with same sequence number 12! Fragment ts: 1, "
                       "current ts: 2"));
}

// The receiver tracks at most k_max_access_units access units with FUs at
// once. One more gives up the oldest that was handed on with nothing pending,
// quietly; failing that, the oldest of all is dropped as the garbage
// collection would drop it, and its late fragments are discarded.
TEST_F(H26xReceiveTest, AccessUnitBeyondTheTableGivesUpTheOldest) {
    struct Case {
        const char *name;
        bool others_delivered;  // all but the first access unit complete
        RTP_ERROR first_completes;
    };
    const Case cases[] = {
        {"all incomplete: the first is dropped", false, RTP_FAILED},
        {"the oldest delivered one leaves instead", true, RTP_FRAME_READY},
    };
    const codec c = codec::h265;
    const bytes nal = intra_header(c);
    constexpr size_t k_units = formats::h26x::k_max_access_units + 1;
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        receiver r(c);
        stderr_capture capture;
        // Access unit i: FU start 1000 + 2i, FU end 1001 + 2i, 1 ms apart.
        for (uint32_t i = 0; i < k_units; ++i) {
            const auto seq = static_cast<uint16_t>(1000 + 2 * i);
            ASSERT_EQ(r.feed(seq, fu(c, nal, FU_START, chunk(0)), k_ts + i).rc, RTP_SUCCESS);
            if (tc.others_delivered && i > 0) {
                ASSERT_EQ(
                    r.feed(static_cast<uint16_t>(seq + 1), fu(c, nal, FU_END, chunk(1)), k_ts + i)
                        .rc,
                    RTP_FRAME_READY);
            }
            advance_ms(1);
        }
        const received first = r.feed(1001, fu(c, nal, FU_END, chunk(1)), k_ts);
        EXPECT_EQ(first.rc, tc.first_completes);
        if (!tc.others_delivered) {
            // The second oldest is still there.
            const received second = r.feed(1003, fu(c, nal, FU_END, chunk(1)), k_ts + 1);
            ASSERT_EQ(second.rc, RTP_FRAME_READY);
            EXPECT_EQ(payload_of(*second.frames[0]), cat({start_code(c), nal, chunk(0), chunk(1)}));
        }
        EXPECT_EQ(capture.stop(), "");
    }
}

// The memory of dropped access units forgets the oldest drop, not the
// numerically smallest timestamp, which after a timestamp wrap is the newest.
TEST_F(H26xReceiveTest, DroppedTimestampMemoryForgetsTheOldestDropAcrossTheWrap) {
    const codec c = codec::h264;
    const bytes inter = inter_header(c);
    receiver r(c, RCE_H26X_RESYNC_ON_KEY_FRAME);
    std::vector<uint32_t> drops = {0xFFFFFF00u};
    for (uint32_t ts = 0; ts < 600; ++ts) {
        drops.push_back(ts);
    }
    uint16_t seq = 0;
    {
        stderr_capture quiet;
        for (uint32_t ts : drops) {
            ASSERT_EQ(r.feed(seq++, fu(c, inter, FU_START, chunk(0)), ts).rc, RTP_SUCCESS);
            const received dropped = r.feed(seq++, fu(c, inter, FU_END, chunk(1)), ts, true);
            ASSERT_EQ(dropped.rc, RTP_SUCCESS);
            ASSERT_TRUE(dropped.frames.empty());
        }
    }
    // 601 drops: the first one is forgotten, the newest ones are kept.
    EXPECT_EQ(r.feed(seq++, {0x65, 0x88}, 0xFFFFFF00u, true).rc, RTP_FRAMES_READY);
    EXPECT_EQ(r.feed(seq++, {0x65, 0x88}, 0, true).rc, RTP_FAILED);
    EXPECT_EQ(r.feed(seq++, {0x65, 0x88}, 599, true).rc, RTP_FAILED);
}

}  // namespace
