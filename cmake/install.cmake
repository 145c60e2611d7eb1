# cmake --install: the header(s), the shared library, the static libraries, the tool and its man
# page, a pkg-config file (kestrum.pc, the C API of the shared library) and a CMake package:
#   find_package(kestrum) gives kestrum::kestrumEx (shared), kestrum::core and kestrum::recode_any
#   (static; recode_any needs libjpeg when the build had it).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS kestrumEx kestrum_core kestrum_recode_any EXPORT kestrumTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS kestrum-recode RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES include/kestrum.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/kestrum/recode_any.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kestrum)
install(FILES man/kestrum-recode.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(KESTRUM_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kestrum)
install(EXPORT kestrumTargets NAMESPACE kestrum:: DESTINATION ${KESTRUM_CMAKE_DIR})
# recode_any links libjpeg when the build had it: its users then need it found too.
if(KESTRUM_HAS_LIBJPEG)
  set(KESTRUM_FIND_JPEG "find_dependency(JPEG)")
else()
  set(KESTRUM_FIND_JPEG "# Built without libjpeg: recode_any needs nothing more.")
endif()
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kestrumConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/kestrumConfig.cmake INSTALL_DESTINATION ${KESTRUM_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kestrumConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kestrumConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/kestrumConfigVersion.cmake
  DESTINATION ${KESTRUM_CMAKE_DIR})

# The pc file finds its prefix from its own folder, so an install with --prefix works too.
file(RELATIVE_PATH KESTRUM_PC_TO_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
configure_file(${CMAKE_CURRENT_LIST_DIR}/kestrum.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kestrum.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kestrum.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
