#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tessal/export.hh"
#include "tessal/frame.hh"
#include "tessal/stream_statistics.hh"
#include "tessal/util.hh"

namespace tessal {

class media_stream_internal;
class socketfactory;
class rtcp;

// One RTP flow: one local SSRC sending to one remote address and port and/or
// receiving on one local port. Created by session::create_stream.
//
// Pushes on one stream must not overlap; a push and a pull may run at once
// on different threads.
class TESSAL_EXPORT media_stream {
public:
    ~media_stream() noexcept;
    media_stream(const media_stream &) = delete;
    media_stream &operator=(const media_stream &) = delete;

    // Sends one frame (for video: one access unit). The frame is handed to
    // the socket completely before the call returns; with RTP_PUSH_COPY_DATA
    // the stream sends from a private copy. Zero copy by design: with RCE_SRTP
    // a payload that fits one packet is encrypted in the caller's own buffer,
    // so a borrowed buffer comes back encrypted; pass RTP_PUSH_COPY_DATA (or
    // a taken-over buffer) to keep its bytes. RTP_BAD_ARGUMENT for a null buffer
    // or zero length, RTP_UNINITIALIZED for a stream that is not started,
    // RTP_FAILED for a receive-only stream, RTP_SEND_FAILED when sending fails.
    RTP_ERROR push_frame(uint8_t *data, size_t data_len, int rtp_flags) noexcept;
    // As above; every packet of the frame carries RTP timestamp `ts`.
    RTP_ERROR push_frame(uint8_t *data, size_t data_len, uint32_t ts, int rtp_flags) noexcept;
    // As above; `ntp_ts` is the wall-clock sampling time RTCP relates `ts` to.
    RTP_ERROR push_frame(uint8_t *data, size_t data_len, uint32_t ts, uint64_t ntp_ts,
                         int rtp_flags) noexcept;
    // Taken-over buffers: the stream releases `data` before returning.
    RTP_ERROR push_frame(std::unique_ptr<uint8_t[]> data, size_t data_len, int rtp_flags) noexcept;
    RTP_ERROR push_frame(std::unique_ptr<uint8_t[]> data, size_t data_len, uint32_t ts,
                         int rtp_flags) noexcept;
    RTP_ERROR push_frame(std::unique_ptr<uint8_t[]> data, size_t data_len, uint32_t ts,
                         uint64_t ntp_ts, int rtp_flags) noexcept;

    // Waits for the next frame; null when the stream stops or fails. The
    // frame is the caller's: release it with frame::dealloc_frame.
    // Frames wait for a pull at most 3 seconds, and at most 64 MiB of them
    // per local port: beyond that the oldest are released, so a stream that
    // is never pulled cannot make a sender fill the process's memory. Pull
    // promptly, or install a receive hook.
    frame::rtp_frame *pull_frame() noexcept;
    // Null after `timeout_ms` milliseconds without a frame.
    frame::rtp_frame *pull_frame(size_t timeout_ms) noexcept;

    // Calls `hook(arg, frame)` on the reception thread for every frame instead
    // of queueing it for pull_frame. The hook owns each frame it is given and
    // must not call back into the stream's registration functions.
    RTP_ERROR install_receive_hook(void *arg, void (*hook)(void *, frame::rtp_frame *)) noexcept;

    // SRTP keys from the application, for a stream created with
    // RCE_SRTP | RCE_SRTP_KEYS_FROM_USER: `key` is 16 bytes (24 with
    // RCE_SRTP_AES192, 32 with RCE_SRTP_AES256), `salt` 14 bytes; both serve
    // both directions, so both peers call it with the same values. Starts the
    // stream: until then it neither sends nor receives. RTP_BAD_ARGUMENT for
    // a null pointer; RTP_UNSUPPORTED (and the stream is unusable) without
    // user keys; RTP_FAILED for a stream that started already.
    //
    // This is the library's own SRTP: only peers running this library can
    // decrypt it. Its IV shares two bytes between SSRC and packet index, so
    // two SSRCs whose low 16 bits are equal can reuse keystream under one
    // key: use a fresh random key for every session, never a fixed one. For
    // peers that are not this library, use standard SRTP (add_srtp_keys).
    RTP_ERROR add_srtp_ctx(uint8_t *key, uint8_t *salt) noexcept;

    // Standard SRTP keys, for a stream created with RCE_SRTP |
    // RCE_SRTP_KEYS_FROM_USER | RCE_SRTP_STANDARD: what GStreamer's
    // srtpenc/srtpdec, SIP phones and WebRTC gateways decrypt (RFC 3711,
    // RFC 6188, RFC 7714; see RTP_SRTP_PROFILE in util.hh). `profile` is an
    // RTP_SRTP_PROFILE; `send_master` keys what this stream sends and
    // `recv_master` what it receives, each the master key followed by the
    // master salt (key_len + salt_len bytes of the profile, as an SDP
    // "inline:" key carries them). The two directions take different keys in
    // every standard signalling; pass null for a direction the stream does
    // not use (not both). Packets that fail authentication, are too short or
    // replayed are dropped one by one, counted and logged at a limited rate.
    // Starts the stream: until then it neither sends (nothing, never
    // plaintext) nor receives. RTP_BAD_ARGUMENT for an unknown profile or a
    // wrong length (nothing changes), RTP_UNSUPPORTED without
    // RCE_SRTP_STANDARD, RTP_FAILED for a stream that started already.
    RTP_ERROR add_srtp_keys(int profile, const uint8_t *send_master, size_t send_len,
                            const uint8_t *recv_master, size_t recv_len) noexcept;
    // The same from SDP security descriptions (RFC 4568), one per direction
    // (null for a direction not used): the value of an a=crypto attribute,
    // with or without "a=crypto:" and the tag, e.g.
    //   "1 AES_CM_128_HMAC_SHA1_80 inline:WVNfX19zZW1jdGwgKCkgewkyMjA7fQp9CnVubGVz"
    // Both must name the same suite. A lifetime is accepted and not
    // enforced; an MKI or session parameters give RTP_UNSUPPORTED. The key
    // text never reaches a log line.
    RTP_ERROR add_srtp_crypto(const char *send_attribute, const char *recv_attribute) noexcept;
    // Runs the ZRTP key agreement for the stream on the calling thread and
    // installs its SRTP/SRTCP keys; the peer must run its side meanwhile.
    // Streams with RCE_SRTP_KEYS_FROM_ZRTP have done so inside
    // create_stream: for a stream whose agreement completed this returns
    // RTP_SUCCESS and changes nothing. A failed agreement releases the
    // stream (its result: RTP_TIMED_OUT, RTP_UNSUPPORTED, ...); RTP_FAILED,
    // and the stream released, for a stream without ZRTP. See
    // RCE_SRTP_KEYS_FROM_ZRTP for what the agreement protects against.
    RTP_ERROR start_zrtp() noexcept;
    // The short authentication string of the stream's ZRTP agreement (the
    // session's Diffie-Hellman exchange): four base32 characters and a
    // terminator (RFC 6189 section 5.1.6), for the users to read to each
    // other. Only a SAS found equal on both ends protects against an
    // attacker in the middle. RTP_BAD_ARGUMENT for a null `out`,
    // RTP_UNINITIALIZED before the stream's agreement finished, RTP_FAILED
    // for a stream without ZRTP. Any thread.
    RTP_ERROR get_zrtp_sas(char out[5]) const noexcept;
    // Records that the users compared the SAS and found it equal (kept for
    // the session until its next Diffie-Hellman exchange). Result codes as
    // get_zrtp_sas.
    RTP_ERROR set_zrtp_sas_verified() noexcept;
    // True once set_zrtp_sas_verified succeeded for the session's agreement.
    bool zrtp_sas_verified() const noexcept;

    // Tunes a started stream with one configuration key (RCC_*, util.hh):
    // RTP_SUCCESS, RTP_BAD_ARGUMENT for a value out of the key's range or an
    // unknown key, RTP_UNINITIALIZED before the stream has started, or the
    // socket's error for the socket options. Call from one thread at a time;
    // pushing may go on meanwhile.
    RTP_ERROR configure_ctx(int key, ssize_t value) noexcept;
    // The key's current value; -1 for an unknown key, RTP_UNINITIALIZED (-9)
    // before the stream has started (except RCC_LOCAL_SSRC and
    // RCC_PEER_SSRC, answered at any time). RCC_PATH_MTU reads back the RTP
    // payload size the MTU left.
    int get_configuration_value(int key) noexcept;

    // Copies the stream's counters into *out (see tessal/stream_statistics.hh
    // for which belong to the stream and which to its local port). Any thread,
    // at any time after the stream has started and until it is destroyed
    // (not during stop()); after stop() the stream's own counters keep their
    // last values. RTP_BAD_ARGUMENT for a null `out`, RTP_UNINITIALIZED
    // before the stream has started.
    RTP_ERROR get_statistics(stream_statistics *out) const noexcept;

    // Loss recovery, for a stream created with RCE_RTCP_FEEDBACK and
    // RCE_WITH_RTCP (see RCC_RTX_PAYLOAD_TYPE and the keys after it): the
    // stream asks for lost packets with NACKs and answers the peer's from
    // its recent packets. request_key_frame asks the peer for a key frame
    // (a PLI, or a FIR with RCC_KEY_FRAME_REQUEST 1), no more than once per
    // round trip (RFC 5104 4.3.1.2): RTP_SUCCESS, RTP_FAILED without
    // feedback, RTP_UNINITIALIZED before the stream has started. The stream
    // asks by itself when it gives up a lost packet of H.264/H.265/H.266.
    RTP_ERROR request_key_frame() noexcept;
    // Calls `hook(arg)` on the RTCP thread when the peer asks for a key
    // frame of this stream (PLI or FIR), at most once per round trip: the
    // encoder should answer with one. RTP_BAD_ARGUMENT for a null hook.
    RTP_ERROR install_key_frame_request_hook(void (*hook)(void *arg), void *arg) noexcept;

    // The stream's RTCP object (see tessal/rtcp.hh); null after a failed
    // initialisation. Without RCE_WITH_RTCP it only counts what the stream
    // sends and never sends RTCP.
    rtcp *get_rtcp() noexcept;

    // The stream's own SSRC; 0 (with an ERROR) before the stream is started.
    uint32_t get_ssrc() const noexcept;

    // Stops sending and receiving; always RTP_SUCCESS.
    RTP_ERROR stop() noexcept;

    // Used by session; applications create streams through the session.
    media_stream(std::string cname, std::string remote_address, std::string local_address,
                 uint16_t src_port, uint16_t dst_port, RTP_FORMAT fmt,
                 std::shared_ptr<socketfactory> sf, int rce_flags, uint32_t ssrc);
    media_stream_internal *internal() noexcept { return impl_.get(); }

private:
    std::unique_ptr<media_stream_internal> impl_;
};

}  // namespace tessal
