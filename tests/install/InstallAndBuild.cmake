# Installs the build tree into a scratch prefix, then configures, builds and
# runs programs against the installed package only: a small host program,
# once through find_package(NorvInterop CONFIG) and once through pkg-config,
# then the platform SDK's host, C++ client and Python client (sdk/).
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "command failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  message(STATUS "${out}")
endfunction()
# build_with_pkg_config(MODULE SOURCE OUTPUT): the flags pkg-config gives for
# MODULE must be enough to build SOURCE.
function(build_with_pkg_config module source output)
  execute_process(COMMAND pkg-config --cflags --libs ${module}
    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "pkg-config does not know ${module} under ${prefix}")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  run(c++ -std=c++17 ${source} -o ${output} ${flags} -Wl,-rpath,${prefix}/${LIBDIR})
endfunction()
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer -G Ninja
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run(${WORK_DIR}/consumer/consumer)
# pkg-config: the flags it gives must be enough to build the same program.
set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
build_with_pkg_config(norv-interop ${CONSUMER_DIR}/main.cc ${WORK_DIR}/consumer-pc)
run(${WORK_DIR}/consumer-pc)

# The platform SDK: a host that serves its own data service and launcher and
# drives a C++ client application through the shutdown service, built
# through find_package against the installed package only.
run(${CMAKE_COMMAND} -S ${SDK_DIR} -B ${WORK_DIR}/sdk -G Ninja
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/sdk)
build_with_pkg_config(norv-platform ${SDK_DIR}/sdk_client.cc ${WORK_DIR}/sdk-client-pc)

# A private endpoint directory, short enough for socket paths, and the
# default culture en-US.
string(RANDOM LENGTH 8 _tag)
set(ENV{NORV_PIPE_DIR} /tmp/norv-sdk-${_tag})
set(ENV{LC_ALL} C)
unset(ENV{NORV_ANSI_CODEPAGE})
unset(ENV{NORV_SHORT_DATE_PATTERN})
run(${WORK_DIR}/sdk/sdk_host ${WORK_DIR}/sdk-client-pc)

# The installed contracts compile with nothing but their own root, for C++
# and for Python; a Python client on the generated stubs takes part in the
# shutdown walk of a C++ host.
set(proto_root ${prefix}/share/norv-interop/proto)
file(GLOB_RECURSE protos RELATIVE ${proto_root} ${proto_root}/*.proto)
file(GLOB_RECURSE source_protos RELATIVE ${EXAMPLES_DIR}/../proto ${EXAMPLES_DIR}/../proto/*.proto)
list(SORT protos)
list(SORT source_protos)
if(NOT protos STREQUAL source_protos)
  message(FATAL_ERROR "the contracts installed under ${proto_root} (${protos}) are not those "
                      "of the tree (${source_protos})")
endif()
file(MAKE_DIRECTORY ${WORK_DIR}/proto-cpp ${WORK_DIR}/proto-py)
run(protoc -I ${proto_root} --cpp_out=${WORK_DIR}/proto-cpp --grpc_out=${WORK_DIR}/proto-cpp
    --plugin=protoc-gen-grpc=/usr/bin/grpc_cpp_plugin ${protos})
run(protoc -I ${proto_root} --python_out=${WORK_DIR}/proto-py
    --grpc_python_out=${WORK_DIR}/proto-py
    --plugin=protoc-gen-grpc_python=/usr/bin/grpc_python_plugin ${protos})
run(${WORK_DIR}/sdk/sdk_host /usr/bin/python3 ${EXAMPLES_DIR}/python/shutdown_client.py
    ${WORK_DIR}/proto-py)
file(REMOVE_RECURSE $ENV{NORV_PIPE_DIR})
