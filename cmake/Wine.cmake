# The Wine wrapper of a Windows build (wine-run.sh in the build tree) and the tiny program it
# starts to learn whether this machine can run programs of the build's width at all.
set(VELLUMO_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
# The loader and prefix follow the program's width: 64-bit Wine runs the x86_64 build.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VELLUMO_WINE_ARCH win64)
else()
  set(VELLUMO_WINE_ARCH win32)
endif()
set(VELLUMO_WINE_PROBE ${CMAKE_BINARY_DIR}/wine-probe.exe)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
add_executable(wine-probe ${CMAKE_CURRENT_LIST_DIR}/wine_probe.cpp)
set_target_properties(wine-probe PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
