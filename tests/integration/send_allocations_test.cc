// The send path in steady state: once a stream has warmed up, pushing frames
// (generic fragmented, H.265 with fragmentation and aggregation) performs
// no heap allocation on the pushing thread, whatever the number of packets.

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <vector>

#include "support/counting_new.hh"
#include "support/media_frames.hh"
#include "support/ports.hh"
#include "support/udp_capture.hh"
#include "tessal/tessal.hh"

namespace {

using namespace tessal;

TEST(SendAllocations, SteadyStatePushesAllocateNothing) {
    const struct {
        const char *name;
        RTP_FORMAT fmt;
        int flags;
        std::vector<uint8_t> frame;
    } cases[] = {
        {"generic, 12 fragments", FMT_PCMU, RCE_FRAGMENT_GENERIC | RCE_SCC_ENABLED,
         test::random_bytes(16000, 1)},
        {"generic, one packet, no batching", FMT_PCMU, 0, test::random_bytes(500, 2)},
        {"H.265 access unit", FMT_H265, RCE_SCC_ENABLED, test::h265_access_unit(3)},
        {"generic fragmented, SRTP with tag", FMT_PCMU,
         RCE_FRAGMENT_GENERIC | RCE_SCC_ENABLED | RCE_SRTP | RCE_SRTP_KEYS_FROM_USER |
             RCE_SRTP_AUTH_TAG,
         test::random_bytes(6000, 4)},
        {"H.265, SRTP", FMT_H265, RCE_SCC_ENABLED | RCE_SRTP | RCE_SRTP_KEYS_FROM_USER,
         test::h265_access_unit(5)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        test::udp_capture sink;  // receives nothing back: a send-only stream
        context ctx;
        session *s = ctx.create_session("127.0.0.1");
        media_stream *tx = s->create_stream(0, sink.port(), c.fmt, RCE_SEND_ONLY | c.flags);
        ASSERT_NE(tx, nullptr);
        if (c.flags & RCE_SRTP) {
            std::vector<uint8_t> key = test::random_bytes(16, 6);
            std::vector<uint8_t> salt = test::random_bytes(14, 7);
            ASSERT_EQ(tx->add_srtp_ctx(key.data(), salt.data()), RTP_SUCCESS);
        }
        for (int i = 0; i < 20; ++i) {  // warm-up
            std::vector<uint8_t> copy = c.frame;
            ASSERT_EQ(tx->push_frame(copy.data(), copy.size(), RTP_PUSH_DEFAULT), RTP_SUCCESS);
        }
        std::vector<std::vector<uint8_t>> frames(50, c.frame);
        size_t allocations = 0;
        {
            test::counting_scope counting;
            for (auto &f : frames) {
                if (tx->push_frame(f.data(), f.size(), RTP_PUSH_DEFAULT) != RTP_SUCCESS) {
                    break;
                }
            }
            allocations = test::thread_allocations().all;
        }
        EXPECT_EQ(allocations, 0u);
        ctx.destroy_session(s);
    }
}

}  // namespace
