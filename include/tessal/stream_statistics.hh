#pragma once

#include <cstdint>

namespace tessal {

// What one stream has counted since it started (media_stream::get_statistics).
// Every value only grows. Counters marked "port" belong to the local port the
// stream receives on: streams sharing that port (told apart by SSRC) all
// report the same value. The others are the stream's own. RTCP received on a
// port of its own (without RCE_RTCP_ON_RTP_PORT) is not among the datagrams.
struct stream_statistics {
    // Receiving.
    uint64_t datagrams_received = 0;           // RTP, and RTCP or ZRTP on the RTP port
    uint64_t bytes_received = 0;               // UDP payload bytes of those datagrams
    uint64_t dropped_ring_full = 0;            // port: the receive ring had no free slot
    uint64_t dropped_oversize = 0;             // port: longer than a receive slot
    uint64_t dropped_not_rtp = 0;              // port: neither RTP, RTCP nor ZRTP, or too short
                                               // (or RTCP where no RTCP is taken)
    uint64_t dropped_malformed = 0;            // RTP whose header, SRTP framing or payload
                                               // (H.26x) did not parse
    uint64_t auth_failures = 0;                // SRTP and SRTCP packets whose tag did not verify
    uint64_t replay_failures = 0;              // SRTP and SRTCP packets seen already or too old
    uint64_t duplicates = 0;                   // repeats of packets received lately (H.26x,
                                               // fragmented generic frames)
    uint64_t frames_delivered = 0;             // handed to the receive hook or the pull queue
    uint64_t frames_discarded_incomplete = 0;  // given up with fragments missing
    uint64_t frames_dropped_queue_full = 0;    // port: released unpulled (see pull_frame)
    // Sending.
    uint64_t packets_sent = 0;   // RTP datagrams the socket accepted
    uint64_t bytes_sent = 0;     // their bytes, SRTP tags included
    uint64_t send_failures = 0;  // sends the socket refused (a frame's batch, or one packet)
    // Receiving, added later.
    uint64_t dropped_unknown_source = 0;  // port: RTP of a source not yet valid (RFC 3550 A.1)
                                          // while another is, on a port of one stream
    uint64_t dropped_own_packets = 0;     // port: our own packets looped back (multicast)
    uint64_t ssrc_collisions = 0;         // port: another participant sent with our SSRC
                                          // (RFC 3550 8.2): we sent BYE and took a new one
    uint64_t ring_full_waits = 0;         // port: times the receive ring was full and
                                          // datagrams waited in the socket's buffer
    // Loss recovery (RCE_RTCP_FEEDBACK: RFC 4585 NACK, PLI, FIR; RFC 4588).
    // Receiving:
    uint64_t nacks_sent = 0;                // NACK packets asking for lost packets
    uint64_t packets_requested = 0;         // distinct packets asked for
    uint64_t recovered_in_time = 0;         // of those, arrived before their deadline
    uint64_t recovered_late = 0;            // arrived after they were given up
    uint64_t given_up = 0;                  // not arrived by their frame's deadline
    uint64_t retransmissions_received = 0;  // RFC 4588 packets restored to the original
    uint64_t pli_sent = 0;
    uint64_t fir_sent = 0;
    // Sending:
    uint64_t nacks_received = 0;           // NACK packets about our media
    uint64_t retransmissions_sent = 0;     // packets sent again
    uint64_t retransmissions_refused = 0;  // refused by RCC_RETRANSMIT_SHARE
    uint64_t pli_received = 0;
    uint64_t fir_received = 0;
};

}  // namespace tessal
