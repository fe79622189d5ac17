// The block decision, the transition hold over the history layers, and the export.
#include <vector>

#include "analysis_test_frame.h"

namespace kalmix::test {
namespace {

using BlockMapTest = AnalysisFrameTest;

struct DecisionCase {
    int level;
    std::uint32_t weight;
    std::int8_t balance;
    std::uint8_t changed;
};

class DecisionTest : public AnalysisFrameTest,
                     public ::testing::WithParamInterface<std::tuple<DecisionCase, Plane>> {};

// Level 5: count 25, balance 7. Level 9: count 30, balance 12.
INSTANTIATE_TEST_SUITE_P(
    Thresholds, DecisionTest,
    ::testing::Combine(::testing::Values(DecisionCase{5, 25, 0, 1}, DecisionCase{5, 24, 0, 0},
                                         DecisionCase{5, 24, -7, 1}, DecisionCase{5, 0, 7, 1},
                                         DecisionCase{5, 24, 6, 0}, DecisionCase{9, 0, -12, 1},
                                         DecisionCase{9, 0, 12, 1}, DecisionCase{9, 29, -11, 0},
                                         DecisionCase{0, 0, 0, 1}),
                       ::testing::Values(Y, U, V)));

TEST_P(DecisionTest, BlockChangesOnWeightOrOnAOneSidedBalance) {
    const auto& [c, plane] = GetParam();
    applyPrimaryLevel(c.level);
    const std::uint32_t b = blockAt(plane, 2, 1);
    blockChangeWeight[b] = c.weight;
    blockSignBalance[b] = c.balance;
    blockChangeWeight[b + 1] = 1000;  // a neighbour's evidence is not this block's
    decideLumaBlocks();
    decideChromaBlocks();
    EXPECT_EQ(blockMap[b], c.changed);
}

TEST_F(BlockMapTest, WithoutTheBiasTestOnlyTheWeightDecides) {
    thresholds.biasTestEnabled = 0;
    blockSignBalance[blockAt(U, 1, 1)] = 16;
    decideLumaBlocks();
    decideChromaBlocks();
    EXPECT_TRUE(mappedBlocks().empty());
}

struct HoldCase {
    const char* name;
    std::vector<std::int32_t> transitionFrames;  // per frame
    std::vector<std::uint8_t> decided;           // the block's decision per frame
    std::vector<std::uint8_t> exported;          // its flag per frame
};

class HoldTest : public AnalysisFrameTest, public ::testing::WithParamInterface<HoldCase> {};

INSTANTIATE_TEST_SUITE_P(
    Sequences, HoldTest,
    ::testing::Values(
        // Frames 10 to 13 of a sequence.
        HoldCase{"twoFrames", {2, 2, 2, 2}, {1, 0, 0, 0}, {1, 1, 1, 0}},
        HoldCase{"holdOnlyMarksAreNotRecorded", {1, 1, 1, 1}, {1, 0, 0, 1}, {1, 1, 0, 1}},
        HoldCase{"none", {0, 0}, {1, 0}, {1, 0}},
        // A record may hold more frames than there are layers: held for 7.
        HoldCase{"clampedToSeven",
                 {100, 100, 100, 100, 100, 100, 100, 100, 100},
                 {1, 0, 0, 0, 0, 0, 0, 0, 0},
                 {1, 1, 1, 1, 1, 1, 1, 1, 0}},
        // Lowered to 1, layer 2 keeps an old map that comes back into play when raised.
        HoldCase{"raisedAgain", {3, 3, 1, 3, 3, 3}, {1, 0, 0, 0, 0, 0}, {1, 1, 0, 1, 1, 0}}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_P(HoldTest, ChangedBlockIsHeldForTheTransitionFrames) {
    const HoldCase& c = GetParam();
    const std::uint32_t b = blockAt(V, 3, 3);
    for (std::size_t frame = 0; frame < c.decided.size(); ++frame) {
        workingParams.transitionFrames = c.transitionFrames[frame];
        blockMap.fill(0);
        blockMap[b] = c.decided[frame];
        holdBlockMap();
        exportBlockMap();
        EXPECT_EQ(blockChangeFlags[b], c.exported[frame]) << "frame " << frame;
        EXPECT_EQ(blockChangeFlags[b - 1], 0);
    }
}

TEST_F(BlockMapTest, WithoutTransitionFramesTheHistoryIsLeftAlone) {
    for (std::uint32_t i = 0; i < blockMapHistory.size(); ++i) {
        blockMapHistory[i] = static_cast<std::uint8_t>(i % 3);
    }
    blockMapHistoryExtent = BLOCK_CAPACITY;
    const auto before = blockMapHistory;
    workingParams.transitionFrames = 0;
    blockMap[blockAt(Y, 0, 2)] = 1;
    holdBlockMap();
    exportBlockMap();
    EXPECT_EQ(blockMapHistory, before);
    EXPECT_EQ(flaggedBlocks(), std::set<std::uint32_t>{blockAt(Y, 0, 2)});
}

// The hold covers the whole capacity; entries beyond the frame's blocks
// never reach the exported flags.
TEST_F(BlockMapTest, HoldCoversTheWholeCapacityButExportOnlyTheFramesBlocks) {
    const std::uint32_t beyond = 1000;
    ASSERT_GT(beyond, analysisGeometry.totalBlocks);
    blockMapHistory[1 * BLOCK_CAPACITY + beyond] = 1;
    blockMapHistoryExtent = beyond + 1;
    blockChangeFlags[beyond] = 7;
    workingParams.transitionFrames = 2;
    holdBlockMap();
    exportBlockMap();
    EXPECT_EQ(blockMap[beyond], 1);
    EXPECT_EQ(blockMapHistory[2 * BLOCK_CAPACITY + beyond], 1);  // shifted on
    EXPECT_EQ(blockChangeFlags[beyond], 7);
    EXPECT_TRUE(flaggedBlocks().empty());
}

}  // namespace
}  // namespace kalmix::test
