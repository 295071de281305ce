#include "security/zrtp.hh"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

#include <cryptopp/misc.h>

#include "security/b32.hh"
#include "security/crypto.hh"
#include "security/dh.hh"
#include "security/hmac.hh"
#include "security/random.hh"
#include "security/sha256.hh"
#include "util/byte_reader.hh"
#include "util/log.hh"

namespace tessal {

using zrtp_msg::k_hash_size;
using zrtp_msg::k_mac_size;
using zrtp_msg::k_zid_size;

// --- construction ----------------------------------------------------------------

zrtp::zrtp() : hasher_(std::make_unique<crypto::sha256>()), dh_(std::make_unique<crypto::dh>()) {}

zrtp::~zrtp() {
    session_.wipe_secrets();
}

void zrtp::set_capture_listener(std::function<void()> listener) {
    std::lock_guard<std::mutex> guard(capture_lock_);
    on_capture_ = std::move(listener);
}

int zrtp::role() const {
    return session_.role;
}

void zrtp::get_sas_hash(uint8_t out[32]) const {
    std::memcpy(out, session_.sas_hash, sizeof(session_.sas_hash));
}

RTP_ERROR zrtp::get_sas(char out[5]) {
    if (out == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    if (!initialized_.load()) {
        return RTP_UNINITIALIZED;
    }
    std::lock_guard<std::mutex> guard(state_lock_);
    std::memcpy(out, sas_, sizeof(sas_));
    return RTP_SUCCESS;
}

void zrtp::render_sas() {
    // RFC 6189 section 5.1.6: the leftmost 20 bits of the SAS hash as four
    // base32 characters.
    uint8_t leftmost[4] = {};
    std::memcpy(leftmost, session_.sas_hash, 3);
    leftmost[2] &= 0xF0;
    uint8_t rendered[4] = {};
    crypto::b32 encoder;
    encoder.encode(leftmost, rendered, sizeof(rendered));
    std::lock_guard<std::mutex> guard(state_lock_);
    std::memcpy(sas_, rendered, 4);
    sas_[4] = '\0';
}

// --- the stream-side flags -----------------------------------------------------

bool zrtp::dh_keys_ready() {
    std::lock_guard<std::mutex> guard(state_lock_);
    return dh_keys_ready_;
}

void zrtp::set_dh_keys_ready() {
    std::lock_guard<std::mutex> guard(state_lock_);
    dh_keys_ready_ = true;
}

bool zrtp::try_take_turn() {
    std::lock_guard<std::mutex> guard(turn_lock_);
    if (negotiating_) {
        return false;
    }
    negotiating_ = true;
    return true;
}

void zrtp::give_turn() {
    std::lock_guard<std::mutex> guard(turn_lock_);
    negotiating_ = false;
}

// --- capture ---------------------------------------------------------------------

int zrtp::slot_of(zrtp_msg::msg_type type) {
    switch (type) {
        case zrtp_msg::msg_type::hello:
            return SLOT_HELLO;
        case zrtp_msg::msg_type::hello_ack:
            return SLOT_HELLO_ACK;
        case zrtp_msg::msg_type::commit:
            return SLOT_COMMIT;
        case zrtp_msg::msg_type::dh_part1:
            return SLOT_DH_PART1;
        case zrtp_msg::msg_type::dh_part2:
            return SLOT_DH_PART2;
        case zrtp_msg::msg_type::confirm1:
            return SLOT_CONFIRM1;
        case zrtp_msg::msg_type::confirm2:
            return SLOT_CONFIRM2;
        case zrtp_msg::msg_type::conf2ack:
            return SLOT_CONF2ACK;
        default:
            return -1;
    }
}

RTP_ERROR zrtp::packet_handler(void *arg, int, uint8_t *packet, size_t size,
                               frame::rtp_frame **out) {
    auto *b = static_cast<binding *>(arg);
    RTP_ERROR rc = RTP_SUCCESS;
    if (b != nullptr && b->owner != nullptr) {
        rc = b->owner->capture(b->channel, packet, size);  // checks the message once
    } else {
        zrtp_msg::msg_type type = zrtp_msg::msg_type::none;
        if (zrtp_msg::check_message(packet, size, &type) == RTP_PKT_SKIPPED) {
            rc = RTP_PKT_SKIPPED;
        }
    }
    if (rc != RTP_PKT_SKIPPED && out != nullptr) {
        *out = nullptr;
    }
    return rc;
}

RTP_ERROR zrtp::capture(const void *channel, const uint8_t *packet, size_t size) {
    return capture_into(channel, packet, size, nullptr);
}

RTP_ERROR zrtp::capture_into(const void *channel, const uint8_t *packet, size_t size,
                             std::vector<uint8_t> *reply_out) {
    zrtp_msg::msg_type type = zrtp_msg::msg_type::none;
    const RTP_ERROR rc = zrtp_msg::check_message(packet, size, &type);
    if (rc != RTP_SUCCESS) {
        return rc;
    }
    const int id = slot_of(type);
    if (id < 0) {
        return RTP_SUCCESS;  // recognised or unknown, never acted on
    }
    bool stored = false;
    std::function<void()> listener;
    std::vector<uint8_t> reply;
    zrtp_send_fn reply_send;
    {
        std::lock_guard<std::mutex> guard(capture_lock_);
        if (type == zrtp_msg::msg_type::confirm2) {
            // The peer did not get our Conf2ACK: answer again, a bounded
            // number of times, whatever the exchange is doing now.
            for (stored_reply &r : replies_) {
                if (r.channel == channel && r.remaining > 0) {
                    --r.remaining;
                    reply = r.message;
                    reply_send = r.send;
                    break;
                }
            }
        }
        slot &s = slots_[id];
        if (reply.empty() && run_channel_ != nullptr && channel == run_channel_ && !s.filled) {
            s.data.assign(packet, packet + size);
            s.filled = true;
            captures_.fetch_add(1);
            stored = true;
            listener = on_capture_;
        }
    }
    if (stored && listener) {
        listener();
    }
    if (!reply.empty() && reply_out != nullptr) {
        *reply_out = std::move(reply);
        replies_sent_.fetch_add(1);
    } else if (!reply.empty() && reply_send) {
        reply_send(reply.data(), reply.size());
        replies_sent_.fetch_add(1);
    }
    return RTP_SUCCESS;
}

void zrtp::forget_channel(const void *channel) {
    std::lock_guard<std::mutex> guard(capture_lock_);
    replies_.erase(
        std::remove_if(replies_.begin(), replies_.end(),
                       [channel](const stored_reply &r) { return r.channel == channel; }),
        replies_.end());
}

bool zrtp::filled(slot_id id) {
    std::lock_guard<std::mutex> guard(capture_lock_);
    return slots_[id].filled;
}

bool zrtp::copy_slot(slot_id id, std::vector<uint8_t> &out) {
    std::lock_guard<std::mutex> guard(capture_lock_);
    if (!slots_[id].filled) {
        return false;
    }
    out = slots_[id].data;
    return true;
}

bool zrtp::take_checked(slot_id id, std::vector<uint8_t> &out, const acceptor &accept) {
    if (!copy_slot(id, out)) {
        return false;
    }
    if (accept(out)) {
        return true;
    }
    // A forgery (or a message of another run) must not hold the slot that
    // the peer's real message needs.
    std::lock_guard<std::mutex> guard(capture_lock_);
    slot &s = slots_[id];
    if (s.filled && s.data == out) {
        s.filled = false;
        s.data.clear();
    }
    rejected_.fetch_add(1);
    return false;
}

// --- checks of received messages against the peer's hash chain ---------------------

bool zrtp::hello_ok(const std::vector<uint8_t> &msg) {
    // Only a Hello of our version is answered: one of another version may
    // be a forgery sent ahead of the peer's real Hello.
    if (msg.size() < zrtp_msg::k_hello_size || std::memcmp(msg.data() + 24, "1.10", 4) != 0) {
        unsupported_hello_ = true;
        return false;
    }
    return true;
}

bool zrtp::chains_to_hello(const uint8_t *h, int n) {
    uint8_t x[k_hash_size];
    uint8_t prev[k_hash_size];
    std::memcpy(x, h, k_hash_size);
    for (int i = 0; i < n; ++i) {
        std::memcpy(prev, x, k_hash_size);
        hasher_->update(prev, k_hash_size);
        hasher_->final(x);
    }
    uint64_t mac = 0;
    std::memcpy(&mac, session_.peer_hello_mac, sizeof(mac));
    return session_.peer_hello.size() >= zrtp_msg::k_hello_size &&
           CryptoPP::VerifyBufsEqual(x, session_.peer_hashes[3], k_hash_size) &&
           verify_hash(prev, session_.peer_hello.data(), zrtp_msg::k_hello_mac_input, mac) ==
               RTP_SUCCESS;
}

bool zrtp::commit_ok(const std::vector<uint8_t> &msg) {
    // H2 hashes to the Hello's H3 and keys the Hello's MAC.
    return msg.size() >= zrtp_msg::k_commit_size && chains_to_hello(msg.data() + 24, 1);
}

bool zrtp::dh_part_ok(const std::vector<uint8_t> &msg) {
    if (msg.size() < zrtp_msg::k_dh_size) {
        return false;
    }
    const uint8_t *h1 = msg.data() + 24;
    if (session_.role == 0) {
        return chains_to_hello(h1, 2);  // the responder's DHPart1
    }
    // The initiator's DHPart2: H1 hashes to the Commit's H2 and keys the
    // Commit's MAC.
    uint8_t h2[k_hash_size];
    hasher_->update(h1, k_hash_size);
    hasher_->final(h2);
    uint64_t mac = 0;
    std::memcpy(&mac, session_.peer_commit_mac, sizeof(mac));
    const std::vector<uint8_t> &commit = session_.peer_commit;
    return commit.size() >= zrtp_msg::k_commit_size &&
           CryptoPP::VerifyBufsEqual(h2, session_.peer_hashes[2], k_hash_size) &&
           verify_hash(h1, commit.data(), commit.size() - 12, mac) == RTP_SUCCESS;
}

bool zrtp::confirm_ok(const std::vector<uint8_t> &msg) {
    if (msg.size() < zrtp_msg::k_confirm_size) {
        return false;
    }
    if (std::memcmp(session_.key_agreement_type, "Mult", 4) == 0) {
        generate_shared_secrets_msm();  // the keys of this stream's commitment
    }
    // The MAC needs the keys only the peer can have; H0 must then chain to
    // the Hello.
    return zrtp_msg::confirm::open(reinterpret_cast<const zrtp_msg::zrtp_confirm *>(msg.data()),
                                   session_) == RTP_SUCCESS &&
           chains_to_hello(session_.peer_hashes[0], 3);
}

bool zrtp::hvi_matches(const std::vector<uint8_t> &dh_part2) {
    uint8_t hvi[k_hash_size];
    hash({&dh_part2, &session_.own_hello}, hvi);
    return CryptoPP::VerifyBufsEqual(hvi, session_.peer_hvi, k_hash_size);
}

// --- run framework ---------------------------------------------------------------

void zrtp::resetSession(uint32_t ssrc, const void *channel, zrtp_send_fn send) {
    reply_sender_ = std::move(send);
    session_.ssrc = ssrc;
    session_.seq = 0;
    unsupported_hello_ = false;
    // The peer's algorithms are this run's Hello's.
    session_.peer_hash_algos.clear();
    session_.peer_cipher_algos.clear();
    session_.peer_auth_tags.clear();
    session_.peer_key_agreements.clear();
    session_.peer_sas_types.clear();
    keys_known_.store(false);
    std::lock_guard<std::mutex> guard(capture_lock_);
    run_channel_ = channel;
    for (slot &s : slots_) {
        s.data.clear();
        s.filled = false;
    }
    replies_.erase(
        std::remove_if(replies_.begin(), replies_.end(),
                       [channel](const stored_reply &r) { return r.channel == channel; }),
        replies_.end());
}

void zrtp::end_run() {
    state_ = zrtp_state::idle;
    std::lock_guard<std::mutex> guard(capture_lock_);
    run_channel_ = nullptr;
}

// --- generation and derivation -----------------------------------------------------

void zrtp::generate_zid() {
    crypto::random::generate_random(session_.own_zid, sizeof(session_.own_zid));
}

void zrtp::generate_secrets() {
    crypto::random::generate_random(session_.rs1, sizeof(session_.rs1));
    crypto::random::generate_random(session_.rs2, sizeof(session_.rs2));
    crypto::random::generate_random(session_.aux_secret, sizeof(session_.aux_secret));
    crypto::random::generate_random(session_.pbx_secret, sizeof(session_.pbx_secret));
}

void zrtp::init_session_hashes() {
    crypto::random::generate_random(session_.hashes[0], k_hash_size);
    for (int i = 1; i < 4; ++i) {
        hasher_->update(session_.hashes[i - 1], k_hash_size);
        hasher_->final(session_.hashes[i]);
    }
}

void zrtp::hash(const std::vector<const std::vector<uint8_t> *> &parts, uint8_t *out) {
    for (const std::vector<uint8_t> *part : parts) {
        hasher_->update(part->data(), part->size());
    }
    hasher_->final(out);
}

void zrtp::zids_by_role(const uint8_t **zidi, const uint8_t **zidr) const {
    const bool initiator = session_.role == 0;
    *zidi = initiator ? session_.own_zid : session_.peer_zid;
    *zidr = initiator ? session_.peer_zid : session_.own_zid;
}

// HMAC-SHA256(key, 01 00 00 00 || label || ZIDi || ZIDr || total_hash || 00 ||
// bits as a big-endian word), cut to bits / 8 bytes.
void zrtp::kdf(const uint8_t *key, const char *label, uint32_t bits, uint8_t *out) {
    static const uint8_t counter[4] = {0x01, 0x00, 0x00, 0x00};
    const uint8_t *zidi = nullptr;
    const uint8_t *zidr = nullptr;
    zids_by_role(&zidi, &zidr);
    const uint8_t zero = 0;
    uint8_t length[4];
    write_be32(length, bits);
    crypto::hmac::sha256 mac(key, 32);
    mac.update(counter, sizeof(counter));
    mac.update(reinterpret_cast<const uint8_t *>(label), std::strlen(label));
    mac.update(zidi, k_zid_size);
    mac.update(zidr, k_zid_size);
    mac.update(session_.total_hash, k_hash_size);
    mac.update(&zero, 1);
    mac.update(reinterpret_cast<const uint8_t *>(&length), sizeof(length));
    uint8_t full[32];
    mac.final(full);
    std::memcpy(out, full, std::min<size_t>(bits / 8, sizeof(full)));
    crypto::wipe(full, sizeof(full));
}

RTP_ERROR zrtp::derive_key(const char *label, uint32_t bits, uint8_t *out) {
    if (label == nullptr || out == nullptr || bits == 0 || bits > 256 || bits % 8 != 0) {
        return RTP_BAD_ARGUMENT;
    }
    kdf(session_.s0, label, bits, out);
    return RTP_SUCCESS;
}

RTP_ERROR zrtp::verify_hash(const uint8_t *key, const uint8_t *data, size_t len,
                            uint64_t expected) {
    crypto::hmac::sha256 mac(key, 32);
    mac.update(data, len);
    uint8_t computed[k_mac_size];
    mac.final(computed, k_mac_size);
    uint8_t carried[k_mac_size];
    std::memcpy(carried, &expected, sizeof(carried));
    return crypto::equal_constant_time(computed, sizeof(computed), carried, sizeof(carried))
               ? RTP_SUCCESS
               : RTP_BAD_ARGUMENT;
}

RTP_ERROR zrtp::generate_shared_secrets_dh() {
    dh_->set_remote_pk(session_.peer_public_key, sizeof(session_.peer_public_key));
    if (!dh_->remote_pk_is_valid()) {
        // 0, 1 and p - 1 would make every key below computable from the
        // public messages (RFC 6189 section 4.4.1.1).
        LOG_ERROR("The peer's Diffie-Hellman public value is outside [2, p - 2], refusing it");
        return RTP_FAILED;
    }
    dh_->get_shared_secret(session_.dh_result, sizeof(session_.dh_result));

    // total_hash = hash(Hello of the responder || Commit || DHPart1 || DHPart2)
    if (session_.role == 1) {
        hash({&session_.own_hello, &session_.peer_commit, &session_.own_dh, &session_.peer_dh},
             session_.total_hash);
    } else {
        hash({&session_.peer_hello, &session_.own_commit, &session_.peer_dh, &session_.own_dh},
             session_.total_hash);
    }

    static const uint8_t counter[4] = {0x00, 0x00, 0x00, 0x01};
    static const char kdf_label[] = "ZRTP-HMAC-KDF";
    static const uint8_t absent[12] = {};  // lengths of s1, s2, s3
    const uint8_t *zidi = nullptr;
    const uint8_t *zidr = nullptr;
    zids_by_role(&zidi, &zidr);
    hasher_->update(counter, sizeof(counter));
    hasher_->update(session_.dh_result, sizeof(session_.dh_result));
    hasher_->update(reinterpret_cast<const uint8_t *>(kdf_label), sizeof(kdf_label) - 1);
    hasher_->update(zidi, k_zid_size);
    hasher_->update(zidr, k_zid_size);
    hasher_->update(session_.total_hash, k_hash_size);
    hasher_->update(absent, sizeof(absent));
    hasher_->final(session_.s0);
    crypto::wipe(session_.dh_result, sizeof(session_.dh_result));

    kdf(session_.s0, "ZRTP Session Key", 256, session_.zrtp_session_key);
    kdf(session_.s0, "SAS", 256, session_.sas_hash);
    derive_confirm_keys();
    return RTP_SUCCESS;
}

void zrtp::derive_confirm_keys() {
    kdf(session_.s0, "Initiator ZRTP key", 128, session_.initiator_zrtp_key);
    kdf(session_.s0, "Responder ZRTP key", 128, session_.responder_zrtp_key);
    kdf(session_.s0, "Initiator HMAC key", 256, session_.initiator_hmac_key);
    kdf(session_.s0, "Responder HMAC key", 256, session_.responder_hmac_key);
}

RTP_ERROR zrtp::generate_shared_secrets_msm() {
    if (session_.role == 1) {
        hash({&session_.own_hello, &session_.peer_commit}, session_.total_hash);
    } else {
        hash({&session_.peer_hello, &session_.own_commit}, session_.total_hash);
    }
    kdf(session_.zrtp_session_key, "ZRTP MSK", 256, session_.s0);
    // RFC 6189 sections 4.4.3 and 4.5.3: the Confirm messages of a
    // multistream exchange are keyed from its own s0, so that a Commit
    // altered on the way makes them fail instead of both ends agreeing on
    // different SRTP keys.
    derive_confirm_keys();
    return RTP_SUCCESS;
}

RTP_ERROR zrtp::validate_session() {
    uint8_t chain[4][k_hash_size];
    std::memcpy(chain[0], session_.peer_hashes[0], k_hash_size);
    for (int i = 1; i < 4; ++i) {
        hasher_->update(chain[i - 1], k_hash_size);
        hasher_->final(chain[i]);
    }
    const auto mac_of = [](const uint8_t *mac) {
        uint64_t value = 0;
        std::memcpy(&value, mac, sizeof(value));
        return value;
    };
    // Each message's MAC is keyed with the preimage of the hash it carried,
    // and the hashes it carried must be the peer's chain.
    const std::vector<uint8_t> &hello = session_.peer_hello;
    if (hello.size() < zrtp_msg::k_hello_size ||
        !crypto::equal_constant_time(chain[3], k_hash_size, session_.peer_hashes[3], k_hash_size) ||
        verify_hash(chain[2], hello.data(), zrtp_msg::k_hello_mac_input,
                    mac_of(session_.peer_hello_mac)) != RTP_SUCCESS) {
        LOG_ERROR("Hash mismatch for Hello Message!");
        return RTP_BAD_ARGUMENT;
    }
    if (session_.role == 1) {
        const std::vector<uint8_t> &commit = session_.peer_commit;
        if (commit.size() < zrtp_msg::k_commit_size ||
            !crypto::equal_constant_time(chain[2], k_hash_size, session_.peer_hashes[2],
                                         k_hash_size) ||
            verify_hash(chain[1], commit.data(), commit.size() - 12,
                        mac_of(session_.peer_commit_mac)) != RTP_SUCCESS) {
            LOG_ERROR("Hash mismatch for Commit Message!");
            return RTP_BAD_ARGUMENT;
        }
    }
    const std::vector<uint8_t> &dh = session_.peer_dh;
    if (dh.size() < zrtp_msg::k_dh_size ||
        !crypto::equal_constant_time(chain[1], k_hash_size, session_.peer_hashes[1], k_hash_size) ||
        verify_hash(chain[0], dh.data(), dh.size() - 12, mac_of(session_.peer_dh_mac)) !=
            RTP_SUCCESS) {
        LOG_ERROR("Hash mismatch for DHPart1/DHPart2 Message!");
        return RTP_BAD_ARGUMENT;
    }
    return RTP_SUCCESS;
}

// --- keys --------------------------------------------------------------------------

RTP_ERROR zrtp::get_srtp_keys(uint8_t *local_key, uint32_t local_key_bits, uint8_t *remote_key,
                              uint32_t remote_key_bits, uint8_t *local_salt,
                              uint32_t local_salt_bits, uint8_t *remote_salt,
                              uint32_t remote_salt_bits) {
    const auto valid = [](const uint8_t *p, uint32_t bits) {
        return p != nullptr && bits != 0 && bits <= 256 && bits % 8 == 0;
    };
    if (!valid(local_key, local_key_bits) || !valid(remote_key, remote_key_bits) ||
        !valid(local_salt, local_salt_bits) || !valid(remote_salt, remote_salt_bits)) {
        return RTP_BAD_ARGUMENT;
    }
    if (!initialized_.load() && !keys_known_.load()) {
        return RTP_UNINITIALIZED;
    }
    std::lock_guard<std::recursive_mutex> run_guard(session_.session_mutex);
    const bool initiator = session_.role == 0;
    kdf(session_.s0, initiator ? "Initiator SRTP master key" : "Responder SRTP master key",
        local_key_bits, local_key);
    kdf(session_.s0, initiator ? "Initiator SRTP master salt" : "Responder SRTP master salt",
        local_salt_bits, local_salt);
    kdf(session_.s0, initiator ? "Responder SRTP master key" : "Initiator SRTP master key",
        remote_key_bits, remote_key);
    kdf(session_.s0, initiator ? "Responder SRTP master salt" : "Initiator SRTP master salt",
        remote_salt_bits, remote_salt);
    return RTP_SUCCESS;
}

}  // namespace tessal
