// The output filter's row routine and the whole block filter at every level,
// against the plain reference, on random planes and evidence maps.
#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "analysis/analysis.h"
#include "filter/dsp/filter_dsp.h"
#include "filter/kernels.h"
#include "filter/output_filter.h"
#include "params/filter_params.h"
#include "pipeline/frame_driver.h"
#include "pipeline/geometry.h"
#include "tests/checkasm/checkasm.h"
#include "tests/unit/frame_setup.h"

namespace kalmix {
namespace {

using checkasm::fastLevels;
using checkasm::fillRandom;
using checkasm::levelLabel;
using checkasm::randomEngine;
using checkasm::sameElements;
using checkasm::ScopedCpuLevel;

// Scores mostly 0 so that every evidence class occurs, spikes included; marks
// mostly a bare changed bit or nothing.
void fillEvidence(std::uint8_t* score, std::uint8_t* marks, std::size_t count) {
    std::uniform_int_distribution<int> pick(0, 99);
    std::uniform_int_distribution<int> value(0, 255);
    for (std::size_t i = 0; i < count; ++i) {
        const int p = pick(randomEngine());
        score[i] = static_cast<std::uint8_t>(p < 88   ? 0
                                             : p < 94 ? 1 + p % 6
                                                      : 7 + value(randomEngine()) % 249);
        const int m = pick(randomEngine());
        marks[i] = static_cast<std::uint8_t>(m < 40 ? 0x80 : m < 70 ? 0 : value(randomEngine()));
    }
}

// Samples either anywhere in 0..255 or clustered, so the limit step meets both
// its far and its near cases.
void fillSamples(std::uint8_t* data, std::size_t count, bool clustered) {
    if (clustered) {
        fillRandom(data, count, 100, 140);
    } else {
        fillRandom(data, count, 0, 255);
    }
}

TEST(FilterRow, EveryOffsetAndSequenceStateMatchesTheReference) {
    // Rows of every length up to a few vectors, at every start within a
    // vector, for every offset any mode can arise from; masks full, per
    // sample at random, by blocks of four, and by blocks of four set one time
    // in eight with few changed samples (so that many vectors are masked in
    // part only and hold no possible spike).
    constexpr std::ptrdiff_t stride = 288;
    constexpr std::size_t rows = 3;
    std::vector<std::uint8_t> current(rows * stride), reference(rows * stride);
    std::vector<std::uint8_t> score(rows * stride), marks(rows * stride), mask(stride);
    std::vector<std::uint8_t> expected(stride), actual(stride);
    std::uniform_int_distribution<int> coin(0, 1);
    for (CpuLevel level : fastLevels()) {
        const FilterRoutines routines = filterRoutinesFor(level);
        for (std::int32_t offset = -12; offset <= 12; ++offset) {
            for (bool active : {false, true}) {
                const FilterPlan plan = makeFilterPlan(offset, active);
                for (int trial = 0; trial < 6; ++trial) {
                    const bool clustered = trial % 2 == 1;
                    fillSamples(current.data(), current.size(), clustered);
                    fillSamples(reference.data(), reference.size(), clustered);
                    fillEvidence(score.data(), marks.data(), score.size());
                    if (trial >= 4) {
                        // Isolated changes rare: most vectors hold no possible
                        // spike and some a single one.
                        for (std::size_t i = 0; i < marks.size(); ++i) {
                            if (randomEngine()() % 61 != 0) marks[i] &= 0x7F;
                        }
                    }
                    for (std::size_t i = 0; i < mask.size(); ++i) {
                        const bool sparse = trial >= 4;
                        const bool on = trial == 0   ? true
                                        : trial == 1 ? coin(randomEngine()) != 0
                                        : i % 4 != 0 ? mask[i - 1] != 0
                                        : sparse     ? randomEngine()() % 8 == 0
                                                     : coin(randomEngine()) != 0;
                        mask[i] = static_cast<std::uint8_t>(on ? 1 + i % 255 : 0);
                    }
                    for (std::uint32_t count = 1; count <= 200; ++count) {
                        const std::size_t start = stride + 1 + count % 37;
                        std::fill(expected.begin(), expected.end(), std::uint8_t{7});
                        std::fill(actual.begin(), actual.end(), std::uint8_t{7});
                        filterRow_c(expected.data(), &current[start], &reference[start],
                                    &score[start], &marks[start], &mask[count % 5], stride, count,
                                    plan);
                        routines.filterRow(actual.data(), &current[start], &reference[start],
                                           &score[start], &marks[start], &mask[count % 5], stride,
                                           count, plan);
                        ASSERT_TRUE(sameElements(expected.data(), actual.data(), expected.size()))
                            << levelLabel(level) << ", offset " << offset << ", active " << active
                            << ", count " << count;
                    }
                }
            }
        }
    }
}

TEST(FilterRow, PlanGivesEachModesKernelAndLimit) {
    // The integer form of each class against smoothSample on windows whose
    // centre, sides (W, N, S), east and corners take independent values, and
    // its multiplier against the division over every sum up to the largest.
    std::uniform_int_distribution<int> value(0, 255);
    for (std::int32_t offset = -12; offset <= 12; ++offset) {
        const FilterPlan plan = makeFilterPlan(offset, false);
        const FilterPlan activePlan = makeFilterPlan(offset, true);
        for (std::size_t k = 0; k < N_EVIDENCE_CLASSES; ++k) {
            const std::int32_t mode = offset + EVIDENCE_INCREMENTS[k];
            const ClassKernel& kernel = plan.classes[k];
            EXPECT_EQ(kernel.margin, mode >= 10 ? 8 : 4) << mode;
            EXPECT_EQ(activePlan.classes[k].keepInput, mode >= 10 ? 0 : 1) << mode;
            EXPECT_EQ(activePlan.classes[k].margin, mode >= 10 ? 8 : 0) << mode;
            for (int trial = 0; trial < 2000; ++trial) {
                std::uint8_t window[9];
                for (std::uint8_t& sample : window) {
                    const int v = value(randomEngine());
                    sample = static_cast<std::uint8_t>(trial < 8 ? (trial & 1) * 255 : v);
                }
                const int sides = window[3] + window[1] + window[7];
                const int corners = window[0] + window[2] + window[6] + window[8];
                const int w = kernel.sideWeight;
                const int sum =
                    kernel.centreWeight * window[4] + w * sides + (w != 0 ? corners + w : 0);
                ASSERT_LT(sum, 65536);
                EXPECT_EQ((sum * kernel.multiplier) >> 16, smoothSample(&window[4], 3, mode))
                    << "mode " << mode << ", trial " << trial;
            }
        }
    }
}

// The block filter as defined, one sample at a time with the edge test per
// sample: the yardstick for the run walk and the edge peeling at every level.
void filterPlanesDirectly(PlaneSet& output, const std::uint8_t* flags) {
    const AnalysisGeometry& g = analysisGeometry;
    const std::uint32_t w = g.lumaWidth;
    const std::uint32_t n = g.lumaBlocks;
    const std::uint32_t b = w / BLOCK_WIDTH;
    const bool copyOnly = thresholds.filteringEnabled == 0 || thresholds.secondaryEnabled == 0;
    const auto stride = static_cast<std::int32_t>(w);
    for (std::uint32_t l = 0; l < g.totalBlocks; ++l) {
        if (flags[l] == 0) continue;
        const std::uint32_t k = l % n;
        for (std::uint32_t r = 0; r < BLOCK_HEIGHT; ++r) {
            for (std::uint32_t c = 0; c < BLOCK_WIDTH; ++c) {
                const std::uint32_t p = blockOffsets[l] + r * w + c;
                const bool edge = (k < b && r == 0) || (k >= n - b && r == BLOCK_HEIGHT - 1) ||
                                  (k % b == 0 && c == 0) ||
                                  ((k + 1) % b == 0 && c == BLOCK_WIDTH - 1);
                if (copyOnly || edge) {
                    output[p] = currentPlanes[p];
                    continue;
                }
                std::int32_t increment = 3;
                if (sampleChangeScore[p] >= 7) {
                    increment = 1;
                } else if (sampleChangeScore[p] >= 1) {
                    increment = 2;
                } else if (neighbourSum(&sampleChangeScore[p], stride) == 0 &&
                           (sampleChangeMarks[p] & 0x8F) == 0x80) {
                    increment = 5;
                }
                const std::int32_t mode = thresholds.secondaryOffset + increment;
                output[p] = limitToReference(smoothSample(&currentPlanes[p], stride, mode),
                                             currentPlanes[p], referencePlanes[p], mode,
                                             sequenceActive != 0);
            }
        }
    }
}

// A frame laid out as a first frame does, with random planes, evidence and flags.
class FilterFrame : public ::testing::TestWithParam<std::pair<std::uint32_t, std::uint32_t>> {
protected:
    void TearDown() override { sequenceActive = 0; }

    static void setUpFrame(std::uint32_t width, std::uint32_t height) {
        testing::setUpFrame(width, height);
        const std::uint32_t samples = analysisGeometry.totalSamples;
        fillSamples(currentPlanes.data(), samples, false);
        fillSamples(referencePlanes.data(), samples, false);
        for (std::uint32_t i = 0; i < samples; i += 7) referencePlanes[i] = currentPlanes[i];
        fillEvidence(sampleChangeScore.data(), sampleChangeMarks.data(), samples);
    }
};

TEST_P(FilterFrame, WholePlanesMatchTheReferenceAtEveryLevel) {
    const auto [width, height] = GetParam();
    setUpFrame(width, height);
    const std::uint32_t samples = analysisGeometry.totalSamples;
    std::vector<std::uint8_t> expected(samples), before(samples);
    // The largest frames try fewer primary levels; only its on/off matters here.
    const std::vector<std::int32_t> primaries = width * height > 10000
                                                    ? std::vector<std::int32_t>{0, 5}
                                                    : std::vector<std::int32_t>{0, 1, 5, 10};
    std::array<std::uint8_t, BLOCK_CAPACITY> flags{};
    // Flags: all set, none, and random runs, so blocks meet every edge and corner.
    for (int pattern = 0; pattern < 3; ++pattern) {
        if (pattern == 2) {
            fillRandom(flags.data(), allBlocks, 0, 1);
        } else {
            flags.fill(pattern == 0 ? 1 : 0);
        }
        for (std::int32_t primary : primaries) {
            for (std::int32_t secondary = 0; secondary <= 10; ++secondary) {
                for (std::int32_t active = 0; active <= 1; ++active) {
                    applyFilterParams(FilterParams{primary, 5, secondary, 2, secondary % 2});
                    sequenceActive = active;
                    // A previous output that a stray write would almost surely change.
                    std::fill_n(outputPlanes.begin(), samples,
                                static_cast<std::uint8_t>(37 * secondary + 11 * active + 3));
                    std::copy_n(outputPlanes.begin(), samples, before.begin());
                    filterPlanesDirectly(outputPlanes, flags.data());
                    std::copy_n(outputPlanes.begin(), samples, expected.begin());
                    std::vector<CpuLevel> levels = fastLevels();
                    levels.insert(levels.begin(), CpuLevel::C);
                    for (CpuLevel level : levels) {
                        std::copy(before.begin(), before.end(), outputPlanes.begin());
                        ScopedCpuLevel scoped(level);
                        filterOutputPlanes(outputPlanes, flags.data());
                        ASSERT_TRUE(
                            sameElements(expected.data(), outputPlanes.data(), samples, width))
                            << levelLabel(level) << ", " << width << "x" << height << ", flags "
                            << pattern << ", primary " << primary << ", secondary " << secondary
                            << ", active " << active;
                    }
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, FilterFrame,
                         ::testing::Values(std::pair{4u, 4u}, std::pair{4u, 8u}, std::pair{8u, 4u},
                                           std::pair{4u, 12u}, std::pair{20u, 8u},
                                           std::pair{68u, 12u}, std::pair{96u, 64u},
                                           std::pair{176u, 144u}, std::pair{384u, 288u}));

}  // namespace
}  // namespace kalmix
