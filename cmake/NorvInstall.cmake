include(CMakePackageConfigHelpers)

# Components, one per Debian package (cmake/NorvPackaging.cmake): runtime
# (the two shared libraries), dev (headers, CMake package, pkg-config files,
# contracts) and tools (norvctl and the reference services).
install(TARGETS norv_interop norv_platform EXPORT NorvInteropTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/norv DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
# The platform's public API: the headers of services/, which include each
# other by sibling name, become <norv/platform/...> beside <norv/platform.h>.
file(GLOB _norv_platform_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/services/*.h)
install(FILES ${_norv_platform_headers}
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/norv/platform COMPONENT dev)
install(EXPORT NorvInteropTargets NAMESPACE NorvInterop::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/NorvInterop COMPONENT dev)
configure_package_config_file(cmake/NorvInteropConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/NorvInteropConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/NorvInterop
  PATH_VARS CMAKE_INSTALL_DATADIR)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/NorvInteropConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/NorvInteropConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/NorvInteropConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/NorvInterop COMPONENT dev)
# The .pc file finds its prefix relative to itself, so that an install with
# `cmake --install --prefix` elsewhere stays usable.
file(RELATIVE_PATH NORV_PC_UP "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
foreach(pc norv-interop norv-platform)
  configure_file(cmake/${pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    COMPONENT dev)
endforeach()
