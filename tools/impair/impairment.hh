#pragma once

// The impairments of one direction of a simulated network path, as pure
// logic: a datagram and its arrival time in, zero or more (release time,
// bytes) out. Every decision comes from one seeded generator that draws the
// same number of values for every datagram, so one seed and one sequence of
// datagrams give the same decisions whatever the timing; only the rate
// limiter's queue depends on the arrival times.
//
// Order of the steps for each datagram:
//   independent loss -> Gilbert-Elliott loss -> rate limiter (tail drop)
//   -> bit corruption -> truncation -> delay + jitter -> reordering
//   -> duplication
//
// Thread contract: one thread at a time.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tessal_tools {

struct impairment_config {
    // Independent (Bernoulli) loss probability.
    double loss = 0;
    // Gilbert-Elliott bursty loss: each datagram first moves the chain, good
    // -> bad with probability ge_p and bad -> good with ge_r, then is lost
    // with the state's loss probability. Off while ge_p is 0.
    double ge_p = 0;
    double ge_r = 1;
    double ge_loss_good = 0;
    double ge_loss_bad = 1;
    // A fraction of the datagrams held back `reorder_delay_us` more than the
    // others, so that later ones overtake them.
    double reorder = 0;
    int64_t reorder_delay_us = 10000;
    // A fraction of the datagrams sent twice.
    double duplicate = 0;
    // Delay of every datagram, plus a uniform jitter in [0, jitter_us].
    int64_t delay_us = 0;
    int64_t jitter_us = 0;
    // A fraction of the datagrams with one bit flipped, and a fraction cut
    // to a uniformly chosen shorter length (0 .. length - 1).
    double corrupt = 0;
    double truncate = 0;
    // Link rate in bit/s (0: unlimited) behind a queue of `queue_bytes`;
    // a datagram that does not fit in the queue is dropped (tail drop).
    uint64_t rate_bps = 0;
    size_t queue_bytes = 64 * 1024;
};

struct impairment_counts {
    uint64_t received = 0;   // datagrams offered
    uint64_t forwarded = 0;  // copies released, duplicates included
    uint64_t lost_random = 0;
    uint64_t lost_burst = 0;
    uint64_t queue_dropped = 0;
    uint64_t corrupted = 0;
    uint64_t truncated = 0;
    uint64_t reordered = 0;
    uint64_t duplicated = 0;
    uint64_t delayed = 0;  // released later than they arrived
    uint64_t lost() const { return lost_random + lost_burst + queue_dropped; }
    impairment_counts &operator+=(const impairment_counts &o);
};

// One line "received N forwarded N lost-random N ..." for reports.
std::string format_counts(const impairment_counts &c);

// What happened to one datagram (for observers in tests and logs).
enum impairment_verdict : uint32_t {
    VERDICT_FORWARDED = 0,
    VERDICT_LOST_RANDOM = 1u << 0,
    VERDICT_LOST_BURST = 1u << 1,
    VERDICT_QUEUE_DROPPED = 1u << 2,
    VERDICT_CORRUPTED = 1u << 3,
    VERDICT_TRUNCATED = 1u << 4,
    VERDICT_REORDERED = 1u << 5,
    VERDICT_DUPLICATED = 1u << 6,
};
constexpr uint32_t k_verdict_lost =
    VERDICT_LOST_RANDOM | VERDICT_LOST_BURST | VERDICT_QUEUE_DROPPED;

struct impaired_datagram {
    int64_t release_us = 0;
    std::vector<uint8_t> bytes;
};

class impairment {
public:
    impairment(const impairment_config &config, uint64_t seed);

    // Applies the impairments to `data` arriving at `now_us` (any monotonic
    // microsecond clock) and appends what leaves, and when, to `out`.
    // Returns the verdict bits.
    uint32_t process(const uint8_t *data, size_t size, int64_t now_us,
                     std::vector<impaired_datagram> &out);

    const impairment_counts &counts() const { return counts_; }
    // A released copy that its holder could not keep after all: counted as
    // a queue drop instead of forwarded.
    void count_overflow() {
        ++counts_.queue_dropped;
        --counts_.forwarded;
    }
    const impairment_config &config() const { return config_; }

private:
    // A uniform double in [0, 1), the same on every platform.
    double uniform();
    uint64_t next();

    impairment_config config_;
    uint64_t state_;  // splitmix64
    bool ge_bad_ = false;
    int64_t link_free_us_ = 0;  // when the rate limiter's link is idle again
    impairment_counts counts_;
};

// Parses "--loss" style values: a fraction in [0, 1] ("0.01" or "1%").
bool parse_fraction(const char *text, double *out);

}  // namespace tessal_tools
