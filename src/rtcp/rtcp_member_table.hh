#pragma once

// The member and sender tables of RFC 3550 6.3: every SSRC heard in the
// session, whether or not it has a statistics record, with the times it was
// last heard. Bounded, so a flood of invented SSRCs cannot exhaust memory.
// Pure: times are passed in. The caller serialises access.

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace tessal {

// Sources beyond this many are not counted (about 100 KB of table).
constexpr size_t k_rtcp_member_capacity = 4096;

class rtcp_member_table {
public:
    explicit rtcp_member_table(size_t capacity = k_rtcp_member_capacity);

    // RFC 3550 6.3.3: a source heard at `now_ms` (any RTP or RTCP packet) is
    // a member; one heard by RTP (`rtp`) is a sender as well. False when
    // the source is new and the table full: it is then not counted.
    bool heard(uint32_t ssrc, uint64_t now_ms, bool rtp);
    // RFC 3550 6.3.4: a BYE removes the source. False when it was unknown.
    bool remove(uint32_t ssrc);
    bool contains(uint32_t ssrc) const { return entries_.count(ssrc) != 0; }
    // True when the source is known and silent for over `timeout_ms` at
    // `now_ms`.
    bool silent(uint32_t ssrc, uint64_t now_ms, uint64_t timeout_ms) const;
    // RFC 3550 6.3.5: senders without RTP for over `sender_timeout_ms`
    // become receivers; the members silent for over `member_timeout_ms` are
    // returned (the caller removes them).
    std::vector<uint32_t> expire(uint64_t now_ms, uint64_t sender_timeout_ms,
                                 uint64_t member_timeout_ms);
    size_t members() const { return entries_.size(); }
    size_t senders() const { return senders_; }
    void clear();

private:
    struct entry {
        uint64_t heard_ms = 0;
        uint64_t rtp_ms = 0;
        bool sender = false;
    };
    std::unordered_map<uint32_t, entry> entries_;
    size_t capacity_;
    size_t senders_ = 0;
};

}  // namespace tessal
