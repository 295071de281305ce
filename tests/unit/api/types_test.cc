// Pins every numeric value of the public vocabulary: applications pass these
// as plain integers, so a changed value breaks the binary interface.

#include <gtest/gtest.h>

#include <cstring>
#include <type_traits>

#include "tessal/tessal.hh"

using namespace tessal;

namespace {

struct value_case {
    const char *name;
    long long actual;
    long long expected;
};

void check_table(const value_case *cases, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(cases[i].actual, cases[i].expected);
    }
}

#define CASE(name, value) \
    { #name, static_cast < long long>(name), value }

TEST(PublicTypes, ResultCodes) {
    static_assert(
        sizeof(RTP_ERROR) == 4 && std::is_signed<std::underlying_type_t<RTP_ERROR>>::value,
        "RTP_ERROR is a signed 32-bit enumeration");
    const value_case cases[] = {
        CASE(RTP_SUCCESS, 0),        CASE(RTP_PENDING, 1),        CASE(RTP_NO_DATA, 2),
        CASE(RTP_PKT_SKIPPED, 3),    CASE(RTP_PKT_CHANGED, 4),    CASE(RTP_FRAME_READY, 5),
        CASE(RTP_FRAMES_READY, 6),   CASE(RTP_AUTH_FAILED, 7),    CASE(RTP_FAILED, -1),
        CASE(RTP_SOCKET_FAILED, -2), CASE(RTP_BIND_FAILED, -3),   CASE(RTP_BAD_ARGUMENT, -4),
        CASE(RTP_SEND_FAILED, -5),   CASE(RTP_ALLOC_FAILED, -6),  CASE(RTP_SSRC_CONFLICT, -7),
        CASE(RTP_UNINITIALIZED, -9), CASE(RTP_UNSUPPORTED, -10),  CASE(RTP_RECEIVE_FAILED, -11),
        CASE(RTP_TIMED_OUT, -12),    CASE(RTP_NO_SUCH_ITEM, -13),
    };
    check_table(cases, std::size(cases));
}

TEST(PublicTypes, PayloadFormats) {
    static_assert(sizeof(RTP_FORMAT) == 4, "RTP_FORMAT is 32 bits");
    const value_case cases[] = {
        CASE(FMT_PCMU, 0),      CASE(FMT_GSM, 3),      CASE(FMT_G723, 4),
        CASE(FMT_DVI4_8K, 5),   CASE(FMT_DVI4_16K, 6), CASE(FMT_LPC, 7),
        CASE(FMT_PCMA, 8),      CASE(FMT_G722, 9),     CASE(FMT_L16_STEREO, 10),
        CASE(FMT_L16_MONO, 11), CASE(FMT_G728, 15),    CASE(FMT_DVI4_11K, 16),
        CASE(FMT_DVI4_22K, 17), CASE(FMT_G729, 18),    CASE(FMT_G726_40, 96),
        CASE(FMT_G726_32, 97),  CASE(FMT_G726_24, 98), CASE(FMT_G726_16, 99),
        CASE(FMT_G729D, 100),   CASE(FMT_G729E, 101),  CASE(FMT_GSM_EFR, 102),
        CASE(FMT_L8, 103),      CASE(FMT_VDVI, 104),   CASE(FMT_OPUS, 105),
        CASE(FMT_H264, 106),    CASE(FMT_H265, 107),   CASE(FMT_H266, 108),
        CASE(FMT_V3C, 109),
    };
    check_table(cases, std::size(cases));
}

TEST(PublicTypes, EnableFlags) {
    const value_case cases[] = {
        CASE(RCE_RETIRED_FLAG, 0x1),
        CASE(RCE_SEND_ONLY, 0x2),
        CASE(RCE_RECEIVE_ONLY, 0x4),
        CASE(RCE_SRTP, 0x8),
        CASE(RCE_SRTP_KEYS_FROM_ZRTP, 0x10),
        CASE(RCE_SRTP_KEYS_FROM_USER, 0x20),
        CASE(RCE_H26X_OMIT_START_CODE, 0x40),
        CASE(RCE_H26X_RESYNC_ON_KEY_FRAME, 0x80),
        CASE(RCE_FRAGMENT_GENERIC, 0x100),
        CASE(RCE_SCC_ENABLED, 0x200),
        CASE(RCE_SRTP_NO_ENCRYPTION, 0x400),
        CASE(RCE_SRTP_AUTH_TAG, 0x800),
        CASE(RCE_SRTP_ANTI_REPLAY, 0x1000),
        CASE(RCE_WITH_RTCP, 0x2000),
        CASE(RCE_NAT_KEEPALIVE, 0x4000),
        CASE(RCE_SRTP_AES192, 0x8000),
        CASE(RCE_SRTP_AES256, 0x10000),
        CASE(RCE_ZRTP_FULL_DH, 0x20000),
        CASE(RCE_ZRTP_MULTISTREAM_MODE, 0x40000),
        CASE(RCE_PACE_FRAMES, 0x80000),
        CASE(RCE_PACE_FRAGMENTS, 0x100000),
        CASE(RCE_RTCP_ON_RTP_PORT, 0x200000),
    };
    check_table(cases, std::size(cases));
}

TEST(PublicTypes, PushFlags) {
    const value_case cases[] = {
        CASE(RTP_PUSH_DEFAULT, 0x0),        CASE(RTP_PUSH_RETIRED, 0x1),
        CASE(RTP_PUSH_COPY_DATA, 0x2),      CASE(RTP_PUSH_ONE_NAL, 0x4),
        CASE(RTP_PUSH_NO_AGGREGATION, 0x8),
    };
    check_table(cases, std::size(cases));
}

TEST(PublicTypes, ConfigurationKeys) {
    const value_case cases[] = {
        CASE(RCC_SOCKET_RECV_BUFFER, 1), CASE(RCC_SOCKET_SEND_BUFFER, 2),
        CASE(RCC_RECEIVE_RING_BYTES, 3), CASE(RCC_PACKET_DELAY_LIMIT, 4),
        CASE(RCC_DYNAMIC_PT, 5),         CASE(RCC_RTP_CLOCK_RATE, 6),
        CASE(RCC_PATH_MTU, 7),           CASE(RCC_FRAME_RATE_NUM, 8),
        CASE(RCC_FRAME_RATE_DEN, 9),     CASE(RCC_LOCAL_SSRC, 10),
        CASE(RCC_PEER_SSRC, 11),         CASE(RCC_SESSION_BANDWIDTH, 12),
        CASE(RCC_RECV_POLL_MS, 13),      CASE(RCC_MCAST_TTL, 15),
        CASE(RCC_PACING_NUM, 16),        CASE(RCC_PACING_DEN, 17),
    };
    check_table(cases, std::size(cases));
}

TEST(PublicTypes, RtcpFrameTypes) {
    using namespace tessal::frame;
    const value_case cases[] = {
        CASE(RTCP_FRAME_SR, 200),  CASE(RTCP_FRAME_RR, 201),  CASE(RTCP_FRAME_SDES, 202),
        CASE(RTCP_FRAME_BYE, 203), CASE(RTCP_FRAME_APP, 204),
    };
    check_table(cases, std::size(cases));
}

TEST(PublicTypes, HeaderBitFieldsShareOneUnitVersionLowest) {
    // version in the least significant bits, payload_type in the most.
    frame::rtp_header h{};
    h.version = 2;
    h.payload_type = 0x7F;
    uint16_t unit = 0;
    std::memcpy(&unit, &h, sizeof(unit));
    EXPECT_EQ(unit, 0x0002 | (0x7F << 9));
    EXPECT_EQ(offsetof(frame::rtp_header, sequence), 2u);
    EXPECT_EQ(offsetof(frame::rtp_header, timestamp), 4u);
    EXPECT_EQ(offsetof(frame::rtp_header, ssrc), 8u);
}

TEST(PublicTypes, Version) {
    EXPECT_EQ(get_version_major(), 4);
    EXPECT_EQ(get_version_minor(), 0);
    EXPECT_EQ(get_version_patch(), 1);
    EXPECT_STREQ(get_version_cstr(), "4.0.1-release");
    EXPECT_STREQ(get_git_hash_cstr(), "");
}

}  // namespace
