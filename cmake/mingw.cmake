# What both MinGW-w64 cross toolchains share (posix thread model, run under Wine); the file of
# each width sets CMAKE_SYSTEM_PROCESSOR (i686 or x86_64) and includes this one.
set(CMAKE_SYSTEM_NAME Windows)
set(_vellumo_triplet ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)
set(CMAKE_C_COMPILER ${_vellumo_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_vellumo_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${_vellumo_triplet}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${_vellumo_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The wrapper keeps Wine inside the build tree, never in ~/.wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
