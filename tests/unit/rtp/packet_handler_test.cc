#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "rtp/rtp.hh"
#include "support/rtp_packets.hh"

using namespace tessal;

namespace {

struct parse_result {
    RTP_ERROR rc;
    frame::rtp_frame *frame;
};

parse_result parse(std::vector<uint8_t> &bytes) {
    frame::rtp_frame *out = nullptr;
    RTP_ERROR rc = rtp::packet_handler(nullptr, 0, bytes.data(), bytes.size(), &out);
    return {rc, out};
}

TEST(RtpPacketHandler, GoldenPacketFieldByField) {
    std::vector<uint8_t> pkt = test::full_featured_packet();
    parse_result r = parse(pkt);
    ASSERT_EQ(r.rc, RTP_PKT_CHANGED);
    frame::rtp_frame *f = r.frame;
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->header.version, 2);
    EXPECT_EQ(f->header.padding, 1);
    EXPECT_EQ(f->header.extension, 1);
    EXPECT_EQ(f->header.csrc_count, 2);
    EXPECT_EQ(f->header.marker, 1);
    EXPECT_EQ(f->header.payload_type, 96);
    EXPECT_EQ(f->header.sequence, 0x1234);
    EXPECT_EQ(f->header.timestamp, 0xDEADBEEFu);
    EXPECT_EQ(f->header.ssrc, 0x01020304u);
    ASSERT_NE(f->csrc_list, nullptr);
    // CSRCs stay in network byte order.
    EXPECT_EQ(std::memcmp(&f->csrc_list[0], "\xAA\xBB\xCC\xDD", 4), 0);
    EXPECT_EQ(std::memcmp(&f->csrc_list[1], "\x11\x22\x33\x44", 4), 0);
    ASSERT_NE(f->extension_header, nullptr);
    EXPECT_EQ(f->extension_header->profile_field, 0xBEDE);
    EXPECT_EQ(f->extension_header->length, 8);
    EXPECT_EQ(std::memcmp(f->extension_header->bytes, "\x10\x20\x30\x40\x50\x60\x70\x80", 8), 0);
    EXPECT_EQ(f->padding_length, 3u);
    ASSERT_EQ(f->payload_length, 5u);
    EXPECT_EQ(std::memcmp(f->payload, "hello", 5), 0);
    EXPECT_EQ(f->datagram, pkt.data());
    EXPECT_EQ(f->datagram_size, pkt.size());
    frame::dealloc_frame(f);
}

TEST(RtpPacketHandler, EdgeCases) {
    struct Case {
        const char *name;
        std::vector<uint8_t> bytes;
        RTP_ERROR rc;
        size_t payload_length;  // when a frame is produced
    } cases[] = {
        {"11 bytes", std::vector<uint8_t>(11, 0x80), RTP_PKT_SKIPPED, 0},
        {"version 1", {0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, RTP_PKT_SKIPPED, 0},
        {"version 0", std::vector<uint8_t>(20, 0x00), RTP_PKT_SKIPPED, 0},
        {"bare 12-byte header", {0x80, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1}, RTP_PKT_CHANGED, 0},
        {"padding byte 0", {0xA0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 7, 7, 0}, RTP_FAILED, 0},
        // RFC 3550 5.1 allows a payload of padding only; with no statistics
        // stage (no RCE_WITH_RTCP) the packet ends here.
        {"padding equals payload",
         {0xA0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 7, 7, 3},
         RTP_SUCCESS,
         0},
        {"padding above payload", {0xA0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 7, 9}, RTP_FAILED, 0},
        {"padding without payload", {0xA0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1}, RTP_FAILED, 0},
        {"padding 2 of 3", {0xA0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 7, 0, 2}, RTP_PKT_CHANGED, 1},
        {"CC=2 with 4 bytes", {0x82, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 2, 3, 4}, RTP_FAILED, 0},
        {"CC=15 exact",
         [] {
             std::vector<uint8_t> v{0x8F, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1};
             v.resize(12 + 60, 0x55);
             return v;
         }(),
         RTP_PKT_CHANGED, 0},
        {"extension 3 words, 8 bytes",
         {0x90, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0xBE, 0xDE, 0, 3, 1, 2, 3, 4, 5, 6, 7, 8},
         RTP_FAILED,
         0},
        {"extension header cut",
         {0x90, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0xBE, 0xDE, 0},
         RTP_FAILED,
         0},
        {"extension 0 words",
         {0x90, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0xBE, 0xDE, 0, 0, 9},
         RTP_PKT_CHANGED,
         1},
        // Regression: 16384 words wrapped to 0 in a 16-bit byte count.
        {"extension 16384 words",
         {0x90, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0xBE, 0xDE, 0x40, 0x00, 1, 2, 3, 4},
         RTP_FAILED,
         0},
        {"extension 65535 words",
         {0x90, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0xBE, 0xDE, 0xFF, 0xFF, 1, 2, 3, 4},
         RTP_FAILED,
         0},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.name);
        frame::rtp_frame sentinel_frame{};
        frame::rtp_frame *out = &sentinel_frame;
        RTP_ERROR rc = rtp::packet_handler(nullptr, 0, c.bytes.data(), c.bytes.size(), &out);
        EXPECT_EQ(rc, c.rc);
        if (rc == RTP_PKT_SKIPPED) {
            EXPECT_EQ(out, &sentinel_frame) << "*out must be untouched";
        } else if (rc == RTP_FAILED || rc == RTP_SUCCESS) {
            EXPECT_EQ(out, nullptr);  // released: the packet ends here
        } else {
            ASSERT_NE(out, nullptr);
            EXPECT_EQ(out->payload_length, c.payload_length);
            EXPECT_NE(out->payload, nullptr);
            frame::dealloc_frame(out);
        }
    }
}

// Regression: a packet of padding only (RFC 3550 5.1, sent as bandwidth
// probes) was refused as malformed, so the statistics stage never counted
// it. It parses to an empty payload; it goes on to the statistics stage
// when there is one, and ends at the header stage otherwise.
TEST(RtpPacketHandler, PaddingOnlyPacketParses) {
    struct Case {
        const char *name;
        int rce_flags;
        RTP_ERROR rc;
    };
    const Case cases[] = {
        {"with RTCP: on to the statistics stage", RCE_WITH_RTCP, RTP_PKT_CHANGED},
        {"without RTCP: no further", 0, RTP_SUCCESS},
    };
    // Header, then 4 bytes of padding, the last one counting them.
    std::vector<uint8_t> packet = {0xA0, 96, 0, 7, 0, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0, 4};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        frame::rtp_frame *out = nullptr;
        EXPECT_EQ(rtp::packet_handler(nullptr, c.rce_flags, packet.data(), packet.size(), &out),
                  c.rc);
        if (c.rc != RTP_PKT_CHANGED) {
            // Ended here: released, as every result but RTP_PKT_CHANGED leaves it.
            EXPECT_EQ(out, nullptr);
            continue;
        }
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(out->payload_length, 0u);
        EXPECT_EQ(out->padding_length, 4u);
        EXPECT_EQ(out->header.sequence, 7);
        frame::dealloc_frame(out);
    }
}

TEST(RtpPacketHandler, TruncationSweepNeverReadsOutside) {
    // Each prefix is copied into a buffer of exactly that size, so an
    // over-read shows under AddressSanitizer.
    const std::vector<uint8_t> full = test::full_featured_packet();
    for (size_t len = 0; len <= full.size(); ++len) {
        SCOPED_TRACE(len);
        std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<long>(len));
        uint8_t *heap = new uint8_t[len + 1];  // never zero-sized
        if (len > 0) {
            std::memcpy(heap, cut.data(), len);
        }
        frame::rtp_frame *out = nullptr;
        RTP_ERROR rc = rtp::packet_handler(nullptr, 0, heap, len, &out);
        if (len < 12) {
            EXPECT_EQ(rc, RTP_PKT_SKIPPED);
        } else if (len < full.size()) {
            // The last byte no longer counts the padding correctly, or the
            // CSRC list / extension no longer fits.
            EXPECT_TRUE(rc == RTP_FAILED || rc == RTP_PKT_CHANGED) << rc;
        } else {
            EXPECT_EQ(rc, RTP_PKT_CHANGED);
        }
        if (rc == RTP_PKT_CHANGED) {
            ASSERT_NE(out, nullptr);
            EXPECT_LE(out->payload_length + out->padding_length + 12 + 8 + 12, len);
            frame::dealloc_frame(out);
        } else if (rc == RTP_FAILED) {
            EXPECT_EQ(out, nullptr);
        }
        delete[] heap;
    }
}

}  // namespace
