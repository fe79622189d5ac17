// The border spread: which still neighbours of a changed block are marked by
// the votes and score sums of their facing samples, one ring at most.
// Level 5: vote threshold 4 (so +5 votes, +4 does not), score level 4.
#include <string>
#include <utility>
#include <vector>

#include "analysis_test_frame.h"

namespace kalmix::test {
namespace {

using BorderSpreadTest = AnalysisFrameTest;
using Cells = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

struct FacingCase {
    const char* name;
    std::uint32_t neighbourRow, neighbourColumn;  // block position next to the changed block (1,1)
    Cells brighter, darker, scored;               // luma samples, scores of 1 each
    int diff;
    bool marked;
};

class FacingTest : public AnalysisFrameTest, public ::testing::WithParamInterface<FacingCase> {};

// Side neighbours need a net 6 of their 8 facing samples, corners 4 of 6.
const Cells WEST_VOTES{{4, 2}, {4, 3}, {5, 2}, {5, 3}, {6, 2}, {6, 3}, {7, 2}, {7, 3}};
const Cells SOUTH_VOTES{{8, 4}, {8, 5}, {8, 6}, {8, 7}, {9, 4}, {9, 5}, {9, 6}, {9, 7}};
const Cells NW_TRIANGLE{{3, 3}, {3, 2}, {3, 1}, {2, 3}, {2, 2}, {1, 3}};
const Cells NE_TRIANGLE{{3, 8}, {3, 9}, {3, 10}, {2, 8}, {2, 9}, {1, 8}};
const Cells SW_TRIANGLE{{8, 3}, {8, 2}, {8, 1}, {9, 3}, {9, 2}, {10, 3}};
const Cells SE_TRIANGLE{{8, 8}, {8, 9}, {8, 10}, {9, 8}, {9, 9}, {10, 8}};

Cells take(const Cells& cells, std::size_t from, std::size_t count) {
    return Cells(cells.begin() + static_cast<std::ptrdiff_t>(from),
                 cells.begin() + static_cast<std::ptrdiff_t>(from + count));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Neighbours, FacingTest,
    ::testing::Values(
        FacingCase{"westSixOfEight", 1, 0, take(WEST_VOTES, 0, 6), {}, {}, 5, true},
        FacingCase{"westSevenAgainstOne", 1, 0, take(WEST_VOTES, 0, 7), take(WEST_VOTES, 7, 1), {}, 5, true},
        FacingCase{"westFive", 1, 0, take(WEST_VOTES, 0, 5), {}, {}, 5, false},
        FacingCase{"westSixAgainstTwo", 1, 0, take(WEST_VOTES, 0, 6), take(WEST_VOTES, 6, 2), {}, 5, false},
        FacingCase{"westAtTheThreshold", 1, 0, WEST_VOTES, {}, {}, 4, false},
        FacingCase{"westFarColumns", 1, 0,
                   {{4, 0}, {5, 0}, {6, 0}, {7, 0}, {4, 1}, {5, 1}, {6, 1}, {7, 1}}, {}, {}, 5, false},
        FacingCase{"southDarkerSix", 2, 1, {}, take(SOUTH_VOTES, 2, 6), {}, 5, true},
        FacingCase{"eastFirstColumns", 1, 2,
                   {{4, 8}, {5, 8}, {6, 8}, {7, 8}, {4, 9}, {5, 9}}, {}, {}, 5, true},
        FacingCase{"northLastRows", 0, 1,
                   {{3, 4}, {3, 5}, {3, 6}, {2, 4}, {2, 5}, {2, 6}}, {}, {}, 5, true},
        FacingCase{"northWestFourOfSix", 0, 0, take(NW_TRIANGLE, 0, 4), {}, {}, 5, true},
        FacingCase{"northWestThree", 0, 0, take(NW_TRIANGLE, 0, 3), {}, {}, 5, false},
        // (2,1) is (h-2, w-3): next to the triangle, not in it.
        FacingCase{"northWestOffTriangle", 0, 0, {{3, 3}, {3, 2}, {3, 1}, {2, 1}}, {}, {}, 5, false},
        FacingCase{"northEastFiveAgainstOne", 0, 2, take(NE_TRIANGLE, 0, 5), take(NE_TRIANGLE, 5, 1), {}, 5, true},
        FacingCase{"southWestFour", 2, 0, {}, take(SW_TRIANGLE, 2, 4), {}, 5, true},
        FacingCase{"southEastFourAgainstTwo", 2, 2, take(SE_TRIANGLE, 0, 4), take(SE_TRIANGLE, 4, 2), {}, 5, false},
        // Score sums: the facing column (or triangle) must reach 4.
        FacingCase{"westScoresFour", 1, 0, {}, {}, {{4, 3}, {5, 3}, {6, 3}, {7, 3}}, 0, true},
        FacingCase{"westScoresThree", 1, 0, {}, {}, {{4, 3}, {5, 3}, {6, 3}}, 0, false},
        FacingCase{"westScoresOffColumn", 1, 0, {}, {}, {{4, 2}, {5, 2}, {6, 2}, {7, 2}, {4, 3}}, 0, false},
        FacingCase{"southEastScoresFour", 2, 2, {}, {}, take(SE_TRIANGLE, 2, 4), 0, true}),
    [](const auto& param) { return std::string(param.param.name); });
// clang-format on

TEST_P(FacingTest, StillNeighbourIsMarkedByItsFacingSamples) {
    const FacingCase& c = GetParam();
    for (auto [r, col] : c.brighter) brighten(at(Y, r, col), c.diff);
    for (auto [r, col] : c.darker) brighten(at(Y, r, col), -c.diff);
    for (auto [r, col] : c.scored) sampleChangeScore[at(Y, r, col)] = 1;
    blockMap[blockAt(Y, 1, 1)] = 1;
    spreadBlockMap();
    std::set<std::uint32_t> expected{blockAt(Y, 1, 1)};
    if (c.marked) expected.insert(blockAt(Y, c.neighbourRow, c.neighbourColumn));
    EXPECT_EQ(mappedBlocks(), expected);
}

TEST_F(BorderSpreadTest, WithoutTheBiasTestOnlyScoresSpread) {
    thresholds.biasTestEnabled = 0;
    for (auto [r, col] : WEST_VOTES) brighten(at(Y, r, col), 20);
    for (std::uint32_t r = 4; r < 8; ++r)
        sampleChangeScore[at(Y, r, 8)] = 1;  // the east neighbour's facing column
    blockMap[blockAt(Y, 1, 1)] = 1;
    spreadBlockMap();
    EXPECT_EQ(mappedBlocks(), (std::set<std::uint32_t>{blockAt(Y, 1, 1), blockAt(Y, 1, 2)}));
}

// Block (1,2) faces (1,1) with its first two columns, and (1,3) faces (1,2)
// the same way; (1,2) comes later in the scan than the changed block.
TEST_F(BorderSpreadTest, WidensByOneRingOnly) {
    for (std::uint32_t r = 4; r < 8; ++r) {
        for (std::uint32_t col : {8u, 9u, 12u, 13u}) brighten(at(Y, r, col), 5);
    }
    blockMap[blockAt(Y, 1, 1)] = 1;
    spreadBlockMap();
    EXPECT_EQ(mappedBlocks(), (std::set<std::uint32_t>{blockAt(Y, 1, 1), blockAt(Y, 1, 2)}));
}

// Level 4: the vote threshold is 3 on luma and 4 on chroma.
TEST_F(BorderSpreadTest, ChromaBlocksVoteWithTheChromaThreshold) {
    applyPrimaryLevel(4);
    for (Plane plane : {Y, U}) {
        for (auto [r, col] : WEST_VOTES) brighten(at(plane, r, col), 4);
        blockMap[blockAt(plane, 1, 1)] = 1;
    }
    spreadBlockMap();
    EXPECT_EQ(mappedBlocks(),
              (std::set<std::uint32_t>{blockAt(Y, 1, 0), blockAt(Y, 1, 1), blockAt(U, 1, 1)}));
}

struct ReachCase {
    const char* name;
    Plane plane;
    std::uint32_t row, column;
    std::vector<std::uint32_t> markedInPlane;  // in-plane block indices, the changed one included
};

class ReachTest : public AnalysisFrameTest, public ::testing::WithParamInterface<ReachCase> {};

// With a score level of 0 every existing still neighbour is marked; none is
// taken from another block row or plane.
INSTANTIATE_TEST_SUITE_P(
    Edges, ReachTest,
    ::testing::Values(ReachCase{"lastColumn", Y, 0, 3, {2, 3, 6, 7}},
                      ReachCase{"startOfSecondRow", Y, 1, 0, {0, 1, 4, 5, 8, 9}},
                      ReachCase{"firstChromaLastRow", U, 3, 1, {8, 9, 10, 12, 13, 14}},
                      ReachCase{"secondChromaTopRow", V, 0, 2, {1, 2, 3, 5, 6, 7}},
                      ReachCase{"interior", Y, 2, 2, {5, 6, 7, 9, 10, 11, 13, 14, 15}}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_P(ReachTest, OnlyNeighboursInTheSamePlaneAndRowsAreReached) {
    const ReachCase& c = GetParam();
    thresholds.borderChangeCount = 0;
    blockMap[blockAt(c.plane, c.row, c.column)] = 1;
    spreadBlockMap();
    std::set<std::uint32_t> expected;
    for (std::uint32_t i : c.markedInPlane) expected.insert(blockAt(c.plane, 0, 0) + i);
    EXPECT_EQ(mappedBlocks(), expected);
}

}  // namespace
}  // namespace kalmix::test
