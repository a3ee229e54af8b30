# Warnings are errors for the project's own code; generated code is exempt.
# GCC 12 reports false -Wrestrict errors inside std::string at -O3 (GCC bug
# 105329), so that one warning stays off for GCC.
# NORV_THREAD_SAFETY (clang only) adds the check of the locking annotations
# of base/Mutex.h.
if(NORV_THREAD_SAFETY AND NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "NORV_THREAD_SAFETY needs clang (see the thread-safety preset)")
endif()
function(norv_target_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror
    -Wno-unused-parameter $<$<CXX_COMPILER_ID:GNU>:-Wno-restrict>
    $<$<BOOL:${NORV_THREAD_SAFETY}>:-Wthread-safety>)
endfunction()
