#include "util/hostname.hh"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "util/log.hh"

namespace tessal {
namespace hostname {

namespace {

constexpr size_t k_name_buffer = 512;

int system_login_name(char *buf, size_t size) {
    // getlogin_r returns the error number rather than setting errno.
    return ::getlogin_r(buf, size);
}

int system_effective_user(char *buf, size_t size) noexcept {
    try {
        const long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
        std::vector<char> scratch(hint > 0 ? static_cast<size_t>(hint) : 16384);
        passwd entry{};
        passwd *found = nullptr;
        int rc = 0;
        while ((rc = ::getpwuid_r(::geteuid(), &entry, scratch.data(), scratch.size(), &found)) ==
                   ERANGE &&
               scratch.size() < (1u << 20)) {
            scratch.resize(scratch.size() * 2);
        }
        if (rc != 0) {
            return rc;
        }
        if (found == nullptr || found->pw_name == nullptr) {
            return ENOENT;  // no entry for this user id
        }
        const size_t length = std::strlen(found->pw_name);
        if (length >= size) {
            return ERANGE;
        }
        std::memcpy(buf, found->pw_name, length + 1);
        return 0;
    } catch (const std::bad_alloc &) {
        return ENOMEM;  // the context is built in a noexcept constructor
    }
}

const char *system_environment(const char *name) {
    return std::getenv(name);
}

// A name from a source, or "" when it failed (its error number in `*rc`).
std::string from(int (*source)(char *, size_t), int *rc = nullptr) {
    char buffer[k_name_buffer] = {};
    const int result = source != nullptr ? source(buffer, sizeof(buffer) - 1) : ENOSYS;
    if (rc != nullptr) {
        *rc = result;
    }
    return result == 0 ? std::string(buffer) : std::string();
}

}  // namespace

user_name_sources user_name_sources::system() noexcept {
    return user_name_sources{system_login_name, system_effective_user, system_environment};
}

std::string get_hostname() {
    char buffer[k_name_buffer] = {};
    if (::gethostname(buffer, sizeof(buffer) - 1) != 0) {
        LOG_ERROR("%s", log::error_text(errno).c_str());
        return "";
    }
    return std::string(buffer);
}

std::string get_username() {
    return get_username(user_name_sources::system());
}

std::string get_username(const user_name_sources &sources) {
    int login_rc = 0;
    std::string name = from(sources.login_name, &login_rc);
    if (!name.empty()) {
        return name;
    }
    // No login terminal (a service, a container, CI): getlogin_r fails with
    // ENXIO or ENOTTY, yet the process still runs as some user.
    name = from(sources.effective_user);
    if (!name.empty()) {
        return name;
    }
    const char *user = sources.environment != nullptr ? sources.environment("USER") : nullptr;
    if (user != nullptr && *user != '\0') {
        return std::string(user);
    }
    LOG_ERROR("%s", log::error_text(login_rc != 0 ? login_rc : ENOENT).c_str());
    return "";
}

}  // namespace hostname
}  // namespace tessal
