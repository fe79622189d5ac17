// The levels each x86 build is made with: SSE2 on every x86 build (the 32-bit
// DLL's baseline), AVX2 and AVX-512 only on x86-64. A build whose processor
// name the build files fail to recognise would quietly test the plain path
// alone.
#include "tests/checkasm/checkasm.h"

namespace kalmix {
namespace {

TEST(CpuLevel, X86BuildsHaveSse2AndOnlyX86_64BuildsHaveAvx2) {
#if KALMIX_SIMD_BUILD && (defined(__i386__) || defined(__x86_64__))
    EXPECT_GE(supportedCpuLevel(), CpuLevel::SSE2);
#endif
#if !defined(__x86_64__)
    EXPECT_LT(supportedCpuLevel(), CpuLevel::AVX2);
    selectCpuLevel(CpuLevel::AVX2);
    EXPECT_LT(activeCpuLevel(), CpuLevel::AVX2);
    selectCpuLevel(detectCpuLevel());
#endif
#if defined(__i386__) && KALMIX_SIMD_BUILD
    // A 32-bit build at its best level is at SSE2 exactly.
    EXPECT_EQ(supportedCpuLevel(), CpuLevel::SSE2);
#endif
}

}  // namespace
}  // namespace kalmix
