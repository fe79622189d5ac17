# Cross build for 32-bit Windows with MinGW-w64: Kalmix.PRM as the video host
# loads it. cmake -S . -B build-win --toolchain cmake/toolchain-i686-w64-mingw32.cmake
set(KALMIX_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
