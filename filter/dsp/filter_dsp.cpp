// The routine table of the block output filter and the per-frame plan of its kernels.
#include "filter/dsp/filter_dsp.h"

#include "params/filter_params.h"

namespace kalmix {

FilterRoutines filterRoutines{filterRow_c};

namespace {

// The kernel of one mode as a multiply and a high-half product: shifts by 6,
// 5 and 4 are multipliers 1024, 2048 and 4096; 6554 and 7282 divide every sum
// up to 2,551 by 10 and 9 exactly.
ClassKernel kernelForMode(std::int32_t mode) {
    if (mode <= 0) return {64, 0, 1024, 0, 0};
    if (mode == 1) return {54, 2, 1024, 0, 0};
    if (mode <= 4) return {22, 2, 2048, 0, 0};
    if (mode <= 6) return {6, 2, 4096, 0, 0};
    if (mode <= 8) return {3, 1, 6554, 0, 0};
    return {2, 1, 7282, 0, 0};
}

}  // namespace

FilterPlan makeFilterPlan(std::int32_t secondaryOffset, bool sequenceIsActive) {
    FilterPlan plan{secondaryOffset, sequenceIsActive, {}};
    for (std::size_t c = 0; c < N_EVIDENCE_CLASSES; ++c) {
        const std::int32_t mode = secondaryOffset + EVIDENCE_INCREMENTS[c];
        ClassKernel kernel = kernelForMode(mode);
        if (mode >= 10) {
            kernel.margin = 2 * OUTPUT_LIMIT_MARGIN;
        } else if (sequenceIsActive) {
            kernel.keepInput = 1;
        } else {
            kernel.margin = OUTPUT_LIMIT_MARGIN;
        }
        plan.classes[c] = kernel;
    }
    return plan;
}

FilterRoutines filterRoutinesFor(CpuLevel level) {
    FilterRoutines routines{filterRow_c};
#if defined(KALMIX_HAVE_SSE2)
    if (level >= CpuLevel::SSE2) routines.filterRow = filterRow_sse2;
#endif
#if defined(KALMIX_HAVE_AVX2)
    if (level >= CpuLevel::AVX2) routines.filterRow = filterRow_avx2;
#endif
#if defined(KALMIX_HAVE_AVX512)
    if (level >= CpuLevel::AVX512) routines.filterRow = filterRow_avx512;
#endif
    (void)level;
    return routines;
}

void selectFilterRoutines(CpuLevel level) { filterRoutines = filterRoutinesFor(level); }

}  // namespace kalmix
