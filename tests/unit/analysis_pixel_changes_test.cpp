// Per-sample change detection: the bias and change tests, the per-block count
// and balance, and the enhanced test's smoothing.
#include "analysis_test_frame.h"

namespace kalmix::test {
namespace {

using PixelChangesTest = AnalysisFrameTest;

struct ThresholdCase {
    int level;
    Plane plane;
    int refMinusCur;
    int balance;
    bool changed;
};

class PixelThresholdTest : public AnalysisFrameTest,
                           public ::testing::WithParamInterface<ThresholdCase> {};

// Level 5: bias 4, change 5 on every plane. Level 4: luma 3 / 4, chroma 4 / 5.
INSTANTIATE_TEST_SUITE_P(
    Boundaries, PixelThresholdTest,
    ::testing::Values(ThresholdCase{5, Y, 6, 1, true}, ThresholdCase{5, Y, 5, 1, false},
                      ThresholdCase{5, Y, 4, 1, false}, ThresholdCase{5, Y, 3, 0, false},
                      ThresholdCase{5, Y, -3, 0, false}, ThresholdCase{5, Y, -4, -1, false},
                      ThresholdCase{5, Y, -5, -1, false}, ThresholdCase{5, Y, -6, -1, true},
                      ThresholdCase{4, Y, 5, 1, true}, ThresholdCase{4, U, 5, 1, false},
                      ThresholdCase{4, V, -5, -1, false}, ThresholdCase{4, Y, 3, 1, false},
                      ThresholdCase{4, U, 3, 0, false}, ThresholdCase{4, V, -3, 0, false}));

TEST_P(PixelThresholdTest, OneSampleCountsAndChangesByItsPlanesThresholds) {
    const ThresholdCase& c = GetParam();
    applyPrimaryLevel(c.level);
    const std::uint32_t q = at(c.plane, 9, 6);
    brighten(q, -c.refMinusCur);
    detectPixelChanges();
    const std::uint32_t b = blockAt(c.plane, 2, 1);
    EXPECT_EQ(blockSignBalance[b], c.balance);
    EXPECT_EQ(blockChangedSamples[b], c.changed ? 1 : 0);
    EXPECT_EQ(sampleChangeMarks[q], c.changed ? CHANGED_MARK : 0);
}

TEST_F(PixelChangesTest, LevelZeroCountsEveryEqualSampleTowardThePositiveBalance) {
    applyPrimaryLevel(0);
    brighten(at(Y, 5, 5), 1);
    detectPixelChanges();
    EXPECT_EQ(blockSignBalance[blockAt(Y, 1, 1)], 15 - 1);
    EXPECT_EQ(blockChangedSamples[blockAt(Y, 1, 1)], 1);
    for (std::uint32_t b : {blockAt(Y, 0, 0), blockAt(U, 3, 3), blockAt(V, 2, 0)}) {
        EXPECT_EQ(blockSignBalance[b], 16);
        EXPECT_EQ(blockChangedSamples[b], 0);
    }
}

TEST_F(PixelChangesTest, UniformBrighteningAndDarkeningMarkEverySample) {
    for (int diff : {6, -6}) {
        for (std::uint32_t q = 0; q < 3 * width * height; ++q) brighten(q, diff);
        detectPixelChanges();
        for (std::uint32_t b = 0; b < analysisGeometry.totalBlocks; ++b) {
            ASSERT_EQ(blockChangedSamples[b], 16);
            ASSERT_EQ(blockSignBalance[b], diff > 0 ? -16 : 16);
        }
        EXPECT_EQ(sampleChangeMarks[at(V, 15, 15)], CHANGED_MARK);
    }
}

// A lone +40 over flat 100 smooths to +15 under the mode-5 kernel; at level 10
// (bias 12, change 16) that passes the bias test but not the change test.
TEST_F(PixelChangesTest, EnhancedModeJudgesAnInteriorSpikeOnItsSmoothedDifference) {
    applyPrimaryLevel(10);
    const std::uint32_t interior = at(Y, 5, 6);
    const std::uint32_t ring = at(Y, 1, 1);
    brighten(interior, 40);
    brighten(ring, 40);

    workingParams.enhancedSuppression = 1;
    detectPixelChanges();
    EXPECT_EQ(sampleChangeMarks[interior], 0);
    EXPECT_EQ(blockChangedSamples[blockAt(Y, 1, 1)], 0);
    EXPECT_EQ(blockSignBalance[blockAt(Y, 1, 1)], -1);
    EXPECT_EQ(sampleChangeMarks[ring], CHANGED_MARK);  // outer ring: raw difference
    EXPECT_EQ(blockSignBalance[blockAt(Y, 0, 0)], -1);

    workingParams.enhancedSuppression = 0;
    detectPixelChanges();
    EXPECT_EQ(sampleChangeMarks[interior], CHANGED_MARK);
    EXPECT_EQ(blockChangedSamples[blockAt(Y, 1, 1)], 1);
}

TEST_F(PixelChangesTest, EveryPassStartsFromClearedMaps) {
    brighten(at(U, 6, 6), 30);
    detectPixelChanges();
    sampleChangeScore[at(U, 6, 6)] = 9;
    extentMarks[at(U, 6, 6)] = 3;
    blockChangeWeight[blockAt(U, 1, 1)] = 40;

    brighten(at(U, 6, 6), 0);
    detectPixelChanges();
    EXPECT_EQ(sampleChangeMarks[at(U, 6, 6)], 0);
    EXPECT_EQ(sampleChangeScore[at(U, 6, 6)], 0);
    EXPECT_EQ(extentMarks[at(U, 6, 6)], 0);
    EXPECT_EQ(blockChangeWeight[blockAt(U, 1, 1)], 0u);
    EXPECT_EQ(blockChangedSamples[blockAt(U, 1, 1)], 0);
}

}  // namespace
}  // namespace kalmix::test
