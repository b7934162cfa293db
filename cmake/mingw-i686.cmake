# Cross toolchain: 32-bit Windows (the product), run under Wine's 32-bit loader.
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
