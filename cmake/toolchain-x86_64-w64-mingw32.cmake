# Cross build for 64-bit Windows with MinGW-w64: the same sources as the
# 32-bit module, for Wine on machines that cannot execute 32-bit x86 code.
set(KALMIX_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
