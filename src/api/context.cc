#include "tessal/context.hh"

#include <cstdlib>
#include <new>

#include "api/context_impl.hh"
#include "security/crypto.hh"
#include "tessal/session.hh"
#include "transport/socketfactory.hh"
#include "util/hostname.hh"
#include "util/log.hh"

namespace tessal {

namespace {

// 10 characters from [0-9A-Za-z], drawn with the C library's rand(), which
// the library never seeds.
std::string random_name_part() {
    static const char alphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::string part;
    for (int i = 0; i < 10; ++i) {
        part += alphabet[std::rand() % 62];
    }
    return part;
}

}  // namespace

context::context_impl::context_impl()
    : cname(generate_cname()), sf(std::make_shared<socketfactory>()) {}

// RFC 3550 section 6.5.1: "user@host"; here the host name comes first.
std::string context::context_impl::generate_cname() const {
    std::string host = hostname::get_hostname();
    std::string user = hostname::get_username();
    if (host.empty()) {
        host = random_name_part();
    }
    if (user.empty()) {
        user = random_name_part();
    }
    return host + "@" + user;
}

context::context() noexcept : impl_(new (std::nothrow) context_impl()) {}

context::~context() noexcept = default;

session *context::create_session(const char *address) noexcept {
    if (address == nullptr || address[0] == '\0') {
        LOG_ERROR("Please specify the address you want to communicate with!");
        return nullptr;
    }
    if (!impl_) {
        return nullptr;
    }
    try {
        return new session(impl_->cname, address, impl_->sf);
    } catch (const std::exception &) {
        return nullptr;
    }
}

session *context::create_session(const char *local_address, const char *remote_address) noexcept {
    const std::string local = local_address != nullptr ? local_address : "";
    const std::string remote = remote_address != nullptr ? remote_address : "";
    if (local.empty() && remote.empty()) {
        LOG_ERROR("Please specify at least one address for create_session");
        return nullptr;
    }
    if (!impl_) {
        return nullptr;
    }
    try {
        return new session(impl_->cname, remote, local, impl_->sf);
    } catch (const std::exception &) {
        return nullptr;
    }
}

RTP_ERROR context::destroy_session(session *s) noexcept {
    if (s == nullptr) {
        return RTP_BAD_ARGUMENT;
    }
    delete s;
    return RTP_SUCCESS;
}

bool context::crypto_enabled() const noexcept {
    return crypto::enabled();
}

}  // namespace tessal
