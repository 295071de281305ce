#include "security/base_srtp.hh"

#include <cstring>
#include <exception>

#include "security/aes.hh"
#include "security/crypto.hh"
#include "security/hmac.hh"
#include "util/log.hh"

namespace tessal {

namespace {

constexpr int k_label_enc = 0;
constexpr int k_label_auth = 1;
constexpr int k_label_salt = 2;
constexpr int k_srtcp_label_offset = 3;  // SRTCP labels are 3, 4 and 5

}  // namespace

// --- RFC 3711 section 3.3.2 -------------------------------------------------

bool replay_window::is_replayed(uint64_t index) const noexcept {
    if (!started_ || index > highest_) {
        return false;
    }
    const uint64_t behind = highest_ - index;
    if (behind >= k_bits) {
        return true;  // older than the window: cannot be told from a replay
    }
    return bit(behind);
}

void replay_window::accept(uint64_t index) noexcept {
    if (!started_) {
        started_ = true;
        highest_ = index;
        seen_.fill(0);
        seen_[0] = 1;
        return;
    }
    if (index > highest_) {
        // Every bit moves `ahead` places towards the old end.
        const uint64_t ahead = index - highest_;
        if (ahead >= k_bits) {
            seen_.fill(0);
        } else {
            const size_t words = static_cast<size_t>(ahead / 64);
            const unsigned bits = static_cast<unsigned>(ahead % 64);
            for (size_t k = k_words; k-- > 0;) {
                const uint64_t hi = k >= words ? seen_[k - words] : 0;
                const uint64_t lo = k >= words + 1 ? seen_[k - words - 1] : 0;
                seen_[k] = bits == 0 ? hi : (hi << bits) | (lo >> (64 - bits));
            }
        }
        seen_[0] |= 1;
        highest_ = index;
        return;
    }
    const uint64_t behind = highest_ - index;
    if (behind < k_bits) {
        seen_[behind / 64] |= uint64_t{1} << (behind % 64);
    }
}

// --- RFC 3711 section 3.3.1 -------------------------------------------------

uint64_t rtp_index_estimator::estimate(uint16_t seq) const noexcept {
    if (!started_) {
        return seq;  // the first packet: ROC 0
    }
    uint32_t v = roc_;
    if (highest_seq_ < 0x8000) {
        if (seq > highest_seq_ && seq - highest_seq_ > 0x8000) {
            v = roc_ - 1;  // a late packet of the previous cycle
        }
    } else if (seq < highest_seq_ - 0x8000) {
        v = roc_ + 1;  // the sequence number wrapped
    }
    return (uint64_t{v} << 16) | seq;
}

void rtp_index_estimator::update(uint64_t index) noexcept {
    const auto roc = static_cast<uint32_t>(index >> 16);
    const auto seq = static_cast<uint16_t>(index & 0xFFFF);
    if (!started_) {
        started_ = true;
        roc_ = roc;
        highest_seq_ = seq;
        return;
    }
    if (roc == roc_ + 1) {
        roc_ = roc;
        highest_seq_ = seq;
    } else if (roc == roc_ && seq > highest_seq_) {
        highest_seq_ = seq;
    }
}

// --- per-direction context --------------------------------------------------

srtp_ctx::srtp_ctx() = default;

srtp_ctx::~srtp_ctx() {
    wipe_keys();
}

void srtp_ctx::wipe_keys() noexcept {
    crypto::wipe(master_key.data(), master_key.size());
    crypto::wipe(master_salt.data(), master_salt.size());
    crypto::wipe(enc_key.data(), enc_key.size());
    crypto::wipe(auth_key.data(), auth_key.size());
    crypto::wipe(salt_key.data(), salt_key.size());
}
srtp_ctx::srtp_ctx(srtp_ctx &&) noexcept = default;
srtp_ctx &srtp_ctx::operator=(srtp_ctx &&) noexcept = default;

void srtp_ctx::apply_keystream(uint32_t ssrc, uint64_t index, uint8_t *data, size_t len) {
    uint8_t iv[16];
    base_srtp::create_iv(iv, ssrc, index, salt_key.data());
    if (!cipher || cipher_key_len != key_len) {
        cipher = std::make_unique<crypto::aes::ctr>(enc_key.data(), key_len, iv);
        cipher_key_len = key_len;
    } else {
        cipher->resync(iv);
    }
    if (len > 0) {
        cipher->encrypt(data, data, len);
    }
}

crypto::hmac::sha1 &srtp_ctx::authenticator() {
    if (!mac) {
        mac = std::make_unique<crypto::hmac::sha1>(auth_key.data(), k_srtp_auth_key_size);
    }
    return *mac;
}

// --- keys -------------------------------------------------------------------

size_t base_srtp::get_key_size(int rce_flags) noexcept {
    if (rce_flags & RCE_SRTP_KEYS_FROM_ZRTP) {
        return 16;
    }
    if (rce_flags & RCE_SRTP_AES192) {
        return 24;
    }
    if (rce_flags & RCE_SRTP_AES256) {
        return 32;
    }
    return 16;
}

RTP_ERROR base_srtp::derive_key(int label, size_t key_len, const uint8_t *key, const uint8_t *salt,
                                uint8_t *out, size_t out_len) {
    if (key == nullptr || salt == nullptr || out == nullptr || out_len > k_srtp_max_key_size) {
        return RTP_BAD_ARGUMENT;
    }
    uint8_t block[16] = {};
    std::memcpy(block, salt, k_srtp_salt_size);
    block[7] ^= static_cast<uint8_t>(label);
    uint8_t derived[16];
    try {
        crypto::aes::ecb ecb(key, key_len);
        ecb.encrypt(derived, block, sizeof(block));
    } catch (const std::exception &) {
        crypto::wipe(block, sizeof(block));
        return RTP_FAILED;
    }
    std::memset(out, 0, out_len);
    std::memcpy(out, derived, out_len < sizeof(derived) ? out_len : sizeof(derived));
    crypto::wipe(derived, sizeof(derived));
    crypto::wipe(block, sizeof(block));
    return RTP_SUCCESS;
}

RTP_ERROR base_srtp::init_srtp_context(srtp_ctx &context, int type, int rce_flags,
                                       const uint8_t *key, const uint8_t *salt) {
    context = srtp_ctx{};
    context.type = type;
    context.rce_flags = rce_flags;
    context.key_len = get_key_size(rce_flags);
    context.size_selector = context.key_len == 24 ? 1 : context.key_len == 32 ? 2 : 0;
    std::memcpy(context.master_key.data(), key, context.key_len);
    std::memcpy(context.master_salt.data(), salt, k_srtp_salt_size);
    const int offset = type == 1 ? k_srtcp_label_offset : 0;
    RTP_ERROR rc = derive_key(k_label_enc + offset, context.key_len, key, salt,
                              context.enc_key.data(), context.key_len);
    if (rc == RTP_SUCCESS) {
        rc = derive_key(k_label_auth + offset, context.key_len, key, salt, context.auth_key.data(),
                        k_srtp_auth_key_size);
    }
    if (rc == RTP_SUCCESS) {
        rc = derive_key(k_label_salt + offset, context.key_len, key, salt, context.salt_key.data(),
                        k_srtp_salt_size);
    }
    return rc;
}

RTP_ERROR base_srtp::init(int type, int rce_flags, const uint8_t *local_key,
                          const uint8_t *remote_key, const uint8_t *local_salt,
                          const uint8_t *remote_salt) {
    if (local_key == nullptr || remote_key == nullptr || local_salt == nullptr ||
        remote_salt == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    if (type == 0 && !(rce_flags & RCE_SRTP_AUTH_TAG)) {
        if (rce_flags & (RCE_SRTP_NO_ENCRYPTION | RCE_SRTP_ANTI_REPLAY)) {
            // Without a tag the null cipher protects nothing, and a replay
            // window over unauthenticated indices can be moved by anyone.
            LOG_ERROR("RCE_SRTP_NO_ENCRYPTION and RCE_SRTP_ANTI_REPLAY need RCE_SRTP_AUTH_TAG");
            return RTP_BAD_ARGUMENT;
        }
        LOG_WARN("SRTP without RCE_SRTP_AUTH_TAG: packets are encrypted but not authenticated");
    }
    null_cipher_ = (rce_flags & RCE_SRTP_NO_ENCRYPTION) != 0;
    RTP_ERROR rc = init_srtp_context(local_, type, rce_flags, local_key, local_salt);
    if (rc == RTP_SUCCESS) {
        rc = init_srtp_context(remote_, type, rce_flags, remote_key, remote_salt);
    }
    keyed_ = rc == RTP_SUCCESS;
    return rc;
}

RTP_ERROR base_srtp::create_iv(uint8_t *out, uint32_t ssrc, uint64_t index, const uint8_t *salt) {
    if (out == nullptr || salt == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    std::memset(out, 0, 16);
    std::memcpy(out, salt, k_srtp_salt_size);
    for (int i = 0; i < 4; ++i) {
        out[4 + i] ^= static_cast<uint8_t>(ssrc >> (8 * i));
    }
    for (int i = 0; i < 8; ++i) {
        out[6 + i] ^= static_cast<uint8_t>(index >> (8 * i));
    }
    return RTP_SUCCESS;
}

bool base_srtp::is_replayed_packet(uint64_t index) {
    if (!(remote_.rce_flags & RCE_SRTP_ANTI_REPLAY)) {
        return false;
    }
    if (remote_.window.is_replayed(index)) {
        LOG_ERROR_LIMITED(replay_log_, "Replayed packet received, discarding!");
        return true;
    }
    return false;
}

}  // namespace tessal
