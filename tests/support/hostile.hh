#pragma once

// Helpers for the soak and flood runs: this process's resident memory and
// thread count, the kernel's drop count of a UDP socket, and the fields of
// an RTP header as the relay's observer sees them.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace tessal {
namespace test {

// Resident set size in bytes (/proc/self/statm, second field).
inline uint64_t resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    uint64_t size = 0;
    uint64_t resident = 0;
    statm >> size >> resident;
    return resident * 4096;
}

inline int thread_count() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) {
            return std::stoi(line.substr(8));
        }
    }
    return -1;
}

// Datagrams the kernel dropped on the UDP sockets bound to `port` (the last
// column of /proc/net/udp and udp6), because their receive buffer was full.
inline uint64_t udp_socket_drops(uint16_t port) {
    uint64_t drops = 0;
    char wanted[8];
    std::snprintf(wanted, sizeof(wanted), ":%04X", static_cast<unsigned>(port));
    for (const char *path : {"/proc/net/udp", "/proc/net/udp6"}) {
        std::ifstream table(path);
        std::string line;
        std::getline(table, line);  // header
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, local, last;
            fields >> slot >> local;
            if (local.size() < 5 || local.compare(local.size() - 5, 5, wanted) != 0) {
                continue;
            }
            for (std::string f; fields >> f;) {
                last = f;
            }
            drops += std::stoull(last);
        }
    }
    return drops;
}

struct rtp_fields {
    bool valid = false;
    bool marker = false;
    uint8_t payload_type = 0;
    uint16_t seq = 0;
    uint32_t timestamp = 0;
    uint32_t ssrc = 0;
};

// The fixed header of an RTP packet; not valid for RTCP (RFC 5761 section 4)
// or anything shorter than 12 bytes.
inline rtp_fields parse_rtp(const uint8_t *d, size_t size) {
    rtp_fields f;
    if (size < 12 || (d[0] >> 6) != 2 || (d[1] >= 192 && d[1] <= 223)) {
        return f;
    }
    f.valid = true;
    f.marker = (d[1] & 0x80) != 0;
    f.payload_type = d[1] & 0x7F;
    f.seq = static_cast<uint16_t>(d[2] << 8 | d[3]);
    f.timestamp = uint32_t{d[4]} << 24 | uint32_t{d[5]} << 16 | uint32_t{d[6]} << 8 | d[7];
    f.ssrc = uint32_t{d[8]} << 24 | uint32_t{d[9]} << 16 | uint32_t{d[10]} << 8 | d[11];
    return f;
}

}  // namespace test
}  // namespace tessal
