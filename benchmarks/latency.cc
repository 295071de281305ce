// Push -> receive hook latency on loopback for single small frames, unpaced,
// beside a raw sendto -> recv of the same datagram size in the same run:
// p50 and p99 of 5,000 samples each, in microseconds.

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "tessal/tessal.hh"

namespace {

using namespace tessal;
using clock_type = std::chrono::steady_clock;

constexpr int k_samples = 5000;
constexpr size_t k_payload = 160;

std::atomic<int64_t> g_arrival_ns{0};
void on_frame(void *, frame::rtp_frame *f) {
    g_arrival_ns.store(clock_type::now().time_since_epoch().count());
    frame::dealloc_frame(f);
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

std::vector<double> raw_samples() {
    const int rx = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int tx = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(rx, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(rx, reinterpret_cast<sockaddr *>(&addr), &len);
    std::vector<uint8_t> payload(k_payload + 12, 0x42);
    std::vector<uint8_t> buf(2048);
    std::vector<double> samples;
    std::atomic<int64_t> arrival{0};
    std::atomic<bool> stop{false};
    // A receiving thread, as a library's receiver would be.
    std::thread receiver([&] {
        timeval tv{0, 100000};
        setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        while (!stop) {
            if (recv(rx, buf.data(), buf.size(), 0) > 0) {
                arrival.store(clock_type::now().time_since_epoch().count());
            }
        }
    });
    for (int i = 0; i < k_samples; ++i) {
        arrival.store(0);
        const int64_t sent = clock_type::now().time_since_epoch().count();
        sendto(tx, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr *>(&addr),
               sizeof(addr));
        while (arrival.load() == 0) {
        }
        samples.push_back(static_cast<double>(arrival.load() - sent) / 1000.0);
    }
    stop = true;
    receiver.join();
    close(rx);
    close(tx);
    return samples;
}

}  // namespace

int main() {
    const std::vector<double> raw = raw_samples();

    context ctx;
    session *s = ctx.create_session("127.0.0.1");
    media_stream *rx = nullptr;
    media_stream *tx = nullptr;
    for (uint16_t port = 30000; port < 31000 && rx == nullptr; port += 2) {
        rx = s->create_stream(port, 0, FMT_PCMU, RCE_RECEIVE_ONLY);
        if (rx != nullptr) {
            tx = s->create_stream(0, port, FMT_PCMU, RCE_SEND_ONLY);
        }
    }
    if (rx == nullptr || tx == nullptr) {
        std::fprintf(stderr, "no free port\n");
        return 1;
    }
    rx->install_receive_hook(nullptr, on_frame);
    std::vector<uint8_t> frame(k_payload, 0x5A);
    std::vector<double> samples;
    for (int i = 0; i < k_samples; ++i) {
        g_arrival_ns.store(0);
        const int64_t sent = clock_type::now().time_since_epoch().count();
        tx->push_frame(frame.data(), frame.size(), RTP_PUSH_DEFAULT);
        const auto give_up = clock_type::now() + std::chrono::milliseconds(100);
        while (g_arrival_ns.load() == 0 && clock_type::now() < give_up) {
        }
        if (g_arrival_ns.load() != 0) {
            samples.push_back(static_cast<double>(g_arrival_ns.load() - sent) / 1000.0);
        }
    }
    ctx.destroy_session(s);

    std::printf("\nLatency on loopback, %zu-byte frames, %d samples\n", k_payload, k_samples);
    std::printf("%-28s %10s %10s\n", "", "p50 us", "p99 us");
    std::printf("%-28s %10.1f %10.1f\n", "raw sendto -> recv", percentile(raw, 0.5),
                percentile(raw, 0.99));
    std::printf("%-28s %10.1f %10.1f   (lost %d)\n", "tessal push -> hook",
                percentile(samples, 0.5), percentile(samples, 0.99),
                k_samples - static_cast<int>(samples.size()));
    std::printf("RESULT latency_p50_us %.1f\n", percentile(samples, 0.5));
    std::printf("RESULT latency_p99_us %.1f\n", percentile(samples, 0.99));
    std::printf("RESULT latency_raw_p99_us %.1f\n", percentile(raw, 0.99));
    return 0;
}
