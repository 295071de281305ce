// Our sender into our receiver: access units pushed through formats::h264,
// h265 and h266 (with either form of H.266 aggregation packet) onto a fake
// socket, the recorded datagrams parsed and fed to
// a receiving object of the same codec, give back every NAL unit byte-exact
// and in order, for NAL sizes around every packetization boundary and across
// the sequence-number wrap.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "formats/h26x.hh"
#include "rtp/rtp.hh"
#include "support/fake_syscalls.hh"
#include "transport/socket.hh"

using namespace tessal;
using bytes = std::vector<uint8_t>;

namespace {

constexpr size_t k_payload_size = 1000;

std::unique_ptr<formats::h26x> make_format(RTP_FORMAT fmt, std::shared_ptr<tessal::socket> sock,
                                           std::shared_ptr<rtp> state, int flags) {
    switch (fmt) {
        case FMT_H264:
            return std::make_unique<formats::h264>(std::move(sock), std::move(state), flags);
        case FMT_H265:
            return std::make_unique<formats::h265>(std::move(sock), std::move(state), flags);
        default:
            return std::make_unique<formats::h266>(std::move(sock), std::move(state), flags);
    }
}

// A NAL unit of `size` bytes with a header of the codec (a non-IDR slice
// type; the body avoids start-code emulation by never holding two zeros).
bytes make_nal(RTP_FORMAT fmt, size_t size, std::mt19937 &gen) {
    bytes nal(size);
    for (auto &b : nal) {
        b = static_cast<uint8_t>(gen() % 255 + 1);
    }
    if (fmt == FMT_H264) {
        nal[0] = 0x41;  // NRI 2, type 1
    } else if (fmt == FMT_H265) {
        nal[0] = 0x02;  // type 1 (TRAIL_R)
        nal[1] = 0x01;
    } else {
        nal[0] = 0x00;
        nal[1] = 0x09;  // type 1, TID 1
    }
    return nal;
}

// A codec, and for H.266 whether its aggregation packets take the RFC 9328
// payload header instead of 0x38 0x01.
struct codec_variant {
    const char *name;
    RTP_FORMAT fmt;
    bool rfc9328_aggregation;
};

struct pair_under_test {
    test::fake_syscalls fake;
    std::shared_ptr<rtp> tx_state;
    std::unique_ptr<formats::h26x> tx;
    std::unique_ptr<formats::h26x> rx;
    sockaddr_in to4 = tessal::socket::create_sockaddr(AF_INET, "127.0.0.1", 5004);
    sockaddr_in6 to6{};

    explicit pair_under_test(const codec_variant &variant) {
        const RTP_FORMAT fmt = variant.fmt;
        auto sock = std::make_shared<tessal::socket>(RCE_SCC_ENABLED, &fake);
        sock->init(AF_INET, SOCK_DGRAM, 0);
        tx_state = std::make_shared<rtp>(fmt, make_shared_ssrc(0x1234), false);
        tx_state->set_payload_size(k_payload_size);
        tx = make_format(fmt, sock, tx_state, 0);
        if (variant.rfc9328_aggregation) {
            static_cast<formats::h266 &>(*tx).set_rfc9328_aggregation(true);
        }
        rx = make_format(fmt, nullptr, std::make_shared<rtp>(fmt, make_shared_ssrc(1), false),
                         RCE_H26X_OMIT_START_CODE);
    }

    // Everything the receiver delivers for the datagrams sent so far.
    std::vector<bytes> receive(size_t from) {
        std::vector<bytes> nals;
        auto sent = fake.sent();
        for (size_t i = from; i < sent.size(); ++i) {
            bytes datagram = sent[i].bytes;
            frame::rtp_frame *out = nullptr;
            EXPECT_EQ(rtp::packet_handler(nullptr, 0, datagram.data(), datagram.size(), &out),
                      RTP_PKT_CHANGED);
            const RTP_ERROR rc = formats::h26x::packet_handler(
                rx.get(), RCE_H26X_OMIT_START_CODE, datagram.data(), datagram.size(), &out);
            if (rc == RTP_FRAME_READY) {
                nals.emplace_back(out->payload, out->payload + out->payload_length);
                frame::dealloc_frame(out);
            } else if (rc == RTP_FRAMES_READY) {
                frame::rtp_frame *next = nullptr;
                while (rx->frame_getter(&next) == RTP_FRAME_READY) {
                    nals.emplace_back(next->payload, next->payload + next->payload_length);
                    frame::dealloc_frame(next);
                }
            } else {
                EXPECT_EQ(out, nullptr);
            }
        }
        return nals;
    }
};

class H26xRoundTrip : public testing::TestWithParam<codec_variant> {};

TEST_P(H26xRoundTrip, EveryNalUnitComesBackAroundEveryBoundary) {
    const RTP_FORMAT fmt = GetParam().fmt;
    pair_under_test p(GetParam());
    // Start close to the wrap so that runs cross 65535 -> 0.
    while (p.tx_state->get_sequence() != 65500) {
        p.tx_state->inc_sequence();
    }
    const size_t header = fmt == FMT_H264 ? 1 : 2;
    const size_t fragment = k_payload_size - header - 1;
    const size_t budget = k_payload_size - header;  // aggregation budget
    const std::vector<size_t> sizes = {
        header + 1,   k_payload_size - 1, k_payload_size,        k_payload_size + 1,
        budget - 2,   budget - 1,         budget / 2 - 2,        budget / 2 - 1,
        2 * fragment, 2 * fragment + 1,   3 * fragment + header, 3 * fragment + header + 1,
        50000};
    std::mt19937 gen(7);
    size_t sent_before = 0;
    // Access units of one, two and three NAL units over all size combinations
    // (pairs and a small unit in front, which aggregates where it fits).
    for (size_t a : sizes) {
        for (size_t b : {size_t{0}, size_t{20}, k_payload_size + 1, budget / 2 - 2}) {
            SCOPED_TRACE(std::to_string(a) + " + " + std::to_string(b));
            std::vector<bytes> nals;
            bytes stream;
            nals.push_back(make_nal(fmt, 10, gen));  // a small unit in front
            nals.push_back(make_nal(fmt, a, gen));
            if (b != 0) {
                nals.push_back(make_nal(fmt, b, gen));
            }
            for (const bytes &n : nals) {
                stream.insert(stream.end(), {0, 0, 0, 1});
                stream.insert(stream.end(), n.begin(), n.end());
            }
            ASSERT_EQ(p.tx->push_frame(p.to4, p.to6, stream.data(), stream.size(), 0, 0x1234),
                      RTP_SUCCESS);
            EXPECT_EQ(p.receive(sent_before), nals);
            sent_before = p.fake.sent().size();
        }
    }
    EXPECT_LT(p.tx_state->get_sequence(), 65500) << "the run crossed the sequence wrap";
    if (fmt == FMT_H266) {
        // The aggregation packets went out in the form asked for, and only in it.
        size_t shifted = 0;
        size_t rfc9328 = 0;
        for (const auto &datagram : p.fake.sent()) {
            ASSERT_GE(datagram.bytes.size(), k_rtp_header_size + 2);
            const uint8_t *payload = datagram.bytes.data() + k_rtp_header_size;
            shifted += payload[0] == 0x38 && payload[1] == 0x01;
            rfc9328 += (payload[1] >> 3) == 28;
        }
        EXPECT_EQ(shifted == 0, GetParam().rfc9328_aggregation);
        EXPECT_EQ(rfc9328 == 0, !GetParam().rfc9328_aggregation);
    }
}

TEST_P(H26xRoundTrip, FragmentedUnitsSurviveReorderingWithinTheirRun) {
    const RTP_FORMAT fmt = GetParam().fmt;
    pair_under_test p(GetParam());
    std::mt19937 gen(11);
    const bytes nal = make_nal(fmt, 20 * k_payload_size, gen);
    bytes stream = {0, 0, 0, 1};
    stream.insert(stream.end(), nal.begin(), nal.end());
    ASSERT_EQ(p.tx->push_frame(p.to4, p.to6, stream.data(), stream.size(), 0, 0x1234), RTP_SUCCESS);
    // Reverse the FUs in the fake's record, then receive: one complete unit.
    auto sent = p.fake.sent();
    ASSERT_GT(sent.size(), 20u);
    std::vector<bytes> reversed;
    for (auto it = sent.rbegin(); it != sent.rend(); ++it) {
        reversed.push_back(it->bytes);
    }
    std::vector<bytes> got;
    for (bytes &datagram : reversed) {
        frame::rtp_frame *out = nullptr;
        ASSERT_EQ(rtp::packet_handler(nullptr, 0, datagram.data(), datagram.size(), &out),
                  RTP_PKT_CHANGED);
        if (formats::h26x::packet_handler(p.rx.get(), RCE_H26X_OMIT_START_CODE, datagram.data(),
                                          datagram.size(), &out) == RTP_FRAME_READY) {
            got.emplace_back(out->payload, out->payload + out->payload_length);
            frame::dealloc_frame(out);
        }
    }
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], nal);
}

INSTANTIATE_TEST_SUITE_P(Codecs, H26xRoundTrip,
                         testing::Values(codec_variant{"H264", FMT_H264, false},
                                         codec_variant{"H265", FMT_H265, false},
                                         codec_variant{"H266", FMT_H266, false},
                                         codec_variant{"H266Rfc9328Aggregation", FMT_H266, true}),
                         [](const testing::TestParamInfo<codec_variant> &param_info) {
                             return std::string(param_info.param.name);
                         });

}  // namespace
