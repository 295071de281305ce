#pragma once

// ZRTP key agreement (RFC 6189 in structure, with this library's message
// layouts, see zrtp_msg.hh) between the two endpoints of a session. The
// first stream runs the full Diffie-Hellman exchange ("DH3k", the 3072-bit
// MODP group); later streams of the session run the multistream exchange
// ("Mult"), which reuses the first exchange's session key. Afterwards each
// stream fetches SRTP master keys and salts for its role.
//
// What this does and does not protect against:
//  - The short authentication string (get_sas) must be compared by the
//    users over another channel: without that the agreement does not
//    protect against an active attacker in the middle; it does protect
//    against passive eavesdroppers.
//  - Received messages are checked as soon as the peer's hash chain
//    H3..H0 allows: a message that fails is dropped and counted
//    (rejected_messages) and the exchange keeps waiting for a valid one.
//  - No shared secrets are retained between runs (no ZID cache): rs1, rs2,
//    aux and pbx secrets are random per run and s1..s3 are absent, so there
//    is no key continuity either.
//
// Threads: an exchange runs on its driver's thread and reads the capture
// slots (the stream layer takes only its peer's datagrams there); the capture path
// (packet_handler/capture) runs on reception-flow processing threads and only copies accepted
// messages into empty slots. Every run of one zrtp object is serialised. Lock order: the session
// mutex (held for a whole run) -> the capture lock; the capture lock is
// held only for slot copies. The state lock and the turn lock are leaves.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "security/base_srtp.hh"
#include "security/zrtp_msg.hh"
#include "tessal/frame.hh"
#include "tessal/util.hh"

namespace tessal {

namespace crypto {
class dh;
class sha256;
}  // namespace crypto

// Where an exchange stands (see zrtp::on_timer).
enum class zrtp_state {
    idle,        // no run
    hello,       // sending Hello (timer T1)
    commit,      // sending Commit, or about to learn the roles
    dh_part1,    // responder: sending DHPart1, waiting for DHPart2
    dh_part2,    // initiator: sending DHPart2, waiting for Confirm1
    confirm1,    // responder: sending Confirm1, waiting for Confirm2
    keys_ready,  // the keys are known: install them, then keys_installed()
    confirm2,    // initiator: sending Confirm2, waiting for Conf2ACK
    done,        // agreed
    failed,      // ended with an error (zrtp_output::result)
};

// What one step of an exchange gives back: the messages to send, in order,
// and the state reached. `result` is RTP_PENDING until done or failed.
struct zrtp_output {
    std::vector<std::vector<uint8_t>> messages;
    zrtp_state state = zrtp_state::idle;
    RTP_ERROR result = RTP_PENDING;
};

// Sends one whole ZRTP message toward the peer.
using zrtp_send_fn = std::function<RTP_ERROR(uint8_t *data, size_t size)>;

class zrtp : public srtp_key_source {
public:
    // What a stream registers as the argument of packet_handler: the zrtp
    // object and the channel (the stream's socket) the datagrams came on.
    struct binding {
        zrtp *owner;
        const void *channel;
    };

    // Retransmissions of the peer's Confirm2 answered with the stored
    // Conf2ACK after a finished run (its single Conf2ACK may be lost).
    static constexpr int k_conf2ack_replies = 10;

    // RFC 6189 section 6: Hello is resent on timer T1 (50 ms, doubling to
    // 200 ms, at most 20 times); Commit, DHPart1/2 and Confirm1/2 on timer
    // T2 (150 ms, doubling to 1200 ms, at most 10 times).
    static constexpr int64_t k_t1_initial_ms = 50;
    static constexpr int64_t k_t1_cap_ms = 200;
    static constexpr int k_t1_max_retries = 20;
    static constexpr int64_t k_t2_initial_ms = 150;
    static constexpr int64_t k_t2_cap_ms = 1200;
    static constexpr int k_t2_max_retries = 10;

    zrtp();
    ~zrtp() override;
    zrtp(const zrtp &) = delete;
    zrtp &operator=(const zrtp &) = delete;

    // The exchange as a state machine without I/O: bytes and a time (ms on
    // any monotonic clock) in, messages and a state out. One thread at a
    // time calls these, holding session().session_mutex for the whole run
    // (the stream layer's driver, stream/zrtp_driver.hh, is such a caller);
    // capture() may run on others meanwhile and feeds the same run.
    // begin starts a run for `channel`: RTP_BAD_ARGUMENT for a null channel,
    // RTP_FAILED for multistream mode before a Diffie-Hellman run succeeded.
    // `reply_send` answers the peer's retransmitted Confirm2 from the
    // capture path after the run (see k_conf2ack_replies).
    RTP_ERROR begin(uint32_t ssrc, const void *channel, bool full_exchange, int64_t now_ms,
                    zrtp_send_fn reply_send = {});
    // A datagram from the peer (checked and kept as capture() does).
    zrtp_output on_message(const uint8_t *data, size_t size, int64_t now_ms);
    // Time has passed: retransmissions and time-outs up to `now_ms`.
    zrtp_output on_timer(int64_t now_ms);
    // After zrtp_state::keys_ready: the caller installed the keys (from
    // get_srtp_keys); the last message (Confirm2 or Conf2ACK) follows.
    zrtp_output keys_installed(int64_t now_ms);
    // When on_timer next has something to do; INT64_MAX for nothing.
    int64_t next_deadline() const noexcept;
    zrtp_state state() const noexcept { return state_; }
    // Ends the run with `result` (a driver's own failure, such as keys that
    // could not be installed).
    void abort(RTP_ERROR result);
    // After done or failed: the run's captures stop; the machine is idle.
    void end_run();
    // Messages kept for the running exchange so far, and a function called
    // (on the capture path, without locks held) after each: a driver waits
    // on these instead of polling.
    const std::atomic<uint64_t> &capture_count() const noexcept { return captures_; }
    void set_capture_listener(std::function<void()> listener);
    // For fuzzing only: Diffie-Hellman runs after the first reuse its key
    // pair (a real session must never: it would lose forward secrecy).
    void reuse_dh_key_pair_for_fuzzing() noexcept { reuse_dh_key_pair_ = true; }

    // SRTP master keys and salts of the last run, for this side's role
    // (sizes in bits, at most 256, multiples of 8). RTP_BAD_ARGUMENT for a
    // null pointer or a bad size, RTP_UNINITIALIZED before a successful run.
    RTP_ERROR get_srtp_keys(uint8_t *local_key, uint32_t local_key_bits, uint8_t *remote_key,
                            uint32_t remote_key_bits, uint8_t *local_salt, uint32_t local_salt_bits,
                            uint8_t *remote_salt, uint32_t remote_salt_bits) override;

    // The reception handler of kind ZRTP; `arg` is a binding. RTP_PKT_SKIPPED
    // for a datagram that is not ZRTP; otherwise capture()'s result, with
    // *out set to null.
    static RTP_ERROR packet_handler(void *arg, int rce_flags, uint8_t *packet, size_t size,
                                    frame::rtp_frame **out);
    // Checks one received datagram and keeps it if the run on `channel`
    // still lacks a message of its type. RTP_SUCCESS when consumed (stored
    // or not, unknown types included), RTP_BAD_ARGUMENT for a wrong length,
    // RTP_UNSUPPORTED for a wrong CRC, RTP_PKT_SKIPPED for non-ZRTP.
    RTP_ERROR capture(const void *channel, const uint8_t *packet, size_t size);
    // Drops what is kept for a channel that goes away.
    void forget_channel(const void *channel);

    bool is_initialized() const noexcept { return initialized_.load(); }
    // The last run's role: 0 initiator, 1 responder.
    int role() const;
    // The SAS hash of the last Diffie-Hellman run (32 bytes).
    void get_sas_hash(uint8_t out[32]) const;
    // The short authentication string of the last Diffie-Hellman run:
    // four base32 characters and a terminator (RFC 6189 section 5.1.6).
    // RTP_BAD_ARGUMENT for a null `out`, RTP_UNINITIALIZED before a
    // successful run.
    RTP_ERROR get_sas(char out[5]);
    // The users found the SAS equal; cleared by the next Diffie-Hellman run.
    void set_sas_verified() noexcept { sas_verified_.store(true); }
    bool sas_verified() const noexcept { return sas_verified_.load(); }
    // Received messages dropped because a check failed (version, hash
    // chain, MAC, hvi).
    uint64_t rejected_messages() const noexcept { return rejected_.load(); }
    // Conf2ACKs sent from the capture path since construction.
    uint64_t conf2ack_replies_sent() const noexcept { return replies_sent_.load(); }

    // Session-wide flags the streams take turns by.
    bool dh_keys_ready();
    void set_dh_keys_ready();
    // Takes the multistream turn if it is free; true if taken.
    bool try_take_turn();
    void give_turn();

    // Steps of an exchange, exposed for tests; they run on the exchange's
    // thread with the session mutex held.
    void resetSession(uint32_t ssrc, const void *channel, zrtp_send_fn send);
    void generate_zid();
    void generate_secrets();
    void init_session_hashes();
    RTP_ERROR derive_key(const char *label, uint32_t bits, uint8_t *out);
    static RTP_ERROR verify_hash(const uint8_t *key, const uint8_t *data, size_t len,
                                 uint64_t expected);
    // RFC 6189 section 4.4.1.1: the responder's check of the initiator's
    // commitment, hvi = hash(DHPart2 || responder's Hello).
    bool hvi_matches(const std::vector<uint8_t> &dh_part2);
    RTP_ERROR generate_shared_secrets_dh();
    RTP_ERROR generate_shared_secrets_msm();
    // Confirm keys (ZRTP and HMAC keys of both roles) from the current s0.
    void derive_confirm_keys();
    // Renders the SAS of the current SAS hash into sas_.
    void render_sas();
    RTP_ERROR validate_session();

    zrtp_session &session() noexcept { return session_; }

private:
    enum slot_id : int {
        SLOT_HELLO,
        SLOT_HELLO_ACK,
        SLOT_COMMIT,
        SLOT_DH_PART1,
        SLOT_DH_PART2,
        SLOT_CONFIRM1,
        SLOT_CONFIRM2,
        SLOT_CONF2ACK,
        SLOT_COUNT,
    };
    struct slot {
        std::vector<uint8_t> data;
        bool filled = false;
    };
    struct stored_reply {
        const void *channel;
        zrtp_send_fn send;
        std::vector<uint8_t> message;
        int remaining;
    };
    // A retransmission schedule: the n-th message is due n * T after the
    // start, T doubling after each message while below `cap`.
    struct schedule {
        int64_t start;
        int64_t period;
        int64_t cap;
        int max;
        int n = 1;
        int64_t due() const { return start + n * period; }
    };

    // The machine (zrtp_machine.cc). Each step returns a result when the
    // state moved on (RTP_SUCCESS) or the run must end (an error), nothing
    // while it waits.
    void enter(zrtp_state state, std::vector<uint8_t> msg, int64_t now_ms);
    void finish(RTP_ERROR result);
    void advance(int64_t now_ms, zrtp_output &out);
    std::optional<RTP_ERROR> step_once(int64_t now_ms, zrtp_output &out);
    std::optional<RTP_ERROR> step_hello(int64_t now_ms, zrtp_output &out);
    void enter_commit(int64_t now_ms);
    void parse_commit(const std::vector<uint8_t> &peer);
    std::optional<RTP_ERROR> step_commit(int64_t now_ms);
    std::optional<RTP_ERROR> after_commit(int64_t now_ms);
    std::optional<RTP_ERROR> step_dh_part1(int64_t now_ms);
    void enter_confirm1(int64_t now_ms);
    std::optional<RTP_ERROR> step_confirm();
    std::optional<RTP_ERROR> initiator_confirmed();
    RTP_ERROR hello_timed_out_unsupported();
    RTP_ERROR capture_into(const void *channel, const uint8_t *packet, size_t size,
                           std::vector<uint8_t> *reply_out);
    bool filled(slot_id id);
    bool copy_slot(slot_id id, std::vector<uint8_t> &out);
    // Copies the slot's message if `accept` takes it; otherwise empties the
    // slot (the next message of the type may fill it) and counts a reject.
    using acceptor = std::function<bool(const std::vector<uint8_t> &)>;
    bool take_checked(slot_id id, std::vector<uint8_t> &out, const acceptor &accept);
    // Checks that become possible as the peer's chain H3..H0 is learnt.
    bool hello_ok(const std::vector<uint8_t> &msg);
    bool commit_ok(const std::vector<uint8_t> &msg);
    bool dh_part_ok(const std::vector<uint8_t> &msg);
    bool confirm_ok(const std::vector<uint8_t> &msg);
    // H3 == hash^n(h), and the peer's Hello MAC verifies with hash^(n-1)(h).
    bool chains_to_hello(const uint8_t *h, int n);
    static int slot_of(zrtp_msg::msg_type type);
    // The own and the peer's ZID ordered by role, initiator first.
    void zids_by_role(const uint8_t **zidi, const uint8_t **zidr) const;
    void kdf(const uint8_t *key, const char *label, uint32_t bits, uint8_t *out);
    void hash(const std::vector<const std::vector<uint8_t> *> &parts, uint8_t *out);

    std::atomic<bool> initialized_{false};
    std::unique_ptr<crypto::sha256> hasher_;
    std::unique_ptr<crypto::dh> dh_;
    zrtp_session session_;
    zrtp_send_fn reply_sender_;            // this run's, for stored Conf2ACKs
    std::atomic<bool> keys_known_{false};  // this run's keys are derived and confirmed

    // The machine's state: on its caller's thread only.
    zrtp_state state_ = zrtp_state::idle;
    bool full_ = true;
    bool reuse_dh_key_pair_ = false;
    bool have_dh_key_pair_ = false;
    bool hello_parsed_ = false;
    bool compared_ = false;  // both committed and the hvis were compared
    RTP_ERROR result_ = RTP_PENDING;
    std::vector<uint8_t> sending_;  // retransmitted on schedule_
    schedule schedule_{0, 0, 0, 0};
    std::vector<uint8_t> own_dh2_;  // DHPart2, built before the roles are known
    std::vector<uint8_t> last_;     // Confirm2 or Conf2ACK, after keys_ready

    std::mutex capture_lock_;
    const void *run_channel_ = nullptr;  // the channel of the running exchange
    slot slots_[SLOT_COUNT];
    std::vector<stored_reply> replies_;
    std::function<void()> on_capture_;
    std::atomic<uint64_t> captures_{0};
    std::atomic<uint64_t> replies_sent_{0};
    std::atomic<uint64_t> rejected_{0};
    std::atomic<bool> sas_verified_{false};
    bool unsupported_hello_ = false;  // this run saw a Hello of another version

    std::mutex state_lock_;
    bool dh_keys_ready_ = false;
    char sas_[5] = {};  // rendered at the end of each Diffie-Hellman run
    std::mutex turn_lock_;
    bool negotiating_ = false;
};

}  // namespace tessal
