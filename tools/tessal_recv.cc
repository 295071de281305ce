// tessal-recv: receives RTP frames on a port, checks and counts them.
//
//   tessal-recv [options] PORT
//
// Frames are written to a file or discarded. Test frames from tessal-send
// are verified: lost, out-of-order and corrupted frames are reported.

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

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
        "usage: tessal-recv [options] PORT\n"
        "\n"
        "Receives RTP frames on PORT and reports what arrived.\n"
        "\n"
        "options:\n"
        "  --address ADDR   local address to receive on (default 0.0.0.0; :: for IPv6)\n"
        "  --output PATH    append every frame's payload to PATH\n"
        "  --count N        stop after N frames (or N test frames accounted for)\n"
        "  --timeout SEC    stop after SEC seconds without a frame (default 5)\n"
        "  --format NAME    generic (default), pcmu, pcma, opus, l16, h264, h265, h266, v3c\n"
        "                   (video: --output gets a playable Annex-B stream)\n"
        "  --fragment       reassemble fragmented frames (RCE_FRAGMENT_GENERIC)\n"
        "  --resync         h264/h265/h266/v3c: hand on whole access units only, and\n"
        "                   none predicted from a missing one: after the start and\n"
        "                   after every loss, wait for a key frame\n"
        "                   (RCE_H26X_RESYNC_ON_KEY_FRAME)\n"
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
        "  --rtcp           RTCP (RCE_WITH_RTCP) on PORT + 1: prints the peer's sender\n"
        "                   reports and this side's reception statistics once a\n"
        "                   second; needs --peer\n"
        "  --nack           ask for lost packets with NACKs (RFC 4585) over RTCP on\n"
        "                   PORT + 1 (RCE_RTCP_FEEDBACK); needs --peer. Takes them back\n"
        "                   on the sender's SSRC, or as RFC 4588 retransmissions with --rtx\n"
        "  --rtx PT         --nack, and packets of payload type PT (96-127) are RFC 4588\n"
        "                   retransmissions of the media\n"
        "  --pli            ask for a key frame (PLI; FIR with --set key_frame_request=1)\n"
        "                   once the first packet arrived and whenever a lost packet is\n"
        "                   given up; needs --peer\n"
        "  --peer ADDR PORT the sender's address and RTP port (its RTCP port is PORT + 1)\n"
        "  --quiet          no live progress line\n"
        "  -h, --help       this text\n"
        "\n"
        "exit status: 0 everything expected arrived intact, 1 frames lost or corrupt\n"
        "or nothing received, 2 bad arguments\n");
}

struct options {
    std::string address = "0.0.0.0";
    uint16_t port = 0;
    std::string output;
    unsigned long long count = 0;
    double timeout = 5;
    tessal::RTP_FORMAT format = tessal::FMT_G726_40;
    bool fragment = false;
    bool resync = false;
    bool quiet = false;
    bool rtcp = false;
    bool nack = false;
    bool pli = false;
    int rtx_pt = -1;
    std::string peer_address;
    uint16_t peer_port = 0;
    srtp_options srtp;
    std::vector<config_setting> settings;
};

bool parse(int argc, char **argv, options &o) {
    arg_reader args("tessal-recv", argc, argv);
    std::vector<const char *> positional;
    while (args.next()) {
        const char *v = nullptr;
        if (args.is("-h") || args.is("--help")) {
            usage(stdout);
            std::exit(0);
        } else if (args.is("--address")) {
            if (!(v = args.value())) {
                return false;
            }
            o.address = v;
        } else if (args.is("--output")) {
            if (!(v = args.value())) {
                return false;
            }
            o.output = v;
        } else if (args.is("--count")) {
            if (!(v = args.value()) || !parse_number(v, 1, 1ULL << 32, &o.count)) {
                return args.fail("bad --count");
            }
        } else if (args.is("--timeout")) {
            if (!(v = args.value()) || !parse_double(v, &o.timeout)) {
                return args.fail("--timeout must be a positive number");
            }
        } else if (args.is("--format")) {
            if (!(v = args.value()) || !parse_format(v, &o.format)) {
                return args.fail("unknown --format");
            }
        } else if (args.is("--fragment")) {
            o.fragment = true;
        } else if (args.is("--resync")) {
            o.resync = true;
        } else if (bool ok = false; parse_stream_option(args, o.srtp, o.settings, &ok)) {
            if (!ok) {
                return false;
            }
        } else if (args.is("--rtcp")) {
            o.rtcp = true;
        } else if (args.is("--nack")) {
            o.nack = true;
        } else if (args.is("--pli")) {
            o.pli = true;
        } else if (args.is("--rtx")) {
            if (!parse_rtx_option(args, &o.rtx_pt)) {
                return false;
            }
            o.nack = true;
        } else if (args.is("--peer")) {
            const char *port = nullptr;
            if (!(v = args.value()) || !(port = args.value()) || !parse_port(port, &o.peer_port)) {
                return args.fail("--peer needs ADDR PORT");
            }
            o.peer_address = v;
        } else if (args.is("--quiet")) {
            o.quiet = true;
        } else if (args.is_option()) {
            return args.fail((std::string("unknown option ") + args.word()).c_str());
        } else {
            positional.push_back(args.word());
        }
    }
    if (positional.size() != 1) {
        return args.fail("need PORT");
    }
    if (!parse_port(positional[0], &o.port)) {
        return args.fail((std::string("bad PORT ") + positional[0]).c_str());
    }
    if (o.resync && !is_video(o.format) && o.format != tessal::FMT_V3C) {
        return args.fail("--resync needs --format h264, h265, h266 or v3c");
    }
    if (!check_srtp_options(args, o.srtp)) {
        return false;
    }
    if (o.rtcp && o.peer_address.empty()) {
        return args.fail("--rtcp needs --peer ADDR PORT (where the reports go)");
    }
    if ((o.nack || o.pli) && o.peer_address.empty()) {
        return args.fail("--nack and --pli need --peer ADDR PORT (where RTCP feedback goes)");
    }
    if (o.rtx_pt >= 0) {
        o.settings.push_back(config_setting{tessal::RCC_RTX_PAYLOAD_TYPE, o.rtx_pt, "rtx"});
    }
    if (o.nack || o.pli) {
        add_feedback_defaults(o.settings);
    }
    if (o.srtp.zrtp && o.peer_address.empty()) {
        return args.fail("--zrtp needs --peer ADDR PORT (the other end of the agreement)");
    }
    return true;
}

struct tally {
    unsigned long long frames = 0;
    unsigned long long bytes = 0;
    unsigned long long test_frames = 0;
    unsigned long long corrupt = 0;
    unsigned long long reordered = 0;
    unsigned long long duplicates = 0;
    long long highest = -1;
    std::vector<bool> seen;

    void add(const uint8_t *p, size_t n) {
        uint32_t index = 0;
        const test_frame_status status = check_test_frame(p, n, &index);
        if (status == test_frame_status::lead) {
            return;  // the sender's lead, no frame of the run
        }
        ++frames;
        bytes += n;
        switch (status) {
            case test_frame_status::lead:
            case test_frame_status::not_a_test_frame:
                return;
            case test_frame_status::corrupt:
                ++corrupt;
                return;
            case test_frame_status::intact:
                break;
        }
        ++test_frames;
        if (index >= seen.size()) {
            seen.resize(static_cast<size_t>(index) + 1, false);
        }
        if (seen[index]) {
            ++duplicates;
            return;
        }
        seen[index] = true;
        if (static_cast<long long>(index) < highest) {
            ++reordered;
        }
        highest = std::max<long long>(highest, index);
    }

    // Test frames below the highest index (or below `expected`) not seen.
    unsigned long long lost(unsigned long long expected) const {
        const unsigned long long span =
            std::max<unsigned long long>(expected, static_cast<unsigned long long>(highest + 1));
        unsigned long long have = 0;
        for (bool b : seen) {
            have += b ? 1 : 0;
        }
        return test_frames == 0 && expected == 0 ? 0 : span - have;
    }
};

// The stream's counters (media_stream::get_statistics): what reached the
// port, and what was dropped on the way and why.
void print_counters(const tessal::media_stream *stream) {
    tessal::stream_statistics s;
    if (stream->get_statistics(&s) != tessal::RTP_SUCCESS) {
        return;
    }
    const auto n = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    std::printf(
        "tessal-recv: stream: %llu datagrams, %s; frames delivered %llu, discarded "
        "incomplete %llu, released unpulled %llu\n",
        n(s.datagrams_received), human_bytes(static_cast<double>(s.bytes_received)).c_str(),
        n(s.frames_delivered), n(s.frames_discarded_incomplete), n(s.frames_dropped_queue_full));
    std::printf(
        "tessal-recv: dropped: ring full %llu, oversize %llu, not RTP %llu, malformed "
        "%llu, authentication %llu, replay %llu, duplicates %llu\n",
        n(s.dropped_ring_full), n(s.dropped_oversize), n(s.dropped_not_rtp), n(s.dropped_malformed),
        n(s.auth_failures), n(s.replay_failures), n(s.duplicates));
    std::printf(
        "tessal-recv: also: unknown sources %llu, own looped back %llu, SSRC collisions %llu; "
        "ring full, waited in the socket %llu times\n",
        n(s.dropped_unknown_source), n(s.dropped_own_packets), n(s.ssrc_collisions),
        n(s.ring_full_waits));
}

}  // namespace

int main(int argc, char **argv) {
    options o;
    if (!parse(argc, argv, o)) {
        usage(stderr);
        return 2;
    }
    FILE *out = nullptr;
    if (!o.output.empty()) {
        out = std::fopen(o.output.c_str(), "wb");
        if (out == nullptr) {
            std::fprintf(stderr, "tessal-recv: cannot write %s\n", o.output.c_str());
            return 2;
        }
    }
    stop_on_signals();

    tessal::context ctx;
    const bool ipv6 = o.address.find(':') != std::string::npos;
    const std::string remote =
        !o.peer_address.empty() ? o.peer_address : (ipv6 ? "::1" : "127.0.0.1");
    tessal::session *session = ctx.create_session(o.address.c_str(), remote.c_str());
    int flags = tessal::RCE_RECEIVE_ONLY;
    flags |= o.fragment ? tessal::RCE_FRAGMENT_GENERIC : 0;
    flags |= o.resync ? tessal::RCE_H26X_RESYNC_ON_KEY_FRAME : 0;
    flags |= o.srtp.flags();
    flags |= o.rtcp ? tessal::RCE_WITH_RTCP : 0;
    flags |= o.nack || o.pli ? tessal::RCE_WITH_RTCP | tessal::RCE_RTCP_FEEDBACK : 0;
    tessal::media_stream *stream =
        session == nullptr ? nullptr : session->create_stream(o.port, o.peer_port, o.format, flags);
    if (stream != nullptr &&
        !finish_stream_setup("tessal-recv", stream, o.srtp, o.settings, o.rtcp)) {
        stream = nullptr;
    }
    if (stream == nullptr) {
        std::fprintf(stderr, "tessal-recv: cannot receive on %s port %u\n", o.address.c_str(),
                     static_cast<unsigned>(o.port));
        if (session != nullptr) {
            ctx.destroy_session(session);
        }
        return 2;
    }
    if (!o.quiet) {
        std::fprintf(stderr, "tessal-recv: listening on %s port %u\n", o.address.c_str(),
                     static_cast<unsigned>(o.port));
    }

    tally t;
    clock_type::time_point first{};
    clock_type::time_point last{};
    auto last_print = clock_type::now();
    const auto idle_limit = std::chrono::duration<double>(o.timeout);
    auto idle_since = clock_type::now();
    uint32_t source_ssrc = 0;
    uint64_t given_up_seen = 0;
    clock_type::time_point complete_since{};
    auto last_stats = clock_type::now();
    while (!interrupted()) {
        if (o.count != 0 &&
            (t.frames >= o.count ||
             (t.test_frames > 0 && static_cast<unsigned long long>(t.highest + 1) >= o.count))) {
            // Asking for lost packets, the frames before the last may still
            // come back: wait for them a while.
            const bool waiting_for_recovery = (o.nack || o.pli) && t.lost(o.count) > 0;
            if (!waiting_for_recovery) {
                break;
            }
            if (complete_since == clock_type::time_point{}) {
                complete_since = clock_type::now();
            } else if (clock_type::now() - complete_since > std::chrono::seconds(1)) {
                break;
            }
        }
        tessal::frame::rtp_frame *f = stream->pull_frame(100);
        const auto now = clock_type::now();
        if (o.rtcp && source_ssrc != 0 && now - last_stats > std::chrono::seconds(1)) {
            print_reception(stream, source_ssrc);
            last_stats = now;
        }
        if (f == nullptr) {
            if (now - idle_since > idle_limit) {
                break;
            }
            continue;
        }
        idle_since = now;
        if (o.pli) {
            // A key frame at the start, and after each packet given up.
            tessal::stream_statistics s;
            const bool gave_up =
                stream->get_statistics(&s) == tessal::RTP_SUCCESS && s.given_up > given_up_seen;
            if (source_ssrc == 0 || gave_up) {
                stream->request_key_frame();
                given_up_seen = s.given_up;
            }
        }
        source_ssrc = f->header.ssrc;
        if (t.frames == 0) {
            first = now;
        }
        last = now;
        t.add(f->payload, f->payload_length);
        if (out != nullptr) {
            std::fwrite(f->payload, 1, f->payload_length, out);
        }
        tessal::frame::dealloc_frame(f);
        if (!o.quiet && now - last_print > std::chrono::milliseconds(500)) {
            std::fprintf(stderr, "\rreceived %llu frames, %s, lost %llu   ", t.frames,
                         human_bytes(static_cast<double>(t.bytes)).c_str(), t.lost(0));
            last_print = now;
        }
    }
    if (!o.quiet) {
        std::fprintf(stderr, "\r");
    }
    const double secs = t.frames > 1 ? std::chrono::duration<double>(last - first).count() : 0;
    const unsigned long long lost = t.lost(o.count);
    std::printf("tessal-recv: received %llu %s, %s", t.frames,
                is_video(o.format) ? "NAL units" : "frames",
                human_bytes(static_cast<double>(t.bytes)).c_str());
    if (secs > 0) {
        std::printf(" in %.2f s (%.0f frames/s, %s)", secs, static_cast<double>(t.frames) / secs,
                    human_rate(static_cast<double>(t.bytes) * 8 / secs).c_str());
    }
    std::printf("\n");
    if (t.test_frames > 0 || o.count != 0) {
        std::printf(
            "tessal-recv: test frames intact %llu, lost %llu, corrupt %llu, reordered %llu, "
            "duplicated %llu\n",
            t.test_frames, lost, t.corrupt, t.reordered, t.duplicates);
    }
    if (o.rtcp && source_ssrc != 0) {
        print_reception(stream, source_ssrc);
    }
    print_counters(stream);
    if (o.nack || o.pli) {
        print_loss_recovery("tessal-recv", stream);
    }
    if (out != nullptr) {
        std::fclose(out);
    }
    ctx.destroy_session(session);
    const bool complete = o.count == 0 ? t.frames > 0 : (t.frames >= o.count && lost == 0);
    return complete && t.corrupt == 0 ? 0 : 1;
}
