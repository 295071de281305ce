#include "transport/reception_flow.hh"

#include <ifaddrs.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <system_error>

#include "transport/io_pool.hh"
#include "transport/socket.hh"
#include "util/byte_reader.hh"
#include "util/log.hh"

namespace tessal {

namespace {

bool continues_chain(RTP_ERROR r) {
    return r == RTP_PKT_SKIPPED || r == RTP_PKT_CHANGED;
}

}  // namespace

reception_flow::reception_flow(bool /*ipv6*/) {
    // Wakes the receiver out of its wait when the flow stops; without it the
    // receiver falls back to waking every poll time-out.
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    build_ring();
}

reception_flow::~reception_flow() {
    stop();
    mailbox_.clear();
    if (wake_fd_ >= 0) {
        ::close(wake_fd_);
    }
}

// --- ring -------------------------------------------------------------------

// Threads are not running here: the constructor, or a rebuild between
// stop_threads() and start_threads().
void reception_flow::build_ring() {
    const size_t bytes =
        payload_size_ > 0 && buffer_size_ > 0 ? static_cast<size_t>(buffer_size_) : 0;
    ring_.build(bytes, payload_size_);
    routes_version_.fetch_add(1);  // the slot table moved
}

// Called with size_lock_ and start_stop_lock_ held. Running threads are
// paused around the rebuild; pulls keep waiting through it.
template <typename Change>
void reception_flow::rebuild_ring(Change change) {
    const bool was_running = running_;
    if (was_running) {
        pausing_.store(true);
        stop_threads();
        // The processing thread may have stopped short of what the receiver
        // had published: those datagrams are handled before their slots go.
        consume(rce_flags_);
    }
    const ssize_t old_buffer = buffer_size_;
    const size_t old_payload = payload_size_;
    change();
    try {
        build_ring();
    } catch (const std::bad_alloc &) {
        // Keep receiving with the old geometry.
        LOG_ERROR_AS("rebuild_ring", "Cannot allocate the receive ring, keeping the old one");
        buffer_size_ = old_buffer;
        payload_size_ = old_payload;
        build_ring();
    }
    if (was_running) {
        start_threads();
        pausing_.store(false);
    }
}

void reception_flow::set_buffer_size(const ssize_t &bytes) {
    std::lock_guard<std::mutex> size_guard(size_lock_);
    std::lock_guard<std::mutex> guard(start_stop_lock_);
    rebuild_ring([&] { buffer_size_ = bytes; });
}

void reception_flow::set_payload_size(const size_t &bytes) {
    std::lock_guard<std::mutex> size_guard(size_lock_);
    std::lock_guard<std::mutex> guard(start_stop_lock_);
    rebuild_ring([&] { payload_size_ = std::max(bytes, k_default_slot_size); });
}

ssize_t reception_flow::get_buffer_size() const {
    std::lock_guard<std::mutex> guard(size_lock_);
    return buffer_size_;
}

size_t reception_flow::get_payload_size() const {
    std::lock_guard<std::mutex> guard(size_lock_);
    return payload_size_;
}

size_t reception_flow::ring_slots() const {
    std::lock_guard<std::mutex> guard(size_lock_);
    return ring_.slots();
}

// --- start and stop ---------------------------------------------------------

RTP_ERROR reception_flow::start(std::shared_ptr<socket> sock, int rce_flags) {
    std::lock_guard<std::mutex> guard(start_stop_lock_);
    if (running_ && should_stop_.load()) {
        // The threads ended on a receive failure: collect them and start
        // afresh for the stream that asks.
        stop_threads();
    }
    if (running_ || !sock) {
        return RTP_SUCCESS;
    }
    socket_ = std::move(sock);
    rce_flags_ = rce_flags;
    return start_threads();
}

RTP_ERROR reception_flow::stop() {
    std::lock_guard<std::mutex> guard(start_stop_lock_);
    if (running_) {
        stop_threads();
        socket_.reset();
        mailbox_.clear();
    }
    return RTP_SUCCESS;
}

bool reception_flow::is_running() const {
    std::lock_guard<std::mutex> guard(start_stop_lock_);
    return running_;
}

// The socket's receive buffer holds what arrives while the ring is full, so
// it is sized from the ring where the system allows: raised, never lowered
// (the application may have asked for more). Four times the ring: the kernel
// charges each queued datagram its buffer overhead too, and a sender's burst
// goes on arriving while the ring is full.
void reception_flow::set_receive_buffer() {
    if (!socket_->on_system_calls() || buffer_size_ <= 0) {
        return;
    }
    const int want = static_cast<int>(std::min<ssize_t>(4 * buffer_size_, 1 << 28));
    // The kernel reports twice what was set (its bookkeeping share).
    if (socket_->int_option(SOL_SOCKET, SO_RCVBUF) / 2 < want) {
        (void)socket_->set_buffer(SO_RCVBUF, want);
    }
}

// Called with start_stop_lock_ held. A socket on the system's calls is
// served by the shared receive threads; any other (a test's fake) by a
// receiver and a processing thread of the flow's own.
RTP_ERROR reception_flow::start_threads() {
    should_stop_.store(false);
    gro_ = socket_->enable_udp_gro();
    set_receive_buffer();
    learn_own_addresses();
    mailbox_.set_open(true);
    if (socket_->on_system_calls()) {
        pool_ = io_pool::shared();
        tasks_ = task_pool::shared();
        if (pool_ && tasks_) {
            task_id_ = tasks_->add([this] { consume_published(); });
            pool_id_ = pool_->add(socket_->get_raw_socket(), [this] { return drain_socket(); });
            if (pool_id_ != 0) {
                running_ = true;
                return RTP_SUCCESS;
            }
            tasks_->remove(task_id_);
            task_id_ = 0;
        }
        pool_.reset();
        tasks_.reset();
    }
    try {
        processing_thread_ = std::thread(&reception_flow::processor, this, rce_flags_);
        receiver_thread_ = std::thread(&reception_flow::receiver, this, socket_);
    } catch (const std::system_error &e) {
        LOG_ERROR("Failed to start the reception threads: %s", e.what());
        stop_threads();
        return RTP_FAILED;
    }
    raise_thread_priority(receiver_thread_, 0);
    raise_thread_priority(processing_thread_, 1);
    running_ = true;
    return RTP_SUCCESS;
}

// Called with start_stop_lock_ held.
void reception_flow::stop_threads() {
    should_stop_.store(true);
    if (!pausing_.load()) {
        mailbox_.set_open(false);  // pulls return
    }
    if (pool_id_ != 0) {
        // Receiving first, then processing: no callback of ours runs after
        // this; what was published and not yet handled stays in the ring.
        // The ids stay set until both are removed: a processing callback
        // still running may resume the receive side through pool_id_.
        pool_->remove(pool_id_);
        tasks_->remove(task_id_);
        pool_id_ = 0;
        task_id_ = 0;
        pool_.reset();
        tasks_.reset();
        running_ = false;
        return;
    }
    if (wake_fd_ >= 0) {
        const uint64_t one = 1;
        (void)!::write(wake_fd_, &one, sizeof(one));
    }
    {
        // Taking the lock orders the flag before the threads' predicate
        // checks, so the notification cannot fall between a check and its
        // wait.
        std::lock_guard<std::mutex> wake_guard(wake_lock_);
    }
    wake_.notify_all();
    room_.notify_all();
    if (receiver_thread_.joinable()) {
        receiver_thread_.join();
    }
    if (processing_thread_.joinable()) {
        processing_thread_.join();
    }
    if (wake_fd_ >= 0) {
        uint64_t count = 0;
        (void)!::read(wake_fd_, &count, sizeof(count));  // re-arm for the next start
    }
    room_owed_ = false;
    running_ = false;
}

// --- threads ----------------------------------------------------------------

// A receive failure ends both sides; the next start() begins again.
void reception_flow::stop_on_failure() {
    should_stop_.store(true);
    mailbox_.set_open(false);
    { std::lock_guard<std::mutex> wake_guard(wake_lock_); }
    wake_.notify_all();
}

void reception_flow::receiver(std::shared_ptr<socket> sock) {
    while (!should_stop_.load()) {
        // Idle flows sleep until a datagram or stop() arrives.
        const RTP_ERROR ready =
            sock->wait_readable(wake_fd_ >= 0 ? -1 : poll_timeout_ms_.load(), wake_fd_);
        if (ready == RTP_FAILED) {
            LOG_ERROR("poll(2) failed");
            stop_on_failure();
            return;
        }
        if (ready != RTP_SUCCESS) {
            continue;  // time-out or EINTR: re-check the stop flag and wait again
        }
        bool published = false;
        const receive_ring::fill_status status =
            ring_.fill(*sock, gro_, -1, should_stop_, published);
        // The processing thread is woken only when it sleeps: while it works
        // it sees the new datagrams on its own (written_ is re-read).
        if (published && processor_waiting_.load()) {
            { std::lock_guard<std::mutex> wake_guard(wake_lock_); }
            wake_.notify_one();
        }
        if (status == receive_ring::fill_status::failed) {
            stop_on_failure();
            return;
        }
        if (status == receive_ring::fill_status::full) {
            wait_for_ring_room();
        }
    }
}

// Own threads: the ring is full, the rest waits in the socket until the
// processing thread resumes us.
void reception_flow::wait_for_ring_room() {
    ring_full_waits_.fetch_add(1);
    std::unique_lock<std::mutex> lock(wake_lock_);
    while (!room_owed_ && !should_stop_.load()) {
        // The time-out is a backstop only: the resume notifies.
        room_.wait_for(lock, std::chrono::milliseconds(poll_timeout_ms_.load()));
        if (!room_owed_ && ring_.has_room(gro_)) {
            break;
        }
    }
    room_owed_ = false;
}

// The consumer freed slots that a stopped receive side waits for.
void reception_flow::resume_receiving() {
    if (pool_id_ != 0) {
        pool_->resume(pool_id_);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(wake_lock_);
        room_owed_ = true;
    }
    room_.notify_one();
}

// On a shared receive thread, whenever the socket is readable: fills free
// ring slots with batches, as the flow's own receiver would, and hands them
// to the processing side. After a bounded number of batches the socket goes
// back to the pool (it fires again at once if datagrams are left), so that
// one busy flow cannot starve the others; on a full ring it waits for the
// consumer's resume. False stops the watching (a receive failure).
io_pool::outcome reception_flow::drain_socket() {
    constexpr int k_batches_per_turn = 16;
    // Asked for before the receive: the lines arrive while it runs.
    receive_lines_.prefetch();
    refresh_receive_lines();
    bool published = false;
    const receive_ring::fill_status status =
        ring_.fill(*socket_, gro_, k_batches_per_turn, should_stop_, published);
    if (status == receive_ring::fill_status::full) {
        ring_full_waits_.fetch_add(1);
    }
    if (published) {
        // A small backlog is handled right here, sparing the hand-off to a
        // processing thread; a burst goes there, so that this thread keeps
        // taking datagrams off the sockets.
        if (ring_.backlog() > k_receive_batch || !consume_published()) {
            tasks_->wake(task_id_);
        }
    }
    switch (status) {
        case receive_ring::fill_status::failed:
            stop_on_failure();
            return io_pool::outcome::stop;
        case receive_ring::fill_status::more:
            return io_pool::outcome::more;
        default:
            return io_pool::outcome::drained;
    }
}

// On the receiving thread: gathers receive_lines_ again when handlers or
// hooks changed since. The flow's own receive-side fields always; the
// entries of its streams, their stages' state and their hooks only for a
// flow of a few streams (a flow of many finds each packet's stream by its
// SSRC, and prefetching them all would only evict what is in use).
void reception_flow::refresh_receive_lines() {
    constexpr size_t k_prefetched_streams = 4;
    const uint64_t version = routes_version_.load();
    if (version == receive_lines_version_) {
        return;
    }
    std::scoped_lock guard(handlers_lock_, hooks_lock_);
    hot_lines &out = receive_lines_;
    out.clear();
    ring_.add_hot_lines(out);
    out.add(&payload_size_, sizeof(payload_size_));
    out.add(&consuming_, sizeof(consuming_));
    out.add(&socket_, sizeof(socket_));
    out.add(socket_.get());
    out.add(&handlers_, sizeof(handlers_));
    out.add(&handlers_lock_, sizeof(handlers_lock_));
    out.add(&hooks_, sizeof(hooks_));
    out.add(&hooks_lock_, sizeof(hooks_lock_));
    out.add(&sources_, sizeof(sources_));
    if (handlers_.size() <= k_prefetched_streams) {
        for (const auto &[key, h] : handlers_) {
            out.add(&h, sizeof(h));
            out.add(h.local.get());  // each packet is checked against our own SSRC
            for (const handler_entry *e :
                 {&h.header_stage, &h.decrypt_stage, &h.statistics_stage, &h.depacketize_stage}) {
                out.add(e->arg);
            }
        }
        for (const auto &[key, hook] : hooks_) {
            out.add(&hook, sizeof(hook));
        }
    }
    receive_lines_version_ = version;
}

// Handles what the receive side published, unless another thread is at it
// (false then). Only one thread consumes the ring at a time; one that stops
// with datagrams left behind (published while it let go) wakes the
// processing side for them.
bool reception_flow::consume_published() {
    bool idle = false;
    if (!consuming_.compare_exchange_strong(idle, true)) {
        return false;
    }
    consume(rce_flags_);
    consuming_.store(false);
    if (ring_.backlog() != 0) {
        tasks_->wake(task_id_);
    }
    return true;
}

// Handles what the receive side published; the caller is the only consumer.
void reception_flow::consume(int rce_flags) {
    const bool resume = ring_.consume([&](uint8_t *data, size_t size, const sockaddr_in6 &from) {
        if (size != 0) {  // 0: dropped on receipt, counted there
            process_packet(data, size, rce_flags, &from);
        }
    });
    if (resume) {
        resume_receiving();
    }
}

void reception_flow::processor(int rce_flags) {
    for (;;) {
        {
            // Announced before the check: a receiver that publishes after
            // the check sees the flag and notifies under the lock.
            std::unique_lock<std::mutex> lock(wake_lock_);
            processor_waiting_.store(true);
            wake_.wait(lock, [this] { return should_stop_.load() || ring_.backlog() != 0; });
            processor_waiting_.store(false);
        }
        if (should_stop_.load()) {
            return;
        }
        consume(rce_flags);
    }
}

// --- dispatch ---------------------------------------------------------------

// Called with handlers_lock_ held. Each kind is looked up by the SSRC it
// carries at its own place: an RTP timestamp that happens to equal another
// stream's SSRC cannot send the packet to that stream.
reception_flow::handler *reception_flow::find_handler(const datagram_class &c) {
    if (handlers_.size() == 1) {
        return &handlers_.begin()->second;
    }
    auto it = handlers_.find(c.ssrc);
    return it == handlers_.end() ? nullptr : &it->second;
}

// Called with the threads stopped.
void reception_flow::learn_own_addresses() {
    own_port_ = 0;
    own_v4_.clear();
    own_v6_.clear();
    sockaddr_in6 bound{};
    socklen_t length = sizeof(bound);
    if (!socket_->on_system_calls() ||
        ::getsockname(socket_->get_raw_socket(), reinterpret_cast<sockaddr *>(&bound), &length) !=
            0) {
        return;
    }
    own_port_ = bound.sin6_family == AF_INET ? reinterpret_cast<sockaddr_in &>(bound).sin_port
                                             : bound.sin6_port;
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return;
    }
    for (const ifaddrs *a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr) {
            continue;
        }
        if (a->ifa_addr->sa_family == AF_INET) {
            own_v4_.push_back(reinterpret_cast<const sockaddr_in *>(a->ifa_addr)->sin_addr);
        } else if (a->ifa_addr->sa_family == AF_INET6) {
            own_v6_.push_back(reinterpret_cast<const sockaddr_in6 *>(a->ifa_addr)->sin6_addr);
        }
    }
    ::freeifaddrs(list);
}

bool reception_flow::is_own_address(const sockaddr_in6 &from) const {
    if (own_port_ == 0) {
        return false;
    }
    if (from.sin6_family == AF_INET) {
        const auto &v4 = reinterpret_cast<const sockaddr_in &>(from);
        return v4.sin_port == own_port_ &&
               std::any_of(own_v4_.begin(), own_v4_.end(),
                           [&](const in_addr &a) { return a.s_addr == v4.sin_addr.s_addr; });
    }
    return from.sin6_family == AF_INET6 && from.sin6_port == own_port_ &&
           std::any_of(own_v6_.begin(), own_v6_.end(), [&](const in6_addr &a) {
               return std::memcmp(&a, &from.sin6_addr, sizeof(a)) == 0;
           });
}

// Called with handlers_lock_ held. RFC 3550 section 8.2: a packet carrying
// the stream's own SSRC is either our own, looped back, or another
// participant's that chose the same SSRC.
bool reception_flow::carries_own_ssrc(handler &h, const datagram_class &c,
                                      const sockaddr_in6 *from) {
    if (!h.local || c.ssrc != h.local->load(std::memory_order_relaxed) ||
        c.kind == datagram_kind::zrtp) {
        return false;
    }
    if (from != nullptr && is_own_address(*from)) {
        dropped_own_.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    collisions_.fetch_add(1, std::memory_order_relaxed);
    if (h.on_collision != nullptr) {
        h.on_collision(h.collision_arg);
    }
    return true;
}

void reception_flow::process_packet(uint8_t *packet, size_t size, int rce_flags,
                                    const sockaddr_in6 *from) {
    const datagram_class c = classify_datagram(packet, size);
    if (c.kind == datagram_kind::not_rtp) {
        dropped_not_rtp_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    std::lock_guard<std::mutex> guard(handlers_lock_);
    handler *h = find_handler(c);
    // A lone stream takes any SSRC: only from sources that proved valid once
    // one has (streams told apart by SSRC are filtered by their look-up).
    if (h != nullptr && carries_own_ssrc(*h, c, from)) {
        return;
    }
    if (h != nullptr && c.kind == datagram_kind::zrtp && !zrtp_source_ok(*h, from)) {
        dropped_zrtp_foreign_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (h != nullptr && c.kind == datagram_kind::rtp && handlers_.size() == 1 &&
        (h->rtx_pt < 0 || (packet[1] & 0x7F) != h->rtx_pt) && !sources_.admit(c.ssrc, c.seq)) {
        dropped_unvalidated_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (h != nullptr) {
        // Each stream's own flags gate its chain and reach its stages.
        dispatch(*h, c, packet, size, h->has_flags ? h->flags : rce_flags);
    }
}

// Called with handlers_lock_ held.
void reception_flow::dispatch(handler &h, const datagram_class &c, uint8_t *packet, size_t size,
                              int rce_flags) {
    frame::rtp_frame *out = nullptr;
    ++h.counts.datagrams;
    h.counts.bytes += size;
    if (c.kind == datagram_kind::rtcp) {
        // RTCP multiplexed on the RTP port (RFC 5761 section 4).
        if ((rce_flags & RCE_RTCP_ON_RTP_PORT) && h.mux_rtcp_stage.function != nullptr) {
            h.mux_rtcp_stage.function(h.mux_rtcp_stage.arg, rce_flags, packet, size, &out);
        } else {
            // Counted with what the port does not take.
            dropped_not_rtp_.fetch_add(1, std::memory_order_relaxed);
            LOG_WARN_LIMITED_AS(
                rtcp_warning_, "process_packet",
                "Received RTCP packet but RTCP MUX is not enabled or handler not installed");
        }
    } else if (c.kind == datagram_kind::zrtp) {
        if (h.zrtp_stage.function != nullptr) {
            h.zrtp_stage.function(h.zrtp_stage.arg, rce_flags, packet, size, &out);
        }
    } else {
        RTP_ERROR r = RTP_PKT_CHANGED;
        if (h.header_stage.function != nullptr) {
            r = h.header_stage.function(h.header_stage.arg, rce_flags, packet, size, &out);
            if (r == RTP_FAILED) {
                ++h.counts.malformed;  // CSRCs, extension or padding do not fit
            }
        }
        if ((rce_flags & RCE_SRTP) && r == RTP_PKT_CHANGED && h.decrypt_stage.function != nullptr) {
            r = h.decrypt_stage.function(h.decrypt_stage.arg, rce_flags, packet, size, &out);
        }
        const bool retransmission =
            out != nullptr && h.rtx_pt >= 0 && out->header.payload_type == h.rtx_pt;
        // Only packets that passed parsing and SRTP count: a forged or
        // damaged packet must not move the reception statistics.
        if ((rce_flags & RCE_WITH_RTCP) && continues_chain(r) && !retransmission &&
            h.statistics_stage.function != nullptr) {
            r = h.statistics_stage.function(h.statistics_stage.arg, rce_flags, packet, size, &out);
        }
        // Duplicates count in the statistics (RFC 3550 section 6.4.1), then
        // go no further.
        if (continues_chain(r) && out != nullptr && (h.rtx_pt >= 0 || h.observer != nullptr) &&
            !recover(h, out, retransmission)) {
            frame::dealloc_frame(out);
            out = nullptr;
            r = RTP_SUCCESS;
        }
        // A payload of padding only (RFC 3550 section 5.1) is never media.
        const bool padding_only =
            out != nullptr && out->payload_length == 0 && out->padding_length > 0;
        if (continues_chain(r) && h.depacketize_stage.function != nullptr && out != nullptr &&
            !padding_only) {
            r = h.depacketize_stage.function(h.depacketize_stage.arg, rce_flags, packet, size,
                                             &out);
        }
        if (r == RTP_FRAMES_READY && h.getter) {
            // The depacketizer took its frame over; collect what it completed.
            frame::rtp_frame *ready = nullptr;
            while (h.getter(&ready) == RTP_FRAME_READY) {
                h.counts.frames_delivered += return_frame(ready) ? 1 : 0;
                ready = nullptr;
            }
        } else if (r == RTP_FRAME_READY && out != nullptr) {
            h.counts.frames_delivered += return_frame(out) ? 1 : 0;
            out = nullptr;
        }
    }
    // A frame no stage delivered or took over (a failed decryption, say):
    // stages that keep a frame clear the slot, so what is left is ours.
    if (out != nullptr) {
        frame::dealloc_frame(out);
    }
}

// Called with handlers_lock_ held.
bool reception_flow::recover(handler &h, frame::rtp_frame *packet, bool retransmission) {
    if (retransmission) {
        // RFC 4588 section 4: the OSN leads the payload.
        if (!h.have_media || packet->payload_length < 2) {
            ++h.counts.retransmissions_dropped;
            return false;
        }
        packet->header.sequence = read_be16(packet->payload);
        packet->header.ssrc = h.media_ssrc;
        packet->header.payload_type = h.media_pt & 0x7F;
        packet->payload_length -= 2;
        std::memmove(packet->payload, packet->payload + 2, packet->payload_length);
        packet->datagram = nullptr;  // it no longer describes the packet
        ++h.counts.retransmissions;
    } else {
        h.have_media = true;
        h.media_ssrc = packet->header.ssrc;
        h.media_pt = static_cast<uint8_t>(packet->header.payload_type);
    }
    if (h.observer != nullptr && !h.observer(h.observer_arg, *packet, retransmission)) {
        ++h.counts.duplicates;
        return false;
    }
    return true;
}

RTP_ERROR reception_flow::set_loss_recovery(const shared_ssrc &remote_ssrc, int rtx_payload_type,
                                            packet_observer observer, void *arg) {
    if (rtx_payload_type > 127) {
        return RTP_BAD_ARGUMENT;
    }
    std::lock_guard<std::mutex> guard(handlers_lock_);
    handler &h = handlers_[remote_ssrc->load()];
    register_key(remote_ssrc->load());
    h.rtx_pt = rtx_payload_type < 0 ? -1 : rtx_payload_type;
    h.observer = observer;
    h.observer_arg = arg;
    routes_version_.fetch_add(1);
    return RTP_SUCCESS;
}

// Called on the processing thread with handlers_lock_ held.
bool reception_flow::return_frame(frame::rtp_frame *frame) {
    {
        std::lock_guard<std::mutex> guard(hooks_lock_);
        hook_entry *hook = nullptr;
        // A single hook takes every frame only while the flow serves a single
        // stream; otherwise another stream's frames would vanish into it.
        if (hooks_.size() == 1 && handlers_.size() <= 1) {
            hook = &hooks_.begin()->second;
        } else {
            auto it = hooks_.find(frame->header.ssrc);
            if (it != hooks_.end()) {
                hook = &it->second;
            }
        }
        if (hook != nullptr) {
            hook->hook(hook->arg, frame);  // the hook owns the frame now
            return true;
        }
    }
    // With several streams, a frame whose SSRC none of them expects can never
    // be pulled: release it instead of letting the queue grow.
    if (handlers_.size() > 1 && handlers_.find(frame->header.ssrc) == handlers_.end()) {
        frame::dealloc_frame(frame);
        return false;
    }
    mailbox_.deliver(frame);
    return true;
}

bool reception_flow::stream_counts(const shared_ssrc &remote_ssrc, stream_reception_counts &out) {
    std::lock_guard<std::mutex> guard(handlers_lock_);
    auto it = handlers_.find(remote_ssrc->load());
    if (it == handlers_.end()) {
        return false;
    }
    out = it->second.counts;
    return true;
}

// --- registration -----------------------------------------------------------

RTP_ERROR reception_flow::install_handler(int kind, const shared_ssrc &remote_ssrc,
                                          reception_handler function, void *arg) {
    if (kind < HANDLER_RTP_HEADER || kind > HANDLER_RTCP_STATS) {
        LOG_ERROR("Invalid type, only types 1-5 are allowed");
        return RTP_BAD_ARGUMENT;
    }
    std::lock_guard<std::mutex> guard(handlers_lock_);
    handler &h = handlers_[remote_ssrc->load()];
    register_key(remote_ssrc->load());
    handler_entry *stages[] = {&h.header_stage,  &h.mux_rtcp_stage,    &h.zrtp_stage,
                               &h.decrypt_stage, &h.depacketize_stage, &h.statistics_stage};
    *stages[kind - 1] = handler_entry{function, arg};
    routes_version_.fetch_add(1);
    return RTP_SUCCESS;
}

RTP_ERROR reception_flow::install_getter(const shared_ssrc &remote_ssrc, frame_getter getter) {
    std::lock_guard<std::mutex> guard(handlers_lock_);
    handlers_[remote_ssrc->load()].getter = std::move(getter);
    register_key(remote_ssrc->load());
    routes_version_.fetch_add(1);
    return RTP_SUCCESS;
}

RTP_ERROR reception_flow::remove_handlers(const shared_ssrc &remote_ssrc) {
    std::lock_guard<std::mutex> guard(handlers_lock_);
    const bool removed = handlers_.erase(remote_ssrc->load()) > 0;
    unregister_key(remote_ssrc->load());
    routes_version_.fetch_add(1);
    return removed ? RTP_SUCCESS : RTP_BAD_ARGUMENT;
}

RTP_ERROR reception_flow::set_stream_flags(const shared_ssrc &remote_ssrc, int rce_flags) {
    std::lock_guard<std::mutex> guard(handlers_lock_);
    handler &h = handlers_[remote_ssrc->load()];
    register_key(remote_ssrc->load());
    h.has_flags = true;
    h.flags = rce_flags;
    routes_version_.fetch_add(1);
    return RTP_SUCCESS;
}

RTP_ERROR reception_flow::set_zrtp_peer(const shared_ssrc &remote_ssrc, const sockaddr *peer) {
    if (peer == nullptr || (peer->sa_family != AF_INET && peer->sa_family != AF_INET6)) {
        return RTP_BAD_ARGUMENT;
    }
    std::lock_guard<std::mutex> guard(handlers_lock_);
    handler &h = handlers_[remote_ssrc->load()];
    register_key(remote_ssrc->load());
    h.zrtp_peer = sockaddr_in6{};
    std::memcpy(&h.zrtp_peer, peer,
                peer->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
    h.has_zrtp_peer = true;
    routes_version_.fetch_add(1);
    return RTP_SUCCESS;
}

// A spoofed ZRTP datagram from elsewhere must not reach the agreement.
bool reception_flow::zrtp_source_ok(const handler &h, const sockaddr_in6 *from) {
    if (!h.has_zrtp_peer || from == nullptr) {
        return true;
    }
    if (from->sin6_family != h.zrtp_peer.sin6_family) {
        return false;
    }
    if (from->sin6_family == AF_INET) {
        const auto &a = reinterpret_cast<const sockaddr_in &>(*from);
        const auto &b = reinterpret_cast<const sockaddr_in &>(h.zrtp_peer);
        return a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
    }
    return from->sin6_port == h.zrtp_peer.sin6_port &&
           std::memcmp(&from->sin6_addr, &h.zrtp_peer.sin6_addr, sizeof(in6_addr)) == 0;
}

RTP_ERROR reception_flow::set_local_source(const shared_ssrc &remote_ssrc, shared_ssrc local,
                                           collision_hook on_collision, void *arg) {
    std::lock_guard<std::mutex> guard(handlers_lock_);
    handler &h = handlers_[remote_ssrc->load()];
    register_key(remote_ssrc->load());
    h.local = std::move(local);
    h.on_collision = on_collision;
    h.collision_arg = arg;
    routes_version_.fetch_add(1);
    return RTP_SUCCESS;
}

RTP_ERROR reception_flow::install_receive_hook(void *arg, receive_hook hook, uint32_t remote_ssrc) {
    if (hook == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    std::lock_guard<std::mutex> guard(hooks_lock_);
    hooks_[remote_ssrc] = hook_entry{arg, hook};
    routes_version_.fetch_add(1);
    return RTP_SUCCESS;
}

bool reception_flow::clear_stream_from_flow(const shared_ssrc &remote_ssrc) {
    const uint32_t key = remote_ssrc->load();
    bool empty = false;
    {
        std::scoped_lock guard(handlers_lock_, hooks_lock_);
        hooks_.erase(key);
        handlers_.erase(key);
        empty = handlers_.empty() && hooks_.empty();
        unregister_key(key);
        routes_version_.fetch_add(1);
    }
    // The leaving stream's frames can no longer be pulled.
    mailbox_.release_frames_of(key, empty);
    return empty;
}

RTP_ERROR reception_flow::update_remote_ssrc(uint32_t old_ssrc, uint32_t new_ssrc) {
    std::scoped_lock guard(handlers_lock_, hooks_lock_);
    auto h = handlers_.find(old_ssrc);
    if (h != handlers_.end()) {
        handler moved = std::move(h->second);
        handlers_.erase(h);
        handlers_[new_ssrc] = std::move(moved);
    }
    auto k = hooks_.find(old_ssrc);
    if (k != hooks_.end()) {
        hook_entry moved = k->second;
        hooks_.erase(k);
        hooks_[new_ssrc] = moved;
    }
    if (handlers_.count(new_ssrc) != 0) {
        unregister_key(old_ssrc);
        register_key(new_ssrc);
    }
    routes_version_.fetch_add(1);
    return RTP_SUCCESS;
}

// Called with handlers_lock_ held; keys of registered streams, readable
// by waiting pulls. A stream that comes or goes starts source validation
// afresh: the sources a stream that left proved valid say nothing of the
// one that stays.
void reception_flow::register_key(uint32_t key) {
    mailbox_.register_key(key);
    sources_ = source_filter{};
}

void reception_flow::unregister_key(uint32_t key) {
    mailbox_.unregister_key(key);
    sources_ = source_filter{};
}

// --- pulling ----------------------------------------------------------------

frame::rtp_frame *reception_flow::pull_frame() {
    return mailbox_.take(nullptr, false, -1);
}

frame::rtp_frame *reception_flow::pull_frame(ssize_t timeout_ms) {
    return mailbox_.take(nullptr, false, timeout_ms < 0 ? 0 : timeout_ms);
}

frame::rtp_frame *reception_flow::pull_frame(const shared_ssrc &remote_ssrc) {
    return mailbox_.take(&remote_ssrc, true, -1);
}

frame::rtp_frame *reception_flow::pull_frame(ssize_t timeout_ms, const shared_ssrc &remote_ssrc) {
    return mailbox_.take(&remote_ssrc, true, timeout_ms < 0 ? 0 : timeout_ms);
}

frame::rtp_frame *reception_flow::pull_stream_frame(const shared_ssrc &stream_ssrc, bool by_ssrc,
                                                    ssize_t timeout_ms) {
    return mailbox_.take(&stream_ssrc, by_ssrc, timeout_ms);
}

void reception_flow::clear_frames() {
    mailbox_.clear();
}

void reception_flow::set_queue_limits(int64_t max_age_ms, size_t max_bytes) {
    mailbox_.set_limits(max_age_ms, max_bytes);
}

}  // namespace tessal
