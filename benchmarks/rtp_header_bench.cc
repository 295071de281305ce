// Header writing and parsing: the per-packet cost on both paths.
#include <benchmark/benchmark.h>

#include <vector>

#include "rtp/rtp.hh"

namespace {

void BM_fill_header(benchmark::State &state) {
    tessal::rtp r(tessal::FMT_H265, tessal::make_shared_ssrc(1), false);
    uint8_t header[12];
    for (auto _ : state) {
        r.fill_header(header, false);
        r.inc_sequence();
        benchmark::DoNotOptimize(header);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_fill_header);

void BM_packet_handler(benchmark::State &state) {
    std::vector<uint8_t> packet(12 + static_cast<size_t>(state.range(0)), 0);
    tessal::rtp r(tessal::FMT_H265, tessal::make_shared_ssrc(1), false);
    r.fill_header(packet.data(), false);
    for (auto _ : state) {
        tessal::frame::rtp_frame *out = nullptr;
        tessal::rtp::packet_handler(nullptr, 0, packet.data(), packet.size(), &out);
        tessal::frame::dealloc_frame(out);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(packet.size()));
}
BENCHMARK(BM_packet_handler)->Arg(100)->Arg(1400);

}  // namespace
