// The ZRTP exchange as a state machine: two machines driven by hand, with
// bytes and times in and bytes and states out, no thread and no clock.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "security/zrtp.hh"
#include "support/stderr_capture.hh"
#include "support/zrtp_sim.hh"

namespace tessal {
namespace {

struct peer {
    zrtp z;
    int channel = 0;
    std::vector<zrtp_state> states;  // each state reported, once in a row
    std::vector<std::string> sent;   // message types, in order

    void note(const zrtp_output &out) {
        if (states.empty() || states.back() != out.state) {
            states.push_back(out.state);
        }
        for (const std::vector<uint8_t> &m : out.messages) {
            sent.push_back(test::zrtp_type_of(m));
        }
    }
};

// Steps both machines to the earlier deadline and hands each one's
// messages to the other, installing keys when asked, until both ended.
void agree(peer &a, peer &b, int64_t now) {
    for (int step = 0; step < 1000; ++step) {
        now = std::min(a.z.next_deadline(), b.z.next_deadline());
        if (now == INT64_MAX) {
            return;
        }
        for (auto [self, other] : {std::make_pair(&a, &b), std::make_pair(&b, &a)}) {
            zrtp_output out = self->z.on_timer(now);
            self->note(out);
            if (out.state == zrtp_state::keys_ready) {
                out = self->z.keys_installed(now);
                self->note(out);
            }
            for (const std::vector<uint8_t> &m : out.messages) {
                const zrtp_output reply = other->z.on_message(m.data(), m.size(), now);
                other->note(reply);
                for (const std::vector<uint8_t> &r : reply.messages) {
                    self->note(self->z.on_message(r.data(), r.size(), now));
                }
            }
        }
    }
    FAIL() << "no end after 1000 steps";
}

std::array<uint8_t, 16> local_key(zrtp &z) {
    std::array<uint8_t, 16> k{}, r{};
    std::array<uint8_t, 14> ls{}, rs{};
    EXPECT_EQ(z.get_srtp_keys(k.data(), 128, r.data(), 128, ls.data(), 112, rs.data(), 112),
              RTP_SUCCESS);
    return k;
}

std::array<uint8_t, 16> remote_key(zrtp &z) {
    std::array<uint8_t, 16> k{}, r{};
    std::array<uint8_t, 14> ls{}, rs{};
    EXPECT_EQ(z.get_srtp_keys(k.data(), 128, r.data(), 128, ls.data(), 112, rs.data(), 112),
              RTP_SUCCESS);
    return r;
}

TEST(ZrtpMachine, TwoMachinesAgreeWithoutThreadsOrClock) {
    peer a;
    peer b;
    const struct Case {
        const char *name;
        bool full;
    } cases[] = {{"Diffie-Hellman", true}, {"multistream", false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        a.states.clear();
        b.states.clear();
        a.sent.clear();
        b.sent.clear();
        ASSERT_EQ(a.z.begin(1, &a.channel, c.full, 0), RTP_SUCCESS);
        ASSERT_EQ(b.z.begin(2, &b.channel, c.full, 0), RTP_SUCCESS);
        EXPECT_EQ(a.z.state(), zrtp_state::hello);
        EXPECT_EQ(a.z.next_deadline(), zrtp::k_t1_initial_ms);
        agree(a, b, 0);
        ASSERT_EQ(a.z.state(), zrtp_state::done);
        ASSERT_EQ(b.z.state(), zrtp_state::done);
        EXPECT_NE(a.z.role(), b.z.role());
        EXPECT_EQ(local_key(a.z), remote_key(b.z));
        EXPECT_EQ(remote_key(a.z), local_key(b.z));
        char sas_a[5] = {};
        char sas_b[5] = {};
        ASSERT_EQ(a.z.get_sas(sas_a), RTP_SUCCESS);
        ASSERT_EQ(b.z.get_sas(sas_b), RTP_SUCCESS);
        EXPECT_STREQ(sas_a, sas_b);
        peer &initiator = a.z.role() == 0 ? a : b;
        peer &responder = a.z.role() == 0 ? b : a;
        // The keys are ready before the last message: Confirm2 from the
        // initiator, Conf2ACK from the responder.
        const std::vector<zrtp_state> i_states =
            c.full ? std::vector<zrtp_state>{zrtp_state::hello,    zrtp_state::commit,
                                             zrtp_state::dh_part2, zrtp_state::keys_ready,
                                             zrtp_state::confirm2, zrtp_state::done}
                   : std::vector<zrtp_state>{zrtp_state::hello, zrtp_state::commit,
                                             zrtp_state::keys_ready, zrtp_state::confirm2,
                                             zrtp_state::done};
        // The responder had the initiator's Commit when its Hello phase
        // ended: it passes through the Commit state within that step.
        const std::vector<zrtp_state> r_states =
            c.full ? std::vector<zrtp_state>{zrtp_state::hello, zrtp_state::dh_part1,
                                             zrtp_state::confirm1, zrtp_state::keys_ready,
                                             zrtp_state::done}
                   : std::vector<zrtp_state>{zrtp_state::hello, zrtp_state::confirm1,
                                             zrtp_state::keys_ready, zrtp_state::done};
        EXPECT_EQ(initiator.states, i_states);
        EXPECT_EQ(responder.states, r_states);
        EXPECT_EQ(initiator.sent.back(), "Confirm2");
        EXPECT_EQ(responder.sent.back(), "Conf2ACK");
        EXPECT_EQ(a.z.next_deadline(), INT64_MAX);
    }
}

// RFC 6189 section 6, timer T1: Hello at 50, 200, 600, 800, ... 4000 ms
// (50 ms doubling to 200 ms, 20 in all), then RTP_TIMED_OUT once the last
// had its interval; nothing is scheduled after the end.
TEST(ZrtpMachine, HelloFollowsTimerT1ThenTimesOut) {
    zrtp z;
    int channel = 0;
    ASSERT_EQ(z.begin(1, &channel, true, 0), RTP_SUCCESS);
    std::vector<int64_t> sent;
    zrtp_output out;
    test::stderr_capture err;
    while (z.next_deadline() != INT64_MAX) {
        const int64_t now = z.next_deadline();
        EXPECT_TRUE(z.on_timer(now - 1).messages.empty()) << "nothing before the deadline";
        out = z.on_timer(now);
        for (const std::vector<uint8_t> &m : out.messages) {
            EXPECT_EQ(test::zrtp_type_of(m), "Hello");
            sent.push_back(now);
        }
    }
    err.stop();
    std::vector<int64_t> expected = {50, 200};
    for (int64_t t = 600; t <= 4000; t += 200) {
        expected.push_back(t);
    }
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(out.state, zrtp_state::failed);
    EXPECT_EQ(out.result, RTP_TIMED_OUT);
}

TEST(ZrtpMachine, BeginRefusesNoChannelAndMultistreamFirst) {
    zrtp z;
    int channel = 0;
    test::stderr_capture err;
    EXPECT_EQ(z.begin(1, nullptr, true, 0), RTP_BAD_ARGUMENT);
    EXPECT_EQ(z.begin(1, &channel, false, 0), RTP_FAILED);
    err.stop();
    EXPECT_EQ(z.state(), zrtp_state::idle);
    EXPECT_EQ(z.next_deadline(), INT64_MAX);
}

}  // namespace
}  // namespace tessal
