# Compiler warnings and sanitizers for the project's own targets.

set(TESSAL_WARNING_FLAGS -Wall -Wextra -Wpedantic -Wshadow -Wconversion)
if(TESSAL_WERROR)
  list(APPEND TESSAL_WARNING_FLAGS -Werror)
endif()

# Applies the project's warnings to a target.
function(tessal_warnings target)
  target_compile_options(${target} PRIVATE ${TESSAL_WARNING_FLAGS})
endfunction()

if(TESSAL_SANITIZE)
  string(REPLACE ";" "," _tessal_san "${TESSAL_SANITIZE}")
  if(NOT (_tessal_san STREQUAL "address,undefined" OR _tessal_san STREQUAL "undefined,address"
          OR _tessal_san STREQUAL "address" OR _tessal_san STREQUAL "undefined"
          OR _tessal_san STREQUAL "thread"))
    message(FATAL_ERROR "TESSAL_SANITIZE must be 'address;undefined' or 'thread', not '${TESSAL_SANITIZE}'")
  endif()
  # Every target, dependencies built here included, is instrumented the same way.
  add_compile_options(-fsanitize=${_tessal_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_tessal_san})
  set(TESSAL_SANITIZE_FLAGS "-fsanitize=${_tessal_san}")
endif()
