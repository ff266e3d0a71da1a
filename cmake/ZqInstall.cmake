# cmake --install: the headers under include/zq/<folder>/, the library, the CMake package
# (find_package(zq CONFIG) gives zq::zq) and zq.pc for pkg-config.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

foreach(dir IN LISTS ZQ_LIBRARY_DIRS)
  install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zq/${dir}
          FILES_MATCHING PATTERN "*.h")
endforeach()

install(TARGETS zq EXPORT zqTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(ZQ_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zq)
install(EXPORT zqTargets NAMESPACE zq:: DESTINATION ${ZQ_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/zqConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/zqConfig.cmake INSTALL_DESTINATION ${ZQ_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/zqConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zqConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/zqConfigVersion.cmake
        DESTINATION ${ZQ_CMAKE_DIR})

# zq.pc finds its prefix from where it lies, so an install with --prefix works too.
string(REGEX REPLACE "[^/]+" ".." ZQ_PC_TO_PREFIX "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
configure_file(${CMAKE_CURRENT_LIST_DIR}/zq.pc.in ${CMAKE_CURRENT_BINARY_DIR}/zq.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zq.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
