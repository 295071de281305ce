// SRTP with a key from the application: a sender and a receiver in one
// process, both keyed with the same fresh random key and salt, exchange ten
// encrypted and authenticated frames over 127.0.0.1:8890.
//
// Build against an installed Tessal:
//   c++ -std=c++17 srtp.cc $(pkg-config --cflags --libs tessal) -o srtp
#include <tessal/tessal.hh>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

int main() {
    // A fresh key per session: never reuse one across sessions.
    uint8_t key[16];
    uint8_t salt[14];
    std::ifstream urandom("/dev/urandom", std::ios::binary);
    if (!urandom.read(reinterpret_cast<char *>(key), sizeof(key)) ||
        !urandom.read(reinterpret_cast<char *>(salt), sizeof(salt))) {
        return 1;
    }
    const int flags = tessal::RCE_SRTP | tessal::RCE_SRTP_KEYS_FROM_USER |
                      tessal::RCE_SRTP_AUTH_TAG | tessal::RCE_SRTP_ANTI_REPLAY;

    tessal::context ctx;
    tessal::session *session = ctx.create_session("127.0.0.1");
    if (session == nullptr) {
        return 1;
    }
    tessal::media_stream *rx =
        session->create_stream(8890, 0, tessal::FMT_OPUS, tessal::RCE_RECEIVE_ONLY | flags);
    tessal::media_stream *tx =
        session->create_stream(0, 8890, tessal::FMT_OPUS, tessal::RCE_SEND_ONLY | flags);
    // Streams with user keys start only once they have them.
    if (rx == nullptr || tx == nullptr || rx->add_srtp_ctx(key, salt) != tessal::RTP_SUCCESS ||
        tx->add_srtp_ctx(key, salt) != tessal::RTP_SUCCESS) {
        std::fprintf(stderr, "cannot set up the SRTP streams\n");
        ctx.destroy_session(session);
        return 1;
    }

    int received = 0;
    std::vector<uint8_t> frame(160);
    for (int i = 0; i < 10; ++i) {
        std::memset(frame.data(), i, frame.size());
        // SRTP encrypts a one-packet frame in place; RTP_PUSH_COPY_DATA keeps
        // our buffer as it is.
        if (tx->push_frame(frame.data(), frame.size(), tessal::RTP_PUSH_COPY_DATA) !=
            tessal::RTP_SUCCESS) {
            break;
        }
        if (tessal::frame::rtp_frame *f = rx->pull_frame(1000)) {
            received += f->payload_length == frame.size() &&
                        std::memcmp(f->payload, frame.data(), frame.size()) == 0;
            tessal::frame::dealloc_frame(f);
        }
    }
    std::printf("received %d of 10 frames, decrypted and verified\n", received);
    ctx.destroy_session(session);
    return received == 10 ? 0 : 1;
}
