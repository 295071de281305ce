// A receiver that is called back for every frame instead of pulling.
//
// Build against an installed Tessal:
//   c++ -std=c++17 hook_receiver.cc $(pkg-config --cflags --libs tessal) -o hook_receiver
#include <tessal/tessal.hh>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

std::atomic<int> g_frames{0};

// Runs on the library's reception thread: keep it short. The frame is ours.
void on_frame(void *arg, tessal::frame::rtp_frame *frame) {
    auto *bytes = static_cast<std::atomic<size_t> *>(arg);
    *bytes += frame->payload_length;
    ++g_frames;
    tessal::frame::dealloc_frame(frame);
}

}  // namespace

int main() {
    tessal::context ctx;
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
    std::atomic<size_t> bytes{0};
    if (stream->install_receive_hook(&bytes, on_frame) != tessal::RTP_SUCCESS) {
        ctx.destroy_session(session);
        return 1;
    }

    // Report once a second for ten seconds.
    for (int second = 1; second <= 10; ++second) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        std::printf("%2d s: %d frames, %zu bytes\n", second, g_frames.load(), bytes.load());
    }
    ctx.destroy_session(session);
    return 0;
}
