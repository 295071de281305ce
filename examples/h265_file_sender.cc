// Streams an H.265 Annex-B file (for example one made with
//   ffmpeg -f lavfi -i testsrc=size=640x360:rate=30 -t 5 -c:v libx265 clip.h265)
// to 127.0.0.1:8890 at 30 access units per second.
//
//   example_h265_file_sender clip.h265
//
// Each push carries one access unit; the library finds its NAL units,
// aggregates small ones and fragments large ones (RFC 7798). Receive it with
//   tessal-recv --format h265 --output out.h265 8890
// or with GStreamer:
//   gst-launch-1.0 udpsrc port=8890
//       caps="application/x-rtp,media=video,encoding-name=H265,clock-rate=90000"
//       ! rtph265depay ! h265parse ! avdec_h265 ! autovideosink
// (one command line)
#include <tessal/tessal.hh>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "annexb.hh"  // tools/annexb.hh: cuts the byte stream into access units

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE.h265\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::vector<uint8_t> stream((std::istreambuf_iterator<char>(in)),
                                      std::istreambuf_iterator<char>());
    const auto units = tessal_tools::split_access_units(tessal_tools::video_codec::h265,
                                                        stream.data(), stream.size());
    if (units.empty()) {
        std::fprintf(stderr, "%s: no H.265 access units found\n", argv[1]);
        return 1;
    }

    tessal::context ctx;
    tessal::session *session = ctx.create_session("127.0.0.1");
    tessal::media_stream *video =
        session ? session->create_stream(0, 8890, tessal::FMT_H265, tessal::RCE_SEND_ONLY)
                : nullptr;
    if (video == nullptr) {
        return 1;
    }

    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < units.size(); ++i) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(33333 * i));
        // RTP timestamps at 90 kHz, 3000 ticks per frame at 30 fps.
        const auto ts = static_cast<uint32_t>(i * 3000);
        uint8_t *au = const_cast<uint8_t *>(stream.data()) + units[i].first;
        if (video->push_frame(au, units[i].second, ts, tessal::RTP_PUSH_DEFAULT) !=
            tessal::RTP_SUCCESS) {
            std::fprintf(stderr, "push failed at access unit %zu\n", i);
            break;
        }
    }
    std::printf("sent %zu access units\n", units.size());
    ctx.destroy_session(session);
    return 0;
}
