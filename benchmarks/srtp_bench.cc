// SRTP protect and unprotect of 1,200-byte payloads (AES-128, 80-bit tag)
// beside a raw loop of the same Crypto++ work with pre-keyed objects:
// AES-128-CTR over the payload plus HMAC-SHA1 over header and payload. The
// ratio raw time / SRTP time is what the transform layers cost.
#include <benchmark/benchmark.h>
#include <cryptopp/aes.h>
#include <cryptopp/hmac.h>
#include <cryptopp/modes.h>
#include <cryptopp/sha.h>

#include <cstring>
#include <vector>

#include "rtp/rtp.hh"
#include "security/srtp.hh"

namespace {

using namespace tessal;

constexpr size_t k_payload = 1200;
constexpr int k_flags = RCE_SRTP | RCE_SRTP_AUTH_TAG;
const uint8_t k_key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const uint8_t k_salt[14] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};

std::vector<uint8_t> header(uint16_t seq) {
    return {0x80, 96, uint8_t(seq >> 8), uint8_t(seq), 0, 0, 3, 0xE8, 0xDE, 0xAD, 0xBE, 0xEF};
}

void raw_crypto(benchmark::State &state) {
    CryptoPP::CTR_Mode<CryptoPP::AES>::Encryption ctr;
    uint8_t iv[16] = {};
    ctr.SetKeyWithIV(k_key, sizeof(k_key), iv);
    CryptoPP::HMAC<CryptoPP::SHA1> mac(k_key, 20);
    std::vector<uint8_t> packet(12 + k_payload + 10, 0x55);
    uint8_t digest[20];
    uint16_t seq = 0;
    for (auto _ : state) {
        iv[15] = static_cast<uint8_t>(++seq);
        ctr.Resynchronize(iv);
        ctr.ProcessData(packet.data() + 12, packet.data() + 12, k_payload);
        mac.Update(packet.data(), 12 + k_payload);
        mac.Final(digest);
        std::memcpy(packet.data() + 12 + k_payload, digest, 10);
        benchmark::DoNotOptimize(packet.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(k_payload));
}
BENCHMARK(raw_crypto);

void srtp_protect(benchmark::State &state) {
    srtp s(k_flags);
    s.init(0, k_flags, k_key, k_key, k_salt, k_salt);
    std::vector<uint8_t> payload(k_payload, 0x55);
    uint8_t tag[10];
    uint16_t seq = 0;
    for (auto _ : state) {
        std::vector<uint8_t> h = header(++seq);
        buffer_vector pieces = {{12, h.data()}, {k_payload, payload.data()}, {10, tag}};
        benchmark::DoNotOptimize(srtp::send_packet_handler(&s, pieces));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(k_payload));
}
BENCHMARK(srtp_protect);

void srtp_unprotect(benchmark::State &state) {
    srtp tx(k_flags);
    srtp rx(k_flags);
    tx.init(0, k_flags, k_key, k_key, k_salt, k_salt);
    rx.init(0, k_flags, k_key, k_key, k_salt, k_salt);
    std::vector<uint8_t> payload(k_payload, 0x55);
    std::vector<uint8_t> h = header(7);
    uint8_t tag[10];
    buffer_vector pieces = {{12, h.data()}, {k_payload, payload.data()}, {10, tag}};
    srtp::send_packet_handler(&tx, pieces);
    std::vector<uint8_t> datagram = h;
    datagram.insert(datagram.end(), payload.begin(), payload.end());
    datagram.insert(datagram.end(), tag, tag + 10);
    frame::rtp_frame *f = nullptr;
    rtp::packet_handler(nullptr, k_flags, datagram.data(), datagram.size(), &f);
    for (auto _ : state) {
        f->payload_length = k_payload + 10;  // the handler strips the tag each time
        benchmark::DoNotOptimize(
            srtp::recv_packet_handler(&rx, k_flags, datagram.data(), datagram.size(), &f));
    }
    frame::dealloc_frame(f);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(k_payload));
}
BENCHMARK(srtp_unprotect);

}  // namespace
