// The payload formats reach the network only through a datagram sink: with
// a recording sink, a push is checked datagram by datagram without sockets.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "formats/h26x.hh"
#include "formats/media.hh"
#include "rtp/rtp.hh"
#include "support/media_frames.hh"
#include "util/datagram_sink.hh"

namespace {

using namespace tessal;

class recording_sink : public datagram_sink {
public:
    RTP_ERROR sendto(uint32_t ssrc, sockaddr_in &, sockaddr_in6 &, buffer_vector &pieces, int,
                     int *) override {
        record(ssrc, pieces);
        return RTP_SUCCESS;
    }
    RTP_ERROR sendto(uint32_t ssrc, sockaddr_in &, sockaddr_in6 &, packet_vector &packets, int,
                     int *) override {
        for (auto &pieces : packets) {
            record(ssrc, pieces);
        }
        ++calls;
        return RTP_SUCCESS;
    }
    std::vector<std::vector<uint8_t>> datagrams;
    std::vector<uint32_t> ssrcs;
    int calls = 0;

private:
    void record(uint32_t ssrc, const buffer_vector &pieces) {
        std::vector<uint8_t> d;
        for (const auto &piece : pieces) {
            d.insert(d.end(), piece.second, piece.second + piece.first);
        }
        datagrams.push_back(std::move(d));
        ssrcs.push_back(ssrc);
    }
};

TEST(DatagramSink, GenericAndH265PushesReachTheSinkWhole) {
    const struct {
        const char *name;
        RTP_FORMAT fmt;
        int flags;
        std::vector<uint8_t> frame;
        size_t datagrams;
    } cases[] = {
        {"generic, fragmented", FMT_PCMU, RCE_FRAGMENT_GENERIC | RCE_SCC_ENABLED,
         test::random_bytes(5000, 1), 4},
        {"H.265: a parameter set and a small slice aggregated, a large one in fragments", FMT_H265,
         RCE_SCC_ENABLED, test::h265_access_unit(2), 4},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto sink = std::make_shared<recording_sink>();
        auto state = std::make_shared<rtp>(c.fmt, make_shared_ssrc(0xCAFE), false);
        std::unique_ptr<formats::media> format;
        if (c.fmt == FMT_H265) {
            format = std::make_unique<formats::h265>(sink, state, c.flags);
        } else {
            format = std::make_unique<formats::media>(sink, state, c.flags);
        }
        sockaddr_in to4{};
        sockaddr_in6 to6{};
        std::vector<uint8_t> frame = c.frame;
        ASSERT_EQ(
            format->push_frame(to4, to6, frame.data(), frame.size(), RTP_PUSH_DEFAULT, 0xCAFE),
            RTP_SUCCESS);
        EXPECT_GE(sink->calls, 1);
        ASSERT_EQ(sink->datagrams.size(), c.datagrams);
        size_t payload = 0;
        for (size_t i = 0; i < sink->datagrams.size(); ++i) {
            const std::vector<uint8_t> &d = sink->datagrams[i];
            ASSERT_GT(d.size(), 12u);
            EXPECT_EQ(d[0] >> 6, 2);                              // RTP version 2
            EXPECT_EQ((d[1] & 0x80) != 0, i + 1 == c.datagrams);  // marker on the last
            EXPECT_EQ(sink->ssrcs[i], 0xCAFEu);
            payload += d.size() - 12;
        }
        if (c.fmt != FMT_H265) {
            EXPECT_EQ(payload, c.frame.size());
        }
    }
}

}  // namespace
