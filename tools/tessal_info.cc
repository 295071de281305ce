// tessal-info: prints the library's version and host identity, then writes
// and parses RTP headers in a loop and reports the rate: a quick check that
// the library runs on this machine.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "rtp/rtp.hh"
#include "tessal/tessal.hh"
#include "util/hostname.hh"
#include "util/random.hh"

int main(int argc, char **argv) {
    long count = 1000000;
    if (argc > 1) {
        char *end = nullptr;
        count = std::strtol(argv[1], &end, 10);
        if (end == argv[1] || *end != '\0' || count <= 0) {
            std::fprintf(stderr, "usage: %s [packets]\n", argv[0]);
            return 2;
        }
    }
    std::printf("Tessal %s on %s\n", tessal::get_version_cstr(),
                tessal::hostname::get_hostname().c_str());

    const uint32_t ssrc = tessal::random::generate_32();
    tessal::rtp state(tessal::FMT_H265, tessal::make_shared_ssrc(ssrc), false);
    uint8_t packet[12 + 100] = {};
    long parsed = 0;
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < count; ++i) {
        state.fill_header(packet, false);
        state.inc_sequence();
        tessal::frame::rtp_frame *frame = nullptr;
        if (tessal::rtp::packet_handler(nullptr, 0, packet, sizeof(packet), &frame) ==
                tessal::RTP_PKT_CHANGED &&
            frame->header.ssrc == ssrc) {
            ++parsed;
        }
        tessal::frame::dealloc_frame(frame);
    }
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("RTP headers written and parsed: %ld of %ld (SSRC 0x%08x, payload type %u)\n",
                parsed, count, ssrc, state.get_dynamic_payload());
    std::printf("rate: %.2f million packets/s\n", static_cast<double>(count) / secs / 1e6);
    return parsed == count ? 0 : 1;
}
