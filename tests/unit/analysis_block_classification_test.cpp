// Block classification: sample weights by support, amplitude grade and
// spread, the two reinforcements in block order, and the sign-balance bonus.
// Level 5 throughout unless a test says otherwise: change threshold 5,
// support minimum 3, gradeStep 6 (grades above 11, 29 and 41).
#include "analysis_test_frame.h"

namespace kalmix::test {
namespace {

class ClassificationTest : public AnalysisFrameTest {
   protected:
    void markChanged(std::uint32_t q) { sampleChangeMarks[q] |= CHANGED_MARK; }
    void markNeighbours(std::uint32_t q, int count) {
        const int steps[8][2] = {{-1, -1}, {-1, 0}, {-1, 1}, {0, -1},
                                 {0, 1},   {1, -1}, {1, 0},  {1, 1}};
        for (int k = 0; k < count; ++k) {
            markChanged(static_cast<std::uint32_t>(
                static_cast<int>(q) + steps[k][0] * static_cast<int>(width) + steps[k][1]));
        }
    }
    void classifyLuma() { classifyPlaneBlocks(0, analysisGeometry.lumaBlocks); }
};

struct GradeCase {
    int amplitude;
    bool brighter;
    std::uint8_t weight;
};

class AmplitudeGradeTest : public ClassificationTest,
                           public ::testing::WithParamInterface<GradeCase> {};

// Two changed neighbours: the weight is G x a/16 (at least 1) once G >= 1.
INSTANTIATE_TEST_SUITE_P(Grades, AmplitudeGradeTest,
                         ::testing::Values(GradeCase{11, true, 0}, GradeCase{12, true, 1},
                                           GradeCase{29, false, 1}, GradeCase{30, true, 3},
                                           GradeCase{41, false, 5}, GradeCase{42, true, 7},
                                           GradeCase{100, false, 15}));

TEST_P(AmplitudeGradeTest, SupportedSampleWeighsItsGradeTimesItsAmplitudeFactor) {
    const GradeCase& c = GetParam();
    const std::uint32_t q = at(Y, 8, 8);
    markChanged(q);
    markChanged(at(Y, 7, 8));
    markChanged(at(Y, 9, 8));
    brighten(q, c.brighter ? c.amplitude : -c.amplitude);
    EXPECT_EQ(scoreSample(q, width, 5, false), c.weight);
    EXPECT_EQ(sampleChangeScore[q], c.weight);
    EXPECT_EQ(sampleChangeMarks[q], CHANGED_MARK | 2);
}

TEST_F(ClassificationTest, LoneSampleWeighsOnlyOnAmplitudeAlone) {
    const std::uint32_t q = at(Y, 8, 8);
    markChanged(q);
    brighten(q, 40);  // grade 2: below the support minimum
    EXPECT_EQ(scoreSample(q, width, 5, false), 0);
    brighten(q, 50);  // grade 3: k = 1, 50/16 = 3.125
    EXPECT_EQ(scoreSample(q, width, 5, false), 3);
    EXPECT_EQ(sampleChangeMarks[q], CHANGED_MARK);
}

struct SpreadCase {
    const char* name;
    int neighbours;
    std::int32_t supportMin;
    std::uint8_t centre, ring;  // current samples over a reference of 0
    std::uint8_t weight;
};

class SpreadFactorTest : public ClassificationTest,
                         public ::testing::WithParamInterface<SpreadCase> {};

// k = N + G - support + 1; the spread factor applies from N = 7 on.
INSTANTIATE_TEST_SUITE_P(
    Windows, SpreadFactorTest,
    ::testing::Values(SpreadCase{"uniformN8Halved", 8, 3, 20, 20, 4},  // 7 x 1.25 = 8, V < 0 -> 4
                      SpreadCase{"uniformN7Halved", 7, 3, 20, 20, 3},  // 6 x 1.25 = 7 -> 3
                      SpreadCase{"uniformN6Untouched", 6, 3, 20, 20, 6},
                      SpreadCase{"peakRaised", 8, 3, 100, 0, 67},  // 45, V = 987.5 -> x1.5
                      SpreadCase{"peakKept", 8, 3, 60, 0, 33},     // 33, V = 355.5 -> x1.0
                      // S2 = 356873, S1 = -1783: V = 399.56 with 0.1111 and 0.012346 (x1.0),
                      // but 404.54 with 1/9 and 1/81 (x1.5 would give 67).
                      SpreadCase{"decimalCoefficients", 8, 3, 255, 191, 45},
                      SpreadCase{"halvedOneBecomesOne", 7, 8, 16, 16, 1}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_P(SpreadFactorTest, DenselySurroundedSampleIsScaledByItsDifferenceSpread) {
    const SpreadCase& c = GetParam();
    const std::uint32_t q = at(Y, 8, 8);
    planeSupportMin = c.supportMin;
    for (int dr = -1; dr <= 1; ++dr) {
        for (int dc = -1; dc <= 1; ++dc) {
            const std::uint32_t p = static_cast<std::uint32_t>(static_cast<int>(q) + dr * 16 + dc);
            referencePlanes[p] = 0;
            currentPlanes[p] = c.ring;
        }
    }
    currentPlanes[q] = c.centre;
    markChanged(q);
    markNeighbours(q, c.neighbours);
    EXPECT_EQ(scoreSample(q, width, 5, false), c.weight);
}

struct EdgeCountCase {
    Plane plane;
    std::uint32_t row, column, neighbours;
};

class EdgeNeighbourTest : public ClassificationTest,
                          public ::testing::WithParamInterface<EdgeCountCase> {};

INSTANTIATE_TEST_SUITE_P(InPlane, EdgeNeighbourTest,
                         ::testing::Values(EdgeCountCase{V, 0, 0, 3}, EdgeCountCase{V, 0, 5, 5},
                                           EdgeCountCase{U, 0, 7, 5}, EdgeCountCase{U, 15, 15, 3},
                                           EdgeCountCase{Y, 5, 0, 5}, EdgeCountCase{Y, 5, 15, 5},
                                           EdgeCountCase{Y, 15, 0, 3}, EdgeCountCase{V, 15, 9, 5}));

TEST_P(EdgeNeighbourTest, EdgeSampleCountsOnlyNeighboursInsideItsPlane) {
    const EdgeCountCase& c = GetParam();
    sampleChangeMarks.fill(CHANGED_MARK);
    const std::uint32_t q = at(c.plane, c.row, c.column);
    scoreSample(q, width, 5, true);
    EXPECT_EQ(sampleChangeMarks[q] & NEIGHBOUR_COUNT_MASK, c.neighbours);
}

// A weak sample at (5,0) with a dense sample where a wrapped neighbour would
// be (left, up-left, down-left all lie in the previous row's last column), or
// at its real up-right neighbour.
TEST_F(ClassificationTest, WeakReinforcementCountsDenseNeighboursInsideThePlaneOnly) {
    const std::uint32_t q = at(Y, 5, 0);
    sampleChangeMarks[q] = CHANGED_MARK | 3;
    brighten(q, 20);  // factor 1.25
    for (std::uint32_t p : {q - 1, q - width - 1, q + width - 1})
        sampleChangeMarks[p] = CHANGED_MARK | 8;
    reinforceWeakSamples(blockAt(Y, 1, 0));
    EXPECT_EQ(sampleChangeScore[q], 0);
    EXPECT_EQ(blockChangeWeight[blockAt(Y, 1, 0)], 0u);

    sampleChangeMarks[at(Y, 4, 1)] = CHANGED_MARK | 7;
    sampleChangeScore[q] = 250;  // the score adds in 8 bits
    reinforceWeakSamples(blockAt(Y, 1, 0));
    EXPECT_EQ(sampleChangeScore[q], static_cast<std::uint8_t>(250 + 10));
    EXPECT_EQ(blockChangeWeight[blockAt(Y, 1, 0)], 10u);

    // The V plane's top row never sees the U plane's last row.
    const std::uint32_t top = at(V, 0, 5);
    sampleChangeMarks[top] = CHANGED_MARK | 3;
    brighten(top, 20);
    for (std::uint32_t c = 4; c <= 6; ++c) sampleChangeMarks[at(U, 15, c)] = CHANGED_MARK | 8;
    reinforceWeakSamples(blockAt(V, 0, 1));
    EXPECT_EQ(sampleChangeScore[top], 0);
}

struct OrderCase {
    const char* name;
    std::uint32_t firstColumn;  // of a solid 3x3 change in rows 5..7 (+20 each)
    std::uint32_t weightLeft, weightRight;
    std::uint32_t probeColumn;  // the weak sample of row 6 next to the dense centre
    std::uint8_t probeScore;
};

class BlockOrderTest : public ClassificationTest,
                       public ::testing::WithParamInterface<OrderCase> {};

// Blocks (1,1) and (1,2) split the square. Weights 2 (N 3), 5 (N 5) and 4 (the
// centre, N 8, halved); a weak sample next to the scored centre gains 8 x 1.25.
// With the centre in the right block, the left block's samples find it still
// unscored: 2+5+2 = 9, plus the bonus 3 x 25 / 16 = 4, is 13.
INSTANTIATE_TEST_SUITE_P(
    Order, BlockOrderTest,
    ::testing::Values(OrderCase{"denseCentreInLaterBlock", 7, 13, 23 + 50, 7, 5},
                      OrderCase{"denseCentreInEarlierBlock", 6, 23 + 50, 9 + 30, 8, 15}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_P(BlockOrderTest, ReinforcementsSeeOnlyBlocksAlreadyScored) {
    const OrderCase& c = GetParam();
    for (std::uint32_t r = 5; r <= 7; ++r) {
        for (std::uint32_t col = c.firstColumn; col < c.firstColumn + 3; ++col)
            brighten(at(Y, r, col), 20);
    }
    detectPixelChanges();
    classifyLuma();
    EXPECT_EQ(blockChangeWeight[blockAt(Y, 1, 1)], c.weightLeft);
    EXPECT_EQ(blockChangeWeight[blockAt(Y, 1, 2)], c.weightRight);
    EXPECT_EQ(sampleChangeScore[at(Y, 6, c.probeColumn)], c.probeScore);
}

// All sixteen samples brighter than the reference: by 4 they count toward the
// balance without changing; the two adjacent ones at +42 weigh 5 each
// (N 1, grade 3, k 2, factor 2.625). 10 + 16 x 25 / 16 = 35.
TEST_F(ClassificationTest, ConsistentSignLiftsALightBlock) {
    for (std::uint32_t r = 4; r < 8; ++r) {
        for (std::uint32_t col = 4; col < 8; ++col) brighten(at(Y, r, col), 4);
    }
    brighten(at(Y, 5, 5), 42);
    brighten(at(Y, 5, 6), 42);
    detectPixelChanges();
    ASSERT_EQ(blockSignBalance[blockAt(Y, 1, 1)], -16);
    classifyLuma();
    EXPECT_EQ(blockChangeWeight[blockAt(Y, 1, 1)], 10u + 25u);
}

TEST_F(ClassificationTest, WithoutFilteringEveryChangedBlockGetsTheCountUnscored) {
    thresholds.filteringEnabled = 0;
    brighten(at(Y, 6, 6), 30);
    brighten(at(Y, 6, 7), 30);
    detectPixelChanges();
    classifyLuma();
    EXPECT_EQ(blockChangeWeight[blockAt(Y, 1, 1)], 25u);
    EXPECT_EQ(blockChangeWeight[blockAt(Y, 1, 2)], 0u);
    EXPECT_EQ(sampleChangeScore[at(Y, 6, 6)], 0);
    EXPECT_EQ(sampleChangeMarks[at(Y, 6, 6)], CHANGED_MARK);
}

struct SupportCase {
    std::int32_t neighbourSupportMin;
    std::uint8_t lumaScore, chromaScore;
};

class ChromaSupportTest : public ClassificationTest,
                          public ::testing::WithParamInterface<SupportCase> {};

// A lone sample of amplitude 30 (grade 2, factor 1.875).
INSTANTIATE_TEST_SUITE_P(Minimums, ChromaSupportTest,
                         ::testing::Values(SupportCase{1, 3, 3}, SupportCase{2, 1, 3},
                                           SupportCase{3, 0, 1}, SupportCase{5, 0, 0}));

TEST_P(ChromaSupportTest, ChromaPlanesNeedOneNeighbourLessDownToOne) {
    const SupportCase& c = GetParam();
    thresholds.neighbourSupportMin = c.neighbourSupportMin;
    for (Plane plane : {Y, U, V}) brighten(at(plane, 6, 6), 30);
    detectPixelChanges();
    classifyPlaneBlocks(0, analysisGeometry.lumaBlocks);
    classifyPlaneBlocks(analysisGeometry.lumaBlocks, analysisGeometry.chromaBlocks);
    classifyPlaneBlocks(analysisGeometry.lumaBlocks + analysisGeometry.chromaBlocks,
                        analysisGeometry.chromaBlocks);
    EXPECT_EQ(sampleChangeScore[at(Y, 6, 6)], c.lumaScore);
    EXPECT_EQ(sampleChangeScore[at(U, 6, 6)], c.chromaScore);
    EXPECT_EQ(sampleChangeScore[at(V, 6, 6)], c.chromaScore);
}

}  // namespace
}  // namespace kalmix::test
