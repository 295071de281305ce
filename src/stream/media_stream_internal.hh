#pragma once

// The implementation behind media_stream: builds and wires one RTP flow's
// components (socket and reception flow from the socket factory, RTP state,
// payload format, hole puncher), starts and stops them, and carries the push
// and pull paths.
//
// Set-up, configuration and teardown run on application threads; once
// started, the stream's reception handlers run on the reception flow's
// processing thread and the hole puncher on its own thread.

#include <netinet/in.h>

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "rtp/frame_block.hh"
#include "security/zrtp.hh"
#include "stream/loss_recovery.hh"
#include "stream/zrtp_driver.hh"
#include "tessal/frame.hh"
#include "tessal/stream_statistics.hh"
#include "tessal/util.hh"
#include "transport/reception_flow.hh"
#include "util/hot_lines.hh"
#include "util/shared_ssrc.hh"

namespace tessal {

class socket;
class socketfactory;
class reception_flow;
class rtp;
class rtcp;
class holepuncher;
class base_srtp;
class srtp;
class srtcp;
class srtp_key_source;
class srtp_standard;
namespace formats {
class media;
}

class media_stream_internal {
public:
    // From a slab: the streams' internal objects lie side by side, which a
    // push that goes round many streams finds cheaper to reach.
    static void *operator new(size_t size);
    static void operator delete(void *p) noexcept;
    media_stream_internal(std::string cname, std::string remote_address, std::string local_address,
                          uint16_t src_port, uint16_t dst_port, RTP_FORMAT fmt,
                          std::shared_ptr<socketfactory> sf, int rce_flags, uint32_t ssrc);
    ~media_stream_internal();
    media_stream_internal(const media_stream_internal &) = delete;
    media_stream_internal &operator=(const media_stream_internal &) = delete;

    // Builds the connection and components and starts them. On failure the
    // components are released and the error returned.
    RTP_ERROR init(std::shared_ptr<zrtp> zrtp_ctx);
    RTP_ERROR init_connection();
    RTP_ERROR create_media(RTP_FORMAT fmt);
    RTP_ERROR install_packet_handlers();
    RTP_ERROR start_components();
    // Stops the stream; safe to call more than once. Always RTP_SUCCESS.
    RTP_ERROR stop();
    // Releases what the stream built and returns `code` unchanged.
    RTP_ERROR free_resources(RTP_ERROR code);

    RTP_ERROR push_frame(uint8_t *data, size_t data_len, int rtp_flags);
    RTP_ERROR push_frame(uint8_t *data, size_t data_len, uint32_t ts, int rtp_flags);
    RTP_ERROR push_frame(uint8_t *data, size_t data_len, uint32_t ts, uint64_t ntp_ts,
                         int rtp_flags);
    RTP_ERROR push_frame(std::unique_ptr<uint8_t[]> data, size_t data_len, int rtp_flags);
    RTP_ERROR push_frame(std::unique_ptr<uint8_t[]> data, size_t data_len, uint32_t ts,
                         int rtp_flags);
    RTP_ERROR push_frame(std::unique_ptr<uint8_t[]> data, size_t data_len, uint32_t ts,
                         uint64_t ntp_ts, int rtp_flags);

    // Applies one configuration key (RCC_*); see media_stream.hh.
    RTP_ERROR configure_ctx(int key, ssize_t value);
    int32_t get_configuration_value(int key);
    // The stream's counters (see tessal/stream_statistics.hh): RTP_SUCCESS,
    // RTP_UNINITIALIZED before the stream has started. Not during stop().
    RTP_ERROR get_statistics(stream_statistics &out) const;

    // Loss recovery (RCE_RTCP_FEEDBACK with RCE_WITH_RTCP).
    RTP_ERROR request_key_frame();
    RTP_ERROR install_key_frame_request_hook(void (*hook)(void *arg), void *arg);

    frame::rtp_frame *pull_frame();
    frame::rtp_frame *pull_frame(size_t timeout_ms);
    RTP_ERROR install_receive_hook(void *arg, void (*hook)(void *, frame::rtp_frame *));

    // Keys from the application (RCE_SRTP | RCE_SRTP_KEYS_FROM_USER): the
    // same key (get_key_size bytes) and 14-byte salt for both directions;
    // starts the stream. RTP_BAD_ARGUMENT for a null pointer,
    // RTP_UNSUPPORTED (stream released) without user keys, RTP_FAILED for a
    // stream that already started (nothing changes).
    RTP_ERROR add_srtp_ctx(const uint8_t *key, const uint8_t *salt);
    // Keys an SRTP (`type` 0) or SRTCP (1) object from a key agreement.
    static RTP_ERROR init_srtp_with_zrtp(int rce_flags, int type,
                                         const std::shared_ptr<base_srtp> &srtp_ctx,
                                         const std::shared_ptr<srtp_key_source> &source);
    // Initialises a RCE_SRTP_KEYS_FROM_ZRTP stream and runs its key
    // agreement; on failure the stream is released.
    RTP_ERROR init_auto_zrtp(std::shared_ptr<zrtp> zrtp_ctx);
    // Runs the ZRTP key agreement on the calling thread and installs the
    // keys and the media handlers. A multistream stream first waits (up to
    // ten seconds each) for the session's Diffie-Hellman stream and for its
    // turn. RTP_FAILED (stream released) without a ZRTP session; a stream
    // whose agreement completed returns RTP_SUCCESS and changes nothing.
    RTP_ERROR start_zrtp();
    // The SAS of the session's agreement and its verification (see
    // media_stream.hh); any thread.
    RTP_ERROR get_zrtp_sas(char out[5]) const;
    RTP_ERROR set_zrtp_sas_verified();
    bool zrtp_sas_verified() const;
    // The session's ZRTP object the stream holds; null without one.
    const std::shared_ptr<zrtp> &zrtp_object() const noexcept { return zrtp_; }
    const std::shared_ptr<srtp> &srtp_object() const noexcept { return srtp_; }
    const std::shared_ptr<srtcp> &srtcp_object() const noexcept { return srtcp_; }

    uint32_t get_key() const noexcept { return key_; }
    // The stream's RTCP object; null after a failed initialisation.
    rtcp *get_rtcp() noexcept { return rtcp_.get(); }
    // Default session bandwidth of a payload format in kbit/s (64 with a
    // WARNING for a format without one).
    static uint32_t get_default_bandwidth_kbps(RTP_FORMAT fmt);
    // RTCP objects shared by local SSRC, in all streams of the process.
    static size_t rtcp_map_size();

    // Standard SRTP (RCE_SRTP_STANDARD; see media_stream.hh): the profile
    // and the master key || salt of each direction (null for one not used,
    // not both); starts the stream. RTP_BAD_ARGUMENT (nothing changes) for
    // an unknown profile, a wrong length or a bad attribute,
    // RTP_UNSUPPORTED without RCE_SRTP_STANDARD, RTP_FAILED for a started
    // stream.
    RTP_ERROR add_srtp_keys(int profile, const uint8_t *send_master, size_t send_len,
                            const uint8_t *recv_master, size_t recv_len);
    // The same from RFC 4568 crypto attributes (security/sdes.hh).
    RTP_ERROR add_srtp_crypto(const char *send_attribute, const char *recv_attribute);
    // The stream's standard SRTP object; null without RCE_SRTP_STANDARD.
    const std::shared_ptr<srtp_standard> &srtp_standard_object() const noexcept {
        return srtp_std_;
    }
    uint32_t get_ssrc() const;

    // Expects frames from `ssrc` only: moves the stream's registration on its
    // reception flow to that SSRC and makes pulls take only its frames.
    RTP_ERROR set_remote_ssrc(uint32_t ssrc);
    const shared_ssrc &local_ssrc() const noexcept { return local_ssrc_; }
    const shared_ssrc &remote_ssrc() const noexcept { return remote_ssrc_; }
    const std::shared_ptr<reception_flow> &flow() const noexcept { return reception_flow_; }
    const std::shared_ptr<socket> &socket_ptr() const noexcept { return socket_; }
    const std::shared_ptr<rtp> &rtp_state() const noexcept { return rtp_; }

private:
    void create_rtcp_object();
    void release_rtcp_object();
    void start_rtcp();
    void create_srtp_objects();
    void give_back_turn();
    void release_srtp_objects();
    bool configurable() const;
    RTP_ERROR set_socket_option(int level, int name, ssize_t value, int32_t &stored);
    RTP_ERROR configure_mtu(ssize_t value);
    // Hands the session bandwidth to RTCP; false without an RTCP object.
    bool set_rtcp_bandwidth(uint32_t kbps);
    bool decide_family();
    bool check_addresses();
    RTP_ERROR check_push_preconditions(int rtp_flags, bool owning_buffer);
    bool check_pull_preconditions();
    void create_standard_srtp_objects();
    void holepuncher_notify();
    // Sends one frame the caller keeps (copying it first with
    // RTP_PUSH_COPY_DATA); `ts`/`ntp_ts` are set when given.
    RTP_ERROR push_borrowed(uint8_t *data, size_t data_len, const int64_t *ts,
                            const uint64_t *ntp_ts, int rtp_flags);
    RTP_ERROR push_owned(std::unique_ptr<uint8_t[]> data, size_t data_len, const int64_t *ts,
                         const uint64_t *ntp_ts, int rtp_flags);
    void set_push_timestamps(const int64_t *ts, const uint64_t *ntp_ts);
    // Asks for push_lines_ at the start of a push, and gathers them again
    // when the socket's send handlers changed.
    void prefetch_push_lines();
    void clear_push_timestamp(const int64_t *ts);

    uint32_t key_;
    std::shared_ptr<srtp> srtp_;
    std::shared_ptr<srtcp> srtcp_;
    uint32_t map_ssrc_ = 0;  // the local SSRC the SRTP objects are shared under
    bool srtp_send_handler_installed_ = false;
    // Loss recovery: both halves exist when it is on.
    bool loss_recovery_enabled() const noexcept;
    void create_loss_recovery();
    void install_loss_recovery();
    RTP_ERROR configure_loss_recovery(int key, ssize_t value);
    int32_t loss_recovery_value(int key) const;
    void on_key_frame_request(uint32_t media_ssrc);
    std::unique_ptr<loss_recovery_sender> lr_sender_;
    std::unique_ptr<loss_recovery_receiver> lr_receiver_;
    bool lr_store_installed_ = false;     // the protected store and RTX's SRTP
    shared_ssrc rtx_ssrc_cell_;           // RCC_RTX_SSRC, for the send handlers
    int rtx_receive_pt_ = -1;             // RCC_RTX_PAYLOAD_TYPE as the receiver takes it
    std::atomic<int> key_frame_kind_{0};  // RCC_KEY_FRAME_REQUEST
    std::mutex key_frame_hook_lock_;
    void (*key_frame_hook_)(void *) = nullptr;  // under key_frame_hook_lock_
    void *key_frame_hook_arg_ = nullptr;
    std::shared_ptr<socket> socket_;
    std::shared_ptr<rtp> rtp_;
    std::shared_ptr<zrtp> zrtp_;
    std::unique_ptr<zrtp::binding> zrtp_binding_;  // the capture handler's argument
    std::shared_ptr<zrtp_clock> zrtp_clock_ = std::make_shared<steady_zrtp_clock>();
    bool holds_turn_ = false;  // this stream took the multistream turn
    std::atomic<bool> zrtp_done_{false};
    // SRTP keys are in place (from the application or from ZRTP).
    std::atomic<bool> keys_installed_{false};
    std::shared_ptr<socketfactory> sf_;
    sockaddr_in remote_v4_{};
    sockaddr_in6 remote_v6_{};
    std::string remote_address_;
    std::string local_address_;
    uint16_t src_port_;
    uint16_t dst_port_;
    bool ipv6_ = false;
    RTP_FORMAT fmt_;
    int rce_flags_;
    std::atomic<bool> initialized_{false};
    // The lines a push touches in this stream's objects, prefetched together
    // when a push begins (next to the fields a push reads first); gathered
    // at the first push and again whenever the socket's send handlers
    // change. Pushing thread only.
    hot_lines push_lines_;
    uint64_t push_lines_version_ = UINT64_MAX;
    std::shared_ptr<reception_flow> reception_flow_;
    stream_reception_counts stopped_counts_;  // taken as the stream leaves its flow
    // Frames for the packets this stream receives; closed on destruction.
    frame::frame_pool *frame_pool_ = nullptr;
    std::unique_ptr<formats::media> media_;
    std::unique_ptr<holepuncher> holepuncher_;
    std::string cname_;
    int64_t fps_numerator_ = 30;
    int64_t fps_denominator_ = 1;
    int64_t pace_numerator_ = 8;
    int64_t pace_denominator_ = 10;
    uint32_t bandwidth_ = 0;  // kbit/s
    int32_t recv_buffer_size_ = -1;
    int32_t send_buffer_size_ = -1;
    int32_t multicast_ttl_ = -1;
    shared_ssrc local_ssrc_;
    shared_ssrc remote_ssrc_;
    std::atomic<bool> remote_ssrc_set_{false};

    std::shared_ptr<rtcp> rtcp_;
    uint32_t rtcp_map_ssrc_ = 0;  // the local SSRC the RTCP object is shared under
    // RCE_SRTP_STANDARD: this stream's own SRTP (srtcp_ then holds its own
    // srtcp_standard); neither is shared by SSRC.
    std::shared_ptr<srtp_standard> srtp_std_;

    // Streams initialised with the same local SSRC share these objects.
    // RFC 3550 section 8.2: another participant sends with our SSRC.
    static void on_ssrc_collision(void *arg);
    std::atomic<bool> collision_logged_{false};

    // The maps live in the context (socketfactory::shared_objects); this
    // counts their RTCP entries over every context, for tests.
    static std::atomic<size_t> rtcp_entries_;
};

}  // namespace tessal
