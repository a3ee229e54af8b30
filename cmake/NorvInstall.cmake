include(CMakePackageConfigHelpers)

# Components, one per Debian package (cmake/NorvPackaging.cmake): runtime
# (the three shared libraries), dev (headers, CMake package, pkg-config files,
# contracts) and tools (norvctl and the reference services).
install(TARGETS norv_interop norv_platform norv_contracts EXPORT NorvInteropTargets
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
# The pkg-config files name the prefix they are installed under, written at
# install time: /usr in the Debian packages (where pkg-config then prints no
# -I or -L at all), DIR after `cmake --install --prefix DIR`. Each names the
# installed contracts as `protodir`.
set(NORV_PC_PREFIX "@NORV_PC_PREFIX@")
foreach(pc norv-interop norv-platform norv-contracts)
  configure_file(cmake/${pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/${pc}.pc.in @ONLY)
  install(CODE "
    file(READ \"${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/${pc}.pc.in\" _pc)
    string(REPLACE \"@NORV_PC_PREFIX@\" \"\${CMAKE_INSTALL_PREFIX}\" _pc \"\${_pc}\")
    string(MD5 _dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    set(_pc_file \"${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/\${_dir}/${pc}.pc\")
    file(WRITE \"\${_pc_file}\" \"\${_pc}\")
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\"
      TYPE FILE FILES \"\${_pc_file}\")"
    COMPONENT dev)
endforeach()
