#include "security/zrtp_msg.hh"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "security/aes.hh"
#include "security/crc32.hh"
#include "security/crypto.hh"
#include "security/hmac.hh"
#include "security/random.hh"
#include "util/byte_reader.hh"
#include "util/log.hh"

namespace tessal {

void zrtp_session::wipe_secrets() noexcept {
    const auto wipe = [](uint8_t *p, size_t n) { crypto::wipe(p, n); };
    wipe(dh_result, sizeof(dh_result));
    wipe(zrtp_session_key, sizeof(zrtp_session_key));
    wipe(sas_hash, sizeof(sas_hash));
    wipe(initiator_zrtp_key, sizeof(initiator_zrtp_key));
    wipe(responder_zrtp_key, sizeof(responder_zrtp_key));
    wipe(initiator_hmac_key, sizeof(initiator_hmac_key));
    wipe(responder_hmac_key, sizeof(responder_hmac_key));
    wipe(rs1, sizeof(rs1));
    wipe(rs2, sizeof(rs2));
    wipe(aux_secret, sizeof(aux_secret));
    wipe(pbx_secret, sizeof(pbx_secret));
    wipe(s0, sizeof(s0));
    wipe(&hashes[0][0], sizeof(hashes));
}

namespace zrtp_msg {

namespace {

constexpr uint8_t k_magic[4] = {'Z', 'R', 'T', 'P'};
constexpr uint16_t k_preamble = 0x505A;
constexpr const char k_version[4] = {'1', '.', '1', '0'};
constexpr const char k_client_id[16] = "Tessal,ZEB,MORL";

void put_le16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

uint16_t get_le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// Writes the first 8 bytes of HMAC-SHA256(key, data) to `mac`.
void mac8(const uint8_t *key, const uint8_t *data, size_t len, uint8_t *mac) {
    crypto::hmac::sha256 h(key, k_hash_size);
    h.update(data, len);
    h.final(mac, k_mac_size);
}

struct type_rule {
    const char *block;  // 8 bytes
    msg_type type;
    uint16_t min_len;  // inclusive
    uint16_t max_len;  // inclusive
    size_t layout;     // fixed size the parser reads, 0 for none
    const char *warning;
};

constexpr uint16_t k_any = 0xFFFF;

// Lengths in words after the first 16 bytes (CRC excluded). Commit also
// allows 25 and 27 (RFC 6189's nonce forms); its layout still requires 29.
const type_rule k_rules[] = {
    {"Hello   ", msg_type::hello, 22, k_any, k_hello_size, "ZRTP Hello length field is wrong"},
    {"HelloACK", msg_type::hello_ack, 3, 3, k_hello_ack_size,
     "ZRTP Hello ACK length field is wrong"},
    {"Commit  ", msg_type::commit, 25, 29, k_commit_size, "ZRTP Commit length field is wrong"},
    {"DHPart1 ", msg_type::dh_part1, 21, k_any, k_dh_size, "ZRTP DH Part1 length field is wrong"},
    {"DHPart2 ", msg_type::dh_part2, 21, k_any, k_dh_size, "ZRTP DH Part2 length field is wrong"},
    {"Confirm1", msg_type::confirm1, 19, k_any, k_confirm_size,
     "ZRTP Confirm1 length field is wrong"},
    {"Confirm2", msg_type::confirm2, 19, k_any, k_confirm_size,
     "ZRTP Confirm1 length field is wrong"},
    {"Conf2ACK", msg_type::conf2ack, 3, 3, k_conf2ack_size, "ZRTP Conf2 ACK length field is wrong"},
    {"Error   ", msg_type::error, 4, 4, k_error_size, "ZRTP Error length field is wrong"},
    {"ErrorACK", msg_type::error_ack, 3, 3, 0, "ZRTP Error ACK length field is wrong"},
    {"RelayACK", msg_type::relay_ack, 3, 3, 0, "ZRTP Relay ACK length field is wrong"},
    {"PingACK ", msg_type::ping_ack, 9, 9, 0, "ZRTP Relay ACK length field is wrong"},
    {"SASrelay", msg_type::sas_relay, 19, k_any, 0, "ZRTP SAS Relay length field is wrong"},
};

}  // namespace

size_t layout_size(msg_type type) noexcept {
    for (const type_rule &rule : k_rules) {
        if (rule.type == type) {
            return rule.layout;
        }
    }
    return 0;
}

RTP_ERROR check_message(const uint8_t *packet, size_t size, msg_type *type) noexcept {
    if (packet == nullptr || size < k_header_size || (packet[0] & 0x0F) != 0 ||
        get_le16(packet + 12) != k_preamble) {
        return RTP_PKT_SKIPPED;
    }
    const uint16_t length = get_le16(packet + 14);
    const type_rule *match = nullptr;
    for (const type_rule &rule : k_rules) {
        if (std::memcmp(packet + 16, rule.block, 8) == 0) {
            match = &rule;
            break;
        }
    }
    // Length-field warnings come from unauthenticated input: at most one a
    // second per message type.
    static log::limiter limiters[sizeof(k_rules) / sizeof(k_rules[0])];
    if (match == nullptr) {
        *type = msg_type::unknown;
        return RTP_SUCCESS;
    }
    // The length must fit the type, describe this very datagram, and leave
    // room for every field the parser reads.
    if (length < match->min_len || length > match->max_len ||
        zrtp_message::header_length_to_packet(length) != size ||
        size < std::max(match->layout, k_header_size + k_crc_size)) {
        LOG_WARN_LIMITED_AS(limiters[match - k_rules], "check_message", "%s", match->warning);
        return RTP_BAD_ARGUMENT;
    }
    switch (match->type) {
        case msg_type::hello:
        case msg_type::hello_ack:
        case msg_type::commit:
        case msg_type::dh_part1:
        case msg_type::dh_part2:
        case msg_type::confirm1:
        case msg_type::confirm2:
        case msg_type::conf2ack: {
            uint32_t crc = 0;
            std::memcpy(&crc, packet + size - k_crc_size, sizeof(crc));
            if (!crypto::crc32::verify_crc32(packet, size - k_crc_size, crc)) {
                return RTP_UNSUPPORTED;
            }
            break;
        }
        default:
            break;
    }
    *type = match->type;
    return RTP_SUCCESS;
}

// --- zrtp_message ----------------------------------------------------------------

zrtp_message::~zrtp_message() {
    frame::dealloc_frame(frame_);
    frame::dealloc_frame(rframe_);
}

void zrtp_message::allocate_frame(size_t len) {
    frame::dealloc_frame(frame_);
    frame_ = frame::alloc_zrtp_frame(len);
    len_ = frame_ != nullptr ? len : 0;
}

void zrtp_message::allocate_rframe(size_t len) {
    frame::dealloc_frame(rframe_);
    rframe_ = frame::alloc_zrtp_frame(len);
    rlen_ = rframe_ != nullptr ? len : 0;
}

void zrtp_message::set_zrtp_start_base(zrtp_msg &msg, const std::string &type) {
    auto *bytes = reinterpret_cast<uint8_t *>(&msg);
    bytes[0] = 0;
    bytes[1] = 0;
    std::memcpy(bytes + 4, k_magic, 4);
    put_le16(bytes + 12, k_preamble);
    put_le16(bytes + 14, packet_to_header_len(static_cast<ssize_t>(len_)));
    char block[8];
    std::memset(block, ' ', sizeof(block));
    std::memcpy(block, type.data(), std::min(type.size(), sizeof(block)));
    std::memcpy(bytes + 16, block, sizeof(block));
}

void zrtp_message::set_zrtp_start(zrtp_msg &msg, zrtp_session &session, const std::string &type) {
    set_zrtp_start_base(msg, type);
    auto *bytes = reinterpret_cast<uint8_t *>(&msg);
    put_le16(bytes + 2, session.seq++);
    write_be32(bytes + 8, session.ssrc);
}

uint16_t zrtp_message::packet_to_header_len(ssize_t size) {
    if (size < 16 || size % 4 != 0) {
        log::write(log::level::error, "log_platform_error", "%s: %s %d\n",
                   "ZRTP message length is not divisible by 32-bit word", std::strerror(errno),
                   errno);
        return 0;
    }
    return static_cast<uint16_t>((size - 16) / 4);
}

void zrtp_message::finish_crc() {
    uint8_t *bytes = data();
    const uint32_t crc = crypto::crc32::calculate_crc32(bytes, len_ - k_crc_size);
    std::memcpy(bytes + len_ - k_crc_size, &crc, sizeof(crc));
}

// --- messages --------------------------------------------------------------------

hello::hello(zrtp_session &session) {
    allocate_frame(k_hello_size);
    auto *m = reinterpret_cast<zrtp_hello *>(frame_);
    set_zrtp_start(m->msg, session, "Hello");
    std::memcpy(m->version, k_version, sizeof(m->version));
    std::memcpy(m->client, k_client_id, sizeof(m->client));
    std::memcpy(m->hash, session.hashes[3], k_hash_size);
    std::memcpy(m->zid, session.own_zid, k_zid_size);
    m->flags = 0;
    mac8(session.hashes[2], data(), k_hello_mac_input, m->mac);
    finish_crc();
    session.own_hello.assign(data(), data() + len_);
}

RTP_ERROR hello::parse_msg(const zrtp_hello *msg, zrtp_session &session, size_t size) {
    return parse(msg, session, size);
}

RTP_ERROR hello::parse(const zrtp_hello *msg, zrtp_session &session, size_t size) {
    if (std::memcmp(msg->version, k_version, sizeof(k_version)) != 0) {
        LOG_ERROR("Invalid ZRTP version!");
        session.peer_version = 0;
    } else {
        session.peer_version = 110;
    }
    session.peer_hash_algos.emplace_back("S256");
    session.peer_cipher_algos.emplace_back("AES1");
    session.peer_auth_tags.emplace_back("HS32");
    session.peer_auth_tags.emplace_back("HS80");
    session.peer_key_agreements.emplace_back("DH3k");
    session.peer_sas_types.emplace_back("B32 ");
    std::memcpy(session.peer_hello_mac, msg->mac, k_mac_size);
    std::memcpy(session.peer_hashes[3], msg->hash, k_hash_size);
    std::memcpy(session.peer_zid, msg->zid, k_zid_size);
    const auto *bytes = reinterpret_cast<const uint8_t *>(msg);
    session.peer_hello.assign(bytes, bytes + size);
    return RTP_SUCCESS;
}

hello_ack::hello_ack(zrtp_session &session) {
    msg_.allocate_frame(k_hello_ack_size);
    auto *m = reinterpret_cast<zrtp_hello_ack *>(msg_.data());
    msg_.set_zrtp_start_base(m->msg, "HelloACK");
    write_be32(reinterpret_cast<uint8_t *>(&m->msg.ssrc), session.ssrc);
    const uint32_t crc = crypto::crc32::calculate_crc32(msg_.data(), k_hello_ack_size - k_crc_size);
    std::memcpy(&m->crc, &crc, sizeof(crc));
}

commit::commit(zrtp_session &session) {
    msg_.allocate_frame(k_commit_size);
    auto *m = reinterpret_cast<zrtp_commit *>(msg_.data());
    msg_.set_zrtp_start(m->msg, session, "Commit");
    std::memcpy(m->hash, session.hashes[2], k_hash_size);
    std::memcpy(m->zid, session.own_zid, k_zid_size);
    std::memcpy(m->hash_algo, session.hash_algo, 4);
    std::memcpy(m->cipher_algo, session.cipher_algo, 4);
    std::memcpy(m->auth_tag_type, session.auth_tag_type, 4);
    std::memcpy(m->key_agreement_type, session.key_agreement_type, 4);
    std::memcpy(m->sas_type, session.sas_type, 4);
    if (std::memcmp(session.key_agreement_type, "Mult", 4) == 0) {
        std::memcpy(m->hvi, session.hvi, 16);  // nonce, then 16 zero bytes
    } else {
        std::memcpy(m->hvi, session.hvi, k_hash_size);
    }
    mac8(session.hashes[1], msg_.data(), offsetof(zrtp_commit, mac), m->mac);
    const uint32_t crc = crypto::crc32::calculate_crc32(msg_.data(), k_commit_size - k_crc_size);
    std::memcpy(&m->crc, &crc, sizeof(crc));
    session.own_commit.assign(msg_.data(), msg_.data() + k_commit_size);
}

RTP_ERROR commit::parse_msg(const zrtp_commit *msg, zrtp_session &session, size_t size) {
    return parse(msg, session, size);
}

RTP_ERROR commit::parse(const zrtp_commit *msg, zrtp_session &session, size_t size) {
    std::memcpy(session.sas_type, msg->sas_type, 4);
    std::memcpy(session.hash_algo, msg->hash_algo, 4);
    std::memcpy(session.cipher_algo, msg->cipher_algo, 4);
    std::memcpy(session.auth_tag_type, msg->auth_tag_type, 4);
    std::memcpy(session.key_agreement_type, msg->key_agreement_type, 4);
    std::memcpy(session.peer_hvi, msg->hvi, 16);
    if (std::memcmp(msg->key_agreement_type, "Mult", 4) != 0) {
        std::memcpy(session.peer_hvi + 16, msg->hvi + 16, 16);
    }
    std::memcpy(session.peer_commit_mac, msg->mac, k_mac_size);
    std::memcpy(session.peer_hashes[2], msg->hash, k_hash_size);
    const auto *bytes = reinterpret_cast<const uint8_t *>(msg);
    session.peer_commit.assign(bytes, bytes + size);
    return RTP_SUCCESS;
}

dh_key_exchange::dh_key_exchange(zrtp_session &session, int index) {
    allocate_frame(k_dh_size);
    auto *m = reinterpret_cast<zrtp_dh *>(frame_);
    set_zrtp_start(m->msg, session, index == 1 ? "DHPart1" : "DHPart2");
    const char *role = index == 1 ? "Responder" : "Initiator";
    const auto *role_bytes = reinterpret_cast<const uint8_t *>(role);
    constexpr size_t role_len = 9;
    std::memcpy(m->hash, session.hashes[1], k_hash_size);
    mac8(session.rs1, role_bytes, role_len, m->rs1_id);
    mac8(session.rs2, role_bytes, role_len, m->rs2_id);
    mac8(session.aux_secret, session.hashes[3], k_hash_size, m->aux_secret);
    mac8(session.pbx_secret, role_bytes, role_len, m->pbx_secret);
    std::memcpy(m->pk, session.public_key, k_pv_size);
    mac8(session.hashes[0], data(), offsetof(zrtp_dh, mac), m->mac);
    finish_crc();
    session.own_dh.assign(data(), data() + len_);
}

RTP_ERROR dh_key_exchange::parse_msg(const zrtp_dh *msg, zrtp_session &session, size_t size) {
    return parse(msg, session, size);
}

RTP_ERROR dh_key_exchange::parse(const zrtp_dh *msg, zrtp_session &session, size_t size) {
    std::memcpy(session.peer_public_key, msg->pk, k_pv_size);
    std::memcpy(session.peer_dh_mac, msg->mac, k_mac_size);
    std::memcpy(session.peer_hashes[1], msg->hash, k_hash_size);
    const auto *bytes = reinterpret_cast<const uint8_t *>(msg);
    session.peer_dh.assign(bytes, bytes + size);
    return RTP_SUCCESS;
}

confirm::confirm(zrtp_session &session, int which) {
    allocate_frame(k_confirm_size);
    auto *m = reinterpret_cast<zrtp_confirm *>(frame_);
    set_zrtp_start(m->msg, session, which == 1 ? "Confirm1" : "Confirm2");
    const uint8_t *key = which == 1 ? session.responder_zrtp_key : session.initiator_zrtp_key;
    const uint8_t *hmac_key = which == 1 ? session.responder_hmac_key : session.initiator_hmac_key;
    crypto::random::generate_random(m->cfb_iv, sizeof(m->cfb_iv));
    std::memcpy(m->hash, session.hashes[0], k_hash_size);
    std::memset(m->padding, 0, sizeof(m->padding));
    crypto::aes::cfb cfb(key, 16, m->cfb_iv);
    cfb.encrypt(m->hash, m->hash, k_confirm_encrypted);
    mac8(hmac_key, m->hash, k_confirm_encrypted, m->confirm_mac);
    finish_crc();
}

RTP_ERROR confirm::parse_msg(const zrtp_confirm *msg, zrtp_session &session) {
    return open(msg, session);
}

RTP_ERROR confirm::open(const zrtp_confirm *msg, zrtp_session &session) {
    const bool first = std::memcmp(msg->msg.msgblock, "Confirm1", 8) == 0;
    const uint8_t *key = first ? session.responder_zrtp_key : session.initiator_zrtp_key;
    const uint8_t *hmac_key = first ? session.responder_hmac_key : session.initiator_hmac_key;
    uint8_t cmac[k_mac_size];
    mac8(hmac_key, msg->hash, k_confirm_encrypted, cmac);
    if (!crypto::equal_constant_time(cmac, k_mac_size, msg->confirm_mac, k_mac_size)) {
        uint32_t mac = 0;
        uint32_t computed = 0;
        std::memcpy(&mac, msg->confirm_mac, sizeof(mac));
        std::memcpy(&computed, cmac, sizeof(computed));
        LOG_INFO("mac %u, cmac %u", mac, computed);
        return RTP_BAD_ARGUMENT;
    }
    uint8_t plain[k_confirm_encrypted];
    crypto::aes::cfb cfb(key, 16, msg->cfb_iv);
    cfb.decrypt(plain, msg->hash, k_confirm_encrypted);
    std::memcpy(session.peer_hashes[0], plain, k_hash_size);
    crypto::wipe(plain, sizeof(plain));
    return RTP_SUCCESS;
}

confack::confack(zrtp_session &session) {
    allocate_frame(k_conf2ack_size);
    auto *m = reinterpret_cast<zrtp_hello_ack *>(frame_);
    set_zrtp_start(m->msg, session, "Conf2ACK");
    finish_crc();
}

error::error(int code) {
    allocate_frame(k_error_size);
    auto *m = reinterpret_cast<zrtp_error *>(frame_);
    set_zrtp_start_base(m->msg, "Error");
    const auto value = static_cast<uint32_t>(code);
    std::memcpy(&m->error, &value, sizeof(value));
    finish_crc();
}

}  // namespace zrtp_msg
}  // namespace tessal
