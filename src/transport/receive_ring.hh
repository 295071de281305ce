#pragma once

// The ring of slots a reception flow receives into: the receive side takes
// datagrams off the socket into free slots, one system call per batch (UDP
// GRO runs taken apart into a slot per datagram), and publishes them; the
// consuming side handles published datagrams in order and frees their slots.
//
// A full ring is never a reason to drop: the receive side stops reading and
// leaves datagrams in the socket's buffer, which is part of the budget, until
// the consumer frees slots and resumes it (consume() says when). What is
// dropped here is only what cannot be received whole: datagrams longer than
// a slot (counted as oversize) and, in a ring smaller than one coalesced
// run, the tail of such a run (counted as ring full).
//
// Threads: one receiving thread and one consuming thread at a time; the
// geometry changes only while neither runs.

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "util/hot_lines.hh"
#include "util/log.hh"

namespace tessal {

class socket;

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
// per ring: a ring is filled by one thread at a time, and a thread that
// serves many rings finds them in its cache.
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
    void prepare(size_t count, uint8_t *overflow) noexcept;
};

class receive_ring {
public:
    enum class fill_status {
        drained,  // the socket had nothing more (or the flow is stopping)
        more,     // stopped after the batches asked for: the socket may hold more
        full,     // stopped on a full ring: consume() asks for a resume
        failed,   // the receive failed; logged
    };

    receive_ring() = default;
    receive_ring(const receive_ring &) = delete;
    receive_ring &operator=(const receive_ring &) = delete;

    // Slots of `slot_size` bytes in `bytes` in all; neither side running.
    // Throws std::bad_alloc and keeps nothing of the old ring then.
    void build(size_t bytes, size_t slot_size);
    size_t slots() const noexcept { return slots_.size(); }
    size_t slot_size() const noexcept { return slot_size_; }

    // Receive side. Takes datagrams off `sock` until it is empty, `stop` is
    // set, the ring is full, or `max_batches` batches (< 0: no limit) went by.
    // With `gro`, each message may be a coalesced run. Sets `published` when
    // datagrams were published.
    fill_status fill(socket &sock, bool gro, int max_batches, const std::atomic<bool> &stop,
                     bool &published);
    // Whether the receive side could take a datagram now.
    bool has_room(bool gro) const noexcept;

    // Consuming side: hands each published datagram (`data`, `size`; size
    // 0 for one dropped on receipt; `from`, its sender's address, family
    // AF_UNSPEC where the socket told none) to `handle` in order and frees
    // its slot.
    // True when the receive side stopped on a full ring and should be
    // resumed: it is owed exactly one resume, by whoever sees this true.
    template <typename Handle>
    bool consume(Handle &&handle);
    // Datagrams published and not yet consumed.
    uint64_t backlog() const noexcept {
        return written_.load(std::memory_order_relaxed) -
               processed_.load(std::memory_order_acquire);
    }

    // Datagrams lost in the ring: the tail of a coalesced run longer than
    // the ring's free slots, and datagrams longer than a slot.
    uint64_t dropped_full() const noexcept { return dropped_full_.load(); }
    uint64_t dropped_oversize() const noexcept { return dropped_oversize_.load(); }

    // The lines a receive touches, for prefetching.
    void add_hot_lines(hot_lines &out) const;

private:
    struct slot {
        uint8_t *data = nullptr;  // into memory_
        size_t read = 0;
    };
    struct run;

    size_t slot_index(uint64_t c) const {
        return static_cast<size_t>((c - base_.load(std::memory_order_relaxed)) % slots_.size());
    }
    slot &slot_of(uint64_t c) { return slots_[slot_index(c)]; }
    size_t free_slots() const noexcept;
    size_t room_needed(bool gro) const noexcept;
    bool wait_for_room(bool gro);
    size_t publish_plain(const mmsghdr *msgs, size_t first, size_t count);
    size_t spread_coalesced(const mmsghdr *msgs, uint64_t w, size_t messages, size_t free,
                            const uint8_t *overflow);
    void count_oversize(size_t len);
    bool take_resume();
    static uint8_t *gro_overflow();
    static receive_headers &headers_of_thread();

    // Datagram c lives in slot (c - base_) % size. `written_` counts
    // published datagrams (receive side only), `processed_` finished ones
    // (consuming side only): the receive side never writes a slot while
    // written_ - processed_ == size. It moves base_ to written_ whenever the
    // ring is empty, so that a consumer that keeps up goes round the first
    // slots only and the rest of the ring never becomes resident.
    std::vector<slot> slots_;
    // The sender of the datagram in each slot (IPv4 addresses fit too);
    // like memory_, resident only where used.
    std::unique_ptr<sockaddr_in6[]> from_;
    std::unique_ptr<uint8_t[]> memory_;
    size_t slot_size_ = 0;
    std::atomic<uint64_t> written_{0};
    std::atomic<uint64_t> processed_{0};
    std::atomic<uint64_t> base_{0};
    // Set by the receive side when it stops on a full ring; whoever clears
    // it owes the receive side a resume.
    std::atomic<bool> blocked_{false};
    std::atomic<uint64_t> dropped_full_{0};
    std::atomic<uint64_t> dropped_oversize_{0};
    size_t receive_hint_ = k_receive_batch;  // receive side: messages to ask for next
    log::limiter oversize_warning_;
};

template <typename Handle>
bool receive_ring::consume(Handle &&handle) {
    // How many datagrams go by between looks at a stopped receive side.
    constexpr uint64_t k_resume_check = 32;
    uint64_t p = processed_.load(std::memory_order_relaxed);
    uint64_t w = written_.load(std::memory_order_acquire);
    const size_t count = slots_.size();
    bool resume = false;
    // Slot by slot, with a division only where base_ may have moved: the
    // receive side moves it only while the ring is empty.
    size_t index = p != w ? slot_index(p) : 0;
    while (p != w) {
        slot &sl = slots_[index];
        handle(sl.data, sl.read, from_[index]);
        sl.read = 0;
        processed_.store(++p, std::memory_order_release);
        index = index + 1 == count ? 0 : index + 1;
        if (p % k_resume_check == 0) {
            resume = take_resume() || resume;
        }
        if (p == w) {
            w = written_.load(std::memory_order_acquire);
            if (p != w) {
                index = slot_index(p);
            }
        }
    }
    return take_resume() || resume;
}

}  // namespace tessal
