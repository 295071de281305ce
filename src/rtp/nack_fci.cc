#include "rtp/nack_fci.hh"

#include <algorithm>

#include "util/byte_reader.hh"

namespace tessal {

namespace {

// PID itself and the 16 numbers after it.
constexpr uint16_t k_blp_bits = 16;

// Index of the number that follows the widest gap in the sorted, distinct
// `v`, going round 65535 -> 0: where a serial-order walk must start.
size_t start_after_widest_gap(const std::vector<uint16_t> &v) {
    size_t start = 0;
    uint32_t widest = 0;
    for (size_t i = 0; i < v.size(); ++i) {
        const size_t next = (i + 1) % v.size();
        const uint32_t gap = next == i ? 65536u : static_cast<uint16_t>(v[next] - v[i]);
        if (gap > widest) {
            widest = gap;
            start = next;
        }
    }
    return start;
}

}  // namespace

void nack_fci_pack(const uint16_t *seqs, size_t count, std::vector<nack_fci_entry> &out) {
    out.clear();
    std::vector<uint16_t> v(seqs, seqs + count);
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
    const size_t start = start_after_widest_gap(v);
    // Greedy in serial order: each entry starts at the first number the one
    // before could not reach, which on a line gives the fewest entries.
    for (size_t k = 0; k < v.size(); ++k) {
        const uint16_t seq = v[(start + k) % v.size()];
        if (!out.empty()) {
            const auto d = static_cast<uint16_t>(seq - out.back().pid);
            if (d >= 1 && d <= k_blp_bits) {
                // RFC 4585 section 6.2.1: bit i (bit 1 the least
                // significant) stands for PID + i.
                out.back().blp = static_cast<uint16_t>(out.back().blp | (1u << (d - 1)));
                continue;
            }
        }
        out.push_back(nack_fci_entry{seq, 0});
    }
}

void nack_fci_unpack(const nack_fci_entry *entries, size_t count, std::vector<uint16_t> &out) {
    out.clear();
    for (size_t i = 0; i < count; ++i) {
        out.push_back(entries[i].pid);
        for (uint16_t bit = 1; bit <= k_blp_bits; ++bit) {
            if ((entries[i].blp >> (bit - 1)) & 1u) {
                out.push_back(static_cast<uint16_t>(entries[i].pid + bit));
            }
        }
    }
}

void nack_fci_write(const nack_fci_entry *entries, size_t count, uint8_t *out) noexcept {
    for (size_t i = 0; i < count; ++i) {
        write_be16(out + i * k_nack_fci_size, entries[i].pid);
        write_be16(out + i * k_nack_fci_size + 2, entries[i].blp);
    }
}

RTP_ERROR nack_fci_read(const uint8_t *fci, size_t len, std::vector<nack_fci_entry> &out) {
    out.clear();
    if (len % k_nack_fci_size != 0) {
        return RTP_FAILED;
    }
    byte_reader r(fci, len);
    nack_fci_entry e;
    while (r.read_u16(e.pid) && r.read_u16(e.blp)) {
        out.push_back(e);
    }
    return RTP_SUCCESS;
}

}  // namespace tessal
