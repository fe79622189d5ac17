// Smoothing kernels and the preset tables behind the working thresholds.
#include <gtest/gtest.h>

#include <array>

#include "filter/kernels.h"
#include "params/filter_params.h"

namespace kalmix {
namespace {

// A 3x3 window of zeros with one value at (row, column); the centre is (1, 1).
std::array<std::uint8_t, 9> windowWith(int row, int column, std::uint8_t value) {
    std::array<std::uint8_t, 9> window{};
    window[static_cast<std::size_t>(row * 3 + column)] = value;
    return window;
}

TEST(Kernels, ImpulseResponsesPerModeGroup) {
    struct Case {
        int row, column;
        int expected[5];  // modes 1, 2..4, 5..6, 7..8, 9 and above
    };
    const Case cases[] = {
        {1, 1, {215, 175, 95, 76, 56}},  // centre
        {1, 0, {8, 16, 32, 25, 28}},     // W
        {0, 1, {8, 16, 32, 25, 28}},     // N
        {2, 1, {8, 16, 32, 25, 28}},     // S
        {1, 2, {0, 0, 0, 0, 0}},         // E is never read
        {0, 0, {4, 8, 16, 25, 28}},      // each corner
        {0, 2, {4, 8, 16, 25, 28}},
        {2, 0, {4, 8, 16, 25, 28}},
        {2, 2, {4, 8, 16, 25, 28}},
    };
    const int modes[5][2] = {{1, 1}, {2, 4}, {5, 6}, {7, 8}, {9, 1000}};
    for (const Case& c : cases) {
        const auto window = windowWith(c.row, c.column, 255);
        for (int group = 0; group < 5; ++group) {
            for (int mode : modes[group]) {
                EXPECT_EQ(smoothSample(&window[4], 3, mode), c.expected[group])
                    << "at " << c.row << "," << c.column << " mode " << mode;
            }
        }
    }
    const auto window = windowWith(1, 1, 255);
    EXPECT_EQ(smoothSample(&window[4], 3, 3), 175);
}

TEST(Kernels, FlatAreasKeepTheirValueAndLowModesCopy) {
    for (int value : {0, 1, 99, 254, 255}) {
        std::array<std::uint8_t, 9> window;
        window.fill(static_cast<std::uint8_t>(value));
        for (int mode = -3; mode <= 14; ++mode) {
            EXPECT_EQ(smoothSample(&window[4], 3, mode), value) << "mode " << mode;
        }
    }
    std::array<std::uint8_t, 9> uneven{9, 200, 3, 40, 17, 250, 1, 2, 3};
    for (int mode : {0, -1, -9, -100000}) EXPECT_EQ(smoothSample(&uneven[4], 3, mode), 17);
}

TEST(Kernels, NeighbourSumCountsAllEightButNotTheCentre) {
    auto window = windowWith(1, 2, 200);
    EXPECT_EQ(neighbourSum(&window[4], 3), 200);
    window.fill(255);
    EXPECT_EQ(neighbourSum(&window[4], 3), 2040);
    window = windowWith(1, 1, 255);
    EXPECT_EQ(neighbourSum(&window[4], 3), 0);
}

TEST(Params, LevelsSelectPresetRowsAndAreClampedOnlyWhenDerived) {
    FilterParams record{12, 5, -1, 2, 1};
    applyFilterParams(record);
    EXPECT_EQ(workingParams.primaryLevel, 12);  // stored as given
    EXPECT_EQ(thresholds.lumaChangeThreshold, 16);
    EXPECT_EQ(thresholds.neighbourSupportMin, 5);
    EXPECT_EQ(thresholds.biasCountThreshold, 12);
    EXPECT_EQ(thresholds.filteringEnabled, 1);
    EXPECT_EQ(thresholds.secondaryOffset, -9);
    EXPECT_EQ(thresholds.secondaryEnabled, 0);

    applyPrimaryLevel(0);
    const WorkingThresholds& t = thresholds;
    for (int value : {t.lumaChangeThreshold, t.chromaChangeThreshold, t.neighbourSupportMin,
                      t.blockChangeCount, t.borderChangeCount, t.lumaBiasThreshold,
                      t.chromaBiasThreshold, t.biasTestEnabled, t.biasCountThreshold}) {
        EXPECT_EQ(value, 0);
    }
    EXPECT_EQ(t.filteringEnabled, 0);

    applyPrimaryLevel(4);  // the one row whose chroma values differ
    EXPECT_EQ(t.lumaChangeThreshold, 4);
    EXPECT_EQ(t.chromaChangeThreshold, 5);
    EXPECT_EQ(t.lumaBiasThreshold, 3);
    EXPECT_EQ(t.chromaBiasThreshold, 4);
}

TEST(Params, DefaultsDeriveTheDocumentedThresholds) {
    applyFilterParams(DEFAULT_FILTER_PARAMS);
    const WorkingThresholds& t = thresholds;
    const int derived[] = {t.lumaChangeThreshold, t.chromaChangeThreshold, t.neighbourSupportMin,
                           t.blockChangeCount,    t.borderChangeCount,     t.lumaBiasThreshold,
                           t.chromaBiasThreshold, t.biasTestEnabled,       t.biasCountThreshold,
                           t.filteringEnabled,    t.secondaryOffset,       t.secondaryEnabled};
    const int expected[] = {5, 5, 3, 25, 4, 4, 4, 1, 7, 1, 0, 1};
    for (std::size_t i = 0; i < std::size(expected); ++i) EXPECT_EQ(derived[i], expected[i]) << i;

    const int offsets[] = {-9, -7, -5, -3, -2, 0, 2, 3, 5, 7, 9};
    for (int level = 0; level <= 10; ++level) {
        applySecondaryLevel(level);
        EXPECT_EQ(t.secondaryOffset, offsets[level]);
        EXPECT_EQ(t.secondaryEnabled, level != 0 ? 1 : 0);
    }
    FilterParams out{};
    readFilterParams(out);
    EXPECT_EQ(out.primaryLevel, 5);
    EXPECT_EQ(out.transitionFrames, 2);
    EXPECT_EQ(out.enhancedSuppression, 1);
}

}  // namespace
}  // namespace kalmix
