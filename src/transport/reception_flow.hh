#pragma once

// Receives every datagram on one RTP socket and turns it into frames for the
// streams sharing that socket. The receive side drains the socket into a ring
// of slots; the processing side classifies each datagram (RTCP, ZRTP, RTP),
// finds its stream by SSRC and runs that stream's reception handlers.
// Finished frames go to the stream's receive hook or to a queue that
// pull_frame empties.
//
// Threads: a flow on a system socket runs on the process's shared receive
// threads (io_pool, woken by epoll when the socket is readable) and shared
// processing threads (task_pool), so threads do not grow with flows and an
// idle flow costs no wake-ups; each side runs for one flow on one thread at
// a time, in order. A flow on any other socket (a test's fake) runs a
// receiver and a processing thread of its own.
//
// Lock order: size_lock_ -> start_stop_lock_ -> the pools' locks;
// handlers_lock_ -> hooks_lock_ -> frames_lock_ (the processing side
// delivers a frame while it runs a stream's handlers); wake_lock_ is only
// ever held alone. Handlers and hooks run with their locks held and must not
// call back into the registration operations.

#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tessal/frame.hh"
#include "tessal/util.hh"
#include "transport/io_pool.hh"
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
// Frames nobody pulls are not kept for ever: beyond either bound the oldest
// queued frames are released and counted (dropped_queue_full()).
constexpr int64_t k_default_queue_age_ms = 3000;
constexpr size_t k_default_queue_bytes = 64 * 1024 * 1024;
constexpr int k_default_poll_timeout_ms = 100;
constexpr size_t k_receive_batch = 64;
// The fewest messages a receive asks for.
constexpr size_t k_min_receive_batch = 8;
// UDP GRO (linux/udp.h): the option and its control message, and the room a
// coalesced run of datagrams may take beyond its first slot.
constexpr int k_udp_gro = 104;
constexpr size_t k_gro_overflow = 65536;
// The most datagrams the kernel puts in one coalesced run (UDP_MAX_SEGMENTS,
// 64 or 128 by kernel version).
constexpr size_t k_gro_max_run = 128;

// The message headers of one batched receive. Per receiving thread, not
// per flow: a flow is filled by one thread at a time, and a thread that
// serves many flows finds them in its cache.
struct receive_headers {
    std::array<mmsghdr, k_receive_batch> msgs;
    std::array<iovec, 2 * k_receive_batch> iov;  // two per message with UDP GRO
    std::array<std::array<char, CMSG_SPACE(sizeof(int))>, k_receive_batch> control;
    // The first `prepared` headers are laid out for `prepared_overflow`
    // (null: one iovec and no control buffer; else the slot, then the
    // overflow area, and a control buffer for the UDP_GRO size).
    size_t prepared = 0;
    const uint8_t *prepared_overflow = nullptr;

    // Lays out the first `count` headers for `overflow`, all but the
    // slot's iovec and, with an overflow, the control length, which
    // the kernel rewrites at each receive.
    void prepare(size_t count, uint8_t *overflow) noexcept {
        if (overflow != prepared_overflow) {
            prepared = 0;
            prepared_overflow = overflow;
        }
        for (; prepared < count; ++prepared) {
            const size_t i = prepared;
            mmsghdr &m = msgs[i];
            m = mmsghdr{};
            if (overflow != nullptr) {
                // A coalesced run goes on past the slot into the overflow.
                m.msg_hdr.msg_iov = &iov[2 * i];
                m.msg_hdr.msg_iovlen = 2;
                iov[2 * i + 1] = iovec{overflow + i * k_gro_overflow, k_gro_overflow};
                m.msg_hdr.msg_control = control[i].data();
                m.msg_hdr.msg_controllen = control[i].size();
            } else {
                m.msg_hdr.msg_iov = &iov[i];
                m.msg_hdr.msg_iovlen = 1;
            }
        }
    }
};

// What a flow counted for one stream (the handlers registered under its
// remote SSRC): datagrams and bytes of RTP, RTCP and ZRTP routed to it, RTP
// packets whose header did not parse, frames handed to its hook or queue.
struct stream_reception_counts {
    uint64_t datagrams = 0;
    uint64_t bytes = 0;
    uint64_t malformed = 0;
    uint64_t frames_delivered = 0;
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
    uint64_t dropped_queue_full() const { return dropped_queue_.load(); }

    // Datagrams dropped because the ring was full, and because they were
    // longer than a slot.
    uint64_t dropped_ring_full() const { return dropped_full_.load(); }
    uint64_t dropped_oversize() const { return dropped_oversize_.load(); }
    // Datagrams neither RTP, RTCP nor ZRTP, or shorter than an RTP header.
    uint64_t dropped_not_rtp() const { return dropped_not_rtp_.load(std::memory_order_relaxed); }
    // The counts of the stream registered under the cell into `out`; false
    // (and `out` untouched) when no stream is registered under it.
    bool stream_counts(const shared_ssrc &remote_ssrc, stream_reception_counts &out);

    // Runs one datagram through classification and dispatch, as the
    // processing thread does (used by that thread and by tests).
    void process_packet(uint8_t *packet, size_t size, int rce_flags);

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
        bool has_flags = false;
        int flags = 0;                   // the stream's own enable flags, once set
        stream_reception_counts counts;  // under handlers_lock_
    };
    enum class datagram_kind { rtcp, zrtp, rtp, other };
    struct queued_frame {
        frame::rtp_frame *frame;
        int64_t queued_ms;  // steady clock
        size_t bytes;
    };
    struct hook_entry {
        void *arg;
        receive_hook hook;
    };
    struct slot {
        uint8_t *data = nullptr;  // into ring_memory_
        size_t read = 0;
    };

    void create_ring_buffer();
    // The slot of datagram `c`; consumers call it after the acquire of
    // written_ that published `c`.
    size_t slot_index(uint64_t c) const {
        return static_cast<size_t>((c - base_.load(std::memory_order_relaxed)) % ring_.size());
    }
    slot &slot_of(uint64_t c) { return ring_[slot_index(c)]; }
    void drain_published();
    template <typename Change>
    void rebuild_ring(Change change);
    RTP_ERROR start_threads();
    void stop_threads();
    void receiver(std::shared_ptr<socket> sock);
    void processor(int rce_flags);
    bool drain_one_dropped(socket &sock, size_t slot_size);
    bool fill_ring(socket &sock, int max_batches, bool &published, bool &left_over);
    size_t spread_coalesced(const mmsghdr *msgs, uint64_t w, size_t messages, size_t free_slots,
                            const uint8_t *overflow);
    static uint8_t *gro_overflow();
    static receive_headers &headers_of_thread();
    void count_oversize(size_t len);
    io_pool::outcome drain_socket();
    void refresh_receive_lines();
    void process_published();
    bool consume_published();
    void dispatch(handler &h, uint8_t *packet, size_t size, int rce_flags);
    // True when a hook or the pull queue took the frame.
    bool return_frame(frame::rtp_frame *frame);
    void enforce_queue_limits(int64_t now_ms);                            // frames_lock_ held
    frame::rtp_frame *pop_queued(std::deque<queued_frame>::iterator it);  // frames_lock_ held
    static bool is_rtcp(const uint8_t *packet, size_t size);
    static datagram_kind classify(const uint8_t *packet, size_t size);
    handler *find_handler(const uint8_t *packet, size_t size);
    frame::rtp_frame *take_frame(const shared_ssrc *stream_ssrc, bool by_ssrc, ssize_t timeout_ms);
    void register_key(uint32_t key);
    void unregister_key(uint32_t key);

    std::deque<queued_frame> frames_;
    size_t queued_bytes_ = 0;
    int64_t queue_max_age_ms_ = k_default_queue_age_ms;
    size_t queue_max_bytes_ = k_default_queue_bytes;
    std::atomic<uint64_t> dropped_queue_{0};
    std::unordered_set<uint32_t> registered_;  // keys of registered streams
    std::mutex frames_lock_;
    std::condition_variable frames_cv_;

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

    // Ring: slot i % size. `written_` counts published datagrams (receiver
    // only), `processed_` counts finished ones (processing thread only). The
    // receiver never writes a slot while written_ - processed_ == size, so a
    // slot being processed is never overwritten.
    //
    // Datagram c lives in slot (c - base_) % size. The receiver moves base_
    // to written_ whenever the ring is empty, so that a flow whose consumer
    // keeps up goes round the first slots only and the rest of the ring never
    // becomes resident. base_ is stored before the written_ that publishes a
    // datagram under it, and cannot move while anything published waits.
    std::vector<slot> ring_;
    std::unique_ptr<uint8_t[]> ring_memory_;
    std::atomic<uint64_t> written_{0};
    std::atomic<uint64_t> processed_{0};
    std::atomic<uint64_t> base_{0};
    std::atomic<uint64_t> dropped_full_{0};
    std::atomic<uint64_t> dropped_oversize_{0};
    std::atomic<uint64_t> dropped_not_rtp_{0};
    log::limiter oversize_warning_;
    log::limiter rtcp_warning_;
    log::limiter queue_warning_;
    std::unique_ptr<uint8_t[]> scratch_;     // receiver only: drains dropped datagrams
    bool gro_ = false;                       // the socket coalesces runs of datagrams (UDP_GRO)
    size_t receive_hint_ = k_receive_batch;  // receiver only: messages to ask for next

    mutable std::mutex size_lock_;
    ssize_t buffer_size_ = k_default_ring_bytes;
    size_t payload_size_ = k_default_slot_size;

    mutable std::mutex start_stop_lock_;
    std::mutex wake_lock_;
    std::condition_variable wake_;
    std::atomic<bool> processor_waiting_{false};
    int wake_fd_ = -1;  // eventfd: stop() wakes the receiver's wait
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
