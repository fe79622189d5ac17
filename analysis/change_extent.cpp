// Change extent: how far a thin chain of partly supported changed samples
// reaches through a seed, vertically or horizontally, turned into a weight.
#include <algorithm>

#include "analysis/analysis.h"
#include "analysis/sample_location.h"
#include "params/filter_params.h"

namespace kalmix {

std::array<std::uint8_t, PLANE_SET_CAPACITY> extentMarks{};

namespace {

// Isolated samples (0 or 1 changed neighbours) and samples deep inside a
// changed area (7 or 8) are not part of a thin chain.
bool qualifies(std::uint32_t q) {
    const std::uint8_t count = sampleChangeMarks[q] & NEIGHBOUR_COUNT_MASK;
    return count >= 2 && count <= 6;
}

constexpr std::uint8_t directionBit(ExtentDirection direction) {
    return static_cast<std::uint8_t>(1U << static_cast<unsigned>(direction));
}

struct ExtentStep {
    int rowStep;
    int columnStep;
    std::uint8_t directions;  // the directions whose cone holds this step
};

// Every step moves one row (vertical directions) or one column (horizontal)
// further from the seed. Tried in this order, whatever the direction.
static constexpr ExtentStep EXTENT_STEPS[] = {
    {-1, 0, directionBit(ExtentDirection::UP)},
    {-1, -1, directionBit(ExtentDirection::UP) | directionBit(ExtentDirection::LEFT)},
    {-1, 1, directionBit(ExtentDirection::UP) | directionBit(ExtentDirection::RIGHT)},
    {0, -1, directionBit(ExtentDirection::LEFT)},
    {0, 1, directionBit(ExtentDirection::RIGHT)},
    {1, 0, directionBit(ExtentDirection::DOWN)},
    {1, -1, directionBit(ExtentDirection::DOWN) | directionBit(ExtentDirection::LEFT)},
    {1, 1, directionBit(ExtentDirection::DOWN) | directionBit(ExtentDirection::RIGHT)},
};

// Depth-first trace from the sample at `where` (inside the seed's plane).
// depth is the depth of the caller's sample (0 for the seed); returns the
// greatest depth reached through this sample, or depth itself when the sample
// is not entered. Every sample entered keeps the depth of its latest visit.
std::uint8_t traceExtent(const SampleLocation& where, ExtentDirection direction,
                         std::uint8_t depth) {
    const std::uint32_t position = where.planeStart + where.row * where.rowStride + where.column;
    if (!qualifies(position) || depth >= EXTENT_CAP) return depth;
    const auto own = static_cast<std::uint8_t>(depth + 1);
    std::uint8_t best = own;
    for (const ExtentStep& step : EXTENT_STEPS) {
        if (best >= EXTENT_CAP) break;  // a chain of 8 ends the search at every level
        if ((step.directions & directionBit(direction)) == 0) continue;
        if (!where.hasNeighbour(step.rowStep, step.columnStep)) continue;
        SampleLocation target = where;
        target.row = static_cast<std::uint32_t>(static_cast<int>(where.row) + step.rowStep);
        target.column =
            static_cast<std::uint32_t>(static_cast<int>(where.column) + step.columnStep);
        best = std::max(best, traceExtent(target, direction, own));
    }
    extentMarks[position] = best;
    return best;
}

// Samples on the longest chain through the seed along one axis: both traces
// count the seed, so it is taken once; capped at 8. The second trace is
// skipped when the first already reached the cap.
std::uint8_t axisExtent(const SampleLocation& seed, ExtentDirection first, ExtentDirection second) {
    const std::uint8_t one = traceExtent(seed, first, 0);
    if (one >= EXTENT_CAP) return EXTENT_CAP;
    const std::uint8_t other = traceExtent(seed, second, 0);
    return static_cast<std::uint8_t>(std::min(one + other - 1, static_cast<int>(EXTENT_CAP)));
}

}  // namespace

// onOuterRing is not needed: every step is tested against the edges of the
// seed's plane.
std::uint8_t measureChangeExtent(std::uint32_t position, std::uint32_t rowStride,
                                 bool /*onOuterRing*/) {
    if (sampleChangeScore[position] >= EXTENT_SCORE_LIMIT) return 0;
    // The seed lies on a chain of 8 already found in this frame.
    if (extentMarks[position] == EXTENT_CAP) return EXTENT_WEIGHTS[EXTENT_CAP];
    // A seed with a single changed neighbour is handed over but starts no chain.
    if (!qualifies(position)) return 0;

    const SampleLocation seed = locateSample(position, rowStride);
    const std::uint8_t vertical = axisExtent(seed, ExtentDirection::UP, ExtentDirection::DOWN);
    std::uint8_t horizontal = 0;
    if (vertical < EXTENT_CAP) {
        horizontal = axisExtent(seed, ExtentDirection::LEFT, ExtentDirection::RIGHT);
    }
    return EXTENT_WEIGHTS[std::max(vertical, horizontal)];
}

}  // namespace kalmix
