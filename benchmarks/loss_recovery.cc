// Loss recovery end to end: H.265 at 30 frames a second, about 4 Mbit/s,
// from a sender to a receiver in key-frame resync mode over loopback through
// the impairment relay: 5% random loss from sender to receiver (media and
// the sender's RTCP), 10 ms of delay each way, nothing lost on the way back.
// Lost packets are asked for with generic NACKs (RFC 4585) and come back as
// RFC 4588 retransmissions.
//
//   bench_loss_recovery [FILE.h265 | synthetic] [lossy runs] [throughput runs]
//
// FILE.h265 is an Annex-B clip (benchmarks/run.sh encodes 10 s of 1280x720
// at 4 Mbit/s, a key frame a second); without one, synthetic access units
// of about 16 KB, an IDR picture every 30.
//
// Figures (RESULT lines; medians where a run is repeated):
//   lr_5pct_frames_complete_pct   access units delivered whole and byte-exact,
//                                 percent of those pushed
//   lr_5pct_corrupt               access units delivered with other bytes
//   lr_5pct_overhead_ratio        (retransmitted bytes / media bytes) / loss
//                                 rate; bytes are the UDP payloads the sender
//                                 offered to the relay, told apart by payload
//                                 type (RTX or media), so a retransmission
//                                 the relay lost counts as overhead too; the
//                                 loss rate is the relay's lost / received on
//                                 the sender-to-receiver RTP channel
//   lr_5pct_recovered_delay_p99_ms  over the access units that lost a packet
//                                 and still arrived whole: push-to-delivery
//                                 time minus the median push-to-delivery time
//                                 of the access units that lost nothing
//     (also its p50 and p90; the p99 of the units none of whose
//     retransmissions the relay lost, `first_try`; the units that lost a
//     retransmission too; and `all_delay`, the p99 extra time over every
//     delivered unit: units wait behind a unit still missing a packet)
//   lr_5pct_nack_delay_p50_ms     (p90, p99) from when a lost packet would
//                                 have reached the receiver to when its first
//                                 NACK left the receiver, both seen at the relay
//   lr_5pct_<counter>             the streams' loss-recovery counters
//   lr_0pct_nacks_sent            NACKs with no loss, all runs together (the
//                                 clip paced through the relay, and the
//                                 throughput runs): 0 expected
//   lr_0pct_throughput_ratio      goodput with feedback / goodput without, at
//                                 0% loss, the clip pushed as fast as a window
//                                 of bytes in flight lets it, straight over
//                                 loopback (the clip ten times a run, seven
//                                 runs of each, the ratio of the medians;
//                                 also each median in Mbit/s)
//
// A unit's delivery time is its last NAL unit's at the receive hook; its
// push time is taken just before push_frame; both tagged by the unit's RTP
// timestamp. LR_DUMP=1 prints each unit of the lossy run to stderr.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "impair/relay.hh"
#include "nal_units.hh"
#include "tessal/tessal.hh"

namespace {

using namespace tessal;
using namespace tessal_tools;
using clock_type = std::chrono::steady_clock;
using bytes = std::vector<uint8_t>;

constexpr int k_feedback = RCE_WITH_RTCP | RCE_RTCP_FEEDBACK;
constexpr int k_rtx_pt = 97;
constexpr int64_t k_delay_us = 10000;  // each way
constexpr uint32_t k_ts_base = 90000;
constexpr uint32_t k_ts_step = 3000;    // 90 kHz at 30 frames a second
constexpr int k_tail = 10;              // access units after the measured ones
constexpr size_t k_clean_repeats = 10;  // the clip's times in a throughput run

int64_t now_ns() {
    return clock_type::now().time_since_epoch().count();
}

using tessal_bench::nal_ref;
using tessal_bench::nal_units;

// The access units of an Annex-B H.265 stream (as bench_h265_clip splits
// them), each NAL unit behind a 4-byte start code: the form the receiver
// hands on, so a delivered unit compares byte for byte.
std::vector<bytes> access_units(const bytes &s) {
    const std::vector<nal_ref> nals = nal_units(s);
    std::vector<bytes> aus;
    bytes au;
    bool seen_slice = false;
    for (size_t n = 0; n < nals.size(); ++n) {
        const size_t body = nals[n].body;
        const size_t end = n + 1 < nals.size() ? nals[n + 1].start : s.size();
        if (body + 2 >= end) {
            continue;
        }
        const int type = (s[body] >> 1) & 0x3F;
        const bool slice = type <= 21;
        const bool first_slice = slice && (s[body + 2] & 0x80) != 0;
        const bool prefix = type == 32 || type == 33 || type == 34 || type == 35 || type == 39;
        if (seen_slice && (first_slice || prefix)) {
            aus.push_back(std::move(au));
            au.clear();
            seen_slice = false;
        }
        seen_slice = seen_slice || slice;
        au.insert(au.end(), {0, 0, 0, 1});
        au.insert(au.end(), s.begin() + static_cast<std::ptrdiff_t>(body),
                  s.begin() + static_cast<std::ptrdiff_t>(end));
    }
    if (!au.empty()) {
        aus.push_back(std::move(au));
    }
    return aus;
}

// 300 access units of about 16 KB: a parameter-set-like unit and an IDR
// slice (type 19) every 30, a trailing slice (type 1) otherwise; bodies
// without zero bytes, so no start code inside.
std::vector<bytes> synthetic_access_units() {
    std::vector<bytes> aus;
    uint32_t state = 12345;
    const auto add = [&state](bytes &au, uint8_t type, size_t len) {
        au.insert(au.end(), {0, 0, 0, 1, static_cast<uint8_t>(type << 1), 1});
        for (size_t i = 0; i < len; ++i) {
            state = state * 1664525u + 1013904223u;
            au.push_back(static_cast<uint8_t>((state >> 24) | 0x04));
        }
        if (type <= 21) {
            au[au.size() - len] |= 0x80;  // first_slice_segment_in_pic_flag
        }
    };
    for (int i = 0; i < 300; ++i) {
        bytes au;
        if (i % 30 == 0) {
            add(au, 32, 24);
            add(au, 19, 40000);
        } else {
            add(au, 1, 15000);
        }
        aus.push_back(std::move(au));
    }
    return aus;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return -1;
    }
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5)];
}

double median(std::vector<double> v) {
    return percentile(std::move(v), 0.5);
}

enum au_state { k_unseen = 0, k_exact = 1, k_corrupt = 2, k_partial = 3 };

// What the receive hook saw of each access unit, by its RTP timestamp.
struct delivery_log {
    const std::vector<bytes> *expected = nullptr;
    std::unique_ptr<std::atomic<int64_t>[]> push_ns;
    std::unique_ptr<std::atomic<int64_t>[]> deliver_ns;
    std::unique_ptr<std::atomic<int>[]> state;  // k_unseen .. k_corrupt
    std::vector<bytes> joined;                  // the receive hook's only
    size_t count = 0;
    std::atomic<size_t> bytes_exact{0};
    std::atomic<size_t> corrupt{0};
    std::atomic<size_t> unknown{0};

    // `units` access units: the clip, again and again.
    delivery_log(const std::vector<bytes> &aus, size_t units)
        : expected(&aus),
          push_ns(new std::atomic<int64_t>[units]),
          deliver_ns(new std::atomic<int64_t>[units]),
          state(new std::atomic<int>[units]),
          joined(units),
          count(units) {
        for (size_t i = 0; i < count; ++i) {
            push_ns[i] = 0;
            deliver_ns[i] = 0;
            state[i] = 0;
        }
    }
};

// The receiver hands on an access unit's NAL units one frame each, all of
// one RTP timestamp and in a row: joined until the unit's size is reached,
// then compared; the unit's delivery time is its last NAL unit's.
void on_frame(void *arg, frame::rtp_frame *f) {
    const int64_t t = now_ns();
    auto *log = static_cast<delivery_log *>(arg);
    const uint32_t offset = f->header.timestamp - k_ts_base;
    const size_t index = offset / k_ts_step;
    if (offset % k_ts_step != 0 || index >= log->count) {
        log->unknown.fetch_add(1);
        frame::dealloc_frame(f);
        return;
    }
    const bytes &want = (*log->expected)[index % log->expected->size()];
    bytes &got = log->joined[index];
    const int state = log->state[index].load();
    if (state == k_exact || state == k_corrupt) {
        // More than the unit held.
        if (state == k_exact) {
            log->bytes_exact.fetch_sub(want.size());
            log->corrupt.fetch_add(1);
        }
        log->state[index].store(k_corrupt);
        frame::dealloc_frame(f);
        return;
    }
    got.insert(got.end(), f->payload, f->payload + f->payload_length);
    frame::dealloc_frame(f);
    if (got.size() < want.size()) {
        log->state[index].store(k_partial);
        return;
    }
    log->deliver_ns[index].store(t);
    if (got == want) {
        log->bytes_exact.fetch_add(want.size());
        log->state[index].store(k_exact);
    } else {
        log->corrupt.fetch_add(1);
        log->state[index].store(k_corrupt);
    }
}

// The relay's view of the sender-to-receiver RTP channel.
struct wire_log {
    std::mutex lock;
    uint64_t media_bytes = 0;  // offered, first transmissions
    uint64_t rtx_bytes = 0;    // offered, RFC 4588 retransmissions
    uint64_t rtx_packets = 0;
    std::set<uint32_t> lossy_timestamps;      // media packets the relay dropped
    std::set<uint32_t> rtx_lost_timestamps;   // retransmissions it dropped
    std::set<uint32_t> tail_lost_timestamps;  // media packets with the marker bit it dropped
    int media_pt = -1;
    // When the relay dropped each media packet, and when the receiver's
    // first NACK naming it reached the relay (its RTCP port), by sequence
    // number.
    std::map<uint16_t, int64_t> media_lost_ns;
    std::map<uint16_t, int64_t> first_nack_ns;
};

struct link {
    impair_relay relay;
    context ctx;
    session *sess = nullptr;
    media_stream *tx = nullptr;
    media_stream *rx = nullptr;
    wire_log wire;

    // The generic NACKs (RFC 4585 6.2.1: RTPFB, FMT 1; PID and BLP) of an
    // RTCP compound packet from the receiver.
    void note_nacks(const uint8_t *data, size_t size) {
        const int64_t t = now_ns();
        std::lock_guard<std::mutex> g(wire.lock);
        size_t off = 0;
        while (off + 4 <= size) {
            const size_t len = (static_cast<size_t>(data[off + 2]) << 8 | data[off + 3]) * 4 + 4;
            if (off + len > size) {
                break;
            }
            if (data[off + 1] == 205 && (data[off] & 0x1F) == 1) {
                for (size_t q = off + 12; q + 4 <= off + len; q += 4) {
                    const auto pid = static_cast<uint16_t>(data[q] << 8 | data[q + 1]);
                    const auto blp = static_cast<uint16_t>(data[q + 2] << 8 | data[q + 3]);
                    wire.first_nack_ns.emplace(pid, t);
                    for (int bit = 0; bit < 16; ++bit) {
                        if (blp & (1u << bit)) {
                            wire.first_nack_ns.emplace(static_cast<uint16_t>(pid + bit + 1), t);
                        }
                    }
                }
            }
            off += len;
        }
    }

    ~link() {
        if (sess != nullptr) {
            ctx.destroy_session(sess);
        }
        relay.stop();
    }

    // Through the relay with `loss` towards the receiver, or straight over
    // loopback when `direct`.
    bool open(int flags, double loss, bool direct, uint64_t seed, delivery_log &log) {
        relay_config cfg;
        cfg.rtcp_pair = true;
        cfg.a_to_b.loss = loss;  // media and the sender's reports
        cfg.a_to_b.delay_us = k_delay_us;
        cfg.b_to_a.delay_us = k_delay_us;
        cfg.seed = seed;
        relay.set_observer([this](relay_direction dir, int channel, const uint8_t *data,
                                  size_t size, uint32_t verdict) {
            if (dir == RELAY_B_TO_A && channel == 1) {
                note_nacks(data, size);
                return;
            }
            if (dir != RELAY_A_TO_B || channel != 0 || size < 12) {
                return;
            }
            const int pt = data[1] & 0x7F;
            const uint32_t ts = static_cast<uint32_t>(data[4]) << 24 |
                                static_cast<uint32_t>(data[5]) << 16 |
                                static_cast<uint32_t>(data[6]) << 8 | data[7];
            std::lock_guard<std::mutex> g(wire.lock);
            if (pt == k_rtx_pt) {
                wire.rtx_bytes += size;
                ++wire.rtx_packets;
                if (verdict & k_verdict_lost) {
                    // RFC 4588 4: the original packet's timestamp.
                    wire.rtx_lost_timestamps.insert(ts);
                }
                return;
            }
            wire.media_pt = pt;
            wire.media_bytes += size;
            if (verdict & k_verdict_lost) {
                const auto seq = static_cast<uint16_t>(data[2] << 8 | data[3]);
                wire.media_lost_ns.emplace(seq, now_ns());
                wire.lossy_timestamps.insert(ts);
                if (data[1] & 0x80) {
                    // The unit's last packet: its gap shows only with the next unit.
                    wire.tail_lost_timestamps.insert(ts);
                }
            }
        });
        // Even ports (RTCP on port + 1) at random: a taken one fails the
        // open, and the caller tries again on a fresh link.
        const auto random_port = [] {
            return static_cast<uint16_t>(34000 + (std::rand() % 4000) * 2);
        };
        cfg.to_a = random_port();
        cfg.to_b = random_port();
        while (cfg.to_b == cfg.to_a) {
            cfg.to_b = random_port();
        }
        std::string error;
        if (!direct && !relay.start(cfg, &error)) {
            std::fprintf(stderr, "relay: %s\n", error.c_str());
            return false;
        }
        sess = ctx.create_session("127.0.0.1");
        if (sess == nullptr) {
            return false;
        }
        tx = sess->create_stream(cfg.to_a, direct ? cfg.to_b : relay.port_a(), FMT_H265,
                                 flags | RCE_SEND_ONLY);
        rx = sess->create_stream(cfg.to_b, direct ? cfg.to_a : relay.port_b(), FMT_H265,
                                 flags | RCE_RECEIVE_ONLY | RCE_H26X_RESYNC_ON_KEY_FRAME);
        if (tx == nullptr || rx == nullptr) {
            return false;
        }
        rx->configure_ctx(RCC_SOCKET_RECV_BUFFER, 8 * 1024 * 1024);
        if (flags & RCE_RTCP_FEEDBACK) {
            // The media's rate, so RTCP's share (and the feedback) is not starved.
            tx->configure_ctx(RCC_SESSION_BANDWIDTH, 4500);
            rx->configure_ctx(RCC_SESSION_BANDWIDTH, 4500);
            // LR_TRR=MS: regular reports thinned (RFC 4585 T_rr_interval).
            if (const char *trr = std::getenv("LR_TRR")) {
                tx->configure_ctx(RCC_RTCP_TRR_INTERVAL, std::atoi(trr));
                rx->configure_ctx(RCC_RTCP_TRR_INTERVAL, std::atoi(trr));
            }
            if (tx->configure_ctx(RCC_RTX_PAYLOAD_TYPE, k_rtx_pt) != RTP_SUCCESS ||
                rx->configure_ctx(RCC_RTX_PAYLOAD_TYPE, k_rtx_pt) != RTP_SUCCESS) {
                std::fprintf(stderr, "RCC_RTX_PAYLOAD_TYPE refused\n");
                std::exit(1);
            }
        }
        rx->install_receive_hook(&log, on_frame);
        return true;
    }

    void push(const std::vector<bytes> &aus, size_t index, delivery_log *log) {
        bytes copy = aus[index % aus.size()];
        if (log != nullptr && index < log->count) {
            log->push_ns[index].store(now_ns());
        }
        const uint32_t ts = k_ts_base + static_cast<uint32_t>(index) * k_ts_step;
        tx->push_frame(copy.data(), copy.size(), ts, RTP_PUSH_COPY_DATA);
    }
};

std::unique_ptr<link> open_link(int flags, double loss, bool direct, uint64_t seed,
                                delivery_log &log) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        std::unique_ptr<link> l(new link);
        if (l->open(flags, loss, direct, seed, log)) {
            return l;
        }
    }
    std::fprintf(stderr, "no free ports\n");
    return nullptr;
}

stream_statistics stats_of(media_stream *m) {
    stream_statistics s;
    m->get_statistics(&s);
    return s;
}

struct lossy_result {
    double complete_pct = 0;
    double corrupt = 0;
    double overhead_ratio = 0;
    double recovered_p99_ms = 0;
    double loss_rate = 0;
    double lossy_aus = 0;
    double recovered_aus = 0;
    double clean_median_ms = 0;
    double all_p99_excess_ms = 0;
    double recovered_p50_ms = 0;
    double recovered_p90_ms = 0;
    double first_try_p99_ms = 0;   // recovered AUs none of whose retransmissions was lost
    double lost_twice_aus = 0;     // recovered AUs with a retransmission lost too
    double nack_delay_p50_ms = 0;  // lost packet due at the receiver -> its first NACK
    double nack_delay_p90_ms = 0;
    double nack_delay_p99_ms = 0;
    stream_statistics rs;
    stream_statistics ts;
};

// The clip once, paced at 30 frames a second, through the relay losing
// `loss` towards the receiver.
bool run_lossy(const std::vector<bytes> &aus, double loss, uint64_t seed, lossy_result &out) {
    delivery_log log(aus, aus.size());
    std::unique_ptr<link> link_ptr = open_link(k_feedback, loss, false, seed, log);
    if (!link_ptr) {
        return false;
    }
    link &l = *link_ptr;
    // RFC 4585 3.4: one early feedback packet until the first regular
    // report; that report goes out within about a second.
    std::this_thread::sleep_for(std::chrono::milliseconds(1600));
    const auto t0 = clock_type::now();
    const auto frame_time = std::chrono::nanoseconds(1000000000 / 30);
    for (size_t i = 0; i < aus.size() + k_tail; ++i) {
        std::this_thread::sleep_until(t0 + frame_time * static_cast<int64_t>(i));
        l.push(aus, i, &log);
    }
    // Until everything measured arrived, or nothing moved for a second.
    size_t last = 0;
    auto quiet_since = clock_type::now();
    while (clock_type::now() - quiet_since < std::chrono::seconds(1)) {
        size_t seen = 0;
        for (size_t i = 0; i < log.count; ++i) {
            const int state = log.state[i].load();
            seen += state == k_exact || state == k_corrupt ? 1 : 0;
        }
        if (seen == log.count) {
            break;
        }
        if (seen != last) {
            last = seen;
            quiet_since = clock_type::now();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    out.rs = stats_of(l.rx);
    out.ts = stats_of(l.tx);
    const impairment_counts rtp = l.relay.counts(RELAY_A_TO_B, 0);
    l.ctx.destroy_session(l.sess);
    l.sess = nullptr;
    l.relay.stop();

    // Which measured access units lost a packet on the first try, and
    // which of those lost a retransmission too (asked for again after the
    // receiver's round-trip time).
    const auto mark = [&log](const std::set<uint32_t> &timestamps) {
        std::vector<bool> marked(log.count, false);
        for (uint32_t ts : timestamps) {
            const uint32_t offset = ts - k_ts_base;
            if (offset % k_ts_step == 0 && offset / k_ts_step < log.count) {
                marked[offset / k_ts_step] = true;
            }
        }
        return marked;
    };
    const std::vector<bool> lossy = mark(l.wire.lossy_timestamps);
    const std::vector<bool> lost_twice = mark(l.wire.rtx_lost_timestamps);
    const std::vector<bool> tail_lost = mark(l.wire.tail_lost_timestamps);
    std::vector<double> first_try_ms;
    size_t exact = 0;
    size_t partial = 0;  // some of a unit's NAL units, never the rest: delivered wrong
    std::vector<double> clean_ms;
    std::vector<double> recovered_ms;
    std::vector<double> all_ms;
    for (size_t i = 0; i < log.count; ++i) {
        partial += log.state[i].load() == k_partial ? 1 : 0;
        if (log.state[i].load() != k_exact) {
            continue;
        }
        ++exact;
        const double ms = static_cast<double>(log.deliver_ns[i] - log.push_ns[i]) / 1e6;
        all_ms.push_back(ms);
        (lossy[i] ? recovered_ms : clean_ms).push_back(ms);
        if (std::getenv("LR_DUMP") != nullptr) {
            std::fprintf(stderr, "au %zu size %zu lossy %d twice %d tail %d latency %.1f ms\n", i,
                         aus[i].size(), lossy[i] ? 1 : 0, lost_twice[i] ? 1 : 0,
                         tail_lost[i] ? 1 : 0, ms);
        }
        if (lossy[i] && !lost_twice[i]) {
            first_try_ms.push_back(ms);
        }
    }
    const double clean = median(clean_ms);
    for (double &ms : recovered_ms) {
        ms -= clean;
    }
    for (double &ms : all_ms) {
        ms -= clean;
    }
    for (double &ms : first_try_ms) {
        ms -= clean;
    }
    // How long the receiver took to ask for a lost packet once it was due
    // (the relay's delay after it was dropped).
    std::vector<double> nack_ms;
    for (const auto &lost : l.wire.media_lost_ns) {
        const auto nack = l.wire.first_nack_ns.find(lost.first);
        if (nack != l.wire.first_nack_ns.end() && nack->second >= lost.second) {
            nack_ms.push_back(static_cast<double>(nack->second - lost.second) / 1e6 -
                              static_cast<double>(k_delay_us) / 1e3);
        }
    }
    out.nack_delay_p50_ms = percentile(nack_ms, 0.5);
    out.nack_delay_p90_ms = percentile(nack_ms, 0.9);
    out.nack_delay_p99_ms = percentile(nack_ms, 0.99);
    out.recovered_p50_ms = percentile(recovered_ms, 0.5);
    out.recovered_p90_ms = percentile(recovered_ms, 0.9);
    out.first_try_p99_ms = percentile(first_try_ms, 0.99);
    out.lost_twice_aus = static_cast<double>(recovered_ms.size() - first_try_ms.size());
    out.complete_pct = 100.0 * static_cast<double>(exact) / static_cast<double>(log.count);
    out.corrupt = static_cast<double>(log.corrupt.load() + partial);
    out.loss_rate =
        rtp.received == 0 ? 0 : static_cast<double>(rtp.lost()) / static_cast<double>(rtp.received);
    const double share = l.wire.media_bytes == 0 ? 0
                                                 : static_cast<double>(l.wire.rtx_bytes) /
                                                       static_cast<double>(l.wire.media_bytes);
    out.overhead_ratio = out.loss_rate > 0 ? share / out.loss_rate : 0;
    out.recovered_p99_ms = percentile(recovered_ms, 0.99);
    out.lossy_aus = static_cast<double>(std::count(lossy.begin(), lossy.end(), true));
    out.recovered_aus = static_cast<double>(recovered_ms.size());
    out.clean_median_ms = clean;
    out.all_p99_excess_ms = percentile(all_ms, 0.99);
    std::fprintf(
        stderr,
        "%.0f%% run: %zu/%zu exact, %zu corrupt, %zu unknown; relay RTP received %llu lost "
        "%llu, kernel drops %llu; media PT %d, %llu RTX packets offered; lossy AUs %.0f, "
        "recovered %.0f; clean median %.1f ms\n",
        loss * 100, exact, log.count, log.corrupt.load(), log.unknown.load(),
        static_cast<unsigned long long>(rtp.received), static_cast<unsigned long long>(rtp.lost()),
        static_cast<unsigned long long>(l.relay.kernel_dropped()), l.wire.media_pt,
        static_cast<unsigned long long>(l.wire.rtx_packets), out.lossy_aus, out.recovered_aus,
        clean);
    // The slowest units, and what the relay did to them.
    std::vector<std::pair<double, size_t>> slowest;
    for (size_t i = 0; i < log.count; ++i) {
        if (log.state[i].load() == k_exact) {
            slowest.emplace_back(static_cast<double>(log.deliver_ns[i] - log.push_ns[i]) / 1e6, i);
        }
    }
    std::sort(slowest.rbegin(), slowest.rend());
    for (size_t k = 0; k < slowest.size() && k < 4; ++k) {
        const size_t i = slowest[k].second;
        std::fprintf(stderr,
                     "  slow: unit %zu %.1f ms (lost a packet %d, a retransmission %d, "
                     "its last packet %d)\n",
                     i, slowest[k].first, lossy[i] ? 1 : 0, lost_twice[i] ? 1 : 0,
                     tail_lost[i] ? 1 : 0);
    }
    return true;
}

struct clean_result {
    double goodput_bps = 0;
    uint64_t nacks_sent = 0;
    size_t exact = 0;
};

// The clip pushed as fast as a window of bytes in flight lets it, straight
// over loopback (the relay's one thread would cap the rate below what the
// streams reach, and hide their cost): complete access units' bytes per
// second from the first push to the last delivery.
bool run_clean(const std::vector<bytes> &aus, size_t repeats, int flags, uint64_t seed,
               clean_result &out) {
    const size_t units = aus.size() * repeats;
    delivery_log log(aus, units);
    std::unique_ptr<link> link_ptr = open_link(flags, 0, true, seed, log);
    if (!link_ptr) {
        return false;
    }
    link &l = *link_ptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(1600));
    constexpr size_t k_window = 1024 * 1024;
    size_t pushed = 0;
    const auto t0 = clock_type::now();
    for (size_t i = 0; i < units; ++i) {
        l.push(aus, i, &log);
        pushed += aus[i % aus.size()].size();
        const auto give_up = clock_type::now() + std::chrono::milliseconds(300);
        while (pushed > log.bytes_exact.load() + k_window && clock_type::now() < give_up) {
            std::this_thread::yield();
        }
    }
    // Tail pushed at once: the last measured unit needs a later packet to end it.
    for (size_t i = units; i < units + k_tail; ++i) {
        l.push(aus, i, nullptr);
    }
    const auto give_up = clock_type::now() + std::chrono::seconds(3);
    while (log.bytes_exact.load() < pushed && clock_type::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    int64_t last = 0;
    for (size_t i = 0; i < log.count; ++i) {
        if (log.state[i].load() == k_exact) {
            ++out.exact;
            last = std::max(last, log.deliver_ns[i].load());
        }
    }
    const double seconds = static_cast<double>(last - t0.time_since_epoch().count()) / 1e9;
    out.goodput_bps = seconds > 0 ? static_cast<double>(log.bytes_exact.load()) * 8 / seconds : 0;
    out.nacks_sent = stats_of(l.rx).nacks_sent;
    std::fprintf(stderr, "0%% run %s: %zu/%zu exact, %.1f Mbit/s, %llu NACKs\n",
                 (flags & RCE_RTCP_FEEDBACK) ? "with feedback" : "without feedback", out.exact,
                 log.count, out.goodput_bps / 1e6, static_cast<unsigned long long>(out.nacks_sent));
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    std::srand(static_cast<unsigned>(now_ns()));
    std::vector<bytes> aus;
    const std::string source = argc > 1 ? argv[1] : "synthetic";
    if (source != "synthetic") {
        std::ifstream in(source, std::ios::binary);
        const bytes clip((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        aus = access_units(clip);
        if (clip.empty() || aus.empty()) {
            std::fprintf(stderr, "no access units in %s\n", source.c_str());
            return 1;
        }
    } else {
        aus = synthetic_access_units();
    }
    const int lossy_runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1;
    const int clean_pairs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 7;
    size_t total = 0;
    for (const bytes &au : aus) {
        total += au.size();
    }
    std::printf("%s: %zu access units, %.2f Mbit/s at 30 per second\n", source.c_str(), aus.size(),
                static_cast<double>(total) * 8 / (static_cast<double>(aus.size()) / 30) / 1e6);

    std::vector<lossy_result> lossy;
    for (int r = 0; r < lossy_runs; ++r) {
        lossy_result res;
        if (!run_lossy(aus, 0.05, 1000 + static_cast<uint64_t>(r) + static_cast<uint64_t>(now_ns()),
                       res)) {
            return 1;
        }
        lossy.push_back(res);
    }
    const auto med = [&lossy](double lossy_result::*field) {
        std::vector<double> v;
        for (const lossy_result &r : lossy) {
            v.push_back(r.*field);
        }
        return median(v);
    };
    const auto med_counter = [&lossy](bool receiver, uint64_t stream_statistics::*field) {
        std::vector<double> v;
        for (const lossy_result &r : lossy) {
            v.push_back(static_cast<double>((receiver ? r.rs : r.ts).*field));
        }
        return median(v);
    };

    std::vector<double> with_bps;
    std::vector<double> without_bps;
    // The clip paced through the relay without loss: nothing to ask for.
    lossy_result clean_paced;
    if (!run_lossy(aus, 0, 3, clean_paced)) {
        return 1;
    }
    // Over every run with feedback: any one is a fault.
    uint64_t clean_nacks = clean_paced.rs.nacks_sent;
    for (int r = 0; r < clean_pairs; ++r) {
        clean_result with;
        clean_result without;
        // Alternating which goes first, so a drift of the machine's load
        // does not favour one.
        const uint64_t seed = 7 + static_cast<uint64_t>(r);
        const bool ok = r % 2 == 0
                            ? run_clean(aus, k_clean_repeats, k_feedback, seed, with) &&
                                  run_clean(aus, k_clean_repeats, RCE_WITH_RTCP, seed, without)
                            : run_clean(aus, k_clean_repeats, RCE_WITH_RTCP, seed, without) &&
                                  run_clean(aus, k_clean_repeats, k_feedback, seed, with);
        if (!ok) {
            return 1;
        }
        with_bps.push_back(with.goodput_bps);
        without_bps.push_back(without.goodput_bps);
        clean_nacks += with.nacks_sent;
    }

    std::printf("\n5%% loss A->B, 10 ms each way, %d run(s), medians\n", lossy_runs);
    std::printf("  complete and exact %.2f%%, corrupt %.0f, loss rate %.4f, overhead ratio %.2f\n",
                med(&lossy_result::complete_pct), med(&lossy_result::corrupt),
                med(&lossy_result::loss_rate), med(&lossy_result::overhead_ratio));
    std::printf(
        "  access units with a loss %.0f, recovered %.0f; clean median latency %.1f ms, "
        "recovered p99 extra %.1f ms, all p99 extra %.1f ms\n",
        med(&lossy_result::lossy_aus), med(&lossy_result::recovered_aus),
        med(&lossy_result::clean_median_ms), med(&lossy_result::recovered_p99_ms),
        med(&lossy_result::all_p99_excess_ms));
    std::printf("RESULT lr_5pct_frames_complete_pct %.3f\n", med(&lossy_result::complete_pct));
    std::printf("RESULT lr_5pct_corrupt %.0f\n", med(&lossy_result::corrupt));
    std::printf("RESULT lr_5pct_overhead_ratio %.3f\n", med(&lossy_result::overhead_ratio));
    std::printf("RESULT lr_5pct_recovered_delay_p99_ms %.1f\n",
                med(&lossy_result::recovered_p99_ms));
    std::printf("RESULT lr_5pct_loss_rate %.4f\n", med(&lossy_result::loss_rate));
    std::printf("RESULT lr_5pct_recovered_delay_p50_ms %.1f\n",
                med(&lossy_result::recovered_p50_ms));
    std::printf("RESULT lr_5pct_recovered_delay_p90_ms %.1f\n",
                med(&lossy_result::recovered_p90_ms));
    std::printf("RESULT lr_5pct_recovered_first_try_delay_p99_ms %.1f\n",
                med(&lossy_result::first_try_p99_ms));
    std::printf("RESULT lr_5pct_aus_retransmission_lost %.0f\n",
                med(&lossy_result::lost_twice_aus));
    std::printf("RESULT lr_5pct_nack_delay_p50_ms %.1f\n", med(&lossy_result::nack_delay_p50_ms));
    std::printf("RESULT lr_5pct_nack_delay_p90_ms %.1f\n", med(&lossy_result::nack_delay_p90_ms));
    std::printf("RESULT lr_5pct_nack_delay_p99_ms %.1f\n", med(&lossy_result::nack_delay_p99_ms));
    std::printf("RESULT lr_5pct_all_delay_p99_ms %.1f\n", med(&lossy_result::all_p99_excess_ms));
    const struct {
        const char *name;
        bool receiver;
        uint64_t stream_statistics::*field;
    } counters[] = {
        {"nacks_sent", true, &stream_statistics::nacks_sent},
        {"packets_requested", true, &stream_statistics::packets_requested},
        {"recovered_in_time", true, &stream_statistics::recovered_in_time},
        {"recovered_late", true, &stream_statistics::recovered_late},
        {"given_up", true, &stream_statistics::given_up},
        {"retransmissions_received", true, &stream_statistics::retransmissions_received},
        {"pli_sent", true, &stream_statistics::pli_sent},
        {"frames_discarded_incomplete", true, &stream_statistics::frames_discarded_incomplete},
        {"nacks_received", false, &stream_statistics::nacks_received},
        {"retransmissions_sent", false, &stream_statistics::retransmissions_sent},
        {"retransmissions_refused", false, &stream_statistics::retransmissions_refused},
    };
    for (const auto &c : counters) {
        std::printf("RESULT lr_5pct_%s %.0f\n", c.name, med_counter(c.receiver, c.field));
    }
    std::printf("RESULT lr_0pct_nacks_sent %llu\n", static_cast<unsigned long long>(clean_nacks));
    std::printf("RESULT lr_0pct_retransmissions_sent %llu\n",
                static_cast<unsigned long long>(clean_paced.ts.retransmissions_sent));
    std::printf("RESULT lr_0pct_frames_complete_pct %.3f\n", clean_paced.complete_pct);
    // Single runs differ by a fifth on a shared machine: the medians of each
    // kind, then their ratio.
    const double with_median = median(with_bps);
    const double without_median = median(without_bps);
    std::printf("RESULT lr_0pct_goodput_with_feedback_mbps %.0f\n", with_median / 1e6);
    std::printf("RESULT lr_0pct_goodput_without_feedback_mbps %.0f\n", without_median / 1e6);
    std::printf("RESULT lr_0pct_throughput_ratio %.3f\n",
                without_median > 0 ? with_median / without_median : 0);
    return 0;
}
