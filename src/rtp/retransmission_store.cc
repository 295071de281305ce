#include "rtp/retransmission_store.hh"

#include <algorithm>

#include "util/byte_reader.hh"

namespace tessal {

namespace {

constexpr size_t k_min_rtp_size = 12;
// Spare buffers kept for reuse: enough for a burst, not a second copy of
// the store.
constexpr size_t k_max_spare = 64;

}  // namespace

void retransmission_store::expire(int64_t now_us, size_t incoming) {
    while (!entries_.empty() && (now_us - entries_.front().sent_us > limits_.max_age_us ||
                                 bytes_ + incoming > limits_.max_bytes)) {
        entry &old = entries_.front();
        bytes_ -= old.bytes.size();
        if (spare_.size() < k_max_spare) {
            spare_.push_back(std::move(old.bytes));
        }
        entries_.pop_front();
    }
}

void retransmission_store::on_sent(const uint8_t *packet, size_t size, int64_t now_us) {
    const std::pair<size_t, uint8_t *> whole{size, const_cast<uint8_t *>(packet)};
    on_sent(&whole, packet != nullptr ? 1 : 0, now_us);
}

void retransmission_store::on_sent(const std::pair<size_t, uint8_t *> *pieces, size_t count,
                                   int64_t now_us) {
    size_t size = 0;
    for (size_t i = 0; i < count; ++i) {
        size += pieces[i].first;
    }
    // The sequence number from the first piece, which holds the header.
    if (count == 0 || pieces[0].first < 4 || size < k_min_rtp_size || size > limits_.max_bytes) {
        return;
    }
    const uint16_t seq = read_be16(pieces[0].second + 2);
    if (!entries_.empty() && seq != static_cast<uint16_t>(entries_.back().seq + 1)) {
        clear();
    }
    expire(now_us, size);
    entry e;
    e.seq = seq;
    e.sent_us = now_us;
    if (!spare_.empty()) {
        e.bytes = std::move(spare_.back());
        spare_.pop_back();
    }
    e.bytes.clear();
    for (size_t i = 0; i < count; ++i) {
        e.bytes.insert(e.bytes.end(), pieces[i].second, pieces[i].second + pieces[i].first);
    }
    bytes_ += size;
    entries_.push_back(std::move(e));
    // The media pays for its share of retransmissions; the unspent budget
    // never exceeds that share of what the store can hold.
    const double share = limits_.max_share_percent / 100.0;
    budget_ = std::min(budget_ + share * static_cast<double>(size),
                       share * static_cast<double>(limits_.max_bytes));
}

retransmission_verdict retransmission_store::request(uint16_t seq, int64_t now_us, int64_t rtt_us,
                                                     const uint8_t **packet, size_t *size) {
    expire(now_us, 0);
    if (entries_.empty()) {
        return retransmission_verdict::unknown;
    }
    const auto index = static_cast<uint16_t>(seq - entries_.front().seq);
    if (index >= entries_.size()) {
        return retransmission_verdict::unknown;
    }
    entry &e = entries_[index];
    if (e.resent_us != INT64_MIN && now_us - e.resent_us < rtt_us) {
        return retransmission_verdict::too_soon;
    }
    if (budget_ < static_cast<double>(e.bytes.size())) {
        return retransmission_verdict::over_cap;
    }
    budget_ -= static_cast<double>(e.bytes.size());
    e.resent_us = now_us;
    if (packet != nullptr) {
        *packet = e.bytes.data();
    }
    if (size != nullptr) {
        *size = e.bytes.size();
    }
    return retransmission_verdict::resend;
}

void retransmission_store::clear() noexcept {
    for (entry &e : entries_) {
        if (spare_.size() < k_max_spare) {
            spare_.push_back(std::move(e.bytes));
        }
    }
    entries_.clear();
    bytes_ = 0;
}

}  // namespace tessal
