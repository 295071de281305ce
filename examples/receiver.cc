// The smallest receiver: pulls frames arriving on port 8888 until none has
// come for two seconds.
//
// Build against an installed Tessal:
//   c++ -std=c++17 receiver.cc $(pkg-config --cflags --libs tessal) -o receiver
#include <tessal/tessal.hh>

#include <cstdio>

int main() {
    tessal::context ctx;
    // Receive on 127.0.0.1.
    tessal::session *session = ctx.create_session("127.0.0.1");
    if (session == nullptr) {
        return 1;
    }
    tessal::media_stream *stream =
        session->create_stream(8888, 0, tessal::FMT_OPUS, tessal::RCE_RECEIVE_ONLY);
    if (stream == nullptr) {
        ctx.destroy_session(session);
        return 1;
    }

    int frames = 0;
    while (tessal::frame::rtp_frame *frame = stream->pull_frame(2000)) {
        std::printf("frame: %zu bytes, sequence %u, timestamp %u\n", frame->payload_length,
                    frame->header.sequence, frame->header.timestamp);
        ++frames;
        tessal::frame::dealloc_frame(frame);  // received frames belong to the application
    }
    std::printf("received %d frames\n", frames);
    ctx.destroy_session(session);
    return 0;
}
