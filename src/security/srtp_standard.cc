#include "security/srtp_standard.hh"

#include <cryptopp/misc.h>

#include <cstring>
#include <exception>

#include "security/aes.hh"
#include "security/aes_gcm.hh"
#include "security/crypto.hh"
#include "security/hmac.hh"
#include "util/byte_reader.hh"

namespace tessal {

namespace {

constexpr size_t k_rtp_header_size = 12;
constexpr size_t k_cm_salt = 14;
constexpr size_t k_auth_key_size = 20;
constexpr uint8_t k_rtcp_label_offset = 3;

// RFC 4568 section 6.2, RFC 6188 section 6, RFC 7714 section 14.2.
constexpr srtp_profile_info k_profiles[] = {
    {SRTP_AES_CM_128_HMAC_SHA1_80, "AES_CM_128_HMAC_SHA1_80", 16, 14, 10, 10, false},
    {SRTP_AES_CM_128_HMAC_SHA1_32, "AES_CM_128_HMAC_SHA1_32", 16, 14, 4, 10, false},
    {SRTP_AES_256_CM_HMAC_SHA1_80, "AES_256_CM_HMAC_SHA1_80", 32, 14, 10, 10, false},
    {SRTP_AEAD_AES_128_GCM, "AEAD_AES_128_GCM", 16, 12, 16, 16, true},
    {SRTP_AEAD_AES_256_GCM, "AEAD_AES_256_GCM", 32, 12, 16, 16, true},
};

// The length of the RTP header at `packet` (CSRCs and extension included),
// or 0 when it does not fit in `size` bytes.
size_t rtp_header_length(const uint8_t *packet, size_t size) {
    byte_reader reader(packet, size);
    uint8_t b0 = 0;
    if (!reader.read_u8(b0) || (b0 >> 6) != 2 || !reader.skip(k_rtp_header_size - 1) ||
        !reader.skip(4 * size_t{b0 & 0x0FU})) {
        return 0;
    }
    if (b0 & 0x10U) {
        uint16_t profile = 0;
        uint16_t words = 0;
        if (!reader.read_u16(profile) || !reader.read_u16(words) ||
            !reader.skip(4 * size_t{words})) {
            return 0;
        }
    }
    return reader.position();
}

}  // namespace

const srtp_profile_info *find_srtp_profile(int id) noexcept {
    for (const srtp_profile_info &p : k_profiles) {
        if (p.id == id) {
            return &p;
        }
    }
    return nullptr;
}

const srtp_profile_info *find_srtp_profile(const char *name, size_t len) noexcept {
    if (name == nullptr) {
        return nullptr;
    }
    for (const srtp_profile_info &p : k_profiles) {
        if (std::strlen(p.name) == len && std::memcmp(p.name, name, len) == 0) {
            return &p;
        }
    }
    return nullptr;
}

// --- RFC 3711 section 4.3 ---------------------------------------------------

RTP_ERROR srtp_std_derive(const uint8_t *master_key, size_t key_len, const uint8_t *master_salt,
                          size_t salt_len, uint8_t label, uint8_t *out, size_t out_len) noexcept {
    if (master_key == nullptr || master_salt == nullptr || out == nullptr ||
        (salt_len != 12 && salt_len != k_cm_salt) || out_len > 128) {
        return RTP_BAD_ARGUMENT;
    }
    // x = (master salt, zero-padded to 112 bits) XOR (label || index DIV
    // kdr) with the 56-bit key_id right-aligned: the label lands on byte 7.
    uint8_t iv[16] = {};
    std::memcpy(iv, master_salt, salt_len);
    iv[7] ^= label;
    try {
        std::memset(out, 0, out_len);
        crypto::aes::ctr prf(master_key, key_len, iv);
        prf.encrypt(out, out, out_len);
    } catch (const std::exception &) {
        return RTP_FAILED;
    }
    return RTP_SUCCESS;
}

srtp_std_keys::srtp_std_keys() = default;
srtp_std_keys::~srtp_std_keys() {
    crypto::wipe(salt_.data(), salt_.size());
}

RTP_ERROR srtp_std_keys::init(const srtp_profile_info &profile, const uint8_t *master, bool rtcp) {
    const uint8_t *key = master;
    const uint8_t *salt = master + profile.key_len;
    const uint8_t offset = rtcp ? k_rtcp_label_offset : 0;
    uint8_t enc[32] = {};
    uint8_t auth[k_auth_key_size] = {};
    salt_.fill(0);
    RTP_ERROR rc =
        srtp_std_derive(key, profile.key_len, salt, profile.salt_len, offset, enc, profile.key_len);
    if (rc == RTP_SUCCESS) {
        rc = srtp_std_derive(key, profile.key_len, salt, profile.salt_len,
                             static_cast<uint8_t>(offset + 2), salt_.data(), profile.salt_len);
    }
    if (rc == RTP_SUCCESS && !profile.aead) {
        rc = srtp_std_derive(key, profile.key_len, salt, profile.salt_len,
                             static_cast<uint8_t>(offset + 1), auth, sizeof(auth));
    }
    if (rc == RTP_SUCCESS) {
        rc = init_session(profile, enc, salt_.data(), profile.aead ? nullptr : auth);
    }
    crypto::wipe(enc, sizeof(enc));
    crypto::wipe(auth, sizeof(auth));
    return rc;
}

RTP_ERROR srtp_std_keys::init_session(const srtp_profile_info &profile, const uint8_t *enc_key,
                                      const uint8_t *salt, const uint8_t *auth_key) {
    if (enc_key == nullptr || salt == nullptr || (!profile.aead && auth_key == nullptr)) {
        return RTP_BAD_ARGUMENT;
    }
    if (salt != salt_.data()) {
        salt_.fill(0);
        std::memcpy(salt_.data(), salt, profile.salt_len);
    }
    try {
        if (profile.aead) {
            gcm_ = std::make_unique<crypto::aes::gcm>(enc_key, profile.key_len);
        } else {
            const uint8_t zero_iv[16] = {};
            ctr_ = std::make_unique<crypto::aes::ctr>(enc_key, profile.key_len, zero_iv);
            mac_ = std::make_unique<crypto::hmac::sha1>(auth_key, k_auth_key_size);
        }
    } catch (const std::exception &) {
        return RTP_FAILED;
    }
    profile_ = &profile;
    return RTP_SUCCESS;
}

void srtp_std_keys::cm_iv(uint32_t ssrc, uint64_t index, uint8_t *iv) const noexcept {
    std::memset(iv, 0, 16);
    std::memcpy(iv, salt_.data(), k_cm_salt);
    for (int i = 0; i < 4; ++i) {
        iv[4 + i] ^= static_cast<uint8_t>(ssrc >> (24 - 8 * i));
    }
    for (int i = 0; i < 6; ++i) {
        iv[8 + i] ^= static_cast<uint8_t>(index >> (40 - 8 * i));
    }
}

void srtp_std_keys::gcm_iv(uint32_t ssrc, uint32_t roc, uint32_t low, bool rtcp,
                           uint8_t *iv) const noexcept {
    // SRTP:  00 00 | SSRC | ROC | SEQ         SRTCP: 00 00 | SSRC | 00 00 | 0 || index
    uint8_t block[12] = {};
    write_be32(block + 2, ssrc);
    if (rtcp) {
        write_be32(block + 8, low & 0x7FFFFFFFU);
    } else {
        write_be32(block + 6, roc);
        write_be16(block + 10, static_cast<uint16_t>(low));
    }
    for (size_t i = 0; i < sizeof(block); ++i) {
        iv[i] = static_cast<uint8_t>(block[i] ^ salt_[i]);
    }
}

RTP_ERROR srtp_std_key_directions(int profile, bool rtcp, srtp_std_keys &send,
                                  const uint8_t *send_master, size_t send_len, srtp_std_keys &recv,
                                  const uint8_t *recv_master, size_t recv_len,
                                  const srtp_profile_info **keyed_profile) {
    const srtp_profile_info *p = find_srtp_profile(profile);
    if (p == nullptr || (send_master == nullptr && recv_master == nullptr)) {
        return RTP_BAD_ARGUMENT;
    }
    const size_t need = p->key_len + p->salt_len;
    if ((send_master != nullptr && send_len != need) ||
        (recv_master != nullptr && recv_len != need)) {
        return RTP_BAD_ARGUMENT;
    }
    RTP_ERROR rc = RTP_SUCCESS;
    if (send_master != nullptr) {
        rc = send.init(*p, send_master, rtcp);
    }
    if (rc == RTP_SUCCESS && recv_master != nullptr) {
        rc = recv.init(*p, recv_master, rtcp);
    }
    if (rc == RTP_SUCCESS) {
        *keyed_profile = p;
    }
    return rc;
}

// --- SRTP -------------------------------------------------------------------

RTP_ERROR srtp_standard::init(int profile, const uint8_t *send_master, size_t send_len,
                              const uint8_t *recv_master, size_t recv_len) {
    const srtp_profile_info *p = nullptr;
    const RTP_ERROR rc = srtp_std_key_directions(profile, false, send_, send_master, send_len,
                                                 recv_, recv_master, recv_len, &p);
    if (rc == RTP_SUCCESS) {
        profile_ = p;
        keyed_.store(true, std::memory_order_release);
    }
    return rc;
}

bool srtp_standard::next_send_index(uint32_t ssrc, uint16_t seq, uint64_t *index) {
    sender *state = last_sender_;
    if (state == nullptr || ssrc != last_sender_ssrc_) {
        auto it = senders_.find(ssrc);
        if (it == senders_.end()) {
            if (senders_.size() >= k_std_srtp_max_ssrcs) {
                return false;  // forgetting one could reuse its indices
            }
            // The first packet of an SSRC: ROC 0 (RFC 3711 section 3.3.1).
            it = senders_.emplace(ssrc, sender{0, seq}).first;
        }
        state = &it->second;
        last_sender_ = state;
        last_sender_ssrc_ = ssrc;
    }
    // The roll-over counter follows every wrap of the sequence number, even
    // one across packets never sent, so keystream is never used twice.
    if (seq < state->last_seq && state->last_seq - seq >= 0x8000) {
        ++state->roc;
    }
    state->last_seq = seq;
    *index = (uint64_t{state->roc} << 16) | seq;
    return true;
}

RTP_ERROR srtp_standard::protect(buffer_vector &pieces) {
    if (!keyed() || !send_.keyed() || pieces.size() != 3 || pieces[0].first < k_rtp_header_size ||
        pieces[0].second == nullptr || pieces[2].first < k_std_srtp_max_tag ||
        (pieces[1].second == nullptr && pieces[1].first != 0)) {
        return RTP_BAD_ARGUMENT;
    }
    const uint8_t *header = pieces[0].second;
    const size_t header_len = pieces[0].first;
    uint8_t *payload = pieces[1].second;
    const size_t len = pieces[1].first;
    uint8_t *tag = pieces[2].second;
    const uint32_t ssrc = read_be32(header + 8);
    const uint16_t seq = read_be16(header + 2);

    uint64_t index = 0;
    if (!next_send_index(ssrc, seq, &index)) {
        LOG_ERROR("Too many SSRCs sent with one SRTP key");
        return RTP_FAILED;
    }
    const auto send_roc = static_cast<uint32_t>(index >> 16);
    try {
        if (profile_->aead) {
            uint8_t iv[crypto::aes::gcm::iv_size];
            send_.gcm_iv(ssrc, send_roc, seq, false, iv);
            send_.gcm().seal(iv, header, header_len, payload, len, payload, tag);
        } else {
            uint8_t iv[16];
            send_.cm_iv(ssrc, index, iv);
            send_.ctr().resync(iv);
            if (len > 0) {
                send_.ctr().encrypt(payload, payload, len);
            }
            uint8_t roc[4];
            write_be32(roc, send_roc);
            crypto::hmac::sha1 &mac = send_.mac();
            mac.update(header, header_len);
            if (len > 0) {
                mac.update(payload, len);
            }
            mac.update(roc, sizeof(roc));
            mac.final(tag, profile_->rtp_tag_len);
        }
    } catch (const std::exception &) {
        return RTP_FAILED;
    }
    pieces[2].first = profile_->rtp_tag_len;
    return RTP_SUCCESS;
}

RTP_ERROR srtp_standard::drop(log::limiter &lim, const char *what) {
    LOG_WARN_LIMITED(lim, "Dropped an SRTP packet: %s", what);
    return RTP_FAILED;
}

bool srtp_standard::verify(const uint8_t *packet, size_t size, size_t header_len, uint8_t *payload,
                           uint32_t ssrc, uint64_t index) {
    const size_t tag_len = profile_->rtp_tag_len;
    const size_t len = size - header_len - tag_len;
    const auto roc = static_cast<uint32_t>(index >> 16);
    if (profile_->aead) {
        uint8_t iv[crypto::aes::gcm::iv_size];
        recv_.gcm_iv(ssrc, roc, static_cast<uint32_t>(index & 0xFFFF), false, iv);
        uint8_t tag[crypto::aes::gcm::tag_size];
        std::memcpy(tag, payload + len, sizeof(tag));
        return recv_.gcm().open(iv, packet, header_len, payload, len, tag, payload);
    }
    // RFC 3711 section 3.3: authenticate first, then decrypt.
    uint8_t roc_bytes[4];
    write_be32(roc_bytes, roc);
    uint8_t computed[crypto::hmac::sha1::digest_size];
    crypto::hmac::sha1 &mac = recv_.mac();
    mac.update(packet, size - tag_len);
    mac.update(roc_bytes, sizeof(roc_bytes));
    mac.final(computed, tag_len);
    if (!crypto::equal_constant_time(computed, tag_len, packet + size - tag_len, tag_len)) {
        return false;
    }
    uint8_t iv[16];
    recv_.cm_iv(ssrc, index, iv);
    recv_.ctr().resync(iv);
    if (len > 0) {
        recv_.ctr().decrypt(payload, payload, len);
    }
    return true;
}

RTP_ERROR srtp_standard::unprotect_payload(const uint8_t *packet, size_t size, size_t header_len,
                                           uint8_t *payload, size_t *plain_len) {
    if (!keyed() || !recv_.keyed()) {
        return drop(malformed_log_, "no receive keys");
    }
    if (header_len < k_rtp_header_size || size < header_len + profile_->rtp_tag_len) {
        return drop(malformed_log_, "too short");
    }
    const uint32_t ssrc = read_be32(packet + 8);
    const uint16_t seq = read_be16(packet + 2);
    auto it = receivers_.find(ssrc);
    receiver fresh;
    receiver &state = it != receivers_.end() ? it->second : fresh;
    const uint64_t index = state.index.estimate(seq);
    if (state.window.is_replayed(index)) {
        return drop(replay_log_, "replayed or too old");
    }
    bool ok = false;
    try {
        ok = verify(packet, size, header_len, payload, ssrc, index);
    } catch (const std::exception &) {
        ok = false;
    }
    if (!ok) {
        return drop(auth_log_, "authentication failed");
    }
    if (it == receivers_.end()) {
        if (receivers_.size() >= k_std_srtp_max_ssrcs) {
            return drop(malformed_log_, "too many senders");
        }
        it = receivers_.emplace(ssrc, fresh).first;
    }
    // Only an authenticated packet moves the receive state on.
    it->second.index.update(index);
    it->second.window.accept(index);
    *plain_len = size - header_len - profile_->rtp_tag_len;
    return RTP_SUCCESS;
}

RTP_ERROR srtp_standard::unprotect(uint8_t *packet, size_t size, size_t *plain_size) {
    if (packet == nullptr || plain_size == nullptr || !keyed()) {
        return RTP_BAD_ARGUMENT;
    }
    const size_t header_len = rtp_header_length(packet, size);
    if (header_len == 0) {
        return drop(malformed_log_, "bad RTP header");
    }
    size_t plain = 0;
    const RTP_ERROR rc = unprotect_payload(packet, size, header_len, packet + header_len, &plain);
    if (rc == RTP_SUCCESS) {
        *plain_size = header_len + plain;
    }
    return rc;
}

RTP_ERROR srtp_standard::send_packet_handler(void *arg, buffer_vector &pieces) {
    auto *self = static_cast<srtp_standard *>(arg);
    if (self == nullptr || !self->keyed()) {
        return RTP_BAD_ARGUMENT;
    }
    std::lock_guard<std::mutex> guard(self->send_lock_);
    return self->protect(pieces);
}

RTP_ERROR srtp_standard::recv_packet_handler(void *arg, int, uint8_t *packet, size_t size,
                                             frame::rtp_frame **out) {
    auto *self = static_cast<srtp_standard *>(arg);
    if (self == nullptr || packet == nullptr || out == nullptr || *out == nullptr ||
        !self->keyed()) {
        return RTP_FAILED;
    }
    frame::rtp_frame *f = *out;
    // The header parser leaves tag and padding in the payload of an SRTP
    // stream: the payload is everything after the header.
    if (f->payload_length > size || (f->payload == nullptr && f->payload_length != 0)) {
        return self->drop(self->malformed_log_, "inconsistent frame");
    }
    const size_t header_len = size - f->payload_length;
    size_t plain = 0;
    const RTP_ERROR rc = self->unprotect_payload(packet, size, header_len, f->payload, &plain);
    if (rc != RTP_SUCCESS) {
        return rc;
    }
    f->payload_length = plain;
    if (f->header.padding) {
        // RFC 3550 section 5.1: the last octet counts the padding.
        const size_t pad = plain > 0 ? f->payload[plain - 1] : 0;
        if (pad == 0 || pad > plain) {
            return self->drop(self->malformed_log_, "bad padding");
        }
        f->payload_length -= pad;
        f->padding_length = pad;
    }
    return RTP_PKT_CHANGED;
}

srtp_drop_counts srtp_standard::drops() const noexcept {
    srtp_drop_counts c;
    c.malformed = malformed_log_.occurrences();
    c.auth = auth_log_.occurrences();
    c.replay = replay_log_.occurrences();
    return c;
}

}  // namespace tessal
