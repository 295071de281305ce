#pragma once

// Receives every datagram on one RTP socket and turns it into frames for the
// streams sharing that socket. The receive side drains the socket into a ring
// of slots (receive_ring); the processing side classifies each datagram
// (classify_datagram: RTCP, ZRTP, RTP or neither), finds its stream by SSRC
// and runs that stream's reception handlers. Finished frames go to the
// stream's receive hook or to the mailbox that pull_frame empties
// (frame_mailbox).
//
// Threads: a flow on a system socket runs on the process's shared receive
// threads (io_pool, woken by epoll when the socket is readable) and shared
// processing threads (task_pool), so threads do not grow with flows and an
// idle flow costs no wake-ups; each side runs for one flow on one thread at
// a time, in order. A flow on any other socket (a test's fake) runs a
// receiver and a processing thread of its own.
//
// Lock order: size_lock_ -> start_stop_lock_ -> the pools' locks;
// handlers_lock_ -> hooks_lock_ -> the mailbox's lock (the processing side
// delivers a frame while it runs a stream's handlers); wake_lock_ is only
// ever held alone. Handlers and hooks run with their locks held and must not
// call back into the registration operations.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include <netinet/in.h>

#include "rtp/datagram_kind.hh"
#include "rtp/frame_mailbox.hh"
#include "rtp/source_filter.hh"
#include "tessal/frame.hh"
#include "tessal/util.hh"
#include "transport/io_pool.hh"
#include "transport/receive_ring.hh"
#include "util/hot_lines.hh"
#include "util/log.hh"
#include "util/shared_ssrc.hh"

namespace tessal {

class socket;
class task_pool;

// A reception handler: the whole datagram, and one frame slot shared by all
// stages of the datagram (null before the header stage fills it). A stage
// that takes the frame over sets *out to null.
using reception_handler = RTP_ERROR (*)(void *arg, int rce_flags, uint8_t *packet, size_t size,
                                        frame::rtp_frame **out);
// Hands out one completed frame per call (RTP_FRAME_READY) until it has none.
using frame_getter = std::function<RTP_ERROR(frame::rtp_frame **out)>;
using receive_hook = void (*)(void *arg, frame::rtp_frame *frame);

enum HANDLER_KIND : int {
    HANDLER_RTP_HEADER = 1,
    HANDLER_RTCP_MUX = 2,
    HANDLER_ZRTP = 3,
    HANDLER_SRTP = 4,
    HANDLER_MEDIA = 5,
    HANDLER_RTCP_STATS = 6,
};

constexpr ssize_t k_default_ring_bytes = 4 * 1024 * 1024;
// Every slot holds a whole Ethernet-MTU datagram (standard peers send up to
// 1472-byte UDP payloads by default) with room to spare; the ring stays 4 MiB.
constexpr size_t k_default_slot_size = 2048;
constexpr int k_default_poll_timeout_ms = 100;

// What a flow counted for one stream (the handlers registered under its
// remote SSRC): datagrams and bytes of RTP, RTCP and ZRTP routed to it, RTP
// packets whose header did not parse, frames handed to its hook or queue.
struct stream_reception_counts {
    uint64_t datagrams = 0;
    uint64_t bytes = 0;
    uint64_t malformed = 0;
    uint64_t frames_delivered = 0;
    uint64_t retransmissions = 0;          // RFC 4588 packets restored to their original
    uint64_t retransmissions_dropped = 0;  // no OSN, or no media seen yet to restore them to
    uint64_t duplicates = 0;               // refused by the stream's packet observer
};

class reception_flow {
public:
    explicit reception_flow(bool ipv6);
    ~reception_flow();
    reception_flow(const reception_flow &) = delete;
    reception_flow &operator=(const reception_flow &) = delete;

    // Ring geometry. While running, both threads are stopped around the
    // rebuild and restarted; queued frames are kept.
    void set_buffer_size(const ssize_t &bytes);
    ssize_t get_buffer_size() const;
    // Slots never shrink below k_default_slot_size: a smaller value would cut
    // the datagrams of every stream on the port.
    void set_payload_size(const size_t &bytes);
    size_t get_payload_size() const;
    size_t ring_slots() const;
    // Non-positive values would make the receiver spin or never re-check
    // the stop flag; they become 1 ms.
    void set_poll_timeout_ms(int ms) { poll_timeout_ms_.store(ms > 0 ? ms : 1); }
    int get_poll_timeout_ms() const { return poll_timeout_ms_.load(); }

    // Starts the receiver and processing threads once; the first caller's
    // flags govern the handler chain of every stream on the flow. After the
    // threads ended on a receive failure, the next start begins again.
    // RTP_FAILED when the threads cannot be created.
    RTP_ERROR start(std::shared_ptr<socket> sock, int rce_flags);
    // Stops and joins both threads and releases queued frames.
    RTP_ERROR stop();
    bool is_running() const;

    RTP_ERROR install_handler(int kind, const shared_ssrc &remote_ssrc, reception_handler handler,
                              void *arg);
    RTP_ERROR install_getter(const shared_ssrc &remote_ssrc, frame_getter getter);
    RTP_ERROR remove_handlers(const shared_ssrc &remote_ssrc);
    RTP_ERROR install_receive_hook(void *arg, receive_hook hook, uint32_t remote_ssrc);
    // The enable flags of the stream registered under the cell: they gate
    // its chain and reach its stages. A stream that never set them runs with
    // the flags the flow was started with.
    RTP_ERROR set_stream_flags(const shared_ssrc &remote_ssrc, int rce_flags);
    // ZRTP datagrams for the stream are taken only from `peer` (address and
    // port; a sockaddr_in or sockaddr_in6 by its family); others are
    // dropped and counted (dropped_zrtp_foreign). A datagram whose sender
    // is not known (`from` null) is taken.
    RTP_ERROR set_zrtp_peer(const shared_ssrc &remote_ssrc, const sockaddr *peer);
    uint64_t dropped_zrtp_foreign() const { return dropped_zrtp_foreign_.load(); }
    // Removes the stream's hook, handlers and queued frames; true when no
    // stream is left on the flow.
    bool clear_stream_from_flow(const shared_ssrc &remote_ssrc);
    RTP_ERROR update_remote_ssrc(uint32_t old_ssrc, uint32_t new_ssrc);

    // Waits (until stop) for the next frame; null once stopped.
    frame::rtp_frame *pull_frame();
    // Null after `timeout_ms` without a frame.
    frame::rtp_frame *pull_frame(ssize_t timeout_ms);
    // The first queued frame carrying the cell's SSRC, wherever it is queued.
    frame::rtp_frame *pull_frame(const shared_ssrc &remote_ssrc);
    frame::rtp_frame *pull_frame(ssize_t timeout_ms, const shared_ssrc &remote_ssrc);
    // A stream's pull: returns null as soon as the stream registered under
    // the cell has left the flow. With `by_ssrc`, only frames carrying the
    // cell's SSRC; `timeout_ms` < 0 waits without limit.
    frame::rtp_frame *pull_stream_frame(const shared_ssrc &stream_ssrc, bool by_ssrc,
                                        ssize_t timeout_ms);
    void clear_frames();

    // Bounds of the pull queue: frames queued longer than `max_age_ms`, or
    // beyond `max_bytes` of frames in all, are released oldest first.
    void set_queue_limits(int64_t max_age_ms, size_t max_bytes);
    // Frames released because the queue was over its bounds.
    uint64_t dropped_queue_full() const { return mailbox_.dropped_queue_full(); }

    // Datagrams dropped because the ring had no room for them (only the
    // tail of a coalesced run longer than the whole ring: otherwise a full
    // ring leaves datagrams in the socket's buffer), because they were
    // longer than a slot, and because they were neither RTP, RTCP nor ZRTP
    // (or RTCP on a port whose stream does not take it there).
    uint64_t dropped_ring_full() const { return ring_.dropped_full(); }
    uint64_t dropped_oversize() const { return ring_.dropped_oversize(); }
    uint64_t dropped_not_rtp() const { return dropped_not_rtp_.load(); }
    // RTP packets a lone stream refused: from a source not (yet) valid
    // while another is (source_filter).
    uint64_t dropped_unvalidated_source() const { return dropped_unvalidated_.load(); }
    // Times the receive side stopped reading on a full ring and waited for
    // slots, leaving datagrams in the socket's buffer.
    uint64_t ring_full_waits() const { return ring_full_waits_.load(); }
    // The counts of the stream registered under the cell into `out`; false
    // (and `out` untouched) when no stream is registered under it.
    bool stream_counts(const shared_ssrc &remote_ssrc, stream_reception_counts &out);

    // Runs one datagram through classification and dispatch, as the
    // processing thread does (used by that thread and by tests).
    // `from`: the sender's address, if known.
    void process_packet(uint8_t *packet, size_t size, int rce_flags,
                        const sockaddr_in6 *from = nullptr);

    // The stream's own SSRC, and what to do when another participant uses
    // it (RFC 3550 section 8.2). A packet that carries it from one of our own
    // addresses and our port is ours looped back (multicast loopback): it
    // is dropped and counted, never media nor a participant. From any other
    // address it is a collision: dropped, counted, and reported to
    // `on_collision` on the processing thread with the handler lock held
    // (it must not register or remove handlers).
    using collision_hook = void (*)(void *arg);
    RTP_ERROR set_local_source(const shared_ssrc &remote_ssrc, shared_ssrc local,
                               collision_hook on_collision, void *arg);
    uint64_t dropped_own_packets() const { return dropped_own_.load(); }
    uint64_t ssrc_collisions() const { return collisions_.load(); }

    // Loss recovery for the stream (RFC 4585, RFC 4588). RTP packets of
    // payload type `rtx_payload_type` (-1: none) are retransmissions on
    // their own SSRC: once parsed and decrypted they are restored to the
    // original packet (the OSN, the SSRC and payload type of the stream's
    // last media packet) and go on as if it had arrived late, past the
    // reception statistics (they are another RTP stream's). Every media
    // packet, restored ones included, is shown to `observer` (on the
    // processing thread with the handler lock held) before depacketizing;
    // false drops it as a duplicate. A lone stream takes retransmissions
    // from their first packet (no RFC 3550 probation for their SSRC).
    using packet_observer = bool (*)(void *arg, const frame::rtp_frame &packet,
                                     bool retransmission);
    RTP_ERROR set_loss_recovery(const shared_ssrc &remote_ssrc, int rtx_payload_type,
                                packet_observer observer, void *arg);

private:
    struct handler_entry {
        reception_handler function = nullptr;
        void *arg = nullptr;
    };
    struct handler {
        handler_entry header_stage;
        handler_entry mux_rtcp_stage;
        handler_entry zrtp_stage;
        handler_entry decrypt_stage;
        handler_entry depacketize_stage;
        handler_entry statistics_stage;
        frame_getter getter;
        shared_ssrc local;  // the stream's own SSRC, once set
        collision_hook on_collision = nullptr;
        void *collision_arg = nullptr;
        bool has_zrtp_peer = false;
        sockaddr_in6 zrtp_peer{};  // a sockaddr_in when its family is AF_INET
        bool has_flags = false;
        int flags = 0;  // the stream's own enable flags, once set
        int rtx_pt = -1;
        packet_observer observer = nullptr;
        void *observer_arg = nullptr;
        bool have_media = false;  // media_ssrc and media_pt are the last media packet's
        uint8_t media_pt = 0;
        uint32_t media_ssrc = 0;
        stream_reception_counts counts;  // under handlers_lock_
    };
    struct hook_entry {
        void *arg;
        receive_hook hook;
    };

    void build_ring();
    template <typename Change>
    void rebuild_ring(Change change);
    RTP_ERROR start_threads();
    void stop_threads();
    void set_receive_buffer();
    void receiver(std::shared_ptr<socket> sock);
    void processor(int rce_flags);
    void wait_for_ring_room();
    void stop_on_failure();
    io_pool::outcome drain_socket();
    void refresh_receive_lines();
    bool consume_published();
    void consume(int rce_flags);
    void resume_receiving();
    void dispatch(handler &h, const datagram_class &c, uint8_t *packet, size_t size, int rce_flags);
    // Restores a retransmission and shows the packet to the observer; false
    // when it goes no further.
    static bool recover(handler &h, frame::rtp_frame *packet, bool retransmission);
    // True when a hook or the pull queue took the frame.
    bool return_frame(frame::rtp_frame *frame);
    handler *find_handler(const datagram_class &c);
    bool carries_own_ssrc(handler &h, const datagram_class &c, const sockaddr_in6 *from);
    bool is_own_address(const sockaddr_in6 &from) const;
    static bool zrtp_source_ok(const handler &h, const sockaddr_in6 *from);
    void learn_own_addresses();
    void register_key(uint32_t key);
    void unregister_key(uint32_t key);

    frame_mailbox mailbox_;

    std::unordered_map<uint32_t, hook_entry> hooks_;
    std::mutex hooks_lock_;
    std::unordered_map<uint32_t, handler> handlers_;
    std::mutex handlers_lock_;
    // Advanced whenever handlers_ or hooks_ change (under their locks) and
    // when the ring is rebuilt: what receive_lines_ was gathered from.
    std::atomic<uint64_t> routes_version_{0};

    std::atomic<bool> should_stop_{true};
    std::atomic<bool> pausing_{false};  // threads stopped only to rebuild the ring
    std::thread receiver_thread_;
    std::thread processing_thread_;
    std::atomic<int> poll_timeout_ms_{k_default_poll_timeout_ms};

    // The lines a received packet touches, prefetched before each receive
    // on the shared threads; gathered again when routes_version_ moves.
    // Receiving thread only.
    hot_lines receive_lines_;
    uint64_t receive_lines_version_ = UINT64_MAX;

    receive_ring ring_;
    std::atomic<uint64_t> dropped_not_rtp_{0};
    std::atomic<uint64_t> dropped_unvalidated_{0};
    std::atomic<uint64_t> dropped_own_{0};
    std::atomic<uint64_t> dropped_zrtp_foreign_{0};
    std::atomic<uint64_t> collisions_{0};
    // Where our own packets come from: the socket's port and the host's
    // addresses (set while the threads are stopped).
    uint16_t own_port_ = 0;  // network order; 0 unknown
    std::vector<in_addr> own_v4_;
    std::vector<in6_addr> own_v6_;
    source_filter sources_;  // under handlers_lock_
    std::atomic<uint64_t> ring_full_waits_{0};
    log::limiter rtcp_warning_;
    bool gro_ = false;  // the socket coalesces runs of datagrams (UDP_GRO)

    mutable std::mutex size_lock_;
    ssize_t buffer_size_ = k_default_ring_bytes;
    size_t payload_size_ = k_default_slot_size;

    mutable std::mutex start_stop_lock_;
    std::mutex wake_lock_;
    std::condition_variable wake_;
    std::atomic<bool> processor_waiting_{false};
    // Own threads only: the receiver waits here for ring slots (under
    // wake_lock_), woken by the processing thread's resume.
    std::condition_variable room_;
    bool room_owed_ = false;  // under wake_lock_
    int wake_fd_ = -1;        // eventfd: stop() wakes the receiver's wait
    // Set while the flow is served by the shared receive threads.
    std::shared_ptr<io_pool> pool_;
    uint64_t pool_id_ = 0;
    std::shared_ptr<task_pool> tasks_;
    uint64_t task_id_ = 0;
    std::atomic<bool> consuming_{false};  // a thread is handling the ring
    bool running_ = false;
    std::shared_ptr<socket> socket_;  // set while running
    int rce_flags_ = 0;
};

}  // namespace tessal
