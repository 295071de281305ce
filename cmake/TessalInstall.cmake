# Installs headers, libtessal.so, the CMake package (find_package(tessal))
# and tessal.pc.
include(CMakePackageConfigHelpers)

install(TARGETS tessal EXPORT tessalTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/tessal
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.hh" PATTERN "*.h")

set(TESSAL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tessal)
install(EXPORT tessalTargets NAMESPACE tessal:: DESTINATION ${TESSAL_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tessalConfig.cmake.in
  ${PROJECT_BINARY_DIR}/tessalConfig.cmake
  INSTALL_DESTINATION ${TESSAL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tessalConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tessalConfig.cmake
              ${PROJECT_BINARY_DIR}/tessalConfigVersion.cmake
        DESTINATION ${TESSAL_CMAKE_DIR})

# The .pc file finds its prefix relative to itself, so the package can be
# installed with any --prefix.
file(RELATIVE_PATH TESSAL_PC_TO_PREFIX
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" TESSAL_PC_TO_PREFIX "${TESSAL_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/tessal.pc.in ${PROJECT_BINARY_DIR}/tessal.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tessal.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
