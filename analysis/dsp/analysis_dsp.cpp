// The routine table of the analysis pass and its plain reference.
#include "analysis/dsp/analysis_dsp.h"

#include "analysis/analysis.h"
#include "params/filter_params.h"

namespace kalmix {

AnalysisRoutines analysisRoutines{analysePass_c};

void analysePass_c() {
    const AnalysisGeometry& g = analysisGeometry;
    detectPixelChanges();

    gradeStep = gradeStepFor(thresholds.lumaChangeThreshold);
    classifyPlaneBlocks(0, g.lumaBlocks);
    gradeStep = gradeStepFor(thresholds.chromaChangeThreshold);
    classifyPlaneBlocks(g.lumaBlocks, g.chromaBlocks);
    classifyPlaneBlocks(g.lumaBlocks + g.chromaBlocks, g.chromaBlocks);

    decideLumaBlocks();
    decideChromaBlocks();
    noteBlocksDecided();
    spreadBlockMap();
    holdBlockMap();  // does nothing while transitionFrames is 0
    exportBlockMap();
}

void selectAnalysisRoutines(CpuLevel level) {
    analysisRoutines.analysePass = analysePass_c;
#if defined(KALMIX_HAVE_SSE2)
    if (level >= CpuLevel::SSE2) analysisRoutines.analysePass = analysePass_sse2;
#endif
#if defined(KALMIX_HAVE_AVX2)
    if (level >= CpuLevel::AVX2) analysisRoutines.analysePass = analysePass_avx2;
#endif
#if defined(KALMIX_HAVE_AVX512)
    if (level >= CpuLevel::AVX512) analysisRoutines.analysePass = analysePass_avx512;
#endif
    (void)level;
}

}  // namespace kalmix
