# Warnings on for our own targets, and the sanitizers when asked for.
function(vellumo_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                           -Wsign-conversion -Wnon-virtual-dtor)
  if(VELLUMO_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

if(VELLUMO_SANITIZE AND NOT WIN32)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

# Program texts are written in UTF-8 and stored as CP1251, the code page of the interface,
# natively too, so that their lengths are the same in both builds.
# clang stores literals only as UTF-8: its build (the fuzz preset) compiles a CP1251 copy of the
# texts instead (fuzz/CMakeLists.txt).
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  add_compile_options(-finput-charset=UTF-8)
else()
  add_compile_options(-finput-charset=UTF-8 -fexec-charset=CP1251)
endif()
if(WIN32)
  # No link time in the PE header: the same sources give the same program, byte for byte.
  add_link_options(-static -Wl,--no-insert-timestamp)
endif()
