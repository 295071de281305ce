// End to end with a real H.265 clip (benchmarks/run.sh encodes a 4K one):
// every access unit pushed on a Tessal stream and received on another over
// loopback, against a raw loop that moves the same bytes in 1400-byte
// datagrams with sendmmsg(2)/recvmmsg(2), in the same run.
//
//   bench_h265_clip FILE.h265 [repeats] [tag]   tag names the figures (h265_4k)
//   bench_h265_clip packets [count]   count frames of 1388 bytes in the generic
//                                     format instead: 1400-byte datagrams, one
//                                     per frame, against the same raw loop
//   bench_h265_clip bursts [repeats]  generic frames of 1, 2, 4 and 8 MiB,
//                                     fragmented, each pushed as soon as less
//                                     than 8 MiB is on its way: bursts larger
//                                     than the receive ring (0 loss expected)
//
// Reports NAL-unit bytes per second (Gbit/s), access units per second, CPU
// per megabyte and loss for both, and the ratio of the two rates.

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "bench_socket.hh"
#include "nal_units.hh"
#include "tessal/tessal.hh"

namespace {

using clock_type = std::chrono::steady_clock;
using bytes = std::vector<uint8_t>;

double cpu_now() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

using tessal_bench::nal_ref;
using tessal_bench::nal_units;

// The access units of an H.265 Annex-B stream: a new one begins at a
// VPS/SPS/PPS/AUD/prefix SEI after a slice, or at a slice with
// first_slice_segment_in_pic_flag.
std::vector<bytes> access_units(const bytes &s) {
    const std::vector<nal_ref> nals = nal_units(s);
    std::vector<bytes> aus;
    bool seen_slice = false;
    size_t au_start = 0;
    for (size_t n = 0; n < nals.size(); ++n) {
        const size_t body = nals[n].body;
        if (body + 2 >= s.size()) {
            break;
        }
        const int type = (s[body] >> 1) & 0x3F;
        const bool slice = type <= 21;
        const bool first_slice = slice && (s[body + 2] & 0x80) != 0;
        const bool prefix = type == 32 || type == 33 || type == 34 || type == 35 || type == 39;
        if (seen_slice && (first_slice || prefix)) {
            aus.emplace_back(s.begin() + static_cast<std::ptrdiff_t>(au_start),
                             s.begin() + static_cast<std::ptrdiff_t>(nals[n].start));
            au_start = nals[n].start;
            seen_slice = false;
        }
        seen_slice = seen_slice || slice;
    }
    aus.emplace_back(s.begin() + static_cast<std::ptrdiff_t>(au_start), s.end());
    return aus;
}

struct result {
    double seconds = 0;
    double cpu = 0;
    size_t bytes_in = 0;   // pushed / sent
    size_t bytes_out = 0;  // delivered / received
};

std::atomic<size_t> g_delivered{0};

// NAL-unit bytes, start codes left out, on both sides.
size_t without_start_codes(const bytes &au) {
    size_t codes = 0;
    for (const nal_ref &n : nal_units(au)) {
        codes += n.body - n.start;
    }
    return au.size() - codes;
}

void on_frame(void *, tessal::frame::rtp_frame *f) {
    const bool start_code = f->payload_length >= 4 && f->payload[0] == 0 && f->payload[1] == 0 &&
                            f->payload[2] == 0 && f->payload[3] == 1;
    g_delivered.fetch_add(f->payload_length - (start_code ? 4 : 0), std::memory_order_relaxed);
    tessal::frame::dealloc_frame(f);
}

// Bytes on their way at most: below what a reception ring holds by default
// (2,048 datagrams), as a sender paced by its receiver would keep it; the
// figure is throughput, not how a flood is dropped.
constexpr size_t k_window = 1024 * 1024;

// How long the measurement waits for delivery to move: a frame counts only
// once it arrived whole, and a frame of megabytes takes a while.
struct patience {
    int pace_ms = 300;    // a push waits at most this for the window to open
    int quiet_ms = 100;   // the end: no progress for this long
    int settle_ms = 500;  // the end: at most this
};
patience g_patience;

// Waits while more than `window` bytes are on their way.
void pace(const std::atomic<size_t> &out, size_t in, size_t window) {
    const auto give_up = clock_type::now() + std::chrono::milliseconds(g_patience.pace_ms);
    while (in > out.load(std::memory_order_relaxed) + window && clock_type::now() < give_up) {
        std::this_thread::yield();
    }
}

void settle(const std::atomic<size_t> &out, size_t in) {
    const auto give_up = clock_type::now() + std::chrono::milliseconds(g_patience.settle_ms);
    size_t last = out.load();
    auto quiet_since = clock_type::now();
    while (out.load() < in && clock_type::now() < give_up) {
        if (out.load() != last) {
            last = out.load();
            quiet_since = clock_type::now();
        } else if (clock_type::now() - quiet_since >
                   std::chrono::milliseconds(g_patience.quiet_ms)) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

result run_tessal(const std::vector<bytes> &aus, int repeats, tessal::RTP_FORMAT format, int flags,
                  size_t window) {
    using namespace tessal;
    result r;
    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    media_stream *rx = nullptr;
    media_stream *tx = nullptr;
    for (uint16_t port = 32000; port < 33000 && rx == nullptr; port += 2) {
        rx = s->create_stream(port, 0, format, RCE_RECEIVE_ONLY | flags);
        if (rx != nullptr) {
            tx = s->create_stream(0, port, format, RCE_SEND_ONLY | RCE_SCC_ENABLED | flags);
        }
    }
    if (rx == nullptr || tx == nullptr) {
        std::fprintf(stderr, "no free port\n");
        std::exit(1);
    }
    rx->configure_ctx(RCC_SOCKET_RECV_BUFFER, 16 * 1024 * 1024);
    rx->install_receive_hook(nullptr, on_frame);
    if (flags & RCE_FRAGMENT_GENERIC) {
        // A fragmented generic frame is delivered once the receiver saw an
        // earlier frame end: lead with a one-packet frame, not measured.
        bytes lead(100, 0x42);
        tx->push_frame(lead.data(), lead.size(), RTP_PUSH_DEFAULT);
        settle(g_delivered, lead.size());
    }
    g_delivered.store(0);
    const double cpu0 = cpu_now();
    const auto t0 = clock_type::now();
    for (int rep = 0; rep < repeats; ++rep) {
        for (const bytes &au : aus) {
            bytes copy = au;  // push_frame may not keep the caller's buffer
            tx->push_frame(copy.data(), copy.size(), RTP_PUSH_DEFAULT);
            r.bytes_in += without_start_codes(au);
            pace(g_delivered, r.bytes_in, window);
        }
    }
    settle(g_delivered, r.bytes_in);
    r.seconds = std::chrono::duration<double>(clock_type::now() - t0).count();
    r.cpu = cpu_now() - cpu0;
    r.bytes_out = g_delivered.load();
    stream_statistics st;
    stream_statistics sent;
    if (tx->get_statistics(&sent) == RTP_SUCCESS) {
        std::fprintf(stderr, "sender: %llu packets, %llu send failures\n",
                     static_cast<unsigned long long>(sent.packets_sent),
                     static_cast<unsigned long long>(sent.send_failures));
    }
    if (rx->get_statistics(&st) == RTP_SUCCESS) {
        // Where anything lost went.
        std::fprintf(stderr,
                     "receiver: %llu datagrams, %llu frames; discarded incomplete %llu, ring "
                     "full waits %llu, duplicates %llu\n",
                     static_cast<unsigned long long>(st.datagrams_received),
                     static_cast<unsigned long long>(st.frames_delivered),
                     static_cast<unsigned long long>(st.frames_discarded_incomplete),
                     static_cast<unsigned long long>(st.ring_full_waits),
                     static_cast<unsigned long long>(st.duplicates));
    }
    ctx.destroy_session(s);
    return r;
}

result run_raw(const std::vector<bytes> &aus, int repeats, size_t window) {
    result r;
    uint16_t port = 0;
    const int rx = tessal::bench::loopback_udp_socket(&port);
    timeval tv{0, 300000};
    setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    const int tx = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    std::atomic<size_t> received{0};
    std::atomic<bool> done{false};
    std::thread receiver([&] {
        constexpr size_t k_batch = 64;
        std::vector<uint8_t> buffers(k_batch * 1500);
        std::vector<iovec> iov(k_batch);
        std::vector<mmsghdr> msgs(k_batch);
        for (size_t i = 0; i < k_batch; ++i) {
            iov[i] = {buffers.data() + i * 1500, 1500};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        while (!done.load()) {
            const int n = recvmmsg(rx, msgs.data(), k_batch, MSG_WAITFORONE, nullptr);
            for (int i = 0; i < n; ++i) {
                received.fetch_add(msgs[static_cast<size_t>(i)].msg_len - 12,
                                   std::memory_order_relaxed);
            }
        }
    });
    // The same bytes in 1400-byte datagrams behind a 12-byte header.
    constexpr size_t k_chunk = 1388;
    std::vector<uint8_t> header(12, 0x80);
    std::vector<iovec> iov(2 * 1024);
    std::vector<mmsghdr> msgs(1024);
    const double cpu0 = cpu_now();
    const auto t0 = clock_type::now();
    for (int rep = 0; rep < repeats; ++rep) {
        for (const bytes &au : aus) {
            size_t off = 0;
            while (off < au.size()) {
                size_t n = 0;
                for (; n < msgs.size() && off < au.size(); ++n) {
                    const size_t len = std::min(k_chunk, au.size() - off);
                    iov[2 * n] = {header.data(), header.size()};
                    iov[2 * n + 1] = {const_cast<uint8_t *>(au.data()) + off, len};
                    msgs[n] = mmsghdr{};
                    msgs[n].msg_hdr.msg_name = &to;
                    msgs[n].msg_hdr.msg_namelen = sizeof(to);
                    msgs[n].msg_hdr.msg_iov = &iov[2 * n];
                    msgs[n].msg_hdr.msg_iovlen = 2;
                    off += len;
                }
                size_t sent = 0;
                while (sent < n) {
                    const int k =
                        sendmmsg(tx, msgs.data() + sent, static_cast<unsigned>(n - sent), 0);
                    if (k <= 0) {
                        break;
                    }
                    sent += static_cast<size_t>(k);
                }
            }
            r.bytes_in += au.size();
            pace(received, r.bytes_in, window);
        }
    }
    settle(received, r.bytes_in);
    r.seconds = std::chrono::duration<double>(clock_type::now() - t0).count();
    r.cpu = cpu_now() - cpu0;
    r.bytes_out = received.load();
    done.store(true);
    receiver.join();
    close(tx);
    close(rx);
    return r;
}

void report(const char *name, const result &r, size_t aus) {
    const double mb = static_cast<double>(r.bytes_out) / 1e6;
    std::printf("%-24s %7.2f Gbit/s %8.0f access units/s  %6.3f s CPU per 100 MB  loss %5.2f%%\n",
                name, static_cast<double>(r.bytes_out) * 8 / r.seconds / 1e9,
                static_cast<double>(aus) / r.seconds, r.cpu / mb * 100,
                100.0 * (1.0 - static_cast<double>(r.bytes_out) / static_cast<double>(r.bytes_in)));
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: %s FILE.h265 [repeats [tag]] | packets [count] | bursts [repeats]\n",
                     argv[0]);
        return 2;
    }
    const bool packets = std::string(argv[1]) == "packets";
    const bool bursts = std::string(argv[1]) == "bursts";
    std::vector<bytes> aus;
    int repeats = 1;
    const char *tag = "h265_4k";
    size_t window = k_window;
    if (bursts) {
        for (size_t mib : {1, 2, 4, 8}) {
            bytes frame(mib * 1024 * 1024);
            for (size_t i = 0; i < frame.size(); ++i) {
                frame[i] = static_cast<uint8_t>(i * 31 + mib);
            }
            aus.push_back(std::move(frame));
        }
        repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
        window = 8 * 1024 * 1024;
        g_patience = patience{2000, 1000, 5000};
        tag = "bursts_1_to_8mib";
        std::printf("generic frames of 1, 2, 4 and 8 MiB, %d times\n", repeats);
    } else if (packets) {
        const long count = argc > 2 ? std::atol(argv[2]) : 200000;
        aus.assign(static_cast<size_t>(std::max(count, 1L)), bytes(1388, 0x42));
        tag = "generic_1400";
        std::printf("%zu generic frames of 1388 bytes (1400-byte datagrams)\n", aus.size());
    } else {
        std::ifstream in(argv[1], std::ios::binary);
        const bytes clip((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        repeats = argc > 2 ? std::atoi(argv[2]) : 3;
        tag = argc > 3 ? argv[3] : tag;
        aus = access_units(clip);
        if (clip.empty() || aus.empty() || repeats <= 0) {
            std::fprintf(stderr, "no access units in %s\n", argv[1]);
            return 1;
        }
        std::printf("%s: %zu access units, %.1f MB, sent %d times\n", argv[1], aus.size(),
                    static_cast<double>(clip.size()) / 1e6, repeats);
    }
    const size_t total_aus = aus.size() * static_cast<size_t>(repeats);
    const result raw = run_raw(aus, repeats, window);
    report("raw sendmmsg/recvmmsg", raw, total_aus);
    const result lib =
        run_tessal(aus, repeats, packets || bursts ? tessal::FMT_PCMU : tessal::FMT_H265,
                   bursts ? tessal::RCE_FRAGMENT_GENERIC : 0, window);
    report("tessal push -> hook", lib, total_aus);
    const auto rate = [](const result &r) { return static_cast<double>(r.bytes_out) / r.seconds; };
    const auto cpu_per_byte = [](const result &r) {
        return r.cpu / static_cast<double>(r.bytes_out);
    };
    std::printf("ratio tessal/raw: %.2f (CPU per byte raw/tessal %.2f)\n", rate(lib) / rate(raw),
                cpu_per_byte(raw) / cpu_per_byte(lib));
    std::printf("RESULT %s_ratio %.3f\n", tag, rate(lib) / rate(raw));
    std::printf("RESULT %s_cpu_ratio %.3f\n", tag, cpu_per_byte(raw) / cpu_per_byte(lib));
    std::printf(
        "RESULT %s_loss_pct %.3f\n", tag,
        100.0 * (1.0 - static_cast<double>(lib.bytes_out) / static_cast<double>(lib.bytes_in)));
    return 0;
}
