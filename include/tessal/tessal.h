/* The C interface: create and destroy contexts, sessions and streams, and
 * push frames. Streams created here use the H.265 payload format. Pulling,
 * configuration and RTCP need the C++ interface (<tessal/tessal.hh>). */
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

#ifdef __cplusplus
}
#endif

#endif /* TESSAL_TESSAL_H */
