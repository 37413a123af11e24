# Warnings are errors on our own code only; third-party headers come in as system headers.
function(korvia_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow=local -Wnon-virtual-dtor
                                           -Wold-style-cast -Wcast-align -Wformat=2 -Werror)
endfunction()
