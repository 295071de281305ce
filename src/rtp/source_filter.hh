#pragma once

// Which sources a port with one stream listens to. Such a stream takes any
// SSRC (its peer's is not known in advance), so without a filter every
// datagram that looks like RTP reaches its reassembly, and a flood of forged
// packets from random sources overwrites the state the real frames need.
//
// RFC 3550 appendix A.1: a source is declared valid once MIN_SEQUENTIAL
// packets have been received in sequence. Until some source is valid every
// packet passes (the start of a stream is not held back); from then on only
// valid sources do. Several sources may be valid at once (a multicast group
// of senders, a sender that changed its SSRC), the most recent first; a new
// source loses the packets before its second in sequence. Packets of random
// sources, or of sources that never send two in a row, are refused.
//
// Pure: no clock, no socket. Used by one thread at a time.

#include <array>
#include <cstddef>
#include <cstdint>

namespace tessal {

class source_filter {
public:
    static constexpr int k_min_sequential = 2;  // RFC 3550 appendix A.1
    static constexpr size_t k_valid_sources = 16;
    static constexpr size_t k_candidates = 8;

    // Whether the packet of `ssrc` with sequence number `seq` passes.
    bool admit(uint32_t ssrc, uint16_t seq) noexcept {
        for (size_t i = 0; i < valid_count_; ++i) {
            if (valid_[i] == ssrc) {
                if (i != 0) {
                    // Most recent first: the common case is one comparison.
                    const uint32_t found = valid_[i];
                    for (size_t k = i; k > 0; --k) {
                        valid_[k] = valid_[k - 1];
                    }
                    valid_[0] = found;
                }
                return true;
            }
        }
        return admit_new(ssrc, seq);
    }

    size_t valid_sources() const noexcept { return valid_count_; }

private:
    struct candidate {
        uint32_t ssrc = 0;
        uint16_t seq = 0;
        int run = 0;  // 0: unused
    };

    bool admit_new(uint32_t ssrc, uint16_t seq) noexcept {
        candidate *c = nullptr;
        for (candidate &k : candidates_) {
            if (k.run > 0 && k.ssrc == ssrc) {
                c = &k;
                break;
            }
        }
        if (c == nullptr) {
            c = &candidates_[next_candidate_];
            next_candidate_ = (next_candidate_ + 1) % k_candidates;
            *c = candidate{ssrc, seq, 1};
        } else {
            c->run = seq == static_cast<uint16_t>(c->seq + 1) ? c->run + 1 : 1;
            c->seq = seq;
        }
        if (c->run < k_min_sequential) {
            return valid_count_ == 0;
        }
        *c = candidate{};
        const size_t keep = valid_count_ < k_valid_sources ? valid_count_ : k_valid_sources - 1;
        for (size_t k = keep; k > 0; --k) {
            valid_[k] = valid_[k - 1];
        }
        valid_[0] = ssrc;
        valid_count_ = keep + 1;
        return true;
    }

    std::array<uint32_t, k_valid_sources> valid_{};
    size_t valid_count_ = 0;
    std::array<candidate, k_candidates> candidates_{};
    size_t next_candidate_ = 0;
};

}  // namespace tessal
