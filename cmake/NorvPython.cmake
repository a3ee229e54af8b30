# The Python package norv_interop (python/norv_interop/), shipped as the
# Debian package python3-norv-interop (install component `python`). It runs
# on Debian's own Python 3 with python3-grpcio and python3-protobuf, so the
# contracts' stubs are generated at build time with the system's protoc and
# gRPC's Python plugin (Debian's python3-grpc-tools is too old for `optional`
# fields in proto3), into <build>/python/norv/contracts/v1/, the package the
# generated modules import each other from. They are installed beside
# norv_interop, never committed.
#
# Tests (tests/python/) run with <build>/python and python/ on PYTHONPATH,
# against norvctl as the C++ peer.

set(NORV_PYTHON3 /usr/bin/python3 CACHE FILEPATH
  "Debian's Python 3 (with python3-grpcio and python3-protobuf), for the Python tests")
set(NORV_PYTHON_INSTALL_DIR lib/python3/dist-packages CACHE STRING
  "Where the Python package is installed, relative to the prefix (Debian's layout)")
find_program(NORV_GRPC_PYTHON_PLUGIN grpc_python_plugin)
if(NOT NORV_GRPC_PYTHON_PLUGIN)
  message(STATUS "norv_interop (Python) skipped: grpc_python_plugin not found "
    "(Debian package protobuf-compiler-grpc)")
  return()
endif()

set(_norv_py_out ${CMAKE_BINARY_DIR}/python)
file(GLOB _norv_py_protos RELATIVE ${NORV_PROTO_ROOT} CONFIGURE_DEPENDS
  ${NORV_PROTO_ROOT}/norv/contracts/v1/*.proto)
set(_norv_py_stubs)
set(_norv_py_proto_files)
foreach(proto IN LISTS _norv_py_protos)
  list(APPEND _norv_py_proto_files ${NORV_PROTO_ROOT}/${proto})
  string(REGEX REPLACE "\\.proto$" "" stem ${proto})
  list(APPEND _norv_py_stubs ${_norv_py_out}/${stem}_pb2.py ${_norv_py_out}/${stem}_pb2_grpc.py)
endforeach()
add_custom_command(
  OUTPUT ${_norv_py_stubs}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_norv_py_out}
  COMMAND protobuf::protoc --proto_path=${NORV_PROTO_ROOT}
          --python_out=${_norv_py_out} --grpc_python_out=${_norv_py_out}
          --plugin=protoc-gen-grpc_python=${NORV_GRPC_PYTHON_PLUGIN} ${_norv_py_protos}
  DEPENDS ${_norv_py_proto_files} protobuf::protoc
  WORKING_DIRECTORY ${NORV_PROTO_ROOT}
  COMMENT "Generating the Python stubs of the contracts"
  VERBATIM)
add_custom_target(norv_python ALL DEPENDS ${_norv_py_stubs})

install(DIRECTORY python/norv_interop DESTINATION ${NORV_PYTHON_INSTALL_DIR}
  COMPONENT python FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)
install(DIRECTORY ${_norv_py_out}/norv DESTINATION ${NORV_PYTHON_INSTALL_DIR}
  COMPONENT python FILES_MATCHING PATTERN "*.py")
install(FILES docs/python.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/python3-norv-interop
  COMPONENT python)

# Called by cmake/NorvPackaging.cmake before it includes CPack: the package
# of the `python` component, with its copyright file and changelog.
macro(norv_python_packaging)
  list(APPEND CPACK_COMPONENTS_ALL python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-norv-interop)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any, python3-grpcio, python3-protobuf")
  # Byte-compiled on installation and cleaned on removal, as dh_python3 does.
  set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/cmake/debian/python/postinst
    ${PROJECT_SOURCE_DIR}/cmake/debian/python/prerm)
  set(CPACK_DEBIAN_PYTHON_DESCRIPTION
"Python 3 interface to the Norv interop endpoints
norv_interop serves a Norv data service, application launcher or shutdown
coordination service for a process id from a Python servicer, taking the
endpoint's lock as the C++ hosts do, and subscribes client applications to
a shutdown service. It includes the wire contracts' generated protobuf and
gRPC stubs, the endpoint addressing rules and helpers for null strings,
record lists and dates.")
  set(NORV_COPYRIGHT_EXTRA "")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/copyright.in
    ${CMAKE_CURRENT_BINARY_DIR}/debian/python3-norv-interop/copyright @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/debian/python3-norv-interop/copyright
    ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/python3-norv-interop COMPONENT python
    EXCLUDE_FROM_ALL)
endmacro()

if(NORV_BUILD_TESTS AND TARGET norvctl AND NOT NORV_SANITIZE)
  # A C++ host application calling the launcher bridge of its own process.
  add_executable(norv_python_halvane_caller tests/python/halvane_caller.cc)
  target_link_libraries(norv_python_halvane_caller PRIVATE norv_interop)
  norv_target_warnings(norv_python_halvane_caller)
  set_target_properties(norv_python_halvane_caller PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/python)
  set(_norv_py_env
    "PYTHONPATH=${_norv_py_out}:${PROJECT_SOURCE_DIR}/python"
    "PYTHONDONTWRITEBYTECODE=1"
    "NORV_NORVCTL=$<TARGET_FILE:norvctl>"
    "NORV_HALVANE_CALLER=$<TARGET_FILE:norv_python_halvane_caller>"
    "NORV_TEST_BINARY_DIR=${CMAKE_BINARY_DIR}")
  foreach(name values data_service launcher shutdown_client shutdown_host addressing package)
    add_test(NAME python_${name} COMMAND ${NORV_PYTHON3} -m unittest test_${name}
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/tests/python)
    set_tests_properties(python_${name} PROPERTIES
      ENVIRONMENT "${_norv_py_env}" LABELS python TIMEOUT 180)
  endforeach()
endif()
