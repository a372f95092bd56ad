# Warnings for the project's own targets; third-party headers come in as
# system headers and are not affected.
function(sarnovelle_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
endfunction()
