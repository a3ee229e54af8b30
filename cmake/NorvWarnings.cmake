# Warnings are errors for the project's own code; generated code is exempt.
# GCC 12 reports false -Wrestrict errors inside std::string at -O3 (GCC bug
# 105329), so that one warning stays off for GCC.
function(norv_target_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror
    -Wno-unused-parameter $<$<CXX_COMPILER_ID:GNU>:-Wno-restrict>)
endfunction()
