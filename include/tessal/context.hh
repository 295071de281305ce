#pragma once

#include <memory>
#include <string>

#include "tessal/export.hh"
#include "tessal/util.hh"

namespace tessal {

class session;

// The application's entry point: create one per application. It owns the
// canonical name (CNAME) announced for every stream and the socket sharing
// of all its sessions, so streams on the same local port share one socket.
class TESSAL_EXPORT context {
public:
    context() noexcept;
    // Does not destroy the sessions; destroy them first with destroy_session.
    ~context() noexcept;
    context(const context &) = delete;
    context &operator=(const context &) = delete;

    // A session toward one peer address (numeric IPv4 or IPv6 text). Null for
    // a null or empty address. The caller owns the session until it hands it
    // back with destroy_session.
    session *create_session(const char *address) noexcept;
    session *create_session(const std::string &address) noexcept {
        return create_session(address.c_str());
    }
    // A session with a local (binding) and a remote address; either may be
    // empty or null, not both.
    session *create_session(const char *local_address, const char *remote_address) noexcept;
    session *create_session(const std::string &local_address,
                            const std::string &remote_address) noexcept {
        return create_session(local_address.c_str(), remote_address.c_str());
    }

    // Destroys the session and its streams. RTP_BAD_ARGUMENT for null.
    RTP_ERROR destroy_session(session *s) noexcept;

    // Whether SRTP/ZRTP support is built in.
    bool crypto_enabled() const noexcept;

    class context_impl;

private:
    std::unique_ptr<context_impl> impl_;
};

}  // namespace tessal
