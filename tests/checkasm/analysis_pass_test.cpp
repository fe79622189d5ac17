// The row-wise analysis pass against the staged reference: every array the
// pass leaves behind (marks, scores, extent marks, block counts, weights, the
// block map, the flags and the history) must match byte for byte, at every
// primary level, with and without the enhanced test, on frame sizes from one
// block to the largest and on pictures that drive each stage.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <optional>
#include <vector>

#include "analysis/analysis.h"
#include "analysis/dsp/analysis_dsp.h"
#include "analysis/sample_location.h"
#include "params/filter_params.h"
#include "pipeline/geometry.h"
#include "tests/checkasm/analysis_pass_run.h"
#include "tests/checkasm/checkasm.h"
#include "tests/unit/frame_setup.h"

namespace kalmix {
namespace {

using checkasm::fillRandom;
using checkasm::randomEngine;
using checkasm::sameElements;

enum class Picture {
    NOISE,
    NEW_PICTURE,
    THIN_LINES,
    CLUSTERS,
    CHECKER_BANDS,
    LUMA_LINES_ONLY,
    SEGMENTS,
    SCATTER,
    DENSE_SCATTER,
    EDGE_SCATTER,
    LINES,
    THRESHOLD_EDGES,
    PATCHES,
    CHUNK_ISLANDS,
    STRONG_TOP_BLOCK_ROW
};

// The lines that Picture::LINES draws in the luminance plane: through
// (x, y) in direction (dx, dy), from `back` samples behind to `ahead` in front.
struct Line {
    int x, y, dx, dy, back, ahead;
};
std::vector<Line> drawnLines;

const char* pictureName(Picture p) {
    switch (p) {
        case Picture::NOISE: return "noise";
        case Picture::NEW_PICTURE: return "new picture";
        case Picture::THIN_LINES: return "thin lines";
        case Picture::CLUSTERS: return "clusters";
        case Picture::CHECKER_BANDS: return "checker bands";
        case Picture::LUMA_LINES_ONLY: return "lines in luma only";
        case Picture::SEGMENTS: return "segments";
        case Picture::SCATTER: return "scatter";
        case Picture::DENSE_SCATTER: return "dense scatter";
        case Picture::EDGE_SCATTER: return "scatter at the planes' top and bottom";
        case Picture::LINES: return "lines";
        case Picture::THRESHOLD_EDGES: return "threshold edges";
        case Picture::PATCHES: return "patches";
        case Picture::CHUNK_ISLANDS: return "chunk islands";
        case Picture::STRONG_TOP_BLOCK_ROW: return "strong top block row";
    }
    return "?";
}

using testing::setUpFrame;
// Picture::STRONG_TOP_BLOCK_ROW: the percentages of changed samples in the
// colour planes' top block row and below it.
int strongTopShare = 90;
int sparseShare = 35;

std::uint8_t clampByte(int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); }

// Picks, per picture, which 16-column chunk of which block row of which
// plane Picture::CHUNK_ISLANDS fills, and how.
std::uint32_t islandSeed = 0;
int islandKind(const SampleLocation& at) {
    const std::uint32_t key = ((at.row / 4) * 977U + (at.column / 16) * 131U + at.planeStart) ^ islandSeed;
    return static_cast<int>(((key * 2654435761U) >> 16) % 6);
}

// Straight one-sample-wide segments of change in all eight directions, 5 to
// 12 samples long (chains of 3 to 10 qualifying samples: the ends have one
// changed neighbour), some crossing or touching, many running into a plane's
// edges or across block rows and columns.
void drawSegments(std::uint32_t samples, std::uint32_t width) {
    auto& rng = randomEngine();
    const std::uint32_t height = samples / width;
    std::uniform_int_distribution<std::uint32_t> column(0, width - 1);
    std::uniform_int_distribution<std::uint32_t> row(0, height - 1);
    std::uniform_int_distribution<int> step(-1, 1);
    std::uniform_int_distribution<int> length(5, 12);
    const std::uint32_t count = std::max<std::uint32_t>(1, samples / 40);
    for (std::uint32_t n = 0; n < count; ++n) {
        int x = static_cast<int>(column(rng));
        int y = static_cast<int>(row(rng));
        const int dx = step(rng);
        const int dy = dx == 0 ? (step(rng) < 0 ? -1 : 1) : step(rng);
        for (int i = length(rng); i > 0; --i) {
            if (x < 0 || y < 0 || x >= static_cast<int>(width) || y >= static_cast<int>(height)) break;
            const auto q = static_cast<std::uint32_t>(y) * width + static_cast<std::uint32_t>(x);
            currentPlanes[q] = clampByte(referencePlanes[q] + (referencePlanes[q] < 128 ? 60 : -60));
            x += dx;
            y += dy;
        }
    }
}

// Sparse square patches of change, 2 to 7 samples wide, anywhere (also over
// a plane's edges): the samples inside are densely surrounded, so their
// window variance is worked out, around 70, 200 or 400 by the patch's
// spread of differences; the rows have such samples in a few 16-sample
// chunks only, next to chunks without any. The blocks beside a patch see
// part of it on their facing samples, so the border spread goes both ways.
void drawPatches(std::uint32_t samples, std::uint32_t width) {
    auto& rng = randomEngine();
    const auto w = static_cast<int>(width);
    const auto h = static_cast<int>(samples / width);
    std::uniform_int_distribution<int> column(-3, w - 1);
    std::uniform_int_distribution<int> row(-3, h - 1);
    std::uniform_int_distribution<int> size(2, 7);
    const int spreads[] = {14, 25, 35};
    std::uniform_int_distribution<int> spreadOf(0, 2);
    std::uniform_int_distribution<int> percent(0, 99);
    const std::uint32_t count = std::max<std::uint32_t>(1, samples / 150);
    for (std::uint32_t n = 0; n < count; ++n) {
        const int x0 = column(rng);
        const int y0 = row(rng);
        const int side = size(rng);
        const int spread = spreads[spreadOf(rng)];
        const int sign = percent(rng) < 50 ? 1 : -1;
        std::uniform_int_distribution<int> jitter(-spread, spread);
        for (int y = std::max(y0, 0); y < std::min(y0 + side, h); ++y) {
            for (int x = std::max(x0, 0); x < std::min(x0 + side, w); ++x) {
                const auto q = static_cast<std::uint32_t>(y * w + x);
                currentPlanes[q] = clampByte(referencePlanes[q] + sign * (45 + jitter(rng)));
            }
        }
    }
}

// Reference and current pictures of one kind over the whole used area.
void paint(Picture picture, std::uint32_t samples, std::uint32_t width) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> small(-9, 9);
    std::uniform_int_distribution<int> percent(0, 99);
    auto& rng = randomEngine();
    islandSeed = static_cast<std::uint32_t>(rng());
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
            case Picture::SEGMENTS:
            case Picture::LINES:
            case Picture::PATCHES:
                break;  // drawn below
            case Picture::THRESHOLD_EDGES: {
                // Differences at and next to the plane's bias and change
                // thresholds, both signs, next to the limits of a signed
                // byte (which the fast judge saturates to), and 0 against
                // 255. Some 16-sample
                // runs (aligned with the steps of a smoothed row's middle,
                // which start at column 4) stay within the bias threshold,
                // so no sample of theirs is ever smoothed.
                const bool luma = q < analysisGeometry.lumaPlaneSize;
                const int b = luma ? thresholds.lumaBiasThreshold : thresholds.chromaBiasThreshold;
                const int c = luma ? thresholds.lumaChangeThreshold : thresholds.chromaChangeThreshold;
                const bool quiet = ((x + 12) / 16 * 5 + y * 3) % 7 < 3;
                const int edges[] = {0, b - 1, b, b + 1, c - 1, c, c + 1, c + 2, 127, 128, 129, 255};
                constexpr int EDGES = static_cast<int>(std::size(edges));
                const int sign = percent(rng) < 50 ? 1 : -1;
                if (quiet) {
                    cur = ref - sign * std::uniform_int_distribution<int>(0, b)(rng);
                } else {
                    const int d = edges[std::uniform_int_distribution<int>(0, EDGES - 1)(rng)];
                    if (d == 255) {
                        ref = sign > 0 ? 255 : 0;
                        cur = 255 - ref;
                    } else if (d > 100) {
                        ref = sign > 0 ? 200 : 200 - d;
                        cur = ref - sign * d;
                    } else {
                        cur = ref - sign * d;
                    }
                }
                break;
            }
            case Picture::SCATTER:
            case Picture::DENSE_SCATTER:
                // Random change at a third or a half of the samples: most
                // changed samples have 2 to 6 changed neighbours, so traces
                // branch at every step and many reach a chain of 8 by one
                // of several paths.
                if (percent(rng) < (picture == Picture::SCATTER ? 33 : 50)) cur += 45;
                break;
            case Picture::CHUNK_ISLANDS: {
                // Change in some 16-column chunks of some block rows only,
                // beside chunks and block rows without any: sparse (weak
                // samples and seeds), dense (the spread factor), or only in
                // the chunk's first and last columns and the plane's edge
                // columns (neighbours across into chunks without change).
                const SampleLocation at = locateSample(q, width);
                const int kind = islandKind(at);
                const bool edgeColumn = at.column % 16 == 0 || at.column % 16 == 15 || at.column + 1 == at.rowStride;
                if ((kind == 3 && percent(rng) < 25) || (kind == 4 && percent(rng) < 85) ||
                    (kind == 5 && edgeColumn && percent(rng) < 70)) {
                    cur += 45 + small(rng);
                }
                break;
            }
            case Picture::STRONG_TOP_BLOCK_ROW: {
                const SampleLocation at = locateSample(q, width);
                if (q < analysisGeometry.lumaPlaneSize) {
                    if (percent(rng) < 50) cur += 45;
                } else if (at.row < BLOCK_HEIGHT) {
                    if (percent(rng) < strongTopShare) cur += 100;
                } else if (percent(rng) < sparseShare) {
                    cur += 30 + small(rng);
                }
                break;
            }
            case Picture::EDGE_SCATTER: {
                // Branching change only in the first and last nine rows of
                // each plane: windows of horizontal traces that reach past the
                // start or the end of the whole plane set on the largest frame.
                const SampleLocation at = locateSample(q, width);
                if ((at.row < 9 || at.row + 9 >= at.rows) && percent(rng) < 45) cur += 45;
                break;
            }
        }
        referencePlanes[q] = clampByte(ref);
        currentPlanes[q] = clampByte(cur);
    }
    if (picture == Picture::SEGMENTS) drawSegments(samples, width);
    if (picture == Picture::PATCHES) drawPatches(samples, width);
    if (picture == Picture::LINES) {
        const auto w = static_cast<int>(width);
        const auto h = static_cast<int>(analysisGeometry.lumaPlaneSize / width);
        for (const Line& line : drawnLines) {
            for (int i = -line.back; i <= line.ahead; ++i) {
                const int x = line.x + i * line.dx;
                const int y = line.y + i * line.dy;
                if (x < 0 || y < 0 || x >= w || y >= h) continue;
                const auto q = static_cast<std::uint32_t>(y * w + x);
                currentPlanes[q] = clampByte(currentPlanes[q] + 70);
            }
        }
    }
}

using testing::PassResult;
using testing::PassStart;
using testing::runPass;

void expectSame(const PassResult& e, const PassResult& a, std::uint32_t width) {
    const std::size_t s = e.marks.size();
    const std::size_t b = e.counts.size();
    EXPECT_TRUE(sameElements(e.marks.data(), a.marks.data(), s, width)) << "sampleChangeMarks";
    EXPECT_TRUE(sameElements(e.score.data(), a.score.data(), s, width)) << "sampleChangeScore";
    EXPECT_TRUE(sameElements(e.counts.data(), a.counts.data(), b)) << "blockChangedSamples";
    EXPECT_TRUE(sameElements(e.balance.data(), a.balance.data(), b)) << "blockSignBalance";
    EXPECT_TRUE(sameElements(e.weight.data(), a.weight.data(), b)) << "blockChangeWeight";
    EXPECT_TRUE(sameElements(e.map.data(), a.map.data(), e.map.size())) << "blockMap";
    EXPECT_TRUE(sameElements(e.flags.data(), a.flags.data(), b)) << "blockChangeFlags";
    EXPECT_TRUE(sameElements(e.spread.data(), a.spread.data(), b)) << "spreadMarks";
    EXPECT_TRUE(sameElements(e.history.data(), a.history.data(), e.history.size())) << "history";
    // The settings of the plane classified last; a frame without blocks
    // classifies none, so what is left there means nothing.
    if (b != 0) {
        EXPECT_EQ(e.step, a.step);
        EXPECT_EQ(e.supportMin, a.supportMin);
    }
}

// One frame at one setting: the reference, then every fast level, from the
// same history, block map and stale per-sample arrays.
void compareLevels(std::uint32_t width, std::uint32_t height, Picture picture, std::int32_t level,
                   std::int32_t enhanced, std::optional<std::int32_t> biasThreshold = std::nullopt) {
    setUpFrame(width, height);
    FilterParams params = DEFAULT_FILTER_PARAMS;
    params.primaryLevel = level;
    params.enhancedSuppression = enhanced;
    params.transitionFrames = 1 + level % 7;
    applyFilterParams(params);
    if (biasThreshold) {
        thresholds.lumaBiasThreshold = *biasThreshold;
        thresholds.chromaBiasThreshold = *biasThreshold;
    }
    paint(picture, analysisGeometry.totalSamples, width);

    PassStart start{std::vector<std::uint8_t>(blockMapHistory.size()), std::vector<std::uint8_t>(blockMap.size()),
                    std::vector<std::uint8_t>(analysisGeometry.totalSamples)};
    fillRandom(start.history.data(), start.history.size(), 0, 1);
    fillRandom(start.map.data(), start.map.size(), 0, 1);
    fillRandom(start.stale.data(), start.stale.size(), 0, 255);

    const PassResult expected = runPass(analysePass_c, start);
    for (CpuLevel cpu : checkasm::fastLevels()) {
        checkasm::ScopedCpuLevel scoped(cpu);
        SCOPED_TRACE(checkasm::levelLabel(cpu) + ", " + std::to_string(width) + "x" +
                     std::to_string(height) + ", " + pictureName(picture) + ", primary level " +
                     std::to_string(level) + (enhanced != 0 ? ", enhanced" : ""));
        expectSame(expected, runPass(analysisRoutines.analysePass, start), width);
    }
}

TEST(AnalysisPass, MatchesTheReferenceAtEveryLevelAndSize) {
    if (checkasm::fastLevels().empty()) GTEST_SKIP() << "no fast level on this machine";
    // No columns at all (a host may send rows of no pixels), one block, one
    // block row or column, a ring with no interior, odd block counts, and
    // sizes whose rows do not fill a vector: the smoothed middle of a row
    // (width - 8) is 4, 8, 12, 16, 20, 24 and more samples wide.
    struct Size {
        std::uint32_t width, height;
        bool everyLevel;  // only the ends of the rows are new in the others
    };
    const Size sizes[] = {
        {0, 8, true},    {4, 4, true},    {8, 4, true},   {4, 12, true},   {12, 12, true},  {16, 12, false},
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

// Detection judges raw rows in 8-bit lanes when the bias threshold is
// positive and 16-bit lanes otherwise, and smoothed differences saturated to
// signed bytes where the thresholds allow: every primary level (thresholds
// from 0 to 16), both modes, differences at the thresholds and at the limits
// of a byte, rows whose whole steps end at 16, 32 or between.
TEST(AnalysisPass, DetectionMatchesTheReferenceAtTheThresholds) {
    if (checkasm::fastLevels().empty()) GTEST_SKIP() << "no fast level on this machine";
    const std::pair<std::uint32_t, std::uint32_t> sizes[] = {
        {12, 12}, {40, 12}, {44, 16}, {72, 12}, {108, 20}, {384, 12}};
    for (const auto& [width, height] : sizes) {
        for (std::int32_t level = 0; level <= 10; ++level) {
            for (std::int32_t enhanced : {0, 1}) {
                compareLevels(width, height, Picture::THRESHOLD_EDGES, level, enhanced);
                if (HasFailure()) return;
            }
        }
        // Bias thresholds beyond a signed byte, which no primary level gives:
        // raw rows still judge them in bytes, smoothed rows may not.
        for (std::int32_t bias : {130, 254}) {
            for (std::int32_t enhanced : {0, 1}) {
                compareLevels(width, height, Picture::THRESHOLD_EDGES, 5, enhanced, bias);
                if (HasFailure()) return;
            }
        }
    }
}

// The spread factor is worked out for the 16-sample chunks of a row that
// hold a densely surrounded sample (and the last, narrower chunk), and the
// border spread tests each still block once on every side with a changed
// block opposite: patches of change in a few chunks of each row, over the
// planes' edges and corners, on rows of blocks shorter and longer than 16,
// with and without the bias test's votes; the spread takes 8 or 16 blocks a
// step, so also planes one block wide and rows of exactly 16 blocks.
TEST(AnalysisPass, SpreadMatchesTheReferenceAroundPatches) {
    if (checkasm::fastLevels().empty()) GTEST_SKIP() << "no fast level on this machine";
    const std::pair<std::uint32_t, std::uint32_t> sizes[] = {
        {4, 24}, {12, 12}, {20, 16}, {36, 44}, {64, 16}, {68, 20}, {100, 28}, {132, 36}, {MAX_FRAME_WIDTH, 48}};
    for (const auto& [width, height] : sizes) {
        for (int round = 0; round < 6; ++round) {
            const std::int32_t levels[] = {1, 5, 10};
            compareLevels(width, height, Picture::PATCHES, levels[round % 3], round / 3);
            if (HasFailure()) return;
        }
        // Bias thresholds no primary level gives, which the border votes must
        // still count as the reference does: below 0 (a sample votes both
        // ways), 0, and at the end of the byte range and beyond it; with the
        // enhanced test too, whose smoothed rows judge differences in signed
        // bytes only up to 127.
        for (std::int32_t bias : {-3, 0, 254, 255}) {
            SCOPED_TRACE("bias threshold " + std::to_string(bias));
            for (Picture picture : {Picture::PATCHES, Picture::NOISE}) {
                for (std::int32_t enhanced : {0, 1}) {
                    compareLevels(width, height, picture, 5, enhanced, bias);
                    if (HasFailure()) return;
                }
            }
        }
    }
}

// The scoring and the weak reinforcement visit only the 16-column chunks of
// a block row whose blocks hold a change (two at a time at AVX2): islands of
// change in a few chunks, beside chunks and block rows without any, with
// changed samples on the chunks' edge columns whose neighbours lie in
// chunks not visited, on widths whose rows end 4, 8 or 12 samples into a
// chunk and 4 to 28 into a 32-sample step, and at the planes' edges.
TEST(AnalysisPass, ScoringMatchesTheReferenceAroundChunksWithoutChange) {
    if (checkasm::fastLevels().empty()) GTEST_SKIP() << "no fast level on this machine";
    const std::pair<std::uint32_t, std::uint32_t> sizes[] = {
        {4, 8},   {12, 8},  {20, 12}, {28, 16}, {36, 20},  {44, 8},   {52, 24},
        {60, 12}, {64, 16}, {68, 28}, {84, 16}, {100, 20}, {196, 16}, {MAX_FRAME_WIDTH, 16}};
    for (const auto& [width, height] : sizes) {
        for (int round = 0; round < 12; ++round) {
            const std::int32_t levels[] = {1, 5, 10};
            compareLevels(width, height, Picture::CHUNK_ISLANDS, levels[round % 3], (round / 3) % 2);
            if (HasFailure()) return;
        }
    }
}

// The fast passes decide the spread factor in integers. Against the
// reference's doubles, for every sum of differences s1 a window can have:
// the sums of squares s2 around each place where the reference's factor
// steps up (it only grows with s2), the ends of the range, and random pairs.
TEST(AnalysisPass, SpreadCodesInIntegersMatchTheDoubles) {
    using Variant = void (*)(const std::int16_t*, const std::int32_t*, std::uint32_t, std::uint8_t*);
    std::vector<std::pair<CpuLevel, Variant>> variants;
#if defined(KALMIX_HAVE_SSE2)
    variants.emplace_back(CpuLevel::SSE2, sse2::spreadCodesOfSums);
#endif
#if defined(KALMIX_HAVE_AVX2)
    if (CpuLevel::AVX2 <= supportedCpuLevel()) variants.emplace_back(CpuLevel::AVX2, avx2::spreadCodesOfSums);
#endif
#if defined(KALMIX_HAVE_AVX512)
    if (CpuLevel::AVX512 <= supportedCpuLevel()) {
        variants.emplace_back(CpuLevel::AVX512, avx512::spreadCodesOfSums);
    }
#endif
    if (variants.empty()) GTEST_SKIP() << "no fast level in this build";
    constexpr std::int32_t MAX_S1 = 9 * 255;
    constexpr std::int32_t MAX_S2 = 9 * 255 * 255;
    std::vector<std::int16_t> s1;
    std::vector<std::int32_t> s2;
    // Nine differences with sum a have squares summing to at least a^2 / 9.
    auto fewestSquares = [](std::int32_t a) { return (a * a + 8) / 9; };
    auto add = [&](std::int32_t a, std::int32_t b) {
        if (b < fewestSquares(a) || b > MAX_S2) return;
        s1.push_back(static_cast<std::int16_t>(a));
        s2.push_back(b);
    };
    for (std::int32_t a = -MAX_S1; a <= MAX_S1; ++a) {
        for (double factor : {1.0, 1.5}) {
            std::int32_t low = fewestSquares(a);
            std::int32_t high = MAX_S2 + 1;
            while (low < high) {
                const std::int32_t middle = low + (high - low) / 2;
                if (spreadFactorOfSums(a, middle) >= factor) {
                    high = middle;
                } else {
                    low = middle + 1;
                }
            }
            for (std::int32_t b = low - 4; b <= low + 4; ++b) add(a, b);
        }
        add(a, fewestSquares(a));
        add(a, MAX_S2);
    }
    std::uniform_int_distribution<std::int32_t> anyS1(-MAX_S1, MAX_S1);
    for (int i = 0; i < 200000; ++i) {
        const std::int32_t a = anyS1(randomEngine());
        add(a, std::uniform_int_distribution<std::int32_t>(fewestSquares(a), MAX_S2)(randomEngine()));
    }
    std::vector<std::uint8_t> expected(s1.size());
    for (std::size_t i = 0; i < s1.size(); ++i) {
        // The integer form relies on no window landing exactly on a level.
        const std::int64_t millionths = std::int64_t{111100} * s2[i] - std::int64_t{12346} * s1[i] * s1[i];
        ASSERT_NE(millionths, 200000000) << s1[i] << ", " << s2[i];
        ASSERT_NE(millionths, 400000000) << s1[i] << ", " << s2[i];
        const double f = spreadFactorOfSums(s1[i], s2[i]);
        expected[i] = f == 1.5 ? 2 : f == 1.0 ? 1 : 0;
    }
    for (const auto& [level, variant] : variants) {
        // Runs of 29: sixteen windows in wide vectors where the level has
        // them, eight in narrow ones, five one at a time.
        std::vector<std::uint8_t> actual(s1.size(), 0xEE);
        for (std::size_t i = 0; i < s1.size(); i += 29) {
            const auto count = static_cast<std::uint32_t>(std::min<std::size_t>(29, s1.size() - i));
            variant(&s1[i], &s2[i], count, &actual[i]);
        }
        const std::size_t at = checkasm::firstDifference(expected.data(), actual.data(), expected.size());
        EXPECT_EQ(at, expected.size()) << checkasm::levelLabel(level) << ": s1 " << s1[at] << ", s2 " << s2[at]
                                       << ", expected code " << +expected[at] << ", got " << +actual[at];
    }
}

// The extent traces work on windows of 15 samples around the seed, on bit
// pictures built 16 x 16 samples at a time, and follow the first chain of 8 in
// step order: pictures full of branching chains, chains of exactly 7, 8 and 9
// samples, and seeds next to the plane's edges, to the end of a 16-sample
// tile and to blocks not yet measured, on frames one block wide or high.
TEST(AnalysisPass, ExtentTracesMatchTheReference) {
    if (checkasm::fastLevels().empty()) GTEST_SKIP() << "no fast level on this machine";
    const std::pair<std::uint32_t, std::uint32_t> sizes[] = {
        {4, 4}, {4, 40}, {40, 4}, {8, 64}, {64, 8}, {16, 16}, {20, 36}, {44, 28}, {84, 52}};
    for (const auto& [width, height] : sizes) {
        for (Picture picture : {Picture::SEGMENTS, Picture::SCATTER, Picture::DENSE_SCATTER}) {
            // Several pictures of each kind; primary levels 5 and 10 differ in
            // which seeds a score of 60 already excludes.
            for (int round = 0; round < 6; ++round) {
                compareLevels(width, height, picture, round % 2 == 0 ? 5 : 10, round % 3 == 0 ? 1 : 0);
                if (HasFailure()) return;
            }
        }
    }
}

// Straight lines 9 or 10 samples long (chains of 7 or 8 qualifying samples)
// in each of the eight directions, one per 16 x 16 cell, through all sixteen
// places in a block: chains that run into blocks not measured yet (to the
// right in the same block row, and below it), across 16-sample tile edges,
// and, with the grid shifted, into the plane's edges. The lines lie at least
// two samples apart, so each is traced on its own.
TEST(AnalysisPass, ExtentTracesMatchTheReferenceOnSingleLines) {
    if (checkasm::fastLevels().empty()) GTEST_SKIP() << "no fast level on this machine";
    constexpr int SIZE = 64;
    for (int length : {9, 10}) {
        for (int dy = -1; dy <= 1; ++dy) {
            for (int dx = -1; dx <= 1; ++dx) {
                if (dx == 0 && dy == 0) continue;
                for (int shift : {0, -6, 5}) {
                    drawnLines.clear();
                    for (int i = 0; i < 4; ++i) {
                        for (int j = 0; j < 4; ++j) {
                            drawnLines.push_back({16 * i + 6 + j + shift, 16 * j + 6 + i + shift, dx, dy,
                                                  length / 2, length - 1 - length / 2});
                        }
                    }
                    SCOPED_TRACE("lines stepping " + std::to_string(dx) + "," + std::to_string(dy) +
                                 ", length " + std::to_string(length) + ", shifted " + std::to_string(shift));
                    compareLevels(SIZE, SIZE, Picture::LINES, 5, 0);
                    if (HasFailure()) return;
                }
            }
        }
    }
}

// Horizontal traces write their marks eight columns at a time, row by row,
// reading and writing back the bytes beside the ones entered; near the
// start and the end of the plane set they write one mark at a time. Change
// along the top and bottom rows of every plane, on the largest frame (the
// last plane ends at the arrays' end) and on small ones, with seeds in the
// first and last columns.
TEST(AnalysisPass, ExtentTracesMatchTheReferenceAtThePlaneSetEnds) {
    if (checkasm::fastLevels().empty()) GTEST_SKIP() << "no fast level on this machine";
    const std::pair<std::uint32_t, std::uint32_t> sizes[] = {
        {MAX_FRAME_WIDTH, MAX_FRAME_HEIGHT}, {MAX_FRAME_WIDTH, 8}, {8, MAX_FRAME_HEIGHT}, {12, 20}, {4, 4}};
    for (const auto& [width, height] : sizes) {
        for (int round = 0; round < 3; ++round) {
            compareLevels(width, height, Picture::EDGE_SCATTER, 5, round == 1 ? 1 : 0);
            if (HasFailure()) return;
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
    compareLevels(MAX_FRAME_WIDTH, MAX_FRAME_HEIGHT, Picture::SCATTER, 5, 0);
    compareLevels(MAX_FRAME_WIDTH, MAX_FRAME_HEIGHT, Picture::SEGMENTS, 5, 1);
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
            setUpFrame(step.width, step.height);
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

// The extent measure counts chains up from the rows above a seed's block
// row. A plane's first block row with seeds may lie below block rows whose
// changed samples all score 60 or more (strong change beside densely changed
// samples), so that none of them is a seed. The counts up through those rows
// must come from this plane's samples, not from rows an earlier plane left
// behind. The pictures: luminance full of change, and colour planes whose
// top block row is nearly all strongly changed, over sparse change.
TEST(AnalysisPass, ExtentTracesMatchTheReferenceBelowABlockRowWithoutSeeds) {
    if (checkasm::fastLevels().empty()) GTEST_SKIP() << "no fast level on this machine";
    const std::pair<std::uint32_t, std::uint32_t> sizes[] = {{4, 8}, {8, 8}, {8, 12}, {12, 12}, {16, 12}, {40, 12}};
    for (const auto& [width, height] : sizes) {
        for (int round = 0; round < 150; ++round) {
            strongTopShare = 85 + round % 15;
            sparseShare = 10 + (round * 7) % 60;
            compareLevels(width, height, Picture::STRONG_TOP_BLOCK_ROW, 1 + round % 10, 0);
            if (HasFailure()) return;
        }
    }
}

}  // namespace
}  // namespace kalmix
