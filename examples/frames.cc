// The frame records an application receives, and how they are released.
#include <tessal/tessal.hh>

#include <cstdio>
#include <cstring>

int main() {
    std::printf("Tessal %s\n", tessal::get_version_cstr());

    // Frames from pull_frame() or a receive hook belong to the application;
    // dealloc_frame releases the payload, CSRC list and extension with them.
    tessal::frame::rtp_frame *frame = tessal::frame::alloc_rtp_frame(5);
    if (frame == nullptr) {
        return 1;
    }
    std::memcpy(frame->payload, "hello", 5);
    std::printf("frame with %zu payload bytes\n", frame->payload_length);
    return tessal::frame::dealloc_frame(frame) == tessal::RTP_SUCCESS ? 0 : 1;
}
