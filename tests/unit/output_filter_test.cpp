// The block output filter: which samples are written, the mode choice and the limit step.
#include <gtest/gtest.h>

#include <vector>

#include "analysis/analysis.h"
#include "filter/output_filter.h"
#include "frame_setup.h"
#include "params/filter_params.h"
#include "pipeline/frame_driver.h"

namespace kalmix {
namespace {

TEST(OutputLimit, ActiveSequenceNeverMovesFurtherFromTheReference) {
    EXPECT_EQ(limitToReference(115, 110, 100, 5, true), 110);
    EXPECT_EQ(limitToReference(105, 110, 100, 5, true), 105);
    EXPECT_EQ(limitToReference(90, 110, 100, 5, true), 90);
    EXPECT_EQ(limitToReference(95, 255, 255, 5, true), 255);
    EXPECT_EQ(limitToReference(95, 255, 0, 5, true), 95);
    EXPECT_EQ(limitToReference(115, 110, 100, 9, true), 110);  // mode 9 is still below 10
}

TEST(OutputLimit, ClampsWithinMarginOfTheInputDistance) {
    EXPECT_EQ(limitToReference(120, 110, 100, 5, false), 114);
    EXPECT_EQ(limitToReference(80, 110, 100, 5, false), 86);
    EXPECT_EQ(limitToReference(130, 100, 100, 10, false), 108);
    EXPECT_EQ(limitToReference(130, 100, 100, 12, true), 108);  // mode >= 10 ignores the sequence
    EXPECT_EQ(limitToReference(0, 255, 255, 14, true), 247);
    EXPECT_EQ(limitToReference(104, 100, 100, 3, false), 104);  // exactly at the margin stays
}

class OutputFilter : public ::testing::Test {
protected:
    void SetUp() override {
        testing::setUpFrame(16, 16);
        applyFilterParams(DEFAULT_FILTER_PARAMS);
        sequenceActive = 1;
        for (std::uint32_t i = 0; i < PLANE_SET_CAPACITY; ++i) {
            currentPlanes[i] = static_cast<std::uint8_t>((i * 53) % 251);
        }
        referencePlanes = currentPlanes;
        outputPlanes.fill(7);
        blockChangeFlags.fill(0);
    }
    void TearDown() override { sequenceActive = 0; }
};

TEST_F(OutputFilter, OnlyFlaggedBlocksAreWrittenAndPlaneEdgesAreCopied) {
    const std::uint32_t corner = 0, interior = 5, chromaEdge = 16 + 7;  // U: row 1, last column
    blockChangeFlags[corner] = blockChangeFlags[interior] = blockChangeFlags[chromaEdge] = 1;
    filterOutputPlanes(outputPlanes, blockChangeFlags.data());
    std::array<bool, PLANE_SET_CAPACITY> written{};
    for (std::uint32_t block : {corner, interior, chromaEdge}) {
        for (std::uint32_t r = 0; r < 4; ++r) {
            for (std::uint32_t c = 0; c < 4; ++c) written[blockOffsets[block] + r * 16 + c] = true;
        }
    }
    for (std::uint32_t i = 0; i < 3 * 256; ++i) {
        if (!written[i]) {
            ASSERT_EQ(outputPlanes[i], 7) << i;
        }
    }
    // Row 0 and column 0 of the corner block, and column 3 of the U block at the
    // plane's right edge, are plane-edge samples.
    for (std::uint32_t c = 0; c < 4; ++c) EXPECT_EQ(outputPlanes[c], currentPlanes[c]);
    for (std::uint32_t r = 0; r < 4; ++r) EXPECT_EQ(outputPlanes[r * 16], currentPlanes[r * 16]);
    const std::uint32_t right = blockOffsets[chromaEdge] + 3;
    for (std::uint32_t r = 0; r < 4; ++r) {
        EXPECT_EQ(outputPlanes[right + r * 16], currentPlanes[right + r * 16]);
    }
}

TEST_F(OutputFilter, LevelZeroCopiesFlaggedBlocksExactly) {
    blockChangeFlags.fill(1);
    for (int which = 0; which < 2; ++which) {
        applyFilterParams(which == 0 ? FilterParams{0, 5, 5, 2, 1} : FilterParams{5, 5, 0, 2, 1});
        outputPlanes.fill(7);
        filterOutputPlanes(outputPlanes, blockChangeFlags.data());
        for (std::uint32_t i = 0; i < 3 * 256; ++i) ASSERT_EQ(outputPlanes[i], currentPlanes[i]);
    }
}

TEST_F(OutputFilter, FlagsPastLongUnflaggedStretchesAreFound) {
    // 80 samples wide: 20 blocks a row, so a row's flags span two groups of
    // eight and a remainder. Single flags in each, then a run across a group
    // boundary; copied (level 0) and filtered, in Y and in V.
    testing::setUpFrame(80, 16);
    for (std::uint32_t i = 0; i < PLANE_SET_CAPACITY; ++i) {
        currentPlanes[i] = static_cast<std::uint8_t>(100 + (i * 53) % 101);
    }
    referencePlanes = currentPlanes;
    const std::vector<std::vector<std::uint32_t>> cases = {{9}, {15}, {19}, {7, 8}, {20 + 17}};
    for (const FilterParams params : {FilterParams{0, 5, 5, 2, 1}, DEFAULT_FILTER_PARAMS}) {
        applyFilterParams(params);
        for (const std::uint32_t planeFirst : {0u, 2 * 80u}) {
            for (const auto& blocks : cases) {
                outputPlanes.fill(7);
                blockChangeFlags.fill(0);
                for (std::uint32_t k : blocks) blockChangeFlags[planeFirst + k] = 1;
                filterOutputPlanes(outputPlanes, blockChangeFlags.data());
                std::vector<bool> written(PLANE_SET_CAPACITY, false);
                for (std::uint32_t k : blocks) {
                    for (std::uint32_t r = 0; r < 4; ++r) {
                        for (std::uint32_t c = 0; c < 4; ++c) {
                            const std::uint32_t at = blockOffsets[planeFirst + k] + r * 80 + c;
                            written[at] = true;
                            ASSERT_NE(outputPlanes[at], 7) << "block " << k << " not written";
                            if (params.primaryLevel == 0) {
                                ASSERT_EQ(outputPlanes[at], currentPlanes[at]);
                            }
                        }
                    }
                }
                for (std::uint32_t i = 0; i < 3 * 80 * 16; ++i) {
                    if (!written[i]) {
                        ASSERT_EQ(outputPlanes[i], 7) << i;
                    }
                }
            }
        }
    }
}

TEST_F(OutputFilter, ModeFollowsTheEvidenceAtEachSample) {
    // One interior Y sample at (5, 5): 255 among zeros, reference 0, so the
    // limit keeps whatever the kernel gives. secondaryOffset 0 (level 5).
    currentPlanes.fill(0);
    referencePlanes.fill(0);
    const std::uint32_t p = 5 * 16 + 5;
    currentPlanes[p] = 255;
    blockChangeFlags[5] = 1;  // the block holding rows 4..7, columns 4..7
    struct Case {
        std::uint8_t score, mark, neighbourScore;
        int expected;  // the kernel's response at the chosen mode
    };
    const Case cases[] = {
        {7, 0x80, 0, 215},   // strong evidence: increment 1 → mode 1
        {200, 0x80, 0, 215},
        {6, 0x80, 0, 175},   // weak evidence: increment 2 → mode 2
        {1, 0x83, 0, 175},
        {0, 0x80, 0, 95},    // isolated spike: increment 5 → mode 5
        {0, 0x81, 0, 175},   // changed with a neighbour: increment 3 → mode 3
        {0, 0x00, 0, 175},   // no evidence at all: increment 3
        {0, 0x80, 9, 175},   // a scored neighbour outweighs the spike rule
    };
    for (const Case& c : cases) {
        sampleChangeScore.fill(0);
        sampleChangeMarks.fill(0);
        sampleChangeScore[p] = c.score;
        sampleChangeMarks[p] = c.mark;
        sampleChangeScore[p + 16 + 1] = c.neighbourScore;
        filterOutputPlanes(outputPlanes, blockChangeFlags.data());
        EXPECT_EQ(outputPlanes[p], c.expected)
            << "score " << int(c.score) << " mark " << int(c.mark);
    }
}

}  // namespace
}  // namespace kalmix
