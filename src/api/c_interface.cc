#include "tessal/tessal.h"

#include <iostream>

#include "tessal/context.hh"
#include "tessal/media_stream.hh"
#include "tessal/session.hh"

using namespace tessal;

extern "C" {

void tessal_create_ctx(tessal_context **out) {
    if (out == nullptr) {
        return;
    }
    auto *ctx = new (std::nothrow) context();
    std::cout << static_cast<void *>(ctx) << std::endl;
    *out = ctx;
}

void tessal_destroy_ctx(tessal_context *ctx) {
    delete ctx;
}

void tessal_create_session(tessal_context *ctx, tessal_session **out, const char *address) {
    if (out == nullptr) {
        return;
    }
    std::cout << static_cast<void *>(ctx) << std::endl;
    *out = ctx != nullptr ? ctx->create_session(address) : nullptr;
}

void tessal_destroy_session(tessal_context *ctx, tessal_session *s) {
    if (ctx != nullptr && s != nullptr) {
        ctx->destroy_session(s);
    }
}

// Null handles are refused rather than followed: a C caller gets
// RTP_BAD_ARGUMENT (or a null stream) instead of a crash.
void tessal_create_stream(tessal_session *s, tessal_stream **out, uint16_t src_port,
                          uint16_t dst_port, int rce_flags) {
    if (out == nullptr) {
        return;
    }
    *out = s != nullptr ? s->create_stream(src_port, dst_port, FMT_H265, rce_flags) : nullptr;
}

int tessal_destroy_stream(tessal_session *s, tessal_stream *stream) {
    return s != nullptr ? s->destroy_stream(stream) : RTP_BAD_ARGUMENT;
}

int tessal_push_frame(tessal_stream *stream, uint8_t *data, size_t len, int rtp_flags) {
    return stream != nullptr ? stream->push_frame(data, len, rtp_flags) : RTP_BAD_ARGUMENT;
}

int tessal_stream_get_zrtp_sas(const tessal_stream *stream, char out[5]) {
    return stream != nullptr ? stream->get_zrtp_sas(out) : RTP_BAD_ARGUMENT;
}

int tessal_stream_set_zrtp_sas_verified(tessal_stream *stream) {
    return stream != nullptr ? stream->set_zrtp_sas_verified() : RTP_BAD_ARGUMENT;
}

int tessal_stream_zrtp_sas_verified(const tessal_stream *stream) {
    return stream != nullptr && stream->zrtp_sas_verified() ? 1 : 0;
}

int tessal_stream_get_statistics(const tessal_stream *stream, tessal_stream_statistics *out) {
    if (stream == nullptr || out == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    stream_statistics s;
    const RTP_ERROR rc = stream->get_statistics(&s);
    if (rc != RTP_SUCCESS) {
        return rc;
    }
    out->datagrams_received = s.datagrams_received;
    out->bytes_received = s.bytes_received;
    out->dropped_ring_full = s.dropped_ring_full;
    out->dropped_oversize = s.dropped_oversize;
    out->dropped_not_rtp = s.dropped_not_rtp;
    out->dropped_malformed = s.dropped_malformed;
    out->auth_failures = s.auth_failures;
    out->replay_failures = s.replay_failures;
    out->duplicates = s.duplicates;
    out->frames_delivered = s.frames_delivered;
    out->frames_discarded_incomplete = s.frames_discarded_incomplete;
    out->frames_dropped_queue_full = s.frames_dropped_queue_full;
    out->packets_sent = s.packets_sent;
    out->bytes_sent = s.bytes_sent;
    out->send_failures = s.send_failures;
    out->dropped_unknown_source = s.dropped_unknown_source;
    out->dropped_own_packets = s.dropped_own_packets;
    out->ssrc_collisions = s.ssrc_collisions;
    out->ring_full_waits = s.ring_full_waits;
    out->nacks_sent = s.nacks_sent;
    out->packets_requested = s.packets_requested;
    out->recovered_in_time = s.recovered_in_time;
    out->recovered_late = s.recovered_late;
    out->given_up = s.given_up;
    out->retransmissions_received = s.retransmissions_received;
    out->pli_sent = s.pli_sent;
    out->fir_sent = s.fir_sent;
    out->nacks_received = s.nacks_received;
    out->retransmissions_sent = s.retransmissions_sent;
    out->retransmissions_refused = s.retransmissions_refused;
    out->pli_received = s.pli_received;
    out->fir_received = s.fir_received;
    return RTP_SUCCESS;
}

int tessal_stream_configure(tessal_stream *stream, int key, int64_t value) {
    return stream != nullptr ? stream->configure_ctx(key, static_cast<ssize_t>(value))
                             : RTP_BAD_ARGUMENT;
}

int tessal_stream_get_configuration_value(tessal_stream *stream, int key) {
    return stream != nullptr ? stream->get_configuration_value(key) : RTP_BAD_ARGUMENT;
}

int tessal_stream_request_key_frame(tessal_stream *stream) {
    return stream != nullptr ? stream->request_key_frame() : RTP_BAD_ARGUMENT;
}

int tessal_stream_install_key_frame_request_hook(tessal_stream *stream, void (*hook)(void *arg),
                                                 void *arg) {
    return stream != nullptr ? stream->install_key_frame_request_hook(hook, arg) : RTP_BAD_ARGUMENT;
}

}  // extern "C"
