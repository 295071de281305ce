// The smallest sender: one stream that sends 100 frames to 127.0.0.1:8888.
//
// Build against an installed Tessal:
//   c++ -std=c++17 sender.cc $(pkg-config --cflags --libs tessal) -o sender
#include <tessal/tessal.hh>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

int main() {
    tessal::context ctx;
    tessal::session *session = ctx.create_session("127.0.0.1");
    if (session == nullptr) {
        return 1;
    }
    // Send to port 8888; RCE_SEND_ONLY: this stream binds no local port.
    tessal::media_stream *stream =
        session->create_stream(0, 8888, tessal::FMT_OPUS, tessal::RCE_SEND_ONLY);
    if (stream == nullptr) {
        ctx.destroy_session(session);
        return 1;
    }

    std::vector<uint8_t> frame(160);
    for (int i = 0; i < 100; ++i) {
        std::memset(frame.data(), i, frame.size());
        // The frame is on the wire when push_frame returns: the buffer can be reused.
        if (stream->push_frame(frame.data(), frame.size(), tessal::RTP_PUSH_DEFAULT) !=
            tessal::RTP_SUCCESS) {
            std::fprintf(stderr, "push_frame failed\n");
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::printf("sent 100 frames\n");
    ctx.destroy_session(session);  // destroys the stream too
    return 0;
}
