# Warnings are errors for the project's own code; generated code is exempt.
function(norv_target_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror
    -Wno-unused-parameter)
endfunction()
