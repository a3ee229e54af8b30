include(CMakePackageConfigHelpers)

install(TARGETS norv_interop norv_platform EXPORT NorvInteropTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/norv DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT NorvInteropTargets NAMESPACE NorvInterop::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/NorvInterop)
configure_package_config_file(cmake/NorvInteropConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/NorvInteropConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/NorvInterop)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/NorvInteropConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/NorvInteropConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/NorvInteropConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/NorvInterop)
# The .pc file finds its prefix relative to itself, so that an install with
# `cmake --install --prefix` elsewhere stays usable.
file(RELATIVE_PATH NORV_PC_UP "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
configure_file(cmake/norv-interop.pc.in ${CMAKE_CURRENT_BINARY_DIR}/norv-interop.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/norv-interop.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
