// H.265 FU reassembly: one NAL unit of thousands of fragments fed to the
// receive handler in sequence order, with its middle fragments in descending
// order, and shuffled. The time per packet should not depend on the order
// (the per_packet counter, in seconds).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <numeric>
#include <random>
#include <vector>

#include "formats/h26x.hh"
#include "rtp/rtp.hh"

namespace {

using namespace tessal;

constexpr size_t k_fragment_data = 1000;
constexpr size_t k_fu_header_len = 3;  // payload header, FU header
constexpr uint8_t k_idr_w_radl = 19;

enum arrival : int64_t { ARRIVAL_IN_ORDER, ARRIVAL_MIDDLES_DESCENDING, ARRIVAL_SHUFFLED };

// Fragment indices in arrival order.
std::vector<size_t> arrival_order(arrival kind, size_t count) {
    std::vector<size_t> order(count);
    std::iota(order.begin(), order.end(), size_t{0});
    if (kind == ARRIVAL_MIDDLES_DESCENDING) {
        std::reverse(order.begin() + 1, order.end() - 1);
    } else if (kind == ARRIVAL_SHUFFLED) {
        std::shuffle(order.begin(), order.end(), std::mt19937(20261211));
    }
    return order;
}

// RFC 7798 section 4.4.3: FU `index` of `count` of an IDR_W_RADL NAL unit,
// as the RTP reception handler hands it on.
frame::rtp_frame *fu_packet(uint16_t seq, uint32_t ts, size_t index, size_t count) {
    frame::rtp_frame *f = frame::alloc_rtp_frame(k_fu_header_len + k_fragment_data);
    f->header.version = 2;
    f->header.payload_type = 96;
    f->header.marker = index + 1 == count ? 1 : 0;
    f->header.sequence = seq;
    f->header.timestamp = ts;
    f->header.ssrc = 1;
    const uint8_t se = index == 0 ? 0x80 : index + 1 == count ? 0x40 : 0x00;
    f->payload[0] = 49 << 1;  // FU
    f->payload[1] = 1;        // TID 1
    f->payload[2] = static_cast<uint8_t>(se | k_idr_w_radl);
    std::memset(f->payload + k_fu_header_len, static_cast<int>(index & 0xFF), k_fragment_data);
    return f;
}

void BM_fu_reassembly(benchmark::State &state) {
    const auto kind = static_cast<arrival>(state.range(0));
    const auto count = static_cast<size_t>(state.range(1));
    const std::vector<size_t> order = arrival_order(kind, count);
    formats::h265 format(nullptr, std::make_shared<rtp>(FMT_H265, make_shared_ssrc(1), false), 0);
    std::vector<frame::rtp_frame *> packets(count);
    uint16_t first_seq = 1000;
    uint32_t ts = 0;
    size_t joined = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (size_t i = 0; i < count; ++i) {
            packets[i] =
                fu_packet(static_cast<uint16_t>(first_seq + order[i]), ts, order[i], count);
        }
        state.ResumeTiming();
        for (frame::rtp_frame *p : packets) {
            frame::rtp_frame *out = p;
            if (formats::h26x::packet_handler(&format, 0, nullptr, 0, &out) == RTP_FRAME_READY) {
                joined += out->payload_length;
                frame::dealloc_frame(out);
            }
        }
        first_seq = static_cast<uint16_t>(first_seq + count);
        ts += 3000;
    }
    // Start code, NAL header, the fragments' data: every unit whole.
    const size_t unit = 4 + 2 + count * k_fragment_data;
    if (joined != unit * state.iterations()) {
        state.SkipWithError("a NAL unit was not joined");
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(count));
    state.counters["per_packet"] = benchmark::Counter(
        static_cast<double>(count),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_fu_reassembly)
    ->ArgsProduct({{ARRIVAL_IN_ORDER, ARRIVAL_MIDDLES_DESCENDING, ARRIVAL_SHUFFLED}, {2048, 16384}})
    ->ArgNames({"order", "fragments"})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
