#pragma once

// Result codes, payload formats, enable flags, push flags and configuration
// keys. Applications pass these as plain integers: every numeric value is part
// of the binary interface and must never change.

#include <cstdint>

namespace tessal {

// Public operations return 0 or a negative value. 1..7 are internal statuses;
// 3..6 travel only between reception handlers and the reception flow.
enum RTP_ERROR : int32_t {
    RTP_SUCCESS = 0,
    RTP_PENDING = 1,
    RTP_NO_DATA = 2,
    RTP_PKT_SKIPPED = 3,
    RTP_PKT_CHANGED = 4,
    RTP_FRAME_READY = 5,
    RTP_FRAMES_READY = 6,
    RTP_AUTH_FAILED = 7,

    RTP_FAILED = -1,
    RTP_SOCKET_FAILED = -2,
    RTP_BIND_FAILED = -3,
    RTP_BAD_ARGUMENT = -4,
    RTP_SEND_FAILED = -5,
    RTP_ALLOC_FAILED = -6,
    RTP_SSRC_CONFLICT = -7,
    // -8 is not used.
    RTP_UNINITIALIZED = -9,
    RTP_UNSUPPORTED = -10,
    RTP_RECEIVE_FAILED = -11,
    RTP_TIMED_OUT = -12,
    RTP_NO_SUCH_ITEM = -13,
};

// The value is the RTP payload type written into every packet (RFC 3551 for
// the static types below 96).
enum RTP_FORMAT : uint32_t {
    FMT_PCMU = 0,
    FMT_GSM = 3,
    FMT_G723 = 4,
    FMT_DVI4_8K = 5,
    FMT_DVI4_16K = 6,
    FMT_LPC = 7,
    FMT_PCMA = 8,
    FMT_G722 = 9,
    FMT_L16_STEREO = 10,
    FMT_L16_MONO = 11,
    FMT_G728 = 15,
    FMT_DVI4_11K = 16,
    FMT_DVI4_22K = 17,
    FMT_G729 = 18,
    FMT_G726_40 = 96,
    FMT_G726_32 = 97,
    FMT_G726_24 = 98,
    FMT_G726_16 = 99,
    FMT_G729D = 100,
    FMT_G729E = 101,
    FMT_GSM_EFR = 102,
    FMT_L8 = 103,
    FMT_VDVI = 104,
    FMT_OPUS = 105,
    FMT_H264 = 106,
    FMT_H265 = 107,
    FMT_H266 = 108,
    FMT_V3C = 109,
};

// Enable flags: the `rce_flags` bit set given to session::create_stream.
enum RCE_FLAGS : int {
    RCE_NO_FLAGS = 0x0,
    RCE_RETIRED_FLAG = 0x1,
    RCE_SEND_ONLY = 0x2,
    RCE_RECEIVE_ONLY = 0x4,
    // SRTP/SRTCP in this library's own form (only peers running this
    // library decrypt it); needs a key source below. See
    // media_stream::add_srtp_ctx about key reuse. With RCE_WITH_RTCP the
    // reports are SRTCP under the stream's keys: RTCP starts only once the
    // keys are known and never travels in clear, and received RTCP that
    // does not verify is dropped.
    // Both directions share one key, and the IV holds the SSRC and the
    // packet index in overlapping bytes: when the two SSRCs share their low
    // 16 bits the directions' keystreams can coincide (a WARNING is logged
    // when a received SSRC does so). Packets carrying the stream's own SSRC
    // are dropped. Use RCE_SRTP_AUTH_TAG: RCE_SRTP_NO_ENCRYPTION and
    // RCE_SRTP_ANTI_REPLAY are refused without it (create_stream returns
    // null), encryption alone is taken with a WARNING.
    RCE_SRTP = 0x8,
    // Keys agreed with the peer by ZRTP inside create_stream (which blocks
    // until the agreement ends; both ends must create their streams at
    // about the same time). The first stream of a session runs the
    // Diffie-Hellman exchange, later ones may run multistream mode
    // (RCE_ZRTP_MULTISTREAM_MODE). The users must compare the short
    // authentication string (media_stream::get_zrtp_sas) over another
    // channel: without that the agreement does not protect against an
    // active attacker in the middle, only against eavesdroppers. No secrets
    // are cached between sessions (no ZID cache, no key continuity).
    // 128-bit keys only.
    RCE_SRTP_KEYS_FROM_ZRTP = 0x10,
    RCE_SRTP_KEYS_FROM_USER = 0x20,
    RCE_H26X_OMIT_START_CODE = 0x40,
    // H.26x receivers hand on whole access units only, and after the start
    // and every loss none until a key frame: each picture decodes cleanly.
    RCE_H26X_RESYNC_ON_KEY_FRAME = 0x80,
    RCE_FRAGMENT_GENERIC = 0x100,
    RCE_SCC_ENABLED = 0x200,
    RCE_SRTP_NO_ENCRYPTION = 0x400,
    RCE_SRTP_AUTH_TAG = 0x800,
    RCE_SRTP_ANTI_REPLAY = 0x1000,
    RCE_WITH_RTCP = 0x2000,
    RCE_NAT_KEEPALIVE = 0x4000,
    RCE_SRTP_AES192 = 0x8000,
    RCE_SRTP_AES256 = 0x10000,
    // ZRTP mode of a stream. With RCE_SRTP but without a key source the
    // stream starts without keys, sends nothing (pushes return
    // RTP_UNINITIALIZED) and the application runs media_stream::start_zrtp.
    RCE_ZRTP_FULL_DH = 0x20000,
    // Reuses the session's Diffie-Hellman result: waits (up to 10 s) for
    // the session's Diffie-Hellman stream, then for its turn among the
    // session's multistream streams.
    RCE_ZRTP_MULTISTREAM_MODE = 0x40000,
    RCE_PACE_FRAMES = 0x80000,
    RCE_PACE_FRAGMENTS = 0x100000,
    RCE_RTCP_ON_RTP_PORT = 0x200000,
    // Standard SRTP/SRTCP (RFC 3711, RFC 6188, RFC 7714), as GStreamer's
    // srtpenc/srtpdec, SIP phones and WebRTC gateways speak it. Give it with
    // RCE_SRTP | RCE_SRTP_KEYS_FROM_USER: the stream starts once
    // media_stream::add_srtp_keys or add_srtp_crypto has set the profile
    // (RTP_SRTP_PROFILE) and the keys of each direction. Every packet is
    // encrypted and authenticated and a replay window runs per sender, so
    // RCE_SRTP_AUTH_TAG and RCE_SRTP_ANTI_REPLAY are implied; the key length
    // comes from the profile, so RCE_SRTP_AES192/AES256 and
    // RCE_SRTP_NO_ENCRYPTION are refused. Without this flag RCE_SRTP keeps
    // the library's own form, unchanged.
    RCE_SRTP_STANDARD = 0x400000,
    // RTCP feedback (RFC 4585, RTP/AVPF): generic NACK, PLI and FIR can be
    // sent through the stream's RTCP, as early feedback in a compound packet
    // (an RR, the SDES CNAME, the feedback) at most once between two
    // regular reports; regular reports lose the 5 s minimum interval
    // (RCC_RTCP_TRR_INTERVAL bounds them). Needs RCE_WITH_RTCP. Without it
    // received feedback is still read and counted, and nothing sent changes.
    RCE_RTCP_FEEDBACK = 0x800000,
    // With RCE_RTCP_FEEDBACK: early feedback goes out as reduced-size RTCP
    // (RFC 5506), each feedback packet alone in its datagram, once one
    // regular compound report went out. Only for peers that agreed to it
    // (SDP a=rtcp-rsize).
    RCE_RTCP_REDUCED_SIZE = 0x1000000,
};

// Standard SRTP protection profiles (RCE_SRTP_STANDARD). Names as in SDP
// (RFC 4568, RFC 6188, RFC 7714); master key and salt lengths in bytes:
//   SRTP_AES_CM_128_HMAC_SHA1_80  key 16, salt 14, RTP tag 10, SRTCP tag 10
//   SRTP_AES_CM_128_HMAC_SHA1_32  key 16, salt 14, RTP tag 4,  SRTCP tag 10
//   SRTP_AES_256_CM_HMAC_SHA1_80  key 32, salt 14, RTP tag 10, SRTCP tag 10
//   SRTP_AEAD_AES_128_GCM         key 16, salt 12, tag 16 (RTP and SRTCP)
//   SRTP_AEAD_AES_256_GCM         key 32, salt 12, tag 16 (RTP and SRTCP)
// All encrypt the RTP payload and RTCP after its first 8 bytes and
// authenticate the whole packet: they protect against eavesdropping,
// forgery, modification and replay, not against traffic analysis (headers
// stay readable).
enum RTP_SRTP_PROFILE : int {
    SRTP_AES_CM_128_HMAC_SHA1_80 = 1,
    SRTP_AES_CM_128_HMAC_SHA1_32 = 2,
    SRTP_AES_256_CM_HMAC_SHA1_80 = 3,
    SRTP_AEAD_AES_128_GCM = 4,
    SRTP_AEAD_AES_256_GCM = 5,
};

// Push flags: the `rtp_flags` bit set of one push_frame call.
enum RTP_PUSH_FLAGS : int {
    RTP_PUSH_DEFAULT = 0x0,
    RTP_PUSH_RETIRED = 0x1,
    RTP_PUSH_COPY_DATA = 0x2,
    RTP_PUSH_ONE_NAL = 0x4,
    RTP_PUSH_NO_AGGREGATION = 0x8,
};

// Configuration keys of media_stream::configure_ctx and
// media_stream::get_configuration_value. Key 14 does not exist.
enum RCC_KEYS : int {
    RCC_SOCKET_RECV_BUFFER = 1,
    RCC_SOCKET_SEND_BUFFER = 2,
    RCC_RECEIVE_RING_BYTES = 3,
    RCC_PACKET_DELAY_LIMIT = 4,
    RCC_DYNAMIC_PT = 5,
    RCC_RTP_CLOCK_RATE = 6,
    RCC_PATH_MTU = 7,
    RCC_FRAME_RATE_NUM = 8,
    RCC_FRAME_RATE_DEN = 9,
    RCC_LOCAL_SSRC = 10,
    RCC_PEER_SSRC = 11,
    RCC_SESSION_BANDWIDTH = 12,
    RCC_RECV_POLL_MS = 13,
    RCC_MCAST_TTL = 15,
    RCC_PACING_NUM = 16,
    RCC_PACING_DEN = 17,
    // H.266 streams: 1 sends aggregation packets in the RFC 9328 form (type
    // 28 in the payload header) that standard receivers read; 0 (the
    // default) keeps the 0x38 0x01 header that peers of this library expect.
    // Receivers accept both. RTP_BAD_ARGUMENT on other formats.
    RCC_H266_RFC9328_AGGREGATION = 18,
    // With RCE_RTCP_FEEDBACK: T_rr_interval of RFC 4585 section 3.4 in
    // milliseconds, the least time between two regular RTCP reports
    // (randomised by 0.5 to 1.5); 0 (the default) leaves them to the RTCP
    // bandwidth alone. Feedback is not held back by it.
    RCC_RTCP_TRR_INTERVAL = 19,
    // Loss recovery (RCE_RTCP_FEEDBACK with RCE_WITH_RTCP): the stream asks
    // for lost packets with generic NACKs (RFC 4585) and answers the peer's
    // NACKs from a store of its recent packets.
    // The RFC 4588 retransmission payload type (96-127; -1, the default:
    // none). Sending, lost packets go again as RTX packets of this type on
    // their own SSRC (RCC_RTX_SSRC); without it they go again as they first
    // went. Receiving, packets of this type are taken as retransmissions of
    // the stream's media. RTP_UNSUPPORTED with SRTP for now: an SRTP stream
    // resends on the original SSRC, its packets as they were protected.
    RCC_RTX_PAYLOAD_TYPE = 20,
    // The SSRC of the stream's retransmissions (default: random).
    RCC_RTX_SSRC = 21,
    // How long, and how many bytes of, sent packets are kept for
    // retransmission (default 1000 ms and 2,500,000 bytes, about one second
    // of 20 Mbit/s video).
    RCC_RETRANSMIT_STORE_MS = 22,
    RCC_RETRANSMIT_STORE_BYTES = 23,
    // Retransmissions may reach this percentage of the media bytes sent
    // (1-100, default 50); requests beyond it are refused and counted.
    RCC_RETRANSMIT_SHARE = 24,
    // What the stream sends to ask for a key frame: 0 a PLI (RFC 4585
    // 6.3.1, the default), 1 a FIR (RFC 5104 4.3.1).
    RCC_KEY_FRAME_REQUEST = 25,
};

}  // namespace tessal
