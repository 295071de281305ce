#pragma once

// Receiver-side loss detection for retransmission requests (RFC 4585
// generic NACK, RFC 4588 retransmission): one tracker per remote media
// SSRC. It learns from the sequence numbers that arrive which packets are
// missing, says when to ask for each of them, and when to give one up (so
// the stream waits for a key frame, and asks for one, only then).
//
// Pure: times are passed in (microseconds on any clock that only moves
// forward), nothing here reads a clock or sends. Used by one thread at a
// time.
//
// Defaults, and why:
// - Reordering: a gap is first asked for 10 ms after it was seen, or once 3
//   later packets have arrived, whichever comes first. Three is the
//   duplicate threshold of TCP's fast retransmit (RFC 5681 section 3.2):
//   fast video streams reach it within a few packet spacings, while slow
//   streams (audio every 20 ms) fall back on the 10 ms, which covers the
//   few milliseconds of reordering that paths show.
// - Re-requests: once per round-trip time; 100 ms while the RTT is unknown
//   and never more often than every 5 ms. At most 10 requests per packet.
// - Give-up: 1 s after the gap was seen, unless the stream sets its own
//   budget with set_max_wait(); at most 1000 packets are waited for.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace tessal {

struct nack_config {
    int64_t reorder_delay_us = 10'000;  // first request at the earliest this long after the gap
    uint32_t reorder_packets = 3;       // ... or once this many later packets arrived (0: off)
    int64_t max_wait_us = 1'000'000;    // give a packet up this long after its gap was seen
    uint32_t max_requests = 10;         // requests per packet
    size_t max_missing = 1000;          // packets waited for; the oldest are given up first
    // A sequence number further than this from the highest seen, ahead or
    // behind, is a jump: the tracker restarts when the next packet follows
    // it (RFC 3550 appendix A.1, MAX_DROPOUT). At most k_history - 1.
    uint32_t max_jump = 3000;
    int64_t default_rtt_us = 100'000;  // while the RTT is unknown (0 or negative)
    int64_t min_rtt_us = 5'000;        // re-requests never come closer than this
};

enum nack_arrival_kind : uint8_t {
    NACK_ARRIVAL_IN_ORDER = 0,        // the next new number (or the first packet)
    NACK_ARRIVAL_AFTER_GAP = 1,       // new, with missing packets before it
    NACK_ARRIVAL_REORDERED = 2,       // filled a gap before it was asked for
    NACK_ARRIVAL_RECOVERED = 3,       // filled a gap after a request, or by retransmission
    NACK_ARRIVAL_RECOVERED_LATE = 4,  // arrived after it was given up
    NACK_ARRIVAL_DUPLICATE = 5,       // received already: drop it
    NACK_ARRIVAL_TOO_OLD = 6,         // before what the tracker knows (the first packet, a restart)
    NACK_ARRIVAL_JUMP = 7,            // too far from the others: ignored until the next follows it
    NACK_ARRIVAL_RESTART = 8,         // followed a jump: the tracker started again from here
};

// What one arrival was.
struct nack_arrival {
    nack_arrival_kind kind = NACK_ARRIVAL_IN_ORDER;
    uint32_t gap = 0;       // AFTER_GAP: packets it found missing (some may be given up at once)
    uint32_t requests = 0;  // REORDERED, RECOVERED: requests sent for it before it came
};

struct nack_counters {
    uint64_t packets_asked = 0;              // distinct packets asked for
    uint64_t requests = 0;                   // NACK entries sent, repeats included
    uint64_t recovered_in_time = 0;          // RECOVERED arrivals
    uint64_t recovered_late = 0;             // RECOVERED_LATE arrivals
    uint64_t reordered = 0;                  // REORDERED arrivals
    uint64_t given_up = 0;                   // packets given up, listed or not
    uint64_t duplicates = 0;                 // DUPLICATE arrivals
    uint64_t duplicate_retransmissions = 0;  // of which retransmissions (the request was in vain)
    uint64_t restarts = 0;
};

// What a timer call asks of the stream: the sequence numbers to NACK now,
// oldest first (ready for nack_fci_pack), and those given up since the last
// call, in the order they were given up: the stream waits for a key frame
// (and asks for one) when this is not empty. The vectors keep their storage
// between calls.
struct nack_due {
    std::vector<uint16_t> nack;
    std::vector<uint16_t> given_up;
};

class nack_tracker {
public:
    // Sequence numbers whose arrival is remembered behind the highest.
    static constexpr uint32_t k_history = 4096;

    // The longest time any setting or RTT is taken to be.
    static constexpr int64_t k_max_time_us = 3'600'000'000;

    // Values out of range are brought into it: max_jump to [1, k_history - 1],
    // max_missing to [1, k_history], max_requests to at least 1, times to
    // [0, k_max_time_us], min_rtt_us to at least 1.
    explicit nack_tracker(const nack_config &config = nack_config{});

    // Records the arrival of `seq` at `now_us`; `retransmission` when it came
    // as an RFC 4588 retransmission (its original sequence number). A
    // retransmission never restarts the tracker and does not count towards
    // the reordering allowance. Missing packets beyond max_missing are given
    // up here and reported by the next due(), as are those left more than
    // max_jump behind the highest. Throws std::bad_alloc only.
    nack_arrival on_packet(uint16_t seq, int64_t now_us, bool retransmission);

    // The work due at `now_us`, with `rtt_us` the current round-trip time
    // (0 or negative: unknown). Fills `out` (cleared first): packets never
    // asked for whose reordering allowance is over, and packets asked for at
    // least one RTT ago, fewer than max_requests times; packets past their
    // deadline are given up instead. Throws std::bad_alloc only.
    void due(int64_t now_us, int64_t rtt_us, nack_due &out);

    // When due() next has something to do, with the RTT of the last due()
    // call; INT64_MAX when nothing is missing or waits to be reported. A time
    // in the past means now (packets given up by on_packet wait to be
    // reported). Costs one pass over the missing packets.
    int64_t next_deadline() const noexcept;

    // The give-up budget, for the packets already missing as well.
    void set_max_wait(int64_t max_wait_us) noexcept;

    size_t missing() const noexcept { return missing_.size(); }
    const nack_counters &counters() const noexcept { return counters_; }
    const nack_config &config() const noexcept { return config_; }

private:
    struct entry {
        int64_t seq = 0;          // extended
        int64_t seen_us = 0;      // when the gap was seen: the deadline counts from here
        int64_t eligible_us = 0;  // first request from here on
        int64_t last_request_us = 0;
        uint64_t advances_before = 0;  // advances_ when the gap was seen
        uint32_t requests = 0;
        bool counted = false;  // reached reorder_packets: eligible_us holds its arrival
    };

    nack_arrival start(uint16_t seq);
    nack_arrival advance(int64_t ext, int64_t now_us, bool retransmission);
    nack_arrival restart(uint16_t seq, int64_t now_us);
    nack_arrival behind(int64_t ext, bool retransmission);
    nack_arrival jump(uint16_t seq, int64_t now_us, bool retransmission);
    void open_gap(int64_t first, int64_t last, int64_t now_us);
    void count_later_packets(int64_t now_us) noexcept;
    void request_if_due(entry &e, int64_t now_us, int64_t rtt_us, nack_due &out);
    int64_t deadline(const entry &e) const noexcept;
    void give_up(int64_t ext, int64_t now_us);
    bool received(int64_t ext) const noexcept;
    void set_received(int64_t ext) noexcept;
    int64_t rtt_or_default(int64_t rtt_us) const noexcept;

    nack_config config_;
    bool started_ = false;
    int64_t highest_ = 0;                    // extended sequence number of the highest received
    int64_t base_ = 0;                       // the first extended number the tracker knows
    uint64_t advances_ = 0;                  // originals that raised highest_
    int32_t bad_seq_ = -1;                   // RFC 3550 A.1: the number that would confirm a jump
    uint64_t history_[k_history / 64] = {};  // received bits, indexed by extended number
    std::deque<entry> missing_;              // ascending by number
    std::vector<uint16_t> given_up_;         // since the last due(); at most k_history listed
    int64_t given_up_since_ = INT64_MAX;     // when the oldest of given_up_ was queued
    int64_t last_rtt_us_ = 0;
    nack_counters counters_;
};

}  // namespace tessal
