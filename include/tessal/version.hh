#pragma once

#include <cstdint>

#include "tessal/export.hh"

namespace tessal {

// The library's version: 4.0.1 ("4.0.1-release"). The git hash is empty.
TESSAL_EXPORT uint16_t get_version_major() noexcept;
TESSAL_EXPORT uint16_t get_version_minor() noexcept;
TESSAL_EXPORT uint16_t get_version_patch() noexcept;
TESSAL_EXPORT const char *get_version_cstr() noexcept;
TESSAL_EXPORT const char *get_git_hash_cstr() noexcept;

}  // namespace tessal
