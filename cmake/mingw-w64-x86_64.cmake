# pairset.exe for 64-bit Windows with the posix thread model, which the tests need; run under wine.
set(PAIRSET_MINGW_ARCH x86_64)
set(PAIRSET_MINGW_THREADS posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
