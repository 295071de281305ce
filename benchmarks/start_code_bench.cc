// Annex-B start-code search over 1 MiB of random bytes: the word-at-a-time
// search at scan steps 1 (H.264) and 4 (H.265/H.266) against a plain byte
// loop, in bytes per second.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "formats/h26x.hh"

namespace {

constexpr size_t k_buffer_size = 1 << 20;

const std::vector<uint8_t> &random_buffer() {
    static const std::vector<uint8_t> buffer = [] {
        std::vector<uint8_t> bytes(k_buffer_size);
        std::mt19937 rng(20240601);
        for (auto &b : bytes) {
            b = static_cast<uint8_t>(rng());
        }
        return bytes;
    }();
    return buffer;
}

// Index after the first 00 00 01 at or after `offset`, or -1.
int64_t bytewise_search(const uint8_t *data, size_t len, size_t offset) {
    for (size_t i = offset; i + 3 <= len; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            return static_cast<int64_t>(i + 3);
        }
    }
    return -1;
}

// Finds every start code of the buffer, as the NAL unit list does.
void BM_find_start_codes(benchmark::State &state) {
    const std::vector<uint8_t> &buffer = random_buffer();
    const auto step = static_cast<uint8_t>(state.range(0));
    for (auto _ : state) {
        size_t offset = 0;
        uint8_t length = 0;
        int64_t found = 0;
        while ((found = tessal::formats::find_h26x_start_code(buffer.data(), buffer.size(), offset,
                                                              length, step)) >= 0) {
            offset = static_cast<size_t>(found);
        }
        benchmark::DoNotOptimize(offset);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(buffer.size()));
}
BENCHMARK(BM_find_start_codes)->Arg(1)->Arg(4);

void BM_bytewise_baseline(benchmark::State &state) {
    const std::vector<uint8_t> &buffer = random_buffer();
    for (auto _ : state) {
        size_t offset = 0;
        int64_t found = 0;
        while ((found = bytewise_search(buffer.data(), buffer.size(), offset)) >= 0) {
            offset = static_cast<size_t>(found);
        }
        benchmark::DoNotOptimize(offset);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(buffer.size()));
}
BENCHMARK(BM_bytewise_baseline);

}  // namespace
