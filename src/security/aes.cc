#include "security/aes.hh"

#include <cryptopp/cryptlib.h>

namespace tessal {
namespace crypto {
namespace aes {

namespace {

void check_whole_blocks(size_t len) {
    if (len % ecb::block_size != 0) {
        throw CryptoPP::InvalidArgument("AES/ECB: length is not a multiple of the block size");
    }
}

}  // namespace

// CTR and CFB use only the forward cipher in both directions, so one key
// schedule serves both streams.
ctr::ctr(const uint8_t *key, size_t key_len, const uint8_t *iv)
    : cipher_(key, key_len), enc_(cipher_, iv), dec_(cipher_, iv) {}

void ctr::encrypt(uint8_t *out, const uint8_t *in, size_t len) {
    enc_.ProcessData(out, in, len);
}

void ctr::decrypt(uint8_t *out, const uint8_t *in, size_t len) {
    dec_.ProcessData(out, in, len);
}

void ctr::resync(const uint8_t *iv) {
    enc_.Resynchronize(iv, static_cast<int>(iv_size));
    dec_.Resynchronize(iv, static_cast<int>(iv_size));
}

cfb::cfb(const uint8_t *key, size_t key_len, const uint8_t *iv)
    : cipher_(key, key_len), enc_(cipher_, iv), dec_(cipher_, iv) {}

void cfb::encrypt(uint8_t *out, const uint8_t *in, size_t len) {
    enc_.ProcessData(out, in, len);
}

void cfb::decrypt(uint8_t *out, const uint8_t *in, size_t len) {
    dec_.ProcessData(out, in, len);
}

void cfb::resync(const uint8_t *iv) {
    enc_.Resynchronize(iv, static_cast<int>(iv_size));
    dec_.Resynchronize(iv, static_cast<int>(iv_size));
}

ecb::ecb(const uint8_t *key, size_t key_len) : enc_(key, key_len), dec_(key, key_len) {}

void ecb::encrypt(uint8_t *out, const uint8_t *in, size_t len) {
    check_whole_blocks(len);
    enc_.ProcessData(out, in, len);
}

void ecb::decrypt(uint8_t *out, const uint8_t *in, size_t len) {
    check_whole_blocks(len);
    dec_.ProcessData(out, in, len);
}

}  // namespace aes
}  // namespace crypto
}  // namespace tessal
