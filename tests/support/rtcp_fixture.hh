#pragma once

// An RTCP object over a recording transport, with an injected NTP clock,
// for tests without sockets or a real clock.

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "rtcp/rtcp_internal.hh"
#include "rtp/rtp.hh"
#include "support/fake_rtcp_transport.hh"
#include "support/rtp_builder.hh"

namespace tessal {
namespace test {

constexpr uint32_t k_local_ssrc = 0xAABBCCDD;
constexpr uint32_t k_peer_ssrc = 0x11223344;
constexpr uint64_t k_ntp_base = 0x83AA7E8080000000ULL;

inline std::atomic<uint64_t> &fake_ntp() {
    static std::atomic<uint64_t> now{k_ntp_base};
    return now;
}
inline uint64_t fake_ntp_now() {
    return fake_ntp().load();
}
inline uint64_t ntp_after_ms(uint64_t ms) {
    return k_ntp_base + ((ms << 32) + 500) / 1000;
}

struct rtcp_fixture {
    explicit rtcp_fixture(int flags = RCE_WITH_RTCP, bool active = true,
                          uint32_t local = k_local_ssrc)
        : local_ssrc(make_shared_ssrc(local)),
          remote_ssrc(make_shared_ssrc(k_peer_ssrc)),
          rtp_state(std::make_shared<rtp>(FMT_H265, local_ssrc, false)),
          transport(std::make_shared<fake_rtcp_transport>()),
          rtcp(std::make_unique<rtcp_internal>(rtp_state, local_ssrc, remote_ssrc, "me@host",
                                               flags)) {
        fake_ntp().store(k_ntp_base);
        rtcp->set_ntp_source(fake_ntp_now);
        rtcp->set_transport(transport);
        if (active) {
            rtcp->start_without_runner();
        }
    }

    // A copy of exactly the datagram's size, so over-reads hit ASan.
    RTP_ERROR feed(const std::vector<uint8_t> &bytes) {
        std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)]);
        std::copy(bytes.begin(), bytes.end(), copy.get());
        return rtcp->handle_incoming_packet(copy.get(), bytes.size());
    }

    // One RTP packet through the RTP parser and the statistics stage.
    RTP_ERROR feed_rtp(uint32_t ssrc, uint16_t seq, uint32_t ts = 0x1000, size_t payload = 100) {
        std::vector<uint8_t> p = rtp_packet(ssrc, seq, std::vector<uint8_t>(payload, 0x55), 96, ts);
        frame::rtp_frame *out = nullptr;
        rtp::packet_handler(nullptr, 0, p.data(), p.size(), &out);
        const RTP_ERROR r =
            rtcp_internal::recv_packet_handler_common(rtcp.get(), 0, p.data(), p.size(), &out);
        frame::dealloc_frame(out);
        return r;
    }

    // Counts `n` sent RTP datagrams of `payload` bytes.
    void sent_media(int n, size_t payload = 100) {
        std::vector<uint8_t> bytes(12 + payload);
        for (int i = 0; i < n; ++i) {
            buffer_vector pieces = {{12, bytes.data()}, {payload, bytes.data() + 12}};
            rtcp_internal::send_packet_handler_vec(rtcp.get(), pieces);
        }
    }

    shared_ssrc local_ssrc;
    shared_ssrc remote_ssrc;
    std::shared_ptr<rtp> rtp_state;
    std::shared_ptr<fake_rtcp_transport> transport;
    std::unique_ptr<rtcp_internal> rtcp;
};

// Big-endian helpers for building packets in tests.
inline void put32(std::vector<uint8_t> &v, uint32_t x) {
    v.push_back(static_cast<uint8_t>(x >> 24));
    v.push_back(static_cast<uint8_t>(x >> 16));
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x));
}

// An RR from `reporter` with one block about `source`.
inline std::vector<uint8_t> rr_packet(uint32_t reporter, uint32_t source = k_local_ssrc,
                                      uint32_t lsr = 0, uint32_t dlsr = 0) {
    std::vector<uint8_t> v = {0x81, 201, 0x00, 0x07};
    put32(v, reporter);
    put32(v, source);
    put32(v, 0x40000102);  // fraction 64, cumulative loss 258
    put32(v, 0x00010010);
    put32(v, 0x20);
    put32(v, lsr);
    put32(v, dlsr);
    return v;
}

// An SDES packet with one chunk holding a CNAME.
inline std::vector<uint8_t> sdes_packet(uint32_t ssrc, const std::string &cname) {
    std::vector<uint8_t> v = {0x81, 202, 0, 0};
    put32(v, ssrc);
    v.push_back(1);
    v.push_back(static_cast<uint8_t>(cname.size()));
    v.insert(v.end(), cname.begin(), cname.end());
    v.push_back(0);
    while (v.size() % 4 != 0) {
        v.push_back(0);
    }
    v[3] = static_cast<uint8_t>(v.size() / 4 - 1);
    return v;
}

inline std::vector<uint8_t> concat(std::vector<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto &p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

}  // namespace test
}  // namespace tessal
