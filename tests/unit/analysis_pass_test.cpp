// The whole analysis pass on synthetic frames: still noise, a moving square
// with the border spread and the hold, the per-plane grade steps, and a
// full-size frame.
#include <vector>

#include "analysis_test_frame.h"

namespace kalmix::test {
namespace {

class AnalysisPassTest : public AnalysisFrameTest {
   protected:
    // What the frame driver does after the pass: flagged blocks take the current samples.
    void refreshReference() {
        for (std::uint32_t b = 0; b < analysisGeometry.totalBlocks; ++b) {
            if (blockChangeFlags[b] == 0) continue;
            for (std::uint32_t r = 0; r < BLOCK_HEIGHT; ++r) {
                const std::uint32_t row = blockOffsets[b] + r * width;
                std::copy_n(currentPlanes.begin() + row, BLOCK_WIDTH,
                            referencePlanes.begin() + row);
            }
        }
    }
    void fillRect(Plane plane, std::uint32_t top, std::uint32_t left, std::uint32_t rows,
                  std::uint32_t columns, std::uint8_t value) {
        for (std::uint32_t r = top; r < top + rows; ++r) {
            for (std::uint32_t c = left; c < left + columns; ++c)
                currentPlanes[at(plane, r, c)] = value;
        }
    }
};

TEST_F(AnalysisPassTest, LevelZeroFlagsEveryBlock) {
    applyPrimaryLevel(0);
    brighten(at(Y, 3, 3), 9);
    analyseFrame();
    EXPECT_EQ(flaggedBlocks().size(), analysisGeometry.totalBlocks);
}

// One spike of 20 inside every block of every plane (enhanced test on): the
// spikes are changed samples, but alone and weak they leave every block still.
// A real change of one block stands out alone.
TEST_F(AnalysisPassTest, StillNoiseLeavesBlocksStillAndARealChangeStandsOut) {
    useFrame(32, 32);
    workingParams.enhancedSuppression = 1;
    for (Plane plane : {Y, U, V}) {
        fillPlane(referencePlanes, plane, plane == Y ? 80 : 128);
        fillPlane(currentPlanes, plane, plane == Y ? 80 : 128);
    }
    for (std::uint32_t b = 0; b < analysisGeometry.totalBlocks; ++b) {
        const std::uint32_t q = blockOffsets[b] + (1 + b % 2) * width + 1 + (b / 2) % 2;
        brighten(q, b % 3 == 0 ? -20 : 20);
    }
    analyseFrame();
    EXPECT_TRUE(flaggedBlocks().empty());
    EXPECT_EQ(blockChangedSamples[blockAt(Y, 3, 3)], 1);
    EXPECT_EQ(blockChangedSamples[blockAt(V, 0, 0)], 1);

    fillRect(Y, 12, 16, 4, 4, 110);
    analyseFrame();
    EXPECT_EQ(flaggedBlocks(), std::set<std::uint32_t>{blockAt(Y, 3, 4)});
}

// A square of 150 over a background of 50, then moved right by 4, with a
// static faint brightening (+5) beside it: two columns of three samples left
// of the square (block 17, facing block 18), the same in block 16 (which
// touches no changed block) and four samples of block 9's corner triangle
// facing block 18. Transition frames 2.
TEST_F(AnalysisPassTest, MovingSquareSpreadsOneRingAndIsHeldForTwoFrames) {
    useFrame(32, 32);
    fillPlane(referencePlanes, Y, 50);
    const auto drawFrame = [&](std::uint32_t squareLeft) {
        fillPlane(currentPlanes, Y, 50);
        fillRect(Y, 8, squareLeft, 8, 8, 150);
        fillRect(Y, 9, 6, 3, 2, 55);
        fillRect(Y, 9, 2, 3, 2, 55);
        fillRect(Y, 6, 6, 2, 2, 55);
    };
    const std::vector<std::uint32_t> squareLeft{8, 12, 12, 12, 12};
    const std::vector<std::set<std::uint32_t>> expected{
        {9, 17, 18, 19, 26, 27},          // decided 18 19 26 27; 17 and 9 by the spread
        {9, 17, 18, 19, 20, 26, 27, 28},  // decided 18 20 26 28; frame 1 held
        {9, 17, 18, 19, 20, 26, 27, 28},  // nothing decided; frames 1 and 2 held
        {18, 20, 26, 28},                 // frame 2 held
        {},
    };
    for (std::size_t frame = 0; frame < expected.size(); ++frame) {
        drawFrame(squareLeft[frame]);
        analyseFrame();
        EXPECT_EQ(flaggedBlocks(), expected[frame]) << "frame " << frame + 1;
        refreshReference();
    }
}

// Luma graded with a step of 16 / 2 = 8, chroma with 5 / 2, raised to 6.
// A lone luma sample of 48 is grade 1 (48 <= 16 + 4 x 8): 1 x 3 = 3; a lone
// chroma sample of 48 is grade 3 (48 > 5 + 6 x 6): 3 x 3 = 9.
TEST_F(AnalysisPassTest, EachPlaneIsGradedWithItsOwnStep) {
    thresholds.lumaChangeThreshold = 16;
    thresholds.neighbourSupportMin = 1;
    brighten(at(Y, 6, 6), 48);
    brighten(at(U, 6, 6), 48);
    analyseFrame();
    EXPECT_EQ(sampleChangeScore[at(Y, 6, 6)], 3);
    EXPECT_EQ(sampleChangeScore[at(U, 6, 6)], 9);
}

TEST_F(AnalysisPassTest, GradeStepIsHalfTheThresholdButAtLeastSix) {
    const std::pair<std::int32_t, std::uint8_t> cases[] = {{0, 6},  {13, 6}, {14, 7},
                                                           {15, 7}, {16, 8}, {41, 20}};
    for (auto [threshold, step] : cases) {
        thresholds.chromaChangeThreshold = threshold;
        analyseFrame();
        EXPECT_EQ(gradeStep, step) << threshold;
    }
}

// The largest frame, busy noise at a low level and a hold beyond the history:
// every array stays in bounds (checked by the sanitizer build) and the pass
// is a function of its inputs.
TEST_F(AnalysisPassTest, LargestFrameRunsInBoundsAndRepeatably) {
    useFrame(MAX_FRAME_WIDTH, MAX_FRAME_HEIGHT);
    applyPrimaryLevel(1);
    workingParams.enhancedSuppression = 1;
    workingParams.transitionFrames = 100;
    std::uint32_t seed = 12345;
    for (std::uint32_t q = 0; q < analysisGeometry.totalSamples; ++q) {
        seed = seed * 1103515245u + 12345u;
        referencePlanes[q] = static_cast<std::uint8_t>(seed >> 24);
        currentPlanes[q] = static_cast<std::uint8_t>(referencePlanes[q] + ((seed >> 8) % 9) - 4);
    }
    analyseFrame();
    const auto firstFlags = blockChangeFlags;
    const auto firstHistory = blockMapHistory;
    for (std::uint32_t b = 0; b < analysisGeometry.totalBlocks; ++b) {
        ASSERT_LE(blockChangeFlags[b], 1);
        ASSERT_EQ(blockChangeFlags[b], blockMap[b]);
    }
    for (std::uint32_t q = 0; q < analysisGeometry.totalSamples; ++q) ASSERT_LE(extentMarks[q], 8);

    blockMapHistory.fill(0);
    analyseFrame();
    EXPECT_EQ(blockChangeFlags, firstFlags);
    EXPECT_EQ(blockMapHistory, firstHistory);
}

}  // namespace
}  // namespace kalmix::test
