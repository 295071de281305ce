// Reads arbitrary bytes as the FCI of a generic NACK. A whole number of
// entries must read back to the same bytes; the numbers they name, packed
// again, name the same set in no more entries than were read.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "rtp/nack_fci.hh"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace tessal;
    const std::vector<uint8_t> fci(data, data + size);  // exact size: over-reads hit the redzone
    std::vector<nack_fci_entry> entries;
    if (nack_fci_read(fci.data(), fci.size(), entries) != tessal::RTP_SUCCESS) {
        if (size % k_nack_fci_size == 0 || !entries.empty()) {
            __builtin_trap();
        }
        return 0;
    }
    std::vector<uint8_t> written(entries.size() * k_nack_fci_size);
    nack_fci_write(entries.data(), entries.size(), written.data());
    if (written != fci) {
        __builtin_trap();
    }
    std::vector<uint16_t> seqs;
    nack_fci_unpack(entries.data(), entries.size(), seqs);
    std::vector<nack_fci_entry> packed;
    nack_fci_pack(seqs.data(), seqs.size(), packed);
    std::vector<uint16_t> again;
    nack_fci_unpack(packed.data(), packed.size(), again);
    std::sort(seqs.begin(), seqs.end());
    seqs.erase(std::unique(seqs.begin(), seqs.end()), seqs.end());
    std::sort(again.begin(), again.end());
    // At most 17 numbers per entry read: the widest gap is over 16 below
    // 3856 distinct numbers, where packing is minimal.
    if (again != seqs || (seqs.size() < 3856 && packed.size() > entries.size())) {
        __builtin_trap();
    }
    return 0;
}
