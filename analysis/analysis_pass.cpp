// The analysis pass: runs every analysis stage of a frame in its fixed order.
#include "analysis/analysis.h"
#include "params/filter_params.h"

namespace kalmix {

namespace {

// The amplitude grades step by half the change threshold, but never by less than 6.
constexpr std::uint8_t MIN_GRADE_STEP = 6;

std::uint8_t gradeStepFor(std::int32_t changeThreshold) {
    const auto step = static_cast<std::uint8_t>(changeThreshold >> 1);
    return step < MIN_GRADE_STEP ? MIN_GRADE_STEP : step;
}

}  // namespace

void analyseFrame() {
    const AnalysisGeometry& g = analysisGeometry;
    detectPixelChanges();

    gradeStep = gradeStepFor(thresholds.lumaChangeThreshold);
    classifyPlaneBlocks(0, g.lumaBlocks);
    gradeStep = gradeStepFor(thresholds.chromaChangeThreshold);
    classifyPlaneBlocks(g.lumaBlocks, g.chromaBlocks);
    classifyPlaneBlocks(g.lumaBlocks + g.chromaBlocks, g.chromaBlocks);

    decideLumaBlocks();
    decideChromaBlocks();
    spreadBlockMap();
    holdBlockMap();  // does nothing while transitionFrames is 0
    exportBlockMap();
}

}  // namespace kalmix
