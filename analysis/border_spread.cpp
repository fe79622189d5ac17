// Border spread: widens the block map by at most one ring of blocks where the
// samples of a still neighbour that face a changed block show change too.
#include <algorithm>
#include <cstdlib>

#include "analysis/analysis.h"
#include "params/filter_params.h"

namespace kalmix {

std::array<std::uint8_t, BLOCK_CAPACITY> spreadMarks{};

namespace {

// How many rows or columns of a side neighbour face the changed block.
constexpr std::uint32_t SCORE_BAND = 1;
constexpr std::uint32_t VOTE_BAND = 2;
// A corner neighbour faces the changed block with a triangle of six samples:
// those within this many steps of its corner nearest the changed block.
constexpr std::uint32_t TRIANGLE_REACH = 2;

// Whether the sample (row, column) of a neighbour block at `side` faces the
// changed block. A side neighbour faces it with `band` rows or columns.
bool facesChangedBlock(NeighbourPosition side, std::uint32_t row, std::uint32_t column,
                       std::uint32_t band) {
    const std::uint32_t fromBottom = BLOCK_HEIGHT - 1 - row;
    const std::uint32_t fromRight = BLOCK_WIDTH - 1 - column;
    switch (side) {
        case NeighbourPosition::WEST: return fromRight < band;    // its last columns
        case NeighbourPosition::EAST: return column < band;       // its first columns
        case NeighbourPosition::NORTH: return fromBottom < band;  // its last rows
        case NeighbourPosition::SOUTH: return row < band;         // its first rows
        case NeighbourPosition::NORTH_EAST: return fromBottom + column <= TRIANGLE_REACH;
        case NeighbourPosition::NORTH_WEST: return fromBottom + fromRight <= TRIANGLE_REACH;
        case NeighbourPosition::SOUTH_EAST: return row + column <= TRIANGLE_REACH;
        case NeighbourPosition::SOUTH_WEST: return row + fromRight <= TRIANGLE_REACH;
    }
    return false;
}

bool isCorner(NeighbourPosition side) {
    return side == NeighbourPosition::NORTH_EAST || side == NeighbourPosition::NORTH_WEST ||
           side == NeighbourPosition::SOUTH_EAST || side == NeighbourPosition::SOUTH_WEST;
}

std::uint32_t planeWidthOf(std::uint32_t block) {
    return block < analysisGeometry.lumaBlocks ? analysisGeometry.lumaWidth
                                               : analysisGeometry.chromaWidth;
}

// Calls visit with the position of every sample of block facing the changed block.
template <typename Visit>
void forFacingSamples(std::uint32_t block, NeighbourPosition side, std::uint32_t band,
                      Visit visit) {
    const std::uint32_t width = planeWidthOf(block);
    for (std::uint32_t r = 0; r < BLOCK_HEIGHT; ++r) {
        for (std::uint32_t c = 0; c < BLOCK_WIDTH; ++c) {
            if (facesChangedBlock(side, r, c, band)) visit(blockOffsets[block] + r * width + c);
        }
    }
}

bool shouldMark(std::uint32_t neighbour, NeighbourPosition side) {
    const auto scoreLevel = static_cast<std::uint32_t>(thresholds.borderChangeCount);
    if (isCorner(side)) {
        return facingScoreSum(neighbour, side) >= scoreLevel ||
               facingSignVotes(neighbour, side) >= CORNER_VOTE_MIN;
    }
    return facingSignVotes(neighbour, side) >= EDGE_VOTE_MIN ||
           facingScoreSum(neighbour, side) >= scoreLevel;
}

struct NeighbourStep {
    NeighbourPosition side;
    int rowStep;
    int columnStep;
};

// The order the neighbours are tested in; the outcome does not depend on it.
static constexpr NeighbourStep NEIGHBOUR_STEPS[] = {
    {NeighbourPosition::NORTH_WEST, -1, -1}, {NeighbourPosition::NORTH_EAST, -1, 1},
    {NeighbourPosition::NORTH, -1, 0},       {NeighbourPosition::WEST, 0, -1},
    {NeighbourPosition::EAST, 0, 1},         {NeighbourPosition::SOUTH_WEST, 1, -1},
    {NeighbourPosition::SOUTH_EAST, 1, 1},   {NeighbourPosition::SOUTH, 1, 0},
};

}  // namespace

std::uint32_t facingScoreSum(std::uint32_t block, NeighbourPosition side) {
    std::uint32_t sum = 0;
    forFacingSamples(block, side, SCORE_BAND,
                     [&](std::uint32_t q) { sum += sampleChangeScore[q]; });
    return sum;
}

// The vote is a balance: samples that moved the same way beyond the bias
// threshold add up, opposite signs cancel.
std::uint32_t facingSignVotes(std::uint32_t block, NeighbourPosition side) {
    if (thresholds.biasTestEnabled == 0) return 0;
    const std::int32_t t = block < analysisGeometry.lumaBlocks ? thresholds.lumaBiasThreshold
                                                               : thresholds.chromaBiasThreshold;
    std::int32_t votes = 0;
    forFacingSamples(block, side, VOTE_BAND, [&](std::uint32_t q) {
        const std::int32_t d = currentPlanes[q] - referencePlanes[q];
        if (d > t) ++votes;
        if (d < -t) --votes;
    });
    return static_cast<std::uint32_t>(std::abs(votes));
}

void spreadPlaneBlocks(std::uint32_t firstBlock, std::uint32_t blockCount) {
    const AnalysisGeometry& g = analysisGeometry;
    const bool luma = firstBlock < g.lumaBlocks;
    const std::uint32_t perRow = luma ? g.lumaBlocksPerRow : g.chromaBlocksPerRow;
    const std::uint32_t rows = luma ? g.lumaBlockRows : g.chromaBlockRows;

    std::fill_n(spreadMarks.begin() + firstBlock, blockCount, std::uint8_t{0});
    // The tests read only blockMap, which stays as decided during the scan;
    // the marks are applied after it, so the map grows by one ring at most.
    for (std::uint32_t i = 0; i < blockCount; ++i) {
        if (blockMap[firstBlock + i] != 1) continue;
        const std::uint32_t row = i / perRow;
        const std::uint32_t column = i % perRow;
        for (const NeighbourStep& step : NEIGHBOUR_STEPS) {
            // Nothing is taken from another block row or another plane.
            if (step.rowStep < 0 && row == 0) continue;
            if (step.rowStep > 0 && row + 1 >= rows) continue;
            if (step.columnStep < 0 && column == 0) continue;
            if (step.columnStep > 0 && column + 1 >= perRow) continue;
            const std::uint32_t neighbour =
                static_cast<std::uint32_t>(static_cast<std::int64_t>(firstBlock + i) +
                                           step.rowStep * std::int64_t{perRow} + step.columnStep);
            if (blockMap[neighbour] != 0) continue;
            if (shouldMark(neighbour, step.side)) spreadMarks[neighbour] = 1;
        }
    }
    for (std::uint32_t b = firstBlock; b < firstBlock + blockCount; ++b) {
        if (spreadMarks[b] == 1 && blockMap[b] == 0) blockMap[b] = 1;
    }
}

void spreadBlockMap() {
    const AnalysisGeometry& g = analysisGeometry;
    spreadPlaneBlocks(0, g.lumaBlocks);
    spreadPlaneBlocks(g.lumaBlocks, g.chromaBlocks);
    spreadPlaneBlocks(g.lumaBlocks + g.chromaBlocks, g.chromaBlocks);
}

}  // namespace kalmix
