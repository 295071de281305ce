# Installs the build tree into a scratch prefix and builds a consumer
# against it, once with find_package(tessal) and once with pkg-config.
file(REMOVE_RECURSE ${WORK_DIR})
set(PREFIX ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "command failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  message(STATUS "${out}")
endfunction()

run(${CMAKE_COMMAND} --install ${TESSAL_BUILD_DIR} --prefix ${PREFIX})
# The enclosing build's generator and build program (e.g. Ninja), not the
# default one, which may not be installed.
set(generator_args)
if(GENERATOR)
  list(APPEND generator_args -G ${GENERATOR})
endif()
if(MAKE_PROGRAM)
  list(APPEND generator_args -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM})
endif()
run(${CMAKE_COMMAND} -S ${CONSUMER_SOURCE_DIR} -B ${WORK_DIR}/build ${generator_args}
    -DCMAKE_PREFIX_PATH=${PREFIX} -DCMAKE_CXX_COMPILER=${CXX}
    "-DCMAKE_CXX_FLAGS=${EXTRA_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${EXTRA_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/consumer)

# pkg-config: compile and link the same program by hand.
file(GLOB_RECURSE PC_FILES ${PREFIX}/*/tessal.pc)
list(GET PC_FILES 0 PC_FILE)
get_filename_component(PC_DIR ${PC_FILE} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${PC_DIR})
execute_process(COMMAND pkg-config --cflags --libs tessal
  RESULT_VARIABLE rc OUTPUT_VARIABLE pc_flags OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know tessal")
endif()
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
separate_arguments(extra UNIX_COMMAND "${EXTRA_FLAGS}")
get_filename_component(LIB_DIR ${PC_DIR} DIRECTORY)
run(${CXX} -std=c++17 ${extra} ${CONSUMER_SOURCE_DIR}/consumer.cc ${pc_flags}
    -Wl,-rpath,${LIB_DIR} -o ${WORK_DIR}/consumer_pc)
run(${WORK_DIR}/consumer_pc)

# The C interface from a C compiler.
find_program(CC_PROGRAM NAMES cc gcc clang)
if(CC_PROGRAM)
  run(${CC_PROGRAM} -std=c11 ${extra} ${CONSUMER_SOURCE_DIR}/c_consumer.c ${pc_flags}
      -Wl,-rpath,${LIB_DIR} -o ${WORK_DIR}/c_consumer)
  run(${WORK_DIR}/c_consumer)
endif()
