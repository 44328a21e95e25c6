# Cross build of pairset.exe with Debian's MinGW-w64, shared by the toolchain files beside it;
# each sets PAIRSET_MINGW_ARCH (x86_64 or i686) and PAIRSET_MINGW_THREADS (posix or win32) first.
#  - posix: the thread model Debian's GoogleTest needs; the test build, run under wine.
#  - win32: no POSIX-thread runtime, so the program imports nothing that Windows XP lacks
#    (winpthread imports GetTickCount64, which came with Vista); the builds that ship.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${PAIRSET_MINGW_ARCH})
set(triple ${PAIRSET_MINGW_ARCH}-w64-mingw32)

set(CMAKE_C_COMPILER ${triple}-gcc-${PAIRSET_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${triple}-g++-${PAIRSET_MINGW_THREADS})
set(CMAKE_RC_COMPILER ${triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes go inside the executable: it must run on a bare Windows.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# A 64-bit build runs under wine on these machines; a 32-bit one cannot (no 32-bit kernel
# support), so it has no emulator and runs no tests.
if(PAIRSET_MINGW_ARCH STREQUAL "x86_64")
  set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run")
endif()
