# 32-bit x86 Linux with the host's multilib GCC (Debian's g++-multilib), with
# the Windows module's arithmetic flags; programs run under qemu-i386, which
# finds the i386 C and C++ libraries under / (Debian's lib32 and :i386 ones).
#   cmake -S . -B build-i386 --toolchain cmake/i386-linux.cmake \
#     -DKALMIX_GTEST_SOURCE_DIR=/usr/src/googletest -DKALMIX_BUILD_TOOLS=OFF ...
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

set(CMAKE_C_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

find_program(KALMIX_QEMU_I386 qemu-i386 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KALMIX_QEMU_I386} -L /)
