#include "impair/impairment.hh"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tessal_tools {

impairment_counts &impairment_counts::operator+=(const impairment_counts &o) {
    received += o.received;
    forwarded += o.forwarded;
    lost_random += o.lost_random;
    lost_burst += o.lost_burst;
    queue_dropped += o.queue_dropped;
    corrupted += o.corrupted;
    truncated += o.truncated;
    reordered += o.reordered;
    duplicated += o.duplicated;
    delayed += o.delayed;
    return *this;
}

std::string format_counts(const impairment_counts &c) {
    char line[512];
    std::snprintf(
        line, sizeof(line),
        "received %llu forwarded %llu lost-random %llu lost-burst %llu "
        "queue-dropped %llu corrupted %llu truncated %llu reordered %llu "
        "duplicated %llu delayed %llu",
        static_cast<unsigned long long>(c.received), static_cast<unsigned long long>(c.forwarded),
        static_cast<unsigned long long>(c.lost_random),
        static_cast<unsigned long long>(c.lost_burst),
        static_cast<unsigned long long>(c.queue_dropped),
        static_cast<unsigned long long>(c.corrupted), static_cast<unsigned long long>(c.truncated),
        static_cast<unsigned long long>(c.reordered), static_cast<unsigned long long>(c.duplicated),
        static_cast<unsigned long long>(c.delayed));
    return line;
}

impairment::impairment(const impairment_config &config, uint64_t seed)
    : config_(config), state_(seed) {}

uint64_t impairment::next() {
    // splitmix64: small, fast and defined bit for bit.
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double impairment::uniform() {
    return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0);
}

uint32_t impairment::process(const uint8_t *data, size_t size, int64_t now_us,
                             std::vector<impaired_datagram> &out) {
    // The same draws for every datagram, used or not, so that turning one
    // impairment on does not move the decisions of the others.
    const double u_loss = uniform();
    const double u_ge_move = uniform();
    const double u_ge_loss = uniform();
    const double u_corrupt = uniform();
    const uint64_t r_bit = next();
    const double u_truncate = uniform();
    const uint64_t r_length = next();
    const double u_jitter = uniform();
    const double u_reorder = uniform();
    const double u_duplicate = uniform();
    ++counts_.received;

    if (u_loss < config_.loss) {
        ++counts_.lost_random;
        return VERDICT_LOST_RANDOM;
    }
    if (config_.ge_p > 0) {
        ge_bad_ = ge_bad_ ? !(u_ge_move < config_.ge_r) : u_ge_move < config_.ge_p;
        if (u_ge_loss < (ge_bad_ ? config_.ge_loss_bad : config_.ge_loss_good)) {
            ++counts_.lost_burst;
            return VERDICT_LOST_BURST;
        }
    }
    int64_t depart_us = now_us;
    if (config_.rate_bps > 0) {
        const int64_t busy_us = std::max<int64_t>(0, link_free_us_ - now_us);
        const double backlog =
            static_cast<double>(busy_us) * static_cast<double>(config_.rate_bps) / 8e6;
        if (backlog + static_cast<double>(size) > static_cast<double>(config_.queue_bytes)) {
            ++counts_.queue_dropped;
            return VERDICT_QUEUE_DROPPED;
        }
        const auto tx_us = static_cast<int64_t>(static_cast<double>(size) * 8e6 /
                                                static_cast<double>(config_.rate_bps));
        link_free_us_ = std::max(now_us, link_free_us_) + tx_us;
        depart_us = link_free_us_;
    }
    uint32_t verdict = VERDICT_FORWARDED;
    impaired_datagram d;
    d.bytes.assign(data, data + size);
    if (u_corrupt < config_.corrupt && size > 0) {
        const uint64_t bit = r_bit % (static_cast<uint64_t>(size) * 8);
        d.bytes[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        ++counts_.corrupted;
        verdict |= VERDICT_CORRUPTED;
    }
    if (u_truncate < config_.truncate && size > 0) {
        d.bytes.resize(static_cast<size_t>(r_length % size));
        ++counts_.truncated;
        verdict |= VERDICT_TRUNCATED;
    }
    d.release_us = depart_us + config_.delay_us +
                   static_cast<int64_t>(u_jitter * static_cast<double>(config_.jitter_us + 1));
    if (u_reorder < config_.reorder) {
        d.release_us += config_.reorder_delay_us;
        ++counts_.reordered;
        verdict |= VERDICT_REORDERED;
    }
    if (d.release_us > now_us) {
        ++counts_.delayed;
    }
    if (u_duplicate < config_.duplicate) {
        out.push_back(d);
        ++counts_.forwarded;
        ++counts_.duplicated;
        verdict |= VERDICT_DUPLICATED;
    }
    out.push_back(std::move(d));
    ++counts_.forwarded;
    return verdict;
}

bool parse_fraction(const char *text, double *out) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    char *end = nullptr;
    double v = std::strtod(text, &end);
    if (end == text) {
        return false;
    }
    if (*end == '%') {
        v /= 100;
        ++end;
    }
    if (*end != '\0' || !(v >= 0 && v <= 1)) {
        return false;
    }
    *out = v;
    return true;
}

}  // namespace tessal_tools
