// Feeds datagrams to ZRTP message acceptance and to every message parser,
// and optionally to a running key agreement as the messages of its peer.
//
// Input: a flags byte (bit 0: run a Diffie-Hellman exchange on a clock that
// jumps to each deadline, delivering the datagrams one per message the
// exchange sends; bit 1: give each datagram a correct CRC first, so that
// the fuzzer reaches what lies behind the CRC check), then datagrams, each
// preceded by a 2-byte big-endian length.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

#include "security/crc32.hh"
#include "security/zrtp.hh"
#include "security/zrtp_msg.hh"
#include "stream/zrtp_driver.hh"

namespace {

using namespace tessal;

// Time moves to each deadline at once: a run that never completes ends
// after its bounded retransmissions, in microseconds.
class instant_clock final : public zrtp_clock {
public:
    int64_t now_ms() override { return now_; }
    void wait_until(int64_t deadline_ms, const std::atomic<uint64_t> &, uint64_t) override {
        now_ = std::max(now_, deadline_ms);
    }
    void notify() override {}

private:
    int64_t now_ = 0;
};

void fix_crc(std::vector<uint8_t> &d) {
    if (d.size() >= 28) {
        const uint32_t crc = crypto::crc32::calculate_crc32(d.data(), d.size() - 4);
        std::memcpy(d.data() + d.size() - 4, &crc, 4);
    }
}

// Parses an accepted datagram with the parser of its type, as the exchange
// would, into a session with keys set.
void parse(const std::vector<uint8_t> &d, zrtp_msg::msg_type type, zrtp &z) {
    zrtp_session &s = z.session();
    switch (type) {
        case zrtp_msg::msg_type::hello: {
            zrtp_msg::hello h(s);
            h.parse_msg(reinterpret_cast<const zrtp_msg::zrtp_hello *>(d.data()), s, d.size());
            break;
        }
        case zrtp_msg::msg_type::commit: {
            zrtp_msg::commit c(s);
            c.parse_msg(reinterpret_cast<const zrtp_msg::zrtp_commit *>(d.data()), s, d.size());
            break;
        }
        case zrtp_msg::msg_type::dh_part1:
        case zrtp_msg::msg_type::dh_part2: {
            zrtp_msg::dh_key_exchange dh(s, 2);
            dh.parse_msg(reinterpret_cast<const zrtp_msg::zrtp_dh *>(d.data()), s, d.size());
            s.role = type == zrtp_msg::msg_type::dh_part1 ? 0 : 1;
            z.validate_session();
            break;
        }
        case zrtp_msg::msg_type::confirm1:
        case zrtp_msg::msg_type::confirm2: {
            zrtp_msg::confirm c(s, 1);
            c.parse_msg(reinterpret_cast<const zrtp_msg::zrtp_confirm *>(d.data()), s);
            break;
        }
        default:
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const bool exchange = (data[0] & 1) != 0;
    const bool with_crc = (data[0] & 2) != 0;
    std::vector<std::vector<uint8_t>> datagrams;
    for (size_t pos = 1; pos + 2 <= size;) {
        const size_t len = std::min<size_t>(size_t{data[pos]} << 8 | data[pos + 1], size - pos - 2);
        // Exact-size copies, so any over-read hits the sanitizer's redzone.
        datagrams.emplace_back(data + pos + 2, data + pos + 2 + len);
        pos += 2 + len;
        if (with_crc) {
            fix_crc(datagrams.back());
        }
    }

    zrtp z;
    z.init_session_hashes();
    int channel = 0;
    for (const std::vector<uint8_t> &d : datagrams) {
        zrtp_msg::msg_type type = zrtp_msg::msg_type::none;
        if (zrtp_msg::check_message(d.data(), d.size(), &type) == RTP_SUCCESS) {
            parse(d, type, z);
        }
        z.capture(&channel, d.data(), d.size());
    }

    if (exchange) {
        zrtp peer_of_datagrams;
        size_t next = 0;
        const auto sender = [&](uint8_t *, size_t) {
            if (next < datagrams.size()) {
                const std::vector<uint8_t> &d = datagrams[next++];
                peer_of_datagrams.capture(&channel, d.data(), d.size());
            }
            return RTP_SUCCESS;
        };
        run_zrtp_exchange(peer_of_datagrams, std::make_shared<instant_clock>(), 1, &channel, sender,
                          true);
        uint8_t k[16], s[14];
        peer_of_datagrams.get_srtp_keys(k, 128, k, 128, s, 112, s, 112);
    }
    return 0;
}
