// The block output filter: smooths the changed blocks and holds them near the reference.
#include "filter/output_filter.h"

#include <array>
#include <cstdlib>

#include "analysis/analysis.h"
#include "filter/dsp/filter_dsp.h"
#include "filter/kernels.h"
#include "params/filter_params.h"
#include "pipeline/dsp/block_copy_dsp.h"
#include "pipeline/frame_driver.h"

namespace kalmix {

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
    if (b == 0) return;
    const std::uint32_t h = n / b * BLOCK_HEIGHT;
    const bool copyOnly = thresholds.filteringEnabled == 0 || thresholds.secondaryEnabled == 0;
    const FilterPlan plan = makeFilterPlan(thresholds.secondaryOffset, sequenceActive != 0);
    const auto stride = static_cast<std::ptrdiff_t>(w);

    // A block row at a time, each sample row whole: the row routine filters
    // the samples of flagged blocks under a mask, in long vector runs however
    // the flags fall, and the plane's outermost ring is peeled off here.
    std::array<std::uint8_t, MAX_FRAME_WIDTH> writeMask;
    for (std::uint32_t blockRow = 0; blockRow * b < n; ++blockRow) {
        const std::uint32_t rowFirst = firstBlock + blockRow * b;
        const std::uint8_t* flags = blockFlags + rowFirst;
        if (nextFlaggedBlock(flags, 0, b) == b) continue;
        const std::uint32_t first = blockOffsets[rowFirst];
        if (copyOnly) {
            blockCopyRoutines.copyFlaggedBlocks(output.data() + first, source.data() + first,
                                                stride, flags, b, BLOCK_HEIGHT);
            continue;
        }
        blockCopyRoutines.flaggedSampleMask(writeMask.data(), flags, b);
        for (std::uint32_t r = 0; r < BLOCK_HEIGHT; ++r) {
            const std::uint32_t y = blockRow * BLOCK_HEIGHT + r;
            const std::uint32_t at = first + r * w;
            std::uint8_t* out = output.data() + at;
            const std::uint8_t* in = source.data() + at;
            if (y == 0 || y == h - 1) {
                blockCopyRoutines.copyFlaggedBlocks(out, in, stride, flags, b, 1);
                continue;
            }
            if (writeMask[0] != 0) out[0] = in[0];
            if (writeMask[w - 1] != 0) out[w - 1] = in[w - 1];
            filterRoutines.filterRow(out + 1, in + 1, &referencePlanes[at + 1],
                                     &sampleChangeScore[at + 1], &sampleChangeMarks[at + 1],
                                     &writeMask[1], stride, w - 2, plan);
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
