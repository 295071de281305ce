// UDP segmentation offload on loopback, both ways, against raw loops in the
// same run.
//
//   bench_gso_gro [datagrams] [payload-bytes]
//
// Send side: the sending thread's CPU time per datagram and the rate for
//   - raw sendmmsg(2), 1024 datagrams per call;
//   - raw UDP_SEGMENT: sendmmsg(2) of messages of up to 64 equal datagrams,
//     each cut by the kernel, from one buffer holding them back to back (the
//     fastest way to put these datagrams on the wire);
//   - the same with each datagram as two pieces, a 12-byte header and the
//     rest, as an RTP sender has them: gathered by the kernel, and copied
//     into one buffer before each send (the kernel copies one buffer much
//     faster than an iovec of pieces, faster than the copy costs);
//   - Tessal's batched socket send with RCE_SCC_ENABLED, which sends runs of
//     equal-sized datagrams with UDP_SEGMENT.
// Receive side, behind the raw UDP_SEGMENT sender: the receiving thread's CPU
// time per datagram for
//   - recvmmsg(2) into 1500-byte buffers (the kernel cuts the segments);
//   - UDP_GRO: recvmmsg(2) into 64 KiB buffers, a run of datagrams per
//     buffer, cut by their segment size;
//   - UDP_GRO, then each datagram copied into its own 2 KiB slot, as the
//     reception ring would need it.
// "RESULT name value" lines carry the figures benchmarks/run.sh collects.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "bench_socket.hh"
#include "transport/socket.hh"

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif
#ifndef UDP_GRO
#define UDP_GRO 104
#endif

namespace {

using clock_type = std::chrono::steady_clock;

double thread_cpu() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int bound_socket(uint16_t *port) {
    const int fd = tessal::bench::loopback_udp_socket(port);
    timeval tv{0, 300000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    return fd;
}

enum class rx_mode { plain, gro, gro_copy };

struct run_result {
    double seconds = 0;
    double tx_cpu = 0;
    double rx_cpu = 0;
    size_t received = 0;
};

// Receives until `expected` datagrams arrived or a time-out; counts them.
void receive(int fd, rx_mode mode, size_t expected, std::atomic<size_t> &received, double &cpu) {
    const double cpu0 = thread_cpu();
    constexpr size_t k_batch = 64;
    const size_t buffer = mode == rx_mode::plain ? 1500 : 65536;
    std::vector<uint8_t> buffers(k_batch * buffer);
    std::vector<uint8_t> slots(4096 * 2048);
    size_t slot = 0;
    std::vector<iovec> iov(k_batch);
    std::vector<mmsghdr> msgs(k_batch);
    std::vector<std::array<char, CMSG_SPACE(sizeof(int))>> controls(k_batch);
    if (mode != rx_mode::plain) {
        const int on = 1;
        setsockopt(fd, IPPROTO_UDP, UDP_GRO, &on, sizeof(on));
    }
    while (received.load(std::memory_order_relaxed) < expected) {
        for (size_t i = 0; i < k_batch; ++i) {
            iov[i] = {buffers.data() + i * buffer, buffer};
            msgs[i] = mmsghdr{};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            if (mode != rx_mode::plain) {
                msgs[i].msg_hdr.msg_control = controls[i].data();
                msgs[i].msg_hdr.msg_controllen = controls[i].size();
            }
        }
        const int n = recvmmsg(fd, msgs.data(), k_batch, MSG_WAITFORONE, nullptr);
        if (n <= 0) {
            break;  // time-out: the rest was lost
        }
        size_t got = 0;
        for (int i = 0; i < n; ++i) {
            const size_t len = msgs[static_cast<size_t>(i)].msg_len;
            size_t segment = len;
            for (cmsghdr *c = CMSG_FIRSTHDR(&msgs[static_cast<size_t>(i)].msg_hdr); c != nullptr;
                 c = CMSG_NXTHDR(&msgs[static_cast<size_t>(i)].msg_hdr, c)) {
                if (c->cmsg_level == IPPROTO_UDP && c->cmsg_type == UDP_GRO) {
                    int size = 0;
                    std::memcpy(&size, CMSG_DATA(c), sizeof(size));
                    segment = static_cast<size_t>(size);
                }
            }
            const size_t count = segment == 0 ? 1 : (len + segment - 1) / segment;
            if (mode == rx_mode::gro_copy) {
                const uint8_t *from = buffers.data() + static_cast<size_t>(i) * buffer;
                for (size_t s = 0; s < count; ++s) {
                    const size_t part = std::min(segment, len - s * segment);
                    std::memcpy(slots.data() + (slot++ % 4096) * 2048, from + s * segment, part);
                }
            }
            got += count;
        }
        received.fetch_add(got, std::memory_order_relaxed);
    }
    cpu = thread_cpu() - cpu0;
}

// Runs `send(fd, to, window_wait)` against a receiver in `mode`.
run_result run(
    size_t datagrams, rx_mode mode,
    const std::function<double(const sockaddr_in &, const std::function<void(size_t)> &)> &send) {
    uint16_t port = 0;
    const int rx = bound_socket(&port);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    std::atomic<size_t> received{0};
    run_result r;
    std::thread receiver([&] { receive(rx, mode, datagrams, received, r.rx_cpu); });
    // The sender waits while too much is in flight, so that neither side
    // measures the kernel dropping a flood. The wait is not the sender's
    // cost: a faster sender would spin longer in it.
    double waited = 0;
    const auto wait = [&](size_t sent) {
        const double cpu0 = thread_cpu();
        const auto give_up = clock_type::now() + std::chrono::milliseconds(300);
        while (sent > received.load(std::memory_order_relaxed) + 2048 &&
               clock_type::now() < give_up) {
            std::this_thread::yield();
        }
        waited += thread_cpu() - cpu0;
    };
    const auto t0 = clock_type::now();
    r.tx_cpu = send(to, wait) - waited;
    receiver.join();
    r.seconds = std::chrono::duration<double>(clock_type::now() - t0).count();
    r.received = received.load();
    close(rx);
    return r;
}

double send_sendmmsg(const sockaddr_in &to, const std::function<void(size_t)> &wait,
                     size_t datagrams, size_t payload) {
    const int tx = ::socket(AF_INET, SOCK_DGRAM, 0);
    std::vector<uint8_t> data(payload, 0x42);
    std::vector<iovec> iov(1024, iovec{data.data(), payload});
    std::vector<mmsghdr> msgs(1024);
    for (size_t i = 0; i < msgs.size(); ++i) {
        msgs[i].msg_hdr.msg_name = const_cast<sockaddr_in *>(&to);
        msgs[i].msg_hdr.msg_namelen = sizeof(to);
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    const double cpu0 = thread_cpu();
    for (size_t sent = 0; sent < datagrams;) {
        const auto n = static_cast<unsigned>(std::min<size_t>(1024, datagrams - sent));
        const int done = sendmmsg(tx, msgs.data(), n, 0);
        if (done <= 0) {
            break;
        }
        sent += static_cast<size_t>(done);
        wait(sent);
    }
    const double cpu = thread_cpu() - cpu0;
    close(tx);
    return cpu;
}

// With `gathered`, each datagram is two pieces (a 12-byte header and the
// rest) as an RTP sender has them, so the kernel gathers 2 x 54 pieces per
// send instead of one buffer.
enum class layout {
    one_buffer,  // each send's datagrams back to back in one buffer
    pieces,      // a header piece and a payload piece per datagram
    copied,      // the same pieces, copied into one buffer before each send
};

double send_segmented(const sockaddr_in &to, const std::function<void(size_t)> &wait,
                      size_t datagrams, size_t payload, layout form = layout::one_buffer) {
    const bool gathered = form == layout::pieces;
    const int tx = ::socket(AF_INET, SOCK_DGRAM, 0);
    const size_t per_send = std::min<size_t>(64, 65000 / payload);
    std::vector<uint8_t> data(per_send * payload, 0x42);
    constexpr size_t k_messages = 16;
    std::vector<iovec> pieces;
    for (size_t i = 0; i < per_send; ++i) {
        pieces.push_back({data.data() + i * payload, 12});
        pieces.push_back({data.data() + i * payload + 12, payload - 12});
    }
    std::vector<iovec> iov(k_messages, iovec{data.data(), data.size()});
    std::vector<uint8_t> staging(form == layout::copied ? k_messages * data.size() : 0);
    for (size_t i = 0; form == layout::copied && i < k_messages; ++i) {
        iov[i].iov_base = staging.data() + i * data.size();
    }
    std::vector<mmsghdr> msgs(k_messages);
    std::vector<std::array<char, CMSG_SPACE(sizeof(uint16_t))>> controls(k_messages);
    for (size_t i = 0; i < k_messages; ++i) {
        msgs[i].msg_hdr.msg_name = const_cast<sockaddr_in *>(&to);
        msgs[i].msg_hdr.msg_namelen = sizeof(to);
        msgs[i].msg_hdr.msg_iov = gathered ? pieces.data() : &iov[i];
        msgs[i].msg_hdr.msg_iovlen = gathered ? pieces.size() : 1;
        msgs[i].msg_hdr.msg_control = controls[i].data();
        msgs[i].msg_hdr.msg_controllen = controls[i].size();
        cmsghdr *c = CMSG_FIRSTHDR(&msgs[i].msg_hdr);
        c->cmsg_level = SOL_UDP;
        c->cmsg_type = UDP_SEGMENT;
        c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
        const auto size = static_cast<uint16_t>(payload);
        std::memcpy(CMSG_DATA(c), &size, sizeof(size));
    }
    const double cpu0 = thread_cpu();
    for (size_t sent = 0; sent < datagrams;) {
        const size_t left = (datagrams - sent + per_send - 1) / per_send;
        const auto n = static_cast<unsigned>(std::min<size_t>(k_messages, left));
        for (size_t i = 0; form == layout::copied && i < n; ++i) {
            uint8_t *to_piece = staging.data() + i * data.size();
            for (const iovec &piece : pieces) {
                std::memcpy(to_piece, piece.iov_base, piece.iov_len);
                to_piece += piece.iov_len;
            }
        }
        const int done = sendmmsg(tx, msgs.data(), n, 0);
        if (done <= 0) {
            std::perror("UDP_SEGMENT sendmmsg");
            break;
        }
        sent += static_cast<size_t>(done) * per_send;
        wait(sent);
    }
    const double cpu = thread_cpu() - cpu0;
    close(tx);
    return cpu;
}

double send_tessal(const sockaddr_in &to, const std::function<void(size_t)> &wait, size_t datagrams,
                   size_t payload) {
    tessal::socket sock(tessal::RCE_SCC_ENABLED);
    sock.init(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to4 = to;
    sockaddr_in6 to6{};
    std::vector<uint8_t> header(12, 0x80);
    std::vector<uint8_t> data(payload - header.size(), 0x42);
    tessal::packet_vector packets(1024);
    for (tessal::buffer_vector &p : packets) {
        p = {{header.size(), header.data()}, {data.size(), data.data()}};
    }
    const double cpu0 = thread_cpu();
    for (size_t sent = 0; sent < datagrams;) {
        const size_t n = std::min<size_t>(1024, datagrams - sent);
        packets.resize(n, packets.front());
        if (sock.sendto(0, to4, to6, packets, 0) != tessal::RTP_SUCCESS) {
            break;
        }
        sent += n;
        wait(sent);
    }
    return thread_cpu() - cpu0;
}

void report(const char *name, const run_result &r, size_t datagrams, double cpu, const char *key) {
    const double pps = static_cast<double>(r.received) / r.seconds;
    std::printf("%-36s %9.0f datagrams/s  %6.3f us CPU/datagram  loss %5.2f%%\n", name, pps,
                cpu * 1e6 / static_cast<double>(datagrams),
                100.0 * static_cast<double>(datagrams - std::min(datagrams, r.received)) /
                    static_cast<double>(datagrams));
    std::printf("RESULT %s %.4f\n", key, cpu * 1e6 / static_cast<double>(datagrams));
}

}  // namespace

int main(int argc, char **argv) {
    const size_t datagrams = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 400000;
    const size_t payload = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1200;
    if (datagrams == 0 || payload < 24 || payload > 1464) {
        std::fprintf(stderr, "usage: %s [datagrams] [payload-bytes 24..1464]\n", argv[0]);
        return 2;
    }
    using namespace std::placeholders;
    std::printf("loopback, %zu datagrams of %zu bytes\n", datagrams, payload);
    std::printf("send side (sending thread's CPU time):\n");
    const auto mmsg = [&](const sockaddr_in &to, const std::function<void(size_t)> &w) {
        return send_sendmmsg(to, w, datagrams, payload);
    };
    const auto gso = [&](const sockaddr_in &to, const std::function<void(size_t)> &w) {
        return send_segmented(to, w, datagrams, payload);
    };
    const auto gathered = [&](const sockaddr_in &to, const std::function<void(size_t)> &w) {
        return send_segmented(to, w, datagrams, payload, layout::pieces);
    };
    const auto copied = [&](const sockaddr_in &to, const std::function<void(size_t)> &w) {
        return send_segmented(to, w, datagrams, payload, layout::copied);
    };
    const auto lib = [&](const sockaddr_in &to, const std::function<void(size_t)> &w) {
        return send_tessal(to, w, datagrams, payload);
    };

    const run_result a = run(datagrams, rx_mode::gro, mmsg);
    report("raw sendmmsg", a, datagrams, a.tx_cpu, "tx_sendmmsg_us");
    const run_result b = run(datagrams, rx_mode::gro, gso);
    report("raw UDP_SEGMENT", b, datagrams, b.tx_cpu, "tx_segment_us");
    const run_result bg = run(datagrams, rx_mode::gro, gathered);
    report("raw UDP_SEGMENT, 2 pieces/datagram", bg, datagrams, bg.tx_cpu, "tx_segment_gather_us");
    const run_result bc = run(datagrams, rx_mode::gro, copied);
    report("raw UDP_SEGMENT, 2 pieces copied", bc, datagrams, bc.tx_cpu, "tx_segment_copied_us");
    const run_result c = run(datagrams, rx_mode::gro, lib);
    report("tessal socket, RCE_SCC_ENABLED", c, datagrams, c.tx_cpu, "tx_tessal_us");
    std::printf("receive side behind the UDP_SEGMENT sender (receiving thread's CPU time):\n");
    const run_result p = run(datagrams, rx_mode::plain, gso);
    report("recvmmsg, 1500-byte buffers", p, datagrams, p.rx_cpu, "rx_plain_us");
    const run_result g = run(datagrams, rx_mode::gro, gso);
    report("UDP_GRO, 64 KiB buffers", g, datagrams, g.rx_cpu, "rx_gro_us");
    const run_result gc = run(datagrams, rx_mode::gro_copy, gso);
    report("UDP_GRO, copied into 2 KiB slots", gc, datagrams, gc.rx_cpu, "rx_gro_copy_us");
    // Ratios of CPU per datagram: above 1 means the first costs less.
    std::printf(
        "ratio raw UDP_SEGMENT/tessal send (CPU per datagram): %.2f\n"
        "RESULT gso_send_ratio %.3f\n",
        b.tx_cpu / c.tx_cpu, b.tx_cpu / c.tx_cpu);
    std::printf(
        "ratio raw UDP_SEGMENT with the same pieces/tessal send: %.2f\n"
        "RESULT gso_send_gather_ratio %.3f\n",
        bg.tx_cpu / c.tx_cpu, bg.tx_cpu / c.tx_cpu);
    std::printf(
        "ratio raw UDP_SEGMENT with the same pieces copied/tessal send: %.2f\n"
        "RESULT gso_send_copied_ratio %.3f\n",
        bc.tx_cpu / c.tx_cpu, bc.tx_cpu / c.tx_cpu);
    std::printf("ratio sendmmsg/UDP_SEGMENT send: %.2f\n", a.tx_cpu / b.tx_cpu);
    std::printf(
        "ratio plain/GRO receive: %.2f, plain/GRO with slot copy: %.2f\n"
        "RESULT gro_gain %.3f\nRESULT gro_copy_gain %.3f\n",
        p.rx_cpu / g.rx_cpu, p.rx_cpu / gc.rx_cpu, p.rx_cpu / g.rx_cpu, p.rx_cpu / gc.rx_cpu);
    return 0;
}
