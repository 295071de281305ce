#pragma once

// ZRTP messages (RFC 6189 in structure) as this library puts them on the
// wire, and the per-session record they are built from and parsed into.
//
// Several fields differ from RFC 6189 and peers of this library rely on
// them: the sequence number, preamble, length and CRC are little-endian; the
// CRC is plain CRC-32, not CRC-32C; Hello carries no algorithm lists (the
// mandatory set is implied); a multistream Commit keeps the DH-mode length,
// with its 16-byte nonce followed by 16 zero bytes. The peer is always
// another instance of this library.
//
// Framing, common to all messages (offsets from the start of the datagram):
//   0 0x00 | 1 0x00 | 2 sequence (LE) | 4 "ZRTP" | 8 SSRC (BE)
//   12 preamble 5A 50 | 14 length in words (LE, excluding 16 bytes)
//   16 type block (8 ASCII bytes) | ... body ... | size-4 CRC-32 (LE)

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tessal/frame.hh"
#include "tessal/util.hh"

namespace tessal {

namespace zrtp_msg {

constexpr size_t k_header_size = 24;  // framing and type block
constexpr size_t k_crc_size = 4;
constexpr size_t k_mac_size = 8;
constexpr size_t k_hash_size = 32;
constexpr size_t k_zid_size = 12;
constexpr size_t k_pv_size = 384;  // DH3k public value

constexpr size_t k_hello_size = 104;
constexpr size_t k_hello_ack_size = 28;
constexpr size_t k_commit_size = 132;
constexpr size_t k_dh_size = 484;
constexpr size_t k_confirm_size = 92;
constexpr size_t k_conf2ack_size = 28;
constexpr size_t k_error_size = 32;

// The bytes a Hello's MAC covers: from the start of the packet up to and
// including its flags word's first byte.
constexpr size_t k_hello_mac_input = 81;
// The bytes of a Confirm that are encrypted and authenticated (H0 and the
// eight zero bytes after it).
constexpr size_t k_confirm_encrypted = 40;

#pragma pack(push, 1)
struct zrtp_msg {
    uint8_t version;  // 0: version bits 00, no other bits
    uint8_t unused;
    uint16_t seq;  // host (little-endian) order
    uint32_t magic;
    uint32_t ssrc;      // network order
    uint16_t preamble;  // 0x505A, little-endian
    uint16_t length;    // words after the first 16 bytes, CRC excluded
    uint8_t msgblock[8];
};

struct zrtp_hello {
    zrtp_msg msg;
    uint8_t version[4];
    uint8_t client[16];
    uint8_t hash[k_hash_size];  // H3
    uint8_t zid[k_zid_size];
    uint32_t flags;  // flags and algorithm counts: always 0
    uint8_t mac[k_mac_size];
    uint32_t crc;
};

struct zrtp_hello_ack {
    zrtp_msg msg;
    uint32_t crc;
};

struct zrtp_commit {
    zrtp_msg msg;
    uint8_t hash[k_hash_size];  // H2
    uint8_t zid[k_zid_size];
    uint8_t hash_algo[4];
    uint8_t cipher_algo[4];
    uint8_t auth_tag_type[4];
    uint8_t key_agreement_type[4];
    uint8_t sas_type[4];
    uint8_t hvi[k_hash_size];  // or a 16-byte nonce and 16 zero bytes
    uint8_t mac[k_mac_size];
    uint32_t crc;
};

struct zrtp_dh {
    zrtp_msg msg;
    uint8_t hash[k_hash_size];  // H1
    uint8_t rs1_id[8];
    uint8_t rs2_id[8];
    uint8_t aux_secret[8];
    uint8_t pbx_secret[8];
    uint8_t pk[k_pv_size];
    uint8_t mac[k_mac_size];
    uint32_t crc;
};

struct zrtp_confirm {
    zrtp_msg msg;
    uint8_t confirm_mac[k_mac_size];
    uint8_t cfb_iv[16];
    uint8_t hash[k_hash_size];  // H0, encrypted
    uint8_t padding[8];         // encrypted zeros
    uint32_t crc;
};

struct zrtp_error {
    zrtp_msg msg;
    uint32_t error;
    uint32_t crc;
};
#pragma pack(pop)

static_assert(sizeof(zrtp_msg) == k_header_size, "ZRTP framing");
static_assert(sizeof(zrtp_hello) == k_hello_size, "Hello layout");
static_assert(sizeof(zrtp_hello_ack) == k_hello_ack_size, "HelloACK layout");
static_assert(sizeof(zrtp_commit) == k_commit_size, "Commit layout");
static_assert(sizeof(zrtp_dh) == k_dh_size, "DHPart layout");
static_assert(sizeof(zrtp_confirm) == k_confirm_size, "Confirm layout");
static_assert(sizeof(zrtp_error) == k_error_size, "Error layout");

// Message types the capture path tells apart.
enum class msg_type {
    none,
    hello,
    hello_ack,
    commit,
    dh_part1,
    dh_part2,
    confirm1,
    confirm2,
    conf2ack,
    error,
    error_ack,
    relay_ack,
    ping_ack,
    sas_relay,
    unknown,
};

// Checks a received datagram against the acceptance rules and tells its type.
//  - RTP_PKT_SKIPPED: not ZRTP (shorter than 24 bytes, non-zero version bits,
//    wrong preamble);
//  - RTP_BAD_ARGUMENT: the length field does not fit the type, or the
//    datagram's size is not length * 4 + 16, or it is shorter than its type's
//    layout (one rate-limited WARNING naming the field);
//  - RTP_UNSUPPORTED: the CRC (at size - 4) does not match;
//  - RTP_SUCCESS: accepted, `*type` set (msg_type::unknown for a type block
//    this library does not know).
// Never reads outside [packet, packet + size).
RTP_ERROR check_message(const uint8_t *packet, size_t size, msg_type *type) noexcept;

// The fixed size of the layout of `type`, 0 for types without one.
size_t layout_size(msg_type type) noexcept;

}  // namespace zrtp_msg

// The negotiation record of one zrtp object: what this side chose and
// generated, and what it learnt from the peer. One thread at a time (the
// exchange's); the capture path never touches it.
struct zrtp_session {
    int role = 0;  // 0 initiator, 1 responder
    uint32_t ssrc = 0;
    uint16_t seq = 0;

    // Selected algorithms, four ASCII bytes each.
    uint8_t hash_algo[4] = {};
    uint8_t cipher_algo[4] = {};
    uint8_t auth_tag_type[4] = {};
    uint8_t key_agreement_type[4] = {};
    uint8_t sas_type[4] = {};

    // The peer's Hello version: 110 for "1.10", else 0.
    int peer_version = 0;
    // The peer's algorithms: each parsed Hello appends the implied mandatory
    // set (no lists are sent).
    std::vector<std::string> peer_hash_algos;
    std::vector<std::string> peer_cipher_algos;
    std::vector<std::string> peer_auth_tags;
    std::vector<std::string> peer_key_agreements;
    std::vector<std::string> peer_sas_types;

    // Own hash chain H0..H3, H(n+1) = SHA-256(Hn).
    uint8_t hashes[4][zrtp_msg::k_hash_size] = {};
    uint8_t hvi[zrtp_msg::k_hash_size] = {};  // own hvi, or own nonce in its first 16
    uint8_t peer_hvi[zrtp_msg::k_hash_size] = {};

    uint8_t peer_hashes[4][zrtp_msg::k_hash_size] = {};
    uint8_t peer_dh_mac[zrtp_msg::k_mac_size] = {};
    uint8_t peer_commit_mac[zrtp_msg::k_mac_size] = {};
    uint8_t peer_hello_mac[zrtp_msg::k_mac_size] = {};

    uint8_t total_hash[zrtp_msg::k_hash_size] = {};
    uint8_t public_key[zrtp_msg::k_pv_size] = {};
    uint8_t peer_public_key[zrtp_msg::k_pv_size] = {};
    uint8_t dh_result[zrtp_msg::k_pv_size] = {};

    uint8_t zrtp_session_key[32] = {};
    uint8_t sas_hash[32] = {};
    uint8_t initiator_zrtp_key[16] = {};
    uint8_t responder_zrtp_key[16] = {};
    uint8_t initiator_hmac_key[32] = {};
    uint8_t responder_hmac_key[32] = {};

    uint8_t rs1[32] = {};
    uint8_t rs2[32] = {};
    uint8_t aux_secret[32] = {};
    uint8_t pbx_secret[32] = {};
    uint8_t s0[32] = {};

    uint8_t own_zid[zrtp_msg::k_zid_size] = {};
    uint8_t peer_zid[zrtp_msg::k_zid_size] = {};

    // Whole messages as sent (own) and as received (peer's).
    std::vector<uint8_t> own_hello;
    std::vector<uint8_t> own_commit;
    std::vector<uint8_t> own_dh;
    std::vector<uint8_t> peer_hello;
    std::vector<uint8_t> peer_commit;
    std::vector<uint8_t> peer_dh;

    // Serialises the runs of the zrtp object's streams; recursive so that a
    // stream may fetch its keys from inside its own run.
    std::recursive_mutex session_mutex;

    // Overwrites every secret with zeros.
    void wipe_secrets() noexcept;
};

namespace zrtp_msg {

// The base of every message: the frame this side sends and a buffer for one
// received message.
class zrtp_message {
public:
    zrtp_message() = default;
    virtual ~zrtp_message();
    zrtp_message(const zrtp_message &) = delete;
    zrtp_message &operator=(const zrtp_message &) = delete;

    // Frees any previous frame and allocates `len` zero bytes.
    void allocate_frame(size_t len);
    void allocate_rframe(size_t len);

    // Writes bytes 0..23 of the frame: framing, length from the frame size,
    // type block, the session's SSRC and next sequence number.
    void set_zrtp_start(zrtp_msg &msg, zrtp_session &session, const std::string &type);
    // The same, leaving sequence number and SSRC zero.
    void set_zrtp_start_base(zrtp_msg &msg, const std::string &type);

    // (size - 16) / 4; 0 with an ERROR for a size not a multiple of 4.
    static uint16_t packet_to_header_len(ssize_t size);
    static size_t header_length_to_packet(uint16_t len) { return size_t{len} * 4 + 16; }

    uint8_t *data() noexcept { return reinterpret_cast<uint8_t *>(frame_); }
    const uint8_t *data() const noexcept { return reinterpret_cast<const uint8_t *>(frame_); }
    size_t size() const noexcept { return len_; }

protected:
    // Computes the CRC over everything before the last four bytes and stores it there.
    void finish_crc();

    frame::zrtp_frame *frame_ = nullptr;
    size_t len_ = 0;
    frame::zrtp_frame *rframe_ = nullptr;
    size_t rlen_ = 0;
};

class hello : public zrtp_message {
public:
    explicit hello(zrtp_session &session);
    // Records the peer's version, MAC, H3, ZID and a copy of the message.
    // Returns 0; a version other than "1.10" is recorded as 0 with an ERROR.
    virtual RTP_ERROR parse_msg(const zrtp_hello *msg, zrtp_session &session, size_t size);
    // The same without a hello object (no message is built).
    static RTP_ERROR parse(const zrtp_hello *msg, zrtp_session &session, size_t size);
};

class hello_ack {
public:
    explicit hello_ack(zrtp_session &session);
    zrtp_message &message() noexcept { return msg_; }

private:
    zrtp_message msg_;
};

class commit {
public:
    explicit commit(zrtp_session &session);
    // Takes over the peer's algorithm selection and records its hvi (or
    // nonce), MAC, H2 and a copy. Returns 0.
    RTP_ERROR parse_msg(const zrtp_commit *msg, zrtp_session &session, size_t size);
    static RTP_ERROR parse(const zrtp_commit *msg, zrtp_session &session, size_t size);
    zrtp_message &message() noexcept { return msg_; }

private:
    zrtp_message msg_;
};

class dh_key_exchange : public zrtp_message {
public:
    // index 1: DHPart1 (as Responder); 2: DHPart2 (as Initiator).
    dh_key_exchange(zrtp_session &session, int index);
    // Records the peer's public value, MAC, H1 and a copy. Returns 0.
    virtual RTP_ERROR parse_msg(const zrtp_dh *msg, zrtp_session &session, size_t size);
    static RTP_ERROR parse(const zrtp_dh *msg, zrtp_session &session, size_t size);
};

class confirm : public zrtp_message {
public:
    // which 1: Confirm1 (Responder keys); 2: Confirm2 (Initiator keys).
    confirm(zrtp_session &session, int which);
    // Verifies confirm_mac with the sender's HMAC key; on success decrypts
    // the 40 bytes (in a copy) and records the peer's H0. A bad MAC leaves
    // the session untouched and returns RTP_BAD_ARGUMENT.
    virtual RTP_ERROR parse_msg(const zrtp_confirm *msg, zrtp_session &session);
    // The same without a confirm object (no message is built).
    static RTP_ERROR open(const zrtp_confirm *msg, zrtp_session &session);
};

class confack : public zrtp_message {
public:
    explicit confack(zrtp_session &session);
};

class error : public zrtp_message {
public:
    explicit error(int code);
};

}  // namespace zrtp_msg
}  // namespace tessal
