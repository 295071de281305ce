#pragma once

// Resync mode of the H.26x receivers: NAL units are held per access unit and
// handed on only as whole access units, in decoding order, once every packet
// from the unit's first to its last is known to have arrived. A sequence
// number still missing after the reorder window costs its whole access unit:
// a decoder never sees a picture with slices missing, so with the wait for a
// key frame that follows every loss, each picture handed on decodes cleanly.
//
// Where an access unit begins and ends is read from the packets around it:
// it ends at a packet with the marker bit (RFC 6184 section 5.1, RFC 7798
// section 4.1, RFC 9328 section 4.1) or before a packet of another
// timestamp, and begins after such a packet or at a packet the codec knows
// to begin one (an access unit delimiter, the first slice of a picture).
//
// Pure bookkeeping on sequence numbers, timestamps and arrival times: no
// clock of its own, no I/O. Used only on the reception flow's processing
// thread.

#include <cstddef>
#include <cstdint>
#include <map>
#include <unordered_map>
#include <vector>

#include "tessal/frame.hh"
#include "util/clock.hh"

namespace tessal {
namespace formats {

// What the first NAL unit of a packet says about access unit boundaries.
enum class au_start_hint : uint8_t {
    unknown,    // nothing (parameter sets, SEI, an H.266 slice)
    begins,     // the first NAL unit of an access unit starts here
    continues,  // an access unit started before this packet
};

class access_unit_gate {
public:
    // A NAL unit rebuilt from admitted packets; `seq` is the extended
    // sequence number of the packet it was completed by.
    struct held_nal {
        int64_t seq = 0;
        frame::rtp_frame *frame = nullptr;
        uint8_t nal_class = 0;
    };
    // An access unit the gate is done with. A complete one hands its NAL
    // units over in decoding order; those of a lost one were released.
    struct unit {
        uint32_t timestamp = 0;
        uint16_t first_seq = 0;
        uint16_t last_seq = 0;
        bool lost = false;
        // Lost without a packet of it ever arriving: timestamp and
        // sequence numbers are those of the gap, not of a unit.
        bool whole_unit_missing = false;
        std::vector<held_nal> nals;
    };

    // Bounds on what is held while a gap waits to be filled.
    static constexpr size_t k_max_packets = 16384;
    static constexpr int64_t k_max_span = 16384;

    access_unit_gate() = default;
    ~access_unit_gate();
    access_unit_gate(const access_unit_gate &) = delete;
    access_unit_gate &operator=(const access_unit_gate &) = delete;

    // Records an arriving packet. False for a packet behind the access units
    // already handed on or given up, or a repeat of one held: drop it.
    bool admit(uint16_t seq, uint32_t timestamp, bool marker, au_start_hint hint,
               clock::hrc::hrc_t now);
    // The admitted packet `seq` could not be used: its access unit is lost.
    void spoil(uint16_t seq);
    // Holds a NAL unit rebuilt from admitted packets, under the timestamp and
    // sequence number of its header. The gate owns it from here.
    void hold(frame::rtp_frame *nal, uint8_t nal_class);
    // Appends the access units now known complete or lost, in order. A gap
    // is given up once a packet after it has waited `reorder_window_ms`, or
    // when the packets after it exceed the bounds above.
    void advance(clock::hrc::hrc_t now, int64_t reorder_window_ms, std::vector<unit> &out);

    size_t packets_held() const noexcept { return packets_.size(); }
    size_t nal_units_held() const noexcept;

private:
    struct packet {
        uint32_t timestamp = 0;
        clock::hrc::hrc_t arrival{};
        bool marker = false;
        bool spoiled = false;
        au_start_hint hint = au_start_hint::unknown;
    };
    using packet_map = std::map<int64_t, packet>;
    static constexpr int64_t k_unknown = -1;

    int64_t extend(uint16_t seq) const noexcept;
    bool starts_unit(packet_map::const_iterator it) const;
    bool gap_expired(int64_t gap, clock::hrc::hrc_t now, int64_t reorder_window_ms) const;
    // Ends the packets [from, to) as units of consecutive equal timestamps.
    void finish(int64_t from, int64_t to, bool lost, std::vector<unit> &out);
    void give_up(int64_t gap, std::vector<unit> &out);

    packet_map packets_;                                        // admitted, not finished
    std::unordered_map<uint32_t, std::vector<held_nal>> held_;  // by timestamp
    int64_t next_ = k_unknown;     // first packet of the next unit; unknown after a loss
    int64_t floor_ = k_unknown;    // packets below are late
    int64_t highest_ = k_unknown;  // the highest sequence number admitted
    // The last packet finished, to tell whether the one after it begins a unit.
    int64_t last_seq_ = k_unknown;
    uint32_t last_timestamp_ = 0;
    bool last_marker_ = false;
    bool started_ = false;     // a unit was finished
    unsigned far_behind_ = 0;  // packets in a row far behind floor_
    bool restart_ = false;     // the stream restarted its numbering
};

}  // namespace formats
}  // namespace tessal
