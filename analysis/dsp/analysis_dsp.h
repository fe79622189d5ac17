// The routine table of the analysis pass.
//
// analysePass_c is the reference: the stages one after another, block by
// block, exactly as each stage is described. The x86 variants compute the
// same arrays, byte for byte, with row-wise passes over the whole plane; the
// table points at the one for the active instruction-set level.
#pragma once

#include <cstdint>

#include "pipeline/cpu.h"

namespace kalmix {

struct AnalysisRoutines {
    void (*analysePass)();
};

extern AnalysisRoutines analysisRoutines;

void analysePass_c();
#if defined(KALMIX_HAVE_SSE2)
void analysePass_sse2();
#endif
#if defined(KALMIX_HAVE_AVX2)
void analysePass_avx2();
#endif
#if defined(KALMIX_HAVE_AVX512)
void analysePass_avx512();
#endif

// The spread codes (2, 1, 0 for the factors 1.5, 1.0, 0.5 of
// spreadFactorOfSums) of count windows from their sums s1 and s2, as the
// fast passes work them out in integers; and the border spread of the three
// planes, as spreadBlockMap does it, on the arrays as they stand; for the
// variant tests.
#if defined(KALMIX_HAVE_SSE2)
namespace sse2 {
void spreadCodesOfSums(const std::int16_t* s1, const std::int32_t* s2, std::uint32_t count, std::uint8_t* codes);
void spreadBorders();
}
#endif
#if defined(KALMIX_HAVE_AVX2)
namespace avx2 {
void spreadCodesOfSums(const std::int16_t* s1, const std::int32_t* s2, std::uint32_t count, std::uint8_t* codes);
void spreadBorders();
}
#endif
#if defined(KALMIX_HAVE_AVX512)
namespace avx512 {
void spreadCodesOfSums(const std::int16_t* s1, const std::int32_t* s2, std::uint32_t count, std::uint8_t* codes);
void spreadBorders();
}
#endif

}  // namespace kalmix
