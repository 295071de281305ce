#pragma once

// The feedback control information of the RTCP generic NACK (RFC 4585
// section 6.2.1): sequence numbers packed into PID + BLP entries and back.
// Pure: no state, no clock.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tessal/util.hh"

namespace tessal {

// RFC 4585 section 6.2.1: one generic NACK FCI entry.
//
//    0                   1                   2                   3
//    0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
//   +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//   |            PID                |             BLP               |
//   +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//
// Bit i of BLP (bit 1 the least significant) marks PID + i as lost.
struct nack_fci_entry {
    uint16_t pid = 0;
    uint16_t blp = 0;
    bool operator==(const nack_fci_entry &o) const noexcept { return pid == o.pid && blp == o.blp; }
};
constexpr size_t k_nack_fci_size = 4;

// Packs `seqs` (any order, repeats allowed) into entries, `out` cleared
// first. The numbers are taken in serial order starting after the widest gap
// between them, so a run across 65535 -> 0 packs as one, and each entry
// covers as many as its 17 numbers reach: the fewest entries whenever that
// gap is wider than 16 (always for fewer than 3856 numbers). Throws
// std::bad_alloc only.
void nack_fci_pack(const uint16_t *seqs, size_t count, std::vector<nack_fci_entry> &out);
// The sequence numbers `entries` name into `out` (cleared first), entry by
// entry, PID first. Throws std::bad_alloc only.
void nack_fci_unpack(const nack_fci_entry *entries, size_t count, std::vector<uint16_t> &out);

// Writes `count` entries as FCI bytes; `out` holds count * k_nack_fci_size.
void nack_fci_write(const nack_fci_entry *entries, size_t count, uint8_t *out) noexcept;
// Reads the FCI of a received generic NACK into `out` (cleared first).
// RTP_SUCCESS, or RTP_FAILED when `len` is not a whole number of entries
// (`out` is then empty). Throws std::bad_alloc only.
RTP_ERROR nack_fci_read(const uint8_t *fci, size_t len, std::vector<nack_fci_entry> &out);

}  // namespace tessal
