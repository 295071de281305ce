#include "tessal/session.hh"

#include <mutex>
#include <unordered_map>
#include <vector>

#include "security/crypto.hh"
#include "stream/media_stream_internal.hh"
#include "tessal/media_stream.hh"
#include "transport/socketfactory.hh"
#include "util/log.hh"
#include "util/slot_slab.hh"

namespace tessal {

namespace {

// The streams a session makes come from a slab, side by side: an
// application that pushes to many streams in turn reaches each one's
// object at the cost of a neighbour's, not of a page of its own.
constexpr size_t k_stream_slot = (sizeof(media_stream) + 15) / 16 * 16;
using stream_slab = slot_slab<k_stream_slot, 256>;

// Never destroyed: a stream may outlive static destruction.
stream_slab &streams_slab() {
    static auto *slab = new stream_slab();
    return *slab;
}

struct stream_deleter {
    void operator()(media_stream *stream) const noexcept {
        if (stream != nullptr) {
            stream->~media_stream();
            streams_slab().deallocate(stream);
        }
    }
};

media_stream *make_stream(const std::string &cname, const std::string &remote,
                          const std::string &local, uint16_t src_port, uint16_t dst_port,
                          RTP_FORMAT fmt, const std::shared_ptr<socketfactory> &sf, int rce_flags) {
    void *slot = streams_slab().allocate();
    try {
        return new (slot)
            media_stream(cname, remote, local, src_port, dst_port, fmt, sf, rce_flags, 0);
    } catch (...) {
        streams_slab().deallocate(slot);
        throw;
    }
}

}  // namespace

class session_impl {
public:
    session_impl(std::string cname_, std::string single, std::string remote, std::string local,
                 std::shared_ptr<socketfactory> factory)
        : single_address(std::move(single)),
          remote_address(std::move(remote)),
          local_address(std::move(local)),
          cname(std::move(cname_)),
          sf(std::move(factory)) {
        // The factory learns the local interface (and whether the addresses
        // are IPv6) from every session created on it.
        sf->set_local_interface(!single_address.empty() ? single_address : local_address);
    }

    std::shared_ptr<zrtp> zrtp_ctx;
    std::string single_address;
    std::string remote_address;
    std::string local_address;
    std::unordered_map<uint32_t, media_stream *> streams;
    std::mutex stream_lock;  // guards streams, the addresses and zrtp_ctx
    std::string cname;
    std::shared_ptr<socketfactory> sf;
};

session::session(std::string cname, std::string address, std::shared_ptr<socketfactory> sf)
    : impl_(std::make_unique<session_impl>(std::move(cname), std::move(address), "", "",
                                           std::move(sf))) {}

session::session(std::string cname, std::string remote_address, std::string local_address,
                 std::shared_ptr<socketfactory> sf)
    : impl_(std::make_unique<session_impl>(std::move(cname), "", std::move(remote_address),
                                           std::move(local_address), std::move(sf))) {}

session::~session() noexcept {
    std::vector<media_stream *> streams;
    {
        std::lock_guard<std::mutex> guard(impl_->stream_lock);
        for (auto &entry : impl_->streams) {
            streams.push_back(entry.second);
        }
    }
    for (media_stream *stream : streams) {
        destroy_stream(stream);
    }
}

std::string &session::get_key() noexcept {
    return impl_->remote_address;
}

media_stream *session::create_stream(uint16_t port, RTP_FORMAT fmt, int rce_flags) noexcept {
    if (rce_flags & RCE_RECEIVE_ONLY) {
        return create_stream(port, 0, fmt, rce_flags);
    }
    if (!(rce_flags & RCE_SEND_ONLY)) {
        LOG_WARN(
            "You haven't specified the purpose of port with rce_flags. Using it as destination "
            "port and not binding");
    }
    return create_stream(0, port, fmt, rce_flags);
}

namespace {

// SRTP needs exactly one source of keys, and keys need SRTP.
bool check_security_flags(int rce_flags) {
    constexpr const char *fn = "create_stream";
    const bool user = (rce_flags & RCE_SRTP_KEYS_FROM_USER) != 0;
    const bool zrtp = (rce_flags & RCE_SRTP_KEYS_FROM_ZRTP) != 0;
    if (!(rce_flags & RCE_SRTP)) {
        if (user || zrtp) {
            LOG_ERROR_AS(fn, "SRTP key sources need RCE_SRTP");
            return false;
        }
        return true;
    }
    // A ZRTP mode without RCE_SRTP_KEYS_FROM_ZRTP: the application starts
    // the agreement itself with media_stream::start_zrtp.
    const bool zrtp_mode = (rce_flags & (RCE_ZRTP_FULL_DH | RCE_ZRTP_MULTISTREAM_MODE)) != 0;
    if (!user && !zrtp && !zrtp_mode) {
        LOG_ERROR_AS(fn, "RCE_SRTP needs RCE_SRTP_KEYS_FROM_USER or RCE_SRTP_KEYS_FROM_ZRTP");
        return false;
    }
    if (user && zrtp) {
        LOG_ERROR_AS(fn, "Choose one source of SRTP keys, not both");
        return false;
    }
    if ((zrtp || (zrtp_mode && !user)) && (rce_flags & (RCE_SRTP_AES192 | RCE_SRTP_AES256))) {
        LOG_ERROR_AS(fn, "Only 128-bit keys are supported with ZRTP");
        return false;
    }
    if (!(rce_flags & (RCE_SRTP_AUTH_TAG | RCE_SRTP_STANDARD)) &&
        (rce_flags & (RCE_SRTP_NO_ENCRYPTION | RCE_SRTP_ANTI_REPLAY))) {
        // Without a tag the null cipher protects nothing and the replay
        // window cannot work.
        LOG_ERROR_AS(fn, "RCE_SRTP_NO_ENCRYPTION and RCE_SRTP_ANTI_REPLAY need RCE_SRTP_AUTH_TAG");
        return false;
    }
    if (zrtp && !(rce_flags & (RCE_ZRTP_FULL_DH | RCE_ZRTP_MULTISTREAM_MODE))) {
        LOG_INFO_AS(fn, "ZRTP mode not selected, using Diffie-Hellman mode");
    }
    return true;
}

// RCE_SRTP_STANDARD: keys from the application, the rest from the profile.
bool check_standard_srtp_flags(int rce_flags) {
    constexpr const char *fn = "create_stream";
    if (!(rce_flags & RCE_SRTP_STANDARD)) {
        return true;
    }
    if (!(rce_flags & RCE_SRTP) || !(rce_flags & RCE_SRTP_KEYS_FROM_USER)) {
        LOG_ERROR_AS(fn, "RCE_SRTP_STANDARD needs RCE_SRTP | RCE_SRTP_KEYS_FROM_USER");
        return false;
    }
    if (rce_flags & (RCE_SRTP_AES192 | RCE_SRTP_AES256 | RCE_SRTP_NO_ENCRYPTION |
                     RCE_SRTP_KEYS_FROM_ZRTP | RCE_ZRTP_FULL_DH | RCE_ZRTP_MULTISTREAM_MODE)) {
        LOG_ERROR_AS(fn,
                     "With RCE_SRTP_STANDARD the profile sets the cipher and key length, and "
                     "the keys come from the application");
        return false;
    }
    return true;
}

}  // namespace

media_stream *session::create_stream(uint16_t src_port, uint16_t dst_port, RTP_FORMAT fmt,
                                     int rce_flags) noexcept {
    if (rce_flags & RCE_RETIRED_FLAG) {
        LOG_WARN(
            "You are using a flag that has either been removed or has been enabled by default. "
            "Consider updating RCE flags");
    }
    if ((rce_flags & RCE_SEND_ONLY) && (rce_flags & RCE_RECEIVE_ONLY)) {
        LOG_ERROR("Cannot both use RCE_SEND_ONLY and RCE_RECEIVE_ONLY!");
        return nullptr;
    }

    // A single-address session copies its address into the slot this stream
    // needs. Concurrent creations share the strings, so this and the copies
    // the stream is built from happen under the lock.
    std::string remote;
    std::string local;
    {
        std::lock_guard<std::mutex> guard(impl_->stream_lock);
        if (!impl_->single_address.empty()) {
            if (rce_flags & RCE_RECEIVE_ONLY) {
                impl_->local_address = impl_->single_address;
            } else {
                impl_->remote_address = impl_->single_address;
            }
        }
        remote = impl_->remote_address;
        local = impl_->local_address;
    }
    const bool single = !impl_->single_address.empty();
    if (rce_flags & RCE_RECEIVE_ONLY) {
        if (!single && local.empty()) {
            LOG_ERROR("RCE_RECEIVE_ONLY requires local address!");
            return nullptr;
        }
        if (src_port == 0) {
            LOG_ERROR("RCE_RECEIVE_ONLY requires source port!");
            return nullptr;
        }
    } else if (!single && (rce_flags & RCE_SEND_ONLY) && remote.empty()) {
        LOG_ERROR("RCE_SEND_ONLY requires remote address!");
        return nullptr;
    }
    if ((rce_flags & RCE_SEND_ONLY) && dst_port == 0) {
        LOG_ERROR("RCE_SEND_ONLY requires destination port!");
        return nullptr;
    }
    if ((rce_flags & RCE_SRTP) && !crypto::enabled()) {
        LOG_ERROR("RCE_SRTP requires inclusion of Crypto++ during compilation!");
        return nullptr;
    }
    if (!check_security_flags(rce_flags) || !check_standard_srtp_flags(rce_flags)) {
        return nullptr;
    }

    try {
        std::unique_ptr<media_stream, stream_deleter> stream(make_stream(
            impl_->cname, remote, local, src_port, dst_port, fmt, impl_->sf, rce_flags));
        std::shared_ptr<zrtp> zrtp_ctx;
        {
            // The first SRTP stream brings the session's ZRTP object into
            // being; it stays even if this stream fails.
            std::lock_guard<std::mutex> guard(impl_->stream_lock);
            if ((rce_flags & RCE_SRTP) && !impl_->zrtp_ctx) {
                impl_->zrtp_ctx = std::make_shared<zrtp>();
            }
            zrtp_ctx = impl_->zrtp_ctx;
        }
        const RTP_ERROR rc = (rce_flags & RCE_SRTP_KEYS_FROM_ZRTP)
                                 ? stream->internal()->init_auto_zrtp(zrtp_ctx)
                                 : stream->internal()->init(zrtp_ctx);
        if (rc != RTP_SUCCESS) {
            LOG_ERROR("Failed to initialize media stream %s:%d/%d", remote.c_str(), src_port,
                      dst_port);
            return nullptr;
        }
        std::lock_guard<std::mutex> guard(impl_->stream_lock);
        // Stream keys are random; on the rare collision draw the stream into
        // a free slot so that every stream can be destroyed through the session.
        uint32_t key = stream->internal()->get_key();
        while (impl_->streams.count(key) != 0) {
            ++key;
        }
        impl_->streams.emplace(key, stream.get());
        return stream.release();
    } catch (const std::exception &) {
        return nullptr;
    }
}

RTP_ERROR session::destroy_stream(media_stream *stream) noexcept {
    if (stream == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    {
        std::lock_guard<std::mutex> guard(impl_->stream_lock);
        auto it = impl_->streams.begin();
        while (it != impl_->streams.end() && it->second != stream) {
            ++it;
        }
        if (it == impl_->streams.end()) {
            return RTP_NO_SUCH_ITEM;
        }
        impl_->streams.erase(it);
    }
    stream->stop();
    stream_deleter()(stream);
    return RTP_SUCCESS;
}

}  // namespace tessal
