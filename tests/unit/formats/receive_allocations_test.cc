// The receive path in steady state, driven the way the reception flow drives
// it (header stage, format handler, frame getter, frame queue, pull) on one
// thread: the heap allocations per delivered frame.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "formats/h26x.hh"
#include "formats/media.hh"
#include "rtp/frame_block.hh"
#include "rtp/rtp.hh"
#include "support/counting_new.hh"
#include "support/fake_syscalls.hh"
#include "support/rtp_builder.hh"
#include "transport/reception_flow.hh"
#include "transport/socket.hh"

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

    frame::frame_pool *pool = frame::frame_pool::create(k_default_slot_size, 1024);
    int flags;

    explicit receive_side(RTP_FORMAT fmt, int rce_flags = 0) : flags(rce_flags) {
        state = std::make_shared<rtp>(fmt, make_shared_ssrc(1), false);
        // As a stream installs it: the stream's frame pool as the argument.
        flow.install_handler(HANDLER_RTP_HEADER, remote, rtp::packet_handler, pool);
        if (fmt == FMT_H264 || fmt == FMT_H265 || fmt == FMT_H266) {
            std::unique_ptr<formats::h26x> video;
            if (fmt == FMT_H264) {
                video = std::make_unique<formats::h264>(nullptr, state, flags);
            } else if (fmt == FMT_H265) {
                video = std::make_unique<formats::h265>(nullptr, state, flags);
            } else {
                video = std::make_unique<formats::h266>(nullptr, state, flags);
            }
            formats::h26x *raw = video.get();
            flow.install_handler(HANDLER_MEDIA, remote, formats::h26x::packet_handler, raw);
            flow.install_getter(remote,
                                [raw](frame::rtp_frame **out) { return raw->frame_getter(out); });
            format = std::move(video);
        } else {
            format = std::make_unique<formats::media>(nullptr, state, flags);
            formats::media *raw = format.get();
            flow.install_handler(HANDLER_MEDIA, remote, formats::media::packet_handler,
                                 raw->get_media_frame_info());
            flow.install_getter(remote,
                                [raw](frame::rtp_frame **out) { return raw->frame_getter(out); });
        }
        sock->init(AF_INET, SOCK_DGRAM, 0);
        EXPECT_EQ(flow.start(sock, 0), RTP_SUCCESS);
    }
    ~receive_side() {
        flow.stop();
        pool->close();
    }

    // Feeds `packets`, pulls what they deliver; the frames delivered.
    size_t run(std::vector<std::vector<uint8_t>> &packets) {
        size_t frames = 0;
        for (std::vector<uint8_t> &p : packets) {
            flow.process_packet(p.data(), p.size(), flags);
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

// A frame that fits one packet costs no allocation in steady state: the
// record and the payload come in one block from the stream's pool, which
// gets it back when the application releases the frame, and an H.26x start
// code goes into the block's headroom. (Without the pool it was two
// allocations for a generic frame, three for an H.26x single NAL unit.)
TEST(ReceiveAllocations, OnePacketFrameReusesPooledFrames) {
    for (const RTP_FORMAT fmt : {FMT_PCMU, FMT_H265}) {
        SCOPED_TRACE(fmt == FMT_H265 ? "H.265 single NAL unit packets" : "generic");
        receive_side side(fmt);
        std::vector<std::vector<uint8_t>> warm = single_packet_frames(fmt, 100, 500);
        ASSERT_EQ(side.run(warm), warm.size());
        std::vector<std::vector<uint8_t>> counted = single_packet_frames(fmt, 600, 2000);
        test::allocation_count count;
        size_t frames = 0;
        {
            test::counting_scope counting;
            frames = side.run(counted);
            count = test::thread_allocations();
        }
        ASSERT_EQ(frames, counted.size());
        const double per_frame = static_cast<double>(count.all) / static_cast<double>(frames);
        std::printf("%.3f allocations per delivered frame\n", per_frame);
        EXPECT_LT(per_frame, 0.01) << count.all << " allocations for " << frames << " frames";
    }
}

// The payload of fragment `k` of `fragments` of one frame: a generic piece,
// or an FU of a NAL unit that predicts from others (H.264 FU-A of a non-IDR
// slice, H.265 FU of TRAIL_R, H.266 FU of TRAIL).
std::vector<uint8_t> fragment_payload(RTP_FORMAT fmt, size_t k, size_t fragments) {
    std::vector<uint8_t> payload(1100, static_cast<uint8_t>(0x30 + k));
    const uint8_t se = k == 0 ? 0x80 : k + 1 == fragments ? 0x40 : 0x00;
    if (fmt == FMT_H264) {
        payload[0] = 0x60 | 28;  // NRI 3, FU-A
        payload[1] = static_cast<uint8_t>(se | 1);
    } else if (fmt == FMT_H265) {
        payload[0] = 49 << 1;  // FU
        payload[1] = 0x01;
        payload[2] = static_cast<uint8_t>(se | 1);
    } else if (fmt == FMT_H266) {
        payload[0] = 0x00;
        payload[1] = 29 << 3 | 1;  // FU, TID 0
        payload[2] = static_cast<uint8_t>(se | 0);
    }
    return payload;
}

// Datagrams of `count` frames, each `fragments` packets of one timestamp with
// the marker on the last, sent in the order `order` gives within each frame
// (in sequence order when empty).
std::vector<std::vector<uint8_t>> fragmented_frames(RTP_FORMAT fmt, uint16_t first_seq,
                                                    uint32_t first_frame, size_t count,
                                                    size_t fragments,
                                                    const std::vector<size_t> &order = {}) {
    std::vector<std::vector<uint8_t>> packets;
    for (size_t i = 0; i < count; ++i) {
        const auto ts = static_cast<uint32_t>(3000 * (first_frame + i));
        const auto frame_seq = static_cast<uint16_t>(first_seq + i * fragments);
        for (size_t n = 0; n < fragments; ++n) {
            const size_t k = order.empty() ? n : order[n];
            const bool last = k + 1 == fragments;
            packets.push_back(test::rtp_packet(k_ssrc, static_cast<uint16_t>(frame_seq + k),
                                               fragment_payload(fmt, k, fragments),
                                               static_cast<uint8_t>(96 | (last ? 0x80 : 0)), ts));
        }
    }
    return packets;
}

// A frame of several packets allocates one frame, the joined one: the
// fragments come from the pool and go back to it once joined, and the
// reassembly tables keep their storage from frame to frame. Sequence numbers
// wrap during the counted run, and the reordered cases take fragments out of
// order in every frame.
TEST(ReceiveAllocations, FragmentedFrameCostsAtMostTheJoinedFrame) {
    struct Case {
        const char *name;
        RTP_FORMAT fmt;
        int flags;
        std::vector<size_t> order;
    };
    const Case cases[] = {
        {"generic, RCE_FRAGMENT_GENERIC", FMT_PCMU, RCE_FRAGMENT_GENERIC, {}},
        {"generic, middle fragments reordered", FMT_PCMU, RCE_FRAGMENT_GENERIC, {0, 2, 1, 3, 4}},
        {"H.264 FU-A", FMT_H264, 0, {}},
        {"H.265 FUs", FMT_H265, 0, {}},
        {"H.265 FUs, start fragment after the next", FMT_H265, 0, {1, 0, 2, 3, 4}},
        {"H.266 FUs", FMT_H266, 0, {}},
    };
    constexpr size_t k_fragments = 5;
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        receive_side side(tc.fmt, tc.flags);
        // The warm-up ends just before the counted packets, so the counted
        // run's first frame follows the end of a frame as in a live stream.
        std::vector<std::vector<uint8_t>> warm =
            fragmented_frames(tc.fmt, 61000, 1, 200, k_fragments, tc.order);
        // The first frame may wait for proof of where it starts.
        ASSERT_GE(side.run(warm), warm.size() / k_fragments - 1);
        // 5000 packets from 62000: across the wrap of the sequence number.
        std::vector<std::vector<uint8_t>> counted =
            fragmented_frames(tc.fmt, 62000, 201, 1000, k_fragments, tc.order);
        test::allocation_count count;
        size_t frames = 0;
        {
            test::counting_scope counting;
            frames = side.run(counted);
            count = test::thread_allocations();
        }
        ASSERT_GE(frames, counted.size() / k_fragments - 1);
        const auto per_frame = [frames](size_t n) {
            return static_cast<double>(n) / static_cast<double>(frames);
        };
        // Frames are the allocations of a packet's size or more.
        std::printf("%s: per delivered frame of %zu packets: %.3f frame allocations, %.3f in all\n",
                    tc.name, k_fragments, per_frame(count.large), per_frame(count.all));
        EXPECT_LE(per_frame(count.large), 1.01)
            << count.large << " frame allocations for " << frames << " frames";
        EXPECT_LE(per_frame(count.all), 1.01)
            << count.all << " allocations for " << frames << " frames";
    }
}

// Frames outlive their stream's pool: released after it was closed, from
// another thread, they free themselves, and the pool with the last one.
TEST(FramePool, FramesReleasedAfterCloseAndOnOtherThreads) {
    frame::frame_pool *pool = frame::frame_pool::create(256, 4);
    std::vector<frame::rtp_frame *> frames;
    for (size_t i = 0; i < 8; ++i) {
        frames.push_back(pool->alloc(100 + i));
        ASSERT_NE(frames.back(), nullptr);
        EXPECT_EQ(frames.back()->payload_length, 100 + i);
    }
    frame::rtp_frame *large = pool->alloc(1000);  // beyond the capacity: from the heap
    ASSERT_NE(large, nullptr);
    EXPECT_EQ(large->payload_length, 1000u);
    frame::dealloc_frame(large);
    for (size_t i = 0; i < 6; ++i) {
        frame::dealloc_frame(frames[i]);
    }
    EXPECT_EQ(pool->cached(), 4u);  // no more than it may keep
    frame::rtp_frame *reused = pool->alloc(10);
    EXPECT_EQ(pool->cached(), 3u);
    pool->close();
    std::thread other([&] {
        frame::dealloc_frame(frames[6]);
        frame::dealloc_frame(frames[7]);
    });
    other.join();
    frame::dealloc_frame(reused);  // the last: the pool goes with it (LeakSanitizer checks)
}

}  // namespace
