# Warnings for the project's own targets only; GoogleTest's headers stay quiet.
function(zarvo_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wnon-virtual-dtor -Wpedantic)
endfunction()
