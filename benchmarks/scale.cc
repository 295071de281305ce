// Many streams in one process, measured as a user would see them:
//
//   bench_scale ports N [ROUNDS]   N receiving streams on N ports and N senders
//   bench_scale ssrc N [ROUNDS]    N receiving streams sharing one port, told
//                                  apart by SSRC, and N senders
//
// Reports set-up and tear-down time, threads, resident memory per stream,
// idle CPU, and the CPU per packet of moving 1,200-byte packets through all
// streams (one push per stream per round, ~1 Mbit/s per stream) beside a raw
// loop moving the same traffic, in turns of ROUNDS rounds each: the share of
// the sending thread, and the context switches per packet of both.

#include <arpa/inet.h>
#include <dirent.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_socket.hh"
#include "tessal/tessal.hh"

namespace {

using namespace tessal;
using clock_type = std::chrono::steady_clock;

constexpr size_t k_payload = 1200;
constexpr int k_warm_up_rounds = 10;
// Turns of the library's traffic and the raw loop's (odd: a median).
constexpr int k_turns = 7;

double cpu_now() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Context switches of the whole process so far, voluntary and not.
double switches_now() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_nvcsw + u.ru_nivcsw);
}

// CPU seconds of the calling thread so far.
double thread_cpu_now() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double seconds_since(clock_type::time_point t) {
    return std::chrono::duration<double>(clock_type::now() - t).count();
}

size_t threads() {
    size_t n = 0;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d)) {
            n += e->d_name[0] != '.' ? 1 : 0;
        }
        closedir(d);
    }
    return n;
}

double rss_kib() {
    long pages = 0;
    long resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) {
            resident = 0;
        }
        std::fclose(f);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1024.0;
}

uint16_t free_port_block(int count) {
    // Consecutive even ports from a range few services use; the streams bind
    // them and fail loudly if one is taken.
    return static_cast<uint16_t>(20000 + (getpid() % 100) * 200 + (count % 2));
}

std::atomic<uint64_t> g_delivered{0};
void on_frame(void *, frame::rtp_frame *f) {
    g_delivered.fetch_add(1, std::memory_order_relaxed);
    frame::dealloc_frame(f);
}

// The raw baseline: `packets` datagrams of k_payload bytes through one
// socket pair with sendmmsg/recvmmsg; CPU seconds per packet.
double raw_cpu_per_packet(size_t packets) {
    const int rx = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int tx = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int bytes = 8 * 1024 * 1024;
    setsockopt(rx, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(rx, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(rx, reinterpret_cast<sockaddr *>(&addr), &len);
    std::vector<uint8_t> payload(k_payload, 0x42);
    std::atomic<size_t> got{0};
    const double cpu0 = cpu_now();
    std::thread receiver([&] {
        std::vector<uint8_t> bufs(64 * 2048);
        std::vector<mmsghdr> msgs(64);
        std::vector<iovec> iov(64);
        timeval tv{0, 200000};
        setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        while (got.load() < packets) {
            for (size_t i = 0; i < 64; ++i) {
                iov[i] = {bufs.data() + i * 2048, 2048};
                msgs[i] = {};
                msgs[i].msg_hdr.msg_iov = &iov[i];
                msgs[i].msg_hdr.msg_iovlen = 1;
            }
            const int n = recvmmsg(rx, msgs.data(), 64, MSG_WAITFORONE, nullptr);
            if (n <= 0) {
                break;
            }
            got += static_cast<size_t>(n);
        }
    });
    std::vector<mmsghdr> msgs(64);
    iovec iov{payload.data(), payload.size()};
    for (size_t sent = 0; sent < packets;) {
        const size_t n = std::min<size_t>(64, packets - sent);
        for (size_t i = 0; i < n; ++i) {
            msgs[i] = {};
            msgs[i].msg_hdr.msg_name = &addr;
            msgs[i].msg_hdr.msg_namelen = sizeof(addr);
            msgs[i].msg_hdr.msg_iov = &iov;
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        const int r = sendmmsg(tx, msgs.data(), static_cast<unsigned>(n), 0);
        sent += r > 0 ? static_cast<size_t>(r) : 0;
        if (sent % 4096 < 64) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));  // no overflow
        }
    }
    receiver.join();
    const double cpu = cpu_now() - cpu0;
    close(rx);
    close(tx);
    return cpu / static_cast<double>(std::max<size_t>(got.load(), 1));
}

// The raw baseline for the same traffic: one socket per receiving port (one
// in all when the streams share a port) and one per sender, each sender
// sending one datagram per 10 ms round to its receiver, and a thread that
// waits with epoll(7) and takes each ready socket's datagrams with recvmmsg.
// That is what a hand-written program moving these packets needs at least;
// CPU seconds per packet for the whole process, as for the library, and
// for the sending thread alone.
double raw_same_traffic_cpu_per_packet(int senders, bool shared_port, int rounds,
                                       double &switches_per_packet, double &sender_per_packet) {
    const int receivers = shared_port ? 1 : senders;
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    std::vector<int> rx(static_cast<size_t>(receivers));
    std::vector<sockaddr_in> to(static_cast<size_t>(receivers));
    for (int i = 0; i < receivers; ++i) {
        uint16_t port = 0;
        rx[i] = bench::loopback_udp_socket(&port);
        to[i] = {};
        to[i].sin_family = AF_INET;
        to[i].sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to[i].sin_port = htons(port);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = rx[i];
        epoll_ctl(ep, EPOLL_CTL_ADD, rx[i], &ev);
    }
    std::vector<int> tx(static_cast<size_t>(senders));
    for (int &fd : tx) {
        fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    }
    const size_t warm_up = static_cast<size_t>(senders) * k_warm_up_rounds;
    const size_t total = warm_up + static_cast<size_t>(senders) * static_cast<size_t>(rounds);
    std::atomic<size_t> got{0};
    double cpu0 = 0;
    size_t got0 = 0;
    std::thread receiver([&] {
        constexpr size_t k_batch = 16;
        std::vector<uint8_t> bufs(k_batch * 2048);
        mmsghdr msgs[k_batch];
        iovec iov[k_batch];
        epoll_event events[64];
        auto last_progress = clock_type::now();
        while (got.load(std::memory_order_relaxed) < total &&
               clock_type::now() - last_progress < std::chrono::seconds(2)) {
            const int n = epoll_wait(ep, events, 64, 100);
            for (int e = 0; e < n; ++e) {
                for (size_t i = 0; i < k_batch; ++i) {
                    iov[i] = {bufs.data() + i * 2048, 2048};
                    msgs[i] = {};
                    msgs[i].msg_hdr.msg_iov = &iov[i];
                    msgs[i].msg_hdr.msg_iovlen = 1;
                }
                const int r = recvmmsg(events[e].data.fd, msgs, k_batch, MSG_DONTWAIT, nullptr);
                if (r > 0) {
                    got.fetch_add(static_cast<size_t>(r), std::memory_order_relaxed);
                    last_progress = clock_type::now();
                }
            }
        }
    });
    std::vector<uint8_t> payload(k_payload, 0x42);
    auto begin = clock_type::now();
    for (int r = 0; r < k_warm_up_rounds + rounds; ++r) {
        if (r == k_warm_up_rounds) {
            const auto wait_end = clock_type::now() + std::chrono::seconds(2);
            while (got.load() < warm_up && clock_type::now() < wait_end) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            cpu0 = cpu_now();
            sender_per_packet = thread_cpu_now();
            switches_per_packet = switches_now();
            got0 = got.load();
            begin = clock_type::now() - std::chrono::milliseconds(10 * k_warm_up_rounds);
        }
        for (int i = 0; i < senders; ++i) {
            const sockaddr_in &dst = to[static_cast<size_t>(shared_port ? 0 : i)];
            (void)sendto(tx[static_cast<size_t>(i)], payload.data(), payload.size(), 0,
                         reinterpret_cast<const sockaddr *>(&dst), sizeof(dst));
        }
        std::this_thread::sleep_until(begin + std::chrono::milliseconds(10 * (r + 1)));
    }
    sender_per_packet = thread_cpu_now() - sender_per_packet;
    receiver.join();
    const double cpu = cpu_now() - cpu0;
    const size_t counted = got.load() - got0;
    sender_per_packet /= static_cast<double>(std::max<size_t>(counted, 1));
    switches_per_packet =
        (switches_now() - switches_per_packet) / static_cast<double>(std::max<size_t>(counted, 1));
    for (int fd : rx) {
        close(fd);
    }
    for (int fd : tx) {
        close(fd);
    }
    close(ep);
    return cpu / static_cast<double>(std::max<size_t>(counted, 1));
}

}  // namespace

int main(int argc, char **argv) {
    const bool shared_port = argc > 1 && std::string(argv[1]) == "ssrc";
    const int n = argc > 2 ? std::atoi(argv[2]) : 300;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 100;

    const size_t threads0 = threads();
    const double rss0 = rss_kib();
    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    std::vector<media_stream *> receivers;
    std::vector<media_stream *> senders;
    const uint16_t base = free_port_block(n);
    const auto setup_begin = clock_type::now();
    for (int i = 0; i < n; ++i) {
        const auto port = static_cast<uint16_t>(shared_port ? base : base + 2 * i);
        media_stream *rx = s->create_stream(port, 0, FMT_PCMU, RCE_RECEIVE_ONLY);
        media_stream *tx = s->create_stream(0, port, FMT_PCMU, RCE_SEND_ONLY | RCE_SCC_ENABLED);
        if (rx == nullptr || tx == nullptr) {
            std::fprintf(stderr, "stream %d could not be created (port %u)\n", i, port);
            return 1;
        }
        const auto ssrc = static_cast<ssize_t>(0x10000 + i);
        tx->configure_ctx(RCC_LOCAL_SSRC, ssrc);
        if (shared_port) {
            rx->configure_ctx(RCC_PEER_SSRC, ssrc);
        }
        rx->install_receive_hook(nullptr, on_frame);
        receivers.push_back(rx);
        senders.push_back(tx);
    }
    const double setup_s = seconds_since(setup_begin);
    const size_t threads1 = threads();
    const double rss1 = rss_kib();

    const double idle_cpu0 = cpu_now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double idle_cpu = (cpu_now() - idle_cpu0) / 2.0;

    // ~1 Mbit/s per stream: one 1,200-byte packet per stream per 10 ms. The
    // first rounds warm the streams up (their first packets touch memory
    // for the first time) and are not counted, here or in the raw loop.
    std::vector<uint8_t> frame(k_payload, 0x5A);
    auto push_rounds = [&](int count) {
        const size_t expected = g_delivered.load() + static_cast<size_t>(count) * senders.size();
        const auto begin = clock_type::now();
        for (int r = 0; r < count; ++r) {
            for (media_stream *tx : senders) {
                tx->push_frame(frame.data(), frame.size(), RTP_PUSH_DEFAULT);
            }
            std::this_thread::sleep_until(begin + std::chrono::milliseconds(10 * (r + 1)));
        }
        const auto wait_end = clock_type::now() + std::chrono::seconds(2);
        while (g_delivered.load() < expected && clock_type::now() < wait_end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    };
    push_rounds(k_warm_up_rounds);
    // The library's traffic and the raw loop's take turns, so that a slow
    // drift of the machine (clock speed, neighbours) weighs on both alike;
    // the ratio is the median of the turns' ratios.
    double cpu = 0;
    double switches = 0;
    size_t delivered = 0;
    double raw_cpu_sum = 0;
    double raw_switches = 0;
    double sender_cpu = 0;      // the pushing thread's share of `cpu`
    double raw_sender_cpp = 0;  // the raw loop's sending thread, per packet
    std::vector<double> ratios;
    for (int turn = 0; turn < k_turns; ++turn) {
        const size_t delivered0 = g_delivered.load();
        const double cpu0 = cpu_now();
        const double switches0 = switches_now();
        const double sender0 = thread_cpu_now();
        push_rounds(rounds);
        sender_cpu += thread_cpu_now() - sender0;
        const double turn_cpu = cpu_now() - cpu0;
        const size_t turn_delivered = g_delivered.load() - delivered0;
        cpu += turn_cpu;
        switches += switches_now() - switches0;
        delivered += turn_delivered;
        double turn_raw_switches = 0;
        double turn_raw_sender = 0;
        const double raw = raw_same_traffic_cpu_per_packet(n, shared_port, rounds,
                                                           turn_raw_switches, turn_raw_sender);
        raw_cpu_sum += raw;
        raw_switches += turn_raw_switches / k_turns;
        raw_sender_cpp += turn_raw_sender / k_turns;
        ratios.push_back(turn_cpu / static_cast<double>(std::max<size_t>(turn_delivered, 1)) / raw);
    }
    const size_t sent = static_cast<size_t>(rounds) * static_cast<size_t>(n) * k_turns;
    const double rss2 = rss_kib();
    const size_t threads2 = threads();

    const auto teardown_begin = clock_type::now();
    ctx.destroy_session(s);
    const double teardown_s = seconds_since(teardown_begin);

    const double tessal_cpp = cpu / static_cast<double>(std::max<size_t>(delivered, 1));
    const double raw_cpp = raw_cpu_sum / k_turns;
    std::vector<double> sorted = ratios;
    std::sort(sorted.begin(), sorted.end());
    const double ratio = sorted[sorted.size() / 2];
    const double burst_cpp = raw_cpu_per_packet(sent / k_turns);

    std::printf("\n%d streams %s, %d x %d rounds of one 1,200-byte packet per stream\n", n,
                shared_port ? "sharing one port (by SSRC)" : "on their own ports", k_turns, rounds);
    std::printf("  set-up                 %8.3f s\n", setup_s);
    std::printf("  tear-down              %8.3f s\n", teardown_s);
    std::printf("  threads                %8zu (before %zu, after traffic %zu)\n", threads1,
                threads0, threads2);
    std::printf("  resident per stream    %8.1f KiB (2 streams per pair; after traffic %.1f)\n",
                (rss1 - rss0) / n, (rss2 - rss0) / n);
    std::printf("  idle CPU               %8.2f %% of a core\n", idle_cpu * 100);
    std::printf(
        "  delivered              %8zu of %zu (loss %.3f %%)\n", delivered, sent,
        100.0 * static_cast<double>(sent - std::min(sent, delivered)) / static_cast<double>(sent));
    std::printf("  CPU per packet         %8.2f us  (raw loop, same traffic %.2f us, ratio %.2f;",
                tessal_cpp * 1e6, raw_cpp * 1e6, ratio);
    for (double r : ratios) {
        std::printf(" %.2f", r);
    }
    std::printf(" by turn)\n");
    const double sender_cpp = sender_cpu / static_cast<double>(std::max<size_t>(delivered, 1));
    std::printf(
        "  of which sending       %8.2f us  (raw loop %.2f); other threads %.2f us (raw loop "
        "%.2f)\n",
        sender_cpp * 1e6, raw_sender_cpp * 1e6, (tessal_cpp - sender_cpp) * 1e6,
        (raw_cpp - raw_sender_cpp) * 1e6);
    std::printf("  context switches       %8.2f per packet (raw loop, same traffic %.2f)\n",
                switches / static_cast<double>(std::max<size_t>(delivered, 1)), raw_switches);
    std::printf(
        "                                     (raw loop, one socket pair in bursts of 64 "
        "%.2f us, ratio %.2f)\n",
        burst_cpp * 1e6, tessal_cpp / burst_cpp);
    // One line per figure for benchmarks/run.sh.
    const char *tag = shared_port ? "ssrc" : "ports";
    std::printf("RESULT %s_%d_setup_s %.3f\n", tag, n, setup_s);
    std::printf("RESULT %s_%d_teardown_s %.3f\n", tag, n, teardown_s);
    std::printf("RESULT %s_%d_threads %zu\n", tag, n, threads1);
    std::printf("RESULT %s_%d_rss_kib_per_stream %.1f\n", tag, n, (rss1 - rss0) / n);
    std::printf("RESULT %s_%d_idle_cpu_pct %.2f\n", tag, n, idle_cpu * 100);
    std::printf("RESULT %s_%d_cpu_per_packet_ratio %.2f\n", tag, n, ratio);
    std::printf("RESULT %s_%d_cpu_per_packet_ratio_to_bursts %.2f\n", tag, n,
                tessal_cpp / burst_cpp);
    return 0;
}
