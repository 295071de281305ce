#pragma once

#include <cstddef>
#include <string>

namespace tessal {
namespace hostname {

// The platform calls behind get_username(); tests substitute their own. Each
// name source writes a NUL-terminated name into `buf` (`size` bytes) and
// returns 0, or returns an error number and leaves `buf` undefined.
struct user_name_sources {
    int (*login_name)(char *buf, size_t size);      // getlogin_r
    int (*effective_user)(char *buf, size_t size);  // getpwuid_r(geteuid())
    const char *(*environment)(const char *name);   // getenv

    // The real calls.
    static user_name_sources system() noexcept;
};

// The host name (gethostname); "" after an ERROR line on failure.
std::string get_hostname();

// The user name for the CNAME: the login name; without a login terminal
// (services, containers, CI) the effective user's name; then $USER. "" after
// an ERROR line (the login failure's error text) when none is known.
std::string get_username();
std::string get_username(const user_name_sources &sources);

}  // namespace hostname
}  // namespace tessal
