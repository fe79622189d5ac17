// The routine table of the analysis pass.
//
// analysePass_c is the reference: the stages one after another, block by
// block, exactly as each stage is described. The x86 variants compute the
// same arrays, byte for byte, with row-wise passes over the whole plane; the
// table points at the one for the active instruction-set level.
#pragma once

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

}  // namespace kalmix
