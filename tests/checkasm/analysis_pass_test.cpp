// The row-wise analysis pass against the staged reference: every array the
// pass leaves behind (marks, scores, extent marks, block counts, weights, the
// block map, the flags and the history) must match byte for byte, at every
// primary level, with and without the enhanced test, on frame sizes from one
// block to the largest and on pictures that drive each stage.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "analysis/analysis.h"
#include "analysis/dsp/analysis_dsp.h"
#include "params/filter_params.h"
#include "pipeline/geometry.h"
#include "tests/checkasm/checkasm.h"

namespace kalmix {
namespace {

using checkasm::fillRandom;
using checkasm::randomEngine;
using checkasm::sameElements;

enum class Picture { NOISE, NEW_PICTURE, THIN_LINES, CLUSTERS, CHECKER_BANDS, LUMA_LINES_ONLY };

const char* pictureName(Picture p) {
    switch (p) {
        case Picture::NOISE: return "noise";
        case Picture::NEW_PICTURE: return "new picture";
        case Picture::THIN_LINES: return "thin lines";
        case Picture::CLUSTERS: return "clusters";
        case Picture::CHECKER_BANDS: return "checker bands";
        case Picture::LUMA_LINES_ONLY: return "lines in luma only";
    }
    return "?";
}

void useFrame(std::uint32_t width, std::uint32_t height) {
    planeDescriptor.width = width;
    planeDescriptor.height = height;
    setUpPlanes(planeDescriptor, height, width);
    buildBlockOffsets();
    setUpAnalysis(planeDescriptor);
}

std::uint8_t clampByte(int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); }

// Reference and current pictures of one kind over the whole used area.
void paint(Picture picture, std::uint32_t samples, std::uint32_t width) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> small(-9, 9);
    std::uniform_int_distribution<int> percent(0, 99);
    auto& rng = randomEngine();
    for (std::uint32_t q = 0; q < samples; ++q) {
        const std::uint32_t x = q % width;
        const std::uint32_t y = q / width;
        const int base = 40 + static_cast<int>((x * 3 + y * 5) % 150);
        int ref = base;
        int cur = base;
        switch (picture) {
            case Picture::NOISE:
                ref += small(rng);
                cur += small(rng);
                break;
            case Picture::NEW_PICTURE:
                ref = byte(rng);
                cur = byte(rng);
                break;
            case Picture::THIN_LINES:
                // Short runs of change in every direction: chains of 2 to 8
                // qualifying samples, the extent measure's worst case.
                if ((x % 3 == 0 && y % 9 < 6) || (y % 5 == 2 && x % 7 < 5) || ((x + y) % 6 == 0)) {
                    cur += percent(rng) < 85 ? 30 + small(rng) : -30;
                }
                break;
            case Picture::CLUSTERS:
                if (percent(rng) < 35) cur += 12 + small(rng) * 3;
                break;
            case Picture::CHECKER_BANDS:
                // Every changed sample has four changed diagonal neighbours, in
                // bands seven rows high: traces branch at every step and reach
                // the same samples by many paths, but never a chain of 8 upward.
                if ((x + y) % 2 == 0 && y % 8 != 7) cur += 40;
                break;
            case Picture::LUMA_LINES_ONLY:
                // Seeds in the luminance plane only: the colour planes trace
                // nothing and must still leave clean extent marks.
                if (q < analysisGeometry.lumaPlaneSize && (x % 3 == 0 || y % 4 == 1)) cur += 35;
                break;
        }
        referencePlanes[q] = clampByte(ref);
        currentPlanes[q] = clampByte(cur);
    }
}

struct PassResult {
    std::vector<std::uint8_t> marks, score, extent;
    std::vector<std::uint8_t> counts, map, flags, spread, history;
    std::vector<std::int8_t> balance;
    std::vector<std::uint32_t> weight;
    std::uint8_t step;
    std::int32_t supportMin;
};

PassResult runPass(void (*pass)(), const std::vector<std::uint8_t>& history,
                   const std::vector<std::uint8_t>& map, const std::vector<std::uint8_t>& stale) {
    std::copy(history.begin(), history.end(), blockMapHistory.begin());
    std::copy(map.begin(), map.end(), blockMap.begin());
    // Random over the whole capacity: nothing is known to be zero.
    blockMapHistoryExtent = BLOCK_CAPACITY;
    blockMapExtent = BLOCK_CAPACITY;
    // Leftovers of an earlier frame must not show through.
    std::copy(stale.begin(), stale.end(), sampleChangeScore.begin());
    std::copy(stale.begin(), stale.end(), extentMarks.begin());
    std::copy(stale.begin(), stale.end(), sampleChangeMarks.begin());
    pass();
    const AnalysisGeometry& g = analysisGeometry;
    const std::uint32_t s = g.totalSamples;
    const std::uint32_t b = g.totalBlocks;
    return {{sampleChangeMarks.begin(), sampleChangeMarks.begin() + s},
            {sampleChangeScore.begin(), sampleChangeScore.begin() + s},
            {extentMarks.begin(), extentMarks.begin() + s},
            {blockChangedSamples.begin(), blockChangedSamples.begin() + b},
            {blockMap.begin(), blockMap.end()},
            {blockChangeFlags.begin(), blockChangeFlags.begin() + b},
            {spreadMarks.begin(), spreadMarks.begin() + b},
            {blockMapHistory.begin(), blockMapHistory.end()},
            {blockSignBalance.begin(), blockSignBalance.begin() + b},
            {blockChangeWeight.begin(), blockChangeWeight.begin() + b},
            gradeStep,
            planeSupportMin};
}

void expectSame(const PassResult& e, const PassResult& a, std::uint32_t width) {
    const std::size_t s = e.marks.size();
    const std::size_t b = e.counts.size();
    EXPECT_TRUE(sameElements(e.marks.data(), a.marks.data(), s, width)) << "sampleChangeMarks";
    EXPECT_TRUE(sameElements(e.score.data(), a.score.data(), s, width)) << "sampleChangeScore";
    EXPECT_TRUE(sameElements(e.extent.data(), a.extent.data(), s, width)) << "extentMarks";
    EXPECT_TRUE(sameElements(e.counts.data(), a.counts.data(), b)) << "blockChangedSamples";
    EXPECT_TRUE(sameElements(e.balance.data(), a.balance.data(), b)) << "blockSignBalance";
    EXPECT_TRUE(sameElements(e.weight.data(), a.weight.data(), b)) << "blockChangeWeight";
    EXPECT_TRUE(sameElements(e.map.data(), a.map.data(), e.map.size())) << "blockMap";
    EXPECT_TRUE(sameElements(e.flags.data(), a.flags.data(), b)) << "blockChangeFlags";
    EXPECT_TRUE(sameElements(e.spread.data(), a.spread.data(), b)) << "spreadMarks";
    EXPECT_TRUE(sameElements(e.history.data(), a.history.data(), e.history.size())) << "history";
    EXPECT_EQ(e.step, a.step);
    EXPECT_EQ(e.supportMin, a.supportMin);
}

// One frame at one setting: the reference, then every fast level, from the
// same history, block map and stale per-sample arrays.
void compareLevels(std::uint32_t width, std::uint32_t height, Picture picture, std::int32_t level,
                   std::int32_t enhanced) {
    useFrame(width, height);
    FilterParams params = DEFAULT_FILTER_PARAMS;
    params.primaryLevel = level;
    params.enhancedSuppression = enhanced;
    params.transitionFrames = 1 + level % 7;
    applyFilterParams(params);
    paint(picture, analysisGeometry.totalSamples, width);

    std::vector<std::uint8_t> history(blockMapHistory.size());
    std::vector<std::uint8_t> map(blockMap.size());
    std::vector<std::uint8_t> stale(analysisGeometry.totalSamples);
    fillRandom(history.data(), history.size(), 0, 1);
    fillRandom(map.data(), map.size(), 0, 1);
    fillRandom(stale.data(), stale.size(), 0, 255);

    const PassResult expected = runPass(analysePass_c, history, map, stale);
    for (CpuLevel cpu : checkasm::fastLevels()) {
        checkasm::ScopedCpuLevel scoped(cpu);
        SCOPED_TRACE(checkasm::levelLabel(cpu) + ", " + std::to_string(width) + "x" +
                     std::to_string(height) + ", " + pictureName(picture) + ", primary level " +
                     std::to_string(level) + (enhanced != 0 ? ", enhanced" : ""));
        expectSame(expected, runPass(analysisRoutines.analysePass, history, map, stale), width);
    }
}

TEST(AnalysisPass, MatchesTheReferenceAtEveryLevelAndSize) {
    if (checkasm::fastLevels().empty()) GTEST_SKIP() << "no fast level on this machine";
    // One block, one block row or column, a ring with no interior, odd block
    // counts, and sizes whose rows do not fill a vector: the smoothed middle
    // of a row (width - 8) is 4, 8, 12, 16, 20, 24 and more samples wide.
    struct Size {
        std::uint32_t width, height;
        bool everyLevel;  // only the ends of the rows are new in the others
    };
    const Size sizes[] = {
        {4, 4, true},    {8, 4, true},   {4, 12, true},   {12, 12, true},  {16, 12, false},
        {20, 12, false}, {24, 16, false}, {20, 8, true},  {28, 20, true},  {32, 12, false},
        {36, 44, true},  {52, 36, true},  {100, 28, true}};
    for (const auto& [width, height, everyLevel] : sizes) {
        for (Picture picture : {Picture::NOISE, Picture::NEW_PICTURE, Picture::THIN_LINES,
                                Picture::CLUSTERS, Picture::CHECKER_BANDS, Picture::LUMA_LINES_ONLY}) {
            for (std::int32_t level = 0; level <= 10; ++level) {
                // Every level on the small frames; on the larger ones level 0
                // (no filtering), 1, 4 (the one row whose chroma thresholds
                // differ), the default 5 and 10.
                const bool small = everyLevel && width * height <= 640;
                if (!small && level != 0 && level != 1 && level != 4 && level != 5 && level != 10) continue;
                for (std::int32_t enhanced : {0, 1}) {
                    compareLevels(width, height, picture, level, enhanced);
                    if (HasFailure()) return;
                }
            }
        }
    }
}

TEST(AnalysisPass, MatchesTheReferenceOnTheLargestFrame) {
    if (checkasm::fastLevels().empty()) GTEST_SKIP() << "no fast level on this machine";
    for (Picture picture : {Picture::NOISE, Picture::THIN_LINES, Picture::NEW_PICTURE}) {
        for (std::int32_t level : {1, 5, 10}) {
            compareLevels(MAX_FRAME_WIDTH, MAX_FRAME_HEIGHT, picture, level, level == 5 ? 1 : 0);
            if (HasFailure()) return;
        }
    }
    compareLevels(176, 144, Picture::CLUSTERS, 3, 1);
    // Well over 65,536 traces in one frame: the trace numbers wrap and the
    // visit record starts afresh in the middle of the pass.
    compareLevels(MAX_FRAME_WIDTH, MAX_FRAME_HEIGHT, Picture::CHECKER_BANDS, 5, 0);
}

// The hold works only up to the extents beyond which the map and the history
// hold zeros. Frames that change size, from a history and a map with entries
// beyond the first frame's blocks (stale 1s are held and recorded again),
// must leave at every level the map and history of the reference, which
// holds the whole capacity.
TEST(AnalysisPass, HoldOverTheUsedAreaMatchesTheWholeCapacityAcrossSizeChanges) {
    if (checkasm::fastLevels().empty()) GTEST_SKIP() << "no fast level on this machine";
    struct Step {
        std::uint32_t width, height;
        std::int32_t transitionFrames;
        Picture picture;
    };
    const Step steps[] = {
        {36, 44, 2, Picture::CLUSTERS},   {100, 28, 7, Picture::NOISE},
        {12, 12, 3, Picture::NEW_PICTURE}, {12, 12, 0, Picture::CLUSTERS},
        {200, 100, 1, Picture::THIN_LINES}, {20, 8, 5, Picture::NEW_PICTURE},
        {52, 36, 2, Picture::CLUSTERS},   {8, 4, 7, Picture::NEW_PICTURE},
    };
    // Non-zero entries up to 900 in the history and 700 in the map: the first
    // frame has 297 blocks.
    constexpr std::uint32_t HISTORY_USED = 900, MAP_USED = 700;
    std::vector<std::uint8_t> history(blockMapHistory.size(), 0), map(blockMap.size(), 0);
    for (std::uint32_t layer = 0; layer < HISTORY_LAYERS; ++layer) {
        fillRandom(history.data() + layer * BLOCK_CAPACITY, HISTORY_USED, 0, 1);
    }
    fillRandom(map.data(), MAP_USED, 0, 1);
    history[3 * BLOCK_CAPACITY + HISTORY_USED - 1] = 1;
    map[MAP_USED - 1] = 1;
    const auto seed = static_cast<std::uint32_t>(randomEngine()());  // the same pictures for every level

    // Every picture of the sequence, then the map, flags and history after each frame.
    auto runSequence = [&](void (*pass)()) {
        blockMapHistory.fill(0);
        blockMap.fill(0);
        std::copy(history.begin(), history.end(), blockMapHistory.begin());
        std::copy(map.begin(), map.end(), blockMap.begin());
        blockMapHistoryExtent = HISTORY_USED;
        blockMapExtent = MAP_USED;
        randomEngine().seed(seed);
        std::vector<std::vector<std::uint8_t>> after;
        for (const Step& step : steps) {
            useFrame(step.width, step.height);
            FilterParams params = DEFAULT_FILTER_PARAMS;
            params.transitionFrames = step.transitionFrames;
            applyFilterParams(params);
            paint(step.picture, analysisGeometry.totalSamples, step.width);
            pass();
            after.emplace_back(blockMap.begin(), blockMap.end());
            after.emplace_back(blockChangeFlags.begin(), blockChangeFlags.begin() + analysisGeometry.totalBlocks);
            after.emplace_back(blockMapHistory.begin(), blockMapHistory.end());
        }
        return after;
    };
    const auto expected = runSequence(analysePass_c);
    for (CpuLevel cpu : checkasm::fastLevels()) {
        checkasm::ScopedCpuLevel scoped(cpu);
        const auto actual = runSequence(analysisRoutines.analysePass);
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const char* what[] = {"blockMap", "blockChangeFlags", "history"};
            EXPECT_TRUE(sameElements(expected[i].data(), actual[i].data(), expected[i].size()))
                << checkasm::levelLabel(cpu) << ", frame " << i / 3 << ", " << what[i % 3];
        }
    }
}

}  // namespace
}  // namespace kalmix
