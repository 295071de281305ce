# Crypto++ from the system (Debian: libcrypto++-dev).
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(CRYPTOPP QUIET IMPORTED_TARGET libcrypto++)
endif()
if(TARGET PkgConfig::CRYPTOPP)
  add_library(tessal_cryptopp INTERFACE)
  target_link_libraries(tessal_cryptopp INTERFACE PkgConfig::CRYPTOPP)
else()
  # The sources include <cryptopp/...> (Debian links crypto++/ to it).
  find_path(CRYPTOPP_INCLUDE_DIR NAMES cryptopp/cryptlib.h)
  find_library(CRYPTOPP_LIBRARY NAMES cryptopp crypto++)
  if(NOT CRYPTOPP_INCLUDE_DIR OR NOT CRYPTOPP_LIBRARY)
    message(FATAL_ERROR
      "Crypto++ was not found. Tessal needs it for SRTP and ZRTP.\n"
      "On Debian or Ubuntu: apt-get install libcrypto++-dev")
  endif()
  add_library(tessal_cryptopp INTERFACE)
  # SYSTEM: our warning flags are not for Crypto++'s headers.
  target_include_directories(tessal_cryptopp SYSTEM INTERFACE ${CRYPTOPP_INCLUDE_DIR})
  target_link_libraries(tessal_cryptopp INTERFACE ${CRYPTOPP_LIBRARY})
endif()
message(STATUS "Crypto++ found")

find_package(Threads REQUIRED)
