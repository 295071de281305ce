// Feeds datagrams through the RTP header parser and the SRTP reception
// handler, and through SRTCP verification and decryption, under a fixed key.
// Some inputs are first protected with the same key, so that the fuzzer also
// reaches the paths after a valid tag (replay window, index estimation,
// decryption, padding).
//
// Input: a flags byte (bit 0: tag, bit 1: null cipher, bit 2: anti-replay,
// bits 3-4: key size; with bit 7 set, standard SRTP (RCE_SRTP_STANDARD) of
// profile 1 + bits 3-5 mod 5 instead), then datagrams, each preceded by a
// 2-byte big-endian length whose top bit asks for the datagram to be
// protected first (as RTP when it parses as RTP, always as SRTCP otherwise).
#include <algorithm>
#include <cstdint>
#include <vector>

#include "rtp/rtp.hh"
#include "security/srtcp.hh"
#include "security/srtcp_standard.hh"
#include "security/srtp.hh"
#include "security/srtp_standard.hh"

namespace {

const uint8_t k_key[32] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 9, 8, 7, 6, 5, 4, 3, 2};
const uint8_t k_salt[14] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};

const uint8_t k_master[46] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 9, 8, 7, 6,
                              5,    4,    3,    2,    1,    2,    3,    4,    5, 6, 7, 8};

// Standard SRTP: the stream's reception handler after the header parser, the
// pure unprotect on a copy, and SRTCP verification, under one master key.
void fuzz_standard(const uint8_t *data, size_t size) {
    using namespace tessal;
    const int profile = 1 + ((data[0] >> 3) & 7) % 5;
    const srtp_profile_info &p = *find_srtp_profile(profile);
    const size_t n = p.key_len + p.salt_len;
    srtp_standard tx;
    srtp_standard rx;
    srtcp_standard rtcp_tx;
    srtcp_standard rtcp_rx;
    tx.init(profile, k_master, n, k_master, n);
    rx.init(profile, k_master, n, k_master, n);
    rtcp_tx.init_standard(profile, k_master, n, k_master, n);
    rtcp_rx.init_standard(profile, k_master, n, k_master, n);
    const int flags = RCE_SRTP | RCE_SRTP_STANDARD;
    for (size_t pos = 1; pos + 2 <= size;) {
        const bool protect = (data[pos] & 0x80) != 0;
        const size_t len =
            std::min<size_t>(size_t{data[pos] & 0x7Fu} << 8 | data[pos + 1], size - pos - 2);
        std::vector<uint8_t> datagram(data + pos + 2, data + pos + 2 + len);
        pos += 2 + len;

        std::vector<uint8_t> rtcp = datagram;
        if (protect && len >= 12 && (datagram[0] >> 6) == 2) {
            std::vector<uint8_t> tag(k_std_srtp_max_tag, 0);
            buffer_vector pieces = {
                {12, datagram.data()}, {len - 12, datagram.data() + 12}, {tag.size(), tag.data()}};
            if (tx.protect(pieces) == RTP_SUCCESS) {
                datagram.insert(datagram.end(), tag.begin(),
                                tag.begin() + static_cast<long>(pieces[2].first));
            }
        }
        std::vector<uint8_t> copy = datagram;
        copy.shrink_to_fit();
        size_t plain = 0;
        rx.unprotect(copy.data(), copy.size(), &plain);
        frame::rtp_frame *out = nullptr;
        if (rtp::packet_handler(nullptr, flags, datagram.data(), datagram.size(), &out) ==
            RTP_PKT_CHANGED) {
            srtp_standard::recv_packet_handler(&rx, flags, datagram.data(), datagram.size(), &out);
        }
        frame::dealloc_frame(out);

        if (protect) {
            rtcp.resize(rtcp.size() + rtcp_tx.trailer_size(), 0);
            rtcp_tx.handle_rtcp_encryption(flags, 0, 0, rtcp.data(),
                                           static_cast<uint32_t>(rtcp.size()));
        }
        rtcp.shrink_to_fit();
        rtcp_rx.handle_rtcp_decryption(flags, 0, rtcp.data(), rtcp.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace tessal;
    if (size == 0) {
        return 0;
    }
    if (data[0] & 0x80) {
        fuzz_standard(data, size);
        return 0;
    }
    const int sizes[] = {0, RCE_SRTP_AES192, RCE_SRTP_AES256, 0};
    const int flags = RCE_SRTP | ((data[0] & 1) ? RCE_SRTP_AUTH_TAG : 0) |
                      ((data[0] & 2) ? RCE_SRTP_NO_ENCRYPTION : 0) |
                      ((data[0] & 4) ? RCE_SRTP_ANTI_REPLAY : 0) | sizes[(data[0] >> 3) & 3];
    srtp tx(flags);
    srtp rx(flags);
    srtcp rtcp_tx;
    srtcp rtcp_rx;
    tx.init(0, flags, k_key, k_key, k_salt, k_salt);
    rx.init(0, flags, k_key, k_key, k_salt, k_salt);
    rtcp_tx.init(1, flags, k_key, k_key, k_salt, k_salt);
    rtcp_rx.init(1, flags, k_key, k_key, k_salt, k_salt);
    uint32_t rtcp_index = 0;
    for (size_t pos = 1; pos + 2 <= size;) {
        const bool protect = (data[pos] & 0x80) != 0;
        const size_t len =
            std::min<size_t>(size_t{data[pos] & 0x7Fu} << 8 | data[pos + 1], size - pos - 2);
        // An exact-size copy, so any over-read hits the sanitizer's redzone.
        std::vector<uint8_t> datagram(data + pos + 2, data + pos + 2 + len);
        pos += 2 + len;

        std::vector<uint8_t> rtcp = datagram;
        if (protect && len >= 12 && (datagram[0] >> 6) == 2) {
            std::vector<uint8_t> tag(10, 0);
            buffer_vector pieces = {{12, datagram.data()}, {len - 12, datagram.data() + 12}};
            if (flags & RCE_SRTP_AUTH_TAG) {
                pieces.emplace_back(tag.size(), tag.data());
            }
            srtp::send_packet_handler(&tx, pieces);
            datagram.insert(datagram.end(), tag.begin(),
                            tag.begin() + ((flags & RCE_SRTP_AUTH_TAG) ? 10 : 0));
        }
        frame::rtp_frame *out = nullptr;
        if (rtp::packet_handler(nullptr, flags, datagram.data(), datagram.size(), &out) ==
            RTP_PKT_CHANGED) {
            srtp::recv_packet_handler(&rx, flags, datagram.data(), datagram.size(), &out);
        }
        frame::dealloc_frame(out);

        if (protect) {
            rtcp.resize(rtcp.size() + k_srtcp_trailer_size, 0);
            rtcp_tx.handle_rtcp_encryption(flags, ++rtcp_index, 0x1234, rtcp.data(),
                                           static_cast<uint32_t>(rtcp.size()));
        }
        rtcp_rx.handle_rtcp_decryption(flags, 0x1234, rtcp.data(), rtcp.size());
    }
    return 0;
}
