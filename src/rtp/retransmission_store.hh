#pragma once

// A sending stream's recent packets, kept to answer RFC 4585 generic NACKs
// (RFC 4588 section 3: the sender retransmits what the receiver asks for).
// Bounded by age and by bytes; each packet resent at most once per round
// trip; retransmissions capped at a share of the media sent, so that a storm
// of NACKs cannot multiply the sender's bandwidth. Pure: packets and time
// values in, packets out; one thread at a time.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

namespace tessal {

struct retransmission_limits {
    // About one second of 20 Mbit/s video.
    int64_t max_age_us = 1'000'000;
    size_t max_bytes = 2'500'000;
    // Retransmitted bytes may reach this share (percent) of the media bytes
    // sent; what the media has not yet paid for is refused.
    unsigned max_share_percent = 50;
};

// What became of one request.
enum class retransmission_verdict : uint8_t {
    resend,    // here it is
    unknown,   // never sent, or gone from the store
    too_soon,  // resent less than a round trip ago
    over_cap,  // the retransmission budget is spent
};

class retransmission_store {
public:
    explicit retransmission_store(retransmission_limits limits = {}) noexcept : limits_(limits) {}

    // A media packet as it went out (plain RTP, before any SRTP), at `now_us`.
    // A sequence number that does not follow the last one starts the store
    // afresh (a new SSRC or sequence space).
    void on_sent(const uint8_t *packet, size_t size, int64_t now_us);
    // The same for a packet in `count` pieces (header first), gathered
    // straight into the store.
    void on_sent(const std::pair<size_t, uint8_t *> *pieces, size_t count, int64_t now_us);

    // A NACK asks for `seq` at `now_us`; `rtt_us` is the round trip as known
    // (0 if not). On resend, `*packet` and `*size` point at the stored
    // packet, valid until the next on_sent or clear.
    retransmission_verdict request(uint16_t seq, int64_t now_us, int64_t rtt_us,
                                   const uint8_t **packet, size_t *size);

    void clear() noexcept;
    size_t packets() const noexcept { return entries_.size(); }
    size_t bytes() const noexcept { return bytes_; }
    // Bytes the cap lets out now.
    double budget() const noexcept { return budget_; }

private:
    struct entry {
        uint16_t seq = 0;
        int64_t sent_us = 0;
        int64_t resent_us = INT64_MIN;
        std::vector<uint8_t> bytes;
    };

    void expire(int64_t now_us, size_t incoming);

    retransmission_limits limits_;
    std::deque<entry> entries_;                // in sending order, consecutive sequence numbers
    std::vector<std::vector<uint8_t>> spare_;  // buffers of expired entries, reused
    size_t bytes_ = 0;
    double budget_ = 0;
};

}  // namespace tessal
