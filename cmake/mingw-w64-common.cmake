# What both MinGW-w64 toolchain files share; KALMIX_MINGW_TRIPLE names the target.
set(CMAKE_SYSTEM_NAME Windows)
if(KALMIX_MINGW_TRIPLE MATCHES "^i686")
  set(CMAKE_SYSTEM_PROCESSOR x86)
else()
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
endif()

# The win32-thread compiler: with the posix one the C++ runtime would pull in
# libwinpthread-1.dll, which the host's machine does not have.
find_program(CMAKE_CXX_COMPILER NAMES ${KALMIX_MINGW_TRIPLE}-g++-win32 ${KALMIX_MINGW_TRIPLE}-g++
  REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${KALMIX_MINGW_TRIPLE}-gcc-win32 ${KALMIX_MINGW_TRIPLE}-gcc)
find_program(CMAKE_RC_COMPILER NAMES ${KALMIX_MINGW_TRIPLE}-windres REQUIRED)
find_program(CMAKE_DLLTOOL NAMES ${KALMIX_MINGW_TRIPLE}-dlltool REQUIRED)
find_program(KALMIX_OBJDUMP NAMES ${KALMIX_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${KALMIX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes go into the DLL: it may need no DLL but the host's
# and Windows' own.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
endforeach()
