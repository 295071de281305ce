#pragma once

// Standard SRTP (RFC 3711) with the AES-256 (RFC 6188) and AES-GCM (RFC 7714)
// profiles: what libsrtp-based peers (GStreamer's srtpenc/srtpdec, SIP
// phones, WebRTC gateways) send and accept. Selected per stream with
// RCE_SRTP_STANDARD; the library's own form (srtp.hh) is unrelated to it.
//
// Session keys come from the master key and salt by the AES-CM PRF with
// key_derivation_rate 0 (RFC 3711 section 4.3), no MKI. On the wire:
//
//   AES-CM + HMAC-SHA1 (RFC 3711 section 3.1):
//   +------------+-------------------------------+---------------------+
//   | RTP header | payload, AES-CM encrypted     | tag: 10 or 4 bytes  |
//   +------------+-------------------------------+---------------------+
//   IV  = (salt << 16) ^ (SSRC << 64) ^ (index << 16), 16 bytes
//   tag = HMAC-SHA1(auth key, header || payload || ROC), truncated
//
//   AEAD AES-GCM (RFC 7714 section 7):
//   +------------+-------------------------------+---------------------+
//   | RTP header | payload, AES-GCM encrypted    | tag: 16 bytes       |
//   +------------+-------------------------------+---------------------+
//   IV  = (00 00 || SSRC || ROC || SEQ) ^ salt, 12 bytes; AAD = header
//
// The packet index is ROC << 16 | SEQ; a receiver estimates the ROC per
// sender SSRC (RFC 3711 section 3.3.1) and keeps a 1024-packet replay window
// per SSRC (section 3.3.2). A packet whose tag or index fails is dropped
// alone, counted and logged at a limited rate; the receive state moves on
// only for packets that verified.
//
// Thread contract: protect and the send handler run on the sending thread,
// unprotect and the receive handler on the receiving thread; init runs
// before either.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "security/base_srtp.hh"
#include "tessal/frame.hh"
#include "tessal/util.hh"
#include "util/buffer_vector.hh"
#include "util/log.hh"

namespace tessal {

namespace crypto {
namespace aes {
class ctr;
class gcm;
}  // namespace aes
namespace hmac {
class sha1;
}
}  // namespace crypto

struct srtp_profile_info {
    RTP_SRTP_PROFILE id;
    const char *name;     // the SDP crypto-suite name (RFC 4568 section 6.2)
    size_t key_len;       // master and session key bytes
    size_t salt_len;      // master and session salt bytes
    size_t rtp_tag_len;   // SRTP authentication tag bytes
    size_t rtcp_tag_len;  // SRTCP authentication tag bytes
    bool aead;            // AES-GCM: the tag comes from the cipher
};

// The profile of `id`, or null for an unknown one.
const srtp_profile_info *find_srtp_profile(int id) noexcept;
// The profile whose SDP name is `name` (`len` bytes, case as in the RFCs),
// or null.
const srtp_profile_info *find_srtp_profile(const char *name, size_t len) noexcept;

constexpr size_t k_std_srtp_max_tag = 16;
constexpr size_t k_std_srtp_max_master = 32 + 14;  // key || salt
constexpr size_t k_std_srtp_max_ssrcs = 64;        // receive states kept

// RFC 3711 section 4.3.1/4.3.3: the AES-CM PRF with key_derivation_rate 0.
// x = master salt ^ (label at byte 7), a 12-byte (AES-GCM) salt being padded
// with two zero bytes; `out_len` bytes of AES-CTR keystream under the master
// key from the counter block x || 00 00. RTP_BAD_ARGUMENT for bad lengths,
// RTP_FAILED for a key Crypto++ refuses.
RTP_ERROR srtp_std_derive(const uint8_t *master_key, size_t key_len, const uint8_t *master_salt,
                          size_t salt_len, uint8_t label, uint8_t *out, size_t out_len) noexcept;

// The session keys of one direction of SRTP or of SRTCP, keyed once.
class srtp_std_keys {
public:
    srtp_std_keys();
    ~srtp_std_keys();
    srtp_std_keys(const srtp_std_keys &) = delete;
    srtp_std_keys &operator=(const srtp_std_keys &) = delete;

    // Derives from `master` (master key || master salt, key_len + salt_len
    // bytes of `profile`): labels 0-2 for SRTP, 3-5 for SRTCP. The master
    // key is wiped from the derivation buffers.
    RTP_ERROR init(const srtp_profile_info &profile, const uint8_t *master, bool rtcp);
    // Installs session keys as they stand (what init derives): `enc_key`
    // key_len bytes, `salt` salt_len, `auth_key` 20 bytes (AES-CM profiles
    // only, else null). Known-answer tests key through this.
    RTP_ERROR init_session(const srtp_profile_info &profile, const uint8_t *enc_key,
                           const uint8_t *salt, const uint8_t *auth_key);
    bool keyed() const noexcept { return profile_ != nullptr; }
    const srtp_profile_info *profile() const noexcept { return profile_; }

    // AES-CM: the 16-byte IV for (ssrc, index); index is 48 bits for SRTP,
    // 31 for SRTCP (RFC 3711 section 4.1.1).
    void cm_iv(uint32_t ssrc, uint64_t index, uint8_t *iv) const noexcept;
    // AES-GCM: the 12-byte IV, RFC 7714 sections 8.1 (SRTP) and 9.1 (SRTCP,
    // with roc 0 and `index` the SRTCP index).
    void gcm_iv(uint32_t ssrc, uint32_t roc, uint32_t low, bool rtcp, uint8_t *iv) const noexcept;

    crypto::aes::ctr &ctr() { return *ctr_; }
    crypto::hmac::sha1 &mac() { return *mac_; }
    crypto::aes::gcm &gcm() { return *gcm_; }

private:
    const srtp_profile_info *profile_ = nullptr;
    std::array<uint8_t, 14> salt_{};
    std::unique_ptr<crypto::aes::ctr> ctr_;
    std::unique_ptr<crypto::hmac::sha1> mac_;
    std::unique_ptr<crypto::aes::gcm> gcm_;
};

// Keys the send and the receive direction of SRTP (`rtcp` false) or SRTCP
// from their masters (master key || master salt of `profile`); a null master
// leaves its direction unkeyed, but not both. Sets `*keyed_profile` on
// success; RTP_BAD_ARGUMENT for an unknown profile or a wrong length.
RTP_ERROR srtp_std_key_directions(int profile, bool rtcp, srtp_std_keys &send,
                                  const uint8_t *send_master, size_t send_len, srtp_std_keys &recv,
                                  const uint8_t *recv_master, size_t recv_len,
                                  const srtp_profile_info **keyed_profile);

class srtp_standard {
public:
    srtp_standard() = default;

    // Keys both directions: `send_master`/`recv_master` are master key ||
    // master salt of the profile (null for a direction not used; not both).
    // RTP_BAD_ARGUMENT for an unknown profile, a wrong length or two nulls;
    // RTP_FAILED when a key is refused.
    RTP_ERROR init(int profile, const uint8_t *send_master, size_t send_len,
                   const uint8_t *recv_master, size_t recv_len);
    const srtp_profile_info *profile() const noexcept { return profile_; }
    // Any thread: the receive handler may already run (a port shared with a
    // started stream) while init keys the object.
    bool keyed() const noexcept { return keyed_.load(std::memory_order_acquire); }

    // Protects one packet in place: pieces[0] is the RTP header (fixed
    // header, CSRCs and extension), pieces[1] the payload, encrypted in
    // place, and the last piece a tag slot of at least k_std_srtp_max_tag
    // bytes that shrinks to the profile's tag. Exactly three pieces (a
    // payload of several pieces is refused so that shared bytes are never
    // encrypted). RTP_BAD_ARGUMENT for another layout or without send keys,
    // RTP_FAILED when the cipher fails: the packet must then not be sent.
    RTP_ERROR protect(buffer_vector &pieces);

    // Verifies and decrypts one received packet of `size` bytes in place;
    // on RTP_SUCCESS `plain_size` is the RTP packet without the tag.
    // RTP_FAILED for a malformed, forged or replayed packet (counted).
    RTP_ERROR unprotect(uint8_t *packet, size_t size, size_t *plain_size);

    // Socket send handler (`arg` is the srtp_standard); sending thread.
    static RTP_ERROR send_packet_handler(void *arg, buffer_vector &pieces);
    // Reception handler after the header parser (`arg` is the
    // srtp_standard): decrypts (*out)->payload, removes tag and padding.
    // RTP_PKT_CHANGED, or RTP_FAILED for a dropped packet.
    static RTP_ERROR recv_packet_handler(void *arg, int rce_flags, uint8_t *packet, size_t size,
                                         frame::rtp_frame **out);

    srtp_drop_counts drops() const noexcept;
    // The session keys of each direction (known-answer tests re-key them).
    srtp_std_keys &send_keys() noexcept { return send_; }
    srtp_std_keys &recv_keys() noexcept { return recv_; }

private:
    struct receiver {
        rtp_index_estimator index;
        replay_window window;
    };
    // `packet` is the whole datagram, `payload` holds its bytes after
    // `header_len` (the same memory or a copy); decrypted in place there.
    RTP_ERROR unprotect_payload(const uint8_t *packet, size_t size, size_t header_len,
                                uint8_t *payload, size_t *plain_len);
    bool verify(const uint8_t *packet, size_t size, size_t header_len, uint8_t *payload,
                uint32_t ssrc, uint64_t index);
    RTP_ERROR drop(log::limiter &lim, const char *what);

    const srtp_profile_info *profile_ = nullptr;
    std::atomic<bool> keyed_{false};  // published once init has keyed everything
    // Serialises the send handler: a stream's media and its retransmissions
    // (RFC 4588, another SSRC) are protected from different threads.
    std::mutex send_lock_;
    srtp_std_keys send_;
    srtp_std_keys recv_;

    // Sending: a roll-over counter per SSRC sent with, kept for the life of
    // the keys so that a stream switching SSRC and back resumes its index
    // instead of reusing one (RFC 3711 section 9.1).
    struct sender {
        uint32_t roc = 0;
        uint16_t last_seq = 0;
    };
    // The index (ROC << 16 | seq) to protect `seq` of `ssrc` with; false
    // when k_std_srtp_max_ssrcs SSRCs are in use already.
    bool next_send_index(uint32_t ssrc, uint16_t seq, uint64_t *index);
    std::map<uint32_t, sender> senders_;
    sender *last_sender_ = nullptr;  // into senders_: the SSRC sent with last
    uint32_t last_sender_ssrc_ = 0;

    std::map<uint32_t, receiver> receivers_;
    log::limiter malformed_log_;
    log::limiter auth_log_;
    log::limiter replay_log_;
};

}  // namespace tessal
