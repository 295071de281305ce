#include "stream/media_stream_internal.hh"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "formats/h26x.hh"
#include "formats/media.hh"
#include "rtcp/rtcp_internal.hh"
#include "rtp/rtp.hh"
#include "security/crypto.hh"
#include "security/sdes.hh"
#include "security/srtcp.hh"
#include "security/srtcp_standard.hh"
#include "security/srtp.hh"
#include "security/srtp_standard.hh"
#include "security/zrtp.hh"
#include "tessal/rtcp.hh"
#include "transport/holepuncher.hh"
#include "transport/reception_flow.hh"
#include "transport/rtcp_socket_transport.hh"
#include "transport/socket.hh"
#include "transport/socketfactory.hh"
#include "util/log.hh"
#include "util/random.hh"
#include "util/slot_slab.hh"

#include <chrono>
#include <thread>

namespace tessal {

namespace {

constexpr int k_socket_buffer_bytes = 4 * 1024 * 1024;
// Released frames a stream keeps for its next packets (about 2 kB each).
constexpr size_t k_pooled_frames = 1024;
// RTP payload sizes that leave room for the 10-byte SRTP tag in a 1500-byte
// datagram.
constexpr size_t k_srtp_tagged_payload_v4 = 1442;
constexpr size_t k_srtp_tagged_payload_v6 = 1422;
// The same for standard SRTP, whose largest tag (AES-GCM) takes 16 bytes.
constexpr size_t k_srtp_standard_payload_v4 = 1436;
constexpr size_t k_srtp_standard_payload_v6 = 1416;
constexpr int k_zrtp_mask = RCE_SRTP_KEYS_FROM_ZRTP | RCE_ZRTP_FULL_DH | RCE_ZRTP_MULTISTREAM_MODE;

bool is_generic_format(RTP_FORMAT fmt) {
    const auto v = static_cast<uint32_t>(fmt);
    return v == 0 || (v >= 3 && v <= 11) || (v >= 15 && v <= 18) || (v >= 96 && v <= 105);
}

constexpr size_t k_internal_slot = (sizeof(media_stream_internal) + 63) / 64 * 64;
using internal_slab = slot_slab<k_internal_slot, 64>;

// Never destroyed: a stream may outlive static destruction.
internal_slab &internals() {
    static auto *slab = new internal_slab();
    return *slab;
}

}  // namespace

void *media_stream_internal::operator new(size_t size) {
    if (size > k_internal_slot) {
        throw std::bad_alloc();
    }
    return internals().allocate();
}

void media_stream_internal::operator delete(void *p) noexcept {
    internals().deallocate(p);
}

media_stream_internal::media_stream_internal(std::string cname, std::string remote_address,
                                             std::string local_address, uint16_t src_port,
                                             uint16_t dst_port, RTP_FORMAT fmt,
                                             std::shared_ptr<socketfactory> sf, int rce_flags,
                                             uint32_t ssrc)
    : key_(random::generate_32()),
      sf_(std::move(sf)),
      remote_address_(std::move(remote_address)),
      local_address_(std::move(local_address)),
      src_port_(src_port),
      dst_port_(dst_port),
      fmt_(fmt),
      rce_flags_(rce_flags),
      cname_(std::move(cname)),
      local_ssrc_(make_shared_ssrc(ssrc != 0 ? ssrc : random::generate_32())),
      remote_ssrc_(make_shared_ssrc(random::generate_32())) {}

std::atomic<size_t> media_stream_internal::rtcp_entries_{0};

media_stream_internal::~media_stream_internal() {
    stop();
    free_resources(RTP_SUCCESS);
    if (frame_pool_ != nullptr) {
        frame_pool_->close();  // frames still held elsewhere free themselves
    }
}

// --- set-up -------------------------------------------------------------------

RTP_ERROR media_stream_internal::init(std::shared_ptr<zrtp> zrtp_ctx) {
    zrtp_ = std::move(zrtp_ctx);
    if (init_connection() != RTP_SUCCESS) {
        LOG_ERROR("Failed to initialize the underlying socket");
        return free_resources(RTP_FAILED);
    }
    if (!reception_flow_) {
        LOG_ERROR("No reception flow found");
        return free_resources(RTP_FAILED);
    }
    rtp_ = std::make_shared<rtp>(fmt_, local_ssrc_, ipv6_);
    create_rtcp_object();
    create_srtp_objects();
    create_loss_recovery();
    // Every stream counts what it sends, with or without RCE_WITH_RTCP, and
    // before SRTP: the statistics are of the plaintext.
    socket_->install_handler(local_ssrc_, rtcp_->internal(), rtcp_internal::send_packet_handler_vec,
                             rtcp_->internal()->sender_counters());
    if (lr_sender_) {
        // Before SRTP's handler: plain packets, for RTX and streams without
        // SRTP.
        socket_->install_handler(local_ssrc_, lr_sender_.get(),
                                 loss_recovery_sender::store_handler);
    }
    if ((rce_flags_ & RCE_SRTP) && (rce_flags_ & k_zrtp_mask) &&
        !(rce_flags_ & RCE_SRTP_KEYS_FROM_USER) && zrtp_) {
        // Until the keys are agreed only ZRTP is taken in: media arriving
        // early is not processed.
        zrtp_binding_ = std::make_unique<zrtp::binding>(zrtp::binding{zrtp_.get(), socket_.get()});
        reception_flow_->set_stream_flags(remote_ssrc_, rce_flags_);
        // Only the peer's datagrams may reach the agreement.
        if (dst_port_ != 0) {
            reception_flow_->set_zrtp_peer(remote_ssrc_,
                                           ipv6_ ? reinterpret_cast<const sockaddr *>(&remote_v6_)
                                                 : reinterpret_cast<const sockaddr *>(&remote_v4_));
        }
        reception_flow_->install_handler(HANDLER_ZRTP, remote_ssrc_, zrtp::packet_handler,
                                         zrtp_binding_.get());
    } else {
        install_packet_handlers();
    }
    if (rce_flags_ & RCE_SRTP_KEYS_FROM_USER) {
        return RTP_SUCCESS;  // started by add_srtp_ctx once the keys are known
    }
    return start_components();
}

// Every stream has an RTCP object, shared with the streams of its context
// initialised with the same local SSRC; it only runs with RCE_WITH_RTCP.
void media_stream_internal::create_rtcp_object() {
    rtcp_map_ssrc_ = local_ssrc_->load();
    bool created = false;
    rtcp_ = sf_->shared_objects().rtcp_objects.acquire(
        rtcp_map_ssrc_,
        [this] {
            return std::make_shared<rtcp>(rtp_, local_ssrc_, remote_ssrc_, cname_, rce_flags_);
        },
        &created);
    if (created) {
        rtcp_entries_.fetch_add(1);
    }
}

// Released under the SSRC it was registered with, which a later change of
// the local SSRC does not touch.
void media_stream_internal::release_rtcp_object() {
    if (!sf_) {
        rtcp_.reset();
        return;
    }
    if (sf_->shared_objects().rtcp_objects.release(rtcp_map_ssrc_, rtcp_)) {
        rtcp_entries_.fetch_sub(1);
    }
}

size_t media_stream_internal::rtcp_map_size() {
    return rtcp_entries_.load();
}

uint32_t media_stream_internal::get_default_bandwidth_kbps(RTP_FORMAT fmt) {
    switch (fmt) {
        case FMT_PCMU:
        case FMT_DVI4_16K:
        case FMT_PCMA:
        case FMT_G722:
        case FMT_L8:
            return 64;
        case FMT_GSM:
            return 13;
        case FMT_G723:
        case FMT_LPC:
        case FMT_G729D:
            return 6;
        case FMT_DVI4_8K:
        case FMT_G726_32:
            return 32;
        case FMT_L16_STEREO:
            return 1411;
        case FMT_L16_MONO:
            return 706;
        case FMT_G728:
        case FMT_G726_16:
            return 16;
        case FMT_DVI4_11K:
            return 44;
        case FMT_DVI4_22K:
            return 88;
        case FMT_G729:
            return 8;
        case FMT_G726_40:
            return 40;
        case FMT_G726_24:
        case FMT_OPUS:
            return 24;
        case FMT_G729E:
            return 11;
        case FMT_GSM_EFR:
            return 12;
        case FMT_VDVI:
            return 25;
        case FMT_H264:
            return 6000;
        case FMT_H265:
            return 3000;
        case FMT_H266:
            return 2000;
        default:
            LOG_WARN("Unknown RTP format, setting session bandwidth to 64 kbps");
            return 64;
    }
}

// Every stream has an SRTP and an SRTCP object, shared with the streams of
// its context initialised with the same local SSRC.
void media_stream_internal::create_srtp_objects() {
    if (rce_flags_ & RCE_SRTP_STANDARD) {
        create_standard_srtp_objects();
        return;
    }
    map_ssrc_ = local_ssrc_->load();
    context_shared_objects &shared = sf_->shared_objects();
    srtp_ = shared.srtp_objects.acquire(map_ssrc_, [this] {
        auto made = std::make_shared<srtp>(rce_flags_);
        made->set_local_ssrc(local_ssrc_);
        return made;
    });
    srtcp_ = shared.srtcp_objects.acquire(map_ssrc_, [] { return std::make_shared<srtcp>(); });
}

// Drops this stream's references; a map entry nobody else holds goes too.
void media_stream_internal::release_srtp_objects() {
    srtp_std_.reset();
    if (!sf_) {
        srtp_.reset();
        srtcp_.reset();
        return;
    }
    context_shared_objects &shared = sf_->shared_objects();
    shared.srtp_objects.release(map_ssrc_, srtp_);
    // A standard stream's srtcp_standard is its own, never in the map.
    shared.srtcp_objects.release(map_ssrc_, srtcp_);
}

RTP_ERROR media_stream_internal::add_srtp_ctx(const uint8_t *key, const uint8_t *salt) {
    if (key == nullptr || salt == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    if (!(rce_flags_ & RCE_SRTP) || !(rce_flags_ & RCE_SRTP_KEYS_FROM_USER)) {
        return free_resources(RTP_UNSUPPORTED);
    }
    if (initialized_.load()) {
        // A second start would restart the hole puncher and replace the media
        // object under the processing thread.
        LOG_ERROR("The stream has started already; its SRTP keys cannot change");
        return RTP_FAILED;
    }
    if (!srtp_ || !srtcp_ || !reception_flow_) {
        LOG_ERROR("RTP context has not been initialized fully, cannot continue!");
        return RTP_UNINITIALIZED;
    }
    if (srtp_->keyed() || srtcp_->keyed()) {
        // Shared with a running stream of the same local SSRC: keying again
        // would free its cipher under its threads.
        LOG_ERROR("The SRTP context of this SSRC is keyed by another stream already");
        return RTP_FAILED;
    }
    RTP_ERROR rc = srtp_->init(0, rce_flags_, key, key, salt, salt);
    if (rc != RTP_SUCCESS) {
        LOG_WARN("Failed to initialize SRTP for media stream!");
        return free_resources(rc);
    }
    rc = srtcp_->init(1, rce_flags_, key, key, salt, salt);
    if (rc != RTP_SUCCESS) {
        LOG_WARN("Failed to initialize SRTCP for media stream!");
        return free_resources(rc);
    }
    keys_installed_.store(true);
    return start_components();
}

RTP_ERROR media_stream_internal::init_srtp_with_zrtp(
    int rce_flags, int type, const std::shared_ptr<base_srtp> &srtp_ctx,
    const std::shared_ptr<srtp_key_source> &source) {
    if (!srtp_ctx || !source) {
        return RTP_BAD_ARGUMENT;
    }
    const size_t n = base_srtp::get_key_size(rce_flags);
    uint8_t local_key[k_srtp_max_key_size] = {};
    uint8_t remote_key[k_srtp_max_key_size] = {};
    uint8_t local_salt[k_srtp_salt_size] = {};
    uint8_t remote_salt[k_srtp_salt_size] = {};
    const auto bits = static_cast<uint32_t>(8 * n);
    constexpr uint32_t salt_bits = 8 * k_srtp_salt_size;
    RTP_ERROR rc = source->get_srtp_keys(local_key, bits, remote_key, bits, local_salt, salt_bits,
                                         remote_salt, salt_bits);
    if (rc != RTP_SUCCESS) {
        LOG_WARN("Failed to initialize SRTP for media stream!");
    } else {
        rc = srtp_ctx->init(type, rce_flags, local_key, remote_key, local_salt, remote_salt);
    }
    crypto::wipe(local_key, sizeof(local_key));
    crypto::wipe(remote_key, sizeof(remote_key));
    crypto::wipe(local_salt, sizeof(local_salt));
    crypto::wipe(remote_salt, sizeof(remote_salt));
    return rc;
}

RTP_ERROR media_stream_internal::init_auto_zrtp(std::shared_ptr<zrtp> zrtp_ctx) {
    const RTP_ERROR rc = init(std::move(zrtp_ctx));
    if (rc != RTP_SUCCESS) {
        LOG_ERROR("Failed to initialize media stream");
        return free_resources(rc);
    }
    return start_zrtp();
}

// Waits up to ten whole seconds for `ready`, checking every 10 ms.
template <typename Ready>
static bool wait_ten_seconds(Ready ready) {
    const auto begin = std::chrono::steady_clock::now();
    while (!ready()) {
        const auto waited = std::chrono::duration_cast<std::chrono::seconds>(
            std::chrono::steady_clock::now() - begin);
        if (waited.count() > 10) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

RTP_ERROR media_stream_internal::start_zrtp() {
    if (!zrtp_) {
        LOG_ERROR("ZRTP not found, stream %i", static_cast<int>(local_ssrc_->load()));
        return free_resources(RTP_FAILED);
    }
    if (zrtp_done_.load()) {
        return RTP_SUCCESS;  // agreed once; its handlers are in place
    }
    if (!(rce_flags_ & RCE_SRTP) || !(rce_flags_ & k_zrtp_mask) ||
        (rce_flags_ & RCE_SRTP_KEYS_FROM_USER) || keys_installed_.load()) {
        // Its keys are the application's (or it has none to take): an
        // agreement would replace the ciphers its threads use.
        LOG_ERROR("The stream is not keyed by ZRTP; its SRTP keys cannot change");
        return RTP_FAILED;
    }
    if (!socket_ || !reception_flow_ || !srtp_ || !srtcp_) {
        LOG_ERROR("RTP context has not been initialized fully, cannot continue!");
        return RTP_UNINITIALIZED;
    }
    if (srtp_->keyed() || srtcp_->keyed()) {
        // Shared with a running stream of the same local SSRC.
        LOG_ERROR("The SRTP context of this SSRC is keyed by another stream already");
        return RTP_FAILED;
    }
    const bool multistream = (rce_flags_ & RCE_ZRTP_MULTISTREAM_MODE) != 0;
    if (multistream) {
        const std::shared_ptr<zrtp> z = zrtp_;
        if (!wait_ten_seconds([&z] { return z->dh_keys_ready(); })) {
            LOG_ERROR("Giving up on DH after 10 seconds");
            return free_resources(RTP_TIMED_OUT);
        }
        if (!wait_ten_seconds([&z] { return z->try_take_turn(); })) {
            LOG_ERROR("Giving up on MSM after 10 seconds");
            return free_resources(RTP_TIMED_OUT);
        }
        holds_turn_ = true;
    }
    // The keys are fetched and the media handlers installed inside the run,
    // before this side's last message lets the peer send media and before
    // another stream's run can replace what the keys derive from.
    RTP_ERROR keys = RTP_UNINITIALIZED;  // until the run is ready for them
    const auto install_keys = [this, &keys] {
        if (srtp_->keyed() || srtcp_->keyed()) {
            keys = RTP_FAILED;  // keyed by another stream while this one agreed
            return keys;
        }
        keys = init_srtp_with_zrtp(rce_flags_, 0, srtp_, zrtp_);
        if (keys == RTP_SUCCESS) {
            keys = init_srtp_with_zrtp(rce_flags_, 1, srtcp_, zrtp_);
        }
        if (keys == RTP_SUCCESS) {
            install_packet_handlers();  // before the peer may send media
        }
        return keys;
    };
    zrtp_send_fn send = [sock = socket_, to4 = remote_v4_, to6 = remote_v6_](uint8_t *data,
                                                                             size_t size) mutable {
        const RTP_ERROR sent = sock->sendto(to4, to6, data, size, 0);
        if (sent != RTP_SUCCESS) {
            log::write(log::level::error, "log_platform_error", "%s: %s %d\n",
                       "Failed to send ZRTP message", std::strerror(errno), errno);
        }
        return sent;
    };
    const RTP_ERROR rc = run_zrtp_exchange(*zrtp_, zrtp_clock_, local_ssrc_->load(), socket_.get(),
                                           std::move(send), !multistream, {}, install_keys);
    if (keys != RTP_SUCCESS && keys != RTP_UNINITIALIZED) {
        return free_resources(keys);
    }
    if (rc != RTP_SUCCESS || keys != RTP_SUCCESS) {
        LOG_WARN("Failed to initialize ZRTP for media stream!");
        return free_resources(rc != RTP_SUCCESS ? rc : RTP_FAILED);
    }
    if (!multistream) {
        zrtp_->set_dh_keys_ready();
    }
    give_back_turn();
    if ((rce_flags_ & RCE_WITH_RTCP) && rtcp_) {
        rtcp_->internal()->set_srtcp(srtcp_);  // RTCP stayed silent until now
    }
    keys_installed_.store(true);
    zrtp_done_.store(true);
    return RTP_SUCCESS;
}

RTP_ERROR media_stream_internal::get_zrtp_sas(char out[5]) const {
    if (out == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    if (!zrtp_ || !(rce_flags_ & k_zrtp_mask)) {
        return RTP_FAILED;
    }
    if (!zrtp_done_.load()) {
        return RTP_UNINITIALIZED;
    }
    return zrtp_->get_sas(out);
}

RTP_ERROR media_stream_internal::set_zrtp_sas_verified() {
    if (!zrtp_ || !(rce_flags_ & k_zrtp_mask)) {
        return RTP_FAILED;
    }
    if (!zrtp_done_.load()) {
        return RTP_UNINITIALIZED;
    }
    zrtp_->set_sas_verified();
    return RTP_SUCCESS;
}

bool media_stream_internal::zrtp_sas_verified() const {
    return zrtp_ && zrtp_done_.load() && zrtp_->sas_verified();
}

void media_stream_internal::give_back_turn() {
    if (holds_turn_ && zrtp_) {
        zrtp_->give_turn();
    }
    holds_turn_ = false;
}

// The stream's session decides its family: its local (binding) address if
// it has one, else its remote address; a stream of neither takes the
// factory's mode. Another session of the context never changes it.
bool media_stream_internal::decide_family() {
    const std::string &own = !local_address_.empty() ? local_address_ : remote_address_;
    if (own.empty()) {
        ipv6_ = sf_->get_ipv6();
        return true;
    }
    sockaddr_in6 v6{};
    sockaddr_in v4{};
    if (socket::parse_sockaddr(own, 0, v4)) {
        ipv6_ = false;
        return true;
    }
    if (socket::parse_ip6_sockaddr(own, 0, v6)) {
        ipv6_ = true;
        return true;
    }
    return false;
}

// Both addresses in the stream's family (dotted IPv4 text becomes the
// IPv4-mapped address of an IPv6 stream); a stream that sends needs a remote
// address. Nothing falls back to the wildcard address.
bool media_stream_internal::check_addresses() {
    if (!decide_family()) {
        return false;
    }
    const auto valid = [this](const std::string &text, uint16_t port) {
        sockaddr_in v4{};
        sockaddr_in6 v6{};
        return ipv6_ ? socket::parse_ip6_sockaddr(text, port, v6)
                     : socket::parse_sockaddr(text, port, v4);
    };
    if (!local_address_.empty() && !valid(local_address_, src_port_)) {
        return false;
    }
    const bool sends = dst_port_ != 0 && !(rce_flags_ & RCE_RECEIVE_ONLY);
    if (sends || !remote_address_.empty()) {
        return valid(remote_address_, dst_port_);
    }
    return true;
}

RTP_ERROR media_stream_internal::init_connection() {
    if (!check_addresses()) {
        LOG_ERROR_AS("init_connection", "Invalid IP address");
        return RTP_BAD_ARGUMENT;
    }
    const socket_endpoint endpoint{ipv6_, local_address_};
    bool have_socket = false;
    if (src_port_ != 0 && !local_address_.empty()) {
        bool multicast = false;
        if (ipv6_) {
            multicast =
                socket::is_multicast(socket::create_ip6_sockaddr(local_address_, src_port_));
        } else {
            multicast =
                socket::is_multicast(socket::create_sockaddr(AF_INET, local_address_, src_port_));
        }
        if (multicast) {
            // A multicast stream always gets a socket of its own.
            socket_ = sf_->create_new_socket(k_socket_rtp, src_port_, rce_flags_, endpoint);
            if (!socket_) {
                return RTP_FAILED;
            }
            have_socket = true;
        }
    }
    if (!have_socket) {
        socket_ = sf_->get_socket_ptr(k_socket_rtp, src_port_, rce_flags_, endpoint);
        if (!socket_) {
            return RTP_FAILED;
        }
    }
    // Known from here on, so that a failure below leaves the flow (and
    // releases the port) like a stopping stream does.
    reception_flow_ = sf_->get_reception_flow_ptr(socket_);

    if (!remote_address_.empty() && dst_port_ != 0) {
        if (ipv6_) {
            remote_v6_ = socket::create_ip6_sockaddr(remote_address_, dst_port_);
        } else {
            remote_v4_ = socket::create_sockaddr(AF_INET, remote_address_, dst_port_);
        }
        holepuncher_ = std::make_unique<holepuncher>(socket_);
        holepuncher_->set_remote_address(remote_v4_, remote_v6_);
    }

    if (rce_flags_ & RCE_RECEIVE_ONLY) {
        LOG_INFO_AS("init_connection", "Sending disabled for this stream");
    }
    if (rce_flags_ & RCE_SEND_ONLY) {
        LOG_INFO_AS("init_connection", "Not binding, receiving is not possible");
    } else if (local_address_.empty() && src_port_ != 0) {
        const RTP_ERROR bound = sf_->bind_socket_anyip(socket_, src_port_);
        if (bound != RTP_SUCCESS) {
            log::platform_error("bind(2) to any failed");
            return bound;
        }
    }

    const RTP_ERROR snd = socket_->setsockopt(SOL_SOCKET, SO_SNDBUF, &k_socket_buffer_bytes,
                                              sizeof(k_socket_buffer_bytes));
    const RTP_ERROR rcv = socket_->setsockopt(SOL_SOCKET, SO_RCVBUF, &k_socket_buffer_bytes,
                                              sizeof(k_socket_buffer_bytes));
    return snd != RTP_SUCCESS ? snd : rcv;
}

RTP_ERROR media_stream_internal::install_packet_handlers() {
    // Streams sharing the flow each keep their own flags.
    reception_flow_->set_stream_flags(remote_ssrc_, rce_flags_);
    if (frame_pool_ == nullptr) {
        // Received packets reuse released frames: no allocation per packet
        // in steady state, at most k_pooled_frames kept.
        frame_pool_ =
            frame::frame_pool::create(reception_flow_->get_payload_size(), k_pooled_frames);
    }
    reception_flow_->install_handler(HANDLER_RTP_HEADER, remote_ssrc_, rtp::packet_handler,
                                     frame_pool_);
    reception_flow_->set_local_source(remote_ssrc_, local_ssrc_, on_ssrc_collision, this);
    if ((rce_flags_ & RCE_WITH_RTCP) && rtcp_) {
        reception_flow_->install_handler(HANDLER_RTCP_STATS, remote_ssrc_,
                                         rtcp_internal::recv_packet_handler_common,
                                         rtcp_->internal());
        if (rce_flags_ & RCE_RTCP_ON_RTP_PORT) {
            reception_flow_->install_handler(HANDLER_RTCP_MUX, remote_ssrc_,
                                             rtcp_internal::incoming_packet_handler,
                                             rtcp_->internal());
        }
    }
    // SRTP's send handler follows RTCP's (installed in init), so that
    // encryption runs after RTCP's send statistics.
    if ((rce_flags_ & RCE_SRTP) && srtp_) {
        if (!srtp_send_handler_installed_) {
            socket_->install_handler(local_ssrc_, srtp_.get(), srtp::send_packet_handler);
            srtp_send_handler_installed_ = true;
        }
        reception_flow_->install_handler(HANDLER_SRTP, remote_ssrc_, srtp::recv_packet_handler,
                                         srtp_.get());
    }
    install_loss_recovery();
    return RTP_SUCCESS;
}

// On the processing thread. The old SSRC says goodbye, and the stream goes
// on under a new random one (its RTP state and SRTP follow the shared cell).
void media_stream_internal::on_ssrc_collision(void *arg) {
    auto *self = static_cast<media_stream_internal *>(arg);
    const uint32_t old = self->local_ssrc_->load();
    uint32_t fresh = random::generate_32();
    while (fresh == old) {
        fresh = random::generate_32();
    }
    if (!self->collision_logged_.exchange(true)) {
        LOG_WARN(
            "SSRC collision: another participant sends with our SSRC %lu; sending BYE and "
            "changing to %lu",
            static_cast<unsigned long>(old), static_cast<unsigned long>(fresh));
    }
    if (self->rtcp_) {
        (void)self->rtcp_->send_bye_packet(&old, 1);
    }
    self->local_ssrc_->store(fresh);
}

// --- standard SRTP ------------------------------------------------------------

// A standard SRTP stream keys its own objects: each stream has its own keys
// per direction. Until they are keyed the receive stage drops every packet.
void media_stream_internal::create_standard_srtp_objects() {
    srtp_std_ = std::make_shared<srtp_standard>();
    srtcp_ = std::make_shared<srtcp_standard>();
    reception_flow_->install_handler(HANDLER_SRTP, remote_ssrc_, srtp_standard::recv_packet_handler,
                                     srtp_std_.get());
}

RTP_ERROR media_stream_internal::add_srtp_keys(int profile, const uint8_t *send_master,
                                               size_t send_len, const uint8_t *recv_master,
                                               size_t recv_len) {
    if (!(rce_flags_ & RCE_SRTP_STANDARD)) {
        LOG_ERROR("Standard SRTP keys need a stream created with RCE_SRTP_STANDARD");
        return RTP_UNSUPPORTED;
    }
    if (initialized_.load()) {
        LOG_ERROR("The stream has started already; its SRTP keys cannot change");
        return RTP_FAILED;
    }
    if (!srtp_std_ || !srtcp_ || !socket_ || !reception_flow_) {
        LOG_ERROR("RTP context has not been initialized fully, cannot continue!");
        return RTP_UNINITIALIZED;
    }
    const srtp_profile_info *p = find_srtp_profile(profile);
    const auto fits = [p](const uint8_t *master, size_t len) {
        return master == nullptr || len == p->key_len + p->salt_len;
    };
    if (p == nullptr || (send_master == nullptr && recv_master == nullptr) ||
        !fits(send_master, send_len) || !fits(recv_master, recv_len)) {
        LOG_ERROR("Unknown SRTP profile %d or a master key and salt of the wrong length", profile);
        return RTP_BAD_ARGUMENT;
    }
    if (srtp_std_->keyed()) {
        return RTP_FAILED;
    }
    // srtcp_ was made an srtcp_standard by create_standard_srtp_objects.
    auto *rtcp_keys = static_cast<srtcp_standard *>(srtcp_.get());
    RTP_ERROR rc = srtp_std_->init(profile, send_master, send_len, recv_master, recv_len);
    if (rc == RTP_SUCCESS) {
        rc = rtcp_keys->init_standard(profile, send_master, send_len, recv_master, recv_len);
    }
    if (rc != RTP_SUCCESS) {
        LOG_ERROR("Failed to key standard SRTP");
        return free_resources(rc);
    }
    // Encryption follows RTCP's send statistics, installed in init.
    socket_->install_handler(local_ssrc_, srtp_std_.get(), srtp_standard::send_packet_handler);
    srtp_send_handler_installed_ = true;
    install_loss_recovery();  // its store keeps packets as encrypted
    keys_installed_.store(true);
    return start_components();
}

RTP_ERROR media_stream_internal::add_srtp_crypto(const char *send_attribute,
                                                 const char *recv_attribute) {
    if (send_attribute == nullptr && recv_attribute == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    sdes_crypto send;
    sdes_crypto recv;
    RTP_ERROR rc = RTP_SUCCESS;
    if (send_attribute != nullptr &&
        (rc = parse_sdes_crypto(send_attribute, send)) != RTP_SUCCESS) {
        LOG_ERROR("The crypto attribute for sending is not usable");
        return rc;
    }
    if (recv_attribute != nullptr &&
        (rc = parse_sdes_crypto(recv_attribute, recv)) != RTP_SUCCESS) {
        LOG_ERROR("The crypto attribute for receiving is not usable");
        return rc;
    }
    if (send.profile != nullptr && recv.profile != nullptr && send.profile != recv.profile) {
        LOG_ERROR("The crypto attributes of the two directions name different suites");
        return RTP_BAD_ARGUMENT;
    }
    const srtp_profile_info *p = send.profile != nullptr ? send.profile : recv.profile;
    rc = add_srtp_keys(p->id, send.profile != nullptr ? send.master.data() : nullptr,
                       send.master_len, recv.profile != nullptr ? recv.master.data() : nullptr,
                       recv.master_len);
    send.master.fill(0);
    recv.master.fill(0);
    return rc;
}

RTP_ERROR media_stream_internal::create_media(RTP_FORMAT fmt) {
    if (is_generic_format(fmt)) {
        media_ = std::make_unique<formats::media>(socket_, rtp_, rce_flags_);
        reception_flow_->install_handler(HANDLER_MEDIA, remote_ssrc_,
                                         formats::media::packet_handler,
                                         media_->get_media_frame_info());
        // One packet may complete two frames (the one before a held run).
        formats::media *generic = media_.get();
        reception_flow_->install_getter(
            remote_ssrc_, [generic](frame::rtp_frame **out) { return generic->frame_getter(out); });
    } else if (fmt == FMT_H264 || fmt == FMT_H265 || fmt == FMT_H266 || fmt == FMT_V3C) {
        std::unique_ptr<formats::h26x> video;
        if (fmt == FMT_H264) {
            video = std::make_unique<formats::h264>(socket_, rtp_, rce_flags_);
        } else if (fmt == FMT_H265) {
            video = std::make_unique<formats::h265>(socket_, rtp_, rce_flags_);
        } else if (fmt == FMT_H266) {
            video = std::make_unique<formats::h266>(socket_, rtp_, rce_flags_);
        } else {
            video = std::make_unique<formats::v3c>(socket_, rtp_, rce_flags_);
        }
        formats::h26x *raw = video.get();
        reception_flow_->install_handler(HANDLER_MEDIA, remote_ssrc_, formats::h26x::packet_handler,
                                         raw);
        reception_flow_->install_getter(
            remote_ssrc_, [raw](frame::rtp_frame **out) { return raw->frame_getter(out); });
        // The flow calls the old object no more once the new one is registered.
        media_ = std::move(video);
    } else {
        LOG_ERROR("Unknown payload format %u\n", static_cast<unsigned>(fmt));
        media_.reset();
        return RTP_UNSUPPORTED;
    }
    media_->set_fps(fps_numerator_, fps_denominator_);
    media_->set_pace(pace_numerator_, pace_denominator_);
    return RTP_SUCCESS;
}

RTP_ERROR media_stream_internal::start_components() {
    if (create_media(fmt_) != RTP_SUCCESS) {
        return free_resources(RTP_ALLOC_FAILED);
    }
    if ((rce_flags_ & RCE_NAT_KEEPALIVE) && holepuncher_) {
        holepuncher_->start();
    }
    if (rce_flags_ & RCE_WITH_RTCP) {
        start_rtcp();
    }
    if ((rce_flags_ & RCE_SRTP) && (rce_flags_ & RCE_SRTP_AUTH_TAG)) {
        rtp_->set_payload_size(ipv6_ ? k_srtp_tagged_payload_v6 : k_srtp_tagged_payload_v4);
    }
    if (rce_flags_ & RCE_SRTP_STANDARD) {
        rtp_->set_payload_size(ipv6_ ? k_srtp_standard_payload_v6 : k_srtp_standard_payload_v4);
    }
    initialized_.store(true);
    // A stream that only sends, with nothing to receive on its socket (no
    // RTCP on the RTP port, no ZRTP), runs no reception threads; a receiving
    // stream that shares the socket later starts them.
    if ((rce_flags_ & RCE_SEND_ONLY) && !(rce_flags_ & (RCE_RTCP_ON_RTP_PORT | k_zrtp_mask))) {
        return RTP_SUCCESS;
    }
    return reception_flow_->start(socket_, rce_flags_);
}

// A stream whose RTCP cannot start still starts, without RTCP.
void media_stream_internal::start_rtcp() {
    constexpr const char *fn = "start_components";
    if (remote_address_.empty() || src_port_ == 0 || dst_port_ == 0) {
        LOG_ERROR_AS(fn,
                     "Using RTCP requires setting at least remote address, local port and "
                     "remote port");
        return;
    }
    rtcp_internal *engine = rtcp_->internal();
    engine->add_initial_participant(rtp_->get_clock_rate());
    engine->set_session_bandwidth(get_default_bandwidth_kbps(fmt_));
    if (rce_flags_ & RCE_SRTP) {
        // Never RTCP in clear on an SRTP stream: only keyed SRTCP is handed
        // over, and RTCP stays silent without it.
        if (srtcp_ && srtcp_->keyed()) {
            engine->set_srtcp(srtcp_);
        }
    }
    std::shared_ptr<rtcp_socket_transport> transport;
    if (rce_flags_ & RCE_RTCP_ON_RTP_PORT) {
        transport =
            rtcp_socket_transport::on_rtp_socket(socket_, remote_address_, dst_port_, ipv6_);
    } else if (src_port_ == 65535 || dst_port_ == 65535) {
        LOG_ERROR_AS(fn,
                     "RTCP needs the port after %u, which does not exist; the stream runs "
                     "without RTCP",
                     unsigned{src_port_ == 65535 ? src_port_ : dst_port_});
        return;
    } else {
        transport = rtcp_socket_transport::on_own_port(
            sf_, static_cast<uint16_t>(src_port_ + 1), rce_flags_,
            socket_endpoint{ipv6_, local_address_}, remote_address_,
            static_cast<uint16_t>(dst_port_ + 1), remote_ssrc_, engine);
    }
    if (!transport) {
        LOG_ERROR_AS(fn, "The stream runs without RTCP");
        return;
    }
    engine->set_transport(transport);
    if (engine->start() != RTP_SUCCESS) {
        LOG_ERROR_AS(fn, "Failed to start RTCP; the stream runs without RTCP");
        engine->stop();
    }
}

// --- teardown -----------------------------------------------------------------

RTP_ERROR media_stream_internal::stop() {
    if ((rce_flags_ & RCE_NAT_KEEPALIVE) && holepuncher_) {
        holepuncher_->stop();
    }
    if ((rce_flags_ & RCE_WITH_RTCP) && rtcp_) {
        rtcp_->internal()->stop();  // the last report, with a BYE
    }
    if (lr_sender_ && rtcp_) {
        rtcp_->internal()->set_feedback_observer({});  // it calls into this stream
        rtcp_->internal()->set_feedback_tick({});
    }
    if (socket_) {
        socket_->remove_handler(local_ssrc_);
        if (rtx_ssrc_cell_) {
            socket_->remove_handler(rtx_ssrc_cell_);
        }
        srtp_send_handler_installed_ = false;
        lr_store_installed_ = false;
    }
    if (reception_flow_) {
        // The stream's counts leave the flow with its handlers.
        reception_flow_->stream_counts(remote_ssrc_, stopped_counts_);
        reception_flow_->remove_handlers(remote_ssrc_);
        reception_flow_->clear_stream_from_flow(remote_ssrc_);
    }
    if (socket_ && sf_) {
        // Given back exactly once. The factory decides, under the lock that
        // also joins streams to the port, whether this was its last stream;
        // if so the flow is stopped and the descriptor closed at once.
        holepuncher_.reset();
        const std::shared_ptr<socket> sock = std::move(socket_);
        sf_->release_socket(src_port_, sock);
    }
    return RTP_SUCCESS;
}

RTP_ERROR media_stream_internal::free_resources(RTP_ERROR code) {
    if (zrtp_ && socket_) {
        zrtp_->forget_channel(socket_.get());
    }
    // Leaving the flow first: nothing of ours may run on the processing
    // thread once we let go, and a port no stream uses any more is released.
    stop();
    zrtp_binding_.reset();
    // Only the stream that took the multistream turn gives it back.
    give_back_turn();
    release_rtcp_object();
    rtp_.reset();
    release_srtp_objects();
    holepuncher_.reset();
    media_.reset();
    socket_.reset();
    return code;
}

// --- push ---------------------------------------------------------------------

RTP_ERROR media_stream_internal::check_push_preconditions(int rtp_flags, bool owning_buffer) {
    constexpr const char *fn = "check_push_preconditions";
    // An SRTP stream sends nothing, least of all plaintext, before its keys
    // are installed.
    if (!initialized_.load() || ((rce_flags_ & RCE_SRTP) && !keys_installed_.load())) {
        LOG_ERROR_AS(fn, "RTP context has not been initialized fully, cannot continue!");
        return RTP_UNINITIALIZED;
    }
    if (remote_address_.empty() && dst_port_ != 0) {
        LOG_ERROR_AS(fn, "Cannot push frame if remote address and port have not been provided!");
        return RTP_BAD_ARGUMENT;
    }
    if (rtp_flags & RTP_PUSH_RETIRED) {
        LOG_WARN_AS(fn, "Detected an obsolete RTP flag, consider updating your flags");
    }
    if (rce_flags_ & RCE_RECEIVE_ONLY) {
        LOG_WARN_AS(fn, "Stream is designated as RECEIVE ONLY");
        return RTP_FAILED;
    }
    if (!media_) {
        LOG_ERROR_AS(fn, "Media not intialized");
        return RTP_FAILED;
    }
    if ((rtp_flags & RTP_PUSH_COPY_DATA) && owning_buffer) {
        LOG_ERROR_AS(
            fn, "Copying a smart pointer does not make sense since the original would be lost");
    }
    return RTP_SUCCESS;
}

void media_stream_internal::holepuncher_notify() {
    if (!(rce_flags_ & RCE_NAT_KEEPALIVE)) {
        return;
    }
    if (holepuncher_) {
        holepuncher_->notify();
    } else {
        LOG_WARN_AS("holepuncher", "Holepuncher is missing");
    }
}

void media_stream_internal::set_push_timestamps(const int64_t *ts, const uint64_t *ntp_ts) {
    if (ts != nullptr) {
        rtp_->set_timestamp(static_cast<uint64_t>(*ts));
    }
    if (ntp_ts != nullptr) {
        rtp_->set_sampling_ntp(*ntp_ts);
    }
}

void media_stream_internal::clear_push_timestamp(const int64_t *ts) {
    if (ts != nullptr) {
        // Later pushes without a timestamp get generated ones again.
        rtp_->set_timestamp(static_cast<uint64_t>(-1));
    }
}

void media_stream_internal::prefetch_push_lines() {
    push_lines_.prefetch();
    if (!socket_ || !media_) {
        return;
    }
    const uint64_t version = socket_->hot_lines_version();
    if (version == push_lines_version_) {
        return;
    }
    // This object's own fields are loaded as soon as the push reaches it;
    // what lies behind its pointers, and the destination address, which
    // only the kernel reads, are not.
    push_lines_.clear();
    push_lines_.add(local_ssrc_.get(), sizeof(*local_ssrc_));
    push_lines_.add(ipv6_ ? static_cast<const void *>(&remote_v6_) : &remote_v4_,
                    ipv6_ ? sizeof(remote_v6_) : sizeof(remote_v4_));
    media_->collect_hot_lines(push_lines_);
    push_lines_version_ = version;
}

RTP_ERROR media_stream_internal::push_borrowed(uint8_t *data, size_t data_len, const int64_t *ts,
                                               const uint64_t *ntp_ts, int rtp_flags) {
    prefetch_push_lines();
    const RTP_ERROR ready = check_push_preconditions(rtp_flags, false);
    if (ready != RTP_SUCCESS) {
        return ready;
    }
    holepuncher_notify();
    set_push_timestamps(ts, ntp_ts);
    RTP_ERROR result = RTP_SUCCESS;
    const uint32_t ssrc = local_ssrc_->load();
    if ((rtp_flags & RTP_PUSH_COPY_DATA) && data != nullptr && data_len > 0) {
        std::unique_ptr<uint8_t[]> copy(new (std::nothrow) uint8_t[data_len]);
        if (!copy) {
            clear_push_timestamp(ts);
            return RTP_FAILED;
        }
        std::memcpy(copy.get(), data, data_len);
        result =
            media_->push_frame(remote_v4_, remote_v6_, std::move(copy), data_len, rtp_flags, ssrc);
    } else {
        result = media_->push_frame(remote_v4_, remote_v6_, data, data_len, rtp_flags, ssrc);
    }
    clear_push_timestamp(ts);
    return result;
}

RTP_ERROR media_stream_internal::push_owned(std::unique_ptr<uint8_t[]> data, size_t data_len,
                                            const int64_t *ts, const uint64_t *ntp_ts,
                                            int rtp_flags) {
    prefetch_push_lines();
    const RTP_ERROR ready = check_push_preconditions(rtp_flags, true);
    if (ready != RTP_SUCCESS) {
        return ready;
    }
    holepuncher_notify();
    set_push_timestamps(ts, ntp_ts);
    const RTP_ERROR result = media_->push_frame(remote_v4_, remote_v6_, std::move(data), data_len,
                                                rtp_flags, local_ssrc_->load());
    clear_push_timestamp(ts);
    return result;
}

RTP_ERROR media_stream_internal::push_frame(uint8_t *data, size_t data_len, int rtp_flags) {
    return push_borrowed(data, data_len, nullptr, nullptr, rtp_flags);
}

RTP_ERROR media_stream_internal::push_frame(uint8_t *data, size_t data_len, uint32_t ts,
                                            int rtp_flags) {
    const int64_t stamp = ts;
    return push_borrowed(data, data_len, &stamp, nullptr, rtp_flags);
}

RTP_ERROR media_stream_internal::push_frame(uint8_t *data, size_t data_len, uint32_t ts,
                                            uint64_t ntp_ts, int rtp_flags) {
    const int64_t stamp = ts;
    return push_borrowed(data, data_len, &stamp, &ntp_ts, rtp_flags);
}

RTP_ERROR media_stream_internal::push_frame(std::unique_ptr<uint8_t[]> data, size_t data_len,
                                            int rtp_flags) {
    return push_owned(std::move(data), data_len, nullptr, nullptr, rtp_flags);
}

RTP_ERROR media_stream_internal::push_frame(std::unique_ptr<uint8_t[]> data, size_t data_len,
                                            uint32_t ts, int rtp_flags) {
    const int64_t stamp = ts;
    return push_owned(std::move(data), data_len, &stamp, nullptr, rtp_flags);
}

RTP_ERROR media_stream_internal::push_frame(std::unique_ptr<uint8_t[]> data, size_t data_len,
                                            uint32_t ts, uint64_t ntp_ts, int rtp_flags) {
    const int64_t stamp = ts;
    return push_owned(std::move(data), data_len, &stamp, &ntp_ts, rtp_flags);
}

// --- pull ---------------------------------------------------------------------

bool media_stream_internal::check_pull_preconditions() {
    if (!initialized_.load() || !reception_flow_) {
        LOG_ERROR("RTP context has not been initialized fully, cannot continue!");
        return false;
    }
    return true;
}

frame::rtp_frame *media_stream_internal::pull_frame() {
    if (!check_pull_preconditions()) {
        return nullptr;
    }
    const std::shared_ptr<reception_flow> flow = reception_flow_;
    return flow->pull_stream_frame(remote_ssrc_, remote_ssrc_set_.load(), -1);
}

frame::rtp_frame *media_stream_internal::pull_frame(size_t timeout_ms) {
    if (!check_pull_preconditions()) {
        return nullptr;
    }
    const auto timeout = static_cast<ssize_t>(
        std::min<size_t>(timeout_ms, static_cast<size_t>(std::numeric_limits<ssize_t>::max())));
    const std::shared_ptr<reception_flow> flow = reception_flow_;
    return flow->pull_stream_frame(remote_ssrc_, remote_ssrc_set_.load(), timeout);
}

RTP_ERROR media_stream_internal::install_receive_hook(void *arg,
                                                      void (*hook)(void *, frame::rtp_frame *)) {
    if (!initialized_.load() || !reception_flow_) {
        LOG_ERROR("RTP context has not been initialized fully, cannot continue!");
        return RTP_UNINITIALIZED;
    }
    if (hook == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    return reception_flow_->install_receive_hook(arg, hook, remote_ssrc_->load());
}

uint32_t media_stream_internal::get_ssrc() const {
    if (!initialized_.load() || !rtp_) {
        LOG_ERROR("RTP context has not been initialized, please call init before asking ssrc!");
        return 0;
    }
    return rtp_->get_ssrc();
}

bool media_stream_internal::set_rtcp_bandwidth(uint32_t kbps) {
    if (!rtcp_) {
        return false;
    }
    rtcp_->internal()->set_session_bandwidth(kbps);
    return true;
}

RTP_ERROR media_stream_internal::set_remote_ssrc(uint32_t ssrc) {
    if (!reception_flow_) {
        return RTP_UNINITIALIZED;
    }
    const uint32_t old = remote_ssrc_->exchange(ssrc);
    reception_flow_->update_remote_ssrc(old, ssrc);
    remote_ssrc_set_.store(true);
    return RTP_SUCCESS;
}

}  // namespace tessal
