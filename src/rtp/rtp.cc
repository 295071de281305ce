#include "rtp/rtp.hh"

#include "rtp/frame_block.hh"

#include <chrono>
#include <cstring>

#include "util/byte_reader.hh"
#include "util/log.hh"
#include "util/random.hh"

namespace tessal {

namespace {

// Default clock rates (RFC 3551 table 4 and 5, and the dynamic types).
uint32_t default_clock_rate(RTP_FORMAT format, bool &known) {
    known = true;
    switch (format) {
        case FMT_DVI4_16K:
            return 16000;
        case FMT_L16_STEREO:
        case FMT_L16_MONO:
            return 44100;
        case FMT_DVI4_11K:
            return 11025;
        case FMT_DVI4_22K:
            return 22050;
        case FMT_OPUS:
            return 48000;
        case FMT_H264:
        case FMT_H265:
        case FMT_H266:
        case FMT_V3C:
            return 90000;
        case FMT_PCMU:
        case FMT_GSM:
        case FMT_G723:
        case FMT_DVI4_8K:
        case FMT_LPC:
        case FMT_PCMA:
        case FMT_G722:
        case FMT_G728:
        case FMT_G729:
        case FMT_G726_40:
        case FMT_G726_32:
        case FMT_G726_24:
        case FMT_G726_16:
        case FMT_G729D:
        case FMT_G729E:
        case FMT_GSM_EFR:
        case FMT_L8:
        case FMT_VDVI:
            return 8000;
    }
    known = false;
    return 8000;
}

void release(frame::rtp_frame **out) {
    frame::dealloc_frame(*out);
    *out = nullptr;
}

}  // namespace

rtp::rtp(RTP_FORMAT format, shared_ssrc local_ssrc, bool ipv6)
    : local_ssrc_(std::move(local_ssrc)),
      clock_{random::generate_32(), {}, 0},
      next_sequence_(static_cast<uint16_t>(random::generate_32())),
      format_(format),
      dynamic_payload_(static_cast<uint8_t>(format)),
      payload_size_(ipv6 ? k_default_payload_size_v6 : k_default_payload_size_v4) {
    set_default_clock_rate(format);
}

void rtp::set_default_clock_rate(RTP_FORMAT format) {
    bool known = false;
    const uint32_t rate = default_clock_rate(format, known);
    if (!known) {
        LOG_WARN("Unknown RTP format, setting clock rate to 8000");
    } else if (format == FMT_L8 || format == FMT_VDVI) {
        LOG_WARN("Using variable clock rate format, please set rate manually. Using 8000");
    }
    set_clock_rate(rate);
}

uint32_t rtp::get_ssrc() const noexcept {
    return local_ssrc_ ? local_ssrc_->load(std::memory_order_relaxed) : 0;
}

void rtp::update_sequence(uint8_t *header) const noexcept {
    if (header != nullptr) {
        write_be16(header + 2, next_sequence_);
    }
}

void rtp::set_sampling_ntp(uint64_t ntp) noexcept {
    sampling_ntp_.store(ntp, std::memory_order_relaxed);
    ntp_given_ = true;
}

uint32_t timestamp_clock::at(clock::hrc::hrc_t now) const noexcept {
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::microseconds>(now - origin).count();
    const uint64_t us = elapsed > 0 ? static_cast<uint64_t>(elapsed) : 0;
    // us * rate / 10^6, split so that the product cannot overflow 64 bits.
    const uint64_t ticks = (us / 1000000) * rate + (us % 1000000) * rate / 1000000;
    return static_cast<uint32_t>(base + ticks);
}

uint32_t rtp::clock_timestamp() noexcept {
    const clock::hrc::hrc_t now = now_();
    const uint32_t rate = get_clock_rate();
    if (rate != clock_.rate) {
        // The old base and origin at the new rate would put the timestamps
        // far behind (or ahead of) those already sent: go on from the last.
        if (clock_used_) {
            clock_.rebase(rate, last_clock_ts_, last_clock_at_);
        } else {
            clock_.rate = rate;
        }
    }
    auto ts = clock_.at(now);
    // Two frames within one clock tick must not share a timestamp: receivers
    // that reassemble by timestamp would merge them.
    const uint32_t last = last_rtp_ts_.load(std::memory_order_relaxed);
    if (last_ts_from_clock_ && static_cast<int32_t>(ts - last) <= 0) {
        ts = last + 1;
    }
    clock_used_ = true;
    last_clock_ts_ = ts;
    last_clock_at_ = now;
    return ts;
}

void rtp::fill_header(uint8_t *header, bool reuse_last_timestamp) noexcept {
    if (header == nullptr) {
        return;
    }
    if (!clock_used_ && clock_.base == 0) {
        clock_.base = random::generate_32();
        clock_.origin = now_();
    }
    header[0] = 0x80;
    header[1] = static_cast<uint8_t>(get_dynamic_payload() & 0x7F);
    write_be16(header + 2, next_sequence_);
    write_be32(header + 8, get_ssrc());

    uint32_t ts = 0;
    if (explicit_timestamp_ != -1) {
        ts = static_cast<uint32_t>(explicit_timestamp_);
        last_rtp_ts_.store(ts, std::memory_order_relaxed);
        last_ts_from_clock_ = false;
        if (!ntp_given_) {
            sampling_ntp_.store(clock::ntp::now(), std::memory_order_relaxed);
        }
    } else if (reuse_last_timestamp) {
        ts = get_rtp_ts();
    } else {
        ts = clock_timestamp();
        last_rtp_ts_.store(ts, std::memory_order_relaxed);
        last_ts_from_clock_ = true;
        sampling_ntp_.store(clock::ntp::now(), std::memory_order_relaxed);
    }
    write_be32(header + 4, ts);
}

/*  RFC 3550 section 5.1:
 *   0                   1                   2                   3
 *   0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
 *  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
 *  |V=2|P|X|  CC   |M|     PT      |       sequence number         |
 *  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
 *  |                           timestamp                           |
 *  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
 *  |           synchronization source (SSRC) identifier            |
 *  +=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+
 *  |            contributing source (CSRC) identifiers             |
 *  |                             ....                              |
 *  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
 *  |      defined by profile       |           length              |  (if X)
 *  |                        header extension                       |
 *  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
 */
RTP_ERROR rtp::packet_handler(void *arg, int rce_flags, uint8_t *packet, size_t size,
                              frame::rtp_frame **out) noexcept {
    if (packet == nullptr || out == nullptr || size < k_rtp_header_size || (packet[0] >> 6) != 2) {
        return RTP_PKT_SKIPPED;
    }
    // One block for the record and the payload, sized for the whole
    // datagram (the payload is what remains of it after the header), from
    // the stream's pool when it has one.
    auto *pool = static_cast<frame::frame_pool *>(arg);
    const size_t capacity = size - k_rtp_header_size;
    *out = pool != nullptr ? pool->alloc(capacity) : frame::alloc_rtp_frame(capacity);
    if (*out == nullptr) {
        return RTP_FAILED;
    }
    frame::rtp_frame *f = *out;
    byte_reader reader(packet, size);
    uint8_t b0 = 0;
    uint8_t b1 = 0;
    reader.read_u8(b0);
    reader.read_u8(b1);
    // The six bit fields share one 16-bit unit, version in the least
    // significant bits (the public record's layout).
    const auto bits = static_cast<uint16_t>(((b0 >> 6) & 0x3) | (((b0 >> 5) & 0x1) << 2) |
                                            (((b0 >> 4) & 0x1) << 3) | ((b0 & 0xF) << 4) |
                                            (((b1 >> 7) & 0x1) << 8) | ((b1 & 0x7F) << 9));
    std::memcpy(&f->header, &bits, sizeof(bits));
    reader.read_u16(f->header.sequence);
    reader.read_u32(f->header.timestamp);
    reader.read_u32(f->header.ssrc);

    const size_t csrc_count = b0 & 0xF;
    if (csrc_count > 0) {
        if (reader.remaining() < 4 * csrc_count) {
            release(out);
            return RTP_FAILED;
        }
        f->csrc_list = new (std::nothrow) uint32_t[csrc_count];
        if (f->csrc_list == nullptr) {
            release(out);
            return RTP_FAILED;
        }
        reader.read_bytes(f->csrc_list, 4 * csrc_count);  // kept in network order
    }

    if (f->header.extension) {
        uint16_t profile = 0;
        uint16_t words = 0;
        if (!reader.read_u16(profile) || !reader.read_u16(words)) {
            release(out);
            return RTP_FAILED;
        }
        // The length in bytes is kept in 16 bits in the record; a larger
        // extension cannot be represented and is rejected.
        const size_t ext_bytes = size_t{words} * 4;
        if (ext_bytes > reader.remaining() || ext_bytes > 0xFFFF) {
            release(out);
            return RTP_FAILED;
        }
        f->extension_header = new (std::nothrow)
            frame::rtp_extension{profile, static_cast<uint16_t>(ext_bytes), nullptr};
        if (f->extension_header == nullptr) {
            release(out);
            return RTP_FAILED;
        }
        f->extension_header->bytes = new (std::nothrow) uint8_t[ext_bytes];
        if (f->extension_header->bytes == nullptr) {
            release(out);
            return RTP_FAILED;
        }
        reader.read_bytes(f->extension_header->bytes, ext_bytes);
    }

    size_t payload_length = reader.remaining();
    // SRTP encrypts the padding and appends its tag after it: the SRTP stage
    // removes the padding once the packet is authenticated and decrypted.
    if (f->header.padding && !(rce_flags & RCE_SRTP)) {
        // The last octet counts the padding, itself included (RFC 3550 5.1).
        // The payload may be all padding (bandwidth probes send such).
        const uint8_t pad = packet[size - 1];
        if (pad == 0 || pad > payload_length) {
            release(out);
            return RTP_FAILED;
        }
        payload_length -= pad;
        f->padding_length = pad;
    }

    reader.read_bytes(f->payload, payload_length);
    f->payload_length = payload_length;
    f->datagram = packet;
    f->datagram_size = size;
    if (f->padding_length > 0 && payload_length == 0 && !(rce_flags & RCE_WITH_RTCP)) {
        // Padding only and no statistics stage to count it: no media, the
        // packet ends here. With RTCP the statistics stage counts it and
        // stops it.
        release(out);
        return RTP_SUCCESS;
    }
    return RTP_PKT_CHANGED;
}

}  // namespace tessal
