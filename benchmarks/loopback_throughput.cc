// Loopback throughput of the transport: a raw sendmmsg/recvmmsg baseline and
// Tessal's batched socket send into a reception flow, in the same run, so the
// result is a ratio that holds on a noisy machine.
//
//   bench_loopback [packets] [payload-bytes]
//
// Each side sends `packets` datagrams of `payload-bytes` over 127.0.0.1 in
// batches of 1024 and reports packets/s, Gbit/s, CPU time and loss.

#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "bench_socket.hh"
#include "rtp/rtp.hh"
#include "security/srtp.hh"
#include "security/srtp_standard.hh"
#include "transport/reception_flow.hh"
#include "transport/socket.hh"

namespace {

using clock_type = std::chrono::steady_clock;

struct result {
    double seconds = 0;
    double cpu_seconds = 0;
    size_t received = 0;
};

double cpu_now() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int udp_socket(uint16_t *port) {
    return tessal::bench::loopback_udp_socket(port);
}

// Paces the sender so neither side measures the kernel dropping a flood:
// the sender waits while more than `window` packets are in flight.
// Datagrams on their way at most after a wait: with the next batch of 1024 on
// top, below the 2,048 a reception ring holds by default, as a sender paced by
// its receiver would keep it. The figure is throughput, not how a flood that
// outruns the ring is dropped.
constexpr size_t k_window = 768;

void wait_window(const std::atomic<size_t> &received, size_t sent, size_t window) {
    const auto give_up = clock_type::now() + std::chrono::milliseconds(200);
    while (sent > received.load(std::memory_order_relaxed) + window &&
           clock_type::now() < give_up) {
        std::this_thread::yield();
    }
}

result run_raw(size_t packets, size_t payload) {
    uint16_t port = 0;
    int rx = udp_socket(&port);
    int tx = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    timeval tv{0, 200000};
    setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));

    std::atomic<size_t> received{0};
    std::thread receiver([&] {
        constexpr size_t k_batch = 1024;
        std::vector<uint8_t> buffers(k_batch * 1500);
        std::vector<iovec> iov(k_batch);
        std::vector<mmsghdr> msgs(k_batch);
        for (size_t i = 0; i < k_batch; ++i) {
            iov[i] = {buffers.data() + i * 1500, 1500};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        while (received.load() < packets) {
            int n = recvmmsg(rx, msgs.data(), k_batch, MSG_WAITFORONE, nullptr);
            if (n <= 0) {
                break;  // time-out: the rest was lost
            }
            received.fetch_add(static_cast<size_t>(n));
        }
    });

    std::vector<uint8_t> data(payload, 0x42);
    std::vector<iovec> iov(1024, iovec{data.data(), payload});
    std::vector<mmsghdr> msgs(1024);
    for (auto &m : msgs) {
        m.msg_hdr.msg_name = &to;
        m.msg_hdr.msg_namelen = sizeof(to);
        m.msg_hdr.msg_iovlen = 1;
    }
    for (size_t i = 0; i < msgs.size(); ++i) {
        msgs[i].msg_hdr.msg_iov = &iov[i];
    }
    const double cpu0 = cpu_now();
    const auto t0 = clock_type::now();
    size_t sent = 0;
    while (sent < packets) {
        const auto n = static_cast<unsigned>(std::min<size_t>(1024, packets - sent));
        int done = sendmmsg(tx, msgs.data(), n, 0);
        if (done <= 0) {
            break;
        }
        sent += static_cast<size_t>(done);
        wait_window(received, sent, k_window);
    }
    receiver.join();
    result r;
    r.seconds = std::chrono::duration<double>(clock_type::now() - t0).count();
    r.cpu_seconds = cpu_now() - cpu0;
    r.received = received.load();
    close(tx);
    close(rx);
    return r;
}

std::atomic<size_t> g_tessal_received{0};

void count_hook(void *, tessal::frame::rtp_frame *frame) {
    g_tessal_received.fetch_add(1, std::memory_order_relaxed);
    tessal::frame::dealloc_frame(frame);
}

// With `with_srtp`, the same datagrams carry SRTP (AES-128, 80-bit tag):
// the socket's send handler protects them and the flow's SRTP stage checks
// and decrypts them; with `standard` (an RTP_SRTP_PROFILE) standard SRTP of
// that profile instead. Datagrams keep `payload` bytes in every case.
result run_tessal(size_t packets, size_t payload, bool with_srtp, int standard = 0) {
    using namespace tessal;
    auto rx = std::make_shared<tessal::socket>(RCE_SCC_ENABLED);
    rx->init(AF_INET, SOCK_DGRAM, 0);
    const int bytes = 8 * 1024 * 1024;
    rx->setsockopt(SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
    sockaddr_in any = tessal::socket::create_sockaddr(AF_INET, "127.0.0.1", 0);
    rx->bind(any);
    sockaddr_in bound{};
    socklen_t len = sizeof(bound);
    getsockname(rx->get_raw_socket(), reinterpret_cast<sockaddr *>(&bound), &len);

    const srtp_profile_info *profile = find_srtp_profile(standard);
    if (profile != nullptr) {
        with_srtp = true;
    }
    const int flags = profile != nullptr ? RCE_SRTP | RCE_SRTP_STANDARD
                      : with_srtp        ? RCE_SRTP | RCE_SRTP_AUTH_TAG
                                         : 0;
    const uint8_t key[16] = {7, 6, 5, 4, 3, 2, 1, 0, 7, 6, 5, 4, 3, 2, 1, 0};
    const uint8_t salt[14] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};
    srtp rx_srtp(flags);
    srtp tx_srtp(flags);
    rx_srtp.init(0, flags, key, key, salt, salt);
    tx_srtp.init(0, flags, key, key, salt, salt);
    const uint8_t master[46] = {7, 6, 5, 4, 3, 2, 1, 0, 7, 6, 5, 4,
                                3, 2, 1, 0, 9, 9, 9, 9, 9, 9, 9};
    srtp_standard rx_standard;
    srtp_standard tx_standard;
    if (profile != nullptr) {
        const size_t n = profile->key_len + profile->salt_len;
        rx_standard.init(standard, master, n, master, n);
        tx_standard.init(standard, master, n, master, n);
    }

    reception_flow flow(false);
    auto remote = make_shared_ssrc(0x1234);
    flow.install_handler(HANDLER_RTP_HEADER, remote, rtp::packet_handler, nullptr);
    if (profile != nullptr) {
        flow.install_handler(HANDLER_SRTP, remote, srtp_standard::recv_packet_handler,
                             &rx_standard);
    } else if (with_srtp) {
        flow.install_handler(HANDLER_SRTP, remote, srtp::recv_packet_handler, &rx_srtp);
    }
    flow.install_handler(
        HANDLER_MEDIA, remote,
        [](void *, int, uint8_t *, size_t, frame::rtp_frame **) { return RTP_FRAME_READY; },
        nullptr);
    flow.install_receive_hook(nullptr, count_hook, 0x1234);
    flow.start(rx, flags);
    g_tessal_received = 0;

    auto tx = std::make_shared<tessal::socket>(RCE_SCC_ENABLED | flags);
    tx->init(AF_INET, SOCK_DGRAM, 0);
    auto local = make_shared_ssrc(0x1234);
    if (profile != nullptr) {
        tx->install_handler(local, &tx_standard, srtp_standard::send_packet_handler);
    } else if (with_srtp) {
        tx->install_handler(local, &tx_srtp, srtp::send_packet_handler);
    }
    tessal::rtp state(FMT_H265, make_shared_ssrc(0x1234), false);
    sockaddr_in to4 = tessal::socket::create_sockaddr(AF_INET, "127.0.0.1", ntohs(bound.sin_port));
    sockaddr_in6 to6{};

    const size_t tag = profile != nullptr ? profile->rtp_tag_len : with_srtp ? k_srtp_tag_size : 0;
    // The send handler wants a tag slot of k_std_srtp_max_tag and shrinks it.
    const size_t slot = profile != nullptr ? k_std_srtp_max_tag : tag;
    // One payload per packet of a batch: SRTP encrypts each in place before
    // the batch goes out.
    std::vector<std::vector<uint8_t>> data(1024, std::vector<uint8_t>(payload - 12 - tag, 0x42));
    std::vector<std::array<uint8_t, 12>> headers(1024);
    std::vector<std::array<uint8_t, k_std_srtp_max_tag>> tags(1024);
    packet_vector batch(1024);
    const double cpu0 = cpu_now();
    const auto t0 = clock_type::now();
    size_t sent = 0;
    while (sent < packets) {
        const size_t n = std::min<size_t>(1024, packets - sent);
        batch.resize(n);
        for (size_t i = 0; i < n; ++i) {
            state.fill_header(headers[i].data(), i > 0);
            state.inc_sequence();
            batch[i] = {{12, headers[i].data()}, {data[i].size(), data[i].data()}};
            if (with_srtp) {
                batch[i].emplace_back(slot, tags[i].data());
            }
        }
        if (tx->sendto(0x1234, to4, to6, batch, 0) != RTP_SUCCESS) {
            break;
        }
        sent += n;
        wait_window(g_tessal_received, sent, k_window);
    }
    const auto give_up = clock_type::now() + std::chrono::milliseconds(300);
    while (g_tessal_received.load() < packets && clock_type::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    result r;
    r.seconds = std::chrono::duration<double>(clock_type::now() - t0).count();
    r.cpu_seconds = cpu_now() - cpu0;
    r.received = g_tessal_received.load();
    flow.stop();
    return r;
}

void report(const char *name, const result &r, size_t packets, size_t payload) {
    const double pps = static_cast<double>(r.received) / r.seconds;
    std::printf("%-22s %10.0f packets/s %7.2f Gbit/s  cpu %5.2f s  loss %6.3f %%\n", name, pps,
                pps * static_cast<double>(payload) * 8 / 1e9, r.cpu_seconds,
                100.0 * static_cast<double>(packets - r.received) / static_cast<double>(packets));
}

}  // namespace

int main(int argc, char **argv) {
    const size_t packets = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 300000;
    const size_t payload = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1200;
    if (packets == 0 || payload < 24 || payload > 1464) {
        std::fprintf(stderr, "usage: %s [packets] [payload-bytes 24..1464]\n", argv[0]);
        return 2;
    }
    std::printf("loopback, %zu datagrams of %zu bytes, batches of 1024\n", packets, payload);
    const result raw = run_raw(packets, payload);
    report("raw sendmmsg/recvmmsg", raw, packets, payload);
    const result tessal = run_tessal(packets, payload, false);
    report("tessal socket+flow", tessal, packets, payload);
    const result secured = run_tessal(packets, payload, true);
    report("tessal with SRTP", secured, packets, payload);
    const auto rate = [](const result &r) { return static_cast<double>(r.received) / r.seconds; };
    std::printf("ratio tessal/raw: %.2f\n", rate(tessal) / rate(raw));
    std::printf("ratio tessal+SRTP/tessal: %.2f\n", rate(secured) / rate(tessal));
    for (int id = tessal::SRTP_AES_CM_128_HMAC_SHA1_80; id <= tessal::SRTP_AEAD_AES_256_GCM; ++id) {
        const result standard = run_tessal(packets, payload, true, id);
        report(tessal::find_srtp_profile(id)->name, standard, packets, payload);
        std::printf("ratio tessal+%s/tessal: %.2f\n", tessal::find_srtp_profile(id)->name,
                    rate(standard) / rate(tessal));
    }
    return 0;
}
