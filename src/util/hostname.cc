#include "util/hostname.hh"

#include <unistd.h>

#include <cerrno>

#include "util/log.hh"

namespace tessal {
namespace hostname {

std::string get_hostname() {
    char buffer[512] = {};
    if (::gethostname(buffer, sizeof(buffer) - 1) != 0) {
        LOG_ERROR("%s", log::error_text(errno).c_str());
        return "";
    }
    return std::string(buffer);
}

std::string get_username() {
    char buffer[512] = {};
    int rc = ::getlogin_r(buffer, sizeof(buffer) - 1);
    if (rc != 0) {
        // getlogin_r returns the error number rather than setting errno.
        LOG_ERROR("%s", log::error_text(rc).c_str());
        return "";
    }
    return std::string(buffer);
}

}  // namespace hostname
}  // namespace tessal
