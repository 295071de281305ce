#include "tessal/media_stream.hh"

#include <new>

#include "stream/media_stream_internal.hh"
#include "util/log.hh"

// The public stream forwards to its implementation. Nothing may escape as an
// exception: allocation failures become results.

namespace tessal {

media_stream::media_stream(std::string cname, std::string remote_address, std::string local_address,
                           uint16_t src_port, uint16_t dst_port, RTP_FORMAT fmt,
                           std::shared_ptr<socketfactory> sf, int rce_flags, uint32_t ssrc)
    : impl_(std::make_unique<media_stream_internal>(std::move(cname), std::move(remote_address),
                                                    std::move(local_address), src_port, dst_port,
                                                    fmt, std::move(sf), rce_flags, ssrc)) {}

media_stream::~media_stream() noexcept = default;

RTP_ERROR media_stream::push_frame(uint8_t *data, size_t data_len, int rtp_flags) noexcept {
    try {
        return impl_->push_frame(data, data_len, rtp_flags);
    } catch (const std::exception &) {
        return RTP_FAILED;
    }
}

RTP_ERROR media_stream::push_frame(uint8_t *data, size_t data_len, uint32_t ts,
                                   int rtp_flags) noexcept {
    try {
        return impl_->push_frame(data, data_len, ts, rtp_flags);
    } catch (const std::exception &) {
        return RTP_FAILED;
    }
}

RTP_ERROR media_stream::push_frame(uint8_t *data, size_t data_len, uint32_t ts, uint64_t ntp_ts,
                                   int rtp_flags) noexcept {
    try {
        return impl_->push_frame(data, data_len, ts, ntp_ts, rtp_flags);
    } catch (const std::exception &) {
        return RTP_FAILED;
    }
}

RTP_ERROR media_stream::push_frame(std::unique_ptr<uint8_t[]> data, size_t data_len,
                                   int rtp_flags) noexcept {
    try {
        return impl_->push_frame(std::move(data), data_len, rtp_flags);
    } catch (const std::exception &) {
        return RTP_FAILED;
    }
}

RTP_ERROR media_stream::push_frame(std::unique_ptr<uint8_t[]> data, size_t data_len, uint32_t ts,
                                   int rtp_flags) noexcept {
    try {
        return impl_->push_frame(std::move(data), data_len, ts, rtp_flags);
    } catch (const std::exception &) {
        return RTP_FAILED;
    }
}

RTP_ERROR media_stream::push_frame(std::unique_ptr<uint8_t[]> data, size_t data_len, uint32_t ts,
                                   uint64_t ntp_ts, int rtp_flags) noexcept {
    try {
        return impl_->push_frame(std::move(data), data_len, ts, ntp_ts, rtp_flags);
    } catch (const std::exception &) {
        return RTP_FAILED;
    }
}

RTP_ERROR media_stream::add_srtp_keys(int profile, const uint8_t *send_master, size_t send_len,
                                      const uint8_t *recv_master, size_t recv_len) noexcept {
    try {
        return impl_->add_srtp_keys(profile, send_master, send_len, recv_master, recv_len);
    } catch (const std::exception &) {
        return RTP_FAILED;
    }
}

RTP_ERROR media_stream::add_srtp_crypto(const char *send_attribute,
                                        const char *recv_attribute) noexcept {
    try {
        return impl_->add_srtp_crypto(send_attribute, recv_attribute);
    } catch (const std::exception &) {
        return RTP_FAILED;
    }
}

frame::rtp_frame *media_stream::pull_frame() noexcept {
    try {
        return impl_->pull_frame();
    } catch (const std::exception &) {
        return nullptr;
    }
}

frame::rtp_frame *media_stream::pull_frame(size_t timeout_ms) noexcept {
    try {
        return impl_->pull_frame(timeout_ms);
    } catch (const std::exception &) {
        return nullptr;
    }
}

RTP_ERROR media_stream::install_receive_hook(void *arg,
                                             void (*hook)(void *, frame::rtp_frame *)) noexcept {
    try {
        return impl_->install_receive_hook(arg, hook);
    } catch (const std::exception &) {
        return RTP_FAILED;
    }
}

RTP_ERROR media_stream::add_srtp_ctx(uint8_t *key, uint8_t *salt) noexcept {
    try {
        return impl_->add_srtp_ctx(key, salt);
    } catch (const std::exception &) {
        return RTP_FAILED;
    }
}

RTP_ERROR media_stream::start_zrtp() noexcept {
    try {
        return impl_->start_zrtp();
    } catch (const std::exception &) {
        return RTP_FAILED;
    }
}

RTP_ERROR media_stream::get_zrtp_sas(char out[5]) const noexcept {
    return impl_->get_zrtp_sas(out);
}

RTP_ERROR media_stream::set_zrtp_sas_verified() noexcept {
    return impl_->set_zrtp_sas_verified();
}

bool media_stream::zrtp_sas_verified() const noexcept {
    return impl_->zrtp_sas_verified();
}

RTP_ERROR media_stream::configure_ctx(int key, ssize_t value) noexcept {
    try {
        return impl_->configure_ctx(key, value);
    } catch (const std::exception &) {
        return RTP_FAILED;
    }
}

int media_stream::get_configuration_value(int key) noexcept {
    try {
        return impl_->get_configuration_value(key);
    } catch (const std::exception &) {
        return RTP_FAILED;
    }
}

RTP_ERROR media_stream::get_statistics(stream_statistics *out) const noexcept {
    if (out == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    return impl_->get_statistics(*out);
}

RTP_ERROR media_stream::request_key_frame() noexcept {
    try {
        return impl_->request_key_frame();
    } catch (const std::exception &) {
        return RTP_FAILED;
    }
}

RTP_ERROR media_stream::install_key_frame_request_hook(void (*hook)(void *), void *arg) noexcept {
    return impl_->install_key_frame_request_hook(hook, arg);
}

rtcp *media_stream::get_rtcp() noexcept {
    return impl_->get_rtcp();
}

uint32_t media_stream::get_ssrc() const noexcept {
    return impl_->get_ssrc();
}

RTP_ERROR media_stream::stop() noexcept {
    return impl_->stop();
}

}  // namespace tessal
