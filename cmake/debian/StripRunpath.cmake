# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) once it has installed the components
# into its staging directory, before it builds the packages. The packaged
# binaries live in /usr/bin and /usr/lib, where the dynamic loader looks
# anyway, so they carry no RUNPATH: the $ORIGIN search path that keeps a
# `cmake --install --prefix DIR` tree relocatable is a custom library search
# path to Debian, which lintian refuses. Removing it here lets the packages
# reuse the default build tree instead of compiling everything again.
file(GLOB_RECURSE _norv_staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(_file IN LISTS _norv_staged)
  if(IS_SYMLINK "${_file}")
    continue()
  endif()
  file(READ "${_file}" _magic LIMIT 4 HEX)
  if(_magic STREQUAL "7f454c46")  # "\x7fELF"
    file(RPATH_REMOVE FILE "${_file}")
  endif()
endforeach()
