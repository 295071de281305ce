#include "security/srtcp_standard.hh"

#include <cryptopp/misc.h>

#include <cstring>
#include <exception>
#include <vector>

#include "security/aes.hh"
#include "security/aes_gcm.hh"
#include "security/crypto.hh"
#include "security/hmac.hh"
#include "util/byte_reader.hh"

namespace tessal {

namespace {

constexpr uint32_t k_e_flag = 0x80000000U;
constexpr uint32_t k_max_index = 0x7FFFFFFFU;
constexpr size_t k_clear_prefix = 8;  // first RTCP header and sender SSRC
constexpr size_t k_word = 4;          // E flag and SRTCP index

}  // namespace

RTP_ERROR srtcp_standard::init_standard(int profile, const uint8_t *send_master, size_t send_len,
                                        const uint8_t *recv_master, size_t recv_len) {
    const srtp_profile_info *p = nullptr;
    const RTP_ERROR rc = srtp_std_key_directions(profile, true, send_, send_master, send_len, recv_,
                                                 recv_master, recv_len, &p);
    if (rc == RTP_SUCCESS) {
        profile_ = p;
        keyed_ = true;
    }
    return rc;
}

size_t srtcp_standard::trailer_size() const noexcept {
    return k_word + (profile_ != nullptr ? profile_->rtcp_tag_len : k_std_srtp_max_tag);
}

RTP_ERROR srtcp_standard::protect(uint8_t *packet, size_t size, uint32_t index, bool encrypt) {
    if (packet == nullptr || !send_.keyed() || size < k_clear_prefix + trailer_size() ||
        index > k_max_index) {
        return RTP_BAD_ARGUMENT;
    }
    const size_t plain = size - trailer_size();
    const uint32_t ssrc = read_be32(packet + 4);
    const uint32_t word = index | (encrypt ? k_e_flag : 0);
    try {
        if (profile_->aead) {
            uint8_t *tag = packet + plain;
            write_be32(tag + crypto::aes::gcm::tag_size, word);
            uint8_t iv[crypto::aes::gcm::iv_size];
            send_.gcm_iv(ssrc, 0, index, true, iv);
            if (encrypt) {
                uint8_t aad[k_clear_prefix + k_word];
                std::memcpy(aad, packet, k_clear_prefix);
                write_be32(aad + k_clear_prefix, word);
                send_.gcm().seal(iv, aad, sizeof(aad), packet + k_clear_prefix,
                                 plain - k_clear_prefix, packet + k_clear_prefix, tag);
            } else {
                std::vector<uint8_t> aad(packet, packet + plain);
                aad.resize(plain + k_word);
                write_be32(aad.data() + plain, word);
                send_.gcm().seal(iv, aad.data(), aad.size(), nullptr, 0, nullptr, tag);
            }
            return RTP_SUCCESS;
        }
        if (encrypt) {
            uint8_t iv[16];
            send_.cm_iv(ssrc, index, iv);
            send_.ctr().resync(iv);
            send_.ctr().encrypt(packet + k_clear_prefix, packet + k_clear_prefix,
                                plain - k_clear_prefix);
        }
        write_be32(packet + plain, word);
        crypto::hmac::sha1 &mac = send_.mac();
        mac.update(packet, plain + k_word);
        mac.final(packet + plain + k_word, profile_->rtcp_tag_len);
    } catch (const std::exception &) {
        return RTP_FAILED;
    }
    return RTP_SUCCESS;
}

RTP_ERROR srtcp_standard::drop(log::limiter &lim, const char *what) {
    LOG_WARN_LIMITED(lim, "Dropped an SRTCP packet: %s", what);
    return RTP_AUTH_FAILED;
}

// Checks the tag and decrypts [8, plain) when E is set.
bool srtcp_standard::verify(uint8_t *packet, size_t size, uint32_t word, size_t plain) {
    const uint32_t ssrc = read_be32(packet + 4);
    const uint32_t index = word & k_max_index;
    const bool encrypted = (word & k_e_flag) != 0;
    if (profile_->aead) {
        uint8_t iv[crypto::aes::gcm::iv_size];
        recv_.gcm_iv(ssrc, 0, index, true, iv);
        uint8_t tag[crypto::aes::gcm::tag_size];
        std::memcpy(tag, packet + plain, sizeof(tag));
        if (encrypted) {
            uint8_t aad[k_clear_prefix + k_word];
            std::memcpy(aad, packet, k_clear_prefix);
            write_be32(aad + k_clear_prefix, word);
            return recv_.gcm().open(iv, aad, sizeof(aad), packet + k_clear_prefix,
                                    plain - k_clear_prefix, tag, packet + k_clear_prefix);
        }
        std::vector<uint8_t> aad(packet, packet + plain);
        aad.resize(plain + k_word);
        write_be32(aad.data() + plain, word);
        return recv_.gcm().open(iv, aad.data(), aad.size(), nullptr, 0, tag, nullptr);
    }
    const size_t tag_len = profile_->rtcp_tag_len;
    uint8_t computed[crypto::hmac::sha1::digest_size];
    crypto::hmac::sha1 &mac = recv_.mac();
    mac.update(packet, size - tag_len);
    mac.final(computed, tag_len);
    if (!crypto::equal_constant_time(computed, tag_len, packet + size - tag_len, tag_len)) {
        return false;
    }
    if (encrypted) {
        uint8_t iv[16];
        recv_.cm_iv(ssrc, index, iv);
        recv_.ctr().resync(iv);
        recv_.ctr().decrypt(packet + k_clear_prefix, packet + k_clear_prefix,
                            plain - k_clear_prefix);
    }
    return true;
}

RTP_ERROR srtcp_standard::unprotect(uint8_t *packet, size_t size, size_t *plain_size) {
    if (!recv_.keyed()) {
        return drop(malformed_log_, "no receive keys");
    }
    if (packet == nullptr || plain_size == nullptr || size < k_clear_prefix + trailer_size()) {
        return drop(malformed_log_, "too short");
    }
    const size_t plain = size - trailer_size();
    const size_t word_at = profile_->aead ? size - k_word : plain;
    const uint32_t word = read_be32(packet + word_at);
    const uint32_t ssrc = read_be32(packet + 4);
    const uint32_t index = word & k_max_index;
    auto it = windows_.find(ssrc);
    if (it != windows_.end() && it->second.is_replayed(index)) {
        return drop(replay_log_, "replayed or too old");
    }
    bool ok = false;
    try {
        ok = verify(packet, size, word, plain);
    } catch (const std::exception &) {
        ok = false;
    }
    if (!ok) {
        return drop(auth_log_, "authentication failed");
    }
    if (it == windows_.end()) {
        if (windows_.size() >= k_std_srtp_max_ssrcs) {
            return drop(malformed_log_, "too many senders");
        }
        it = windows_.emplace(ssrc, replay_window{}).first;
    }
    it->second.accept(index);
    *plain_size = plain;
    return RTP_SUCCESS;
}

RTP_ERROR srtcp_standard::handle_rtcp_encryption(int rce_flags, uint32_t, uint32_t, uint8_t *packet,
                                                 uint32_t size) {
    if (!(rce_flags & RCE_SRTP)) {
        return RTP_SUCCESS;
    }
    if (next_index_ > k_max_index) {
        LOG_ERROR("SRTCP index exhausted: the stream needs new keys");
        return RTP_FAILED;
    }
    const RTP_ERROR rc = protect(packet, size, next_index_, true);
    if (rc == RTP_SUCCESS) {
        ++next_index_;
    }
    return rc;
}

RTP_ERROR srtcp_standard::handle_rtcp_decryption(int rce_flags, uint32_t, uint8_t *packet,
                                                 size_t size) {
    if (!(rce_flags & RCE_SRTP)) {
        return RTP_SUCCESS;
    }
    size_t plain = 0;
    return unprotect(packet, size, &plain) == RTP_SUCCESS ? RTP_SUCCESS : RTP_AUTH_FAILED;
}

srtp_drop_counts srtcp_standard::drops() const noexcept {
    srtp_drop_counts c;
    c.malformed = malformed_log_.occurrences();
    c.auth = auth_log_.occurrences();
    c.replay = replay_log_.occurrences();
    return c;
}

}  // namespace tessal
