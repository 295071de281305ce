#pragma once

// Keys and per-direction state shared by SRTP and SRTCP (RFC 3711 structure:
// AES in counter mode, HMAC-SHA1 with an 80-bit tag, key derivation by
// labels), with this library's own byte-level choices, which its peers share:
//
//  - each session value is one AES-ECB block of (master salt || 00 00) with
//    the label XORed into byte 7; a 24- or 32-byte session key is that
//    block followed by zero bytes, the authentication key is the block
//    followed by four zero bytes;
//  - the IV is (session salt || 00 00) with the SSRC XORed, least
//    significant byte first, into bytes 4..7 and the 64-bit packet index,
//    least significant byte first, into bytes 6..13. SSRC and index overlap
//    in bytes 6-7, so two SSRCs that share their low 16 bits under one key
//    can reuse keystream: give every session a fresh key.
//
// Not a standard RFC 3711 endpoint: peers other than this library cannot
// decrypt it.
//
// Thread contract: the local (sending) context is used only by the sending
// thread, the remote (receiving) context and the replay window only by the
// receiving thread; init runs before either.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include "tessal/util.hh"
#include "util/log.hh"

namespace tessal {

namespace crypto {
namespace aes {
class ctr;
}
namespace hmac {
class sha1;
}
}  // namespace crypto

constexpr size_t k_srtp_salt_size = 14;
constexpr size_t k_srtp_tag_size = 10;
constexpr size_t k_srtp_auth_key_size = 20;
constexpr size_t k_srtp_max_key_size = 32;

// RFC 3711 section 3.3.2: a sliding window over the highest authenticated
// index and the 64 below it.
class replay_window {
public:
    // RFC 3711 section 3.3.2 asks for at least 64 packets; retransmissions
    // on the original SSRC (RFC 4585 NACK) arrive a round trip and more
    // after later packets, so the window spans 1024.
    static constexpr uint64_t k_bits = 1024;

    // Whether `index` was seen already or is too old to tell.
    bool is_replayed(uint64_t index) const noexcept;
    // Records an authenticated index.
    void accept(uint64_t index) noexcept;

private:
    static constexpr size_t k_words = k_bits / 64;
    bool bit(uint64_t behind) const noexcept { return (seen_[behind / 64] >> (behind % 64)) & 1U; }
    bool started_ = false;
    uint64_t highest_ = 0;
    std::array<uint64_t, k_words> seen_{};  // bit i: highest_ - i was seen
};

// RFC 3711 section 3.3.1: the receiver's roll-over counter and highest
// sequence number, and the index estimate they give for a new packet.
class rtp_index_estimator {
public:
    // The packet index (ROC << 16 | seq) most likely meant by `seq`.
    uint64_t estimate(uint16_t seq) const noexcept;
    // Takes an authenticated packet's index into the state.
    void update(uint64_t index) noexcept;
    uint32_t roc() const noexcept { return roc_; }

private:
    bool started_ = false;
    uint32_t roc_ = 0;
    uint16_t highest_seq_ = 0;
};

// What the receive side dropped, by kind.
struct srtp_drop_counts {
    uint64_t malformed = 0;  // too short, bad header, unknown state
    uint64_t auth = 0;       // the tag did not verify
    uint64_t replay = 0;     // seen already or older than the window
    uint64_t own = 0;        // carried the stream's own SSRC (sent back to us)
};

struct srtp_ctx {
    srtp_ctx();
    ~srtp_ctx();
    srtp_ctx(srtp_ctx &&) noexcept;
    srtp_ctx &operator=(srtp_ctx &&) noexcept;
    // Overwrites master and session keys and salts with zeros (the
    // destructor does so too, in a way the compiler keeps).
    void wipe_keys() noexcept;

    std::array<uint8_t, k_srtp_max_key_size> master_key{};
    std::array<uint8_t, k_srtp_salt_size> master_salt{};
    std::array<uint8_t, k_srtp_max_key_size> enc_key{};
    std::array<uint8_t, k_srtp_auth_key_size> auth_key{};
    std::array<uint8_t, k_srtp_salt_size> salt_key{};
    int type = 0;           // 0: SRTP, 1: SRTCP
    int size_selector = 0;  // 0: 128-bit, 1: 192-bit, 2: 256-bit
    size_t key_len = 16;
    int rce_flags = 0;

    // Sending: the roll-over counter goes up whenever the sequence number
    // wraps, whether or not 0xFFFF itself was sent.
    uint32_t roc = 0;
    bool sent_any = false;
    uint16_t last_sent_seq = 0;

    // Receiving SRTCP (SRTP keeps one state per sender SSRC: srtp.hh).
    replay_window window;

    // Keyed once with the session keys: each packet only sets its IV, and
    // the MAC restarts after every tag. Used by this context's one thread.
    std::unique_ptr<crypto::aes::ctr> cipher;
    std::unique_ptr<crypto::hmac::sha1> mac;
    size_t cipher_key_len = 0;  // the key length `cipher` was built for

    // AES-CTR keystream over `data` in place, from the IV of (ssrc, index).
    // Throws a Crypto++ exception when the key cannot be used.
    void apply_keystream(uint32_t ssrc, uint64_t index, uint8_t *data, size_t len);
    // The keyed HMAC-SHA1 of the session authentication key.
    crypto::hmac::sha1 &authenticator();
};

class base_srtp {
public:
    virtual ~base_srtp() = default;

    // Keys both contexts: `type` 0 for SRTP, 1 for SRTCP. Keys are
    // get_key_size(rce_flags) bytes, salts 14. RTP_BAD_ARGUMENT for a null
    // pointer, and for SRTP (`type` 0) with RCE_SRTP_NO_ENCRYPTION or
    // RCE_SRTP_ANTI_REPLAY but without RCE_SRTP_AUTH_TAG (nothing would be
    // protected, or the replay window could not work). SRTCP always carries
    // its tag. Encryption without a tag is taken, with a warning.
    RTP_ERROR init(int type, int rce_flags, const uint8_t *local_key, const uint8_t *remote_key,
                   const uint8_t *local_salt, const uint8_t *remote_salt);
    static RTP_ERROR init_srtp_context(srtp_ctx &context, int type, int rce_flags,
                                       const uint8_t *key, const uint8_t *salt);
    // One AES-ECB block of (salt || 00 00) ^ label at byte 7 under `key`;
    // `out` is zeroed and receives min(out_len, 16) bytes of it.
    static RTP_ERROR derive_key(int label, size_t key_len, const uint8_t *key, const uint8_t *salt,
                                uint8_t *out, size_t out_len);
    static RTP_ERROR create_iv(uint8_t *out, uint32_t ssrc, uint64_t index, const uint8_t *salt);
    static size_t get_key_size(int rce_flags) noexcept;

    bool use_null_cipher() const noexcept { return null_cipher_; }
    bool keyed() const noexcept { return keyed_; }
    srtp_ctx &get_local_ctx() noexcept { return local_; }
    srtp_ctx &get_remote_ctx() noexcept { return remote_; }
    // Received packets dropped so far; any thread.
    virtual srtp_drop_counts drops() const noexcept {
        return {size_log_.occurrences(), auth_log_.occurrences(), replay_log_.occurrences()};
    }

protected:
    // Replay check of the remote context (only with RCE_SRTP_ANTI_REPLAY).
    bool is_replayed_packet(uint64_t index);

    srtp_ctx local_;
    srtp_ctx remote_;
    bool null_cipher_ = false;
    bool keyed_ = false;
    // Lines that received packets trigger, one limiter per kind.
    log::limiter replay_log_;
    log::limiter discard_log_;
    log::limiter auth_log_;
    log::limiter size_log_;
};

}  // namespace tessal

namespace tessal {

// Where a key agreement hands SRTP keys over (the ZRTP session implements
// it): this side's and the peer's keys and salts, sizes in bits.
class srtp_key_source {
public:
    virtual ~srtp_key_source() = default;
    virtual RTP_ERROR get_srtp_keys(uint8_t *local_key, uint32_t local_key_bits,
                                    uint8_t *remote_key, uint32_t remote_key_bits,
                                    uint8_t *local_salt, uint32_t local_salt_bits,
                                    uint8_t *remote_salt, uint32_t remote_salt_bits) = 0;
};

}  // namespace tessal
