// The exchange as a state machine without I/O: bytes and a time in, bytes
// and a state out. The stream layer drives it (stream/zrtp_driver.hh).
#include <algorithm>
#include <cstring>
#include <exception>

#include "security/dh.hh"
#include "security/random.hh"
#include "security/zrtp.hh"
#include "util/log.hh"

namespace tessal {

namespace {

std::vector<uint8_t> bytes_of(const zrtp_msg::zrtp_message &m) {
    return std::vector<uint8_t>(m.data(), m.data() + m.size());
}

const char *phase_failure(zrtp_state state) {
    switch (state) {
        case zrtp_state::hello:
            return "Session initialization failed, ZRTP cannot be used!";
        case zrtp_state::commit:
            return "Could not agree on ZRTP session parameters or roles of participants!";
        case zrtp_state::dh_part1:
            return "Failed to perform Diffie-Hellman key exchange Part1";
        case zrtp_state::dh_part2:
            return "Failed to perform Diffie-Hellman key exchange Part2";
        case zrtp_state::confirm1:
            return "Failed to finalize session using Confirm1/Conf2ACK";
        default:
            return "Failed to finalize session using Confirm2";
    }
}

}  // namespace

// --- the machine -------------------------------------------------------------------

RTP_ERROR zrtp::begin(uint32_t ssrc, const void *channel, bool full_exchange, int64_t now_ms,
                      zrtp_send_fn reply_send) {
    if (channel == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    if (!full_exchange && !initialized_.load()) {
        LOG_ERROR("Attempted multistream mode for non initialized ZRTP");
        return RTP_FAILED;
    }
    resetSession(ssrc, channel, std::move(reply_send));
    full_ = full_exchange;
    hello_parsed_ = false;
    compared_ = false;
    result_ = RTP_PENDING;
    if (full_exchange) {
        std::memset(session_.hvi, 0, sizeof(session_.hvi));
        sas_verified_.store(false);
        generate_zid();
        if (!reuse_dh_key_pair_ || !have_dh_key_pair_) {
            dh_->generate_keys();
            have_dh_key_pair_ = true;
        }
        dh_->get_pk(session_.public_key, sizeof(session_.public_key));
        generate_secrets();
        init_session_hashes();
    }
    const zrtp_msg::hello hello(session_);
    enter(zrtp_state::hello, bytes_of(hello), now_ms);
    return RTP_SUCCESS;
}

zrtp_output zrtp::on_message(const uint8_t *data, size_t size, int64_t now_ms) {
    zrtp_output out;
    std::vector<uint8_t> reply;
    const void *channel = nullptr;
    {
        std::lock_guard<std::mutex> guard(capture_lock_);
        channel = run_channel_;
    }
    capture_into(channel, data, size, &reply);
    if (!reply.empty()) {
        out.messages.push_back(std::move(reply));
    }
    advance(now_ms, out);
    return out;
}

zrtp_output zrtp::on_timer(int64_t now_ms) {
    zrtp_output out;
    advance(now_ms, out);
    return out;
}

zrtp_output zrtp::keys_installed(int64_t now_ms) {
    zrtp_output out;
    if (state_ == zrtp_state::keys_ready) {
        if (session_.role == 1) {
            // Kept for the peer's Confirm2 retransmissions, should this
            // Conf2ACK be lost.
            std::vector<uint8_t> ack = last_;
            {
                std::lock_guard<std::mutex> guard(capture_lock_);
                replies_.push_back(
                    stored_reply{run_channel_, reply_sender_, ack, k_conf2ack_replies});
            }
            out.messages.push_back(std::move(ack));
            finish(RTP_SUCCESS);
        } else {
            enter(zrtp_state::confirm2, std::move(last_), now_ms);
            last_.clear();
        }
    }
    advance(now_ms, out);
    return out;
}

int64_t zrtp::next_deadline() const noexcept {
    switch (state_) {
        case zrtp_state::hello:
        case zrtp_state::commit:
        case zrtp_state::dh_part1:
        case zrtp_state::dh_part2:
        case zrtp_state::confirm1:
        case zrtp_state::confirm2:
            return schedule_.due();
        default:
            return INT64_MAX;
    }
}

void zrtp::enter(zrtp_state state, std::vector<uint8_t> msg, int64_t now_ms) {
    state_ = state;
    sending_ = std::move(msg);
    // RFC 6189 section 6: Hello on timer T1, the others on timer T2.
    schedule_ = state == zrtp_state::hello
                    ? schedule{now_ms, k_t1_initial_ms, k_t1_cap_ms, k_t1_max_retries}
                    : schedule{now_ms, k_t2_initial_ms, k_t2_cap_ms, k_t2_max_retries};
}

void zrtp::abort(RTP_ERROR result) {
    finish(result);
}

void zrtp::finish(RTP_ERROR result) {
    if (result != RTP_SUCCESS) {
        LOG_ERROR_AS(full_ ? "init_dhm" : "init_msm", "%s", phase_failure(state_));
        state_ = zrtp_state::failed;
    } else {
        if (full_) {
            LOG_INFO_AS("init_dhm", "ZRTP has been initialized using DHMode");
            render_sas();
            initialized_.store(true);
        }
        state_ = zrtp_state::done;
    }
    result_ = result;
    sending_.clear();
    last_.clear();
    own_dh2_.clear();
}

void zrtp::advance(int64_t now_ms, zrtp_output &out) {
    while (state_ != zrtp_state::idle && state_ != zrtp_state::done &&
           state_ != zrtp_state::failed && state_ != zrtp_state::keys_ready) {
        const zrtp_state before = state_;
        const std::optional<RTP_ERROR> step = step_once(now_ms, out);
        if (step.has_value() && *step != RTP_SUCCESS) {
            finish(*step);
            break;
        }
        if (step.has_value() || state_ != before) {
            continue;  // moved on: the new state may act at once
        }
        if (now_ms < schedule_.due()) {
            break;
        }
        if (schedule_.n > schedule_.max) {
            // The last message had its interval.
            finish(state_ == zrtp_state::hello && !hello_parsed_ && unsupported_hello_
                       ? hello_timed_out_unsupported()
                       : RTP_TIMED_OUT);
            break;
        }
        out.messages.push_back(sending_);
        ++schedule_.n;
        if (schedule_.period < schedule_.cap) {
            schedule_.period *= 2;
        }
    }
    out.state = state_;
    out.result = state_ == zrtp_state::done || state_ == zrtp_state::failed ? result_ : RTP_PENDING;
}

RTP_ERROR zrtp::hello_timed_out_unsupported() {
    // Only Hellos of another version came.
    LOG_ERROR_AS("begin_session",
                 "Remote supports version %d, Tessal supports %d. Session cannot continue!", 0,
                 110);
    return RTP_UNSUPPORTED;
}

std::optional<RTP_ERROR> zrtp::step_once(int64_t now_ms, zrtp_output &out) {
    switch (state_) {
        case zrtp_state::hello:
            return step_hello(now_ms, out);
        case zrtp_state::commit:
            return step_commit(now_ms);
        case zrtp_state::dh_part1:
            return step_dh_part1(now_ms);
        case zrtp_state::dh_part2:
        case zrtp_state::confirm1:
            return step_confirm();
        case zrtp_state::confirm2:
            if (filled(SLOT_CONF2ACK)) {
                finish(RTP_SUCCESS);
                return RTP_SUCCESS;
            }
            return std::nullopt;
        default:
            return std::nullopt;
    }
}

std::optional<RTP_ERROR> zrtp::step_hello(int64_t now_ms, zrtp_output &out) {
    std::vector<uint8_t> peer;
    if (take_checked(SLOT_HELLO, peer,
                     [this](const std::vector<uint8_t> &m) { return hello_ok(m); })) {
        zrtp_msg::hello_ack ack(session_);
        out.messages.push_back(bytes_of(ack.message()));
        if (!hello_parsed_) {
            zrtp_msg::hello::parse(reinterpret_cast<const zrtp_msg::zrtp_hello *>(peer.data()),
                                   session_, peer.size());
            hello_parsed_ = true;
        }
    }
    // A peer that moved on sent its HelloACK already; its Commit, DHPart1
    // or Confirm1 stands in for one that was lost (RFC 6189 section 4.1).
    if (!hello_parsed_ || !(filled(SLOT_HELLO_ACK) || filled(SLOT_COMMIT) ||
                            filled(SLOT_DH_PART1) || filled(SLOT_CONFIRM1))) {
        return std::nullopt;
    }
    if (full_) {
        // DHPart2 is built now: hvi commits to it (RFC 6189 section 4.4.1.1).
        own_dh2_ = bytes_of(zrtp_msg::dh_key_exchange(session_, 2));
        hash({&session_.own_dh, &session_.peer_hello}, session_.hvi);
    }
    enter_commit(now_ms);
    return std::nullopt;
}

void zrtp::enter_commit(int64_t now_ms) {
    std::memcpy(session_.hash_algo, "S256", 4);
    std::memcpy(session_.cipher_algo, "AES1", 4);
    std::memcpy(session_.auth_tag_type, "HS32", 4);
    std::memcpy(session_.sas_type, "B32 ", 4);
    std::memcpy(session_.key_agreement_type, full_ ? "DH3k" : "Mult", 4);
    if (!full_) {
        std::memset(session_.hvi, 0, sizeof(session_.hvi));
        crypto::random::generate_random(session_.hvi, 16);
    }
    zrtp_msg::commit own(session_);
    session_.role = 0;
    enter(zrtp_state::commit, bytes_of(own.message()), now_ms);
    std::vector<uint8_t> peer;
    if (take_checked(SLOT_COMMIT, peer,
                     [this](const std::vector<uint8_t> &m) { return commit_ok(m); })) {
        parse_commit(peer);
        session_.role = 1;  // the peer committed first
        after_commit(now_ms);
    }
}

void zrtp::parse_commit(const std::vector<uint8_t> &peer) {
    zrtp_msg::commit::parse(reinterpret_cast<const zrtp_msg::zrtp_commit *>(peer.data()), session_,
                            peer.size());
}

std::optional<RTP_ERROR> zrtp::step_commit(int64_t now_ms) {
    std::vector<uint8_t> peer;
    if (!compared_ && take_checked(SLOT_COMMIT, peer, [this](const std::vector<uint8_t> &m) {
            return commit_ok(m);
        })) {
        compared_ = true;
        parse_commit(peer);
        // RFC 6189 section 4.2: both sides committed; the larger hvi (nonce)
        // stays initiator, compared from its last byte down.
        for (int i = full_ ? 31 : 15; i >= 0; --i) {
            if (session_.peer_hvi[i] != session_.hvi[i]) {
                if (session_.peer_hvi[i] > session_.hvi[i]) {
                    session_.role = 1;
                    return after_commit(now_ms);
                }
                break;
            }
        }
    }
    // The responder's answer: DHPart1, or Confirm1 in multistream mode.
    std::vector<uint8_t> answer;
    const bool answered =
        full_ ? take_checked(SLOT_DH_PART1, answer,
                             [this](const std::vector<uint8_t> &m) { return dh_part_ok(m); })
              : take_checked(SLOT_CONFIRM1, answer,
                             [this](const std::vector<uint8_t> &m) { return confirm_ok(m); });
    if (!answered) {
        return std::nullopt;
    }
    return after_commit(now_ms);
}

std::optional<RTP_ERROR> zrtp::after_commit(int64_t now_ms) {
    if (!full_) {
        generate_shared_secrets_msm();
        if (session_.role == 1) {
            enter_confirm1(now_ms);
            return RTP_SUCCESS;
        }
        return initiator_confirmed();
    }
    if (session_.role == 1) {
        enter(zrtp_state::dh_part1, bytes_of(zrtp_msg::dh_key_exchange(session_, 1)), now_ms);
        return RTP_SUCCESS;
    }
    state_ = zrtp_state::dh_part2;  // what a failure below ends
    std::vector<uint8_t> peer;
    if (!take_checked(SLOT_DH_PART1, peer,
                      [this](const std::vector<uint8_t> &m) { return dh_part_ok(m); })) {
        LOG_ERROR("Failed to parse DHPart1 Message!");
        return RTP_FAILED;
    }
    zrtp_msg::dh_key_exchange::parse(reinterpret_cast<const zrtp_msg::zrtp_dh *>(peer.data()),
                                     session_, peer.size());
    const RTP_ERROR rc = generate_shared_secrets_dh();
    if (rc != RTP_SUCCESS) {
        return rc;
    }
    enter(zrtp_state::dh_part2, std::move(own_dh2_), now_ms);
    own_dh2_.clear();
    return RTP_SUCCESS;
}

std::optional<RTP_ERROR> zrtp::step_dh_part1(int64_t now_ms) {
    std::vector<uint8_t> peer;
    if (!take_checked(SLOT_DH_PART2, peer,
                      [this](const std::vector<uint8_t> &m) { return dh_part_ok(m); })) {
        return std::nullopt;
    }
    zrtp_msg::dh_key_exchange::parse(reinterpret_cast<const zrtp_msg::zrtp_dh *>(peer.data()),
                                     session_, peer.size());
    const RTP_ERROR rc = generate_shared_secrets_dh();
    if (rc != RTP_SUCCESS) {
        return rc;
    }
    if (!hvi_matches(peer)) {
        // RFC 6189 section 4.4.1.1: the initiator's DHPart2 (its public
        // value) is not the one its Commit committed to.
        session_.wipe_secrets();
        LOG_ERROR_AS("dh_part1", "The initiator's DHPart2 does not match its hvi, refusing it");
        return RTP_FAILED;
    }
    enter_confirm1(now_ms);
    return RTP_SUCCESS;
}

void zrtp::enter_confirm1(int64_t now_ms) {
    enter(zrtp_state::confirm1, bytes_of(zrtp_msg::confirm(session_, 1)), now_ms);
    last_ = bytes_of(zrtp_msg::confack(session_));
}

// DHPart2 (initiator) waits for Confirm1, Confirm1 (responder) for Confirm2.
// A Confirm that fails its MAC is dropped (confirm_ok) and waited past.
std::optional<RTP_ERROR> zrtp::step_confirm() {
    const slot_id id = state_ == zrtp_state::dh_part2 ? SLOT_CONFIRM1 : SLOT_CONFIRM2;
    std::vector<uint8_t> peer;
    if (!take_checked(id, peer, [this](const std::vector<uint8_t> &m) { return confirm_ok(m); })) {
        return std::nullopt;
    }
    if (state_ == zrtp_state::dh_part2) {
        return initiator_confirmed();
    }
    const RTP_ERROR rc = validate_session();
    if (rc != RTP_SUCCESS) {
        LOG_ERROR_AS("responder_finalize_session",
                     "Mismatch on one of the received MACs/Hashes, session cannot continue");
        return rc;
    }
    // RFC 6189 section 4.6: the initiator sends media once it has our
    // Conf2ACK, so this side takes the keys in first.
    state_ = zrtp_state::keys_ready;
    keys_known_.store(true);
    return RTP_SUCCESS;
}

std::optional<RTP_ERROR> zrtp::initiator_confirmed() {
    std::vector<uint8_t> confirm2 = bytes_of(zrtp_msg::confirm(session_, 2));
    state_ = zrtp_state::confirm2;  // what a failure below ends
    const RTP_ERROR rc = validate_session();
    if (rc != RTP_SUCCESS) {
        LOG_ERROR_AS("initiator_finalize_session",
                     "Mismatch on one of the received MACs/Hashes, session cannot continue");
        return rc;
    }
    // The responder may send media once it has our Confirm2.
    last_ = std::move(confirm2);
    state_ = zrtp_state::keys_ready;
    keys_known_.store(true);
    return RTP_SUCCESS;
}

}  // namespace tessal
