# Cross build for 32-bit Windows with MinGW-w64 (Debian's -posix thread
# variant: GoogleTest needs std::mutex). Tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(VORND_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${VORND_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VORND_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VORND_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VORND_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest and test discovery run the programs through this.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
