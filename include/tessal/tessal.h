/* The C interface: create and destroy contexts, sessions and streams, push
 * frames and read a stream's counters. Streams created here use the H.265
 * payload format. Pulling, configuration and RTCP need the C++ interface
 * (<tessal/tessal.hh>). */
#ifndef TESSAL_TESSAL_H
#define TESSAL_TESSAL_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define TESSAL_C_EXPORT
#else
#define TESSAL_C_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
namespace tessal {
class context;
class session;
class media_stream;
}  // namespace tessal
typedef tessal::context tessal_context;
typedef tessal::session tessal_session;
typedef tessal::media_stream tessal_stream;
extern "C" {
#else
/* Opaque handles. */
typedef struct tessal_context tessal_context;
typedef struct tessal_session tessal_session;
typedef struct tessal_stream tessal_stream;
#endif

/* Enable flags of tessal_create_stream with the values of the C++ RCE_*
 * flags (<tessal/util.hh>): RTCP feedback (RFC 4585) and reduced-size RTCP
 * (RFC 5506) for the stream's RTCP. */
#define TESSAL_RCE_RTCP_FEEDBACK 0x800000
#define TESSAL_RCE_RTCP_REDUCED_SIZE 0x1000000

/* Creates a context, prints its address to standard output, stores it in *out. */
TESSAL_C_EXPORT void tessal_create_ctx(tessal_context **out);
/* Destroys a context; null is ignored. */
TESSAL_C_EXPORT void tessal_destroy_ctx(tessal_context *ctx);
/* A session toward `address`; *out is null for a null or empty address. */
TESSAL_C_EXPORT void tessal_create_session(tessal_context *ctx, tessal_session **out,
                                           const char *address);
/* Destroys the session and its streams; nothing when either is null. */
TESSAL_C_EXPORT void tessal_destroy_session(tessal_context *ctx, tessal_session *s);
/* An H.265 stream; *out is null on failure. */
TESSAL_C_EXPORT void tessal_create_stream(tessal_session *s, tessal_stream **out, uint16_t src_port,
                                          uint16_t dst_port, int rce_flags);
/* 0, -4 for a null stream, -13 for a stream not of this session. */
TESSAL_C_EXPORT int tessal_destroy_stream(tessal_session *s, tessal_stream *stream);
/* Sends one frame from the caller's buffer; the result codes of push_frame. */
TESSAL_C_EXPORT int tessal_push_frame(tessal_stream *stream, uint8_t *data, size_t len,
                                      int rtp_flags);

/* A stream's counters, as media_stream::get_statistics gives them (see
 * <tessal/stream_statistics.hh>: the fields marked "port" there belong to the
 * local port and are the same for every stream on it). */
typedef struct tessal_stream_statistics {
    uint64_t datagrams_received;
    uint64_t bytes_received;
    uint64_t dropped_ring_full; /* port */
    uint64_t dropped_oversize;  /* port */
    uint64_t dropped_not_rtp;   /* port */
    uint64_t dropped_malformed;
    uint64_t auth_failures;   /* SRTP and SRTCP */
    uint64_t replay_failures; /* SRTP and SRTCP */
    uint64_t duplicates;
    uint64_t frames_delivered;
    uint64_t frames_discarded_incomplete;
    uint64_t frames_dropped_queue_full; /* port */
    uint64_t packets_sent;
    uint64_t bytes_sent;
    uint64_t send_failures;
    uint64_t dropped_unknown_source; /* port */
    uint64_t dropped_own_packets;    /* port */
    uint64_t ssrc_collisions;        /* port */
    uint64_t ring_full_waits;        /* port */
    /* Loss recovery (TESSAL_RCE_RTCP_FEEDBACK), receiving: */
    uint64_t nacks_sent;
    uint64_t packets_requested;
    uint64_t recovered_in_time;
    uint64_t recovered_late;
    uint64_t given_up;
    uint64_t retransmissions_received;
    uint64_t pli_sent;
    uint64_t fir_sent;
    /* and sending: */
    uint64_t nacks_received;
    uint64_t retransmissions_sent;
    uint64_t retransmissions_refused;
    uint64_t pli_received;
    uint64_t fir_received;
} tessal_stream_statistics;

/* Fills *out with the stream's counters: 0, -4 (RTP_BAD_ARGUMENT) for a null
 * stream or `out`, -9 (RTP_UNINITIALIZED) before the stream has started. Any
 * thread. */
TESSAL_C_EXPORT int tessal_stream_get_statistics(const tessal_stream *stream,
                                                 tessal_stream_statistics *out);

/* Configuration keys of tessal_stream_configure with the values of the C++
 * RCC_* keys (<tessal/util.hh>, which documents each): loss recovery. */
#define TESSAL_RCC_PACKET_DELAY_LIMIT 4
#define TESSAL_RCC_RTCP_TRR_INTERVAL 19
#define TESSAL_RCC_RTX_PAYLOAD_TYPE 20
#define TESSAL_RCC_RTX_SSRC 21
#define TESSAL_RCC_RETRANSMIT_STORE_MS 22
#define TESSAL_RCC_RETRANSMIT_STORE_BYTES 23
#define TESSAL_RCC_RETRANSMIT_SHARE 24
#define TESSAL_RCC_KEY_FRAME_REQUEST 25

/* media_stream::configure_ctx: 0, -4 for a null stream or a bad key or
 * value, -9 before the stream started, -10 for a combination not supported. */
TESSAL_C_EXPORT int tessal_stream_configure(tessal_stream *stream, int key, int64_t value);
/* media_stream::get_configuration_value; -4 for a null stream. */
TESSAL_C_EXPORT int tessal_stream_get_configuration_value(tessal_stream *stream, int key);
/* Asks the peer for a key frame (a PLI, or a FIR with
 * TESSAL_RCC_KEY_FRAME_REQUEST 1), at most once per round trip: 0, -4 for a
 * null stream, -1 without TESSAL_RCE_RTCP_FEEDBACK, -9 before the stream
 * started. */
TESSAL_C_EXPORT int tessal_stream_request_key_frame(tessal_stream *stream);
/* Calls hook(arg) on the RTCP thread when the peer asks for a key frame (PLI
 * or FIR about this stream), at most once per round trip: the encoder should
 * send one. 0, -4 for a null stream or hook. */
TESSAL_C_EXPORT int tessal_stream_install_key_frame_request_hook(tessal_stream *stream,
                                                                 void (*hook)(void *arg),
                                                                 void *arg);

/* The short authentication string of the stream's ZRTP agreement into
 * out[0..4] (four base32 characters and a terminator), as
 * media_stream::get_zrtp_sas: 0, -4 for a null stream or `out`, -9 before
 * the agreement finished, -1 for a stream without ZRTP. Any thread. */
TESSAL_C_EXPORT int tessal_stream_get_zrtp_sas(const tessal_stream *stream, char out[5]);
/* Records that the users found the SAS equal on both ends; the result codes
 * of tessal_stream_get_zrtp_sas. */
TESSAL_C_EXPORT int tessal_stream_set_zrtp_sas_verified(tessal_stream *stream);
/* 1 once the session's SAS was marked verified, else 0 (also for null). */
TESSAL_C_EXPORT int tessal_stream_zrtp_sas_verified(const tessal_stream *stream);

#ifdef __cplusplus
}
#endif

#endif /* TESSAL_TESSAL_H */
