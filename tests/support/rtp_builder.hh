#pragma once

// Builds RTP datagrams for tests.

#include <cstdint>
#include <vector>

namespace tessal {
namespace test {

// A version-2 RTP packet with the given SSRC, sequence and payload.
inline std::vector<uint8_t> rtp_packet(uint32_t ssrc, uint16_t seq = 1,
                                       std::vector<uint8_t> payload = {0xAB}, uint8_t pt = 96,
                                       uint32_t ts = 0x01010101) {
    std::vector<uint8_t> p = {0x80,
                              pt,
                              static_cast<uint8_t>(seq >> 8),
                              static_cast<uint8_t>(seq),
                              static_cast<uint8_t>(ts >> 24),
                              static_cast<uint8_t>(ts >> 16),
                              static_cast<uint8_t>(ts >> 8),
                              static_cast<uint8_t>(ts),
                              static_cast<uint8_t>(ssrc >> 24),
                              static_cast<uint8_t>(ssrc >> 16),
                              static_cast<uint8_t>(ssrc >> 8),
                              static_cast<uint8_t>(ssrc)};
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}

}  // namespace test
}  // namespace tessal
