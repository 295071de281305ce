// Reception of compound RTCP packets (RFC 3550 section 6.4 to 6.6). Every
// field is read only after the packet's bounds were checked to hold it.

#include <algorithm>
#include <cstring>

#include "rtcp/rtcp_internal.hh"
#include "security/srtcp.hh"
#include "util/byte_reader.hh"

namespace tessal {

namespace {

template <typename T, typename D>
void deliver(rtcp_hook_slot<T> &slot, std::unique_ptr<T, D> record,
             std::unique_ptr<T, D> &pending) {
    std::lock_guard<std::mutex> guard(slot.lock);
    if (slot.pointer != nullptr) {
        slot.pointer(record.release());
    } else if (slot.shared) {
        slot.shared(std::shared_ptr<T>(record.release(), D()));
    } else if (slot.unique) {
        slot.unique(std::unique_ptr<T>(record.release()));
    } else {
        pending = std::move(record);  // the older record is released
    }
}

bool fits(size_t offset, size_t needed, size_t end) {
    return offset <= end && end - offset >= needed;
}

RTP_ERROR too_short(const char *what, size_t size) {
    LOG_ERROR_AS("handle_incoming_packet",
                 "Received %s packet too short for its fixed part (%zu B)", what, size);
    return RTP_BAD_ARGUMENT;
}

}  // namespace

RTP_ERROR rtcp_internal::incoming_packet_handler(void *arg, int, uint8_t *buffer, size_t size,
                                                 frame::rtp_frame **) {
    auto *self = static_cast<rtcp_internal *>(arg);
    return self == nullptr ? RTP_BAD_ARGUMENT : self->handle_incoming_packet(buffer, size);
}

RTP_ERROR rtcp_internal::handle_incoming_packet(uint8_t *buffer, size_t size) {
    if (buffer == nullptr || size == 0) {
        return RTP_BAD_ARGUMENT;
    }
    if (!active_.load() && !leaving_.load()) {
        return RTP_SUCCESS;
    }
    const uint32_t first_ssrc = size >= 8 ? read_be32(buffer + 4) : 0;
    if (size >= 8 && first_ssrc == local_ssrc_->load()) {
        // RFC 3550 section 8.2: our own report looped back (multicast), or
        // another participant's with our SSRC (the RTP side resolves that).
        // Never a participant, never reported on, no state moves (SRTCP's
        // replay window included).
        dropped_own_.fetch_add(1);
        return RTP_SUCCESS;
    }
    size_t parsed = size;
    // Nothing of the RTCP state moves before the datagram authenticated and
    // proved a valid compound packet: junk must not stretch the interval.
    RTP_ERROR r = authenticate(buffer, size, parsed);
    if (r != RTP_SUCCESS) {
        // Too short for a trailer is malformed; anything else failed SRTCP.
        (r == RTP_BAD_ARGUMENT ? dropped_invalid_ : dropped_unauthenticated_).fetch_add(1);
        return r;
    }
    r = check_compound(buffer, parsed);
    if (r != RTP_SUCCESS) {
        dropped_invalid_.fetch_add(1);
        return r;
    }
    if (leaving_.load()) {
        count_leaving_bye(buffer, parsed, size);
        return RTP_SUCCESS;
    }
    // RFC 3550 6.3.3: avg_rtcp_size moves with every valid compound received.
    update_avg_rtcp_size(size);
    size_t offset = 0;
    for (int number = 1; offset < parsed; ++number) {
        frame::rtcp_header header{};
        size_t at = offset;
        read_rtcp_header(buffer, at, header);
        const size_t packet_size = rtcp_length_in_bytes(header.length);
        size_t end = offset + packet_size;
        if (header.padding) {
            end -= buffer[end - 1];  // checked by check_compound
        }
        r = process_one_packet(buffer, at, end, header, first_ssrc);
        if (r != RTP_SUCCESS) {
            return r;
        }
        offset += packet_size;
        if (offset == parsed && number == 1) {
            LOG_WARN_LIMITED(parse_warning_, "Received RTCP packet was not a compound packet!");
        }
    }
    return RTP_SUCCESS;
}

RTP_ERROR rtcp_internal::authenticate(uint8_t *buffer, size_t size, size_t &parsed) {
    parsed = size;
    if (!(rce_flags_ & RCE_SRTP)) {
        return RTP_SUCCESS;
    }
    const uint32_t first_ssrc = size >= 8 ? read_be32(buffer + 4) : 0;
    std::lock_guard<std::mutex> guard(srtcp_lock_);
    const size_t trailer = srtcp_ ? srtcp_->trailer_size() : get_security_overhead_size(rce_flags_);
    if (size < trailer + k_rtcp_rr_fixed_size) {
        LOG_ERROR("SRTCP packet of %zu bytes cannot hold its trailer", size);
        return RTP_BAD_ARGUMENT;
    }
    // Never accepted in clear: without keys there is nothing to verify with.
    const RTP_ERROR r = srtcp_
                            ? srtcp_->handle_rtcp_decryption(rce_flags_, first_ssrc, buffer, size)
                            : RTP_AUTH_FAILED;
    if (r != RTP_SUCCESS) {
        LOG_WARN_LIMITED(srtcp_warning_, "Dropped an RTCP packet that failed SRTCP");
        return r;
    }
    parsed = size - trailer;
    return RTP_SUCCESS;
}

RTP_ERROR rtcp_internal::check_compound(const uint8_t *buffer, size_t parsed) {
    const rtcp_compound_check c = check_rtcp_compound(buffer, parsed);
    switch (c.fault) {
        case RTCP_COMPOUND_VALID:
            return RTP_SUCCESS;
        case RTCP_COMPOUND_SHORT_HEADER:
            LOG_ERROR("Didn't get enough data for an rtcp header. Packet # %i Got data: %lli",
                      c.packet, static_cast<long long>(c.remaining));
            return RTP_BAD_ARGUMENT;
        case RTCP_COMPOUND_BAD_VERSION:
            LOG_ERROR("Packet # %i has invalid header version %u", c.packet,
                      unsigned{c.header.version});
            return RTP_BAD_ARGUMENT;
        case RTCP_COMPOUND_PARTIAL:
            LOG_ERROR("Received a partial RTCP packet, not supported!");
            return RTP_UNSUPPORTED;
        case RTCP_COMPOUND_BAD_PADDING:
            LOG_ERROR("Cannot handle padded packets!");
            return RTP_BAD_ARGUMENT;
        case RTCP_COMPOUND_SHORT_PACKET:
            break;
    }
    const char *what = c.header.packet_type == frame::RTCP_FRAME_SR     ? "SR"
                       : c.header.packet_type == frame::RTCP_FRAME_RR   ? "RR"
                       : c.header.packet_type == frame::RTCP_FRAME_SDES ? "SDES"
                       : c.header.packet_type == frame::RTCP_FRAME_BYE  ? "BYE"
                                                                        : "APP";
    return too_short(what, c.unpadded);
}

void rtcp_internal::count_leaving_bye(const uint8_t *buffer, size_t parsed, size_t size) {
    // RFC 3550 6.3.7: while a BYE waits, each BYE packet received counts
    // as a member, whether or not its source was one, and only compounds
    // with a BYE move the average size.
    int byes = 0;
    for (size_t offset = 0; offset < parsed;) {
        frame::rtcp_header header{};
        size_t at = offset;
        read_rtcp_header(buffer, at, header);
        byes += header.packet_type == frame::RTCP_FRAME_BYE ? 1 : 0;
        offset += rtcp_length_in_bytes(header.length);
    }
    if (byes > 0) {
        leaving_members_.fetch_add(byes);
        update_avg_rtcp_size(size);
    }
}

RTP_ERROR rtcp_internal::process_one_packet(const uint8_t *buffer, size_t offset, size_t end,
                                            const frame::rtcp_header &header, uint32_t first_ssrc) {
    std::lock_guard<std::mutex> table(table_lock_);
    if (!active_.load()) {
        return RTP_SUCCESS;
    }
    RTP_ERROR r = RTP_SUCCESS;
    switch (header.packet_type) {
        case frame::RTCP_FRAME_SR:
            r = handle_sender_report_packet(buffer, offset, end, header);
            break;
        case frame::RTCP_FRAME_RR:
            r = handle_receiver_report_packet(buffer, offset, end, header);
            break;
        case frame::RTCP_FRAME_SDES:
            r = handle_sdes_packet(buffer, offset, end, header, first_ssrc);
            if (r != RTP_SUCCESS && r != RTP_BAD_ARGUMENT) {
                LOG_WARN("Error parsing RTCP packet");
            }
            break;
        case frame::RTCP_FRAME_BYE:
            r = handle_bye_packet(buffer, offset, end, header);
            break;
        case frame::RTCP_FRAME_APP:
            r = handle_app_packet(buffer, offset, end, header);
            break;
        case k_rtcp_rtpfb:
        case k_rtcp_psfb:
            // The whole packet as its length field gives it (the compound
            // check made sure it is inside the datagram): the parser reads
            // the padding itself.
            handle_feedback_packet(buffer + offset - k_rtcp_header_size,
                                   rtcp_length_in_bytes(header.length), header);
            break;
        default:
            // RFC 3550 6.1: packet types we do not know are skipped by their
            // length (XR, ...).
            if (!warned_types_[header.packet_type]) {
                warned_types_[header.packet_type] = true;
                LOG_WARN("Skipping RTCP packets of unsupported type %u",
                         unsigned{header.packet_type});
            }
            break;
    }
    // RFC 3550 6.3.3, 6.3.5: the sender of a valid RTCP packet is a member,
    // kept alive by it; a BYE took its sender out already.
    if (r == RTP_SUCCESS && header.packet_type != frame::RTCP_FRAME_BYE) {
        heard(first_ssrc, false);
    }
    return r;
}

rtcp_participant *rtcp_internal::participant_for_report(uint32_t ssrc, const char *what) {
    rtcp_participant *p = find_participant(ssrc);
    if (p == nullptr) {
        LOG_INFO("Got %s from a previously unknown participant SSRC %lu", what,
                 static_cast<unsigned long>(ssrc));
        if (add_participant(ssrc) == RTP_SUCCESS) {
            p = find_participant(ssrc);
        }
    }
    return p;
}

RTP_ERROR rtcp_internal::handle_sender_report_packet(const uint8_t *buffer, size_t &offset,
                                                     size_t end, const frame::rtcp_header &header) {
    if (!fits(offset - k_rtcp_header_size, k_rtcp_sr_fixed_size, end)) {
        return too_short("SR", end + k_rtcp_header_size - offset);
    }
    std::unique_ptr<frame::rtcp_sender_report> sr(new frame::rtcp_sender_report{});
    sr->header = header;
    read_ssrc(buffer, offset, sr->sender_ssrc);
    frame::rtcp_sender_info &info = sr->info;
    read_ssrc(buffer, offset, info.ntp_seconds);
    read_ssrc(buffer, offset, info.ntp_fraction);
    read_ssrc(buffer, offset, info.rtp_timestamp);
    read_ssrc(buffer, offset, info.packet_count);
    read_ssrc(buffer, offset, info.octet_count);
    read_reports(buffer, offset, end, header.count, sr->sender_ssrc, sr->reports);
    rtcp_participant *p = participant_for_report(sr->sender_ssrc, "an SR");
    if (p == nullptr) {
        return RTP_SUCCESS;  // refused: no record kept
    }
    p->stats.lsr_arrival = now_();
    p->stats.lsr = (info.ntp_seconds << 16) | (info.ntp_fraction >> 16);
    deliver(sr_hooks_, std::move(sr), p->pending_sr);
    return RTP_SUCCESS;
}

RTP_ERROR rtcp_internal::handle_receiver_report_packet(const uint8_t *buffer, size_t &offset,
                                                       size_t end,
                                                       const frame::rtcp_header &header) {
    if (!fits(offset - k_rtcp_header_size, k_rtcp_rr_fixed_size, end)) {
        return too_short("RR", end + k_rtcp_header_size - offset);
    }
    std::unique_ptr<frame::rtcp_receiver_report> rr(new frame::rtcp_receiver_report{});
    rr->header = header;
    read_ssrc(buffer, offset, rr->sender_ssrc);
    read_reports(buffer, offset, end, header.count, rr->sender_ssrc, rr->reports);
    rtcp_participant *p = participant_for_report(rr->sender_ssrc, "an RR");
    if (p != nullptr) {
        deliver(rr_hooks_, std::move(rr), p->pending_rr);
    }
    return RTP_SUCCESS;
}

void rtcp_internal::read_reports(const uint8_t *buffer, size_t &offset, size_t end, uint8_t count,
                                 uint32_t reporter_ssrc,
                                 std::vector<frame::rtcp_report_block> &out) {
    for (int i = 0; i < count; ++i) {
        if (!fits(offset, k_rtcp_report_block_size, end)) {
            LOG_WARN_LIMITED(parse_warning_,
                             "Received rtcp packet is smaller than the indicated number of "
                             "reports!Read: %i/%i, Read ptr: %i, Packet End:",
                             i, int{count}, static_cast<int>(offset));
            continue;
        }
        frame::rtcp_report_block b{};
        const uint8_t *p = buffer + offset;
        b.source_ssrc = read_be32(p);
        b.fraction_lost = p[4];
        b.cumulative_lost =
            static_cast<int32_t>((uint32_t{p[5]} << 16) | (uint32_t{p[6]} << 8) | p[7]);
        b.highest_seq = read_be32(p + 8);
        b.jitter = read_be32(p + 12);
        b.last_sr = read_be32(p + 16);
        b.delay_since_last_sr = read_be32(p + 20);
        offset += k_rtcp_report_block_size;
        out.push_back(b);

        if (b.source_ssrc != local_ssrc_->load() || sr_sent_.count(reporter_ssrc) == 0) {
            continue;
        }
        if (b.last_sr == 0 && b.delay_since_last_sr == 0) {
            LOG_WARN("Received RTCP report without LSR or DLSR, cannot calculate RTT");
            continue;
        }
        // RFC 3550 6.4.1: RTT = A - LSR - DLSR in units of 1/65536 s. On a
        // fast path the peer's rounded DLSR can exceed A - LSR by a little:
        // read the difference as signed and take a negative one as zero
        // rather than as a wrap-around of 18 hours.
        const uint32_t a = ntp_middle_32(now_());
        const auto units = static_cast<int32_t>(a - b.last_sr - b.delay_since_last_sr);
        const double rtt = static_cast<double>(std::max<int32_t>(units, 0)) / 65536.0 * 1000.0;
        round_trip_us_.store(static_cast<int64_t>(rtt * 1000.0));
        std::lock_guard<std::mutex> guard(rtt_lock_);
        if (rtt_hook_) {
            rtt_hook_(local_ssrc_->load(), reporter_ssrc, rtt);
        }
    }
}

RTP_ERROR rtcp_internal::handle_sdes_packet(const uint8_t *buffer, size_t &offset, size_t end,
                                            const frame::rtcp_header &header, uint32_t first_ssrc) {
    sdes_ptr sdes(new frame::rtcp_sdes_packet{});
    sdes->header = header;
    while (sdes->chunks.size() < header.count) {
        if (!fits(offset, 4, end)) {
            return too_short("SDES", end + k_rtcp_header_size - offset);
        }
        frame::rtcp_sdes_chunk chunk{read_be32(buffer + offset), {}};
        offset += 4;
        sdes->chunks.push_back(chunk);
        frame::rtcp_sdes_chunk &c = sdes->chunks.back();
        while (fits(offset, 2, end) && buffer[offset] != 0) {
            const uint8_t type = buffer[offset];
            const uint8_t length = buffer[offset + 1];
            offset += 2;
            if (!fits(offset, length, end)) {
                LOG_WARN("Received rtcp packet is smaller than indicated item length in SDES");
                return RTP_FAILED;
            }
            uint8_t *data = nullptr;
            if (length > 0) {
                data = new uint8_t[length];
                std::memcpy(data, buffer + offset, length);
            }
            c.items.push_back(frame::rtcp_sdes_item{type, length, data});
            offset += length;
        }
        if (offset < end && buffer[offset] == 0) {
            offset = (offset + 4) & ~size_t{3};  // the end byte, then to 32 bits
        }
    }
    rtcp_participant *p = participant_for_report(first_ssrc, "an SDES packet");
    if (p != nullptr) {
        deliver(sdes_hooks_, std::move(sdes), p->pending_sdes);
    }
    return RTP_SUCCESS;
}

RTP_ERROR rtcp_internal::handle_bye_packet(const uint8_t *buffer, size_t &offset, size_t end,
                                           const frame::rtcp_header &header) {
    if (!fits(offset, size_t{header.count} * 4, end)) {
        return too_short("BYE", end + k_rtcp_header_size - offset);
    }
    for (int i = 0; i < header.count; ++i) {
        uint32_t ssrc = 0;
        read_ssrc(buffer, offset, ssrc);
        const bool had_statistics = participants_.count(ssrc) != 0;
        const bool was_member = members_.contains(ssrc);
        forget(ssrc);
        if (!had_statistics && !was_member) {
            LOG_WARN("Participant %lu is not part of this group!",
                     static_cast<unsigned long>(ssrc));
        }
    }
    members_left();  // RFC 3550 6.3.4: reverse reconsideration
    return RTP_SUCCESS;
}

RTP_ERROR rtcp_internal::handle_app_packet(const uint8_t *buffer, size_t &offset, size_t end,
                                           const frame::rtcp_header &header) {
    if (!fits(offset - k_rtcp_header_size, k_rtcp_app_fixed_size, end)) {
        return too_short("APP", end + k_rtcp_header_size - offset);
    }
    app_ptr app(new frame::rtcp_app_packet{});
    app->header = header;
    read_ssrc(buffer, offset, app->sender_ssrc);
    std::memcpy(app->app_name, buffer + offset, 4);
    offset += 4;
    app->payload_length = end - offset;
    if (app->payload_length > 0) {
        app->payload = new uint8_t[app->payload_length];
        std::memcpy(app->payload, buffer + offset, app->payload_length);
    }
    rtcp_participant *p = find_participant(app->sender_ssrc);
    if (p == nullptr) {
        LOG_WARN("Got an APP packet from an unknown participant");
        if (add_participant(app->sender_ssrc) == RTP_SUCCESS) {
            p = find_participant(app->sender_ssrc);
        }
    }
    if (p != nullptr) {
        deliver(app_hooks_, std::move(app), p->pending_app);
    }
    return RTP_SUCCESS;
}

}  // namespace tessal
