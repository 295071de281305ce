#pragma once

// SRTP for one stream's RTP packets: the socket's send handler encrypts and
// tags each datagram, the reception handler verifies, checks for replays and
// decrypts. Byte-level choices (key derivation, IV layout) are those of
// base_srtp.hh.
//
// Wire: an authenticated packet (RCE_SRTP_AUTH_TAG) carries a 10-byte
// HMAC-SHA1 tag after its payload, computed over header and (encrypted)
// payload followed by the 4-byte roll-over counter in host byte order.
// Receiving follows RFC 3711 section 3.3.1: the index is estimated from the
// highest sequence number and roll-over counter seen from the packet's SSRC
// (one estimate and one replay window per sender SSRC, at most
// k_srtp_max_remote_ssrcs), and that state moves on only once the tag (and,
// with RCE_SRTP_ANTI_REPLAY, the replay window) accepted the packet.
// Padding is removed after authentication and decryption.
//
// Both directions use one key and salt: a packet of our own sent back to us
// would verify. Packets that carry the stream's own SSRC are therefore
// dropped before any state moves (the reception flow drops them first; this
// is the second line). RCE_SRTP_NO_ENCRYPTION and RCE_SRTP_ANTI_REPLAY need
// RCE_SRTP_AUTH_TAG: init refuses them without it.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>

#include "security/base_srtp.hh"
#include "tessal/frame.hh"
#include "util/buffer_vector.hh"
#include "util/log.hh"
#include "util/shared_ssrc.hh"

namespace tessal {

constexpr size_t k_srtp_max_remote_ssrcs = 64;  // receive states kept

class srtp : public base_srtp {
public:
    explicit srtp(int rce_flags);

    // The stream's own SSRC cell: received packets carrying it, or an SSRC
    // this object protected packets with before (the cell changes on an SSRC
    // collision while our older packets may still come back), are dropped
    // (counted in drops().own) before any state moves. Before the reception
    // handler runs.
    void set_local_ssrc(shared_ssrc ssrc) noexcept { local_ssrc_ = std::move(ssrc); }
    // Received packets dropped so far, own SSRC included; any thread.
    srtp_drop_counts drops() const noexcept override;

    // Encrypts `len` bytes of payload in place for the packet (`ssrc`, `seq`)
    // with the local context, moving the roll-over counter on a wrap. The
    // index used is returned in `index`.
    RTP_ERROR encrypt(uint32_t ssrc, uint16_t seq, uint8_t *buffer, size_t len,
                      uint32_t *roc_used = nullptr);

    // Socket send handler (`arg` is the srtp): pieces[0] is the RTP header,
    // the last piece is the tag space when authenticate_rtp(), the payload
    // the one before (or the last). Runs on the sending thread.
    static RTP_ERROR send_packet_handler(void *arg, buffer_vector &pieces);
    // Reception handler (`arg` is the srtp), after the header parser: *out
    // holds the parsed frame, whose payload is everything after the header.
    // RTP_PKT_CHANGED (decrypted), RTP_PKT_SKIPPED (null cipher) or
    // RTP_FAILED (too short, bad tag, replayed, bad padding).
    static RTP_ERROR recv_packet_handler(void *arg, int rce_flags, uint8_t *packet, size_t size,
                                         frame::rtp_frame **out);

    bool authenticate_rtp() const noexcept { return authenticate_rtp_; }
    // The roll-over counter estimated for packets of `ssrc`, 0 for a sender
    // not seen; receiving thread.
    uint32_t received_roc(uint32_t ssrc) const noexcept;

private:
    // RFC 3711 section 3.3.1 and 3.3.2 state of one sender SSRC.
    struct receiver {
        rtp_index_estimator index;
        replay_window window;
    };

    RTP_ERROR receive(uint8_t *packet, size_t size, frame::rtp_frame *frame);
    bool is_own_ssrc(uint32_t ssrc) const noexcept;
    // The receive state of `ssrc` after its packet authenticated; null (the
    // packet is dropped) when k_srtp_max_remote_ssrcs are kept already.
    receiver *accepted_receiver(uint32_t ssrc);
    void compute_tag(srtp_ctx &ctx, const buffer_vector &pieces, size_t count, uint32_t roc,
                     uint8_t *tag);

    // Notes an SSRC protected with (sending thread).
    void note_sent_ssrc(uint32_t ssrc) noexcept;

    bool authenticate_rtp_;
    shared_ssrc local_ssrc_;
    // The last k_sent_ssrcs SSRCs sent with: written by the sending thread,
    // read by the receiving one.
    static constexpr size_t k_sent_ssrcs = 8;
    std::array<std::atomic<uint32_t>, k_sent_ssrcs> sent_ssrcs_{};
    std::atomic<size_t> sent_ssrc_count_{0};
    uint32_t last_sent_ssrc_ = 0;  // sending thread
    // Used only on the receiving thread.
    std::map<uint32_t, receiver> receivers_;
    log::limiter own_log_;
    log::limiter low_bits_log_;
};

}  // namespace tessal
