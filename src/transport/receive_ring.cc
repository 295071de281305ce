#include "transport/receive_ring.hh"

#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "transport/socket.hh"

namespace tessal {

void receive_headers::prepare(size_t count, uint8_t *overflow) noexcept {
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

void receive_ring::build(size_t bytes, size_t slot_size) {
    slots_.clear();
    from_.reset();
    memory_.reset();
    slot_size_ = slot_size;
    const size_t count = slot_size > 0 ? bytes / slot_size : 0;
    // One block, not written here: its pages become resident only as
    // datagrams fill them, so an idle or send-only flow costs little memory.
    memory_.reset(new uint8_t[count > 0 ? count * slot_size : 1]);
    slots_.resize(count);
    from_.reset(new sockaddr_in6[count > 0 ? count : 1]);
    for (size_t i = 0; i < count; ++i) {
        slots_[i].data = memory_.get() + i * slot_size;
    }
    written_.store(0);
    processed_.store(0);
    base_.store(0);
    blocked_.store(false);
}

size_t receive_ring::free_slots() const noexcept {
    const uint64_t in_use =
        written_.load(std::memory_order_relaxed) - processed_.load(std::memory_order_acquire);
    return slots_.size() > in_use ? static_cast<size_t>(slots_.size() - in_use) : 0;
}

// With GRO one message may be a run of up to k_gro_max_run datagrams, each
// needing a slot: a receive waits for that much room, so that a run is never
// cut for want of slots that the consumer is about to free.
size_t receive_ring::room_needed(bool gro) const noexcept {
    return gro ? std::min(k_gro_max_run, slots_.size()) : 1;
}

bool receive_ring::has_room(bool gro) const noexcept {
    return !slots_.empty() && free_slots() >= room_needed(gro);
}

// The ring is full: announce it, then look again, so that a consumer that
// freed slots in between either is seen here or sees the announcement and
// resumes the receive side. Both sides store, then load the other's
// variable, sequentially consistent (a Dekker pair): one of them sees the
// other. True when there is room after all (and no resume is owed).
bool receive_ring::wait_for_room(bool gro) {
    blocked_.store(true, std::memory_order_seq_cst);
    const uint64_t in_use =
        written_.load(std::memory_order_relaxed) - processed_.load(std::memory_order_seq_cst);
    if (slots_.size() < in_use + room_needed(gro)) {
        return false;
    }
    // Room after all: take the announcement back unless the consumer took
    // it (then a resume is on its way, and stopping here is what it expects).
    return blocked_.exchange(false);
}

bool receive_ring::take_resume() {
    // Only the consumer writes processed_: storing its own value again,
    // sequentially consistent, is its half of the pair.
    processed_.store(processed_.load(std::memory_order_relaxed), std::memory_order_seq_cst);
    if (!blocked_.load(std::memory_order_seq_cst)) {
        return false;
    }
    // Resume only once a whole receive fits (room_needed(true) is the larger
    // need), so that a receive side is not woken to find the ring full again.
    if (free_slots() < std::min(room_needed(true), slots_.size())) {
        return false;
    }
    return blocked_.exchange(false);
}

// Not inlined, as gro_overflow(): a shared library reaches a thread_local
// through a call to the dynamic linker, paid once per caller this way.
[[gnu::noinline]] receive_headers &receive_ring::headers_of_thread() {
    thread_local receive_headers headers;
    return headers;
}

// Per receiving thread (a ring is filled by one thread at a time): room for
// the coalesced runs of one batch beyond their first slots. Its pages become
// resident only where runs arrive.
[[gnu::noinline]] uint8_t *receive_ring::gro_overflow() {
    thread_local std::unique_ptr<uint8_t[]> area;
    if (!area) {
        area.reset(new (std::nothrow) uint8_t[k_receive_batch * k_gro_overflow]);
    }
    return area.get();
}

receive_ring::fill_status receive_ring::fill(socket &sock, bool gro, int max_batches,
                                             const std::atomic<bool> &stop, bool &published) {
    const size_t count = slots_.size();
    receive_headers &h = headers_of_thread();
    uint8_t *overflow = gro ? gro_overflow() : nullptr;
    for (int turn = 0; !stop.load() && count > 0; ++turn) {
        if (max_batches >= 0 && turn >= max_batches) {
            return fill_status::more;
        }
        if (!has_room(overflow != nullptr) && !wait_for_room(overflow != nullptr)) {
            return fill_status::full;  // the datagrams wait in the socket
        }
        const uint64_t w = written_.load(std::memory_order_relaxed);
        const size_t free = free_slots();
        if (free == count && (w - base_.load(std::memory_order_relaxed)) % count != 0) {
            base_.store(w, std::memory_order_relaxed);  // back to the first slot
        }
        // Take no more messages than the free slots hold whole, runs included.
        const size_t messages =
            overflow != nullptr ? std::max<size_t>(1, free / k_gro_max_run) : free;
        // Each message asked for costs a header to prepare, and a low-rate
        // flow finds one datagram at most wake-ups: ask for about twice what
        // the last receive got, doubling while receives come back full.
        const auto batch =
            static_cast<unsigned>(std::min(messages, std::min(k_receive_batch, receive_hint_)));
        // Slot by slot from w's, without a division or a read of the slot
        // table per message: most receives of a low-rate flow get one.
        const size_t first = slot_index(w);
        h.prepare(batch, overflow);
        size_t index = first;
        for (unsigned i = 0; i < batch; ++i, index = index + 1 == count ? 0 : index + 1) {
            // Only the slot and what the kernel wrote back change between
            // receives: the rest of each header was laid out by prepare().
            iovec &to_slot = h.iov[overflow != nullptr ? 2 * i : i];
            to_slot.iov_base = memory_.get() + index * slot_size_;
            to_slot.iov_len = slot_size_;
            msghdr &m = h.msgs[i].msg_hdr;
            m.msg_name = &from_[index];
            m.msg_namelen = sizeof(sockaddr_in6);
            from_[index].sin6_family = AF_UNSPEC;  // unless the kernel tells
            if (overflow != nullptr) {
                h.msgs[i].msg_hdr.msg_controllen = h.control[i].size();
            }
        }
        int got = 0;
        // MSG_TRUNC: learn the real length of a datagram that did not fit.
        const RTP_ERROR rc = sock.recv_batch(h.msgs.data(), batch, MSG_TRUNC, &got);
        if (rc == RTP_NO_DATA) {
            return fill_status::drained;
        }
        if (rc != RTP_SUCCESS) {
            LOG_ERROR_AS("receiver", "recvfrom(2) failed! Reception flow cannot continue %d!", rc);
            return fill_status::failed;
        }
        const auto received = static_cast<size_t>(got);
        receive_hint_ = std::max(k_min_receive_batch, 2 * received);
        // A message came with a control message only if it is a coalesced
        // run (UDP_GRO); without one, each datagram lies in its own slot.
        bool coalesced = false;
        for (size_t i = 0; overflow != nullptr && i < received && !coalesced; ++i) {
            coalesced = h.msgs[i].msg_hdr.msg_controllen != 0;
        }
        const size_t publish = coalesced
                                   ? spread_coalesced(h.msgs.data(), w, received, free, overflow)
                                   : publish_plain(h.msgs.data(), first, received);
        written_.store(w + publish, std::memory_order_release);
        published = true;
        if (max_batches >= 0 && received < batch) {
            return fill_status::drained;  // the socket is likely empty: give the thread back
        }
    }
    return fill_status::drained;
}

// Each datagram in its own slot from `first` on; one longer than a slot is
// published empty.
size_t receive_ring::publish_plain(const mmsghdr *msgs, size_t first, size_t count) {
    size_t index = first;
    for (size_t i = 0; i < count; ++i, index = index + 1 == slots_.size() ? 0 : index + 1) {
        size_t len = msgs[i].msg_len;
        if (len > slot_size_) {
            count_oversize(len);  // the consumer skips it
            len = 0;
        }
        slots_[index].read = len;
    }
    return count;
}

void receive_ring::count_oversize(size_t len) {
    dropped_oversize_.fetch_add(1);
    LOG_WARN_LIMITED_AS(oversize_warning_, "receiver",
                        "Dropped a %zu-byte datagram: larger than the %zu-byte receive buffer", len,
                        slot_size_);
}

struct receive_ring::run {
    size_t len;      // bytes received of the message
    size_t segment;  // 0: one datagram
    size_t count;    // slots it takes
    size_t first;    // its first slot, from w
};

// UDP GRO (the UDP_GRO socket option): a received message may be a run of
// datagrams of one size, told by a UDP_GRO control message, the last one
// possibly shorter; it fills its slot and goes on into the overflow. Each
// datagram gets a slot of its own, in order.
//
// Every message takes at least one slot (one that cannot be received whole
// is published empty), so message i's datagrams go to slots at or after its
// own slot i: data only ever moves up the ring. Spreading from the last
// message to the first, and from a run's last datagram to its first, then
// writes no slot before what it held has been moved on. Datagrams beyond the
// free slots are counted as dropped. Returns the slots published from w on.
size_t receive_ring::spread_coalesced(const mmsghdr *msgs, uint64_t w, size_t messages, size_t free,
                                      const uint8_t *overflow) {
    std::array<run, k_receive_batch> runs;  // each of the first `messages` is set below
    size_t used = 0;
    for (size_t i = 0; i < messages; ++i) {
        run &r = runs[i];
        // A run the kernel cut short (MSG_TRUNC) keeps only what was received.
        r.len = std::min<size_t>(msgs[i].msg_len, slot_size_ + k_gro_overflow);
        r.segment = 0;
        msghdr hdr = msgs[i].msg_hdr;
        for (cmsghdr *c = CMSG_FIRSTHDR(&hdr); c != nullptr; c = CMSG_NXTHDR(&hdr, c)) {
            if (c->cmsg_level == IPPROTO_UDP && c->cmsg_type == k_udp_gro &&
                c->cmsg_len >= CMSG_LEN(sizeof(int))) {
                int segment = 0;
                std::memcpy(&segment, CMSG_DATA(c), sizeof(segment));
                r.segment = segment > 0 ? static_cast<size_t>(segment) : 0;
            }
        }
        const bool one = r.segment == 0 || r.segment >= msgs[i].msg_len;
        const size_t datagram = one ? msgs[i].msg_len : r.segment;
        if (datagram > slot_size_) {
            const size_t lost = one ? 1 : (msgs[i].msg_len + r.segment - 1) / r.segment;
            for (size_t k = 0; k < lost; ++k) {
                count_oversize(datagram);
            }
            r.segment = 0;
            r.len = 0;  // its slot is published empty
        } else if (one) {
            r.segment = 0;
        }
        r.count = r.segment == 0 ? 1 : (r.len + r.segment - 1) / r.segment;
        if (r.segment != 0 && r.len < msgs[i].msg_len && r.len % r.segment != 0) {
            count_oversize(msgs[i].msg_len);  // a datagram cut by the kernel
            r.count = r.len / r.segment;
            if (r.count == 0) {
                r = run{0, 0, 1, 0};  // still one slot, published empty
            }
        }
        r.first = used;
        const size_t room = free - std::min(free, used);
        if (r.count > room) {
            dropped_full_.fetch_add(r.count - room);
            r.count = room;
        }
        used += r.count;
    }
    const auto byte_at = [&](size_t i, size_t offset) -> const uint8_t * {
        // Byte `offset` of message i: in its slot, then in its overflow.
        return offset < slot_size_ ? slot_of(w + i).data + offset
                                   : overflow + i * k_gro_overflow + (offset - slot_size_);
    };
    for (size_t i = messages; i-- > 0;) {
        const run &r = runs[i];
        if (r.segment == 0) {
            if (r.count == 1) {
                if (r.first != i && r.len > 0) {
                    std::memcpy(slot_of(w + r.first).data, slot_of(w + i).data, r.len);
                }
                slot_of(w + r.first).read = r.len;
                from_[slot_index(w + r.first)] = from_[slot_index(w + i)];
            }
            continue;
        }
        for (size_t k = r.count; k-- > 0;) {
            const size_t from = k * r.segment;
            const size_t len = std::min(r.segment, r.len - from);
            slot &to = slot_of(w + r.first + k);
            if (r.first + k != i || from != 0) {
                // The segment may straddle the end of the slot; the target
                // slot is never message i's own, so the two cannot overlap.
                const size_t head = from < slot_size_ ? std::min(len, slot_size_ - from) : 0;
                if (head > 0) {
                    std::memcpy(to.data, byte_at(i, from), head);
                }
                if (len > head) {
                    std::memcpy(to.data + head, byte_at(i, from + head), len - head);
                }
            }
            to.read = len;
            from_[slot_index(w + r.first + k)] = from_[slot_index(w + i)];
        }
    }
    return used;
}

void receive_ring::add_hot_lines(hot_lines &out) const {
    out.add(&slots_, sizeof(slots_));
    out.add(slots_.data(), sizeof(slot));
    out.add(&written_, sizeof(written_));
    out.add(&processed_, sizeof(processed_));
    out.add(&base_, sizeof(base_));
    out.add(&receive_hint_, sizeof(receive_hint_));
    if (!slots_.empty()) {
        out.add(slots_.front().data);  // where a ring that keeps emptying receives
    }
}

}  // namespace tessal
