// RTCP feedback messages (RFC 4585 section 6, RFC 5104 section 4.3.1): the
// writers against golden packets, the parsers on golden, padded, cut and
// hostile packets, and the NACK bitmask packing.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "rtcp/rtcp_feedback.hh"
#include "tessal/tessal.h"
#include "tessal/util.hh"

using namespace tessal;
using bytes = std::vector<uint8_t>;

// The C header carries the feedback flags with the C++ values.
static_assert(TESSAL_RCE_RTCP_FEEDBACK == RCE_RTCP_FEEDBACK, "C and C++ flag values differ");
static_assert(TESSAL_RCE_RTCP_REDUCED_SIZE == RCE_RTCP_REDUCED_SIZE,
              "C and C++ flag values differ");
static_assert((RCE_RTCP_FEEDBACK & (RCE_SRTP_STANDARD | RCE_RTCP_ON_RTP_PORT)) == 0 &&
                  (RCE_RTCP_REDUCED_SIZE & (RCE_RTCP_FEEDBACK | RCE_SRTP_STANDARD)) == 0,
              "feedback flags on bits already taken");

namespace {

// RFC 4585 6.2.1: a generic NACK from 0xAABBCCDD about 0x11223344 for
// packets 0x0100, 0x0101 and 0x0103 (BLP bits 0 and 2).
const bytes k_nack = {
    0x81, 0xCD, 0x00, 0x03,  // V=2, FMT=1, PT=205, length 3 (16 bytes)
    0xAA, 0xBB, 0xCC, 0xDD,  // packet sender
    0x11, 0x22, 0x33, 0x44,  // media source
    0x01, 0x00, 0x00, 0x05,  // PID 256, BLP 0b101
};

// RFC 4585 6.3.1: a PLI, no FCI.
const bytes k_pli = {
    0x81, 0xCE, 0x00, 0x02,  // V=2, FMT=1, PT=206, length 2 (12 bytes)
    0xAA, 0xBB, 0xCC, 0xDD,  // packet sender
    0x11, 0x22, 0x33, 0x44,  // media source
};

// RFC 5104 4.3.1.1: a FIR for 0x11223344 with command sequence number 7.
const bytes k_fir = {
    0x84, 0xCE, 0x00, 0x04,  // V=2, FMT=4, PT=206, length 4 (20 bytes)
    0xAA, 0xBB, 0xCC, 0xDD,  // packet sender
    0x00, 0x00, 0x00, 0x00,  // media source: unused, 0
    0x11, 0x22, 0x33, 0x44,  // FCI: target SSRC
    0x07, 0x00, 0x00, 0x00,  //      seq nr 7, reserved
};

// Exactly `size` bytes on the heap, so a read past them hits ASan.
std::unique_ptr<uint8_t[]> exact(const bytes &b, size_t size) {
    std::unique_ptr<uint8_t[]> p(new uint8_t[size == 0 ? 1 : size]);
    if (size > 0) {
        std::memcpy(p.get(), b.data(), size);
    }
    return p;
}

RTP_ERROR parse_any(const bytes &b, size_t size) {
    const std::unique_ptr<uint8_t[]> p = exact(b, size);
    rtcp_nack nack;
    rtcp_pli pli;
    rtcp_fir fir;
    const RTP_ERROR results[] = {parse_nack_packet(p.get(), size, nack),
                                 parse_pli_packet(p.get(), size, pli),
                                 parse_fir_packet(p.get(), size, fir)};
    for (RTP_ERROR r : results) {
        if (r == RTP_SUCCESS) {
            return r;
        }
    }
    return RTP_BAD_ARGUMENT;
}

}  // namespace

TEST(RtcpFeedbackWriters, BuildTheGoldenPackets) {
    bytes nack(get_nack_packet_size(1));
    size_t offset = 0;
    ASSERT_TRUE(construct_nack_packet(nack.data(), offset, 0xAABBCCDD, 0x11223344,
                                      pack_nack({0x100, 0x101, 0x103})));
    EXPECT_EQ(offset, nack.size());
    EXPECT_EQ(nack, k_nack);

    bytes pli(get_pli_packet_size());
    offset = 0;
    ASSERT_TRUE(construct_pli_packet(pli.data(), offset, 0xAABBCCDD, 0x11223344));
    EXPECT_EQ(offset, pli.size());
    EXPECT_EQ(pli, k_pli);

    bytes fir(get_fir_packet_size(1));
    offset = 0;
    ASSERT_TRUE(construct_fir_packet(fir.data(), offset, 0xAABBCCDD, {{0x11223344, 7}}));
    EXPECT_EQ(offset, fir.size());
    EXPECT_EQ(fir, k_fir);
}

TEST(RtcpFeedbackWriters, RefuseEmptyAndOversizedFci) {
    bytes buffer(get_nack_packet_size(k_rtcp_max_nack_entries + 1), 0xEE);
    size_t offset = 0;
    EXPECT_FALSE(construct_nack_packet(buffer.data(), offset, 1, 2, {}));
    EXPECT_FALSE(construct_fir_packet(buffer.data(), offset, 1, {}));
    EXPECT_FALSE(construct_nack_packet(buffer.data(), offset, 1, 2,
                                       std::vector<rtcp_nack_entry>(k_rtcp_max_nack_entries + 1)));
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(buffer[0], 0xEE);  // nothing written
    // The largest packet still fits the 16-bit length field.
    ASSERT_TRUE(construct_nack_packet(buffer.data(), offset, 1, 2,
                                      std::vector<rtcp_nack_entry>(k_rtcp_max_nack_entries)));
    EXPECT_LT(offset, 65536u);
    rtcp_nack nack;
    ASSERT_EQ(parse_nack_packet(buffer.data(), offset, nack), RTP_SUCCESS);
    EXPECT_EQ(nack.lost.size(), k_rtcp_max_nack_entries);
}

TEST(RtcpFeedbackParsers, ReadTheGoldenPackets) {
    rtcp_nack nack;
    ASSERT_EQ(parse_nack_packet(k_nack.data(), k_nack.size(), nack), RTP_SUCCESS);
    EXPECT_EQ(nack.sender_ssrc, 0xAABBCCDDu);
    EXPECT_EQ(nack.media_ssrc, 0x11223344u);
    EXPECT_EQ(nack.lost, (std::vector<uint16_t>{0x100, 0x101, 0x103}));

    rtcp_pli pli;
    ASSERT_EQ(parse_pli_packet(k_pli.data(), k_pli.size(), pli), RTP_SUCCESS);
    EXPECT_EQ(pli.sender_ssrc, 0xAABBCCDDu);
    EXPECT_EQ(pli.media_ssrc, 0x11223344u);

    rtcp_fir fir;
    ASSERT_EQ(parse_fir_packet(k_fir.data(), k_fir.size(), fir), RTP_SUCCESS);
    EXPECT_EQ(fir.sender_ssrc, 0xAABBCCDDu);
    EXPECT_EQ(fir.media_ssrc, 0u);
    ASSERT_EQ(fir.entries.size(), 1u);
    EXPECT_EQ(fir.entries[0].ssrc, 0x11223344u);
    EXPECT_EQ(fir.entries[0].seq, 7);
}

TEST(RtcpFeedbackParsers, RoundTripsOfManyEntries) {
    struct Case {
        const char *name;
        std::vector<uint16_t> lost;
        size_t entries;
    };
    std::vector<uint16_t> long_run;
    for (uint32_t s = 65500; s < 65536 + 100; ++s) {
        long_run.push_back(static_cast<uint16_t>(s));
    }
    const Case cases[] = {
        {"one", {42}, 1},
        {"17 in a row fill one entry",
         {10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26},
         1},
        {"the 18th needs a second",
         {10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27},
         2},
        {"wrap inside one entry", {65534, 65535, 0, 1}, 1},
        {"136 across the wrap", long_run, 8},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<rtcp_nack_entry> entries = pack_nack(c.lost);
        EXPECT_EQ(entries.size(), c.entries);
        bytes packet(get_nack_packet_size(entries.size()));
        size_t offset = 0;
        ASSERT_TRUE(construct_nack_packet(packet.data(), offset, 5, 6, entries));
        rtcp_nack back;
        ASSERT_EQ(parse_nack_packet(packet.data(), packet.size(), back), RTP_SUCCESS);
        EXPECT_EQ(back.lost, c.lost);
    }

    std::vector<rtcp_fir_entry> targets;
    for (uint32_t i = 0; i < 40; ++i) {
        targets.push_back({0x1000 + i, static_cast<uint8_t>(250 + i)});  // seq wraps at 256
    }
    bytes packet(get_fir_packet_size(targets.size()));
    size_t offset = 0;
    ASSERT_TRUE(construct_fir_packet(packet.data(), offset, 9, targets));
    rtcp_fir fir;
    ASSERT_EQ(parse_fir_packet(packet.data(), packet.size(), fir), RTP_SUCCESS);
    ASSERT_EQ(fir.entries.size(), targets.size());
    for (size_t i = 0; i < targets.size(); ++i) {
        EXPECT_EQ(fir.entries[i].ssrc, targets[i].ssrc);
        EXPECT_EQ(fir.entries[i].seq, targets[i].seq);
    }
}

TEST(RtcpNackPacking, FewestEntriesWithWrapAround) {
    struct Case {
        const char *name;
        std::vector<uint16_t> lost;
        std::vector<std::pair<uint16_t, uint16_t>> want;  // PID, BLP
    };
    const Case cases[] = {
        {"nothing lost", {}, {}},
        {"PID alone", {7}, {{7, 0}}},
        {"PID + 16 is the last bit", {7, 23}, {{7, 0x8000}}},
        {"PID + 17 starts an entry", {7, 24}, {{7, 0}, {24, 0}}},
        {"wrap: 65535 then 0..15", {65535, 0, 15}, {{65535, 0x8001}}},
        {"wrap: 65530 + 16 is 10", {65530, 65531, 10}, {{65530, 0x8001}}},
        {"wrap: 65530 + 17 is 11", {65530, 11}, {{65530, 0}, {11, 0}}},
        {"duplicates are ignored", {100, 100, 101, 101}, {{100, 1}}},
        {"any order packs in serial order", {100, 99}, {{99, 1}}},
        // Half the range apart, either may come first: after the widest gap.
        {"half the range apart", {0, 32768}, {{32768, 0}, {0, 0}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<rtcp_nack_entry> got = pack_nack(c.lost);
        ASSERT_EQ(got.size(), c.want.size());
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].pid, c.want[i].first) << i;
            EXPECT_EQ(got[i].blp, c.want[i].second) << i;
        }
    }
}

TEST(RtcpNackPacking, UnpackGivesBackEverySortedSet) {
    // Every loss pattern of a 20-packet window placed across the wrap:
    // pack, then unpack, gives the same numbers in the same order.
    for (uint32_t mask = 1; mask < (1u << 20); mask += 997) {
        std::vector<uint16_t> lost;
        for (uint32_t bit = 0; bit < 20; ++bit) {
            if (mask & (1u << bit)) {
                lost.push_back(static_cast<uint16_t>(65530 + bit));
            }
        }
        const std::vector<rtcp_nack_entry> entries = pack_nack(lost);
        ASSERT_EQ(unpack_nack(entries), lost) << "mask " << mask;
        // Greedy from the first number: a second entry only when 17 or
        // more separate the last from the first.
        const auto span = static_cast<uint16_t>(lost.back() - lost.front());
        EXPECT_EQ(entries.size() > 1, span > 16) << "mask " << mask;
    }
}

TEST(RtcpFeedbackParsers, RefuseMalformedPackets) {
    struct Case {
        const char *name;
        bytes packet;
    };
    const Case cases[] = {
        {"version 1 NACK", {0x41, 0xCD, 0x00, 0x03, 0, 0, 0, 1, 0, 0, 0, 2, 0, 1, 0, 0}},
        {"length past the buffer", {0x81, 0xCE, 0x00, 0x03, 0, 0, 0, 1, 0, 0, 0, 2}},
        {"length 0: no SSRCs", {0x81, 0xCE, 0x00, 0x00}},
        {"length 1: no media SSRC", {0x81, 0xCE, 0x00, 0x01, 0, 0, 0, 1}},
        {"NACK without FCI", {0x81, 0xCD, 0x00, 0x02, 0, 0, 0, 1, 0, 0, 0, 2}},
        {"FIR without FCI", {0x84, 0xCE, 0x00, 0x02, 0, 0, 0, 1, 0, 0, 0, 0}},
        {"FIR cut inside its entry", {0x84, 0xCE, 0x00, 0x03, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 9}},
        {"padding of 0", {0xA1, 0xCE, 0x00, 0x03, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 0}},
        {"padding past the SSRCs", {0xA1, 0xCE, 0x00, 0x03, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 5}},
        {"padding eats the NACK entry",
         {0xA1, 0xCD, 0x00, 0x03, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 4}},
        {"padding cuts the NACK entry",
         {0xA1, 0xCD, 0x00, 0x03, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 2}},
        {"an RR", {0x80, 0xC9, 0x00, 0x02, 0, 0, 0, 1, 0, 0, 0, 2}},
        {"TMMBR (RTPFB FMT 3)", {0x83, 0xCD, 0x00, 0x03, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 0}},
        {"REMB-like (PSFB FMT 15)",
         {0x8F, 0xCE, 0x00, 0x03, 0, 0, 0, 1, 0, 0, 0, 0, 'R', 'E', 'M', 'B'}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(parse_any(c.packet, c.packet.size()), RTP_BAD_ARGUMENT);
    }
    // Each parser refuses the other kinds.
    rtcp_nack nack;
    rtcp_pli pli;
    rtcp_fir fir;
    EXPECT_EQ(parse_nack_packet(k_pli.data(), k_pli.size(), nack), RTP_BAD_ARGUMENT);
    EXPECT_EQ(parse_pli_packet(k_fir.data(), k_fir.size(), pli), RTP_BAD_ARGUMENT);
    EXPECT_EQ(parse_fir_packet(k_nack.data(), k_nack.size(), fir), RTP_BAD_ARGUMENT);
    EXPECT_EQ(parse_pli_packet(nullptr, 12, pli), RTP_BAD_ARGUMENT);
}

TEST(RtcpFeedbackParsers, ValidPaddingAndTrailingBytesAreAccepted) {
    // A PLI padded by 4 bytes, and a NACK whose datagram goes on after it
    // (the next packet of a compound): the length field bounds the read.
    const bytes padded_pli = {0xA1, 0xCE, 0x00, 0x03, 0xAA, 0xBB, 0xCC, 0xDD,
                              0x11, 0x22, 0x33, 0x44, 0x00, 0x00, 0x00, 0x04};
    rtcp_pli pli;
    ASSERT_EQ(parse_pli_packet(padded_pli.data(), padded_pli.size(), pli), RTP_SUCCESS);
    EXPECT_EQ(pli.media_ssrc, 0x11223344u);

    bytes nack_then_more = k_nack;
    nack_then_more.insert(nack_then_more.end(), {0x01, 0x02, 0x00, 0x00});
    rtcp_nack nack;
    ASSERT_EQ(parse_nack_packet(nack_then_more.data(), nack_then_more.size(), nack), RTP_SUCCESS);
    EXPECT_EQ(nack.lost, (std::vector<uint16_t>{0x100, 0x101, 0x103}));
}

TEST(RtcpFeedbackParsers, EveryTruncationIsRefusedWithoutOverRead) {
    for (const bytes *golden : {&k_nack, &k_pli, &k_fir}) {
        for (size_t cut = 0; cut < golden->size(); ++cut) {
            SCOPED_TRACE(cut);
            EXPECT_EQ(parse_any(*golden, cut), RTP_BAD_ARGUMENT);
        }
        EXPECT_EQ(parse_any(*golden, golden->size()), RTP_SUCCESS);
    }
}

TEST(RtcpFeedbackKind, FromTypeAndFormat) {
    EXPECT_EQ(rtcp_feedback_kind(205, 1), RTCP_FEEDBACK_NACK);
    EXPECT_EQ(rtcp_feedback_kind(206, 1), RTCP_FEEDBACK_PLI);
    EXPECT_EQ(rtcp_feedback_kind(206, 4), RTCP_FEEDBACK_FIR);
    EXPECT_EQ(rtcp_feedback_kind(205, 4), RTCP_FEEDBACK_UNKNOWN);
    EXPECT_EQ(rtcp_feedback_kind(206, 2), RTCP_FEEDBACK_UNKNOWN);  // SLI
    EXPECT_EQ(rtcp_feedback_kind(201, 1), RTCP_FEEDBACK_NONE);
}
