# Warning flags applied to every target of our own.
function(hdgrab_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
endfunction()
