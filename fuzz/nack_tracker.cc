// Drives one NACK tracker with arbitrary arrivals (in order, gaps, late,
// repeated, far jumps; originals or retransmissions) and timer calls on a
// clock that only moves forward, and checks it against a shadow of what
// arrived: it never asks for a packet that arrived, nor before the
// reordering allowance, nor sooner than an RTT after the last request, nor
// more than max_requests times, nor after the deadline; it never holds more
// than max_missing packets, never calls a packet received that was not (nor
// the reverse), and due() finds nothing to do before next_deadline().
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "rtp/nack_tracker.hh"

namespace {

using tessal::nack_arrival;
using tessal::nack_tracker;

void check(bool ok) {
    if (!ok) {
        __builtin_trap();
    }
}

struct input {
    const uint8_t *p;
    size_t left;
    uint8_t byte() {
        if (left == 0) {
            return 0;
        }
        --left;
        return *p++;
    }
    uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
};

// What the fuzzer knows of one sequence number in the current cycle.
struct shadow_seq {
    bool received = false;
    int64_t seen_us = 0;    // when the gap holding it was seen
    uint64_t advances = 0;  // originals that had raised the highest by then
    uint32_t requests = 0;
    int64_t last_request_us = 0;
    uint64_t generation = 0;  // stale when older than the model's
};

// One table for all runs: a new generation empties it without a pass.
std::vector<shadow_seq> g_seqs(65536);
uint64_t g_generation = 0;

struct model {
    explicit model(const tessal::nack_config &c) : tracker(c) { ++g_generation; }
    nack_tracker tracker;
    shadow_seq &seq_state(uint16_t seq) {
        shadow_seq &s = g_seqs[seq];
        if (s.generation != g_generation) {
            s = shadow_seq{};
            s.generation = g_generation;
        }
        return s;
    }
    void reset_seq(uint16_t seq, bool received) {
        seq_state(seq) = shadow_seq{received, now, advances, 0, 0, g_generation};
    }
    bool started = false;
    uint16_t highest = 0;
    uint64_t advances = 0;
    int64_t now = 1'000'000;
    int64_t last_rtt = 0;  // as the tracker last saw it

    void packet(uint16_t seq, bool rtx);
    void timer(int64_t rtt);
};

void model::packet(uint16_t seq, bool rtx) {
    const nack_arrival a = tracker.on_packet(seq, now, rtx);
    shadow_seq &s = seq_state(seq);
    switch (a.kind) {
        case tessal::NACK_ARRIVAL_IN_ORDER:
        case tessal::NACK_ARRIVAL_AFTER_GAP: {
            const uint32_t gap = started ? static_cast<uint16_t>(seq - highest - 1) : 0u;
            check(a.gap == gap && (gap == 0) == (a.kind == tessal::NACK_ARRIVAL_IN_ORDER));
            for (uint16_t q = static_cast<uint16_t>(highest + 1); started && q != seq; ++q) {
                reset_seq(q, false);
            }
            reset_seq(seq, true);
            started = true;
            highest = seq;
            advances += rtx ? 0 : 1;
            break;
        }
        case tessal::NACK_ARRIVAL_REORDERED:
            check(!s.received && !rtx && s.requests == 0 && a.requests == 0);
            s.received = true;
            break;
        case tessal::NACK_ARRIVAL_RECOVERED:
            check(!s.received && a.requests == s.requests && (rtx || s.requests > 0));
            s.received = true;
            break;
        case tessal::NACK_ARRIVAL_RECOVERED_LATE:
            check(!s.received);
            s.received = true;
            break;
        case tessal::NACK_ARRIVAL_DUPLICATE:
            check(s.received);
            break;
        case tessal::NACK_ARRIVAL_RESTART:
            check(!rtx);
            ++g_generation;  // the tracker forgot the old numbering
            seq_state(static_cast<uint16_t>(seq - 1)).received = true;
            seq_state(seq).received = true;
            highest = seq;
            break;
        case tessal::NACK_ARRIVAL_TOO_OLD:
        case tessal::NACK_ARRIVAL_JUMP:
            break;
    }
    check(tracker.missing() <= tracker.config().max_missing);
}

void model::timer(int64_t rtt) {
    const tessal::nack_config &c = tracker.config();
    const int64_t next = tracker.next_deadline();
    tessal::nack_due out;
    tracker.due(now, rtt, out);
    if (now < next && rtt == last_rtt) {
        check(out.nack.empty() && out.given_up.empty());
    }
    last_rtt = rtt;
    const int64_t rtt_used = rtt <= 0 ? c.default_rtt_us : std::max(rtt, c.min_rtt_us);
    for (size_t i = 0; i < out.nack.size(); ++i) {
        shadow_seq &s = seq_state(out.nack[i]);
        check(!s.received);
        check(static_cast<uint16_t>(highest - out.nack[i]) <= c.max_jump);
        check(now < s.seen_us + c.max_wait_us && s.requests < c.max_requests);
        if (s.requests == 0) {
            check(now >= s.seen_us + c.reorder_delay_us ||
                  (c.reorder_packets > 0 && advances - s.advances >= c.reorder_packets));
        } else {
            check(now - s.last_request_us >= rtt_used);
        }
        ++s.requests;
        s.last_request_us = now;
        if (i > 0) {
            // Oldest first, in serial order.
            const auto step = static_cast<uint16_t>(out.nack[i] - out.nack[i - 1]);
            check(step >= 1 && step < nack_tracker::k_history);
        }
    }
    check(out.given_up.size() <= nack_tracker::k_history);
    check(tracker.missing() <= c.max_missing);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    input in{data, size};
    tessal::nack_config c;
    c.reorder_delay_us = in.byte() * 200;
    c.reorder_packets = in.byte() % 8u;
    c.max_missing = 1 + in.u16() % 2000u;
    c.max_requests = 1 + in.byte() % 12u;
    c.max_wait_us = (1 + in.byte()) * 8000;
    c.max_jump = 1 + in.u16() % 5000u;
    model m(c);
    while (in.left > 0) {
        const uint8_t op = in.byte();
        const bool rtx = (op & 4) != 0;
        const int param = op >> 3;
        switch (op & 3) {
            case 0:  // ahead, with a small gap
                m.now += in.byte() * 100;
                m.packet(static_cast<uint16_t>(m.highest + 1 + param % 8), rtx);
                break;
            case 1:  // behind: reordered, late or repeated
                m.now += in.byte() * 100;
                m.packet(static_cast<uint16_t>(m.highest - param), rtx);
                break;
            case 2:  // anywhere
                m.now += in.byte() * 100;
                m.packet(in.u16(), rtx);
                break;
            default:
                if (param == 31) {
                    m.tracker.set_max_wait(in.byte() * 8000);
                    break;
                }
                m.now += in.byte() * 2000;
                m.timer(rtx ? int64_t{param} * 4000 : 0);
                break;
        }
    }
    return 0;
}
