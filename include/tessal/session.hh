#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tessal/export.hh"
#include "tessal/util.hh"

namespace tessal {

class media_stream;
class session_impl;
class socketfactory;

// One peer relationship: a single address, or a local and a remote address.
// Creates and owns media streams. Created by context::create_session.
class TESSAL_EXPORT session {
public:
    ~session() noexcept;
    session(const session &) = delete;
    session &operator=(const session &) = delete;

    // One port whose purpose the flags give: the local port with
    // RCE_RECEIVE_ONLY, the destination port otherwise.
    media_stream *create_stream(uint16_t port, RTP_FORMAT fmt, int rce_flags) noexcept;
    // `src_port`: local port to bind (0: none); `dst_port`: remote port to
    // send to (0: none). Null on failure (the reason is logged).
    media_stream *create_stream(uint16_t src_port, uint16_t dst_port, RTP_FORMAT fmt,
                                int rce_flags) noexcept;
    // Stops and destroys a stream of this session. RTP_BAD_ARGUMENT for null,
    // RTP_NO_SUCH_ITEM for a stream that is not (or no longer) this session's.
    RTP_ERROR destroy_stream(media_stream *stream) noexcept;

    // The session's remote address.
    std::string &get_key() noexcept;

    // Used by context; applications create sessions through the context.
    session(std::string cname, std::string address, std::shared_ptr<socketfactory> sf);
    session(std::string cname, std::string remote_address, std::string local_address,
            std::shared_ptr<socketfactory> sf);

private:
    std::unique_ptr<session_impl> impl_;
};

}  // namespace tessal
