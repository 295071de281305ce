// RFC 4588 retransmission packets and the sender's store of recent packets.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "rtp/retransmission_store.hh"
#include "rtp/rtx.hh"
#include "util/byte_reader.hh"

namespace tessal {
namespace {

using bytes = std::vector<uint8_t>;

// An RTP packet: version 2, `csrcs` CSRCs, an extension of `ext_words`
// words if >= 0, `payload` bytes of payload and `padding` bytes of padding.
bytes rtp_packet(uint16_t seq, size_t payload, int csrcs = 0, int ext_words = -1,
                 uint8_t padding = 0, bool marker = false) {
    bytes p(12);
    p[0] = static_cast<uint8_t>(0x80 | (padding ? 0x20 : 0) | (ext_words >= 0 ? 0x10 : 0) | csrcs);
    p[1] = static_cast<uint8_t>((marker ? 0x80 : 0) | 96);
    write_be16(p.data() + 2, seq);
    write_be32(p.data() + 4, 0x11223344);
    write_be32(p.data() + 8, 0xA0A0A0A0);
    for (int i = 0; i < csrcs; ++i) {
        for (int k = 0; k < 4; ++k) {
            p.push_back(static_cast<uint8_t>(0xC0 + i));
        }
    }
    if (ext_words >= 0) {
        p.insert(p.end(), {0xBE, 0xDE, 0, static_cast<uint8_t>(ext_words)});
        for (int i = 0; i < 4 * ext_words; ++i) {
            p.push_back(static_cast<uint8_t>(0xE0 + i));
        }
    }
    for (size_t i = 0; i < payload; ++i) {
        p.push_back(static_cast<uint8_t>(seq + i));
    }
    if (padding) {
        p.insert(p.end(), padding - 1u, 0);
        p.push_back(padding);
    }
    return p;
}

TEST(Rtx, EncodeThenDecodeRestoresTheOriginalWithoutPadding) {
    const struct Case {
        const char *name;
        bytes original;
        size_t header;
    } cases[] = {
        {"plain", rtp_packet(1000, 1200), 12},
        {"marker and CSRCs", rtp_packet(65535, 300, 3, -1, 0, true), 24},
        {"extension", rtp_packet(7, 50, 0, 2), 24},
        {"CSRCs, extension, padding", rtp_packet(8, 40, 2, 1, 4), 28},
        {"empty payload", rtp_packet(9, 0), 12},
        {"empty extension", rtp_packet(10, 5, 0, 0), 16},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        bytes rtx(rtx_size_bound(c.original.size()));
        const size_t n = rtx_encode(c.original.data(), c.original.size(), 97, 0xB0B0B0B0, 0x4242,
                                    rtx.data(), rtx.size());
        ASSERT_GT(n, 0u);
        rtx.resize(n);
        rtp_layout l;
        ASSERT_TRUE(parse_rtp_layout(c.original.data(), c.original.size(), l));
        EXPECT_EQ(l.header, c.header);
        EXPECT_EQ(n, c.header + 2 + l.payload) << "OSN added, padding dropped";
        EXPECT_EQ(rtx[0] & 0x20, 0) << "no padding bit";
        EXPECT_EQ(rtx[1], (c.original[1] & 0x80) | 97) << "marker kept, RTX payload type";
        EXPECT_EQ(read_be16(rtx.data() + 2), 0x4242);
        EXPECT_EQ(read_be32(rtx.data() + 4), 0x11223344u) << "timestamp kept";
        EXPECT_EQ(read_be32(rtx.data() + 8), 0xB0B0B0B0u);
        EXPECT_EQ(bytes(rtx.begin() + 12, rtx.begin() + static_cast<long>(c.header)),
                  bytes(c.original.begin() + 12, c.original.begin() + static_cast<long>(c.header)))
            << "CSRCs and extension kept";
        EXPECT_EQ(read_be16(rtx.data() + c.header), read_be16(c.original.data() + 2)) << "OSN";

        bytes restored(rtx.size());
        const size_t m =
            rtx_decode(rtx.data(), rtx.size(), 96, 0xA0A0A0A0, restored.data(), restored.size());
        ASSERT_EQ(m, c.header + l.payload);
        restored.resize(m);
        bytes expected(c.original.begin(), c.original.begin() + static_cast<long>(m));
        expected[0] = static_cast<uint8_t>(expected[0] & ~0x20);
        EXPECT_EQ(restored, expected);
    }
}

// RFC 4588 section 4 by hand: a 4-byte payload "abcd" with sequence number
// 0x1234 becomes the OSN 12 34 then "abcd".
TEST(Rtx, BytesOfAKnownPacket) {
    const bytes original = {0x80, 0xE0, 0x12, 0x34, 0, 0, 0x10, 0, 1, 2, 3, 4, 'a', 'b', 'c', 'd'};
    const bytes expected = {0x80, 0xE1, 0, 5,    0,    0,   0x10, 0,   9,
                            8,    7,    6, 0x12, 0x34, 'a', 'b',  'c', 'd'};
    bytes out(18);
    ASSERT_EQ(rtx_encode(original.data(), original.size(), 97, 0x09080706, 5, out.data(), 18), 18u);
    EXPECT_EQ(out, expected);
}

TEST(Rtx, MalformedPacketsAndShortBuffersAreRefused) {
    bytes short_header(11, 0x80);
    bytes version1 = rtp_packet(1, 10);
    version1[0] = 0x40;
    bytes csrcs_past_end = rtp_packet(1, 4);
    csrcs_past_end[0] |= 0x02;  // 8 bytes of CSRCs, 4 there
    bytes ext_past_end = rtp_packet(1, 0, 0, 1);
    ext_past_end[15] = 9;
    bytes ext_header_cut = rtp_packet(1, 0);
    ext_header_cut[0] |= 0x10;
    ext_header_cut.push_back(0xBE);
    bytes zero_padding = rtp_packet(1, 8, 0, -1, 2);
    zero_padding.back() = 0;
    bytes padding_past_payload = rtp_packet(1, 2, 0, -1, 2);
    padding_past_payload.back() = 5;
    const struct Case {
        const char *name;
        bytes packet;
    } cases[] = {
        {"shorter than a header", short_header},
        {"version 1", version1},
        {"CSRCs past the end", csrcs_past_end},
        {"extension past the end", ext_past_end},
        {"extension header cut", ext_header_cut},
        {"padding count 0", zero_padding},
        {"padding past the payload", padding_past_payload},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        bytes out(c.packet.size() + 2);
        EXPECT_EQ(rtx_encode(c.packet.data(), c.packet.size(), 97, 1, 1, out.data(), out.size()),
                  0u);
        EXPECT_EQ(rtx_decode(c.packet.data(), c.packet.size(), 96, 1, out.data(), out.size()), 0u);
    }
    const bytes no_osn = rtp_packet(1, 1);
    bytes out(64);
    EXPECT_EQ(rtx_decode(no_osn.data(), no_osn.size(), 96, 1, out.data(), out.size()), 0u);
    const bytes p = rtp_packet(1, 20);
    EXPECT_EQ(rtx_encode(p.data(), p.size(), 97, 1, 1, out.data(), p.size() + 1), 0u)
        << "one byte short";
    EXPECT_EQ(rtx_decode(p.data(), p.size(), 96, 1, out.data(), p.size() - 3), 0u);
    EXPECT_EQ(rtx_encode(nullptr, 20, 97, 1, 1, out.data(), out.size()), 0u);
}

constexpr int64_t k_ms = 1000;

struct store_fixture {
    retransmission_store store;
    std::vector<bytes> sent;
    explicit store_fixture(retransmission_limits limits = {}) : store(limits) {}
    void send(uint16_t seq, size_t payload, int64_t now_us) {
        sent.push_back(rtp_packet(seq, payload));
        store.on_sent(sent.back().data(), sent.back().size(), now_us);
    }
    retransmission_verdict ask(uint16_t seq, int64_t now_us, int64_t rtt_us, bytes *got = nullptr) {
        const uint8_t *p = nullptr;
        size_t n = 0;
        const retransmission_verdict v = store.request(seq, now_us, rtt_us, &p, &n);
        if (v == retransmission_verdict::resend && got != nullptr) {
            got->assign(p, p + n);
        }
        return v;
    }
};

TEST(RetransmissionStore, AnswersWithTheExactPacketAcrossTheSequenceWrap) {
    store_fixture f(retransmission_limits{1'000 * k_ms, 1'000'000, 100});
    for (int i = 0; i < 10; ++i) {
        f.send(static_cast<uint16_t>(65530 + i), 100 + static_cast<size_t>(i), i * k_ms);
    }
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE(i);
        bytes got;
        ASSERT_EQ(f.ask(static_cast<uint16_t>(65530 + i), 20 * k_ms, 0, &got),
                  retransmission_verdict::resend);
        EXPECT_EQ(got, f.sent[static_cast<size_t>(i)]);
    }
    EXPECT_EQ(f.ask(65529, 20 * k_ms, 0), retransmission_verdict::unknown) << "never sent";
    EXPECT_EQ(f.ask(4, 20 * k_ms, 0), retransmission_verdict::unknown) << "not yet sent";
}

TEST(RetransmissionStore, KeepsPacketsWithinItsAgeAndByteBounds) {
    {
        store_fixture f(retransmission_limits{100 * k_ms, 1'000'000, 100});
        f.send(1, 100, 0);
        f.send(2, 100, 50 * k_ms);
        EXPECT_EQ(f.ask(1, 100 * k_ms, 0), retransmission_verdict::resend) << "exactly the age";
        EXPECT_EQ(f.ask(1, 100 * k_ms + 1, 0), retransmission_verdict::unknown) << "too old";
        EXPECT_EQ(f.ask(2, 100 * k_ms + 1, 0), retransmission_verdict::resend);
        EXPECT_EQ(f.store.packets(), 1u);
    }
    {
        // 112-byte packets in a 1,000-byte store: the newest 8 stay.
        store_fixture f(retransmission_limits{10'000 * k_ms, 1000, 100});
        for (uint16_t s = 0; s < 20; ++s) {
            f.send(s, 100, s);
        }
        EXPECT_EQ(f.store.packets(), 8u);
        EXPECT_LE(f.store.bytes(), 1000u);
        EXPECT_EQ(f.ask(11, 100, 0), retransmission_verdict::unknown);
        EXPECT_EQ(f.ask(12, 100, 0), retransmission_verdict::resend);
    }
}

TEST(RetransmissionStore, ResendsEachPacketOncePerRoundTrip) {
    store_fixture f(retransmission_limits{1'000 * k_ms, 1'000'000, 100});
    for (uint16_t s = 1; s <= 4; ++s) {
        f.send(s, 500, 0);  // the budget pays for two resends of one
    }
    const int64_t rtt = 40 * k_ms;
    EXPECT_EQ(f.ask(1, 10 * k_ms, rtt), retransmission_verdict::resend);
    EXPECT_EQ(f.ask(1, 10 * k_ms, rtt), retransmission_verdict::too_soon) << "the same NACK twice";
    EXPECT_EQ(f.ask(1, 49 * k_ms, rtt), retransmission_verdict::too_soon);
    EXPECT_EQ(f.ask(1, 50 * k_ms, rtt), retransmission_verdict::resend) << "a round trip later";
}

// A storm of NACKs asking for everything again and again: what goes out
// never exceeds the configured share of the media sent (plus nothing: the
// budget starts empty).
TEST(RetransmissionStore, NackStormCannotExceedTheShareOfTheMedia) {
    for (unsigned share : {10u, 50u, 100u}) {
        SCOPED_TRACE(share);
        store_fixture f(retransmission_limits{1'000'000 * k_ms, 10'000'000, share});
        size_t media = 0;
        size_t resent = 0;
        size_t refused = 0;
        for (int i = 0; i < 2000; ++i) {
            const auto seq = static_cast<uint16_t>(i);
            f.send(seq, 1000, i * k_ms);
            media += f.sent.back().size();
            for (int back = 0; back < 20 && back <= i; ++back) {
                bytes got;
                const retransmission_verdict v =
                    f.ask(static_cast<uint16_t>(seq - back), i * k_ms, 0, &got);
                if (v == retransmission_verdict::resend) {
                    resent += got.size();
                } else {
                    EXPECT_EQ(v, retransmission_verdict::over_cap);
                    ++refused;
                }
            }
        }
        EXPECT_LE(static_cast<double>(resent), share / 100.0 * static_cast<double>(media));
        EXPECT_GE(static_cast<double>(resent), share / 100.0 * static_cast<double>(media) - 1012);
        EXPECT_GT(refused, 0u);
    }
}

TEST(RetransmissionStore, ASequenceJumpStartsAfresh) {
    store_fixture f;
    f.send(100, 10, 0);
    f.send(101, 10, 1);
    f.send(5000, 10, 2);  // a new SSRC's sequence numbers
    EXPECT_EQ(f.store.packets(), 1u);
    EXPECT_EQ(f.ask(100, 3, 0), retransmission_verdict::unknown);
    EXPECT_EQ(f.ask(5000, 3, 0), retransmission_verdict::resend);
    uint8_t runt[8] = {0x80};
    f.store.on_sent(runt, sizeof(runt), 4);
    EXPECT_EQ(f.store.packets(), 1u) << "not an RTP packet";
}

}  // namespace
}  // namespace tessal
