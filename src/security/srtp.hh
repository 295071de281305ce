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
// highest sequence number and roll-over counter seen, and the state moves on
// only once the tag (and, with RCE_SRTP_ANTI_REPLAY, the replay window)
// accepted the packet. Padding is removed after authentication and
// decryption.

#include <cstddef>
#include <cstdint>

#include "security/base_srtp.hh"
#include "tessal/frame.hh"
#include "util/buffer_vector.hh"

namespace tessal {

class srtp : public base_srtp {
public:
    explicit srtp(int rce_flags);

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

private:
    RTP_ERROR receive(uint8_t *packet, size_t size, frame::rtp_frame *frame);
    void compute_tag(srtp_ctx &ctx, const buffer_vector &pieces, size_t count, uint32_t roc,
                     uint8_t *tag);

    bool authenticate_rtp_;
};

}  // namespace tessal
