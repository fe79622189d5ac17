// The vector border spread of each level against spreadBlockMap, on maps,
// scores and pictures set directly, so that the facing sums and the vote
// balances land on, just below and just above their levels far more often
// than whole frames make them: score sums equal to borderChangeCount, vote
// balances of exactly 6 and 4, differences of exactly t, over rows of blocks
// that end anywhere in a vector step and planes one block wide or high.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "analysis/analysis.h"
#include "analysis/dsp/analysis_dsp.h"
#include "params/filter_params.h"
#include "pipeline/geometry.h"
#include "tests/checkasm/checkasm.h"
#include "tests/unit/frame_setup.h"

namespace kalmix {
namespace {

using checkasm::randomEngine;
using checkasm::sameElements;

#if KALMIX_SIMD_BUILD
void (*fastSpread(CpuLevel level))() {
#if defined(KALMIX_HAVE_AVX512)
    if (level == CpuLevel::AVX512) return avx512::spreadBorders;
#endif
#if defined(KALMIX_HAVE_AVX2)
    if (level == CpuLevel::AVX2) return avx2::spreadBorders;
#endif
#if defined(KALMIX_HAVE_SSE2)
    if (level == CpuLevel::SSE2) return sse2::spreadBorders;
#endif
    return nullptr;
}
#endif

using testing::setUpFrame;

int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(randomEngine()); }

// Scores whose sums over four or six samples come out near level: each
// sample near level / 4 or level / 6, now and then 0 or 255.
std::uint8_t scoreNear(std::int32_t level) {
    const int share = std::clamp(level, 0, 1530) / (pick(0, 1) == 0 ? 4 : 6);
    switch (pick(0, 9)) {
        case 0: return 0;
        case 1: return 255;
        default: return static_cast<std::uint8_t>(std::clamp(share + pick(-1, 1), 0, 255));
    }
}

// A picture pair whose differences lie at t - 1, t, t + 1 and their
// negatives, leaning one way per block so that balances reach 4 to 8.
void paintPair(std::uint32_t q, std::int32_t t, int lean) {
    const int magnitudes[] = {t - 1, t, t + 1, t + 1, 0, 255};
    int d = magnitudes[pick(0, 5)];
    if (pick(0, 99) < (lean > 0 ? 80 : 20)) d = -d;
    d = std::clamp(d, -255, 255);
    const int ref = d >= 0 ? pick(0, 255 - d) : pick(-d, 255);
    referencePlanes[q] = static_cast<std::uint8_t>(ref);
    currentPlanes[q] = static_cast<std::uint8_t>(ref + d);
}

struct Setting {
    std::int32_t scoreLevel;
    std::int32_t lumaBias;
    std::int32_t chromaBias;
    std::int32_t biasTest;
};

// Random map (changedPercent of the blocks changed), scores and pictures for
// one setting; the reference, then every fast level from the same arrays
// (with stale spread marks), and the map and the marks compared.
void compareSpread(std::uint32_t width, std::uint32_t height, const Setting& setting, int changedPercent) {
    setUpFrame(width, height);
    thresholds.borderChangeCount = setting.scoreLevel;
    thresholds.lumaBiasThreshold = setting.lumaBias;
    thresholds.chromaBiasThreshold = setting.chromaBias;
    thresholds.biasTestEnabled = setting.biasTest;
    const AnalysisGeometry& g = analysisGeometry;
    std::vector<std::uint8_t> map(blockMap.size());
    for (auto& m : map) m = pick(0, 99) < changedPercent ? 1 : 0;
    for (std::uint32_t b = 0; b < g.totalBlocks; ++b) {
        const int lean = pick(0, 1);
        const std::int32_t t = b < g.lumaBlocks ? setting.lumaBias : setting.chromaBias;
        for (std::uint32_t r = 0; r < BLOCK_HEIGHT; ++r) {
            const std::uint32_t stride = b < g.lumaBlocks ? g.lumaWidth : g.chromaWidth;
            for (std::uint32_t c = 0; c < BLOCK_WIDTH; ++c) {
                const std::uint32_t q = blockOffsets[b] + r * stride + c;
                sampleChangeScore[q] = scoreNear(setting.scoreLevel);
                paintPair(q, t, lean);
            }
        }
    }
    std::vector<std::uint8_t> stale(spreadMarks.size());
    for (auto& s : stale) s = static_cast<std::uint8_t>(pick(0, 255));

    std::copy(map.begin(), map.end(), blockMap.begin());
    std::copy(stale.begin(), stale.end(), spreadMarks.begin());
    spreadBlockMap();
    const std::vector<std::uint8_t> expectedMap(blockMap.begin(), blockMap.end());
    const std::vector<std::uint8_t> expectedMarks(spreadMarks.begin(), spreadMarks.begin() + g.totalBlocks);
#if KALMIX_SIMD_BUILD
    for (CpuLevel cpu : checkasm::fastLevels()) {
        SCOPED_TRACE(checkasm::levelLabel(cpu) + ", " + std::to_string(width) + "x" + std::to_string(height) +
                     ", score level " + std::to_string(setting.scoreLevel) + ", bias " +
                     std::to_string(setting.lumaBias) + "/" + std::to_string(setting.chromaBias) +
                     (setting.biasTest != 0 ? "" : ", no bias test"));
        std::copy(map.begin(), map.end(), blockMap.begin());
        std::copy(stale.begin(), stale.end(), spreadMarks.begin());
        fastSpread(cpu)();
        EXPECT_TRUE(sameElements(expectedMarks.data(), spreadMarks.data(), g.totalBlocks)) << "spreadMarks";
        EXPECT_TRUE(sameElements(expectedMap.data(), blockMap.data(), blockMap.size())) << "blockMap";
    }
#endif
}

// Blocks per row 1 to 33 and 96: every remainder of an 8- and a 16-block
// step, one block wide or high. The largest frame, whose last group ends at
// the end of the buffers, runs once per test: it costs as much as the rest.
const std::pair<std::uint32_t, std::uint32_t> SIZES[] = {
    {4, 4},   {4, 28},  {8, 8},   {28, 4},  {32, 12}, {36, 12},  {60, 8},
    {64, 12}, {68, 8},  {92, 12}, {124, 8}, {132, 8}, {MAX_FRAME_WIDTH, 16}};

TEST(BorderSpread, MatchesTheReferenceAtTheLevelsOfEveryPrimaryLevel) {
    if (checkasm::fastLevels().empty()) GTEST_SKIP() << "no fast level on this machine";
    for (std::int32_t level = 0; level <= 10; ++level) {
        applyPrimaryLevel(level);
        const Setting setting{thresholds.borderChangeCount, thresholds.lumaBiasThreshold,
                              thresholds.chromaBiasThreshold, thresholds.biasTestEnabled};
        for (const auto& [width, height] : SIZES) {
            for (int changed : {3, 40, 70}) {
                compareSpread(width, height, setting, changed);
                if (HasFailure()) return;
            }
        }
        if (level == 5) compareSpread(MAX_FRAME_WIDTH, MAX_FRAME_HEIGHT, setting, 40);
    }
}

// Thresholds no preset gives: score levels 0 (always reached), at the sums'
// top (four and six samples of 255) and beyond it, and negative (unsigned:
// never); bias thresholds below 0 (a sample votes both ways), at and past the
// byte range, luma and chroma apart so that each plane must use its own;
// and the votes switched off.
TEST(BorderSpread, MatchesTheReferenceAtThresholdsNoPresetGives) {
    if (checkasm::fastLevels().empty()) GTEST_SKIP() << "no fast level on this machine";
    const Setting settings[] = {
        {0, 3, 3, 1},      {1020, 4, 4, 1},    {1530, 4, 4, 1},  {1531, 4, 4, 1},   {-1, 4, 4, 1},
        {4, 0, 0, 1},      {4, -1, -3, 1},     {4, -255, 254, 1}, {4, 255, -256, 1}, {4, 300, 1000, 1},
        {4, 2, 9, 1},      {4, 9, 2, 1},       {4, 0, 0, 0},     {10, 3, 3, 0},     {0, 3, 3, 0}};
    for (const Setting& setting : settings) {
        for (const auto& [width, height] : SIZES) {
            for (int changed : {10, 60}) {
                compareSpread(width, height, setting, changed);
                if (HasFailure()) return;
            }
        }
    }
    compareSpread(MAX_FRAME_WIDTH, MAX_FRAME_HEIGHT, settings[7], 40);
}

// The comparisons are only as good as their inputs: on them the facing
// sums and balances must land on each side of every level, and the
// reference must mark blocks through the votes alone and the sums alone.
TEST(BorderSpread, InputsLandOnEitherSideOfTheLevels) {
    const AnalysisGeometry& g = analysisGeometry;
    compareSpread(MAX_FRAME_WIDTH, 32, Setting{10, 4, 4, 1}, 40);
    std::uint32_t seen[6] = {};  // sum 9, sum 10, side balance 5, 6, corner balance 3, 4
    for (std::uint32_t b = 0; b < g.totalBlocks; ++b) {
        for (std::uint32_t s = 0; s < 8; ++s) {
            const auto side = static_cast<NeighbourPosition>(s);
            const std::uint32_t sum = facingScoreSum(b, side);
            const std::uint32_t balance = facingSignVotes(b, side);
            const std::uint32_t at = s < 4 ? 2 : 4;
            if (sum == 9 || sum == 10) ++seen[sum - 9];
            if (balance + 1 == (s < 4 ? EDGE_VOTE_MIN : CORNER_VOTE_MIN)) ++seen[at];
            if (balance == (s < 4 ? EDGE_VOTE_MIN : CORNER_VOTE_MIN)) ++seen[at + 1];
        }
    }
    for (std::uint32_t k = 0; k < 6; ++k) EXPECT_GT(seen[k], 50U) << "case " << k;
    for (const Setting& setting : {Setting{1531, 4, 4, 1}, Setting{10, 4, 4, 0}}) {
        compareSpread(MAX_FRAME_WIDTH, 32, setting, 40);
        const auto marked = static_cast<std::uint32_t>(std::count(spreadMarks.begin(), spreadMarks.begin() + g.totalBlocks, 1));
        const auto still = static_cast<std::uint32_t>(std::count(blockMap.begin(), blockMap.begin() + g.totalBlocks, 0));
        EXPECT_GT(marked, g.totalBlocks / 20) << "score level " << setting.scoreLevel;
        EXPECT_GT(still, g.totalBlocks / 20) << "score level " << setting.scoreLevel;
    }
}

}  // namespace
}  // namespace kalmix
