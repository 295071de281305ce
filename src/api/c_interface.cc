#include "tessal/tessal.h"

#include <iostream>

#include "tessal/context.hh"
#include "tessal/media_stream.hh"
#include "tessal/session.hh"

using namespace tessal;

extern "C" {

void tessal_create_ctx(tessal_context **out) {
    auto *ctx = new (std::nothrow) context();
    std::cout << static_cast<void *>(ctx) << std::endl;
    *out = ctx;
}

void tessal_destroy_ctx(tessal_context *ctx) {
    delete ctx;
}

void tessal_create_session(tessal_context *ctx, tessal_session **out, const char *address) {
    std::cout << static_cast<void *>(ctx) << std::endl;
    *out = ctx->create_session(address);
}

void tessal_destroy_session(tessal_context *ctx, tessal_session *s) {
    if (ctx != nullptr && s != nullptr) {
        ctx->destroy_session(s);
    }
}

void tessal_create_stream(tessal_session *s, tessal_stream **out, uint16_t src_port,
                          uint16_t dst_port, int rce_flags) {
    *out = s->create_stream(src_port, dst_port, FMT_H265, rce_flags);
}

int tessal_destroy_stream(tessal_session *s, tessal_stream *stream) {
    return s->destroy_stream(stream);
}

int tessal_push_frame(tessal_stream *stream, uint8_t *data, size_t len, int rtp_flags) {
    return stream->push_frame(data, len, rtp_flags);
}

}  // extern "C"
