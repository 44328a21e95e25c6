# The shipped pairset.exe for 64-bit Windows (Vista and later, XP x64 included).
set(PAIRSET_MINGW_ARCH x86_64)
set(PAIRSET_MINGW_THREADS win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
