# Cross build for 32-bit Windows with Debian's mingw-w64 i686 toolchain.
# The win32 thread-model compilers need no pthread DLL on the user's system.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(VELMORA_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${VELMORA_MINGW_PREFIX}-gcc-win32)
set(CMAKE_CXX_COMPILER ${VELMORA_MINGW_PREFIX}-g++-win32)
set(CMAKE_RC_COMPILER ${VELMORA_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VELMORA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run where the host would: under Wine, directly or inside an
# emulated machine where this one cannot execute 32-bit code (the runner
# chooses; see its opening comment).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/win32_run.sh)
