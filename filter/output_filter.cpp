// The block output filter: smooths the changed blocks and holds them near the reference.
#include "filter/output_filter.h"

#include <cstdlib>
#include <cstring>

#include "analysis/analysis.h"
#include "filter/dsp/filter_dsp.h"
#include "filter/kernels.h"
#include "params/filter_params.h"
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

namespace {

// One sample row of a run of flagged blocks, from column `first` to `end`
// (exclusive) of plane row `y`: the plane's outermost ring is copied, the rest
// filtered. copyOnly copies the whole row.
void filterRunRow(std::uint8_t* output, const std::uint8_t* source, std::uint32_t rowStart,
                  std::uint32_t first, std::uint32_t end, std::uint32_t y, std::uint32_t width,
                  std::uint32_t height, bool copyOnly, const FilterPlan& plan) {
    const std::uint32_t at = rowStart + first;
    if (copyOnly || y == 0 || y == height - 1) {
        std::memcpy(output + at, source + at, end - first);
        return;
    }
    std::uint32_t from = at;
    std::uint32_t to = rowStart + end;
    if (first == 0) {
        output[from] = source[from];
        ++from;
    }
    if (end == width) {
        --to;
        output[to] = source[to];
    }
    filterRoutines.filterRow(output + from, source + from, &referencePlanes[from],
                             &sampleChangeScore[from], &sampleChangeMarks[from],
                             static_cast<std::ptrdiff_t>(width), to - from, plan);
}

}  // namespace

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

    // Runs of flagged blocks along each block row, one sample row at a time, so
    // the row routine sees long stretches and the plane edges are peeled off.
    for (std::uint32_t blockRow = 0; blockRow * b < n; ++blockRow) {
        const std::uint32_t rowFirst = firstBlock + blockRow * b;
        const std::uint8_t* flags = blockFlags + rowFirst;
        std::uint32_t column = 0;
        while (column < b) {
            if (flags[column] == 0) {
                ++column;
                continue;
            }
            const std::uint32_t runFirst = column;
            while (column < b && flags[column] != 0) ++column;
            for (std::uint32_t r = 0; r < BLOCK_HEIGHT; ++r) {
                filterRunRow(output.data(), source.data(), blockOffsets[rowFirst] + r * w,
                             runFirst * BLOCK_WIDTH, column * BLOCK_WIDTH,
                             blockRow * BLOCK_HEIGHT + r, w, h, copyOnly, plan);
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
