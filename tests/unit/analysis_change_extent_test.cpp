// The change extent measure on hand-set neighbour counts: chain lengths and
// their weights, the depth marks, and the plane edges.
#include <string>
#include <utility>
#include <vector>

#include "analysis_test_frame.h"

namespace kalmix::test {
namespace {

class ChangeExtentTest : public AnalysisFrameTest {
   protected:
    void SetUp() override { useFrame(32, 32); }
    // A changed sample with `count` changed neighbours (2..6 qualify for a chain).
    void setCount(std::uint32_t q, std::uint8_t count = 3) {
        sampleChangeMarks[q] = static_cast<std::uint8_t>(CHANGED_MARK | count);
    }
    std::uint8_t measure(std::uint32_t q) { return measureChangeExtent(q, width, false); }
};

struct RunCase {
    bool vertical;
    std::uint32_t length;
    std::uint32_t seedIndex;
    std::uint8_t weight;
};

class ExtentRunTest : public ChangeExtentTest, public ::testing::WithParamInterface<RunCase> {};

INSTANTIATE_TEST_SUITE_P(Runs, ExtentRunTest,
                         ::testing::Values(RunCase{true, 4, 0, 2}, RunCase{true, 4, 3, 2},
                                           RunCase{true, 4, 1, 2}, RunCase{true, 5, 2, 4},
                                           RunCase{true, 6, 0, 12}, RunCase{true, 6, 5, 12},
                                           RunCase{true, 7, 3, 24}, RunCase{true, 8, 0, 0},
                                           RunCase{true, 8, 4, 0}, RunCase{true, 11, 5, 0},
                                           RunCase{true, 3, 1, 0}, RunCase{false, 4, 0, 2},
                                           RunCase{false, 5, 4, 4}, RunCase{false, 6, 2, 12},
                                           RunCase{false, 7, 6, 24}, RunCase{false, 8, 7, 0}));

TEST_P(ExtentRunTest, RunLengthGivesItsWeightFromAnySeed) {
    const RunCase& c = GetParam();
    for (std::uint32_t k = 0; k < c.length; ++k) {
        setCount(c.vertical ? at(Y, 10 + k, 12) : at(Y, 12, 10 + k));
    }
    const std::uint32_t seed =
        c.vertical ? at(Y, 10 + c.seedIndex, 12) : at(Y, 12, 10 + c.seedIndex);
    EXPECT_EQ(measure(seed), c.weight);
}

TEST_F(ChangeExtentTest, DiagonalRunCountsForBothAxes) {
    for (std::uint32_t k = 0; k < 5; ++k) setCount(at(Y, 10 + k, 10 + k));
    for (std::uint32_t k = 0; k < 5; ++k) setCount(at(Y, 20 + k, 20 - k));
    EXPECT_EQ(measure(at(Y, 10, 10)), 4);
    EXPECT_EQ(measure(at(Y, 12, 12)), 4);
    EXPECT_EQ(measure(at(Y, 24, 16)), 4);
}

TEST_F(ChangeExtentTest, HorizontalRunIsMeasuredWhenTheVerticalIsShort) {
    for (std::uint32_t k = 0; k < 6; ++k) setCount(at(Y, 12, 4 + k));
    setCount(at(Y, 11, 6));
    EXPECT_EQ(measure(at(Y, 12, 6)), 12);
}

TEST_F(ChangeExtentTest, OnlySamplesWithTwoToSixChangedNeighboursCarryAChain) {
    for (std::uint32_t k = 0; k < 6; ++k) setCount(at(Y, 10 + k, 12));
    for (std::uint8_t count :
         {std::uint8_t{0}, std::uint8_t{1}, std::uint8_t{7}, std::uint8_t{8}}) {
        setCount(at(Y, 10, 12), count);
        EXPECT_EQ(measure(at(Y, 10, 12)), 0) << int{count};
        EXPECT_EQ(extentMarks[at(Y, 11, 12)], 0) << "nothing is traced from a non-qualifying seed";
    }
    // A non-qualifying sample ends the path though qualifying ones lie beyond it.
    setCount(at(Y, 10, 12));
    setCount(at(Y, 12, 12), 8);
    EXPECT_EQ(measure(at(Y, 10, 12)), 0);
    EXPECT_EQ(extentMarks[at(Y, 13, 12)], 0);
}

TEST_F(ChangeExtentTest, SeedScoredAtTheLimitIsNotMeasured) {
    for (std::uint32_t k = 0; k < 4; ++k) setCount(at(Y, 10 + k, 12));
    sampleChangeScore[at(Y, 10, 12)] = 60;
    EXPECT_EQ(measure(at(Y, 10, 12)), 0);
    EXPECT_EQ(extentMarks[at(Y, 10, 12)], 0);
    sampleChangeScore[at(Y, 10, 12)] = 59;
    EXPECT_EQ(measure(at(Y, 10, 12)), 2);
}

TEST_F(ChangeExtentTest, LoneQualifyingSeedMarksItselfWithOne) {
    setCount(at(Y, 10, 12));
    EXPECT_EQ(measure(at(Y, 10, 12)), 0);
    EXPECT_EQ(extentMarks[at(Y, 10, 12)], 1);
}

// Seed S at (4,4) with a chain S -> (5,5) -> (6,5) -> (7,5): the DOWN trace marks
// the three below with 4; the later RIGHT trace re-enters (5,5) and S with 2.
TEST_F(ChangeExtentTest, MarkOfTheMostRecentVisitSurvives) {
    for (auto [r, c] : {std::pair{4u, 4u}, {5u, 5u}, {6u, 5u}, {7u, 5u}}) setCount(at(Y, r, c));
    EXPECT_EQ(measure(at(Y, 4, 4)), 2);  // V = 4
    EXPECT_EQ(extentMarks[at(Y, 4, 4)], 2);
    EXPECT_EQ(extentMarks[at(Y, 5, 5)], 2);
    EXPECT_EQ(extentMarks[at(Y, 6, 5)], 4);
    EXPECT_EQ(extentMarks[at(Y, 7, 5)], 4);
}

TEST_F(ChangeExtentTest, ChainOfEightStopsTheSearchAndShortCutsLaterSeeds) {
    for (std::uint32_t k = 0; k < 8; ++k) setCount(at(Y, k, 12));
    for (std::uint32_t k = 0; k < 5; ++k) setCount(at(Y, 0, 13 + k));
    EXPECT_EQ(measure(at(Y, 0, 12)), 0);
    for (std::uint32_t k = 0; k < 8; ++k) EXPECT_EQ(extentMarks[at(Y, k, 12)], 8);
    EXPECT_EQ(extentMarks[at(Y, 0, 13)], 0) << "the horizontal extent is not measured";
    // Measured afresh, row 3 would re-mark the run above it with 4.
    EXPECT_EQ(measure(at(Y, 3, 12)), 0);
    EXPECT_EQ(extentMarks[at(Y, 0, 12)], 8);
}

struct EdgeCase {
    const char* name;
    std::uint32_t seedRow, seedColumn;
    Plane seedPlane;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> luma, chroma;  // qualifying samples
    std::uint8_t weight;
};

class ExtentEdgeTest : public ChangeExtentTest, public ::testing::WithParamInterface<EdgeCase> {};

// A column of four at the bottom of the luma plane and four at the top of U.
const std::vector<std::pair<std::uint32_t, std::uint32_t>> LUMA_LAST_ROWS{
    {28, 7}, {29, 7}, {30, 7}, {31, 7}};
const std::vector<std::pair<std::uint32_t, std::uint32_t>> U_FIRST_ROWS{
    {0, 7}, {1, 7}, {2, 7}, {3, 7}};

INSTANTIATE_TEST_SUITE_P(
    NoWrap, ExtentEdgeTest,
    ::testing::Values(
        // The left step from column 0 would land on the previous row's last sample.
        EdgeCase{"left", 10, 0, Y, {{10, 0}, {10, 1}, {9, 31}, {9, 30}, {9, 29}, {9, 28}}, {}, 0},
        EdgeCase{"right", 9, 31, Y, {{9, 31}, {9, 30}, {10, 0}, {10, 1}, {10, 2}, {10, 3}}, {}, 0},
        // The up-left step from column 0 would land on the last column two rows up.
        EdgeCase{"upLeft", 10, 0, Y, {{10, 0}, {8, 31}, {7, 31}, {6, 31}, {5, 31}}, {}, 0},
        // U's first row continues luma's last rows only by address.
        EdgeCase{"planeTop", 0, 7, U, LUMA_LAST_ROWS, U_FIRST_ROWS, 2},
        EdgeCase{"planeBottom", 31, 7, Y, LUMA_LAST_ROWS, U_FIRST_ROWS, 2}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_P(ExtentEdgeTest, NoStepLeavesTheSeedsPlane) {
    const EdgeCase& c = GetParam();
    for (auto [r, col] : c.luma) setCount(at(Y, r, col));
    for (auto [r, col] : c.chroma) setCount(at(U, r, col));
    EXPECT_EQ(measure(at(c.seedPlane, c.seedRow, c.seedColumn)), c.weight);
}

}  // namespace
}  // namespace kalmix::test
