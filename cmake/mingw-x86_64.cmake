# Cross build for 64-bit Windows, run under 64-bit Wine. Only for machines
# whose kernel cannot run 32-bit programs (and so no 32-bit Wine): the
# product is the 32-bit build, this one keeps the Windows tests running.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(VORND_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Debian's "wine" starts the 32-bit loader whenever it is installed, even
# where it cannot run; call the 64-bit loader itself.
if(EXISTS /usr/lib/wine/wine64)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR wine64)
endif()
