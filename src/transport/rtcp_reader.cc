#include "transport/rtcp_reader.hh"

#include <system_error>
#include <vector>

#include "transport/poll.hh"
#include "transport/socket.hh"
#include "util/byte_reader.hh"
#include "util/log.hh"
#include "util/rtcp_transport.hh"

namespace tessal {

namespace {

constexpr size_t k_rtcp_receive_buffer = 65536;
constexpr int k_rtcp_poll_ms = 100;

}  // namespace

rtcp_reader::rtcp_reader() = default;

rtcp_reader::~rtcp_reader() {
    stop();
}

RTP_ERROR rtcp_reader::start() {
    std::lock_guard<std::mutex> guard(start_stop_lock_);
    if (running_.load()) {
        return RTP_SUCCESS;
    }
    if (!socket_) {
        LOG_ERROR("RTCP reader has no socket");
        return RTP_FAILED;
    }
    if (reader_thread_.joinable()) {
        reader_thread_.join();  // ended on a receive failure
    }
    running_.store(true);  // before the thread, so it sees it at once
    try {
        reader_thread_ = std::thread(&rtcp_reader::rtcp_report_reader, this, socket_);
    } catch (const std::system_error &) {
        running_.store(false);
        LOG_ERROR("Failed to start the RTCP reader");
        return RTP_FAILED;
    }
    return RTP_SUCCESS;
}

RTP_ERROR rtcp_reader::stop() {
    std::lock_guard<std::mutex> guard(start_stop_lock_);
    stop_locked();
    return RTP_SUCCESS;
}

void rtcp_reader::stop_locked() {
    running_.store(false);
    if (reader_thread_.joinable()) {
        reader_thread_.join();
    }
}

RTP_ERROR rtcp_reader::set_socket(std::shared_ptr<socket> sock) {
    std::lock_guard<std::mutex> guard(start_stop_lock_);
    socket_ = std::move(sock);
    return RTP_SUCCESS;
}

RTP_ERROR rtcp_reader::map_ssrc_to_rtcp(const shared_ssrc &remote_ssrc, rtcp_receiver *rtcp) {
    std::lock_guard<std::mutex> guard(map_lock_);
    ssrc_to_rtcp_[remote_ssrc] = rtcp;
    return RTP_SUCCESS;
}

bool rtcp_reader::clear_rtcp_from_reader(const shared_ssrc &remote_ssrc) {
    {
        std::lock_guard<std::mutex> guard(map_lock_);
        ssrc_to_rtcp_.erase(remote_ssrc);
        if (!ssrc_to_rtcp_.empty()) {
            return false;
        }
    }
    // Checked again under start_stop_lock_: a stream that mapped itself in
    // between starts the reader after us, so it keeps running for it.
    std::lock_guard<std::mutex> guard(start_stop_lock_);
    {
        std::lock_guard<std::mutex> map(map_lock_);
        if (!ssrc_to_rtcp_.empty()) {
            return false;
        }
    }
    stop_locked();
    return true;
}

void rtcp_reader::dispatch(uint8_t *datagram, size_t size) {
    std::lock_guard<std::mutex> guard(map_lock_);
    if (ssrc_to_rtcp_.size() == 1) {
        ssrc_to_rtcp_.begin()->second->handle_incoming_packet(datagram, size);
        return;
    }
    if (size < 8) {
        return;
    }
    const uint32_t sender = read_be32(datagram + 4);  // every RTCP packet's first SSRC
    for (const auto &entry : ssrc_to_rtcp_) {
        if (entry.first->load() == sender) {
            entry.second->handle_incoming_packet(datagram, size);
        }
    }
}

void rtcp_reader::rtcp_report_reader(std::shared_ptr<socket> sock) {
    LOG_INFO("RTCP report reader created!");
    std::vector<uint8_t> buffer(k_rtcp_receive_buffer);
    const std::vector<std::shared_ptr<socket>> sockets = {std::move(sock)};
    while (running_.load()) {
        int bytes = 0;
        const RTP_ERROR r =
            poll::poll(sockets, buffer.data(), buffer.size(), k_rtcp_poll_ms, &bytes);
        if (r == RTP_SUCCESS && bytes > 0) {
            dispatch(buffer.data(), static_cast<size_t>(bytes));
        } else if (r != RTP_SUCCESS && r != RTP_NO_DATA) {
            LOG_ERROR("poll failed, %d", static_cast<int>(r));
            break;
        }
    }
}

}  // namespace tessal
