# Each directory of src/ includes only itself, the public headers and the
# layers beneath it: a lower layer never reaches up into a higher one.
#
#   cmake -DSOURCE_DIR=<src> -P check_layers.cmake
#
# Rank of each layer; a file may include a directory of strictly lower rank.
# The protocol layers send through interfaces that live in util/; transport/
# (the only layer with sockets) implements them above the protocols.
set(rank_util 0)
set(rank_rtp 1)
set(rank_security 1)
set(rank_formats 2)
set(rank_rtcp 2)
set(rank_transport 3)
set(rank_stream 4)
set(rank_api 5)
set(layers util rtp security formats rtcp transport stream api)

if(NOT IS_DIRECTORY "${SOURCE_DIR}")
  message(FATAL_ERROR "SOURCE_DIR is not a directory: ${SOURCE_DIR}")
endif()

set(violations "")
set(files_checked 0)
foreach(layer IN LISTS layers)
  file(GLOB_RECURSE files "${SOURCE_DIR}/${layer}/*.hh" "${SOURCE_DIR}/${layer}/*.cc")
  if(NOT files)
    list(APPEND violations "no sources under ${layer}/ (is the layer list stale?)")
  endif()
  foreach(path IN LISTS files)
    math(EXPR files_checked "${files_checked} + 1")
    file(STRINGS "${path}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS includes)
      if(NOT line MATCHES "\"([a-z_0-9]+)/")
        continue()  # a file of the same directory, or a generated header
      endif()
      set(target "${CMAKE_MATCH_1}")
      if(target STREQUAL layer OR target STREQUAL "tessal")
        continue()
      endif()
      file(RELATIVE_PATH shown "${SOURCE_DIR}" "${path}")
      if(NOT DEFINED rank_${target})
        list(APPEND violations "${shown}: includes unknown directory ${target}/")
      elseif(NOT rank_${target} LESS rank_${layer})
        list(APPEND violations "${shown}: ${layer}/ includes ${target}/, which is not beneath it")
      endif()
    endforeach()
  endforeach()
endforeach()

# The security layer is pure protocol code: its key agreement and ciphers take
# bytes and time values; the stream layer owns the sockets, clocks and threads
# that drive them.
file(GLOB_RECURSE files "${SOURCE_DIR}/security/*.hh" "${SOURCE_DIR}/security/*.cc")
foreach(path IN LISTS files)
  file(STRINGS "${path}" io_includes
       REGEX "^[ \t]*#[ \t]*include[ \t]*<(sys/socket|netinet/|arpa/|sys/epoll|poll|netdb|thread)")
  if(io_includes)
    file(RELATIVE_PATH shown "${SOURCE_DIR}" "${path}")
    list(APPEND violations "${shown}: security/ includes a socket or thread header: ${io_includes}")
  endif()
endforeach()

if(violations)
  list(JOIN violations "\n  " shown)
  message(FATAL_ERROR "Layering broken:\n  ${shown}")
endif()
message(STATUS "Layering holds over ${files_checked} files")
