// The H.264, H.265 and H.266 packetizers observed at the system-call seam:
// header bytes of single NAL unit, aggregation and FU packets, the marker,
// timestamp and sequence numbers of an access unit, round trips through a
// small depacketizer written from RFC 6184, RFC 7798 and RFC 9328, and the
// start-code search against a byte-wise reference, next to guard pages.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "formats/h26x.hh"
#include "support/fake_syscalls.hh"
#include "support/stderr_capture.hh"
#include "transport/socket.hh"
#include "util/byte_reader.hh"

using namespace tessal;
using tessal::test::fake_syscalls;
using tessal::test::stderr_capture;

namespace {

constexpr uint32_t k_ssrc = 0x264A265B;
constexpr size_t k_payload_size = 1000;

clock::hrc::hrc_t g_now{std::chrono::seconds(500)};
clock::hrc::hrc_t fake_now() {
    return g_now;
}

using bytes = std::vector<uint8_t>;

std::string error_line(const char *function, const std::string &message) {
    return std::string("[Tessal][ERROR][::") + function + "] " + message + "\n";
}

// ---------------------------------------------------------------------------
// Access units

// One NAL unit of an access unit: its header bytes, its total length and the
// start code in front of it.
struct nal_shape {
    bytes header;
    size_t size;
    size_t start_code = 4;
};

// A NAL unit body without 00 00 (so no start code emulation) and ending in a
// non-zero byte, as an encoder's emulation prevention guarantees.
bytes nal_unit(const nal_shape &shape, std::mt19937 &rng) {
    bytes nal = shape.header;
    nal.resize(std::max(shape.size, shape.header.size()));
    for (size_t i = shape.header.size(); i < nal.size(); ++i) {
        auto b = static_cast<uint8_t>(rng());
        const bool after_zero = i > 0 && nal[i - 1] == 0;
        if (b == 0 && (after_zero || i + 1 == nal.size())) {
            b = 0x5A;
        }
        nal[i] = b;
    }
    return nal;
}

struct access_unit {
    bytes stream;  // Annex-B byte stream
    std::vector<bytes> nals;
};

access_unit annex_b(const std::vector<nal_shape> &shapes, uint32_t seed = 1,
                    const bytes &leading = {}, const bytes &trailing = {}) {
    std::mt19937 rng(seed);
    access_unit au;
    au.stream = leading;
    for (const nal_shape &shape : shapes) {
        au.stream.insert(au.stream.end(), shape.start_code - 3, 0);
        au.stream.insert(au.stream.end(), {0, 0, 1});
        au.nals.push_back(nal_unit(shape, rng));
        au.stream.insert(au.stream.end(), au.nals.back().begin(), au.nals.back().end());
    }
    au.stream.insert(au.stream.end(), trailing.begin(), trailing.end());
    return au;
}

// ---------------------------------------------------------------------------
// The wire

struct sent_packet {
    bool marker;
    uint16_t sequence;
    uint32_t timestamp;
    bytes payload;
};

// Every packet of an access unit: one timestamp, consecutive sequence
// numbers, the marker on the last packet only (RFC 6184 section 5.1,
// RFC 7798 section 4.1, RFC 9328 section 4.1).
void expect_one_access_unit(const std::vector<sent_packet> &packets) {
    ASSERT_FALSE(packets.empty());
    for (size_t i = 0; i < packets.size(); ++i) {
        SCOPED_TRACE("packet " + std::to_string(i));
        EXPECT_EQ(packets[i].timestamp, packets[0].timestamp);
        EXPECT_EQ(packets[i].sequence, static_cast<uint16_t>(packets[0].sequence + i));
        EXPECT_EQ(packets[i].marker, i + 1 == packets.size());
    }
}

// A depacketizer written from the RFCs, independent of the library's
// receive side. Non-interleaved mode: no DON fields. Returns the NAL units in
// order; a malformed stream fails the test.
class test_depacketizer {
public:
    explicit test_depacketizer(RTP_FORMAT format) : format_(format) {}

    std::vector<bytes> run(const std::vector<sent_packet> &packets) {
        for (const sent_packet &p : packets) {
            // A single NAL unit may be its header alone (end of sequence).
            const size_t header = format_ == FMT_H264 ? 1 : 2;
            if (p.payload.size() < header) {
                ADD_FAILURE() << "payload of " << p.payload.size() << " bytes";
                continue;
            }
            switch (kind(p.payload)) {
                case packet_kind::single:
                    expect_no_open_fu();
                    nals_.push_back(p.payload);
                    break;
                case packet_kind::aggregation:
                    expect_no_open_fu();
                    split_aggregation(p.payload, header);
                    break;
                case packet_kind::fragment:
                    add_fragment(p.payload, header);
                    break;
            }
        }
        expect_no_open_fu();
        return nals_;
    }

private:
    enum class packet_kind { single, aggregation, fragment };

    packet_kind kind(const bytes &payload) const {
        switch (format_) {
            case FMT_H264: {
                const int type = payload[0] & 0x1F;  // RFC 6184 section 5.2
                return type == 24   ? packet_kind::aggregation
                       : type == 28 ? packet_kind::fragment
                                    : packet_kind::single;
            }
            case FMT_H265: {
                const int type = (payload[0] >> 1) & 0x3F;  // RFC 7798 section 4.4
                return type == 48   ? packet_kind::aggregation
                       : type == 49 ? packet_kind::fragment
                                    : packet_kind::single;
            }
            default: {
                // RFC 9328 section 4.3: type 28 in the second byte. This
                // library's aggregation packets carry 0x38 0x01 by default,
                // the AP type placed in the first byte.
                if ((payload[0] & 0xFE) == 0x38 || (payload[1] >> 3) == 28) {
                    return packet_kind::aggregation;
                }
                return (payload[1] >> 3) == 29 ? packet_kind::fragment : packet_kind::single;
            }
        }
    }

    // RFC 6184 section 5.7.1, RFC 7798 section 4.4.2: 16-bit size, unit.
    void split_aggregation(const bytes &payload, size_t header) {
        byte_reader reader(payload.data(), payload.size());
        ASSERT_TRUE(reader.skip(header));
        size_t units = 0;
        while (reader.remaining() > 0) {
            uint16_t size = 0;
            ASSERT_TRUE(reader.read_u16(size));
            ASSERT_GT(size, 0);
            bytes nal(size);
            ASSERT_TRUE(reader.read_bytes(nal.data(), size));
            nals_.push_back(std::move(nal));
            ++units;
        }
        EXPECT_GE(units, 2u) << "aggregation packet with one unit";
        if (format_ == FMT_H266 && (payload[0] & 0xFE) != 0x38) {
            expect_rfc9328_ap_header(payload, units);
        }
    }

    // RFC 9328 section 4.3.2: F is the OR of the units' F bits, Z is 0,
    // LayerId and TID are the lowest of the units'.
    void expect_rfc9328_ap_header(const bytes &payload, size_t units) {
        const auto first = nals_.end() - static_cast<std::ptrdiff_t>(units);
        int f = 0;
        int layer_id = 63;
        int tid = 7;
        for (auto it = first; it != nals_.end(); ++it) {
            ASSERT_GE(it->size(), 2u);
            f |= (*it)[0] & 0x80;
            layer_id = std::min(layer_id, (*it)[0] & 0x3F);
            tid = std::min(tid, (*it)[1] & 0x07);
        }
        EXPECT_EQ(payload[0], f | layer_id);
        EXPECT_EQ(payload[1], (28 << 3) | tid);
    }

    // RFC 6184 section 5.8, RFC 7798 section 4.4.3, RFC 9328 section 4.3.3:
    // the NAL header is rebuilt from the payload header and the FU header.
    void add_fragment(const bytes &payload, size_t header) {
        ASSERT_GT(payload.size(), header + 1);
        const uint8_t fu = payload[header];
        const bool start = (fu & 0x80) != 0;
        const bool end = (fu & 0x40) != 0;
        ASSERT_FALSE(start && end) << "FU with both S and E";
        if (start) {
            expect_no_open_fu();
            open_ = true;
            fu_.clear();
            switch (format_) {
                case FMT_H264:
                    fu_.push_back(static_cast<uint8_t>((payload[0] & 0xE0) | (fu & 0x1F)));
                    break;
                case FMT_H265:
                    fu_.push_back(static_cast<uint8_t>((payload[0] & 0x81) | ((fu & 0x3F) << 1)));
                    fu_.push_back(payload[1]);
                    break;
                default:
                    fu_.push_back(payload[0]);
                    fu_.push_back(static_cast<uint8_t>(((fu & 0x1F) << 3) | (payload[1] & 7)));
                    break;
            }
        } else {
            ASSERT_TRUE(open_) << "FU continues no started NAL unit";
        }
        fu_.insert(fu_.end(), payload.begin() + static_cast<std::ptrdiff_t>(header) + 1,
                   payload.end());
        if (end) {
            nals_.push_back(fu_);
            open_ = false;
        }
    }

    void expect_no_open_fu() { EXPECT_FALSE(open_) << "FU run without an end fragment"; }

    RTP_FORMAT format_;
    std::vector<bytes> nals_;
    bytes fu_;
    bool open_ = false;
};

std::unique_ptr<formats::h26x> make_codec(RTP_FORMAT format, std::shared_ptr<tessal::socket> sock,
                                          std::shared_ptr<rtp> state) {
    switch (format) {
        case FMT_H264:
            return std::make_unique<formats::h264>(sock, state, RCE_NO_FLAGS);
        case FMT_H265:
            return std::make_unique<formats::h265>(sock, state, RCE_NO_FLAGS);
        default:
            return std::make_unique<formats::h266>(sock, state, RCE_NO_FLAGS);
    }
}

const char *codec_name(RTP_FORMAT format) {
    return format == FMT_H264 ? "H.264" : format == FMT_H265 ? "H.265" : "H.266";
}

class H26xSendTest : public ::testing::Test {
public:
    void make(RTP_FORMAT fmt, size_t payload_size = k_payload_size) {
        format.reset();
        sock.reset();
        fake = std::make_unique<fake_syscalls>();
        taken = 0;
        sock = std::make_shared<tessal::socket>(RCE_NO_FLAGS, fake.get());
        ASSERT_EQ(sock->init(AF_INET, SOCK_DGRAM, 0), RTP_SUCCESS);
        rtp_state = std::make_shared<rtp>(fmt, make_shared_ssrc(k_ssrc), false);
        rtp_state->set_time_source(fake_now);
        rtp_state->set_payload_size(payload_size);
        format = make_codec(fmt, sock, rtp_state);
    }

    // Pushes a copy of exactly `stream.size()` bytes, so a read past the
    // caller's buffer is a heap overflow under AddressSanitizer.
    RTP_ERROR push(const bytes &stream, int flags = 0) {
        g_now += std::chrono::milliseconds(40);  // a fresh timestamp per push
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[stream.size()]);
        std::memcpy(buffer.get(), stream.data(), stream.size());
        return format->push_frame(to4, to6, buffer.get(), stream.size(), flags, k_ssrc);
    }

    // Datagrams sent since the last call.
    std::vector<sent_packet> take_sent() {
        std::vector<sent_packet> out;
        const auto all = fake->sent();
        for (size_t i = taken; i < all.size(); ++i) {
            const bytes &d = all[i].bytes;
            EXPECT_GT(d.size(), k_rtp_header_size);
            out.push_back({(d[1] & 0x80) != 0, read_be16(d.data() + 2), read_be32(d.data() + 4),
                           bytes(d.begin() + k_rtp_header_size, d.end())});
        }
        taken = all.size();
        return out;
    }

    std::unique_ptr<fake_syscalls> fake;  // outlives the socket
    std::shared_ptr<tessal::socket> sock;
    std::shared_ptr<rtp> rtp_state;
    std::unique_ptr<formats::h26x> format;
    size_t taken = 0;
    sockaddr_in to4 = tessal::socket::create_sockaddr(AF_INET, "127.0.0.1", 5004);
    sockaddr_in6 to6 = tessal::socket::create_ip6_sockaddr("::1", 5004);
};

// ---------------------------------------------------------------------------
// Packets on the wire

// What one packet must look like: its first payload bytes and its length.
struct expected_packet {
    bytes prefix;
    size_t size;
};

void expect_packets(const std::vector<sent_packet> &sent,
                    const std::vector<expected_packet> &expected) {
    ASSERT_EQ(sent.size(), expected.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        SCOPED_TRACE("packet " + std::to_string(i));
        EXPECT_EQ(sent[i].payload.size(), expected[i].size);
        ASSERT_GE(sent[i].payload.size(), expected[i].prefix.size());
        EXPECT_EQ(
            bytes(sent[i].payload.begin(),
                  sent[i].payload.begin() + static_cast<std::ptrdiff_t>(expected[i].prefix.size())),
            expected[i].prefix);
    }
}

TEST_F(H26xSendTest, AccessUnitsOnTheWire) {
    struct Case {
        const char *name;
        RTP_FORMAT format;
        std::vector<nal_shape> nals;
        int flags;
        std::vector<expected_packet> packets;
        std::string log;
        bytes leading = {};
        bytes trailing = {};
    };
    const Case cases[] = {
        // 20 + 2 and 30 + 2 fit the budget of 998; 3000 - 2 = 2998 bytes of
        // FU data in fragments of 997.
        {"H.265 20/30/3000: one AP, then FUs of 997, 997, 997, 7",
         FMT_H265,
         {{{0x40, 0x01}, 20}, {{0x42, 0x01}, 30, 3}, {{0x26, 0x01}, 3000, 3}},
         0,
         {{{0x60, 0x01, 0x00, 20, 0x40, 0x01}, 2 + 2 + 20 + 2 + 30},
          {{0x62, 0x01, 0x93}, 1000},
          {{0x62, 0x01, 0x13}, 1000},
          {{0x62, 0x01, 0x13}, 1000},
          {{0x62, 0x01, 0x53}, 3 + 7}},
         ""},
        {"H.265 20/30/3000 with RTP_PUSH_NO_AGGREGATION: two single, then FUs",
         FMT_H265,
         {{{0x40, 0x01}, 20}, {{0x42, 0x01}, 30, 3}, {{0x26, 0x01}, 3000, 3}},
         RTP_PUSH_NO_AGGREGATION,
         {{{0x40, 0x01}, 20},
          {{0x42, 0x01}, 30},
          {{0x62, 0x01, 0x93}, 1000},
          {{0x62, 0x01, 0x13}, 1000},
          {{0x62, 0x01, 0x13}, 1000},
          {{0x62, 0x01, 0x53}, 3 + 7}},
         ""},
        {"H.264 NAL unit of exactly the payload size: one packet",
         FMT_H264,
         {{{0x65}, 1000}},
         0,
         {{{0x65}, 1000}},
         ""},
        {"H.264 NAL unit one byte over: FUs of 998 and 2",
         FMT_H264,
         {{{0x65}, 1001}},
         0,
         {{{0x7C, 0x85}, 1000}, {{0x7C, 0x45}, 2 + 2}},
         ""},
        // Both small units are candidates, but the leading run holds one,
        // which finalisation refuses; the empty aggregation transaction is
        // dropped without an error line (nothing failed).
        {"H.264 10/2000/10: all three leave on their own",
         FMT_H264,
         {{{0x67}, 10}, {{0x65}, 2000}, {{0x68}, 10}},
         0,
         {{{0x67}, 10},
          {{0x7C, 0x85}, 1000},
          {{0x7C, 0x05}, 1000},
          {{0x7C, 0x45}, 2 + 3},
          {{0x68}, 10}},
         ""},
        {"H.264 STAP-A of NRI 3 and NRI 3 units: header 0x78",
         FMT_H264,
         {{{0x67}, 10}, {{0x68}, 5}},
         0,
         {{{0x78, 0x00, 10, 0x67}, 1 + 2 + 10 + 2 + 5}},
         ""},
        {"H.264 STAP-A of NRI 0 and NRI 2 units: header 0x58",
         FMT_H264,
         {{{0x06}, 8}, {{0x41}, 12}},
         0,
         {{{0x58, 0x00, 8, 0x06}, 1 + 2 + 8 + 2 + 12}},
         ""},
        {"H.264 IDR slice in FU-A: indicator 0x7C, headers 0x85, 0x05, 0x45",
         FMT_H264,
         {{{0x65}, 2500}},
         0,
         {{{0x7C, 0x85}, 1000}, {{0x7C, 0x05}, 1000}, {{0x7C, 0x45}, 2 + 503}},
         ""},
        {"H.265 IDR_W_RADL in FUs: payload header 0x62 0x01, headers 0x93, 0x13, 0x53",
         FMT_H265,
         {{{0x26, 0x01}, 2000}},
         0,
         {{{0x62, 0x01, 0x93}, 1000}, {{0x62, 0x01, 0x13}, 1000}, {{0x62, 0x01, 0x53}, 3 + 4}},
         ""},
        {"H.266 IDR_W_RADL in FUs: payload header 0x00 0xE9, headers 0x87, 0x07, 0x47",
         FMT_H266,
         {{{0x00, 0x39}, 2500}},
         0,
         {{{0x00, 0xE9, 0x87}, 1000}, {{0x00, 0xE9, 0x07}, 1000}, {{0x00, 0xE9, 0x47}, 3 + 504}},
         ""},
        {"H.266 aggregation packet begins 0x38 0x01",
         FMT_H266,
         {{{0x00, 0x71}, 10}, {{0x00, 0x79}, 12}},
         0,
         {{{0x38, 0x01, 0x00, 10, 0x00, 0x71}, 2 + 2 + 10 + 2 + 12}},
         ""},
        {"RTP_PUSH_ONE_NAL sends the buffer whole, start code included",
         FMT_H264,
         {{{0x65}, 50}},
         RTP_PUSH_ONE_NAL,
         {{{0x00, 0x00, 0x00, 0x01, 0x65}, 54}},
         ""},
        {"bytes before the first start code never leave",
         FMT_H264,
         {{{0x65}, 20, 3}},
         0,
         {{{0x65}, 20}},
         "",
         {0xAA, 0xBB, 0xCC}},
        // Searched from the slice at offset 4, 27 bytes remain; the start
        // code's 01 and the end of sequence (48 01) are the last 3 of them,
        // past the last whole 4-byte window.
        {"H.265 slice and end of sequence: one AP of both",
         FMT_H265,
         {{{0x26, 0x01}, 22}, {{0x48, 0x01}, 2, 3}},
         0,
         {{{0x60, 0x01, 0x00, 22, 0x26, 0x01}, 2 + 2 + 22 + 2 + 2}},
         ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        make(c.format);
        const access_unit au = annex_b(c.nals, 7, c.leading, c.trailing);
        stderr_capture capture;
        const RTP_ERROR rc = push(au.stream, c.flags);
        EXPECT_EQ(capture.stop(), c.log);
        EXPECT_EQ(rc, RTP_SUCCESS);
        const auto sent = take_sent();
        expect_packets(sent, c.packets);
        expect_one_access_unit(sent);
    }
}

// RFC 9328 section 4.3.2 against this library's default header, 0x38 0x01.
// Units of 4 bytes: the two header bytes, then 0xA0 + index twice.
TEST_F(H26xSendTest, H266AggregationPacketHeaderInBothForms) {
    struct Case {
        const char *name;
        bool rfc9328;
        std::vector<bytes> unit_headers;
        bytes payload_header;
    };
    const Case cases[] = {
        {"default form", false, {{0x00, 0x71}, {0x00, 0x79}}, {0x38, 0x01}},
        {"default form ignores layers and TIDs", false, {{0x05, 0x0B}, {0x83, 0x02}}, {0x38, 0x01}},
        {"RFC 9328, layer 0, TID 1", true, {{0x00, 0x71}, {0x00, 0x79}}, {0x00, 0xE1}},
        {"RFC 9328, lowest layer 3 and lowest TID 2 of different units",
         true,
         {{0x05, 0x0A}, {0x03, 0x0B}},
         {0x03, 0xE2}},
        {"RFC 9328, F of one unit sets F", true, {{0x01, 0x09}, {0x82, 0x0A}}, {0x81, 0xE1}},
        {"RFC 9328, Z of a unit is not copied", true, {{0x40, 0x09}, {0x41, 0x09}}, {0x00, 0xE1}},
        {"RFC 9328, three units, lowest TID last",
         true,
         {{0x02, 0x0B}, {0x04, 0x0C}, {0x06, 0x09}},
         {0x02, 0xE1}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        make(FMT_H266);
        auto &h266 = static_cast<formats::h266 &>(*format);
        EXPECT_FALSE(h266.get_rfc9328_aggregation());
        h266.set_rfc9328_aggregation(c.rfc9328);
        bytes stream;
        bytes expected = c.payload_header;
        for (size_t i = 0; i < c.unit_headers.size(); ++i) {
            const auto fill = static_cast<uint8_t>(0xA0 + i);
            const bytes unit = {c.unit_headers[i][0], c.unit_headers[i][1], fill, fill};
            stream.insert(stream.end(), {0x00, 0x00, 0x00, 0x01});
            stream.insert(stream.end(), unit.begin(), unit.end());
            expected.insert(expected.end(), {0x00, 0x04});
            expected.insert(expected.end(), unit.begin(), unit.end());
        }
        ASSERT_EQ(push(stream), RTP_SUCCESS);
        const auto sent = take_sent();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].payload, expected);
        EXPECT_TRUE(sent[0].marker);
    }
}

// The form is read at every aggregation packet: switching back restores the
// default header on the next push of the same object.
TEST_F(H26xSendTest, H266AggregationFormFollowsTheSwitchFromPushToPush) {
    make(FMT_H266);
    auto &h266 = static_cast<formats::h266 &>(*format);
    const access_unit au = annex_b({{{0x00, 0x0A}, 10}, {{0x00, 0x09}, 12}});
    const std::pair<bool, bytes> steps[] = {
        {false, {0x38, 0x01}}, {true, {0x00, 0xE1}}, {true, {0x00, 0xE1}}, {false, {0x38, 0x01}}};
    for (const auto &step : steps) {
        SCOPED_TRACE(step.first ? "RFC 9328" : "default");
        h266.set_rfc9328_aggregation(step.first);
        ASSERT_EQ(push(au.stream), RTP_SUCCESS);
        const auto sent = take_sent();
        ASSERT_EQ(sent.size(), 1u);
        ASSERT_GE(sent[0].payload.size(), 2u);
        EXPECT_EQ(bytes(sent[0].payload.begin(), sent[0].payload.begin() + 2), step.second);
        EXPECT_EQ(test_depacketizer(FMT_H266).run(sent), au.nals);
    }
}

TEST_F(H26xSendTest, BufferWithoutStartCodeIsRefused) {
    struct Case {
        const char *name;
        RTP_FORMAT format;
        bytes stream;
    };
    const Case cases[] = {
        {"H.264, no zero at all", FMT_H264, bytes(64, 0x65)},
        {"H.264, 00 00 02 is no start code", FMT_H264, {0x65, 0x11, 0x00, 0x00, 0x02, 0x33}},
        {"H.265, 00 01 without the second zero", FMT_H265, {0x26, 0x01, 0x00, 0x01, 0x44, 0x55}},
        {"H.266, shorter than a search window", FMT_H266, {0x00, 0x01}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        make(c.format);
        stderr_capture capture;
        EXPECT_EQ(push(c.stream), RTP_BAD_ARGUMENT);
        EXPECT_EQ(capture.stop(), error_line("push_media_frame",
                                             "Did not find any NAL units in frame. Cannot send."));
        EXPECT_TRUE(take_sent().empty());
    }
}

// ---------------------------------------------------------------------------
// Regressions

// The send queue used to mark the last packet of every transaction of two or
// more packets: each FU run of an access unit was marked, a final single NAL
// unit or aggregation packet never was.
TEST_F(H26xSendTest, MarkerWasOnEveryFuRunAndNeverOnAFinalSingleOrAggregationPacket) {
    struct Case {
        const char *name;
        std::vector<size_t> sizes;
        size_t packets;
    };
    const Case cases[] = {
        {"all units aggregated", {12, 30, 40}, 1},
        {"last unit single after a fragmented one", {2500, 30}, 4},
        {"last unit fragmented after an aggregation packet", {12, 30, 2500}, 4},
        {"two fragmented units", {1500, 1500}, 4},
        {"one single unit", {700}, 1},
    };
    for (RTP_FORMAT fmt : {FMT_H264, FMT_H265, FMT_H266}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(codec_name(fmt)) + ": " + c.name);
            make(fmt);
            std::vector<nal_shape> shapes;
            const bytes header = fmt == FMT_H264   ? bytes{0x65}
                                 : fmt == FMT_H265 ? bytes{0x26, 0x01}
                                                   : bytes{0x00, 0x39};
            for (size_t size : c.sizes) {
                shapes.push_back({header, size});
            }
            // Two access units: numbering runs on, the timestamp changes.
            const access_unit au = annex_b(shapes);
            ASSERT_EQ(push(au.stream), RTP_SUCCESS);
            const auto first = take_sent();
            ASSERT_EQ(push(au.stream), RTP_SUCCESS);
            const auto second = take_sent();
            EXPECT_EQ(first.size(), c.packets);
            expect_one_access_unit(first);
            expect_one_access_unit(second);
            ASSERT_FALSE(first.empty() || second.empty());
            EXPECT_EQ(second[0].sequence, static_cast<uint16_t>(first.back().sequence + 1));
            EXPECT_NE(second[0].timestamp, first[0].timestamp);
        }
    }
}

// RFC 7798 section 4.4.3: F and LayerId of the FU payload header are those
// of the fragmented unit. The first byte used to be the constant 0x62.
TEST_F(H26xSendTest, H265FuPayloadHeaderWasAConstantInsteadOfTheNalUnitsFAndLayerId) {
    struct Case {
        const char *name;
        bytes nal_header;
        bytes payload_header;
        uint8_t fu_type;
    };
    const Case cases[] = {
        {"layer 0, TID 1", {0x26, 0x01}, {0x62, 0x01}, 19},
        {"layer id 32 (its top bit in byte 0)", {0x27, 0x01}, {0x63, 0x01}, 19},
        {"layer id 33, TID 2", {0x03, 0x0A}, {0x63, 0x0A}, 1},
        {"forbidden bit set", {0xA6, 0x01}, {0xE2, 0x01}, 19},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        make(FMT_H265);
        const access_unit au = annex_b({{c.nal_header, 2000}});
        ASSERT_EQ(push(au.stream), RTP_SUCCESS);
        const auto sent = take_sent();
        ASSERT_EQ(sent.size(), 3u);
        const uint8_t fu_headers[] = {static_cast<uint8_t>(0x80 | c.fu_type), c.fu_type,
                                      static_cast<uint8_t>(0x40 | c.fu_type)};
        for (size_t i = 0; i < sent.size(); ++i) {
            SCOPED_TRACE("packet " + std::to_string(i));
            const bytes headers(sent[i].payload.begin(), sent[i].payload.begin() + 3);
            EXPECT_EQ(headers, (bytes{c.payload_header[0], c.payload_header[1], fu_headers[i]}));
        }
        EXPECT_EQ(test_depacketizer(FMT_H265).run(sent), au.nals);
    }
}

// Back-to-back start codes and a start code at the very end delimit NAL units
// of zero bytes. They used to abort the push after earlier units had left
// (an empty packet cannot be enqueued), or make the STAP-A header read one
// byte past the caller's buffer.
TEST_F(H26xSendTest, ZeroLengthNalUnitsFromAdjacentOrTrailingStartCodesWereSent) {
    const bytes sc3 = {0x00, 0x00, 0x01};
    const bytes sc4 = {0x00, 0x00, 0x00, 0x01};
    struct Case {
        const char *name;
        RTP_FORMAT format;
        std::vector<nal_shape> nals;
        bytes between;  // after the first unit
        bytes trailing;
        int flags;
        size_t packets;
    };
    const Case cases[] = {
        {"H.264 adjacent 3-byte start codes, no aggregation",
         FMT_H264,
         {{{0x67}, 10}, {{0x65}, 10, 3}},
         sc3,
         {},
         RTP_PUSH_NO_AGGREGATION,
         2},
        {"H.264 adjacent 4-byte start codes before a fragmented unit",
         FMT_H264,
         {{{0x67}, 10}, {{0x65}, 1500}},
         sc4,
         {},
         0,
         3},
        {"H.264 trailing start code after an aggregation run",
         FMT_H264,
         {{{0x67}, 10}, {{0x68}, 10}},
         {},
         sc3,
         0,
         1},
        {"H.265 adjacent 4-byte start codes",
         FMT_H265,
         {{{0x40, 0x01}, 20}, {{0x26, 0x01}, 1500}},
         sc4,
         {},
         0,
         3},
        // 24 + 4 bytes from the last unit on: whole windows at step 4, so
        // the trailing start code is read.
        {"H.265 trailing start code",
         FMT_H265,
         {{{0x40, 0x01}, 20}, {{0x42, 0x01}, 24}},
         {},
         sc4,
         0,
         1},
        {"H.266 adjacent 3-byte start codes",
         FMT_H266,
         {{{0x00, 0x71}, 20}, {{0x00, 0x39}, 30, 3}},
         sc3,
         {},
         RTP_PUSH_NO_AGGREGATION,
         2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        make(c.format);
        access_unit au = annex_b(c.nals, 3, {}, c.trailing);
        // The extra start code goes right after the first unit.
        const size_t first_end = c.nals[0].start_code + au.nals[0].size();
        au.stream.insert(au.stream.begin() + static_cast<std::ptrdiff_t>(first_end),
                         c.between.begin(), c.between.end());
        // Not captured: an over-read must reach the sanitizer's report.
        EXPECT_EQ(push(au.stream, c.flags), RTP_SUCCESS);
        const auto sent = take_sent();
        EXPECT_EQ(sent.size(), c.packets);
        expect_one_access_unit(sent);
        EXPECT_EQ(test_depacketizer(c.format).run(sent), au.nals);
    }

    // Start codes alone delimit nothing at all.
    make(FMT_H264);
    stderr_capture capture;
    EXPECT_EQ(push({0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01}), RTP_BAD_ARGUMENT);
    EXPECT_EQ(capture.stop(),
              error_line("push_media_frame", "Did not find any NAL units in frame. Cannot send."));
    EXPECT_TRUE(take_sent().empty());
}

// The word scan of the start-code search stopped at the last whole 4-byte
// window from the search offset: a slice followed by 00 00 01 and a 2-byte
// end of sequence, the 01 within the last (len - offset) mod 4 bytes, went
// out as one NAL unit with the start code and the end of sequence inside it.
TEST_F(H26xSendTest, StartCodeInTheLastBytesPastTheLastSearchWindowWasNotFound) {
    struct Case {
        const char *name;
        RTP_FORMAT format;
        std::vector<nal_shape> nals;
        int flags;
        size_t packets;
    };
    // From the slice at offset 4: 2498 + 5 = 2503 bytes, 2503 mod 4 = 3, and
    // the tail holds 01 and the two bytes of the end of sequence.
    const Case cases[] = {
        {"H.265 fragmented slice, 3-byte start code, EOS",
         FMT_H265,
         {{{0x26, 0x01}, 2498}, {{0x48, 0x01}, 2, 3}},
         0,
         3 + 1},
        {"H.265 fragmented slice, 4-byte start code, EOB",
         FMT_H265,
         {{{0x02, 0x01}, 2497}, {{0x4A, 0x01}, 2, 4}},
         0,
         3 + 1},
        {"H.265 small slice and EOS, not aggregated",
         FMT_H265,
         {{{0x26, 0x01}, 22}, {{0x48, 0x01}, 2, 3}},
         RTP_PUSH_NO_AGGREGATION,
         2},
        {"H.266 fragmented slice, EOS",
         FMT_H266,
         {{{0x00, 0x39}, 2498}, {{0x00, 0xA9}, 2, 3}},
         0,
         3 + 1},
        {"H.266 small slice and EOB, not aggregated",
         FMT_H266,
         {{{0x00, 0x01}, 26}, {{0x00, 0xB1}, 2, 3}},
         RTP_PUSH_NO_AGGREGATION,
         2},
        {"H.264 fragmented slice, end of stream",
         FMT_H264,
         {{{0x65}, 2000}, {{0x0B}, 1, 3}},
         0,
         3 + 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        make(c.format);
        const access_unit au = annex_b(c.nals, 11);
        ASSERT_EQ(au.nals.size(), 2u);
        ASSERT_EQ(push(au.stream, c.flags), RTP_SUCCESS);
        const auto sent = take_sent();
        EXPECT_EQ(sent.size(), c.packets);
        expect_one_access_unit(sent);
        EXPECT_EQ(test_depacketizer(c.format).run(sent), au.nals);
    }
}

// ---------------------------------------------------------------------------
// NAL unit list

TEST_F(H26xSendTest, NalUnitListAndAggregationCandidates) {
    struct Case {
        const char *name;
        RTP_FORMAT format;
        size_t payload_size;
        std::vector<nal_shape> nals;
        std::vector<bool> candidates;
        bool aggregate;
    };
    const Case cases[] = {
        {"H.265 20/30/3000 at 1000",
         FMT_H265,
         1000,
         {{{0x40, 0x01}, 20}, {{0x42, 0x01}, 30, 3}, {{0x26, 0x01}, 3000, 3}},
         {true, true, false},
         true},
        {"a unit that does not fit is passed over",
         FMT_H264,
         1000,
         {{{0x67}, 10}, {{0x65}, 2000}, {{0x68}, 10}},
         {true, false, true},
         true},
        // Budget 999: (497 + 2) + (498 + 2) = 999.
        {"H.264 two units filling the budget exactly",
         FMT_H264,
         1000,
         {{{0x67}, 497}, {{0x68}, 498}},
         {true, true},
         true},
        {"H.264 one byte over the budget",
         FMT_H264,
         1000,
         {{{0x67}, 497}, {{0x68}, 499}},
         {true, false},
         false},
        // Budget 98: (46 + 2) + (48 + 2) = 98.
        {"H.266 two units filling the budget exactly",
         FMT_H266,
         100,
         {{{0x00, 0x71}, 46}, {{0x00, 0x79}, 48}},
         {true, true},
         true},
        {"one unit is no aggregation", FMT_H265, 1000, {{{0x26, 0x01}, 100}}, {true}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        make(c.format, c.payload_size);
        access_unit au = annex_b(c.nals);
        std::vector<formats::nal_info> nals;
        bool aggregate = !c.aggregate;
        format->scl(au.stream.data(), au.stream.size(), c.payload_size, nals, aggregate);
        EXPECT_EQ(aggregate, c.aggregate);
        ASSERT_EQ(nals.size(), c.nals.size());
        size_t offset = 0;
        for (size_t i = 0; i < nals.size(); ++i) {
            SCOPED_TRACE("unit " + std::to_string(i));
            offset += c.nals[i].start_code;
            EXPECT_EQ(nals[i].nal_offset, offset);
            EXPECT_EQ(nals[i].start_code_len, c.nals[i].start_code);
            EXPECT_EQ(nals[i].nal_len, c.nals[i].size);
            EXPECT_EQ(nals[i].aggregate_candidate, c.candidates[i]);
            EXPECT_FALSE(nals[i].sent_in_aggregate);
            offset += c.nals[i].size;
        }
    }
}

// ---------------------------------------------------------------------------
// Round trips

// NAL unit sizes around every boundary of `payload_size` for a codec whose
// payload header is `header` bytes (its NAL header too).
std::vector<std::vector<size_t>> boundary_access_units(size_t payload_size, size_t header) {
    const size_t fragment = payload_size - header - 1;
    const size_t budget = payload_size - header;
    const size_t smallest = header + 2;
    std::vector<std::vector<size_t>> units;
    for (size_t size :
         {smallest, payload_size - 1, payload_size, payload_size + 1, payload_size + 2,
          header + fragment, header + fragment + 1, header + 2 * fragment,
          header + 2 * fragment + 1, header + 3 * fragment - 1, header + 7 * fragment + 5}) {
        units.push_back({size});
    }
    // Aggregation budget: two units that fill it exactly, and one byte more.
    const size_t first = budget / 3;
    units.push_back({first, budget - 4 - first});
    units.push_back({first, budget - 3 - first});
    units.push_back({first, budget - 4 - first, smallest});
    units.push_back({budget - 2, smallest});
    units.push_back({budget - 1, smallest, smallest});
    // Mixed runs.
    units.push_back({smallest, smallest, smallest, smallest, smallest});
    units.push_back({smallest, payload_size + 1, smallest, smallest});
    units.push_back({payload_size + 1, smallest, smallest});
    units.push_back({smallest, smallest, 3 * payload_size, payload_size, smallest});
    return units;
}

TEST_F(H26xSendTest, PacketizedAccessUnitsDepacketizeToTheSameNalUnits) {
    // The fourth variant is H.266 with RFC 9328 aggregation packets.
    const bytes headers[] = {{0x65}, {0x26, 0x01}, {0x00, 0x39}, {0x00, 0x39}};
    const RTP_FORMAT formats[] = {FMT_H264, FMT_H265, FMT_H266, FMT_H266};
    uint32_t seed = 1;
    for (size_t f = 0; f < 4; ++f) {
        const RTP_FORMAT fmt = formats[f];
        const bool rfc9328 = f == 3;
        for (size_t payload_size : {size_t{1000}, size_t{64}}) {
            for (int flags : {0, int{RTP_PUSH_NO_AGGREGATION}}) {
                make(fmt, payload_size);
                if (rfc9328) {
                    static_cast<formats::h266 &>(*format).set_rfc9328_aggregation(true);
                }
                for (const auto &sizes : boundary_access_units(payload_size, headers[f].size())) {
                    std::string trace = std::string(codec_name(fmt)) +
                                        (rfc9328 ? " (RFC 9328 APs)" : "") + ", payload size " +
                                        std::to_string(payload_size) + ", flags " +
                                        std::to_string(flags) + ", units";
                    std::vector<nal_shape> shapes;
                    for (size_t i = 0; i < sizes.size(); ++i) {
                        trace += " " + std::to_string(sizes[i]);
                        shapes.push_back(
                            {headers[f], sizes[i], i % 2 == 0 ? size_t{4} : size_t{3}});
                    }
                    SCOPED_TRACE(trace);
                    const access_unit au = annex_b(shapes, seed++);
                    stderr_capture capture;
                    ASSERT_EQ(push(au.stream, flags), RTP_SUCCESS);
                    // Nothing failed, so nothing is logged, also when a run
                    // of one unit makes no aggregation packet.
                    EXPECT_EQ(capture.stop(), "");
                    const auto sent = take_sent();
                    for (const sent_packet &p : sent) {
                        EXPECT_LE(p.payload.size(), payload_size);
                    }
                    expect_one_access_unit(sent);
                    EXPECT_EQ(test_depacketizer(fmt).run(sent), au.nals);
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Start-code search

// Index after the first 00 00 01 that begins at or after `offset`, with its
// length: 4 when the byte before it is 00 and lies at or after `offset`.
int64_t reference_search(const uint8_t *data, size_t len, size_t offset, uint8_t &length) {
    for (size_t i = offset; i + 3 <= len; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            length = i > offset && data[i - 1] == 0 ? 4 : 3;
            return static_cast<int64_t>(i + 3);
        }
    }
    return -1;
}

// Given that the first 00 00 01 at or after `offset` ends the buffer: whether
// the search at step 1 reaches it through an 8-byte skip that lands exactly 3
// bytes before the end, with no 4-byte window left there. A skip chain starts
// at `offset` when no zero lies in [offset, len - 4], else 5 bytes after the
// last such zero Z (the first position whose window and the four bytes before
// it are zero-free), provided Z is at least 11 bytes before the end;
// otherwise the search walks byte by byte into the final window.
bool step1_skips_into_the_tail(const uint8_t *data, size_t len, size_t offset) {
    size_t chain = offset;
    for (size_t i = len - 3; i-- > offset;) {
        if (data[i] == 0) {
            if (i + 11 > len) {
                return false;
            }
            chain = i + 5;
            break;
        }
    }
    return (len - 3 - chain) % 8 == 0;
}

// Three pages, the first and the last inaccessible: a buffer placed against
// either guard faults on the first byte read outside it.
class guarded_buffer {
public:
    guarded_buffer() : page_(static_cast<size_t>(::sysconf(_SC_PAGESIZE))) {
        void *base =
            ::mmap(nullptr, 3 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) {
            return;
        }
        base_ = static_cast<uint8_t *>(base);
        if (::mprotect(base_, page_, PROT_NONE) != 0 ||
            ::mprotect(base_ + 2 * page_, page_, PROT_NONE) != 0) {
            ::munmap(base_, 3 * page_);
            base_ = nullptr;
        }
    }
    ~guarded_buffer() {
        if (base_ != nullptr) {
            ::munmap(base_, 3 * page_);
        }
    }
    guarded_buffer(const guarded_buffer &) = delete;
    guarded_buffer &operator=(const guarded_buffer &) = delete;

    bool ok() const { return base_ != nullptr; }
    size_t capacity() const { return page_; }
    // `bytes` copied so that they end at the upper guard, or begin right
    // after the lower one.
    uint8_t *place(const bytes &b, bool at_end) {
        uint8_t *where = at_end ? base_ + 2 * page_ - b.size() : base_ + page_;
        if (!b.empty()) {
            std::memcpy(where, b.data(), b.size());
        }
        return where;
    }

private:
    size_t page_;
    uint8_t *base_ = nullptr;
};

std::string hex(const uint8_t *data, size_t len) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < len; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
        out += ' ';
    }
    return out;
}

TEST(StartCodeSearch, Examples) {
    struct Case {
        const char *name;
        bytes data;
        size_t offset;
        uint8_t step;
        int64_t index;
        uint8_t length;
    };
    const bytes nine = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99};
    auto cat = [](bytes a, const bytes &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const Case cases[] = {
        {"3-byte start code, step 1", {0, 0, 1, 0x65}, 0, 1, 3, 3},
        {"3-byte start code, step 4", {0, 0, 1, 0x40, 0x01}, 0, 4, 3, 3},
        {"4-byte start code, step 1", {0, 0, 0, 1, 0x65}, 0, 1, 4, 4},
        {"4-byte start code, step 4", {0, 0, 0, 1, 0x40, 0x01}, 0, 4, 4, 4},
        {"a zero before the offset does not lengthen it", {0, 0, 0, 1, 0x65}, 1, 1, 4, 3},
        {"a start code begun before the offset is not found",
         {0, 0, 1, 0x65, 0x66, 0x67},
         1,
         1,
         -1,
         0},
        // At step 4 the 01 may fall on any byte of a window.
        {"step 4, 01 at window byte 0", {0x26, 0x01, 0, 0, 1, 0x11, 0x22, 0x33}, 0, 4, 5, 3},
        {"step 4, 01 at window byte 0, 4-byte", {0x26, 0, 0, 0, 1, 0x11, 0x22, 0x33}, 0, 4, 5, 4},
        {"step 4, 01 at window byte 1", {0x26, 0x01, 0x11, 0, 0, 1, 0x22, 0x33}, 0, 4, 6, 3},
        {"step 4, 01 at window byte 1, 4-byte", {0x26, 0x01, 0, 0, 0, 1, 0x22, 0x33}, 0, 4, 6, 4},
        {"step 4, 01 at window byte 2", {0x26, 0x01, 0x11, 0x22, 0, 0, 1, 0x33}, 0, 4, 7, 3},
        {"step 4, 01 at window byte 2, 4-byte", {0x26, 0x01, 0x11, 0, 0, 0, 1, 0x33}, 0, 4, 7, 4},
        {"step 4, 01 at window byte 3", {0x26, 0x01, 0x11, 0x22, 0x33, 0, 0, 1}, 0, 4, 8, 3},
        {"step 4, 01 at window byte 3, 4-byte", {0x26, 0x01, 0x11, 0x22, 0, 0, 0, 1}, 0, 4, 8, 4},
        // Two bytes (00 01) lie past the last 4-byte window: the tail is
        // read byte by byte.
        {"step 4: a start code ending in the last (len - offset) mod 4 bytes",
         cat({0x26, 0x01, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE}, {0, 0, 1}), 0, 4, 10, 3},
        {"step 4: the same with a 4-byte start code",
         cat({0x26, 0x01, 0xAA, 0xBB, 0xCC, 0xDD}, {0, 0, 0, 1}), 0, 4, 10, 4},
        {"step 4: slice, start code, 2-byte end of sequence in the tail",
         cat({0x26, 0x01, 0xAA, 0xBB, 0xCC}, {0, 0, 1, 0x48, 0x01}), 0, 4, 8, 3},
        {"step 4: zeros before the offset do not begin a start code in the tail",
         {0x00, 0x00, 0x01, 0x11, 0x22},
         2,
         4,
         -1,
         0},
        {"step 4: a zero before the offset does not lengthen one in the tail",
         {0, 0, 0, 1},
         1,
         4,
         4,
         3},
        {"step 1 reads them", cat({0x26, 0x01, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE}, {0, 0, 1}), 0, 1, 10,
         3},
        // Eight zero-free bytes are skipped at once, landing 3 before the end.
        {"step 1: a skip landing 3 bytes before the end, final start code",
         cat(bytes(nine.begin(), nine.begin() + 8), {0, 0, 1}), 0, 1, 11, 3},
        {"step 1: one byte more and the final window holds it", cat(nine, {0, 0, 1}), 0, 1, 12, 3},
        {"fewer than 4 bytes from the offset, step 1", {0, 0, 1}, 0, 1, 3, 3},
        {"fewer than 4 bytes from the offset, step 4", {0x65, 0, 0, 1}, 1, 4, 4, 3},
        {"fewer than 3 bytes from the offset", {0, 0, 1}, 1, 4, -1, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t length = 0;
        EXPECT_EQ(
            formats::find_h26x_start_code(c.data.data(), c.data.size(), c.offset, length, c.step),
            c.index);
        if (c.index >= 0) {
            EXPECT_EQ(length, c.length);
        }
    }
}

TEST(StartCodeSearch, InvalidArgumentsWarn) {
    const bytes data = {0, 0, 1, 0x65};
    const std::string warning =
        "[Tessal][WARNING][::find_h26x_start_code] Invalid parameter found for "
        "start code lookup\n";
    struct Case {
        const char *name;
        const uint8_t *data;
        size_t len;
        size_t offset;
    };
    const Case cases[] = {
        {"null data", nullptr, 4, 0},
        {"zero length", data.data(), 0, 0},
        {"offset past the end", data.data(), 4, 5},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t length = 0;
        stderr_capture capture;
        EXPECT_EQ(formats::find_h26x_start_code(c.data, c.len, c.offset, length, 1), -1);
        EXPECT_EQ(capture.stop(), warning);
    }
}

// The search against the byte-wise reference over random buffers with planted
// 3- and 4-byte start codes at every position modulo 8, every start offset up
// to 12, both steps, buffers ending at or beginning next to a guard page.
// Both steps must equal the reference exactly. The word scan used to stop at
// the last whole window: at step 4 a start code ending in the last
// (len - offset) mod 4 bytes was never found, at step 1 one ending the buffer
// was missed behind an 8-byte skip that landed 3 bytes before the end.
TEST(StartCodeSearch, MatchesByteWiseReferenceIncludingTheTailPastTheLastWindow) {
    guarded_buffer guard;
    ASSERT_TRUE(guard.ok());
    std::vector<size_t> lengths;
    for (size_t len = 1; len <= 80; ++len) {
        lengths.push_back(len);
    }
    for (size_t len : std::vector<size_t>{127, 128, 129, 255, 256, 257, 1021, 1024}) {
        lengths.push_back(len);
    }
    ASSERT_LE(lengths.back(), guard.capacity());

    std::mt19937 rng(0x5C0DE);
    size_t compared = 0;
    size_t found = 0;
    size_t step4_tail = 0;
    size_t step1_tail = 0;
    for (size_t len : lengths) {
        const size_t trials = len <= 80 ? 96 : 24;
        for (size_t trial = 0; trial < trials; ++trial) {
            // Zero density: none, sparse (zero-free skips), dense.
            const unsigned zero_one_in[] = {0, 48, 4};
            const unsigned one_in = zero_one_in[trial % 3];
            bytes data(len);
            for (uint8_t &b : data) {
                b = one_in != 0 && rng() % one_in == 0 ? 0 : static_cast<uint8_t>(1 + rng() % 255);
            }
            // Start codes at every position modulo 8, at the very end too.
            const size_t plants = (trial / 3) % 3;
            for (size_t k = 0; k < plants; ++k) {
                const size_t code = rng() % 2 == 0 ? 3 : 4;
                if (len < code) {
                    break;
                }
                const size_t slots = (len - code) / 8 + 1;
                size_t pos = (trial % 8) + 8 * (rng() % slots);
                if (pos > len - code || (k == 1 && trial % 5 == 0)) {
                    pos = len - code;
                }
                std::fill(data.begin() + static_cast<std::ptrdiff_t>(pos),
                          data.begin() + static_cast<std::ptrdiff_t>(pos + code - 1), 0);
                data[pos + code - 1] = 1;
            }
            for (bool at_end : {true, false}) {
                const uint8_t *buffer = guard.place(data, at_end);
                for (size_t offset = 0; offset <= std::min<size_t>(len, 12); ++offset) {
                    for (uint8_t step : {uint8_t{1}, uint8_t{4}}) {
                        uint8_t want_len = 0;
                        const int64_t want = reference_search(buffer, len, offset, want_len);
                        // Outcomes that lie past the word scan's last window.
                        if (step == 4) {
                            const size_t cut = offset + (len - offset) / 4 * 4;
                            uint8_t cut_len = 0;
                            step4_tail +=
                                reference_search(buffer, cut, offset, cut_len) != want ? 1 : 0;
                        } else if (want == static_cast<int64_t>(len) &&
                                   step1_skips_into_the_tail(buffer, len, offset)) {
                            ++step1_tail;
                        }
                        uint8_t got_len = 0xEE;
                        const int64_t got =
                            formats::find_h26x_start_code(buffer, len, offset, got_len, step);
                        ++compared;
                        if (got != want || (got >= 0 && got_len != want_len)) {
                            FAIL() << "step " << int{step} << ", offset " << offset << ", length "
                                   << len << (at_end ? ", at the upper guard" : "") << ": found "
                                   << got << "/" << int{got_len} << ", expected " << want << "/"
                                   << int{want_len} << "\n"
                                   << hex(buffer, std::min<size_t>(len, 96));
                        }
                        found += got >= 0 ? 1 : 0;
                    }
                }
            }
        }
    }
    // Every kind of outcome was exercised.
    EXPECT_GT(compared, 100000u);
    EXPECT_GT(found, compared / 10);
    EXPECT_GT(step4_tail, 10000u);
    EXPECT_GT(step1_tail, 1000u);
}

}  // namespace
