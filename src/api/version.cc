#include "tessal/version.hh"

#include "tessal_version_config.hh"

namespace tessal {

uint16_t get_version_major() noexcept {
    return TESSAL_VERSION_MAJOR;
}
uint16_t get_version_minor() noexcept {
    return TESSAL_VERSION_MINOR;
}
uint16_t get_version_patch() noexcept {
    return TESSAL_VERSION_PATCH;
}
const char *get_version_cstr() noexcept {
    return TESSAL_VERSION_STRING;
}
const char *get_git_hash_cstr() noexcept {
    return TESSAL_GIT_HASH;
}

}  // namespace tessal
