// Block classification: weighs the changed samples of every block by their
// support, amplitude and surroundings into one change weight per block.
#include <cstdlib>

#include "analysis/analysis.h"
#include "analysis/sample_location.h"
#include "params/filter_params.h"

namespace kalmix {

std::array<std::uint32_t, BLOCK_CAPACITY> blockChangeWeight{};
std::uint8_t gradeStep = 0;
std::int32_t planeSupportMin = 0;

namespace {

std::uint8_t neighbourCount(std::uint32_t q) { return sampleChangeMarks[q] & NEIGHBOUR_COUNT_MASK; }
bool isChanged(std::uint32_t q) { return (sampleChangeMarks[q] & CHANGED_MARK) != 0; }

std::int32_t amplitude(std::uint32_t q) { return std::abs(referencePlanes[q] - currentPlanes[q]); }

// a / 16, held to 0.5..5.0.
double amplitudeFactor(std::uint32_t q) {
    const double factor = amplitude(q) * DIFF_WEIGHT_SCALE;
    if (factor < WEIGHT_FACTOR_MIN) return WEIGHT_FACTOR_MIN;
    if (factor > WEIGHT_FACTOR_MAX) return WEIGHT_FACTOR_MAX;
    return factor;
}

// Neighbours of q that pass the test. With inPlaneOnly only those inside q's
// plane are looked at (a diagonal one needs both its row and its column
// inside); without it the caller knows all eight are inside.
template <typename Test>
std::uint32_t countNeighbours(std::uint32_t q, std::uint32_t rowStride, bool inPlaneOnly,
                              Test test) {
    const SampleLocation where = inPlaneOnly ? locateSample(q, rowStride) : SampleLocation{};
    std::uint32_t count = 0;
    for (int rowStep = -1; rowStep <= 1; ++rowStep) {
        for (int columnStep = -1; columnStep <= 1; ++columnStep) {
            if (rowStep == 0 && columnStep == 0) continue;
            if (inPlaneOnly && !where.hasNeighbour(rowStep, columnStep)) continue;
            if (test(stepFrom(q, rowStride, rowStep, columnStep))) ++count;
        }
    }
    return count;
}

// 0..3: how far the amplitude lies above the change threshold, in steps of gradeStep.
std::int32_t amplitudeGrade(std::uint32_t q, std::int32_t threshold) {
    const std::int32_t a = amplitude(q);
    const std::int32_t s = gradeStep;
    if (a <= threshold + s) return 0;
    if (a <= threshold + 4 * s) return 1;
    if (a <= threshold + 6 * s) return 2;
    return 3;
}

struct PlaneOfBlock {
    std::uint32_t rowStride;
    std::int32_t changeThreshold;
};

PlaneOfBlock planeOfBlock(std::uint32_t block) {
    const AnalysisGeometry& g = analysisGeometry;
    if (block < g.lumaBlocks) return {g.lumaWidth, thresholds.lumaChangeThreshold};
    return {g.chromaWidth, thresholds.chromaChangeThreshold};
}

std::uint32_t samplePosition(std::uint32_t block, std::uint32_t rowStride, std::uint32_t r,
                             std::uint32_t c) {
    return blockOffsets[block] + r * rowStride + c;
}

// Adds w to a sample's score (8-bit, wrapping) and to its block's weight.
void reinforce(std::uint32_t q, std::uint32_t block, std::int32_t w) {
    sampleChangeScore[q] = static_cast<std::uint8_t>(sampleChangeScore[q] + w);
    blockChangeWeight[block] += static_cast<std::uint32_t>(w);
}

}  // namespace

double differenceSpreadFactor(std::uint32_t position, std::uint32_t rowStride) {
    std::int32_t s1 = 0;
    std::int32_t s2 = 0;
    for (int rowStep = -1; rowStep <= 1; ++rowStep) {
        for (int columnStep = -1; columnStep <= 1; ++columnStep) {
            const std::uint32_t q = stepFrom(position, rowStride, rowStep, columnStep);
            const std::int32_t e = referencePlanes[q] - currentPlanes[q];
            s1 += e;
            s2 += e * e;
        }
    }
    return spreadFactorOfSums(s1, s2);
}

double spreadFactorOfSums(std::int32_t s1, std::int32_t s2) {
    // S1 * S1 is an exact integer; the coefficients are the decimals as tuned.
    const double variance =
        s2 * VARIANCE_SQUARE_FACTOR - static_cast<double>(s1 * s1) * VARIANCE_MEAN_FACTOR;
    if (variance > 2 * SPREAD_LOW) return 1.5;
    if (variance > SPREAD_LOW) return 1.0;
    return 0.5;
}

std::uint8_t scoreSample(std::uint32_t position, std::uint32_t rowStride,
                         std::uint8_t changeThreshold, bool edgeSample) {
    const std::uint32_t n = countNeighbours(position, rowStride, edgeSample, isChanged);
    const std::int32_t supported =
        static_cast<std::int32_t>(n) + amplitudeGrade(position, changeThreshold);
    std::uint8_t weight = 0;
    if (supported >= planeSupportMin) {
        const std::int32_t k = supported - planeSupportMin + 1;
        weight =
            static_cast<std::uint8_t>(static_cast<std::int32_t>(k * amplitudeFactor(position)));
        if (n >= DENSE_NEIGHBOUR_COUNT) {
            weight = static_cast<std::uint8_t>(
                static_cast<std::int32_t>(weight * differenceSpreadFactor(position, rowStride)));
        }
        if (weight == 0) weight = 1;  // a supported change never weighs nothing
    }
    sampleChangeScore[position] = weight;
    sampleChangeMarks[position] = static_cast<std::uint8_t>(CHANGED_MARK | n);
    return weight;
}

void scoreChangedSamples(std::uint32_t block, bool onOuterRing) {
    const PlaneOfBlock plane = planeOfBlock(block);
    const auto threshold = static_cast<std::uint8_t>(plane.changeThreshold);
    for (std::uint32_t r = 0; r < BLOCK_HEIGHT; ++r) {
        for (std::uint32_t c = 0; c < BLOCK_WIDTH; ++c) {
            const std::uint32_t q = samplePosition(block, plane.rowStride, r, c);
            if (!isChanged(q)) continue;
            // Only the border samples of a ring block can touch the plane's edge.
            const bool edgeSample =
                onOuterRing && (r == 0 || r == BLOCK_HEIGHT - 1 || c == 0 || c == BLOCK_WIDTH - 1);
            blockChangeWeight[block] += scoreSample(q, plane.rowStride, threshold, edgeSample);
        }
    }
}

// A weakly supported sample next to densely surrounded ones is likely part of
// the same change. Neighbours in blocks not yet scored still count 0.
void reinforceWeakSamples(std::uint32_t block) {
    const std::uint32_t rowStride = planeOfBlock(block).rowStride;
    const auto isDense = [](std::uint32_t q) { return neighbourCount(q) >= DENSE_NEIGHBOUR_COUNT; };
    for (std::uint32_t r = 0; r < BLOCK_HEIGHT; ++r) {
        for (std::uint32_t c = 0; c < BLOCK_WIDTH; ++c) {
            const std::uint32_t q = samplePosition(block, rowStride, r, c);
            const std::uint8_t count = neighbourCount(q);
            if (count < 2 || count > 5) continue;
            const std::uint32_t j = countNeighbours(q, rowStride, true, isDense);
            if (j == 0) continue;
            std::int32_t w = static_cast<std::int32_t>(
                static_cast<std::int32_t>(REINFORCE_GAIN * j) * amplitudeFactor(q));
            if (w < 1) w = 1;
            reinforce(q, block, w);
        }
    }
}

// A sample on a thin run of change (an edge, a line) gains the run's weight.
void reinforceFromExtent(std::uint32_t block, bool onOuterRing) {
    const std::uint32_t rowStride = planeOfBlock(block).rowStride;
    for (std::uint32_t r = 0; r < BLOCK_HEIGHT; ++r) {
        for (std::uint32_t c = 0; c < BLOCK_WIDTH; ++c) {
            const std::uint32_t q = samplePosition(block, rowStride, r, c);
            const std::uint8_t count = neighbourCount(q);
            if (count < 1 || count > 6) continue;
            const std::uint8_t extent = measureChangeExtent(q, rowStride, onOuterRing);
            if (extent == 0) continue;
            std::int32_t w = static_cast<std::int32_t>(extent * amplitudeFactor(q));
            if (w < 1) w = 1;
            reinforce(q, block, w);
        }
    }
}

void classifyPlaneBlocks(std::uint32_t firstBlock, std::uint32_t blockCount) {
    const AnalysisGeometry& g = analysisGeometry;
    const std::int32_t supportMin = thresholds.neighbourSupportMin;
    planeSupportMin = supportMinFor(firstBlock == 0, supportMin);
    const std::uint32_t perRow = firstBlock == 0 ? g.lumaBlocksPerRow : g.chromaBlocksPerRow;
    const auto changeCount = static_cast<std::uint32_t>(thresholds.blockChangeCount);

    // In increasing order: a block's reinforcements see the neighbour counts
    // of the blocks before it and 0 for those after it.
    for (std::uint32_t i = 0; i < blockCount; ++i) {
        const std::uint32_t b = firstBlock + i;
        if (blockChangedSamples[b] == 0) continue;
        if (thresholds.filteringEnabled == 0) {
            blockChangeWeight[b] = changeCount;
            continue;
        }
        const bool onOuterRing =
            i < perRow || i >= blockCount - perRow || i % perRow == 0 || (i + 1) % perRow == 0;
        scoreChangedSamples(b, onOuterRing);
        reinforceWeakSamples(b);
        reinforceFromExtent(b, onOuterRing);
        // Differences that all point one way are more likely a real change
        // than noise, whose signs are mixed.
        if (blockChangeWeight[b] < changeCount) {
            const auto magnitude = static_cast<std::uint32_t>(std::abs(blockSignBalance[b]));
            blockChangeWeight[b] += magnitude * changeCount / BLOCK_SAMPLES;
        }
    }
}

}  // namespace kalmix
