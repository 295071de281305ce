// Standard SRTP protect and unprotect of 1,200-byte payloads, per profile,
// beside a raw loop of the same Crypto++ work with pre-keyed objects: AES-CTR
// over the payload plus HMAC-SHA1 over header, payload and ROC for the AES-CM
// profiles, AES-GCM with the header as AAD for the AEAD ones. The ratio raw
// time / SRTP time (target 0.7 or more) is what the transform layers cost.
//
// Unprotect takes each packet once (the replay window refuses a second
// pass): packets are protected in rounds of k_ring, outside the timing.
#include <benchmark/benchmark.h>
#include <cryptopp/aes.h>
#include <cryptopp/gcm.h>
#include <cryptopp/hmac.h>
#include <cryptopp/modes.h>
#include <cryptopp/sha.h>

#include <cstring>
#include <vector>

#include "security/srtp_standard.hh"

namespace {

using namespace tessal;

constexpr size_t k_payload = 1200;
constexpr size_t k_ring = 1024;
const uint8_t k_master[46] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                              17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32,
                              33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46};

void set_header(uint8_t *h, uint16_t seq) {
    const uint8_t fixed[12] = {
        0x80, 96, uint8_t(seq >> 8), uint8_t(seq), 0, 0, 3, 0xE8, 0xDE, 0xAD, 0xBE, 0xEF};
    std::memcpy(h, fixed, sizeof(fixed));
}

const srtp_profile_info &info(benchmark::State &state) {
    return *find_srtp_profile(static_cast<int>(state.range(0)));
}

void raw_crypto(benchmark::State &state) {
    const srtp_profile_info &p = info(state);
    std::vector<uint8_t> packet(12 + k_payload + 16, 0x55);
    uint8_t iv[16] = {};
    CryptoPP::CTR_Mode<CryptoPP::AES>::Encryption ctr;
    CryptoPP::HMAC<CryptoPP::SHA1> mac(k_master, 20);
    CryptoPP::GCM<CryptoPP::AES>::Encryption gcm;
    if (p.aead) {
        gcm.SetKeyWithIV(k_master, p.key_len, iv, 12);
    } else {
        ctr.SetKeyWithIV(k_master, p.key_len, iv);
    }
    uint8_t digest[20];
    const uint8_t roc[4] = {};
    uint16_t seq = 0;
    for (auto _ : state) {
        set_header(packet.data(), ++seq);
        iv[11] = static_cast<uint8_t>(seq);
        if (p.aead) {
            gcm.EncryptAndAuthenticate(packet.data() + 12, packet.data() + 12 + k_payload, 16, iv,
                                       12, packet.data(), 12, packet.data() + 12, k_payload);
        } else {
            ctr.Resynchronize(iv);
            ctr.ProcessData(packet.data() + 12, packet.data() + 12, k_payload);
            mac.Update(packet.data(), 12 + k_payload);
            mac.Update(roc, sizeof(roc));
            mac.Final(digest);
            std::memcpy(packet.data() + 12 + k_payload, digest, p.rtp_tag_len);
        }
        benchmark::DoNotOptimize(packet.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(k_payload));
    state.SetLabel(p.name);
}

void protect(benchmark::State &state) {
    const srtp_profile_info &p = info(state);
    srtp_standard s;
    s.init(p.id, k_master, p.key_len + p.salt_len, k_master, p.key_len + p.salt_len);
    std::vector<uint8_t> packet(12 + k_payload + 16, 0x55);
    uint16_t seq = 0;
    for (auto _ : state) {
        set_header(packet.data(), ++seq);
        buffer_vector pieces = {{12, packet.data()},
                                {k_payload, packet.data() + 12},
                                {16, packet.data() + 12 + k_payload}};
        benchmark::DoNotOptimize(s.protect(pieces));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(k_payload));
    state.SetLabel(p.name);
}

void unprotect(benchmark::State &state) {
    const srtp_profile_info &p = info(state);
    const size_t n = p.key_len + p.salt_len;
    srtp_standard tx;
    srtp_standard rx;
    tx.init(p.id, k_master, n, k_master, n);
    rx.init(p.id, k_master, n, k_master, n);
    std::vector<std::vector<uint8_t>> ring(k_ring, std::vector<uint8_t>(12 + k_payload + 16));
    uint16_t seq = 0;
    size_t next = k_ring;
    size_t size = 0;
    for (auto _ : state) {
        if (next == k_ring) {
            state.PauseTiming();
            for (auto &packet : ring) {
                set_header(packet.data(), ++seq);
                std::memset(packet.data() + 12, 0x55, k_payload);
                buffer_vector pieces = {{12, packet.data()},
                                        {k_payload, packet.data() + 12},
                                        {16, packet.data() + 12 + k_payload}};
                tx.protect(pieces);
                size = 12 + k_payload + pieces[2].first;
            }
            next = 0;
            state.ResumeTiming();
        }
        size_t plain = 0;
        benchmark::DoNotOptimize(rx.unprotect(ring[next++].data(), size, &plain));
    }
    if (rx.drops().auth + rx.drops().replay + rx.drops().malformed != 0) {
        state.SkipWithError("packets were dropped");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(k_payload));
    state.SetLabel(p.name);
}

void profiles(benchmark::internal::Benchmark *b) {
    for (int id = SRTP_AES_CM_128_HMAC_SHA1_80; id <= SRTP_AEAD_AES_256_GCM; ++id) {
        b->Arg(id);
    }
}

BENCHMARK(raw_crypto)->Apply(profiles);
BENCHMARK(protect)->Apply(profiles);
BENCHMARK(unprotect)->Apply(profiles);

}  // namespace
