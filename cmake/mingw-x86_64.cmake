# Cross build for 64-bit Windows with MinGW-w64, run under 64-bit Wine.
# Only for machines whose kernel cannot run 32-bit programs (and so no
# 32-bit Wine): the product is the 32-bit build, this one keeps the
# Windows tests running there.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(VORND_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VORND_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VORND_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VORND_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VORND_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian's "wine" starts the 32-bit loader whenever it is installed, even
# where it cannot run; call the 64-bit loader itself.
if(EXISTS /usr/lib/wine/wine64)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR wine64)
endif()
