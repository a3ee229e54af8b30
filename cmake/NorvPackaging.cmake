# Debian packages, one per install component (cmake/NorvInstall.cmake),
# built by cpack from the default build tree (`make package`):
#   libnorv-interop0     runtime: libnorv-interop.so.0, libnorv-platform.so.0
#                        and libnorv-contracts.so.0, in /usr/lib/<triplet>
#   libnorv-interop-dev  dev: headers, CMake package, pkg-config files, the
#                        .proto contracts, the unversioned .so links, the
#                        documents (Markdown and HTML), the examples and
#                        norv-interop(7)
#   norvctl              tools: norvctl, norv-companion-demo, their manual pages
# Installed under /usr (CPACK_SET_DESTDIR, so that the pkg-config files
# written at install time name /usr, not the staging directory), stripped and without RUNPATH (cmake/debian/StripRunpath.cmake).
# Dependencies on Debian's libraries are computed by dpkg-shlibdeps; the
# packages of this project depend on each other at the exact version, since
# the 0.x interface promises no binary compatibility between versions.

set(NORV_PACKAGE_MAINTAINER "Norv Interop maintainers <norv-interop@example.org>"
  CACHE STRING "Maintainer field of the Debian packages: a name and an address that reads mail")
set(NORV_DEBIAN_REVISION 1 CACHE STRING "Debian revision of the packages (the part after the hyphen)")
set(NORV_DEBIAN_VERSION "${PROJECT_VERSION}-${NORV_DEBIAN_REVISION}")

set(_norv_components runtime dev tools)
set(_norv_packages libnorv-interop0 libnorv-interop-dev norvctl)

# Each package carries its copyright file and Debian changelog in
# /usr/share/doc/<package>/. They are installed only for the packages
# (EXCLUDE_FROM_ALL keeps them out of `cmake --install --prefix DIR`).
set(_norv_debian_dir ${CMAKE_CURRENT_BINARY_DIR}/debian)
# The changelog's date is the configure time, or SOURCE_DATE_EPOCH when set,
# for reproducible packages; gzip -n stores no name or time stamp.
string(TIMESTAMP NORV_DEBIAN_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(cmake/debian/changelog.in ${_norv_debian_dir}/changelog @ONLY)
execute_process(COMMAND gzip -9nc ${_norv_debian_dir}/changelog
  OUTPUT_FILE ${_norv_debian_dir}/changelog.Debian.gz RESULT_VARIABLE _norv_gzip_rc)
if(NOT _norv_gzip_rc EQUAL 0)
  message(FATAL_ERROR "gzip could not compress ${_norv_debian_dir}/changelog")
endif()
foreach(component package IN ZIP_LISTS _norv_components _norv_packages)
  set(NORV_COPYRIGHT_EXTRA "")
  if(component STREQUAL "tools")
    file(READ cmake/debian/copyright-cli11.in NORV_COPYRIGHT_EXTRA)
  endif()
  configure_file(cmake/debian/copyright.in ${_norv_debian_dir}/${package}/copyright @ONLY)
  install(FILES ${_norv_debian_dir}/${package}/copyright ${_norv_debian_dir}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
  string(TOUPPER ${component} _upper)
  set(CPACK_DEBIAN_${_upper}_PACKAGE_NAME ${package})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME norv-interop)
set(CPACK_PACKAGE_VENDOR "The Norv Interop developers")
set(CPACK_PACKAGE_CONTACT "${NORV_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debian/StripRunpath.cmake)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${_norv_components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${NORV_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# dpkg-shlibdeps finds the project's own libraries in the build tree, where
# it learns nothing about their package; the Depends on them come from the
# component dependencies below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_CURRENT_BINARY_DIR})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)

# The runtime package, the only one with shared libraries, tells
# dpkg-shlibdeps of programs built on it what to depend on (DEBIAN/shlibs),
# and has dpkg run ldconfig through its trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
# The contracts' generated headers need the protobuf and gRPC headers the
# package was built against; a host of the bridge alone needs neither.
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS
  "libgrpc++-dev, libprotobuf-dev, protobuf-compiler, protobuf-compiler-grpc, python3-grpcio")

set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
"native bridge to the Norv data service, documents and shutdown coordination
libnorv-interop.so.0 lets a native host application call a local Norv data
service, application launcher, per-author TD list documents and settings
through plain static functions, and run the shutdown coordination service
to which client applications subscribe. libnorv-platform.so.0 is the layer
it stands on: hosting and calling services over gRPC on Unix domain
sockets, thread culture, documents, settings and encryption.
libnorv-contracts.so.0 holds the generated protobuf and gRPC code of the
wire contracts, the one copy every program in a process shares.")
set(CPACK_DEBIAN_DEV_DESCRIPTION
"development files for the Norv interop libraries
Headers of the bridge (<norv/interop.h>), of the platform API
(<norv/platform.h>) and of the generated contract code
(<norv/contracts/v1/*.grpc.pb.h>), the CMake package NorvInterop, the
pkg-config files norv-interop, norv-platform and norv-contracts, and the
wire contracts as .proto files under /usr/share/norv-interop/proto for
peers in any language, with the manual page norv-interop(7). The user's
guide and topic documents (Markdown and HTML) and the examples are in
/usr/share/doc/libnorv-interop-dev.")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
"command-line tool for the Norv interop library
norvctl calls every function of the Norv interop library, serves the
reference data service and application launcher, runs both sides of
shutdown coordination, lists the endpoints of the user's services and
runs a demonstration of the whole library. norv-companion-demo stands in
for a companion tool started by the launcher.")

# The Python package, python3-norv-interop (cmake/NorvPython.cmake).
if(COMMAND norv_python_packaging)
  norv_python_packaging()
endif()

include(CPack)
