// Drives the ZRTP state machine (zrtp::begin, on_message, on_timer,
// keys_installed) with arbitrary message sequences and times, as a peer
// and a clock would.
//
// Input: a flags byte (bit 0: give each message a correct CRC first, so
// that the fuzzer reaches what lies behind the CRC check), then operations:
// an opcode byte, then for 0 (a message) a 2-byte big-endian length and
// the bytes, for 1 (time passes) a 2-byte big-endian step in ms, for 2
// keys_installed. With TESSAL_ZRTP_WRITE_SEEDS=DIR set, the first run
// writes seed inputs there from an agreement between two machines.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "security/crc32.hh"
#include "security/zrtp.hh"

namespace {

using namespace tessal;

void fix_crc(std::vector<uint8_t> &d) {
    if (d.size() >= 28) {
        const uint32_t crc = crypto::crc32::calculate_crc32(d.data(), d.size() - 4);
        std::memcpy(d.data() + d.size() - 4, &crc, 4);
    }
}

void check(const zrtp &z, const zrtp_output &out) {
    // A machine that ended schedules nothing; one that runs has a deadline.
    const bool ended = out.state == zrtp_state::done || out.state == zrtp_state::failed;
    if (ended != (out.result != RTP_PENDING) || (ended && z.next_deadline() != INT64_MAX)) {
        std::abort();
    }
}

// Two machines agree; what B receives, with the times, is one seed.
void write_seeds(const char *dir) {
    zrtp a;
    zrtp b;
    int ca = 0;
    int cb = 0;
    int64_t now = 1000;
    a.begin(1, &ca, true, now);
    b.begin(2, &cb, true, now);
    std::vector<uint8_t> seed = {1};
    for (int round = 0; round < 400; ++round) {
        zrtp_output oa = a.on_timer(now);
        zrtp_output ob = b.on_timer(now);
        for (int i = 0; i < 2; ++i) {
            zrtp_output &from = i == 0 ? oa : ob;
            zrtp &to = i == 0 ? b : a;
            zrtp &self = i == 0 ? a : b;
            if (from.state == zrtp_state::keys_ready) {
                zrtp_output more = self.keys_installed(now);
                from.messages.insert(from.messages.end(), more.messages.begin(),
                                     more.messages.end());
                if (i == 1) {
                    seed.push_back(2);
                }
            }
            for (const std::vector<uint8_t> &m : from.messages) {
                to.on_message(m.data(), m.size(), now);
                if (i == 0) {
                    seed.push_back(0);
                    seed.push_back(static_cast<uint8_t>(m.size() >> 8));
                    seed.push_back(static_cast<uint8_t>(m.size()));
                    seed.insert(seed.end(), m.begin(), m.end());
                }
            }
        }
        if (a.state() == zrtp_state::done && b.state() == zrtp_state::done) {
            break;
        }
        now += 10;
        seed.insert(seed.end(), {1, 0, 10});
    }
    const std::string path = std::string(dir) + "/agreement";
    if (FILE *f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(seed.data(), 1, seed.size(), f);
        std::fclose(f);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (const char *dir = std::getenv("TESSAL_ZRTP_WRITE_SEEDS")) {
        write_seeds(dir);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) {
        return 0;
    }
    static zrtp *z = [] {
        auto *made = new zrtp();
        made->reuse_dh_key_pair_for_fuzzing();
        return made;
    }();
    const bool with_crc = (data[0] & 1) != 0;
    int channel = 0;
    int64_t now = 0;
    z->begin(0x5EED, &channel, true, now);
    for (size_t pos = 1; pos < size;) {
        const uint8_t op = data[pos++];
        zrtp_output out;
        if (op == 0 && pos + 2 <= size) {
            const size_t len =
                std::min<size_t>(size_t{data[pos]} << 8 | data[pos + 1], size - pos - 2);
            // An exact-size copy, so any over-read hits the sanitizer's redzone.
            std::vector<uint8_t> m(data + pos + 2, data + pos + 2 + len);
            pos += 2 + len;
            if (with_crc) {
                fix_crc(m);
            }
            out = z->on_message(m.data(), m.size(), now);
        } else if (op == 1 && pos + 2 <= size) {
            now += int64_t{data[pos]} << 8 | data[pos + 1];
            pos += 2;
            out = z->on_timer(now);
        } else if (op == 2) {
            out = z->keys_installed(now);
        } else {
            break;
        }
        check(*z, out);
    }
    // Every run ends: the schedules are bounded.
    const zrtp_output last = z->on_timer(now + 3600 * 1000);
    if (last.state != zrtp_state::done && last.state != zrtp_state::failed &&
        last.state != zrtp_state::keys_ready) {
        std::abort();
    }
    return 0;
}
