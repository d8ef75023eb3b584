# 64-bit x86 Windows with the MinGW-w64 cross compiler: the same program, built
# so that its Windows behaviour can run here under wine64.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(mingw_triple x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
