// Time for two endpoints on loopback to agree SRTP keys with ZRTP: a
// Diffie-Hellman stream pair, then multistream pairs in the same sessions;
// median of 10 each. The baseline, measured in the same run, is what the
// exchange cannot do without: one DH-3072 key pair and one shared secret
// with Crypto++ directly. Ratio = agreement time / baseline time.
#include <cryptopp/dh.h>
#include <cryptopp/integer.h>
#include <cryptopp/osrng.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "security/dh.hh"
#include "tessal/tessal.hh"
#include "transport/socket.hh"

namespace {

using namespace tessal;
using clock_type = std::chrono::steady_clock;

constexpr int k_runs = 10;
constexpr int k_flags = RCE_SRTP | RCE_SRTP_KEYS_FROM_ZRTP;

double ms_since(clock_type::time_point begin) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - begin).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

double crypto_baseline_ms() {
    uint8_t prime[crypto::dh::key_size];
    crypto::dh().get_prime(prime, sizeof(prime));
    CryptoPP::AutoSeededRandomPool rng;
    CryptoPP::DH group(CryptoPP::Integer(prime, sizeof(prime)), CryptoPP::Integer(2));
    CryptoPP::SecByteBlock priv(group.PrivateKeyLength()), pub(group.PublicKeyLength());
    CryptoPP::SecByteBlock peer_priv(group.PrivateKeyLength()), peer_pub(group.PublicKeyLength());
    group.GenerateKeyPair(rng, peer_priv, peer_pub);
    CryptoPP::SecByteBlock shared(group.AgreedValueLength());
    std::vector<double> times;
    for (int i = 0; i < k_runs; ++i) {
        const auto begin = clock_type::now();
        group.GenerateKeyPair(rng, priv, pub);
        if (!group.Agree(shared, priv, peer_pub)) {
            std::fprintf(stderr, "Crypto++ agreement failed\n");
        }
        times.push_back(ms_since(begin));
    }
    return median(times);
}

uint16_t port_pair_base(int i) {
    // Even ports from a range unlikely to be in use; each run gets its own.
    return static_cast<uint16_t>(41000 + 4 * i);
}

// Creates one stream on each side at once; the time until both exist.
double agree(session *a, session *b, uint16_t pa, uint16_t pb, int flags, bool &ok) {
    media_stream *sb = nullptr;
    const auto begin = clock_type::now();
    std::thread tb([&] { sb = b->create_stream(pb, pa, FMT_PCMU, flags); });
    media_stream *sa = a->create_stream(pa, pb, FMT_PCMU, flags);
    tb.join();
    const double t = ms_since(begin);
    ok = sa != nullptr && sb != nullptr;
    return t;
}

}  // namespace

int main() {
    const double baseline = crypto_baseline_ms();
    std::vector<double> dh_times;
    std::vector<double> ms_times;
    int failures = 0;
    for (int i = 0; i < k_runs; ++i) {
        context ca;
        context cb;
        session *a = ca.create_session("127.0.0.1");
        session *b = cb.create_session("127.0.0.1");
        const uint16_t base = port_pair_base(i);
        bool ok = false;
        dh_times.push_back(agree(a, b, base, static_cast<uint16_t>(base + 2), k_flags, ok));
        failures += ok ? 0 : 1;
        ms_times.push_back(agree(a, b, static_cast<uint16_t>(base + 200),
                                 static_cast<uint16_t>(base + 202),
                                 k_flags | RCE_ZRTP_MULTISTREAM_MODE, ok));
        failures += ok ? 0 : 1;
        ca.destroy_session(a);
        cb.destroy_session(b);
    }
    const double dh = median(dh_times);
    const double ms = median(ms_times);
    std::printf("\nZRTP key agreement on loopback, median of %d\n", k_runs);
    std::printf("%-44s %10s %8s\n", "", "ms", "ratio");
    std::printf("%-44s %10.2f %8.2f\n", "Crypto++ DH-3072 key pair + shared secret", baseline, 1.0);
    std::printf("%-44s %10.2f %8.2f\n", "Diffie-Hellman mode (DH3k), both ends", dh, dh / baseline);
    std::printf("%-44s %10.2f %8.2f\n", "multistream mode (Mult), both ends", ms, ms / baseline);
    std::printf("failed agreements: %d\n", failures);
    std::printf("RESULT zrtp_dh_ratio %.2f\n", dh / baseline);
    std::printf("RESULT zrtp_multistream_ratio %.2f\n", ms / baseline);
    return failures == 0 ? 0 : 1;
}
