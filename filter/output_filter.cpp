// The block output filter: smooths the changed blocks and holds them near the reference.
#include "filter/output_filter.h"

#include <cstdlib>

#include "analysis/analysis.h"
#include "filter/kernels.h"
#include "params/filter_params.h"
#include "pipeline/frame_driver.h"

namespace kalmix {

namespace {

// Kernel mode increment from the change evidence at one sample: the less
// evidence of real change, the stronger the smoothing.
std::int32_t modeIncrement(std::uint32_t position, std::int32_t rowStride) {
    const std::uint8_t score = sampleChangeScore[position];
    if (score == 0) {
        if (neighbourSum(&sampleChangeScore[position], rowStride) != 0) return 3;
        const std::uint8_t mark = sampleChangeMarks[position];
        const bool isolatedSpike =
            (mark & CHANGED_MARK) != 0 && (mark & NEIGHBOUR_COUNT_MASK) == 0;
        return isolatedSpike ? 5 : 3;
    }
    return score <= 6 ? 2 : 1;
}

}  // namespace

std::uint8_t limitToReference(std::int32_t smoothed, std::int32_t current, std::int32_t reference,
                              std::int32_t mode, bool sequenceIsActive) {
    const std::int32_t currentDistance = std::abs(current - reference);
    const std::int32_t smoothedDistance = std::abs(smoothed - reference);
    std::int32_t margin;
    if (mode >= 10) {
        margin = 2 * OUTPUT_LIMIT_MARGIN;
    } else if (sequenceIsActive) {
        // Never let smoothing move a sample further from the reference than the input was.
        return static_cast<std::uint8_t>(smoothedDistance > currentDistance ? current : smoothed);
    } else {
        margin = OUTPUT_LIMIT_MARGIN;
    }
    // Closed form of stepping toward the reference until within currentDistance + margin.
    const std::int32_t limit = currentDistance + margin;
    if (smoothedDistance <= limit) return static_cast<std::uint8_t>(smoothed);
    return static_cast<std::uint8_t>(smoothed > reference ? reference + limit : reference - limit);
}

void filterPlaneBlocks(PlaneSet& output, const std::uint8_t* blockFlags, const PlaneSet& source,
                       std::uint32_t firstBlock) {
    const AnalysisGeometry& g = analysisGeometry;
    const bool luma = firstBlock == 0;
    const std::uint32_t w = luma ? g.lumaWidth : g.chromaWidth;
    const std::uint32_t n = (luma ? g.lumaPlaneSize : g.chromaPlaneSize) / BLOCK_SAMPLES;
    const std::uint32_t b = w / BLOCK_WIDTH;
    const auto stride = static_cast<std::int32_t>(w);
    const bool copyOnly = thresholds.filteringEnabled == 0 || thresholds.secondaryEnabled == 0;
    const bool active = sequenceActive != 0;

    for (std::uint32_t l = firstBlock; l < firstBlock + n; ++l) {
        if (blockFlags[l] == 0) continue;
        const std::uint32_t k = l - firstBlock;
        const bool firstRow = k < b;
        const bool lastRow = k >= n - b;
        const bool firstColumn = k % b == 0;
        const bool lastColumn = (k + 1) % b == 0;
        for (std::uint32_t r = 0; r < BLOCK_HEIGHT; ++r) {
            for (std::uint32_t c = 0; c < BLOCK_WIDTH; ++c) {
                const std::uint32_t p = blockOffsets[l] + r * w + c;
                const bool planeEdge = (firstRow && r == 0) || (lastRow && r == BLOCK_HEIGHT - 1) ||
                                       (firstColumn && c == 0) ||
                                       (lastColumn && c == BLOCK_WIDTH - 1);
                // Kernels never reach outside the plane: its outermost ring is copied.
                if (copyOnly || planeEdge) {
                    output[p] = source[p];
                    continue;
                }
                const std::int32_t mode = thresholds.secondaryOffset + modeIncrement(p, stride);
                const std::uint8_t smoothed = smoothSample(&source[p], stride, mode);
                output[p] = limitToReference(smoothed, source[p], referencePlanes[p], mode, active);
            }
        }
    }
}

void filterOutputPlanes(PlaneSet& output, const std::uint8_t* blockFlags) {
    const AnalysisGeometry& g = analysisGeometry;
    filterPlaneBlocks(output, blockFlags, currentPlanes, 0);
    filterPlaneBlocks(output, blockFlags, currentPlanes, g.lumaBlocks);
    filterPlaneBlocks(output, blockFlags, currentPlanes, g.lumaBlocks + g.chromaBlocks);
}

}  // namespace kalmix
