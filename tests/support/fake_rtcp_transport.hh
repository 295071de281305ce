#pragma once

// An RTCP transport that records the datagrams an RTCP object sends, for
// tests without sockets.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "util/rtcp_transport.hh"

namespace tessal {
namespace test {

class fake_rtcp_transport : public rtcp_transport {
public:
    RTP_ERROR open() override {
        record("open");
        return open_result;
    }
    void start_receiving() override { record("start_receiving"); }
    RTP_ERROR send(const uint8_t *data, size_t size) override {
        std::lock_guard<std::mutex> g(lock_);
        events_.push_back("send");
        sent_.emplace_back(data, data + size);
        return send_result;
    }
    void close() override { record("close"); }
    size_t header_overhead() const override { return 28; }

    std::vector<std::vector<uint8_t>> sent() {
        std::lock_guard<std::mutex> g(lock_);
        return sent_;
    }
    std::vector<std::string> events() {
        std::lock_guard<std::mutex> g(lock_);
        return events_;
    }

    RTP_ERROR open_result = RTP_SUCCESS;
    RTP_ERROR send_result = RTP_SUCCESS;

private:
    void record(const char *what) {
        std::lock_guard<std::mutex> g(lock_);
        events_.emplace_back(what);
    }
    std::mutex lock_;
    std::vector<std::vector<uint8_t>> sent_;
    std::vector<std::string> events_;
};

}  // namespace test
}  // namespace tessal
