# Cross build for 32-bit Windows, the product's target. Tests run under
# Wine.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VORND_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# ctest and test discovery run the programs through this.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
