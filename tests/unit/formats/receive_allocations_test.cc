// The receive path in steady state, driven the way the reception flow drives
// it (header stage, format handler, frame getter, frame queue, pull) on one
// thread: the heap allocations per delivered frame.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "formats/h26x.hh"
#include "formats/media.hh"
#include "rtp/rtp.hh"
#include "support/fake_syscalls.hh"
#include "support/rtp_builder.hh"
#include "transport/reception_flow.hh"
#include "transport/socket.hh"

namespace {

thread_local bool t_counting = false;
thread_local size_t t_allocations = 0;

}  // namespace

// Counts the allocations of the thread that asked for counting.
void *operator new(std::size_t size) {
    if (t_counting) {
        ++t_allocations;
    }
    if (void *p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void *operator new[](std::size_t size) {
    return ::operator new(size);
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
    return ::operator new(size, std::nothrow);
}
void operator delete(void *p) noexcept {
    std::free(p);
}
void operator delete[](void *p) noexcept {
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void *p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using namespace tessal;

constexpr uint32_t k_ssrc = 0x5EED0009;

// One stream's receive side on a flow started on a fake socket that stays
// silent: process_packet and pull_frame run on this thread.
struct receive_side {
    test::fake_syscalls fake;
    std::shared_ptr<tessal::socket> sock = std::make_shared<tessal::socket>(0, &fake);
    std::shared_ptr<rtp> state;
    std::unique_ptr<formats::media> format;
    shared_ssrc remote = make_shared_ssrc(k_ssrc);
    reception_flow flow{false};

    explicit receive_side(RTP_FORMAT fmt) {
        state = std::make_shared<rtp>(fmt, make_shared_ssrc(1), false);
        flow.install_handler(HANDLER_RTP_HEADER, remote, rtp::packet_handler, nullptr);
        if (fmt == FMT_H265) {
            auto video = std::make_unique<formats::h265>(nullptr, state, 0);
            formats::h26x *raw = video.get();
            flow.install_handler(HANDLER_MEDIA, remote, formats::h26x::packet_handler, raw);
            flow.install_getter(remote,
                                [raw](frame::rtp_frame **out) { return raw->frame_getter(out); });
            format = std::move(video);
        } else {
            format = std::make_unique<formats::media>(nullptr, state, 0);
            formats::media *raw = format.get();
            flow.install_handler(HANDLER_MEDIA, remote, formats::media::packet_handler,
                                 raw->get_media_frame_info());
            flow.install_getter(remote,
                                [raw](frame::rtp_frame **out) { return raw->frame_getter(out); });
        }
        sock->init(AF_INET, SOCK_DGRAM, 0);
        EXPECT_EQ(flow.start(sock, 0), RTP_SUCCESS);
    }
    ~receive_side() { flow.stop(); }

    // Feeds `packets`, pulls what they deliver; the frames delivered.
    size_t run(std::vector<std::vector<uint8_t>> &packets) {
        size_t frames = 0;
        for (std::vector<uint8_t> &p : packets) {
            flow.process_packet(p.data(), p.size(), 0);
            while (frame::rtp_frame *f = flow.pull_frame(0)) {
                ++frames;
                frame::dealloc_frame(f);
            }
        }
        return frames;
    }
};

// Datagrams of `count` frames of one packet each, from sequence number `first`.
std::vector<std::vector<uint8_t>> single_packet_frames(RTP_FORMAT fmt, uint16_t first,
                                                       size_t count) {
    std::vector<std::vector<uint8_t>> packets;
    for (size_t i = 0; i < count; ++i) {
        const auto seq = static_cast<uint16_t>(first + i);
        std::vector<uint8_t> payload(1100, static_cast<uint8_t>(0x30 + i % 64));
        if (fmt == FMT_H265) {
            payload[0] = 0x02;  // TRAIL_R, in a single NAL unit packet
            payload[1] = 0x01;
        }
        packets.push_back(test::rtp_packet(k_ssrc, seq, payload, 0x80 | 96,
                                           static_cast<uint32_t>(3000 * (first + i))));
    }
    return packets;
}

// A frame that fits one packet costs its frame and nothing else: the record
// and the payload come in one block, and an H.26x start code goes into the
// block's headroom.
TEST(ReceiveAllocations, OnePacketFrameCostsOneAllocation) {
    for (const RTP_FORMAT fmt : {FMT_PCMU, FMT_H265}) {
        SCOPED_TRACE(fmt == FMT_H265 ? "H.265 single NAL unit packets" : "generic");
        receive_side side(fmt);
        std::vector<std::vector<uint8_t>> warm = single_packet_frames(fmt, 100, 500);
        ASSERT_EQ(side.run(warm), warm.size());
        std::vector<std::vector<uint8_t>> counted = single_packet_frames(fmt, 600, 2000);
        t_allocations = 0;
        t_counting = true;
        const size_t frames = side.run(counted);
        t_counting = false;
        ASSERT_EQ(frames, counted.size());
        const double per_frame = static_cast<double>(t_allocations) / static_cast<double>(frames);
        std::printf("%.3f allocations per delivered frame\n", per_frame);
        EXPECT_LE(per_frame, 1.01) << t_allocations << " allocations for " << frames << " frames";
    }
}

}  // namespace
