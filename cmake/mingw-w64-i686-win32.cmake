# The shipped pairset.exe for 32-bit Windows (XP and later), and for 64-bit Windows too.
set(PAIRSET_MINGW_ARCH i686)
set(PAIRSET_MINGW_THREADS win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
