# Cross toolchain: 64-bit Windows, run under Wine's 64-bit loader. The same sources as the 32-bit
# product; only what the platform's widths force differs.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
