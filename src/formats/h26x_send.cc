// The send side of the H.26x formats: start-code search, the NAL unit list of
// an Annex-B access unit, and the choice between an aggregation packet, single
// NAL unit packets and fragmentation units.

#include "formats/h26x.hh"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "util/byte_reader.hh"
#include "util/log.hh"

namespace tessal {
namespace formats {

namespace {

constexpr uint64_t k_ones64 = 0x0101010101010101ULL;
constexpr uint64_t k_highs64 = 0x8080808080808080ULL;
constexpr uint32_t k_ones32 = 0x01010101U;
constexpr uint32_t k_highs32 = 0x80808080U;

// Word loads at any alignment; the byte order does not matter to the tests.
uint64_t load64(const uint8_t *p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof(word));
    return word;
}

uint32_t load32(const uint8_t *p) {
    uint32_t word;
    std::memcpy(&word, p, sizeof(word));
    return word;
}

// Whether any byte of the word is zero: only a zero byte borrows into its own
// high bit while that bit was clear.
bool has_zero64(uint64_t word) {
    return ((word - k_ones64) & ~word & k_highs64) != 0;
}

bool has_zero32(uint32_t word) {
    return ((word - k_ones32) & ~word & k_highs32) != 0;
}

// A byte in front of `p`; bytes before `offset` count as non-zero.
uint8_t byte_before(const uint8_t *data, size_t offset, size_t p, size_t back) {
    return p >= offset + back ? data[p - back] : 0xFF;
}

// Whether the four bytes before `p` that lie at or after `offset` hold a zero.
bool zero_before(const uint8_t *data, size_t offset, size_t p) {
    if (p >= offset + 4) {
        return has_zero32(load32(data + p - 4));
    }
    for (size_t i = offset; i < p; ++i) {
        if (data[i] == 0) {
            return true;
        }
    }
    return false;
}

// The start code whose 01 falls in the window c0..c3 at `p`, tested together
// with the three bytes q1..q3 before it: the index after it, or -1.
int64_t match_window(const uint8_t *data, size_t offset, size_t p, uint8_t &start_code_len) {
    const uint8_t c0 = data[p];
    const uint8_t c1 = data[p + 1];
    const uint8_t c2 = data[p + 2];
    const uint8_t c3 = data[p + 3];
    const uint8_t q1 = byte_before(data, offset, p, 3);
    const uint8_t q2 = byte_before(data, offset, p, 2);
    const uint8_t q3 = byte_before(data, offset, p, 1);
    if (c0 == 1 && q2 == 0 && q3 == 0) {
        start_code_len = q1 == 0 ? 4 : 3;
        return static_cast<int64_t>(p + 1);
    }
    if (c0 != 0 && c1 == 0 && c2 == 0 && c3 == 1) {
        start_code_len = 3;
        return static_cast<int64_t>(p + 4);
    }
    if (c0 == 0 && c1 == 1 && q3 == 0) {
        start_code_len = q2 == 0 ? 4 : 3;
        return static_cast<int64_t>(p + 2);
    }
    if (c0 == 0 && c1 == 0 && c2 == 0 && c3 == 1) {
        start_code_len = 4;
        return static_cast<int64_t>(p + 4);
    }
    if (c0 == 0 && c1 == 0 && c2 == 1) {
        start_code_len = q3 == 0 ? 4 : 3;
        return static_cast<int64_t>(p + 3);
    }
    return -1;
}

// The start code whose 01 falls in the last bytes [p, len), fewer than a
// window: the index after it, or -1.
int64_t match_tail(const uint8_t *data, size_t len, size_t offset, size_t p,
                   uint8_t &start_code_len) {
    for (; p < len; ++p) {
        if (data[p] == 1 && byte_before(data, offset, p, 1) == 0 &&
            byte_before(data, offset, p, 2) == 0) {
            start_code_len = byte_before(data, offset, p, 3) == 0 ? 4 : 3;
            return static_cast<int64_t>(p + 1);
        }
    }
    return -1;
}

}  // namespace

// The window c0..c3 at `p` is tested together with the three bytes q1..q3
// before it, so a 00 00 01 is found whichever of the four positions its 01
// takes; with a step of 4 the windows tile the buffer. The fewer than 4
// bytes after the last window (the rest of (len - offset) / 4 at step 4, or
// what an 8-byte skip left at step 1) are read one at a time.
int64_t find_h26x_start_code(const uint8_t *data, size_t len, size_t offset,
                             uint8_t &start_code_len, uint8_t scan_step) {
    if (data == nullptr || len == 0 || len < offset) {
        LOG_WARN("Invalid parameter found for start code lookup");
        return -1;
    }
    // Windows are 4 bytes wide: a longer step would leave bytes unread.
    const size_t step = std::min<size_t>(std::max<size_t>(scan_step, 1), 4);
    size_t p = offset;
    bool zero = false;  // outcome of the latest zero-byte test
    for (;;) {
        if (len - p < 4) {
            return match_tail(data, len, offset, p, start_code_len);
        }
        if (!zero && !zero_before(data, offset, p)) {
            while (len - p >= 8) {
                zero = has_zero64(load64(data + p));
                if (zero) {
                    break;
                }
                p += 8;
            }
            if (len - p < 4) {
                return match_tail(data, len, offset, p, start_code_len);
            }
        }
        zero = has_zero32(load32(data + p));
        // Every rule needs a zero in the window or right before it.
        if (zero || byte_before(data, offset, p, 1) == 0) {
            const int64_t found = match_window(data, offset, p, start_code_len);
            if (found >= 0) {
                return found;
            }
        }
        p += step;
    }
}

h26x::h26x(std::shared_ptr<datagram_sink> sink, std::shared_ptr<rtp> rtp_ctx, int rce_flags)
    : media(std::move(sink), std::move(rtp_ctx), rce_flags), last_gc_time_(clock::hrc::now()) {
    // An access unit spans one transaction per NAL unit; the push places the
    // marker itself.
    fqueue_->set_auto_marker(false);
}

h26x::~h26x() {
    while (!ready_frames_.empty()) {
        frame::dealloc_frame(ready_frames_.front());
        ready_frames_.pop_front();
    }
    fu_fragments_.for_each([](fragment_ring::slot &s) {
        frame::dealloc_frame(s.frame);
        s.frame = nullptr;
    });
}

void h26x::scl(uint8_t *data, size_t data_len, size_t payload_size, std::vector<nal_info> &nals,
               bool &should_aggregate) {
    should_aggregate = false;
    nals.clear();
    const uint8_t step = get_start_code_range();
    uint8_t start_len = 0;
    int64_t found = find_h26x_start_code(data, data_len, 0, start_len, step);
    while (found >= 0) {
        nal_info nal;
        nal.nal_offset = static_cast<uint64_t>(found);
        nal.start_code_len = start_len;
        nals.push_back(nal);
        found = find_h26x_start_code(data, data_len, static_cast<size_t>(found), start_len, step);
    }
    for (size_t i = 0; i < nals.size(); ++i) {
        const uint64_t end = i + 1 < nals.size()
                                 ? nals[i + 1].nal_offset - nals[i + 1].start_code_len
                                 : static_cast<uint64_t>(data_len);
        nals[i].nal_len = end - nals[i].nal_offset;
    }
    // Back-to-back or trailing start codes delimit nothing: an empty unit
    // cannot be sent and has no NAL header to read.
    nals.erase(std::remove_if(nals.begin(), nals.end(),
                              [](const nal_info &nal) { return nal.nal_len == 0; }),
               nals.end());

    // Each aggregated unit costs its length plus a 2-byte size field
    // (RFC 6184 section 5.7.1, RFC 7798 section 4.4.2).
    const size_t header = get_payload_header_size();
    if (payload_size <= header) {
        return;
    }
    const uint64_t budget = payload_size - header;
    uint64_t total = 0;
    size_t candidates = 0;
    for (nal_info &nal : nals) {
        if (nal.nal_len + 2 <= budget - total) {
            nal.aggregate_candidate = true;
            total += nal.nal_len + 2;
            ++candidates;
        }
    }
    should_aggregate = candidates >= 2;
}

RTP_ERROR h26x::single_nal_unit(uint8_t *data, size_t data_len) {
    const RTP_ERROR rc = fqueue_->enqueue_message(data, data_len);
    if (rc != RTP_SUCCESS) {
        LOG_ERROR("Failed to enqueue single h26x NAL Unit packet!");
    }
    return rc;
}

void h26x::initialize_fu_headers(uint8_t nal_type, uint8_t *fu_headers) {
    fu_headers[0] = static_cast<uint8_t>(0x80 | nal_type);  // S
    fu_headers[1] = nal_type;
    fu_headers[2] = static_cast<uint8_t>(0x40 | nal_type);  // E
}

RTP_ERROR aggregation_packet::enqueue(frame_queue &queue, const uint8_t *header, size_t header_len,
                                      size_t max_size, const char *too_large,
                                      const char *enqueue_failed) {
    std::memcpy(header_, header, header_len);
    buffers_.emplace_back(header_len, header_);
    // The size fields are pointed at by the buffer list: sized once, never
    // moved until the flush.
    sizes_.resize(nalus_.size());
    for (size_t i = 0; i < nalus_.size(); ++i) {
        const auto &unit = nalus_[i];
        if (unit.first > max_size) {
            LOG_ERROR_AS("finalize_aggregation_pkt", "%s", too_large);
            continue;
        }
        write_be16(sizes_[i].data(), static_cast<uint16_t>(unit.first));
        buffers_.emplace_back(2, sizes_[i].data());
        buffers_.emplace_back(unit.first, unit.second);
    }
    const RTP_ERROR rc = queue.enqueue_message(buffers_);
    if (rc != RTP_SUCCESS) {
        LOG_ERROR_AS("finalize_aggregation_pkt", "%s", enqueue_failed);
    }
    return rc;
}

void aggregation_packet::clear() {
    nalus_.clear();
    sizes_.clear();
    buffers_.clear();
}

// The codecs' FU division once their payload header and FU headers are in
// `headers` (FU headers at `fu_headers`): the three pieces, then the FU loop.
RTP_ERROR h26x::divide_into_fus(uint8_t *data, size_t data_len, size_t payload_size,
                                uint8_t *headers, uint8_t *fu_headers) {
    buffer_vector &buffers = fqueue_->get_buffer_vector();
    buffers.emplace_back(get_payload_header_size(), headers);
    buffers.emplace_back(get_fu_header_size(), fu_headers);
    buffers.emplace_back(payload_size, nullptr);
    return divide_frame_to_fus(data, data_len, payload_size, buffers, fu_headers);
}

// The transaction's FU header buffer after the size checks; null (with the
// reason in `rc`) when FU division cannot proceed.
uint8_t *h26x::fu_header_buffer(size_t data_len, size_t payload_size, RTP_ERROR &rc) {
    rc = check_fu_division(data_len, payload_size);
    if (rc != RTP_SUCCESS) {
        return nullptr;
    }
    uint8_t *headers = fqueue_->get_media_headers();
    if (headers == nullptr) {
        LOG_ERROR_AS("fu_division", "No FU header buffer in the transaction");
        rc = RTP_UNINITIALIZED;
    }
    return headers;
}

RTP_ERROR h26x::check_fu_division(size_t data_len, size_t payload_size) const {
    if (data_len <= payload_size) {
        LOG_ERROR_AS("divide_frame_to_fus",
                     "Cannot use FU division for packets smaller than payload size");
        return RTP_FAILED;
    }
    // Without room for one byte of data the FU loop would never end.
    if (payload_size <= size_t{get_payload_header_size()} + get_fu_header_size()) {
        LOG_ERROR_AS("divide_frame_to_fus", "Payload size %zu leaves no room for FU data",
                     payload_size);
        return RTP_BAD_ARGUMENT;
    }
    return RTP_SUCCESS;
}

//   +-------------+-----------+----------------------------+
//   | RTP header  | payload   | FU header | fragment        |
//   | (12 bytes)  | header    | (1 byte)  | (<= f bytes)    |
//   +-------------+-----------+----------------------------+
// The NAL header itself is not carried: the receiver rebuilds it from the
// payload header and the FU header.
RTP_ERROR h26x::divide_frame_to_fus(uint8_t *data, size_t &data_len, size_t payload_size,
                                    buffer_vector &buffers, uint8_t *fu_headers) {
    RTP_ERROR rc = check_fu_division(data_len, payload_size);
    if (rc != RTP_SUCCESS) {
        return rc;
    }
    if (buffers.size() < 3) {
        LOG_ERROR("FU division needs the payload header, FU header and data pieces");
        return RTP_BAD_ARGUMENT;
    }
    const size_t fragment = payload_size - get_payload_header_size() - size_t{get_fu_header_size()};
    data_len -= get_nal_header_size();
    size_t pos = get_nal_header_size();

    while (data_len > fragment) {
        buffers[2] = {fragment, data + pos};
        rc = fqueue_->enqueue_message(buffers);
        if (rc != RTP_SUCCESS) {
            LOG_ERROR("Queueing the FU packet failed!");
            return rc;
        }
        data_len -= fragment;
        pos += fragment;
        buffers[1].second = &fu_headers[1];
    }
    buffers[1].second = &fu_headers[2];
    buffers[2] = {data_len, data + pos};
    rc = fqueue_->enqueue_message(buffers);
    if (rc != RTP_SUCCESS) {
        LOG_ERROR("Failed to send the last fragment of an H26x frame!");
        return rc;
    }
    return RTP_SUCCESS;
}

RTP_ERROR h26x::add_aggregate_packet(uint8_t *data, size_t data_len) {
    return single_nal_unit(data, data_len);
}

RTP_ERROR h26x::finalize_aggregation_pkt() {
    return RTP_SUCCESS;
}

void h26x::clear_aggregation_info() {}

RTP_ERROR h26x::push_media_frame(sockaddr_in &addr, sockaddr_in6 &addr6, uint8_t *data,
                                 size_t data_len, int rtp_flags, uint32_t ssrc) {
    if (data == nullptr || data_len == 0) {
        return RTP_BAD_ARGUMENT;
    }
    RTP_ERROR rc = fqueue_->init_transaction(data, false);
    if (rc != RTP_SUCCESS) {
        LOG_ERROR("Invalid frame queue or failed to initialize transaction!");
        return rc;
    }
    try {
        return push_nal_units(addr, addr6, data, data_len, rtp_flags, ssrc);
    } catch (const std::bad_alloc &) {
        clear_aggregation_info();
        fqueue_->deinit_transaction();
        LOG_ERROR("Out of memory");
        return RTP_ALLOC_FAILED;
    }
}

// RFC 6184 section 5.1, RFC 7798 section 4.1, RFC 9328 section 4.1: all
// packets of an access unit carry its timestamp, and the marker goes on the
// last packet of the access unit only.
RTP_ERROR h26x::push_nal_units(sockaddr_in &addr, sockaddr_in6 &addr6, uint8_t *data,
                               size_t data_len, int rtp_flags, uint32_t ssrc) {
    const size_t payload_size = rtp_ctx_->get_payload_size();
    // Reused from push to push (pushes on one stream never overlap).
    std::vector<nal_info> &nals = nal_scratch_;
    nals.clear();
    bool should_aggregate = false;
    if ((rtp_flags & RTP_PUSH_ONE_NAL) || rtp_ctx_->get_payload() == FMT_V3C) {
        nal_info whole;
        whole.nal_len = data_len;
        nals.push_back(whole);
    } else {
        scl(data, data_len, payload_size, nals, should_aggregate);
    }
    if (nals.empty()) {
        LOG_ERROR_AS("push_media_frame", "Did not find any NAL units in frame. Cannot send.");
        return RTP_BAD_ARGUMENT;
    }

    RTP_ERROR result = RTP_SUCCESS;
    if (should_aggregate && !(rtp_flags & RTP_PUSH_NO_AGGREGATION)) {
        const RTP_ERROR rc = send_aggregate(addr, addr6, data, nals, ssrc, result);
        if (rc != RTP_SUCCESS) {
            return rc;
        }
    }

    // The last unit that did not go out aggregated ends the access unit.
    size_t last = nals.size();
    for (size_t i = 0; i < nals.size(); ++i) {
        if (!nals[i].sent_in_aggregate) {
            last = i;
        }
    }
    for (size_t i = 0; i < nals.size(); ++i) {
        if (nals[i].sent_in_aggregate) {
            continue;
        }
        const RTP_ERROR rc =
            enqueue_nal_unit(data + nals[i].nal_offset, static_cast<size_t>(nals[i].nal_len),
                             payload_size, i == last);
        if (rc != RTP_SUCCESS) {
            return rc;
        }
        // Sending goes on after a failed flush, but the push reports the
        // first failure: a later success must not hide lost NAL units.
        const RTP_ERROR flushed = fqueue_->flush_queue(addr, addr6, ssrc);
        if (result == RTP_SUCCESS) {
            result = flushed;
        }
    }
    return result;
}

// One transaction (same timestamp) holding `unit` whole or as FUs, its last
// packet marked when it ends the access unit. A failure closes it unsent.
RTP_ERROR h26x::enqueue_nal_unit(uint8_t *unit, size_t unit_len, size_t payload_size,
                                 bool ends_access_unit) {
    RTP_ERROR rc = fqueue_->init_transaction(unit, true);
    if (rc != RTP_SUCCESS) {
        LOG_ERROR_AS("push_media_frame",
                     "Invalid frame queue or failed to initialize transaction!");
        return rc;
    }
    rc = unit_len <= payload_size ? single_nal_unit(unit, unit_len)
                                  : fu_division(unit, unit_len, payload_size);
    if (rc == RTP_SUCCESS && ends_access_unit) {
        rc = fqueue_->mark_last_packet();
    }
    if (rc != RTP_SUCCESS) {
        clear_aggregation_info();
        fqueue_->deinit_transaction();
    }
    return rc;
}

// Sends the leading run of aggregation candidates as one packet in the open
// transaction. `result` takes the flush result. A run the codec refuses to
// aggregate (fewer than two units) is left for the single-unit path.
RTP_ERROR h26x::send_aggregate(sockaddr_in &addr, sockaddr_in6 &addr6, uint8_t *data,
                               std::vector<nal_info> &nals, uint32_t ssrc, RTP_ERROR &result) {
    size_t run = 0;
    for (; run < nals.size() && nals[run].aggregate_candidate; ++run) {
        nals[run].sent_in_aggregate = true;
        const RTP_ERROR rc = add_aggregate_packet(data + nals[run].nal_offset,
                                                  static_cast<size_t>(nals[run].nal_len));
        if (rc != RTP_SUCCESS) {
            clear_aggregation_info();
            fqueue_->deinit_transaction();
            return rc;
        }
    }
    const RTP_ERROR finalized = finalize_aggregation_pkt();
    if (finalized != RTP_SUCCESS) {
        // A run of one unit makes no aggregation packet: the transaction is
        // empty, and flushing it would only log an error for every such
        // access unit. Its units go out individually; the timestamp drawn
        // for this transaction is reused by theirs.
        fqueue_->deinit_transaction();
        clear_aggregation_info();
        for (size_t i = 0; i < run; ++i) {
            nals[i].sent_in_aggregate = false;
        }
        return RTP_SUCCESS;
    }
    if (run == nals.size()) {
        fqueue_->mark_last_packet();
    }
    result = fqueue_->flush_queue(addr, addr6, ssrc);
    clear_aggregation_info();
    return RTP_SUCCESS;
}

}  // namespace formats
}  // namespace tessal
