// The routine table of the colour conversion.
#include "pipeline/dsp/conversion_dsp.h"

namespace kalmix {

ConversionRoutines conversionRoutines{pixelsToPlanes_c, planesToPixels_c, planesToFilledPixels_c};

ConversionRoutines conversionRoutinesFor(CpuLevel level) {
    ConversionRoutines routines{pixelsToPlanes_c, planesToPixels_c, planesToFilledPixels_c};
#if defined(KALMIX_HAVE_SSE2)
    if (level >= CpuLevel::SSE2)
        routines = {pixelsToPlanes_sse2, planesToPixels_sse2, planesToFilledPixels_sse2};
#endif
#if defined(KALMIX_HAVE_AVX2)
    if (level >= CpuLevel::AVX2)
        routines = {pixelsToPlanes_avx2, planesToPixels_avx2, planesToFilledPixels_avx2};
#endif
#if defined(KALMIX_HAVE_AVX512)
    if (level >= CpuLevel::AVX512)
        routines = {pixelsToPlanes_avx512, planesToPixels_avx512, planesToFilledPixels_avx512};
#endif
    (void)level;
    return routines;
}

void selectConversionRoutines(CpuLevel level) { conversionRoutines = conversionRoutinesFor(level); }

}  // namespace kalmix
