#include "transport/reception_flow.hh"

#include <sys/eventfd.h>
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

constexpr size_t k_min_rtp_size = 12;
// Re-check interval of a waiting pull, a backstop only: every delivered
// frame notifies.
constexpr auto k_wake_backstop = std::chrono::milliseconds(100);

bool continues_chain(RTP_ERROR r) {
    return r == RTP_PKT_SKIPPED || r == RTP_PKT_CHANGED;
}

int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// What a queued frame costs: its record and its payload.
size_t frame_bytes(const frame::rtp_frame *f) {
    return sizeof(frame::rtp_frame) + f->payload_length;
}

}  // namespace

reception_flow::reception_flow(bool /*ipv6*/) {
    // Wakes the receiver out of its wait when the flow stops; without it the
    // receiver falls back to waking every poll time-out.
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    create_ring_buffer();
}

reception_flow::~reception_flow() {
    stop();
    clear_frames();
    if (wake_fd_ >= 0) {
        ::close(wake_fd_);
    }
}

// --- ring -------------------------------------------------------------------

void reception_flow::create_ring_buffer() {
    // Threads are not running here: the constructor, or a rebuild between
    // stop_threads() and start_threads().
    ring_.clear();
    const size_t count = payload_size_ > 0 && buffer_size_ > 0
                             ? static_cast<size_t>(buffer_size_) / payload_size_
                             : 0;
    ring_.resize(count);
    // One block, not written here: its pages become resident only as
    // datagrams fill them, so an idle or send-only flow costs little memory.
    ring_memory_.reset();
    ring_memory_.reset(new uint8_t[count * payload_size_]);
    for (size_t i = 0; i < count; ++i) {
        ring_[i].data = ring_memory_.get() + i * payload_size_;
        ring_[i].read = 0;
    }
    scratch_.reset(new uint8_t[payload_size_ > 0 ? payload_size_ : 1]);
    written_.store(0);
    processed_.store(0);
    base_.store(0);
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
        drain_published();
    }
    const ssize_t old_buffer = buffer_size_;
    const size_t old_payload = payload_size_;
    change();
    try {
        create_ring_buffer();
    } catch (const std::bad_alloc &) {
        // Keep receiving with the old geometry.
        LOG_ERROR_AS("rebuild_ring", "Cannot allocate the receive ring, keeping the old one");
        buffer_size_ = old_buffer;
        payload_size_ = old_payload;
        create_ring_buffer();
    }
    if (was_running) {
        start_threads();
        pausing_.store(false);
    }
}

// Called with both threads stopped.
void reception_flow::drain_published() {
    const size_t slots = ring_.size();
    uint64_t p = processed_.load();
    const uint64_t w = written_.load();
    for (; p != w && slots > 0; ++p) {
        slot &s = slot_of(p);
        if (s.read > 0) {  // 0: dropped as oversize
            process_packet(s.data, s.read, rce_flags_);
        }
        s.read = 0;
    }
    processed_.store(p);
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
    return ring_.size();
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
        clear_frames();
    }
    return RTP_SUCCESS;
}

bool reception_flow::is_running() const {
    std::lock_guard<std::mutex> guard(start_stop_lock_);
    return running_;
}

// Called with start_stop_lock_ held. A socket on the system's calls is
// served by the shared receive threads; any other (a test's fake) by a
// receiver and a processing thread of the flow's own.
RTP_ERROR reception_flow::start_threads() {
    should_stop_.store(false);
    gro_ = socket_->enable_udp_gro();
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
    if (pool_id_ != 0) {
        // Receiving first, then processing: no callback of ours runs after
        // this; what was published and not yet handled stays in the ring.
        pool_->remove(pool_id_);
        pool_id_ = 0;
        tasks_->remove(task_id_);
        task_id_ = 0;
        pool_.reset();
        tasks_.reset();
        { std::lock_guard<std::mutex> frames_guard(frames_lock_); }
        frames_cv_.notify_all();
        running_ = false;
        return;
    }
    if (wake_fd_ >= 0) {
        const uint64_t one = 1;
        (void)!::write(wake_fd_, &one, sizeof(one));
    }
    {
        // Taking the lock orders the flag before the processing thread's
        // predicate check, so the notification cannot fall between the check
        // and the wait.
        std::lock_guard<std::mutex> wake_guard(wake_lock_);
    }
    wake_.notify_all();
    { std::lock_guard<std::mutex> frames_guard(frames_lock_); }
    frames_cv_.notify_all();
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
    running_ = false;
}

// --- threads ----------------------------------------------------------------

void reception_flow::receiver(std::shared_ptr<socket> sock) {
    while (!should_stop_.load()) {
        // Idle flows sleep until a datagram or stop() arrives.
        const RTP_ERROR ready =
            sock->wait_readable(wake_fd_ >= 0 ? -1 : poll_timeout_ms_.load(), wake_fd_);
        if (ready == RTP_FAILED) {
            LOG_ERROR("poll(2) failed");
            // Both threads end; the next start() begins again.
            should_stop_.store(true);
            { std::lock_guard<std::mutex> wake_guard(wake_lock_); }
            wake_.notify_all();
            return;
        }
        if (ready != RTP_SUCCESS) {
            continue;  // time-out or EINTR: re-check the stop flag and wait again
        }
        bool published = false;
        bool left_over = false;
        fill_ring(*sock, -1, published, left_over);
        // The processing thread is woken only when it sleeps: while it works
        // it sees the new datagrams on its own (written_ is re-read).
        if (published && processor_waiting_.load()) {
            { std::lock_guard<std::mutex> wake_guard(wake_lock_); }
            wake_.notify_one();
        }
    }
}

// Takes datagrams off the socket into free ring slots, one system call per
// batch, until the socket is empty, the flow stops, or `max_batches` batches
// (< 0: no limit) went by; with the ring full, datagrams are taken off and
// counted as dropped instead. Sets `published` when the ring got new
// datagrams, and `left_over` when it stopped at `max_batches` with the socket
// maybe not yet empty. False after a receive failure, which stops the flow.
bool reception_flow::fill_ring(socket &sock, int max_batches, bool &published, bool &left_over) {
    const size_t slots = ring_.size();
    const size_t slot_size = payload_size_;
    receive_headers &h = headers_of_thread();
    for (int turn = 0; !should_stop_.load() && slots > 0; ++turn) {
        if (max_batches >= 0 && turn >= max_batches) {
            left_over = true;
            break;
        }
        const uint64_t w = written_.load(std::memory_order_relaxed);
        const uint64_t in_use = w - processed_.load(std::memory_order_acquire);
        const size_t free_slots = slots > in_use ? static_cast<size_t>(slots - in_use) : 0;
        if (free_slots == 0) {
            if (!drain_one_dropped(sock, slot_size)) {
                return !should_stop_.load();
            }
            continue;
        }
        if (in_use == 0 && (w - base_.load(std::memory_order_relaxed)) % slots != 0) {
            base_.store(w, std::memory_order_relaxed);  // back to the first slot
        }
        uint8_t *overflow = gro_ ? gro_overflow() : nullptr;
        // With GRO, each message may be a run of up to k_gro_max_run
        // datagrams: take no more messages than the free slots can hold
        // whole, so that a burst waits in the socket rather than being
        // dropped while the ring has room for it a moment later.
        const size_t messages =
            overflow != nullptr ? std::max<size_t>(1, free_slots / k_gro_max_run) : free_slots;
        // Each message asked for costs a header to prepare, and a low-rate
        // flow finds one datagram at most wake-ups: ask for about twice what
        // the last receive got, doubling while receives come back full.
        const auto batch =
            static_cast<unsigned>(std::min(messages, std::min(k_receive_batch, receive_hint_)));
        // Slot by slot from w's, without a division or a read of the slot
        // table per message: most receives of a low-rate flow get one.
        const size_t first =
            static_cast<size_t>((w - base_.load(std::memory_order_relaxed)) % slots);
        h.prepare(batch, overflow);
        size_t index = first;
        for (unsigned i = 0; i < batch; ++i, index = index + 1 == slots ? 0 : index + 1) {
            // Only the slot and what the kernel wrote back change between
            // receives: the rest of each header was laid out by prepare().
            iovec &to_slot = h.iov[overflow != nullptr ? 2 * i : i];
            to_slot.iov_base = ring_memory_.get() + index * slot_size;
            to_slot.iov_len = slot_size;
            if (overflow != nullptr) {
                h.msgs[i].msg_hdr.msg_controllen = h.control[i].size();
            }
        }
        int got = 0;
        // MSG_TRUNC: learn the real length of a datagram that did not fit.
        const RTP_ERROR rc = sock.recv_batch(h.msgs.data(), batch, MSG_TRUNC, &got);
        if (rc == RTP_NO_DATA) {
            break;
        }
        if (rc != RTP_SUCCESS) {
            LOG_ERROR_AS("receiver", "recvfrom(2) failed! Reception flow cannot continue %d!", rc);
            should_stop_.store(true);
            { std::lock_guard<std::mutex> frames_guard(frames_lock_); }
            frames_cv_.notify_all();
            return false;
        }
        receive_hint_ = std::max(k_min_receive_batch, 2 * static_cast<size_t>(got));
        size_t publish = static_cast<size_t>(got);
        // A message came with a control message only if it is a coalesced
        // run (UDP_GRO); without one, each datagram lies in its own slot.
        bool coalesced = false;
        for (int i = 0; overflow != nullptr && i < got && !coalesced; ++i) {
            coalesced = h.msgs[static_cast<size_t>(i)].msg_hdr.msg_controllen != 0;
        }
        if (coalesced) {
            publish =
                spread_coalesced(h.msgs.data(), w, static_cast<size_t>(got), free_slots, overflow);
        } else {
            index = first;
            for (size_t i = 0; i < publish; ++i, index = index + 1 == slots ? 0 : index + 1) {
                size_t len = h.msgs[i].msg_len;
                if (len > slot_size) {
                    count_oversize(len);  // published empty: the processing side skips it
                    len = 0;
                }
                ring_[index].read = len;
            }
        }
        written_.store(w + publish, std::memory_order_release);
        published = true;
        if (max_batches >= 0 && static_cast<unsigned>(got) < batch) {
            break;  // the socket is likely empty: give the thread back
        }
    }
    return true;
}

void reception_flow::count_oversize(size_t len) {
    dropped_oversize_.fetch_add(1);
    LOG_WARN_LIMITED_AS(oversize_warning_, "receiver",
                        "Dropped a %zu-byte datagram: larger than the %zu-byte receive buffer", len,
                        payload_size_);
}

// Not inlined, as gro_overflow(): a shared library reaches a thread_local
// through a call to the dynamic linker, paid once per caller this way.
[[gnu::noinline]] receive_headers &reception_flow::headers_of_thread() {
    thread_local receive_headers headers;
    return headers;
}

// Per receiving thread (a flow is filled by one thread at a time): room for
// the coalesced runs of one batch beyond their first slots. Its pages become
// resident only where runs arrive.
[[gnu::noinline]] uint8_t *reception_flow::gro_overflow() {
    thread_local std::unique_ptr<uint8_t[]> area;
    if (!area) {
        area.reset(new (std::nothrow) uint8_t[k_receive_batch * k_gro_overflow]);
    }
    return area.get();
}

// UDP GRO (the UDP_GRO socket option): a received message may be a run of
// datagrams of one size, told by a UDP_GRO control message, the last one
// possibly shorter; it fills its slot and goes on into the overflow. Each
// datagram gets a slot of its own, in order: the messages are spread from
// the last to the first, so that no slot is written before what it held has
// been moved on. Datagrams beyond the free slots are counted as dropped.
// Returns the number of slots published from w on.
size_t reception_flow::spread_coalesced(const mmsghdr *msgs, uint64_t w, size_t messages,
                                        size_t free_slots, const uint8_t *overflow) {
    const size_t slot_size = payload_size_;
    struct run {
        size_t len;
        size_t segment;  // 0: one datagram
        size_t count;    // slots it takes
        size_t first;    // its first slot, from w
    };
    std::array<run, k_receive_batch> runs;  // each of the first `messages` is set below
    size_t used = 0;
    for (size_t i = 0; i < messages; ++i) {
        run &r = runs[i];
        r.len = msgs[i].msg_len;
        r.segment = 0;
        msghdr h = msgs[i].msg_hdr;
        for (cmsghdr *c = CMSG_FIRSTHDR(&h); c != nullptr; c = CMSG_NXTHDR(&h, c)) {
            if (c->cmsg_level == IPPROTO_UDP && c->cmsg_type == k_udp_gro &&
                c->cmsg_len >= CMSG_LEN(sizeof(int))) {
                int segment = 0;
                std::memcpy(&segment, CMSG_DATA(c), sizeof(segment));
                r.segment = segment > 0 ? static_cast<size_t>(segment) : 0;
            }
        }
        if (r.segment == 0 || r.segment >= r.len) {
            r.segment = 0;
            r.count = 1;
        } else {
            r.count = (r.len + r.segment - 1) / r.segment;
        }
        const size_t datagram = r.segment == 0 ? r.len : r.segment;
        if (datagram > slot_size) {
            for (size_t k = 0; k < r.count; ++k) {
                count_oversize(datagram);
            }
            r.count = 0;  // nothing of it is published
        }
        r.first = used;
        const size_t room = free_slots - std::min(free_slots, used);
        if (r.count > room) {
            dropped_full_.fetch_add(r.count - room);
            r.count = room;
        }
        used += r.count;
    }
    const auto byte_at = [&](size_t i, size_t offset) -> const uint8_t * {
        // Byte `offset` of message i: in its slot, then in its overflow.
        return offset < slot_size ? slot_of(w + i).data + offset
                                  : overflow + i * k_gro_overflow + (offset - slot_size);
    };
    for (size_t i = messages; i-- > 0;) {
        const run &r = runs[i];
        if (r.segment == 0) {
            if (r.count == 1 && r.first != i) {
                std::memcpy(slot_of(w + r.first).data, slot_of(w + i).data, r.len);
            }
            if (r.count == 1) {
                slot_of(w + r.first).read = r.len;
            }
            continue;
        }
        for (size_t k = r.count; k-- > 0;) {
            const size_t from = k * r.segment;
            const size_t len = std::min(r.segment, r.len - from);
            slot &to = slot_of(w + r.first + k);
            if (r.first + k != i || from != 0) {
                // The segment may straddle the end of the slot.
                const size_t head = from < slot_size ? std::min(len, slot_size - from) : 0;
                if (head > 0) {
                    std::memmove(to.data, byte_at(i, from), head);
                }
                if (len > head) {
                    std::memcpy(to.data + head, byte_at(i, from + head), len - head);
                }
            }
            to.read = len;
        }
    }
    return used;
}

// On a shared receive thread, whenever the socket is readable: fills free
// ring slots with batches, as the flow's own receiver would, and hands them
// to the processing side. After a bounded number of batches the socket goes
// back to the pool (it fires again at once if datagrams are left), so that
// one busy flow cannot starve the others. False stops the watching (a
// receive failure).
io_pool::outcome reception_flow::drain_socket() {
    constexpr int k_batches_per_turn = 16;
    // Asked for before the receive: the lines arrive while it runs.
    receive_lines_.prefetch();
    refresh_receive_lines();
    bool published = false;
    bool left_over = false;
    const bool ok = fill_ring(*socket_, k_batches_per_turn, published, left_over);
    if (published) {
        // A small backlog is handled right here, sparing the hand-off to a
        // processing thread; a burst goes there, so that this thread keeps
        // taking datagrams off the sockets.
        const uint64_t backlog =
            written_.load(std::memory_order_relaxed) - processed_.load(std::memory_order_acquire);
        if (backlog > k_receive_batch || !consume_published()) {
            tasks_->wake(task_id_);
        }
    }
    if (!ok) {
        return io_pool::outcome::stop;
    }
    return left_over ? io_pool::outcome::more : io_pool::outcome::drained;
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
    out.add(&ring_, sizeof(ring_));
    out.add(ring_.data(), sizeof(slot));
    out.add(&written_, sizeof(written_));
    out.add(&processed_, sizeof(processed_));
    out.add(&base_, sizeof(base_));
    out.add(&receive_hint_, sizeof(receive_hint_));
    out.add(&payload_size_, sizeof(payload_size_));
    out.add(&consuming_, sizeof(consuming_));
    out.add(&socket_, sizeof(socket_));
    out.add(socket_.get());
    if (!ring_.empty()) {
        out.add(ring_.front().data);  // where a flow that keeps up receives
    }
    out.add(&handlers_, sizeof(handlers_));
    out.add(&handlers_lock_, sizeof(handlers_lock_));
    out.add(&hooks_, sizeof(hooks_));
    out.add(&hooks_lock_, sizeof(hooks_lock_));
    if (handlers_.size() <= k_prefetched_streams) {
        for (const auto &[key, h] : handlers_) {
            out.add(&h, sizeof(h));
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
    process_published();
    consuming_.store(false);
    if (written_.load() != processed_.load()) {
        tasks_->wake(task_id_);
    }
    return true;
}

// Handles what the receive side published; the caller is the only consumer.
void reception_flow::process_published() {
    uint64_t p = processed_.load(std::memory_order_relaxed);
    uint64_t w = written_.load(std::memory_order_acquire);
    const size_t slots = ring_.size();
    // Slot by slot, with a division only where base_ may have moved: the
    // receiver moves it only while the ring is empty.
    size_t index = p != w ? slot_index(p) : 0;
    while (p != w) {
        slot &sl = ring_[index];
        if (sl.read > 0) {  // 0: dropped as oversize
            process_packet(sl.data, sl.read, rce_flags_);
        }
        sl.read = 0;
        processed_.store(++p, std::memory_order_release);
        index = index + 1 == slots ? 0 : index + 1;
        if (p == w) {
            w = written_.load(std::memory_order_acquire);
            if (p != w) {
                index = slot_index(p);
            }
        }
    }
}

// The ring is full: take one datagram off the socket into the scratch buffer
// and count it as dropped, never touching a slot the processing thread has not
// finished. False when nothing was queued or the receive failed.
bool reception_flow::drain_one_dropped(socket &sock, size_t slot_size) {
    int got = 0;
    const RTP_ERROR rc = sock.recvfrom(scratch_.get(), slot_size, MSG_DONTWAIT | MSG_TRUNC, &got);
    if (rc == RTP_NO_DATA) {
        return false;
    }
    if (rc != RTP_SUCCESS) {
        LOG_ERROR_AS("receiver", "recvfrom(2) failed! Reception flow cannot continue %d!", rc);
        should_stop_.store(true);
        return false;
    }
    dropped_full_.fetch_add(1);
    return true;
}

void reception_flow::processor(int rce_flags) {
    for (;;) {
        {
            // Announced before the check: a receiver that publishes after
            // the check sees the flag and notifies under the lock.
            std::unique_lock<std::mutex> lock(wake_lock_);
            processor_waiting_.store(true);
            wake_.wait(lock, [this] {
                return should_stop_.load() ||
                       written_.load() != processed_.load(std::memory_order_relaxed);
            });
            processor_waiting_.store(false);
        }
        if (should_stop_.load()) {
            return;
        }
        uint64_t p = processed_.load(std::memory_order_relaxed);
        uint64_t w = written_.load(std::memory_order_acquire);
        while (p != w) {
            slot &s = slot_of(p);
            if (s.read > 0) {  // 0: dropped as oversize
                process_packet(s.data, s.read, rce_flags);
            }
            s.read = 0;
            processed_.store(++p, std::memory_order_release);
            if (p == w) {
                w = written_.load(std::memory_order_acquire);
            }
        }
    }
}

// --- dispatch ---------------------------------------------------------------

// Called with handlers_lock_ held.
// RTCP (packet types 192-223 of a consistent length, as dispatch() tells
// them) carries the sender's SSRC at bytes 4-7; RTP and ZRTP carry it at
// 8-11. Reading each kind at its own place is one look-up instead of two,
// and an RTP timestamp that happens to equal another stream's SSRC cannot
// send the packet to that stream.
bool reception_flow::is_rtcp(const uint8_t *packet, size_t size) {
    const uint8_t b1 = packet[1];
    return b1 >= 192 && b1 <= 223 && (size_t{read_be16(packet + 2)} + 1) * 4 <= size;
}

// What a datagram of at least k_min_rtp_size bytes is, by its first bytes.
reception_flow::datagram_kind reception_flow::classify(const uint8_t *packet, size_t size) {
    const uint8_t b0 = packet[0];
    const uint8_t b1 = packet[1];
    if (is_rtcp(packet, size)) {
        return datagram_kind::rtcp;
    }
    if (b0 < 64 && std::memcmp(packet + 4, "ZRTP", 4) == 0) {
        // RFC 6189 section 5: version bits 00 and the magic cookie.
        return datagram_kind::zrtp;
    }
    // Payload types 72-76 would collide with RTCP (RFC 5761 section 4).
    if ((b0 >> 6) == 2 && !((b1 & 0x7F) >= 72 && (b1 & 0x7F) <= 76)) {
        return datagram_kind::rtp;
    }
    return datagram_kind::other;
}

reception_flow::handler *reception_flow::find_handler(const uint8_t *packet, size_t size) {
    if (handlers_.size() == 1) {
        return &handlers_.begin()->second;
    }
    auto it = handlers_.find(read_be32(packet + (is_rtcp(packet, size) ? 4 : 8)));
    return it == handlers_.end() ? nullptr : &it->second;
}

void reception_flow::process_packet(uint8_t *packet, size_t size, int rce_flags) {
    if (packet == nullptr) {
        return;
    }
    if (size < k_min_rtp_size) {
        dropped_not_rtp_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    std::lock_guard<std::mutex> guard(handlers_lock_);
    handler *h = find_handler(packet, size);
    if (h != nullptr) {
        // Each stream's own flags gate its chain and reach its stages.
        dispatch(*h, packet, size, h->has_flags ? h->flags : rce_flags);
    } else if (classify(packet, size) == datagram_kind::other) {
        dropped_not_rtp_.fetch_add(1, std::memory_order_relaxed);
    }
}

// Called with handlers_lock_ held.
void reception_flow::dispatch(handler &h, uint8_t *packet, size_t size, int rce_flags) {
    frame::rtp_frame *out = nullptr;
    const datagram_kind kind = classify(packet, size);
    if (kind == datagram_kind::other) {
        dropped_not_rtp_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    // Under handlers_lock_, as every use of the stream's counts.
    ++h.counts.datagrams;
    h.counts.bytes += size;

    if (kind == datagram_kind::rtcp) {
        // RTCP multiplexed on the RTP port: RFC 5761 section 4 reserves
        // packet types 192-223 (feedback and XR included) for RTCP.
        if ((rce_flags & RCE_RTCP_ON_RTP_PORT) && h.mux_rtcp_stage.function != nullptr) {
            h.mux_rtcp_stage.function(h.mux_rtcp_stage.arg, rce_flags, packet, size, &out);
        } else {
            LOG_WARN_LIMITED_AS(
                rtcp_warning_, "process_packet",
                "Received RTCP packet but RTCP MUX is not enabled or handler not installed");
        }
    } else if (kind == datagram_kind::zrtp) {
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
        // Only packets that passed parsing and SRTP count: a forged or
        // damaged packet must not move the reception statistics.
        if ((rce_flags & RCE_WITH_RTCP) && continues_chain(r) &&
            h.statistics_stage.function != nullptr) {
            r = h.statistics_stage.function(h.statistics_stage.arg, rce_flags, packet, size, &out);
        }
        if (continues_chain(r) && h.depacketize_stage.function != nullptr && out != nullptr) {
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
    {
        std::lock_guard<std::mutex> guard(frames_lock_);
        const size_t bytes = frame_bytes(frame);
        frames_.push_back(queued_frame{frame, steady_ms(), bytes});
        queued_bytes_ += bytes;
        enforce_queue_limits(frames_.back().queued_ms);
    }
    // Waiters pull by SSRC: any of them may be the one this frame is for.
    frames_cv_.notify_all();
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
        return RTP_SUCCESS;
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
    std::lock_guard<std::mutex> guard(frames_lock_);
    for (auto it = frames_.begin(); it != frames_.end();) {
        if (it->frame->header.ssrc == key || empty) {
            const ptrdiff_t at = it - frames_.begin();
            frame::dealloc_frame(pop_queued(it));
            it = frames_.begin() + at;
        } else {
            ++it;
        }
    }
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
// under frames_lock_ by waiting pulls.
void reception_flow::register_key(uint32_t key) {
    std::lock_guard<std::mutex> guard(frames_lock_);
    registered_.insert(key);
}

void reception_flow::unregister_key(uint32_t key) {
    {
        std::lock_guard<std::mutex> guard(frames_lock_);
        registered_.erase(key);
    }
    frames_cv_.notify_all();  // a pull of the leaving stream returns
}

// --- pulling ----------------------------------------------------------------

frame::rtp_frame *reception_flow::take_frame(const shared_ssrc *stream_ssrc, bool by_ssrc,
                                             ssize_t timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : 0);
    // Our own reference: the stream may be destroyed while we wait.
    const shared_ssrc cell = stream_ssrc != nullptr ? *stream_ssrc : nullptr;
    std::unique_lock<std::mutex> lock(frames_lock_);
    for (;;) {
        if (should_stop_.load() && !pausing_.load()) {
            return nullptr;
        }
        if (cell && registered_.count(cell->load()) == 0) {
            return nullptr;  // the stream has left the flow
        }
        if (!by_ssrc) {
            if (!frames_.empty()) {
                return pop_queued(frames_.begin());
            }
        } else {
            const uint32_t wanted = cell->load();
            // A flow serving one stream queues whatever arrives; once that
            // stream pulls by SSRC, frames of other sources have no taker.
            const bool sole_stream = registered_.size() <= 1;
            for (auto it = frames_.begin(); it != frames_.end();) {
                if (it->frame->header.ssrc == wanted) {
                    return pop_queued(it);
                }
                if (sole_stream) {
                    const ptrdiff_t at = it - frames_.begin();
                    frame::dealloc_frame(pop_queued(it));
                    it = frames_.begin() + at;
                } else {
                    ++it;
                }
            }
        }
        if (timeout_ms < 0) {
            frames_cv_.wait_for(lock, k_wake_backstop);
        } else {
            if (std::chrono::steady_clock::now() >= deadline) {
                return nullptr;
            }
            frames_cv_.wait_until(lock, deadline);
        }
    }
}

frame::rtp_frame *reception_flow::pull_frame() {
    return take_frame(nullptr, false, -1);
}

frame::rtp_frame *reception_flow::pull_frame(ssize_t timeout_ms) {
    return take_frame(nullptr, false, timeout_ms < 0 ? 0 : timeout_ms);
}

frame::rtp_frame *reception_flow::pull_frame(const shared_ssrc &remote_ssrc) {
    return take_frame(&remote_ssrc, true, -1);
}

frame::rtp_frame *reception_flow::pull_frame(ssize_t timeout_ms, const shared_ssrc &remote_ssrc) {
    return take_frame(&remote_ssrc, true, timeout_ms < 0 ? 0 : timeout_ms);
}

frame::rtp_frame *reception_flow::pull_stream_frame(const shared_ssrc &stream_ssrc, bool by_ssrc,
                                                    ssize_t timeout_ms) {
    return take_frame(&stream_ssrc, by_ssrc, timeout_ms);
}

void reception_flow::clear_frames() {
    std::lock_guard<std::mutex> guard(frames_lock_);
    for (queued_frame &q : frames_) {
        frame::dealloc_frame(q.frame);
    }
    frames_.clear();
    queued_bytes_ = 0;
}

frame::rtp_frame *reception_flow::pop_queued(std::deque<queued_frame>::iterator it) {
    frame::rtp_frame *f = it->frame;
    queued_bytes_ -= it->bytes;
    frames_.erase(it);
    return f;
}

void reception_flow::set_queue_limits(int64_t max_age_ms, size_t max_bytes) {
    std::lock_guard<std::mutex> guard(frames_lock_);
    queue_max_age_ms_ = max_age_ms;
    queue_max_bytes_ = max_bytes;
    enforce_queue_limits(steady_ms());
}

// A stream nobody pulls must not make a sender able to fill our memory: the
// oldest frames go first, the newest one always stays.
void reception_flow::enforce_queue_limits(int64_t now_ms) {
    uint64_t released = 0;
    while (frames_.size() > 1 && (queued_bytes_ > queue_max_bytes_ ||
                                  now_ms - frames_.front().queued_ms > queue_max_age_ms_)) {
        frame::dealloc_frame(pop_queued(frames_.begin()));
        ++released;
    }
    if (released != 0) {
        dropped_queue_.fetch_add(released);
        LOG_WARN_LIMITED_AS(queue_warning_, "return_frame",
                            "Released %llu unpulled frames: the receive queue is over its bounds",
                            static_cast<unsigned long long>(released));
    }
}

}  // namespace tessal
