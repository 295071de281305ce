// ZRTP exchanges between two zrtp objects over an in-memory link on virtual
// time: roles, keys, retransmission schedules and retry counts, and what
// lost, duplicated, delayed or tampered messages do.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "security/crc32.hh"
#include "security/dh.hh"
#include "security/hmac.hh"
#include "security/zrtp.hh"
#include "support/stderr_capture.hh"
#include "support/zrtp_sim.hh"

namespace tessal {
namespace {

using test::driven_zrtp;
using test::link_action;
using test::sim_clock;
using test::sim_link;

struct keys {
    std::array<uint8_t, 16> local_key{}, remote_key{};
    std::array<uint8_t, 14> local_salt{}, remote_salt{};
};

keys keys_of(zrtp &z) {
    keys k;
    EXPECT_EQ(z.get_srtp_keys(k.local_key.data(), 128, k.remote_key.data(), 128,
                              k.local_salt.data(), 112, k.remote_salt.data(), 112),
              RTP_SUCCESS);
    return k;
}

void expect_crossed(zrtp &a, zrtp &b) {
    const keys ka = keys_of(a);
    const keys kb = keys_of(b);
    EXPECT_EQ(ka.local_key, kb.remote_key);
    EXPECT_EQ(ka.remote_key, kb.local_key);
    EXPECT_EQ(ka.local_salt, kb.remote_salt);
    EXPECT_EQ(ka.remote_salt, kb.local_salt);
    EXPECT_NE(ka.local_key, ka.remote_key);
    EXPECT_NE(a.role(), b.role());
}

// Runs the exchanges of `a` and `b` at the same virtual moment, each on
// its own thread, over the links into the other; results of a and b.
std::pair<RTP_ERROR, RTP_ERROR> run_both(sim_clock &clock, driven_zrtp &a, const void *channel_a,
                                         sim_link &a_to_b, driven_zrtp &b, const void *channel_b,
                                         sim_link &b_to_a, bool full) {
    RTP_ERROR ra = RTP_PENDING;
    RTP_ERROR rb = RTP_PENDING;
    clock.enter();
    clock.enter();
    std::thread ta([&] {
        ra = a.init(0xAAAA0001, channel_a, a_to_b.sender(), full);
        clock.leave();
    });
    std::thread tb([&] {
        rb = b.init(0xBBBB0002, channel_b, b_to_a.sender(), full);
        clock.leave();
    });
    ta.join();
    tb.join();
    clock.clear_events();
    return {ra, rb};
}

// Two endpoints on one simulated clock. Each run uses a fresh pair of
// channels (as each stream of a session has its own socket).
class ZrtpExchange : public ::testing::Test {
protected:
    struct run_links {
        int channel_a = 0;
        int channel_b = 0;
        std::unique_ptr<sim_link> a_to_b;
        std::unique_ptr<sim_link> b_to_a;
    };

    void SetUp() override {
        clock_ = std::make_shared<sim_clock>();
        a_.set_clock(clock_);
        b_.set_clock(clock_);
    }

    std::unique_ptr<run_links> links() {
        auto l = std::make_unique<run_links>();
        l->a_to_b = std::make_unique<sim_link>(*clock_, b_, &l->channel_b);
        l->b_to_a = std::make_unique<sim_link>(*clock_, a_, &l->channel_a);
        return l;
    }

    // Runs both ends at the same virtual moment; results of a and b.
    std::pair<RTP_ERROR, RTP_ERROR> run(run_links &l, bool full) {
        return run_both(*clock_, a_, &l.channel_a, *l.a_to_b, b_, &l.channel_b, *l.b_to_a, full);
    }

    void both(run_links &l, const sim_link::filter &f) {
        l.a_to_b->set_filter(f);
        l.b_to_a->set_filter(f);
    }

    std::shared_ptr<sim_clock> clock_;
    driven_zrtp a_;
    driven_zrtp b_;
};

TEST_F(ZrtpExchange, DiffieHellmanThenMultistreamAgreeCrossedKeys) {
    auto dh = links();
    const auto r = run(*dh, true);
    ASSERT_EQ(r.first, RTP_SUCCESS);
    ASSERT_EQ(r.second, RTP_SUCCESS);
    EXPECT_TRUE(a_.is_initialized());
    expect_crossed(a_, b_);
    uint8_t sas_a[32];
    uint8_t sas_b[32];
    a_.get_sas_hash(sas_a);
    b_.get_sas_hash(sas_b);
    EXPECT_EQ(std::memcmp(sas_a, sas_b, 32), 0);
    const keys first = keys_of(a_);

    // The multistream runs reuse the session key: no DHPart goes out, and
    // every stream gets keys of its own.
    for (int stream = 0; stream < 2; ++stream) {
        SCOPED_TRACE(stream);
        auto ms = links();
        const auto m = run(*ms, false);
        ASSERT_EQ(m.first, RTP_SUCCESS);
        ASSERT_EQ(m.second, RTP_SUCCESS);
        expect_crossed(a_, b_);
        EXPECT_NE(keys_of(a_).local_key, first.local_key);
        EXPECT_TRUE(ms->a_to_b->times_of("DHPart1").empty());
        EXPECT_TRUE(ms->a_to_b->times_of("DHPart2").empty());
        EXPECT_FALSE(ms->a_to_b->times_of("Confirm1").empty() &&
                     ms->a_to_b->times_of("Confirm2").empty());
    }
}

// Both start together and both commit: the side whose hvi (nonce) is larger,
// compared from its last byte down, stays initiator.
TEST_F(ZrtpExchange, SimultaneousStartResolvesRolesByHvi) {
    const auto larger = [](const uint8_t *x, const uint8_t *y, int top) {
        for (int i = top; i >= 0; --i) {
            if (x[i] != y[i]) {
                return x[i] > y[i];
            }
        }
        return false;
    };
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        auto l = links();
        // Commits take a millisecond on the way, so that neither side sees
        // the other's before sending its own.
        both(*l, [](const std::string &type, int) {
            return type == "Commit" ? link_action{link_action::delay, 1} : link_action{};
        });
        const bool full = round == 0 || !a_.is_initialized();
        const auto r = run(*l, full);
        ASSERT_EQ(r.first, RTP_SUCCESS);
        ASSERT_EQ(r.second, RTP_SUCCESS);
        // Both entered the Commit phase at once and sent Commits.
        ASSERT_FALSE(l->a_to_b->times_of("Commit").empty());
        ASSERT_FALSE(l->b_to_a->times_of("Commit").empty());
        const bool a_larger = larger(a_.session().hvi, b_.session().hvi, full ? 31 : 15);
        EXPECT_EQ(a_.role(), a_larger ? 0 : 1);
        EXPECT_EQ(b_.role(), a_larger ? 1 : 0);
    }
}

// A peer that never answers: 20 Hellos at 50, 200, 600, 800, ... 4000 ms,
// then RTP_TIMED_OUT once the last has had its interval.
TEST_F(ZrtpExchange, HelloScheduleAgainstSilentPeer) {
    std::vector<int64_t> sent;
    clock_->enter();
    const int64_t start = clock_->now_ms();
    int channel = 0;
    test::stderr_capture err;
    const RTP_ERROR rc = a_.init(
        1, &channel,
        [&](uint8_t *data, size_t size) {
            EXPECT_EQ(test::zrtp_type(data, size), "Hello");
            sent.push_back(clock_->now_ms() - start);
            return RTP_SUCCESS;
        },
        true);
    const int64_t ended = clock_->now_ms() - start;
    clock_->leave();
    EXPECT_EQ(rc, RTP_TIMED_OUT);
    std::vector<int64_t> expected = {50, 200};
    for (int64_t t = 600; t <= 4000; t += 200) {
        expected.push_back(t);
    }
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(ended, 4200);
    EXPECT_NE(err.stop().find("Session initialization failed, ZRTP cannot be used!"),
              std::string::npos);
}

// The 150 ms schedules doubling to 1200 ms, ten messages, then time-out:
// each phase with its answers lost.
TEST_F(ZrtpExchange, RetransmissionSchedulesAndCounts) {
    const std::vector<int64_t> offsets = {150,  600,  1800, 4800,  6000,
                                          7200, 8400, 9600, 10800, 12000};
    const struct {
        const char *lost;         // dropped in both directions
        const char *resent_by_i;  // what the initiator keeps sending, or ""
        const char *resent_by_r;  // what the responder keeps sending, or ""
    } cases[] = {
        {"DHPart1", "Commit", ""},  // the initiator never hears the responder
        {"DHPart2", "DHPart2", "DHPart1"},
        {"Confirm2", "Confirm2", "Confirm1"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.lost);
        driven_zrtp a;
        driven_zrtp b;
        a.set_clock(clock_);
        b.set_clock(clock_);
        int ca = 0;
        int cb = 0;
        sim_link ab(*clock_, b, &cb);
        sim_link ba(*clock_, a, &ca);
        const std::string lost = c.lost;
        const auto filter = [lost](const std::string &type, int) {
            return type == lost ? link_action{link_action::drop} : link_action{};
        };
        ab.set_filter(filter);
        ba.set_filter(filter);
        test::stderr_capture err;
        const auto [ra, rb] = run_both(*clock_, a, &ca, ab, b, &cb, ba, true);
        err.stop();
        sim_link &from_initiator = a.role() == 0 ? ab : ba;
        sim_link &from_responder = a.role() == 0 ? ba : ab;
        for (auto [link, type] : {std::make_pair(&from_initiator, c.resent_by_i),
                                  std::make_pair(&from_responder, c.resent_by_r)}) {
            if (*type == '\0') {
                continue;
            }
            SCOPED_TRACE(type);
            std::vector<int64_t> times = link->times_of(type);
            ASSERT_GE(times.size(), 10u);
            // The phase began 150 ms before its first message; earlier
            // messages of the type (Commits before both committed) aside,
            // the last ten follow the schedule.
            times.erase(times.begin(), times.end() - 10);
            const int64_t phase = times.front() - 150;
            for (size_t i = 0; i < times.size(); ++i) {
                EXPECT_EQ(times[i] - phase, offsets[i]) << i;
            }
        }
        EXPECT_EQ(a.role() == 0 ? ra : rb, RTP_TIMED_OUT);
    }
}

TEST_F(ZrtpExchange, LostHelloAckIsStoodInForByTheNextMessage) {
    auto l = links();
    // B's HelloACKs never reach A; A learns of B's progress from B's next
    // message (RFC 6189 allows a Commit in lieu of a HelloACK).
    l->b_to_a->set_filter([](const std::string &type, int) {
        return type == "HelloACK" ? link_action{link_action::drop} : link_action{};
    });
    const auto r = run(*l, true);
    ASSERT_EQ(r.first, RTP_SUCCESS);
    ASSERT_EQ(r.second, RTP_SUCCESS);
    expect_crossed(a_, b_);
}

TEST_F(ZrtpExchange, LostConf2AckIsAnsweredAgainFromTheCapturePath) {
    auto dh = links();
    both(*dh, [](const std::string &type, int nth) {
        return type == "Conf2ACK" && nth == 1 ? link_action{link_action::drop} : link_action{};
    });
    const auto r = run(*dh, true);
    ASSERT_EQ(r.first, RTP_SUCCESS);
    ASSERT_EQ(r.second, RTP_SUCCESS);
    expect_crossed(a_, b_);
    zrtp &responder = a_.role() == 1 ? a_ : b_;
    EXPECT_GE(responder.conf2ack_replies_sent(), 1u);

    // The same in multistream mode.
    auto ms = links();
    both(*ms, [](const std::string &type, int nth) {
        return type == "Conf2ACK" && nth == 1 ? link_action{link_action::drop} : link_action{};
    });
    const uint64_t before = a_.conf2ack_replies_sent() + b_.conf2ack_replies_sent();
    const auto m = run(*ms, false);
    ASSERT_EQ(m.first, RTP_SUCCESS);
    ASSERT_EQ(m.second, RTP_SUCCESS);
    expect_crossed(a_, b_);
    EXPECT_GT(a_.conf2ack_replies_sent() + b_.conf2ack_replies_sent(), before);
}

TEST_F(ZrtpExchange, DuplicatedAndDelayedMessagesStillAgree) {
    const struct {
        const char *name;
        sim_link::filter filter;
    } cases[] = {
        {"everything twice",
         [](const std::string &, int) { return link_action{link_action::duplicate}; }},
        {"first DHPart and Confirm late",
         [](const std::string &type, int nth) {
             if (nth == 1 && (type.rfind("DHPart", 0) == 0 || type.rfind("Confirm", 0) == 0)) {
                 return link_action{link_action::delay, 700};
             }
             return link_action{};
         }},
        {"every other message lost",
         [](const std::string &, int nth) {
             return nth % 2 == 1 ? link_action{link_action::drop} : link_action{};
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto l = links();
        both(*l, c.filter);
        test::stderr_capture err;
        const auto r = run(*l, true);
        err.stop();
        ASSERT_EQ(r.first, RTP_SUCCESS);
        ASSERT_EQ(r.second, RTP_SUCCESS);
        expect_crossed(a_, b_);
    }
}

TEST_F(ZrtpExchange, UnsupportedPeerVersionEndsTheHelloPhase) {
    auto l = links();
    l->b_to_a->set_mutator([](std::vector<uint8_t> &msg) {
        if (test::zrtp_type(msg.data(), msg.size()) == "Hello") {
            std::memcpy(msg.data() + 24, "1.00", 4);
            const uint32_t crc = crypto::crc32::calculate_crc32(msg.data(), msg.size() - 4);
            std::memcpy(msg.data() + msg.size() - 4, &crc, 4);
        }
    });
    test::stderr_capture err;
    const auto r = run(*l, true);
    const std::string log = err.stop();
    EXPECT_EQ(r.first, RTP_UNSUPPORTED);
    EXPECT_NE(log.find("Remote supports version 0, Tessal supports 110. Session cannot continue!"),
              std::string::npos);
    EXPECT_FALSE(a_.is_initialized());
}

// Public values 0, 1 and p - 1 would make every key computable from the
// public messages; either side refuses them.
TEST_F(ZrtpExchange, OutOfRangePublicValuesAreRefused) {
    uint8_t p_minus_1[384];
    crypto::dh group;
    group.get_prime(p_minus_1, sizeof(p_minus_1));
    p_minus_1[383] = static_cast<uint8_t>(p_minus_1[383] - 1);  // p is odd
    uint8_t zero[384] = {};
    uint8_t one[384] = {};
    one[383] = 1;
    const struct {
        const char *name;
        const uint8_t *pv;
    } values[] = {{"0", zero}, {"1", one}, {"p - 1", p_minus_1}};
    for (const char *part : {"DHPart1", "DHPart2"}) {
        for (const auto &v : values) {
            SCOPED_TRACE(std::string(part) + " " + v.name);
            driven_zrtp a;
            driven_zrtp b;
            a.set_clock(clock_);
            b.set_clock(clock_);
            int ca = 0;
            int cb = 0;
            sim_link ab(*clock_, b, &cb);
            sim_link ba(*clock_, a, &ca);
            const std::string target = part;
            const uint8_t *pv = v.pv;
            const auto tamper = [target, pv](std::vector<uint8_t> &msg) {
                if (test::zrtp_type(msg.data(), msg.size()) == target) {
                    std::memcpy(msg.data() + 88, pv, 384);
                    const uint32_t crc = crypto::crc32::calculate_crc32(msg.data(), msg.size() - 4);
                    std::memcpy(msg.data() + msg.size() - 4, &crc, 4);
                }
            };
            ab.set_mutator(tamper);
            ba.set_mutator(tamper);
            test::stderr_capture err;
            const auto [ra, rb] = run_both(*clock_, a, &ca, ab, b, &cb, ba, true);
            const std::string log = err.stop();
            // DHPart1 reaches the initiator, DHPart2 the responder.
            const int receiver_role = target == "DHPart1" ? 0 : 1;
            EXPECT_EQ(a.role() == receiver_role ? ra : rb, RTP_FAILED);
            EXPECT_NE(log.find("Diffie-Hellman public value is outside [2, p - 2]"),
                      std::string::npos);
            EXPECT_FALSE(a.is_initialized());
            EXPECT_FALSE(b.is_initialized());
        }
    }
}

// Offsets inside this library's messages (see zrtp_msg.hh).
constexpr size_t k_chain_hash_at = 24;  // H3, H2 or H1 of Hello, Commit, DHPart
constexpr size_t k_commit_hvi_at = 88;
constexpr size_t k_commit_mac_at = 120;
constexpr size_t k_dh_pv_at = 88;
constexpr size_t k_confirm_mac_at = 24;

std::vector<uint8_t> foreign_public_value() {
    crypto::dh other;
    other.generate_keys();
    std::vector<uint8_t> pv(384);
    other.get_pk(pv.data(), pv.size());
    return pv;
}

bool same_sas(zrtp &a, zrtp &b) {
    uint8_t sas_a[32];
    uint8_t sas_b[32];
    a.get_sas_hash(sas_a);
    b.get_sas_hash(sas_b);
    return std::memcmp(sas_a, sas_b, 32) == 0;
}

// RFC 6189 section 4.4.1.1: a DHPart2 whose public value is not the one
// the initiator's Commit committed to (hvi) ends the responder's run before
// it sends Confirm1.
TEST_F(ZrtpExchange, SubstitutedDhPart2FailsTheResponderHviCheck) {
    auto l = links();
    const std::vector<uint8_t> pv = foreign_public_value();
    const auto substitute = [pv](std::vector<uint8_t> &msg) {
        if (test::zrtp_type_of(msg) == "DHPart2") {
            std::memcpy(msg.data() + k_dh_pv_at, pv.data(), pv.size());
            test::fix_zrtp_crc(msg);
        }
    };
    l->a_to_b->set_mutator(substitute);
    l->b_to_a->set_mutator(substitute);
    test::stderr_capture err;
    const auto r = run(*l, true);
    err.stop();
    const bool a_responds = a_.role() == 1;
    EXPECT_EQ(a_responds ? r.first : r.second, RTP_FAILED);
    sim_link &from_responder = a_responds ? *l->a_to_b : *l->b_to_a;
    EXPECT_TRUE(from_responder.times_of("Confirm1").empty());
    EXPECT_FALSE(a_.is_initialized());
    EXPECT_FALSE(b_.is_initialized());
}

// An attacker in the middle that replaces the Diffie-Hellman public values
// never leaves both ends reporting success with the same SAS.
TEST_F(ZrtpExchange, SubstitutedDhValuesAreDetected) {
    const std::vector<uint8_t> pv = foreign_public_value();
    const struct Case {
        const char *name;
        bool part1;
        bool part2;
    } cases[] = {{"DHPart1", true, false}, {"DHPart2", false, true}, {"both", true, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        driven_zrtp a;
        driven_zrtp b;
        a.set_clock(clock_);
        b.set_clock(clock_);
        int ca = 0;
        int cb = 0;
        sim_link ab(*clock_, b, &cb);
        sim_link ba(*clock_, a, &ca);
        const auto substitute = [pv, c](std::vector<uint8_t> &msg) {
            const std::string type = test::zrtp_type_of(msg);
            if ((c.part1 && type == "DHPart1") || (c.part2 && type == "DHPart2")) {
                std::memcpy(msg.data() + k_dh_pv_at, pv.data(), pv.size());
                test::fix_zrtp_crc(msg);
            }
        };
        ab.set_mutator(substitute);
        ba.set_mutator(substitute);
        test::stderr_capture err;
        const auto [ra, rb] = run_both(*clock_, a, &ca, ab, b, &cb, ba, true);
        err.stop();
        EXPECT_FALSE(ra == RTP_SUCCESS && rb == RTP_SUCCESS && same_sas(a, b));
        EXPECT_FALSE(a.is_initialized() && b.is_initialized());
    }
}

// RFC 6189 section 4.4.3: an on-path attacker that rewrites a multistream
// Commit's nonce and recomputes its MAC with the H1 it saw in the
// Diffie-Hellman run's DHPart makes both ends fail, since the Confirm
// messages are keyed from the stream's own s0.
TEST_F(ZrtpExchange, RewrittenMultistreamNonceFailsBothEnds) {
    auto dh = links();
    std::mutex seen_lock;
    std::map<const sim_link *, std::vector<uint8_t>> h1_of;  // by the link it went on
    for (sim_link *link : {dh->a_to_b.get(), dh->b_to_a.get()}) {
        link->set_mutator([&seen_lock, &h1_of, link](std::vector<uint8_t> &msg) {
            if (test::zrtp_type_of(msg).rfind("DHPart", 0) == 0) {
                std::lock_guard<std::mutex> guard(seen_lock);
                h1_of[link].assign(msg.begin() + k_chain_hash_at,
                                   msg.begin() + k_chain_hash_at + 32);
            }
        });
    }
    const auto r = run(*dh, true);
    ASSERT_EQ(r.first, RTP_SUCCESS);
    ASSERT_EQ(r.second, RTP_SUCCESS);
    ASSERT_EQ(h1_of.size(), 2u);

    auto ms = links();
    const auto rewrite = [](std::vector<uint8_t> h1) {
        return [h1](std::vector<uint8_t> &msg) {
            if (test::zrtp_type_of(msg) != "Commit") {
                return;
            }
            msg[k_commit_hvi_at] ^= 0x5A;
            crypto::hmac::sha256 mac(h1.data(), 32);
            mac.update(msg.data(), k_commit_mac_at);
            mac.final(msg.data() + k_commit_mac_at, 8);
            test::fix_zrtp_crc(msg);
        };
    };
    ms->a_to_b->set_mutator(rewrite(h1_of[dh->a_to_b.get()]));
    ms->b_to_a->set_mutator(rewrite(h1_of[dh->b_to_a.get()]));
    test::stderr_capture err;
    const auto m = run(*ms, false);
    err.stop();
    EXPECT_NE(m.first, RTP_SUCCESS);
    EXPECT_NE(m.second, RTP_SUCCESS);
}

// Datagrams an attacker gets in ahead of the peer's real ones fail the
// checks that the peer's hash chain allows; they are dropped and counted,
// and the agreement completes with the real messages.
TEST_F(ZrtpExchange, SpoofedMessagesAheadOfTheRealOnesAreIgnored) {
    const auto forge_hello_version = [](std::vector<uint8_t> &m) {
        std::memcpy(m.data() + 24, "1.00", 4);
    };
    const auto forge_chain_hash = [](std::vector<uint8_t> &m) {
        m[k_chain_hash_at] ^= 0xFF;
        m[k_chain_hash_at + 31] ^= 0x01;
    };
    const auto forge_confirm_mac = [](std::vector<uint8_t> &m) { m[k_confirm_mac_at] ^= 0x01; };
    const struct Case {
        const char *name;
        const char *type;
        bool full;
        std::function<void(std::vector<uint8_t> &)> forge;
    } cases[] = {
        {"Hello of another version", "Hello", true, forge_hello_version},
        {"Commit with a foreign H2", "Commit", true, forge_chain_hash},
        {"DHPart1 with a foreign H1", "DHPart1", true, forge_chain_hash},
        {"DHPart2 with a foreign H1", "DHPart2", true, forge_chain_hash},
        {"Confirm1 with a bad MAC", "Confirm1", true, forge_confirm_mac},
        {"Confirm2 with a bad MAC", "Confirm2", true, forge_confirm_mac},
        {"multistream Commit with a foreign H2", "Commit", false, forge_chain_hash},
        {"multistream Confirm1 with a bad MAC", "Confirm1", false, forge_confirm_mac},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.full && !a_.is_initialized()) {
            auto dh = links();
            const auto r = run(*dh, true);
            ASSERT_EQ(r.first, RTP_SUCCESS);
            ASSERT_EQ(r.second, RTP_SUCCESS);
        }
        auto l = links();
        const std::string target = c.type;
        const auto forge = c.forge;
        const auto inject = [target, forge](const std::string &type, int nth,
                                            const std::vector<uint8_t> &real) {
            std::vector<std::vector<uint8_t>> out;
            if (type == target && nth == 1) {
                std::vector<uint8_t> forged = real;
                forge(forged);
                test::fix_zrtp_crc(forged);
                out.push_back(forged);
            }
            return out;
        };
        l->a_to_b->set_injector(inject);
        l->b_to_a->set_injector(inject);
        const uint64_t rejected_before = a_.rejected_messages() + b_.rejected_messages();
        test::stderr_capture err;
        const auto r = run(*l, c.full);
        err.stop();
        ASSERT_EQ(r.first, RTP_SUCCESS);
        ASSERT_EQ(r.second, RTP_SUCCESS);
        expect_crossed(a_, b_);
        EXPECT_GT(a_.rejected_messages() + b_.rejected_messages(), rejected_before);
    }
}

// RFC 6189 section 4.6: each side is ready for media under the new keys
// before its last message lets the peer send: on_ready runs, with the keys
// available, before the initiator's Confirm2 and the responder's Conf2ACK.
TEST_F(ZrtpExchange, KeysAreReadyBeforeTheLastMessageGoesOut) {
    auto l = links();
    struct side {
        bool ready = false;
        RTP_ERROR keys = RTP_PENDING;
        size_t confirm2_sent = 0;
        size_t conf2ack_sent = 0;
    } sa, sb;
    const auto on_ready = [](zrtp &z, sim_link &out, side &s) {
        return [&z, &out, &s] {
            s.ready = true;
            s.confirm2_sent = out.times_of("Confirm2").size();
            s.conf2ack_sent = out.times_of("Conf2ACK").size();
            uint8_t k[16], r[16], ls[14], rs[14];
            s.keys = z.get_srtp_keys(k, 128, r, 128, ls, 112, rs, 112);
            return RTP_SUCCESS;
        };
    };
    RTP_ERROR ra = RTP_PENDING;
    RTP_ERROR rb = RTP_PENDING;
    clock_->enter();
    clock_->enter();
    std::thread ta([&] {
        ra = a_.init(1, &l->channel_a, l->a_to_b->sender(), true, {}, on_ready(a_, *l->a_to_b, sa));
        clock_->leave();
    });
    std::thread tb([&] {
        rb = b_.init(2, &l->channel_b, l->b_to_a->sender(), true, {}, on_ready(b_, *l->b_to_a, sb));
        clock_->leave();
    });
    ta.join();
    tb.join();
    clock_->clear_events();
    ASSERT_EQ(ra, RTP_SUCCESS);
    ASSERT_EQ(rb, RTP_SUCCESS);
    for (const side *s : {&sa, &sb}) {
        EXPECT_TRUE(s->ready);
        EXPECT_EQ(s->keys, RTP_SUCCESS);
        EXPECT_EQ(s->confirm2_sent, 0u);
        EXPECT_EQ(s->conf2ack_sent, 0u);
    }
    expect_crossed(a_, b_);
}

// RFC 6189 section 5.1.6: the SAS is the leftmost 20 bits of the SAS hash
// as four base32 characters, the same on both ends.
TEST_F(ZrtpExchange, SasIsRenderedAlikeOnBothEnds) {
    char before[5] = {};
    EXPECT_EQ(a_.get_sas(before), RTP_UNINITIALIZED);
    EXPECT_EQ(a_.get_sas(nullptr), RTP_BAD_ARGUMENT);
    auto l = links();
    const auto r = run(*l, true);
    ASSERT_EQ(r.first, RTP_SUCCESS);
    ASSERT_EQ(r.second, RTP_SUCCESS);
    char sas_a[5] = {};
    char sas_b[5] = {};
    ASSERT_EQ(a_.get_sas(sas_a), RTP_SUCCESS);
    ASSERT_EQ(b_.get_sas(sas_b), RTP_SUCCESS);
    EXPECT_STREQ(sas_a, sas_b);
    EXPECT_EQ(std::strlen(sas_a), 4u);
    static const char digits[] = "ABCDEFGHIJKMNPQRSTUVWXYZ23456789";
    uint8_t hash[32];
    a_.get_sas_hash(hash);
    const uint32_t bits20 =
        (uint32_t{hash[0]} << 12) | (uint32_t{hash[1]} << 4) | (uint32_t{hash[2]} >> 4);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(sas_a[i], digits[(bits20 >> (15 - 5 * i)) & 0x1F]);
    }
}

// Runs of one object are serialised: a multistream run started while a
// Diffie-Hellman run is in progress waits for it instead of clearing its
// capture slots. Real time: a blocked run cannot wait on a simulated clock.
TEST(ZrtpSerialisation, MultistreamRunWaitsForRunningDiffieHellmanRun) {
    driven_zrtp a;
    driven_zrtp b;
    int a1 = 0, b1 = 0, a2 = 0, b2 = 0, a3 = 0, b3 = 0;
    const auto link = [](zrtp &to, const void *channel) -> zrtp_send_fn {
        return [&to, channel](uint8_t *data, size_t size) {
            to.capture(channel, data, size);
            return RTP_SUCCESS;
        };
    };
    {
        RTP_ERROR ra = RTP_PENDING;
        RTP_ERROR rb = RTP_PENDING;
        std::thread t([&] { rb = b.init(2, &b1, link(a, &a1), true); });
        ra = a.init(1, &a1, link(b, &b1), true);
        t.join();
        ASSERT_EQ(ra, RTP_SUCCESS);
        ASSERT_EQ(rb, RTP_SUCCESS);
    }
    // A second Diffie-Hellman run on channel 2 and, once it has begun, a
    // multistream run on channel 3. B runs them one after the other.
    std::atomic<bool> dh_started{false};
    std::atomic<bool> dh_running{false};
    std::atomic<bool> overlapped{false};
    RTP_ERROR dh_a = RTP_PENDING, dh_b = RTP_PENDING;
    RTP_ERROR ms_a = RTP_PENDING, ms_b = RTP_PENDING;
    test::stderr_capture err;
    std::thread peer([&] {
        dh_b = b.init(2, &b2, link(a, &a2), true);
        ms_b = b.init(2, &b3, link(a, &a3), false);
    });
    std::thread dh([&] {
        zrtp_send_fn to_b = link(b, &b2);
        dh_a = a.init(
            1, &a2,
            [&](uint8_t *data, size_t size) {
                dh_started = true;
                dh_running = true;
                return to_b(data, size);
            },
            true,
            [&] {
                dh_running = false;
                return RTP_SUCCESS;
            });
        dh_running = false;
    });
    while (!dh_started) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    zrtp_send_fn to_b3 = link(b, &b3);
    ms_a = a.init(
        1, &a3,
        [&](uint8_t *data, size_t size) {
            if (dh_running) {
                overlapped = true;
            }
            return to_b3(data, size);
        },
        false);
    dh.join();
    peer.join();
    err.stop();
    EXPECT_EQ(dh_a, RTP_SUCCESS);
    EXPECT_EQ(dh_b, RTP_SUCCESS);
    EXPECT_EQ(ms_a, RTP_SUCCESS);
    EXPECT_EQ(ms_b, RTP_SUCCESS);
    EXPECT_FALSE(overlapped);
    expect_crossed(a, b);
}

}  // namespace
}  // namespace tessal
