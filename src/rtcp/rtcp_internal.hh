#pragma once

// One stream's RTCP (RFC 3550 section 6): the participant table with each
// remote source's reception statistics, the runner thread that sends a
// compound report every randomised interval, reception of compound packets,
// feedback messages received and (with RCE_RTCP_FEEDBACK) sent early under
// the RFC 4585 timing rules, and the application's hooks.
//
// Threads: the runner (owned; start/stop/destructor join it), the receiving
// thread (RTCP reader or reception flow) in handle_incoming_packet and the
// RTP statistics handler, the pushing thread in send_packet_handler_vec,
// and application threads for everything else.
// Locks, in order: packet_lock_ -> table_lock_ -> the hook locks ->
// membership_lock_ -> random_lock_. Hooks run with the table lock held and
// must not call back into the same object.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "rtcp/rtcp_avpf.hh"
#include "rtcp/rtcp_feedback.hh"
#include "rtcp/rtcp_member_table.hh"
#include "rtcp/rtcp_packets.hh"
#include "rtcp/rtcp_statistics.hh"
#include "tessal/frame.hh"
#include "tessal/util.hh"
#include "util/buffer_vector.hh"
#include "util/log.hh"
#include "util/rtcp_transport.hh"
#include "util/shared_ssrc.hh"

namespace tessal {

class rtp;
class srtcp;

// Seconds on the steady clock: the time base of the transmission timer.
double rtcp_steady_seconds();

// Sources with reception statistics (and report blocks); every source heard
// counts as a member of the session all the same (rtcp_member_table).
constexpr size_t k_rtcp_max_participants = 31;

// Releases a received SDES record with its item data.
struct sdes_packet_deleter {
    void operator()(frame::rtcp_sdes_packet *packet) const noexcept;
};
// Releases a received APP record with its payload.
struct app_packet_deleter {
    void operator()(frame::rtcp_app_packet *packet) const noexcept;
};
using sdes_ptr = std::unique_ptr<frame::rtcp_sdes_packet, sdes_packet_deleter>;
using app_ptr = std::unique_ptr<frame::rtcp_app_packet, app_packet_deleter>;

struct rtcp_participant {
    receiver_statistics stats;
    std::unique_ptr<frame::rtcp_sender_report> pending_sr;
    std::unique_ptr<frame::rtcp_receiver_report> pending_rr;
    sdes_ptr pending_sdes;
    app_ptr pending_app;
};

// The three forms of a hook for received records of type T; at most one is
// installed. A unique-form hook of SDES or APP owns the item data or payload.
template <typename T>
struct rtcp_hook_slot {
    std::mutex lock;
    void (*pointer)(T *) = nullptr;
    std::function<void(std::shared_ptr<T>)> shared;
    std::function<void(std::unique_ptr<T>)> unique;

    // One hook at a time, in any of the three forms: RTP_BAD_ARGUMENT for
    // null, else it replaces the one before.
    RTP_ERROR install(void (*hook)(T *)) {
        return hook == nullptr ? RTP_BAD_ARGUMENT : set(hook, nullptr, nullptr);
    }
    RTP_ERROR install(std::function<void(std::shared_ptr<T>)> hook) {
        return !hook ? RTP_BAD_ARGUMENT : set(nullptr, std::move(hook), nullptr);
    }
    RTP_ERROR install(std::function<void(std::unique_ptr<T>)> hook) {
        return !hook ? RTP_BAD_ARGUMENT : set(nullptr, nullptr, std::move(hook));
    }
    void clear() { set(nullptr, nullptr, nullptr); }
    // To the installed hook, which owns the record; dropped without one.
    void deliver(std::unique_ptr<T> record) {
        std::lock_guard<std::mutex> guard(lock);
        if (pointer != nullptr) {
            pointer(record.release());
        } else if (shared) {
            shared(std::shared_ptr<T>(std::move(record)));
        } else if (unique) {
            unique(std::move(record));
        }
    }

private:
    RTP_ERROR set(void (*p)(T *), std::function<void(std::shared_ptr<T>)> s,
                  std::function<void(std::unique_ptr<T>)> u) {
        std::lock_guard<std::mutex> guard(lock);
        pointer = p;
        shared = std::move(s);
        unique = std::move(u);
        return RTP_SUCCESS;
    }
};

// Feedback messages received and sent (RFC 4585, RFC 5104).
struct rtcp_feedback_counters {
    uint64_t nack_received = 0;
    uint64_t pli_received = 0;
    uint64_t fir_received = 0;
    uint64_t unknown_received = 0;    // PT 205/206 with an FMT not read: skipped
    uint64_t malformed_received = 0;  // failed their parser: skipped
    uint64_t nack_sent = 0;
    uint64_t pli_sent = 0;
    uint64_t fir_sent = 0;
    uint64_t early_packets_sent = 0;  // datagrams sent outside the regular schedule
};

using send_app_hook = std::function<std::unique_ptr<uint8_t[]>(uint8_t &subtype, uint32_t &length)>;
using roundtrip_hook = std::function<void(uint32_t local_ssrc, uint32_t remote_ssrc, double ms)>;

class rtcp_internal : public rtcp_receiver {
public:
    using ntp_source = uint64_t (*)();

    rtcp_internal(std::shared_ptr<rtp> rtp_state, shared_ssrc local_ssrc, shared_ssrc remote_ssrc,
                  std::string cname, int rce_flags);
    rtcp_internal(std::shared_ptr<rtp> rtp_state, shared_ssrc local_ssrc, shared_ssrc remote_ssrc,
                  std::string cname, std::shared_ptr<srtcp> srtcp_ctx, int rce_flags);
    ~rtcp_internal();  // stops first
    rtcp_internal(const rtcp_internal &) = delete;
    rtcp_internal &operator=(const rtcp_internal &) = delete;

    // --- set-up and scheduling -------------------------------------------
    // The network side; replaced only while stopped.
    void set_transport(std::shared_ptr<rtcp_transport> transport);
    // The keyed SRTCP object. With RCE_SRTP nothing is sent or accepted
    // before it is given: RTCP never travels in clear on an SRTP stream.
    void set_srtcp(std::shared_ptr<srtcp> srtcp_ctx);
    void set_session_bandwidth(uint32_t kbps);
    uint32_t get_session_bandwidth() const noexcept { return session_bandwidth_kbps_.load(); }
    uint32_t get_rtcp_interval_ms() const { return interval_ms_.load(); }
    void set_payload_size(size_t bytes) { max_compound_size_.store(bytes); }
    // Opens the transport and starts the runner. RTP_SUCCESS when already
    // active; the transport's error when it cannot open.
    RTP_ERROR start();
    // start without the runner: reports go out only when generate_report is
    // called (tests drive the schedule themselves).
    RTP_ERROR start_without_runner();
    // Joins the runner, sends the last report with a BYE for the local SSRC,
    // closes the transport and releases the participants. Safe to repeat.
    // With the runner and 50 members or more, first waits (at most 10 s) for
    // the BYE's reconsidered time (RFC 3550 6.3.7).
    RTP_ERROR stop();
    bool is_active() const { return active_.load(); }
    // True while stop waits for its BYE's time (RFC 3550 6.3.7), and the
    // members counted meanwhile: 1 + the BYE packets received.
    bool is_leaving() const { return leaving_.load(); }
    int leaving_members() const { return leaving_members_.load(); }
    // Builds and sends one compound packet. RTP_SUCCESS without sending
    // when there is nothing to report (no peer heard, no media sent) and
    // RTP_PENDING while SRTCP is not keyed.
    RTP_ERROR generate_report();
    // A.7 with this object's reduced minimum; `randomise` draws the factor
    // from the object's generator, seeded once at construction.
    double rtcp_interval(int members, int senders, double rtcp_bw, bool we_sent,
                         double avg_rtcp_size, bool red_min, bool randomise);
    // What the next interval is computed from now: members and senders
    // heard (ourselves included), bandwidth, average size, initial.
    rtcp_interval_inputs interval_inputs();
    // RFC 3550 6.3.3: the average of received and sent compound sizes.
    void update_avg_rtcp_size(uint64_t packet_size);
    uint64_t avg_rtcp_size() const { return avg_rtcp_size_.load(); }
    // Received datagrams dropped for failing RFC 3550 A.2 validation, and
    // for failing SRTCP authentication (or arriving before SRTCP keys).
    uint64_t dropped_invalid_packets() const { return dropped_invalid_.load(); }
    uint64_t dropped_unauthenticated_packets() const { return dropped_unauthenticated_.load(); }
    // Compounds that carried our own SSRC as their sender's.
    uint64_t dropped_own_packets() const { return dropped_own_.load(); }
    void set_ntp_source(ntp_source source) { now_ = source; }  // tests

    // --- participants and statistics -------------------------------------
    RTP_ERROR add_initial_participant(uint32_t clock_rate);
    // Table lock held. RTP_FAILED (nothing created) when 31 sources have
    // statistics already, or the member table is full.
    RTP_ERROR add_participant(uint32_t ssrc);
    bool is_participant(uint32_t ssrc);
    size_t pooled_participants();
    size_t participant_count();
    // Remote sources in the member table, and those of them sending RTP.
    size_t member_count();
    size_t sender_count();
    // Removes a source timed out at the current time (RFC 3550 6.3.5).
    // RTP_SUCCESS when removed; RTP_FAILED when unknown or heard again since
    // it was found silent (a packet that arrived during the time-out check).
    RTP_ERROR remove_timeout_ssrc(uint32_t ssrc);
    // The sources silent past the member time-out at the current time.
    std::vector<uint32_t> timed_out_sources();
    // A copy of a participant's statistics (tests, diagnostics); false for
    // an unknown source.
    bool get_statistics(uint32_t ssrc, receiver_statistics &out);
    uint32_t sent_packets() const { return sent_packets_.load(); }
    uint32_t sent_octets() const { return sent_octets_.load(); }
    // What send_packet_handler_vec updates, for the socket's hot lines.
    const void *sender_counters() const { return &sent_packets_; }
    // The runner's time-outs at the current time (tests call it directly):
    // RFC 3550 6.3.5, senders without RTP for two intervals become
    // receivers, members silent for five deterministic intervals leave.
    void age_sources();

    // Reception handler (reception flow kind 6), `arg` = this object: counts
    // the parsed RTP packet in *out. Passes the packet on (RTP_PKT_SKIPPED),
    // except a packet of padding only: counted, then RTP_SUCCESS (no frame).
    static RTP_ERROR recv_packet_handler_common(void *arg, int rce_flags, uint8_t *data,
                                                size_t size, frame::rtp_frame **out);
    // Socket send handler, `arg` = this object: counts one RTP datagram.
    static RTP_ERROR send_packet_handler_vec(void *arg, buffer_vector &buffers);
    RTP_ERROR update_sender_stats(size_t bytes);

    // --- reception --------------------------------------------------------
    // One received compound RTCP datagram. Reception-handler signature; only
    // buffer and size are used (the buffer is decrypted in place with
    // SRTCP). `arg` is ignored, so the RTCP reader passes null.
    static RTP_ERROR incoming_packet_handler(void *arg, int rce_flags, uint8_t *buffer, size_t size,
                                             frame::rtp_frame **out);
    RTP_ERROR handle_incoming_packet(uint8_t *buffer, size_t size) override;

    // --- hooks and getters ------------------------------------------------
    RTP_ERROR install_sender_hook(void (*hook)(frame::rtcp_sender_report *));
    RTP_ERROR install_sender_hook(std::function<void(std::shared_ptr<frame::rtcp_sender_report>)>);
    RTP_ERROR install_sender_hook(std::function<void(std::unique_ptr<frame::rtcp_sender_report>)>);
    RTP_ERROR install_receiver_hook(void (*hook)(frame::rtcp_receiver_report *));
    RTP_ERROR install_receiver_hook(
        std::function<void(std::shared_ptr<frame::rtcp_receiver_report>)>);
    RTP_ERROR install_receiver_hook(
        std::function<void(std::unique_ptr<frame::rtcp_receiver_report>)>);
    RTP_ERROR install_sdes_hook(void (*hook)(frame::rtcp_sdes_packet *));
    RTP_ERROR install_sdes_hook(std::function<void(std::shared_ptr<frame::rtcp_sdes_packet>)>);
    RTP_ERROR install_sdes_hook(std::function<void(std::unique_ptr<frame::rtcp_sdes_packet>)>);
    RTP_ERROR install_app_hook(void (*hook)(frame::rtcp_app_packet *));
    RTP_ERROR install_app_hook(std::function<void(std::shared_ptr<frame::rtcp_app_packet>)>);
    RTP_ERROR install_app_hook(std::function<void(std::unique_ptr<frame::rtcp_app_packet>)>);
    RTP_ERROR install_roundtrip_time_hook(roundtrip_hook hook);
    RTP_ERROR install_send_app_hook(const std::string &app_name, send_app_hook hook);
    RTP_ERROR remove_send_app_hook(const std::string &app_name);
    // Received feedback records (RCE_RTCP_FEEDBACK or not): each parsed
    // NACK, PLI and FIR goes to its hook, or is dropped when none is
    // installed (the counters count it either way).
    RTP_ERROR install_nack_hook(void (*hook)(rtcp_nack *));
    RTP_ERROR install_nack_hook(std::function<void(std::shared_ptr<rtcp_nack>)> hook);
    RTP_ERROR install_nack_hook(std::function<void(std::unique_ptr<rtcp_nack>)> hook);
    RTP_ERROR install_pli_hook(void (*hook)(rtcp_pli *));
    RTP_ERROR install_pli_hook(std::function<void(std::shared_ptr<rtcp_pli>)> hook);
    RTP_ERROR install_pli_hook(std::function<void(std::unique_ptr<rtcp_pli>)> hook);
    RTP_ERROR install_fir_hook(void (*hook)(rtcp_fir *));
    RTP_ERROR install_fir_hook(std::function<void(std::shared_ptr<rtcp_fir>)> hook);
    RTP_ERROR install_fir_hook(std::function<void(std::unique_ptr<rtcp_fir>)> hook);
    RTP_ERROR remove_all_hooks();

    // The pending record, taken over by the caller; null when none.
    std::unique_ptr<frame::rtcp_sender_report> get_sender_packet(uint32_t ssrc);
    std::unique_ptr<frame::rtcp_receiver_report> get_receiver_packet(uint32_t ssrc);
    sdes_ptr get_sdes_packet(uint32_t ssrc);
    app_ptr get_app_packet(uint32_t ssrc);

    // --- what the next report carries -------------------------------------
    RTP_ERROR add_sdes_item(const frame::rtcp_sdes_item &item);
    RTP_ERROR clear_sdes_items();
    RTP_ERROR send_bye_packet(std::vector<uint32_t> ssrcs);
    // RTP_BAD_ARGUMENT for a null name, a payload that is not a multiple of
    // 4 bytes or too long for one packet, or a null payload with a length.
    RTP_ERROR send_app_packet(const char *name, uint8_t subtype, uint32_t payload_len,
                              const uint8_t *payload);
    // --- feedback to send (RCE_RTCP_FEEDBACK; RFC 4585 3.5) ---------------
    // Each request queues one feedback packet about `media_ssrc` and
    // schedules it: as early feedback at once (point to point) or after a
    // dither (groups, the runner sends it), or with the next regular report
    // when an early packet went out since the last one. Application threads.
    // RTP_SUCCESS when sent or scheduled; RTP_UNSUPPORTED without
    // RCE_RTCP_FEEDBACK (nothing queued); RTP_UNINITIALIZED while stopped;
    // RTP_BAD_ARGUMENT for no sequence numbers or more than one packet holds;
    // a send's error when the early packet failed (that feedback is lost,
    // as a lost datagram would lose it).
    // A generic NACK of `lost`, sorted in sequence order (wrap-around allowed).
    RTP_ERROR send_nack(uint32_t media_ssrc, const std::vector<uint16_t> &lost);
    RTP_ERROR send_pli(uint32_t media_ssrc);
    // A FIR for `media_ssrc`; every call is a new request with the target's
    // next command sequence number (RFC 5104 4.3.1.2), starting at 0.
    RTP_ERROR send_fir(uint32_t media_ssrc);
    // Sends what waits for an early packet now: a compound (empty RR, SDES
    // CNAME, the feedback), or with RCE_RTCP_REDUCED_SIZE after the first
    // regular report each feedback packet alone (RFC 5506). RTP_SUCCESS
    // when nothing waits; RTP_PENDING while SRTCP has no keys. The runner
    // calls it when the dithered time comes.
    RTP_ERROR send_early_feedback();
    rtcp_feedback_counters feedback_counters() const;

    // The stream's own loss recovery, told of received feedback before the
    // application's hooks (RTCP receiving thread, the observer's lock held:
    // it must not call back into this object's registration functions).
    struct feedback_observer {
        std::function<void(const rtcp_nack &)> nack;
        std::function<void(const rtcp_pli &)> pli;
        std::function<void(const rtcp_fir &)> fir;
    };
    void set_feedback_observer(feedback_observer observer);
    // The stream's loss recovery has timers (reordering allowance, re-
    // requests, deadlines) that must run without packets arriving: the
    // runner thread calls `tick` once the time given to
    // schedule_feedback_tick (steady microseconds) has come; `tick` returns
    // when it next wants to run, INT64_MAX for not. An earlier schedule wins.
    // Any thread. Lock order: the tick's lock -> the membership lock.
    void set_feedback_tick(std::function<int64_t(int64_t now_us)> tick);
    void schedule_feedback_tick(int64_t at_us);
    // The last round trip to a receiver of ours (RFC 3550 6.4.1, from a
    // report block answering one of our SRs), in microseconds; 0 unknown.
    int64_t round_trip_us() const noexcept { return round_trip_us_.load(); }
    // RFC 4585 3.4 T_rr_interval in milliseconds (RCC_RTCP_TRR_INTERVAL); 0
    // is the default.
    void set_trr_interval_ms(uint32_t ms) { trr_interval_ms_.store(ms); }
    uint32_t get_trr_interval_ms() const { return trr_interval_ms_.load(); }
    // The steady clock (seconds) feedback scheduling reads; tests.
    void set_steady_source(double (*source)()) { steady_now_ = source; }

    // The clock the SR's RTP timestamp is extrapolated with; `clock_rate` 0
    // falls back to the RTP state's current rate.
    void set_ts_info(uint64_t clock_start, uint32_t clock_rate, uint32_t rtp_ts_start);

private:
    struct compound_plan;

    void construct_common(std::string cname);
    RTP_ERROR start_locked(bool with_runner);
    void runner();
    // The runner's pieces: waits for the timer (false when stopping), and
    // handles its expiry at `tc` (steady seconds).
    bool wait_for_timer();
    void on_timer(double tc);
    double draw_interval(const rtcp_interval_inputs &in);
    // RFC 3550 6.3.7: with 50 members or more, waits for the BYE's
    // reconsidered time before stop sends it.
    void wait_to_leave(int members);
    uint32_t clock_rate() const;
    uint64_t now_ms() const;  // now_ in milliseconds
    // Table lock held, for the rest of this block.
    rtcp_participant *find_participant(uint32_t ssrc);
    // RFC 3550 6.3.3: a packet from `ssrc` at now; false when the member
    // table is full and the source new.
    bool heard(uint32_t ssrc, bool rtp);
    // Removes the source's member entry and records.
    void forget(uint32_t ssrc);
    // Reverse reconsideration after members left (membership lock taken).
    void members_left();
    RTP_ERROR count_rtp_packet(const frame::rtp_frame &packet);
    // generate_report's pieces (packet lock held).
    std::vector<rtcp_app_packet> collect_app_packets();
    bool write_first_packet(uint8_t *frame, size_t &offset, bool we_sent, uint16_t reports);
    void write_report_blocks(uint8_t *frame, size_t &offset);
    RTP_ERROR send_compound(std::unique_ptr<uint8_t[]> frame, uint32_t size);
    // The SRTCP trailer's size; false while an SRTP stream has no SRTCP keys.
    bool security_trailer(uint32_t &trailer);
    bool write_sdes(uint8_t *frame, size_t &offset);
    // Feedback (packet lock held): the queued packets' size, and writing
    // them (counted as sent, the queue emptied).
    uint32_t queued_feedback_size() const;
    void write_queued_feedback(uint8_t *frame, size_t &offset);
    RTP_ERROR queue_feedback(RTCP_FEEDBACK_KIND kind, std::vector<uint8_t> packet);
    // Packet lock held: a minimal compound or reduced-size datagrams.
    RTP_ERROR send_feedback_compound();
    RTP_ERROR send_feedback_reduced();
    // The AVPF part of the runner's timer (RCE_RTCP_FEEDBACK): early feedback
    // due at `tc`; false when the regular report is not due yet.
    bool on_feedback_timer(double tc);

    // Reception. authenticate: RTP_SUCCESS with `parsed` the size without the
    // SRTCP trailer. check_compound: RFC 3550 A.2, logged and counted.
    RTP_ERROR authenticate(uint8_t *buffer, size_t size, size_t &parsed);
    RTP_ERROR check_compound(const uint8_t *buffer, size_t parsed);
    void count_leaving_bye(const uint8_t *buffer, size_t parsed, size_t size);
    // Each handler is given the packet's bounds and runs with the
    // table lock held. RTP_BAD_ARGUMENT when its fixed part does not fit.
    RTP_ERROR handle_sender_report_packet(const uint8_t *buffer, size_t &offset, size_t end,
                                          const frame::rtcp_header &header);
    RTP_ERROR handle_receiver_report_packet(const uint8_t *buffer, size_t &offset, size_t end,
                                            const frame::rtcp_header &header);
    RTP_ERROR handle_sdes_packet(const uint8_t *buffer, size_t &offset, size_t end,
                                 const frame::rtcp_header &header, uint32_t first_ssrc);
    RTP_ERROR handle_bye_packet(const uint8_t *buffer, size_t &offset, size_t end,
                                const frame::rtcp_header &header);
    RTP_ERROR handle_app_packet(const uint8_t *buffer, size_t &offset, size_t end,
                                const frame::rtcp_header &header);
    // `packet` and `size`: the whole packet as its length field gives it.
    // Never fails the compound: what cannot be read is counted and skipped.
    void handle_feedback_packet(const uint8_t *packet, size_t size,
                                const frame::rtcp_header &header);
    void read_reports(const uint8_t *buffer, size_t &offset, size_t end, uint8_t count,
                      uint32_t reporter_ssrc, std::vector<frame::rtcp_report_block> &out);
    // Known or newly added (with the object's clock rate); null when refused.
    rtcp_participant *participant_for_report(uint32_t ssrc, const char *what);
    RTP_ERROR process_one_packet(const uint8_t *buffer, size_t offset, size_t end,
                                 const frame::rtcp_header &header, uint32_t first_ssrc);

    std::shared_ptr<rtp> rtp_;
    shared_ssrc local_ssrc_;
    shared_ssrc remote_ssrc_;
    const int rce_flags_;
    ntp_source now_;

    // Network and security; set while stopped, read by the runner.
    std::shared_ptr<rtcp_transport> transport_;
    std::shared_ptr<srtcp> srtcp_;
    std::mutex srtcp_lock_;  // alone; guards srtcp_

    std::atomic<uint32_t> session_bandwidth_kbps_{0};
    std::atomic<double> rtcp_bandwidth_kbps_{0};
    std::atomic<uint32_t> reduced_minimum_ms_{0};
    std::atomic<uint32_t> interval_ms_{5000};
    std::atomic<uint64_t> avg_rtcp_size_{128};
    std::atomic<size_t> header_overhead_{28};  // of the transport's family
    std::atomic<size_t> max_compound_size_{1464};
    uint32_t packet_counter_ = 0;  // packet lock

    std::atomic<uint64_t> clock_start_{0};
    std::atomic<uint32_t> ts_info_clock_rate_{0};
    std::atomic<uint32_t> rtp_ts_start_{0};

    // Sender statistics, written by the pushing thread; aligned so that the
    // three share a cache line, as every send updates them all.
    alignas(16) std::atomic<uint32_t> sent_packets_{0};
    std::atomic<uint32_t> sent_octets_{0};
    std::atomic<bool> sent_since_report_{false};

    // packet_lock_: own items, BYE list, APP queue, packet counter.
    std::mutex packet_lock_;
    rtcp_sdes_items own_items_;
    std::array<uint8_t, 255> cname_buffer_{};
    uint8_t cname_length_ = 0;
    bool have_cname_ = false;
    std::vector<uint32_t> bye_ssrcs_;
    std::map<std::string, std::deque<rtcp_app_packet>> app_queue_;
    // Feedback packets waiting to be sent, and the FIR command sequence
    // number of each target.
    struct queued_feedback {
        RTCP_FEEDBACK_KIND kind;
        std::vector<uint8_t> packet;
    };
    std::vector<queued_feedback> feedback_queue_;
    std::map<uint32_t, uint8_t> fir_seq_;
    // RFC 5506: reduced-size packets only once a regular compound went out.
    bool compound_sent_ = false;

    // table_lock_: participants, their statistics and pending records, the
    // SR-sent set; also serialises sending.
    std::mutex table_lock_;
    std::map<uint32_t, std::unique_ptr<rtcp_participant>> participants_;
    rtcp_member_table members_;
    std::map<uint32_t, uint64_t> sr_sent_;
    std::array<bool, 256> warned_types_{};

    rtcp_hook_slot<frame::rtcp_sender_report> sr_hooks_;
    rtcp_hook_slot<frame::rtcp_receiver_report> rr_hooks_;
    rtcp_hook_slot<frame::rtcp_sdes_packet> sdes_hooks_;
    rtcp_hook_slot<frame::rtcp_app_packet> app_hooks_;
    rtcp_hook_slot<rtcp_nack> nack_hooks_;
    std::mutex observer_lock_;
    feedback_observer observer_;  // under observer_lock_
    std::atomic<int64_t> round_trip_us_{0};
    template <typename Record>
    void observe(const Record &record);
    rtcp_hook_slot<rtcp_pli> pli_hooks_;
    rtcp_hook_slot<rtcp_fir> fir_hooks_;
    std::mutex rtt_lock_;
    roundtrip_hook rtt_hook_;
    std::atomic<bool> rtt_hook_installed_{false};
    std::mutex send_app_lock_;
    std::multimap<std::string, send_app_hook> send_app_hooks_;
    std::atomic<bool> send_app_hooks_present_{false};

    // membership_lock_: the pool, `active_` changes, the runner's wait and
    // the transmission timer (steady seconds).
    std::mutex membership_lock_;
    std::condition_variable wake_;
    std::vector<std::unique_ptr<rtcp_participant>> pool_;
    rtcp_timer timer_;
    bool timer_running_ = false;
    std::atomic<double> last_interval_s_{5.0};  // T of RFC 3550 6.3.5
    // RFC 4585 3.5: allow_early and T_rr_interval, and the dithered time of
    // the early packet the runner is to send (negative: none).
    avpf_state avpf_;
    double early_due_ = -1;
    double tick_due_ = -1;  // under membership_lock_; -1: none
    std::mutex tick_lock_;
    std::function<int64_t(int64_t)> tick_;  // under tick_lock_
    void run_feedback_tick(double tc);
    bool report_due(double tc);
    // Set while stop waits for a scheduled BYE (RFC 3550 6.3.7): received
    // BYE packets then count as members, nothing else is processed.
    std::atomic<bool> leaving_{false};
    std::atomic<int> leaving_members_{1};
    std::atomic<bool> active_{false};
    std::thread runner_;
    std::mutex start_stop_lock_;  // alone, around start and stop

    std::mutex random_lock_;
    std::minstd_rand random_engine_;  // seeded once; 8 bytes, as there is one per stream

    std::atomic<uint64_t> dropped_invalid_{0};
    std::atomic<uint64_t> dropped_unauthenticated_{0};
    std::atomic<uint64_t> dropped_own_{0};

    std::atomic<uint32_t> trr_interval_ms_{0};
    double (*steady_now_)() = rtcp_steady_seconds;
    std::atomic<uint64_t> nack_received_{0};
    std::atomic<uint64_t> pli_received_{0};
    std::atomic<uint64_t> fir_received_{0};
    std::atomic<uint64_t> fb_unknown_received_{0};
    std::atomic<uint64_t> fb_malformed_received_{0};
    std::atomic<uint64_t> nack_sent_{0};
    std::atomic<uint64_t> pli_sent_{0};
    std::atomic<uint64_t> fir_sent_{0};
    std::atomic<uint64_t> early_sent_{0};

    log::limiter seq_warning_;
    log::limiter parse_warning_;
    log::limiter srtcp_warning_;         // received packets that failed SRTCP
    log::limiter members_full_warning_;  // sources refused at the participant limit
};

}  // namespace tessal
