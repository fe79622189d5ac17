// Per-sample change detection: which samples differ from the reference by more
// than the change threshold, and per block the count and the sign balance.
#include <algorithm>
#include <cstdlib>

#include "analysis/analysis.h"
#include "filter/kernels.h"
#include "params/filter_params.h"

namespace kalmix {

std::array<std::uint8_t, PLANE_SET_CAPACITY> sampleChangeMarks{};
std::array<std::uint8_t, PLANE_SET_CAPACITY> sampleChangeScore{};
std::array<std::uint8_t, BLOCK_CAPACITY> blockChangedSamples{};
std::array<std::int8_t, BLOCK_CAPACITY> blockSignBalance{};

void clearAnalysisMaps() {
    const std::uint32_t samples = analysisGeometry.totalSamples;
    const std::uint32_t blocks = analysisGeometry.totalBlocks;
    std::fill_n(sampleChangeMarks.begin(), samples, std::uint8_t{0});
    std::fill_n(sampleChangeScore.begin(), samples, std::uint8_t{0});
    std::fill_n(extentMarks.begin(), samples, std::uint8_t{0});
    std::fill_n(blockChangeWeight.begin(), blocks, std::uint32_t{0});
    std::fill_n(blockChangedSamples.begin(), blocks, std::uint8_t{0});
    std::fill_n(blockSignBalance.begin(), blocks, std::int8_t{0});
}

namespace {

struct PlaneThresholds {
    std::int32_t bias;    // |d| at or above it counts toward the balance
    std::int32_t change;  // |d| above it (and passing the bias test) marks the sample
};

// The first block of the run tells the plane: 0 is luma, anything else chroma.
PlaneThresholds thresholdsFor(std::uint32_t firstBlock) {
    if (firstBlock == 0) return {thresholds.lumaBiasThreshold, thresholds.lumaChangeThreshold};
    return {thresholds.chromaBiasThreshold, thresholds.chromaChangeThreshold};
}

bool onPlaneOuterRing(std::uint32_t indexInPlane, std::uint32_t blockCount, std::uint32_t perRow) {
    return indexInPlane < perRow || indexInPlane >= blockCount - perRow ||
           indexInPlane % perRow == 0 || (indexInPlane + 1) % perRow == 0;
}

// One block. With smoothed set, a difference beyond the bias threshold is
// replaced by the difference of the mode-5 smoothed pictures when that one is
// smaller: isolated noise loses most of its amplitude under the kernel, a real
// change does not.
void detectBlockChanges(std::uint32_t block, std::uint32_t rowStride, PlaneThresholds t,
                        bool smoothed) {
    const auto stride = static_cast<std::int32_t>(rowStride);
    std::int32_t count = 0;
    std::int32_t balance = 0;
    for (std::uint32_t r = 0; r < BLOCK_HEIGHT; ++r) {
        for (std::uint32_t c = 0; c < BLOCK_WIDTH; ++c) {
            const std::uint32_t q = blockOffsets[block] + r * rowStride + c;
            std::int32_t d = referencePlanes[q] - currentPlanes[q];
            if (smoothed && std::abs(d) > t.bias) {
                const std::int32_t s =
                    smoothSample(&referencePlanes[q], stride, ENHANCED_SMOOTHING_MODE) -
                    smoothSample(&currentPlanes[q], stride, ENHANCED_SMOOTHING_MODE);
                if (std::abs(s) < std::abs(d)) d = s;
            }
            // The change test sits inside the bias test: >= for the bias, > for the change.
            bool changed = false;
            if (d >= t.bias) {
                ++balance;
                changed = d > t.change;
            } else if (-d >= t.bias) {
                --balance;
                changed = -d > t.change;
            }
            if (changed) {
                sampleChangeMarks[q] = CHANGED_MARK;
                ++count;
            }
        }
    }
    blockChangedSamples[block] = static_cast<std::uint8_t>(count);
    blockSignBalance[block] = static_cast<std::int8_t>(balance);
}

}  // namespace

void detectPlaneChanges(std::uint32_t firstBlock, std::uint32_t blockCount,
                        std::uint32_t rowStride) {
    const PlaneThresholds t = thresholdsFor(firstBlock);
    for (std::uint32_t b = firstBlock; b < firstBlock + blockCount; ++b) {
        detectBlockChanges(b, rowStride, t, false);
    }
}

void detectPlaneChangesEnhanced(std::uint32_t firstBlock, std::uint32_t blockCount,
                                std::uint32_t rowStride) {
    const PlaneThresholds t = thresholdsFor(firstBlock);
    const std::uint32_t perRow = rowStride / BLOCK_WIDTH;
    for (std::uint32_t i = 0; i < blockCount; ++i) {
        // The 3x3 window of an outer-ring block's edge samples would leave the
        // plane, so the whole ring is judged on the raw difference.
        detectBlockChanges(firstBlock + i, rowStride, t, !onPlaneOuterRing(i, blockCount, perRow));
    }
}

void detectPixelChanges() {
    const AnalysisGeometry& g = analysisGeometry;
    clearAnalysisMaps();
    struct PlaneRun {
        std::uint32_t firstBlock, blockCount, rowStride;
    };
    const PlaneRun planes[] = {
        {0, g.lumaBlocks, g.lumaWidth},
        {g.lumaBlocks, g.chromaBlocks, g.chromaWidth},
        {g.lumaBlocks + g.chromaBlocks, g.chromaBlocks, g.chromaWidth},
    };
    for (const PlaneRun& plane : planes) {
        // Read per plane, so a change of the switch takes effect with the next frame.
        if (workingParams.enhancedSuppression != 0) {
            detectPlaneChangesEnhanced(plane.firstBlock, plane.blockCount, plane.rowStride);
        } else {
            detectPlaneChanges(plane.firstBlock, plane.blockCount, plane.rowStride);
        }
    }
}

}  // namespace kalmix
