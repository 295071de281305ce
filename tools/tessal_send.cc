// tessal-send: sends frames over RTP to an address and port.
//
//   tessal-send [options] ADDRESS PORT
//
// Frames come from a file (cut into --frame-size pieces) or are generated
// self-checking test frames that tessal-recv verifies.

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "annexb.hh"
#include "cli.hh"
#include "rtcp_report.hh"
#include "tessal/tessal.hh"
#include "test_frames.hh"

using namespace tessal_tools;
using clock_type = std::chrono::steady_clock;

namespace {

void usage(FILE *out) {
    std::fprintf(
        out,
        "usage: tessal-send [options] ADDRESS PORT\n"
        "\n"
        "Sends frames over RTP to ADDRESS (IPv4 or IPv6) and PORT.\n"
        "\n"
        "options:\n"
        "  --count N        number of generated test frames (default 1000)\n"
        "  --size BYTES     size of each generated frame (default 1400, min 16)\n"
        "  --file PATH      send the file's bytes instead, cut into --frame-size frames;\n"
        "                   with a video format, an Annex-B file cut into access units\n"
        "  --frame-size N   frame size for --file (default 1400)\n"
        "  --rate FPS       frames per second (default: as fast as possible)\n"
        "  --format NAME    generic (default), pcmu, pcma, opus, l16, h264, h265, h266, v3c\n"
        "  --fragment       split frames larger than one packet (RCE_FRAGMENT_GENERIC)\n"
        "  --no-scc         one system call per packet instead of batches\n"
        "  --src-port N     local port to send from (default: any)\n"
        "  --set KEY=VALUE  a configuration key once the stream runs, named as its\n"
        "                   RCC_ constant without the prefix, any case (repeatable),\n"
        "                   e.g. --set path_mtu=1200 --set dynamic_pt=100\n"
        "  --srtp-key HEX   SRTP with this key (32, 48 or 64 hex digits: AES-128,\n"
        "                   192 or 256) and an 80-bit tag; needs --srtp-salt\n"
        "  --srtp-salt HEX  the 14-byte SRTP master salt (28 hex digits)\n"
        "                   (both ends need the same key and salt)\n"
        "  --zrtp           SRTP keyed by a ZRTP agreement (RFC 6189) with the peer;\n"
        "                   prints the short authentication string to compare\n"
        "  --srtp PROFILE:inline:KEY  standard SRTP/SRTCP (RFC 3711, 7714) that\n"
        "                   GStreamer and other libsrtp peers decrypt: PROFILE is\n"
        "                   AES_CM_128_HMAC_SHA1_80, AES_CM_128_HMAC_SHA1_32,\n"
        "                   AES_256_CM_HMAC_SHA1_80, AEAD_AES_128_GCM or\n"
        "                   AEAD_AES_256_GCM, KEY the base64 master key || salt of\n"
        "                   an SDP crypto attribute; one key for both directions.\n"
        "                   Prints the matching GStreamer caps and SDP line\n"
        "  --rtcp           RTCP (RCE_WITH_RTCP) on --src-port + 1 toward PORT + 1: prints\n"
        "                   the peer's reports (loss, jitter) and round-trip times\n"
        "  --nack           answer the receiver's NACKs (RFC 4585) by sending the lost\n"
        "                   packets again on the stream's SSRC; RTCP feedback on\n"
        "                   --src-port + 1 (RCE_RTCP_FEEDBACK)\n"
        "  --rtx PT         --nack, answered with RFC 4588 retransmissions of payload\n"
        "                   type PT (96-127) on their own SSRC\n"
        "  --linger SEC     after the last frame, keep answering NACKs this long\n"
        "                   (default 1 with --nack)\n"
        "  --quiet          no live progress line\n"
        "  -h, --help       this text\n"
        "\n"
        "exit status: 0 all frames sent, 1 a send failed, 2 bad arguments\n");
}

struct options {
    std::string address;
    uint16_t port = 0;
    uint16_t src_port = 0;
    unsigned long long count = 1000;
    unsigned long long size = 1400;
    std::string file;
    unsigned long long frame_size = 1400;
    double rate = 0;
    tessal::RTP_FORMAT format = tessal::FMT_G726_40;
    bool fragment = false;
    bool scc = true;
    bool quiet = false;
    bool rtcp = false;
    bool nack = false;
    int rtx_pt = -1;
    double linger = -1;
    srtp_options srtp;
    std::vector<config_setting> settings;
};

bool parse(int argc, char **argv, options &o) {
    arg_reader args("tessal-send", argc, argv);
    std::vector<const char *> positional;
    while (args.next()) {
        const char *v = nullptr;
        if (args.is("-h") || args.is("--help")) {
            usage(stdout);
            std::exit(0);
        } else if (args.is("--count")) {
            if (!(v = args.value()) || !parse_number(v, 1, 1ULL << 32, &o.count)) {
                return args.fail("bad --count");
            }
        } else if (args.is("--size")) {
            if (!(v = args.value()) || !parse_number(v, k_test_header, 64ULL << 20, &o.size)) {
                return args.fail("--size must be 16 to 67108864 bytes");
            }
        } else if (args.is("--file")) {
            if (!(v = args.value())) {
                return false;
            }
            o.file = v;
        } else if (args.is("--frame-size")) {
            if (!(v = args.value()) || !parse_number(v, 1, 64ULL << 20, &o.frame_size)) {
                return args.fail("bad --frame-size");
            }
        } else if (args.is("--rate")) {
            if (!(v = args.value()) || !parse_double(v, &o.rate)) {
                return args.fail("--rate must be a positive number");
            }
        } else if (args.is("--format")) {
            if (!(v = args.value()) || !parse_format(v, &o.format)) {
                return args.fail("unknown --format");
            }
        } else if (args.is("--src-port")) {
            if (!(v = args.value()) || !parse_port(v, &o.src_port)) {
                return args.fail("bad --src-port");
            }
        } else if (args.is("--fragment")) {
            o.fragment = true;
        } else if (args.is("--no-scc")) {
            o.scc = false;
        } else if (bool ok = false; parse_stream_option(args, o.srtp, o.settings, &ok)) {
            if (!ok) {
                return false;
            }
        } else if (args.is("--rtcp")) {
            o.rtcp = true;
        } else if (args.is("--nack")) {
            o.nack = true;
        } else if (args.is("--rtx")) {
            if (!parse_rtx_option(args, &o.rtx_pt)) {
                return false;
            }
            o.nack = true;
        } else if (args.is("--linger")) {
            if (!(v = args.value()) || !parse_double(v, &o.linger)) {
                return args.fail("--linger must be a positive number");
            }
        } else if (args.is("--quiet")) {
            o.quiet = true;
        } else if (args.is_option()) {
            return args.fail((std::string("unknown option ") + args.word()).c_str());
        } else {
            positional.push_back(args.word());
        }
    }
    if (is_video(o.format) && o.file.empty()) {
        return args.fail("a video format needs --file with an Annex-B stream");
    }
    if (positional.size() != 2) {
        return args.fail("need ADDRESS and PORT");
    }
    o.address = positional[0];
    if (!parse_port(positional[1], &o.port)) {
        return args.fail((std::string("bad PORT ") + positional[1]).c_str());
    }
    if (!check_srtp_options(args, o.srtp)) {
        return false;
    }
    if ((o.rtcp || o.nack) && o.src_port == 0) {
        return args.fail("--rtcp and --nack need --src-port (RTCP runs on it plus one)");
    }
    if (o.rtx_pt >= 0) {
        o.settings.push_back(config_setting{tessal::RCC_RTX_PAYLOAD_TYPE, o.rtx_pt, "rtx"});
    }
    if (o.nack) {
        add_feedback_defaults(o.settings);
    }
    if (o.linger < 0) {
        o.linger = o.nack ? 1 : 0;
    }
    return true;
}

// Frames to send: the file's pieces or generated test frames.
class frame_source {
public:
    explicit frame_source(const options &o) : o_(o) {}

    bool open() {
        if (o_.file.empty()) {
            return true;
        }
        in_.open(o_.file, std::ios::binary);
        if (!in_) {
            std::fprintf(stderr, "tessal-send: cannot open %s\n", o_.file.c_str());
            return false;
        }
        if (is_video(o_.format)) {
            // Video: the whole stream, pushed one access unit at a time.
            stream_.assign(std::istreambuf_iterator<char>(in_), std::istreambuf_iterator<char>());
            const video_codec codec = o_.format == tessal::FMT_H264   ? video_codec::h264
                                      : o_.format == tessal::FMT_H265 ? video_codec::h265
                                                                      : video_codec::h266;
            units_ = split_access_units(codec, stream_.data(), stream_.size());
            if (units_.empty()) {
                std::fprintf(stderr, "tessal-send: no NAL units in %s\n", o_.file.c_str());
                return false;
            }
        }
        return true;
    }

    // The next frame, or false at the end.
    bool next(std::vector<uint8_t> &frame) {
        if (o_.file.empty()) {
            if (index_ >= o_.count) {
                return false;
            }
            frame.resize(o_.size);
            make_test_frame(frame, static_cast<uint32_t>(index_++));
            return true;
        }
        if (is_video(o_.format)) {
            if (unit_ >= units_.size()) {
                return false;
            }
            const auto &u = units_[unit_++];
            frame.assign(stream_.begin() + static_cast<long>(u.first),
                         stream_.begin() + static_cast<long>(u.first + u.second));
            return true;
        }
        frame.resize(o_.frame_size);
        in_.read(reinterpret_cast<char *>(frame.data()),
                 static_cast<std::streamsize>(frame.size()));
        frame.resize(static_cast<size_t>(in_.gcount()));
        return !frame.empty();
    }

private:
    const options &o_;
    std::ifstream in_;
    unsigned long long index_ = 0;
    std::vector<uint8_t> stream_;
    std::vector<std::pair<size_t, size_t>> units_;
    size_t unit_ = 0;
};

}  // namespace

int main(int argc, char **argv) {
    options o;
    if (!parse(argc, argv, o)) {
        usage(stderr);
        return 2;
    }
    frame_source source(o);
    if (!source.open()) {
        return 2;
    }
    stop_on_signals();

    tessal::context ctx;
    tessal::session *session = ctx.create_session(o.address.c_str());
    if (session == nullptr) {
        std::fprintf(stderr, "tessal-send: cannot use address %s\n", o.address.c_str());
        return 2;
    }
    int flags = tessal::RCE_SEND_ONLY;
    flags |= o.fragment ? tessal::RCE_FRAGMENT_GENERIC : 0;
    flags |= o.scc ? tessal::RCE_SCC_ENABLED : 0;
    flags |= o.srtp.flags();
    flags |= o.rtcp ? tessal::RCE_WITH_RTCP : 0;
    flags |= o.nack ? tessal::RCE_WITH_RTCP | tessal::RCE_RTCP_FEEDBACK : 0;
    if (o.src_port != 0) {
        flags &= ~tessal::RCE_SEND_ONLY;  // bind the source port
    }
    tessal::media_stream *stream = session->create_stream(o.src_port, o.port, o.format, flags);
    if (stream != nullptr &&
        !finish_stream_setup("tessal-send", stream, o.srtp, o.settings, o.rtcp)) {
        stream = nullptr;
    }
    if (stream == nullptr) {
        std::fprintf(stderr, "tessal-send: cannot create the stream\n");
        ctx.destroy_session(session);
        return 1;
    }

    std::vector<uint8_t> frame;
    unsigned long long frames = 0;
    unsigned long long bytes = 0;
    int status = 0;
    const auto start = clock_type::now();
    auto last_print = start;
    const auto interval =
        o.rate > 0 ? std::chrono::duration<double>(1.0 / o.rate) : std::chrono::duration<double>(0);
    if (o.fragment && o.file.empty()) {
        // Fragmented test frames: a one-packet lead lets the receiver prove
        // where the first of them starts.
        std::vector<uint8_t> lead = make_lead_frame();
        (void)stream->push_frame(lead.data(), lead.size(), 0);
    }
    while (!interrupted() && source.next(frame)) {
        if (o.rate > 0) {
            std::this_thread::sleep_until(
                start + std::chrono::duration_cast<clock_type::duration>(interval * frames));
        }
        // Borrowed: with SRTP the buffer comes back encrypted, which is fine
        // here because every frame is a fresh copy.
        const tessal::RTP_ERROR rc = stream->push_frame(frame.data(), frame.size(), 0);
        if (rc != tessal::RTP_SUCCESS) {
            std::fprintf(stderr, "\ntessal-send: push_frame failed with %d\n", rc);
            status = 1;
            break;
        }
        ++frames;
        bytes += frame.size();
        const auto now = clock_type::now();
        if (!o.quiet && now - last_print > std::chrono::milliseconds(500)) {
            const double secs = std::chrono::duration<double>(now - start).count();
            std::fprintf(stderr, "\rsent %llu frames, %s, %s   ", frames,
                         human_bytes(static_cast<double>(bytes)).c_str(),
                         human_rate(static_cast<double>(bytes) * 8 / secs).c_str());
            last_print = now;
        }
    }
    const double secs =
        std::max(1e-9, std::chrono::duration<double>(clock_type::now() - start).count());
    if (!o.quiet) {
        std::fprintf(stderr, "\r");
    }
    std::printf("tessal-send: sent %llu frames, %s in %.2f s (%.0f frames/s, %s) to %s port %u\n",
                frames, human_bytes(static_cast<double>(bytes)).c_str(), secs,
                static_cast<double>(frames) / secs,
                human_rate(static_cast<double>(bytes) * 8 / secs).c_str(), o.address.c_str(),
                static_cast<unsigned>(o.port));
    if (o.nack && o.fragment && o.file.empty() && !interrupted()) {
        // A loss in the last frame shows only by packets after it: a few
        // lead frames (which receivers do not count) close the run.
        std::vector<uint8_t> tail = make_lead_frame();
        for (int i = 0; i < 3; ++i) {
            std::this_thread::sleep_for(o.rate > 0 ? std::chrono::duration<double>(1.0 / o.rate)
                                                   : std::chrono::duration<double>(0.01));
            (void)stream->push_frame(tail.data(), tail.size(), 0);
        }
    }
    // Losses near the end are asked for after the last frame went out.
    const auto linger_end = clock_type::now() + std::chrono::duration_cast<clock_type::duration>(
                                                    std::chrono::duration<double>(o.linger));
    while (!interrupted() && clock_type::now() < linger_end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (o.nack) {
        print_loss_recovery("tessal-send", stream);
    }
    ctx.destroy_session(session);
    return status;
}
