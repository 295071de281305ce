#include "security/srtcp.hh"

#include <cstring>
#include <exception>

#include "security/aes.hh"
#include "security/crypto.hh"
#include "security/hmac.hh"
#include "util/log.hh"

namespace tessal {

namespace {

constexpr uint32_t k_e_flag = 0x80000000U;
constexpr size_t k_clear_prefix = 8;  // first RTCP header and sender SSRC
// The smallest protected packet: the clear prefix and the trailer.
constexpr size_t k_min_srtcp_size = k_clear_prefix + k_srtcp_trailer_size;

}  // namespace

void srtcp::compute_tag(srtp_ctx &ctx, const uint8_t *packet, size_t size, uint8_t *tag) {
    crypto::hmac::sha1 &mac = ctx.authenticator();
    mac.update(packet, size - k_srtp_tag_size);
    const uint8_t zero[4] = {};
    mac.update(zero, sizeof(zero));
    mac.final(tag, k_srtp_tag_size);
}

RTP_ERROR srtcp::encrypt(uint32_t ssrc, uint64_t index, uint8_t *data, size_t len) {
    if (data == nullptr && len != 0) {
        return RTP_BAD_ARGUMENT;
    }
    try {
        local_.apply_keystream(ssrc, index, data, len);
    } catch (const std::exception &) {
        return RTP_FAILED;
    }
    return RTP_SUCCESS;
}

RTP_ERROR srtcp::decrypt(uint32_t ssrc, uint32_t index, uint8_t *packet, size_t size) {
    if (packet == nullptr || size < k_min_srtcp_size) {
        return RTP_BAD_ARGUMENT;
    }
    try {
        remote_.apply_keystream(ssrc, index, packet + k_clear_prefix,
                                size - k_clear_prefix - k_srtcp_trailer_size);
    } catch (const std::exception &) {
        return RTP_FAILED;
    }
    return RTP_SUCCESS;
}

RTP_ERROR srtcp::add_auth_tag(uint8_t *packet, size_t size) {
    if (packet == nullptr || size < k_min_srtcp_size) {
        return RTP_BAD_ARGUMENT;
    }
    try {
        compute_tag(local_, packet, size, packet + size - k_srtp_tag_size);
    } catch (const std::exception &) {
        return RTP_FAILED;
    }
    return RTP_SUCCESS;
}

RTP_ERROR srtcp::verify_auth_tag(uint8_t *packet, size_t size) {
    if (packet == nullptr || size < k_min_srtcp_size) {
        return RTP_AUTH_FAILED;
    }
    uint8_t computed[k_srtp_tag_size];
    try {
        compute_tag(remote_, packet, size, computed);
    } catch (const std::exception &) {
        return RTP_AUTH_FAILED;
    }
    if (!crypto::equal_constant_time(computed, k_srtp_tag_size, packet + size - k_srtp_tag_size,
                                     k_srtp_tag_size)) {
        LOG_ERROR_LIMITED(auth_log_, "STCP authentication tag mismatch!");
        return RTP_AUTH_FAILED;
    }
    uint32_t word = 0;
    std::memcpy(&word, packet + size - k_srtcp_trailer_size, sizeof(word));
    if (is_replayed_packet(word & ~k_e_flag)) {
        return RTP_BAD_ARGUMENT;
    }
    remote_.window.accept(word & ~k_e_flag);
    return RTP_SUCCESS;
}

RTP_ERROR srtcp::handle_rtcp_encryption(int rce_flags, uint32_t packet_index, uint32_t ssrc,
                                        uint8_t *packet, uint32_t size) {
    if (!(rce_flags & RCE_SRTP)) {
        return RTP_SUCCESS;
    }
    if (!keyed_ || packet == nullptr || size < k_min_srtcp_size) {
        return RTP_BAD_ARGUMENT;
    }
    uint32_t word = packet_index & ~k_e_flag;
    if (!null_cipher_) {
        const RTP_ERROR rc = encrypt(ssrc, packet_index, packet + k_clear_prefix,
                                     size - k_clear_prefix - k_srtcp_trailer_size);
        if (rc != RTP_SUCCESS) {
            return rc;
        }
        word |= k_e_flag;
    }
    // Host order: the layout peers of this library read.
    std::memcpy(packet + size - k_srtcp_trailer_size, &word, sizeof(word));
    return add_auth_tag(packet, size);
}

RTP_ERROR srtcp::handle_rtcp_decryption(int rce_flags, uint32_t ssrc, uint8_t *packet,
                                        size_t size) {
    if (!(rce_flags & RCE_SRTP)) {
        return RTP_SUCCESS;
    }
    if (!keyed_ || packet == nullptr || size < k_min_srtcp_size) {
        LOG_ERROR_LIMITED(size_log_, "Failed to verify RTCP authentication tag!");
        return RTP_AUTH_FAILED;
    }
    uint32_t word = 0;
    std::memcpy(&word, packet + size - k_srtcp_trailer_size, sizeof(word));
    if (verify_auth_tag(packet, size) != RTP_SUCCESS) {
        LOG_ERROR_LIMITED(discard_log_, "Failed to verify RTCP authentication tag!");
        return RTP_AUTH_FAILED;
    }
    if ((word & k_e_flag) && !null_cipher_) {
        const RTP_ERROR rc = decrypt(ssrc, word & ~k_e_flag, packet, size);
        if (rc != RTP_SUCCESS) {
            // Reported, never parsed as RTCP: the bytes are still ciphertext.
            LOG_ERROR("Failed to decrypt RTCP Sender Report");
            return rc;
        }
    }
    return RTP_SUCCESS;
}

}  // namespace tessal
