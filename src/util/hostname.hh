#pragma once

#include <string>

namespace tessal {
namespace hostname {

// The host name (gethostname); "" after an ERROR line on failure.
std::string get_hostname();
// The login name (getlogin_r); "" after an ERROR line on failure.
std::string get_username();

}  // namespace hostname
}  // namespace tessal
