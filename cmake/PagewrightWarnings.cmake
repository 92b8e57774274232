# Warnings for our own targets only (PRIVATE), never for Qt's or GoogleTest's headers.
function(pw_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wold-style-cast -Wconversion -Wsign-conversion
    -Wnon-virtual-dtor -Woverloaded-virtual)
  if(PW_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
