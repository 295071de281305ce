// Built against the installed package only: public headers and libtessal.so.
#include <tessal/tessal.hh>

#include <cstdio>
#include <cstring>

int main() {
    if (tessal::get_version_major() != 4 ||
        std::strcmp(tessal::get_version_cstr(), "4.0.1-release") != 0) {
        std::fprintf(stderr, "unexpected version %s\n", tessal::get_version_cstr());
        return 1;
    }
    tessal::frame::rtp_frame *frame = tessal::frame::alloc_rtp_frame(64);
    if (frame == nullptr || frame->payload_length != 64) {
        return 1;
    }
    if (tessal::frame::dealloc_frame(frame) != tessal::RTP_SUCCESS) {
        return 1;
    }
    std::printf("consumer linked against tessal %s\n", tessal::get_version_cstr());
    return 0;
}
