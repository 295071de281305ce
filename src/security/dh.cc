#include "security/dh.hh"

#include <cryptopp/nbtheory.h>
#include <cryptopp/secblock.h>

namespace tessal {
namespace crypto {

namespace {

// RFC 3526 section 4: p = 2^3072 - 2^3008 - 1 + 2^64 * { [2^2942 pi] + 1690314 }.
constexpr const char *modp3072_prime =
    "0xFFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD1"
    "29024E088A67CC74020BBEA63B139B22514A08798E3404DD"
    "EF9519B3CD3A431B302B0A6DF25F14374FE1356D6D51C245"
    "E485B576625E7EC6F44C42E9A637ED6B0BFF5CB6F406B7ED"
    "EE386BFB5A899FA5AE9F24117C4B1FE649286651ECE45B3D"
    "C2007CB8A163BF0598DA48361C55D39A69163FA8FD24CF5F"
    "83655D23DCA3AD961C62F356208552BB9ED529077096966D"
    "670C354E4ABC9804F1746C08CA18217C32905E462E36CE3B"
    "E39E772C180E86039B2783A2EC07A28FB5C55DF06F4C52C9"
    "DE2BCBF6955817183995497CEA956AE515D2261898FA0510"
    "15728E5A8AAAC42DAD33170D04507A33A85521ABDF1CBA64"
    "ECFB850458DBEF0A8AEA71575D060C7DB3970F85A6E1E4C7"
    "ABF5AE8CDB0933D71E8C94E04A25619DCEE3D2261AD2EE6B"
    "F12FFA06D98A0864D87602733EC86A64521F2B18177B200C"
    "BBE117577A615D6C770988C0BAD946E208E24FA074E5AB31"
    "43DB5BFCE0FD108E4B82D120A93AD2CAFFFFFFFFFFFFFFFF";
constexpr const char *modp3072_generator = "0x02";

}  // namespace

dh::dh() {
    rng_.Reseed(false, 32);
    // A safe-prime group: Crypto++ takes the subgroup order as (p - 1) / 2.
    group_.AccessGroupParameters().Initialize(CryptoPP::Integer(modp3072_prime),
                                              CryptoPP::Integer(modp3072_generator));
}

void dh::generate_keys() {
    CryptoPP::SecByteBlock priv(group_.PrivateKeyLength());
    CryptoPP::SecByteBlock pub(group_.PublicKeyLength());
    group_.GenerateKeyPair(rng_, priv, pub);
    private_.Decode(priv.data(), priv.size());
    public_.Decode(pub.data(), pub.size());
}

void dh::set_private_key(const uint8_t *in, size_t len) {
    private_.Decode(in, len);
    public_ = group_.GetGroupParameters().ExponentiateBase(private_);
}

void dh::get_pk(uint8_t *out, size_t len) const {
    public_.Encode(out, len);
}

void dh::set_remote_pk(const uint8_t *in, size_t len) {
    remote_.Decode(in, len);
}

bool dh::remote_pk_is_valid() const {
    const CryptoPP::Integer &p = group_.GetGroupParameters().GetModulus();
    return remote_ > CryptoPP::Integer::One() && remote_ < p - CryptoPP::Integer::One();
}

void dh::get_shared_secret(uint8_t *out, size_t len) const {
    const CryptoPP::Integer &p = group_.GetGroupParameters().GetModulus();
    CryptoPP::Integer secret = CryptoPP::ModularExponentiation(remote_, private_, p);
    secret.Encode(out, len);
    // Integer clears its own storage when it is destroyed.
}

void dh::get_prime(uint8_t *out, size_t len) const {
    group_.GetGroupParameters().GetModulus().Encode(out, len);
}

}  // namespace crypto
}  // namespace tessal
