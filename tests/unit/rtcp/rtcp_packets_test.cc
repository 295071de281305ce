// RTCP wire layouts: sizes, writers, and the header readers.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "rtcp/rtcp_packets.hh"
#include "support/stderr_capture.hh"

using namespace tessal;
using tessal::test::stderr_capture;

namespace {

rtcp_sdes_items cname_of(size_t length) {
    static uint8_t text[255] = {};
    rtcp_sdes_items items;
    items[1] = frame::rtcp_sdes_item{1, static_cast<uint8_t>(length), text};
    return items;
}

std::vector<uint8_t> payload_of(size_t n, uint8_t first = 1) {
    std::vector<uint8_t> p(n);
    for (size_t i = 0; i < n; ++i) {
        p[i] = static_cast<uint8_t>(first + i);
    }
    return p;
}

std::unique_ptr<uint8_t[]> owned(const std::vector<uint8_t> &bytes) {
    std::unique_ptr<uint8_t[]> p(new uint8_t[bytes.size() + 1]);
    std::memcpy(p.get(), bytes.data(), bytes.size());
    return p;
}

}  // namespace

TEST(RtcpSizes, MatchTheRfc3550Layouts) {
    struct Case {
        const char *name;
        uint32_t got;
        uint32_t want;
    };
    const Case cases[] = {
        {"SR with 31 blocks", get_sr_packet_size(0, 31), 772},
        {"SR without blocks", get_sr_packet_size(RCE_SRTP, 0), 28},
        {"RR without blocks", get_rr_packet_size(0, 0), 8},
        {"RR with 2 blocks", get_rr_packet_size(0, 2), 56},
        {"APP of 8 bytes", get_app_packet_size(8), 20},
        {"BYE of one SSRC", get_bye_packet_size({1}), 8},
        {"BYE of 31 SSRCs is one packet", get_bye_packet_size(std::vector<uint32_t>(31, 1)), 128},
        {"BYE of 40 SSRCs is two packets", get_bye_packet_size(std::vector<uint32_t>(40, 1)), 168},
        {"SDES, 10-byte CNAME", get_sdes_packet_size(cname_of(10)), 24},
        {"SDES, 9-byte CNAME", get_sdes_packet_size(cname_of(9)), 20},
        {"SDES, 11-byte CNAME", get_sdes_packet_size(cname_of(11)), 24},
        {"SDES without items", get_sdes_packet_size({}), 12},
        {"trailer with RCE_SRTP", get_security_overhead_size(RCE_SRTP), 14},
        {"trailer with RCE_SRTP among others",
         get_security_overhead_size(RCE_SRTP | RCE_WITH_RTCP | RCE_SRTP_AUTH_TAG), 14},
        {"no trailer without RCE_SRTP", get_security_overhead_size(RCE_WITH_RTCP), 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.got, c.want);
    }
}

TEST(RtcpHeader, WritesLengthInWordsAndRefusesBadSizes) {
    struct Case {
        const char *name;
        size_t size;
        bool ok;
        const char *log;
    };
    const Case cases[] = {
        {"largest", 65532, true, ""},
        {"too large", 65536, false, "RTCP receiver report packet size too large!"},
        {"not whole words", 30, false, "RTCP packet size should be measured in 32-bit words!"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t buf[4] = {};
        size_t offset = 0;
        stderr_capture cap;
        EXPECT_EQ(construct_rtcp_header(buf, offset, c.size, 3, frame::RTCP_FRAME_RR), c.ok);
        const std::string log = cap.stop();
        EXPECT_NE(log.find(c.log), std::string::npos) << log;
        if (c.ok) {
            EXPECT_EQ(offset, 4u);
            EXPECT_EQ(buf[0], 0x83);
            EXPECT_EQ(buf[1], 201);
            EXPECT_EQ((buf[2] << 8) | buf[3], 16382);
        } else {
            EXPECT_EQ(offset, 0u);
            EXPECT_EQ(log.find("construct_rtcp_header"), log.find("::construct_rtcp_header") + 2);
        }
    }
}

TEST(RtcpWriters, AppBlockRefusesPartialWordsAndWritesWholePackets) {
    uint8_t buf[32] = {};
    size_t offset = 0;
    EXPECT_FALSE(construct_app_block(buf, offset, 1, 0x01020304, "ABCD", owned(payload_of(6)), 6));
    EXPECT_EQ(offset, 0u);
    ASSERT_TRUE(
        construct_app_block(buf, offset, 0x25 & 0x1F, 0x01020304, "ABCD", owned(payload_of(8)), 8));
    const std::vector<uint8_t> want = {
        0x85, 204, 0x00, 0x04,  // V=2, subtype 5, APP, length 4 (20 bytes)
        1,    2,   3,    4,     // SSRC
        'A',  'B', 'C',  'D',   // name
        1,    2,   3,    4,    5, 6, 7, 8};
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + offset), want);
}

// Regression: a name shorter than four characters was copied as four bytes,
// reading past its terminating zero.
TEST(RtcpWriters, ShortAppNameIsZeroFilledNotOverRead) {
    struct Case {
        const char *name;
        std::vector<uint8_t> want;
    };
    const Case cases[] = {
        {"AB", {'A', 'B', 0, 0}},
        {"A", {'A', 0, 0, 0}},
        {"WXYZ", {'W', 'X', 'Y', 'Z'}},
        {"LONGER", {'L', 'O', 'N', 'G'}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // An exact-size heap copy: reading past the terminator trips ASan.
        std::unique_ptr<char[]> exact(new char[std::strlen(c.name) + 1]);
        std::memcpy(exact.get(), c.name, std::strlen(c.name) + 1);
        uint8_t buf[12] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
        size_t offset = 0;
        ASSERT_TRUE(construct_app_block(buf, offset, 0, 7, exact.get(), nullptr, 0));
        EXPECT_EQ(std::vector<uint8_t>(buf + 8, buf + 12), c.want);
        rtcp_app_packet queued(exact.get(), 0, 0, nullptr);
        EXPECT_EQ(std::vector<uint8_t>(queued.name.get(), queued.name.get() + 4), c.want);
    }
}

// Regression: a cumulative loss of 2^24 or more ran into the fraction byte.
TEST(RtcpWriters, ReportBlockClampsCumulativeLossTo24Bits) {
    struct Case {
        const char *name;
        uint32_t lost;
        uint32_t wire;
    };
    const Case cases[] = {
        {"small", 258, 0x40000102},
        {"largest", 0xFFFFFF, 0x40FFFFFF},
        {"beyond 24 bits", 0x1000001, 0x40FFFFFF},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t buf[24] = {};
        size_t offset = 0;
        construct_report_block(buf, offset, 0x11223344, 0x40, c.lost, 2, 0x0102, 77, 0xA, 0xB);
        const std::vector<uint8_t> want = {0x11,
                                           0x22,
                                           0x33,
                                           0x44,  // source
                                           uint8_t(c.wire >> 24),
                                           uint8_t(c.wire >> 16),
                                           uint8_t(c.wire >> 8),
                                           uint8_t(c.wire),
                                           0x00,
                                           0x02,
                                           0x01,
                                           0x02,  // cycles 2, max seq 0x0102
                                           0,
                                           0,
                                           0,
                                           77,  // jitter
                                           0,
                                           0,
                                           0,
                                           0x0A,  // LSR
                                           0,
                                           0,
                                           0,
                                           0x0B};  // DLSR
        EXPECT_EQ(std::vector<uint8_t>(buf, buf + 24), want);
    }
}

TEST(RtcpWriters, SdesChunkPadsToWordsAndNeedsACname) {
    uint8_t cname[] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j'};
    uint8_t name[] = {'N'};
    std::vector<uint8_t> buf(32, 0);
    size_t offset = 0;
    frame::rtcp_sdes_chunk chunk{0x01020304, {{1, 10, cname}, {2, 1, name}}};
    EXPECT_TRUE(construct_sdes_chunk(buf.data(), offset, chunk));
    // 4 SSRC + 12 CNAME + 3 NAME + end byte = 20: already aligned.
    EXPECT_EQ(offset, 20u);
    EXPECT_EQ(buf[16], 2);
    EXPECT_EQ(buf[19], 0);

    offset = 0;
    stderr_capture cap;
    EXPECT_FALSE(construct_sdes_chunk(buf.data(), offset, {5, {{2, 1, name}}}));
    EXPECT_NE(cap.stop().find("SDES chunk did not contain cname!"), std::string::npos);
    EXPECT_EQ(offset, 8u);  // 4 + 3 + end byte
}

// Decision: the count field has 5 bits, so a longer SSRC list becomes
// several BYE packets instead of a count that wraps.
TEST(RtcpWriters, ByeOfMoreThan31SsrcsIsSplitIntoSeveralPackets) {
    std::vector<uint32_t> ssrcs;
    for (uint32_t i = 1; i <= 40; ++i) {
        ssrcs.push_back(i);
    }
    std::vector<uint8_t> buf(get_bye_packet_size(ssrcs), 0);
    size_t offset = 0;
    ASSERT_TRUE(construct_bye_packets(buf.data(), offset, ssrcs));
    ASSERT_EQ(offset, buf.size());
    size_t at = 0;
    frame::rtcp_header first{};
    read_rtcp_header(buf.data(), at, first);
    EXPECT_EQ(first.count, 31);
    EXPECT_EQ(first.packet_type, 203);
    EXPECT_EQ(rtcp_length_in_bytes(first.length), 4u + 124);
    at = rtcp_length_in_bytes(first.length);
    frame::rtcp_header second{};
    read_rtcp_header(buf.data(), at, second);
    EXPECT_EQ(second.count, 9);
    uint32_t ssrc = 0;
    read_ssrc(buf.data(), at, ssrc);
    EXPECT_EQ(ssrc, 32u);
}

TEST(RtcpReaders, HeaderFieldsAreSeparateBytes) {
    const uint8_t bytes[] = {0xA5, 204, 0x01, 0x02};
    size_t offset = 0;
    frame::rtcp_header h{};
    read_rtcp_header(bytes, offset, h);
    EXPECT_EQ(offset, 4u);
    EXPECT_EQ(h.version, 2);
    EXPECT_EQ(h.padding, 1);
    EXPECT_EQ(h.count, 5);
    EXPECT_EQ(h.packet_type, 204);
    EXPECT_EQ(h.length, 0x0102);
    EXPECT_EQ(rtcp_length_in_bytes(h.length), 1036u);
}

// RFC 3550 A.2 on whole compounds, each fault named.
TEST(RtcpCompoundCheck, FindsTheFirstFault) {
    const std::vector<uint8_t> rr = {0x80, 0xC9, 0x00, 0x01, 0x11, 0x22, 0x33, 0x44};
    const std::vector<uint8_t> bye = {0x81, 0xCB, 0x00, 0x01, 0x11, 0x22, 0x33, 0x44};
    auto join = [](std::vector<std::vector<uint8_t>> parts) {
        std::vector<uint8_t> out;
        for (const auto &p : parts) {
            out.insert(out.end(), p.begin(), p.end());
        }
        return out;
    };
    std::vector<uint8_t> padded_rr = {0xA0, 0xC9, 0x00, 0x02, 0x11, 0x22,
                                      0x33, 0x44, 0x00, 0x00, 0x00, 0x04};
    std::vector<uint8_t> rr_v1 = rr;
    rr_v1[0] = 0x40;
    struct Case {
        const char *name;
        std::vector<uint8_t> bytes;
        RTCP_COMPOUND_FAULT fault;
        int packet;
    };
    const Case cases[] = {
        {"RR + BYE", join({rr, bye}), RTCP_COMPOUND_VALID, 2},
        {"lone BYE", bye, RTCP_COMPOUND_VALID, 1},
        {"padded last", join({bye, padded_rr}), RTCP_COMPOUND_VALID, 2},
        {"empty", {}, RTCP_COMPOUND_SHORT_HEADER, 1},
        {"2 bytes after an RR", join({rr, {0x80, 0xC9}}), RTCP_COMPOUND_SHORT_HEADER, 2},
        {"version 1 second", join({rr, rr_v1}), RTCP_COMPOUND_BAD_VERSION, 2},
        {"length past the end", {0x80, 0xC9, 0x00, 0x05, 0, 0, 0, 0}, RTCP_COMPOUND_PARTIAL, 1},
        {"padded first", join({padded_rr, rr}), RTCP_COMPOUND_BAD_PADDING, 1},
        {"padding into the header",
         {0xA0, 0xC9, 0x00, 0x01, 0, 0, 0, 8},
         RTCP_COMPOUND_BAD_PADDING,
         1},
        {"RR of 4 bytes", {0x80, 0xC9, 0x00, 0x00}, RTCP_COMPOUND_SHORT_PACKET, 1},
        {"BYE of 2 SSRCs holding 1",
         {0x82, 0xCB, 0x00, 0x01, 1, 2, 3, 4},
         RTCP_COMPOUND_SHORT_PACKET,
         1},
        {"SDES of 1 chunk without it", {0x81, 0xCA, 0x00, 0x00}, RTCP_COMPOUND_SHORT_PACKET, 1},
        {"unknown type of 4 bytes", {0x80, 0xCF, 0x00, 0x00}, RTCP_COMPOUND_VALID, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // A copy of exactly the size, so over-reads hit ASan.
        std::unique_ptr<uint8_t[]> copy(new uint8_t[c.bytes.size() + 1]);
        std::copy(c.bytes.begin(), c.bytes.end(), copy.get());
        const rtcp_compound_check check = check_rtcp_compound(copy.get(), c.bytes.size());
        EXPECT_EQ(check.fault, c.fault);
        EXPECT_EQ(check.packet, c.packet);
    }
}
