// Block grid and offsets for the largest and a mid-sized frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "frame_setup.h"
#include "pipeline/geometry.h"

namespace kalmix {
namespace {

TEST(Geometry, LargestFrameFillsEveryBlockArray) {
    testing::setUpFrame(384, 288);
    EXPECT_EQ(blocksPerRow, 96u);
    EXPECT_EQ(blockRows, 72u);
    EXPECT_EQ(blocksPerPlane, 6912u);
    EXPECT_EQ(allBlocks, BLOCK_CAPACITY);
    EXPECT_EQ(analysisGeometry.totalBlocks, BLOCK_CAPACITY);
    EXPECT_EQ(analysisGeometry.totalSamples, PLANE_SET_CAPACITY);
    // The last V block: the V plane starts at 221,184; the block at row 284, column 380.
    EXPECT_EQ(blockOffsets[20735], 330620u);
    EXPECT_EQ(blockOffsets[20735], 221184u + 284u * 384u + 380u);
}

TEST(Geometry, ChromaBlocksFollowLumaAndRunFromUIntoV) {
    testing::setUpFrame(176, 144);
    EXPECT_EQ(blocksPerPlane, 1584u);
    EXPECT_EQ(blockOffsets[0], 0u);
    EXPECT_EQ(blockOffsets[43], 43u * 4u);
    EXPECT_EQ(blockOffsets[44], 4u * 176u);
    EXPECT_EQ(blockOffsets[1584], 25344u);
    EXPECT_EQ(blockOffsets[1584 + 44], 25344u + 4u * 176u);
    // The first V block lies right after the last U block row.
    EXPECT_EQ(blockOffsets[2 * 1584], 2u * 25344u);
    EXPECT_EQ(blockOffsets[3 * 1584 - 1], 3u * 25344u - 3u * 176u - 4u);
}

TEST(Geometry, SetUpFlagsEveryBlockOfTheCapacity) {
    blockChangeFlags.fill(0);
    testing::setUpFrame(16, 8);
    for (std::uint8_t flag : blockChangeFlags) ASSERT_EQ(flag, 1);
}

TEST(Geometry, SmallerFrameLeavesLaterOffsetsAlone) {
    testing::setUpFrame(384, 288);
    const std::uint32_t before = blockOffsets[5000];
    testing::setUpFrame(16, 16);
    EXPECT_EQ(allBlocks, 48u);
    EXPECT_EQ(blockOffsets[47], 2u * 256u + 12u * 16u + 12u);
    EXPECT_EQ(blockOffsets[5000], before);
}

// The extent of a loaded history bounds the hold: one past the last block
// with a non-zero entry in any layer, the very last entry included.
TEST(Geometry, HistoryExtentEndsAfterTheLastNonZeroEntryOfAnyLayer) {
    std::vector<std::uint8_t> history(HISTORY_LAYERS * BLOCK_CAPACITY, 0);
    EXPECT_EQ(measureHistoryExtent(history.data()), 0u);
    history[5 * BLOCK_CAPACITY + 4999] = 1;
    history[2 * BLOCK_CAPACITY + 17] = 3;
    EXPECT_EQ(measureHistoryExtent(history.data()), 5000u);
    history[0] = 0;
    history[7 * BLOCK_CAPACITY + 5000] = 1;
    EXPECT_EQ(measureHistoryExtent(history.data()), 5001u);
    history[HISTORY_LAYERS * BLOCK_CAPACITY - 1] = 1;
    EXPECT_EQ(measureHistoryExtent(history.data()), BLOCK_CAPACITY);
    std::fill(history.begin(), history.end(), 0);
    history[BLOCK_CAPACITY - 1] = 1;  // the last entry of layer 0
    EXPECT_EQ(measureHistoryExtent(history.data()), BLOCK_CAPACITY);
}

}  // namespace
}  // namespace kalmix
