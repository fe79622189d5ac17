// Fuzzes the vector analysis pass against the plain one on planes painted
// one by one. Frames from a host reach the analysis through the colour
// conversion, so their Y, U and V planes always change together; here the
// input paints each plane in horizontal bands of its own (how much changes,
// by how much, in what pattern), over a block map, a history and per-sample
// arrays left by an earlier frame, at any size and setting. The plain pass
// runs first, then the pass of a fast level the input picks, from the same
// state; every array the pass leaves must match byte for byte.
//
// Built with clang's libFuzzer (KALMIX_FUZZ=ON); run under the sanitizers.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <vector>

#include "analysis/analysis.h"
#include "analysis/dsp/analysis_dsp.h"
#include "fuzz_support.h"
#include "params/filter_params.h"
#include "pipeline/cpu.h"
#include "pipeline/geometry.h"
#include "tests/checkasm/analysis_pass_run.h"
#include "tests/unit/frame_setup.h"

namespace {

using kalmix::fuzz::Input;

std::uint32_t nextRandom(std::uint32_t& state) {
    state = state * 1664525U + 1013904223U;
    return state >> 8;
}

std::uint8_t clampByte(int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); }

// One band of rows of a plane: the share of its samples that change, by how
// much, with what spread, in which pattern.
struct Band {
    std::uint32_t rows;
    std::uint32_t percent;
    int amplitude;  // signed; the sign of some samples flips when mixed
    int jitter;
    std::uint8_t pattern;
    bool mixedSigns;
};

bool inPattern(std::uint8_t pattern, std::uint32_t x, std::uint32_t y) {
    switch (pattern % 12) {  // scattered half the time
        case 1: return x % 3 == 0;                               // thin columns
        case 2: return (x + y) % 4 == 0 || (x + 2 * y) % 7 == 0;  // diagonals, crossing
        case 3: return x / 16 % 2 == y / 4 % 2;                  // alternate chunks of block rows
        case 4: return x % 16 < 2 || x % 16 == 15;               // the edges of 16-column chunks
        case 5: return (x + y) % 2 == 0;                         // checkerboard
        default: return true;                                    // scattered
    }
}

// Paints one plane (samples from `start`, `width` wide, `height` tall) band
// by band, the last band to the bottom.
void paintPlane(Input& in, std::uint32_t start, std::uint32_t width, std::uint32_t height, std::uint32_t& state) {
    static constexpr std::uint8_t NOISE[] = {0, 0, 3, 6, 12};
    const std::uint8_t noise = NOISE[in.byte() % std::size(NOISE)];
    // Under the bands: a smooth picture, a random one, or a new picture (the
    // current one drawn apart from the reference).
    const std::uint8_t base = in.byte() % 3;
    std::uint32_t y = 0;
    while (y < height) {
        // Whole block rows mostly; shares and amplitudes from tables of the
        // values that matter (near the thresholds, scores of 60 and more),
        // which a uniform byte would seldom hit.
        static constexpr std::uint32_t SHARES[] = {0, 10, 35, 50, 90, 100};
        static constexpr int AMPLITUDES[] = {8, 20, 30, 45, 100, 255};
        const std::uint8_t kind = in.byte();
        Band band{(kind & 0x80) != 0 ? 1 + kind % 11U : 4 * (1 + kind % 3U),
                  SHARES[in.byte() % std::size(SHARES)],
                  AMPLITUDES[in.byte() % std::size(AMPLITUDES)],
                  in.byte() % 16,
                  in.byte(),
                  false};
        if ((band.pattern & 0x40) != 0) band.amplitude = -band.amplitude;
        band.mixedSigns = (band.pattern & 0x80) != 0;
        if (in.empty()) band.rows = height;
        for (const std::uint32_t end = std::min(height, y + band.rows); y < end; ++y) {
            for (std::uint32_t x = 0; x < width; ++x) {
                const std::uint32_t q = start + y * width + x;
                int ref = base == 0 ? 30 + static_cast<int>((x * 3 + y * 5) % 190)
                                    : static_cast<int>(nextRandom(state) & 0xFF);
                int cur = base == 2 ? static_cast<int>(nextRandom(state) & 0xFF) : ref;
                if (noise != 0) {
                    ref += static_cast<int>(nextRandom(state) % (2U * noise + 1)) - noise;
                    cur += static_cast<int>(nextRandom(state) % (2U * noise + 1)) - noise;
                }
                if (inPattern(band.pattern, x, y) && nextRandom(state) % 100 < band.percent) {
                    int d = band.amplitude;
                    if (band.jitter != 0) d += static_cast<int>(nextRandom(state) % (2U * band.jitter + 1)) - band.jitter;
                    if (band.mixedSigns && (nextRandom(state) & 1) != 0) d = -d;
                    cur = ref + d;
                }
                kalmix::referencePlanes[q] = clampByte(ref);
                kalmix::currentPlanes[q] = clampByte(cur);
            }
        }
    }
}

template <typename T>
void expectSame(const std::vector<T>& expected, const std::vector<T>& actual, const char* what,
                kalmix::CpuLevel level) {
    const auto at = static_cast<std::size_t>(std::mismatch(expected.begin(), expected.end(), actual.begin()).first -
                                             expected.begin());
    if (at == expected.size()) return;
    const kalmix::AnalysisGeometry& g = kalmix::analysisGeometry;
    std::fprintf(stderr, "kalmix_fuzz_analysis: %ux%u, %s differs at level %s from level c at entry %zu: %lld, not %lld\n",
                 g.lumaWidth, g.lumaHeight, what, kalmix::cpuLevelName(level), at, static_cast<long long>(actual[at]),
                 static_cast<long long>(expected[at]));
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kalmix;
    Input in(data, size);
    const CpuLevel best = supportedCpuLevel();
    if (best == CpuLevel::C || size < 8) return 0;
    const auto level = static_cast<CpuLevel>(1 + in.byte() % static_cast<std::uint32_t>(best));

    // Mostly small frames, whose planes are a few 16-column chunks wide; now
    // and then any size.
    const std::uint8_t shape = in.byte();
    const bool anySize = (shape & 0xE0) == 0xE0;
    const std::uint32_t width = 4 * (1 + in.byte() % (anySize ? MAX_FRAME_WIDTH / 4 : 24));
    const std::uint32_t height = 4 * (1 + in.byte() % (anySize ? MAX_FRAME_HEIGHT / 4 : 16));
    testing::setUpFrame(width, height);
    FilterParams params{in.small(), in.byte() % 11, in.byte() % 12, in.byte() % 9, in.byte() % 2};
    applyFilterParams(params);

    std::uint32_t state = in.word() * 2654435761U + 1U;
    const AnalysisGeometry& g = analysisGeometry;
    paintPlane(in, 0, g.lumaWidth, g.lumaHeight, state);
    paintPlane(in, g.lumaPlaneSize, g.chromaWidth, g.chromaHeight, state);
    paintPlane(in, g.lumaPlaneSize + g.chromaPlaneSize, g.chromaWidth, g.chromaHeight, state);

    // The map and history of earlier frames, and junk in the per-sample arrays.
    testing::PassStart start{std::vector<std::uint8_t>(blockMapHistory.size()),
                             std::vector<std::uint8_t>(blockMap.size()), std::vector<std::uint8_t>(g.totalSamples)};
    const std::uint32_t mapPercent = shape % 101U;
    for (std::uint8_t& v : start.history) v = nextRandom(state) % 100 < mapPercent ? 1 : 0;
    for (std::uint8_t& v : start.map) v = nextRandom(state) % 100 < mapPercent ? 1 : 0;
    for (std::uint8_t& v : start.stale) v = static_cast<std::uint8_t>(nextRandom(state));

    const testing::PassResult expected = testing::runPass(analysePass_c, start);
    selectCpuLevel(level);
    const testing::PassResult actual = testing::runPass(analysisRoutines.analysePass, start);
    expectSame(expected.marks, actual.marks, "sampleChangeMarks", level);
    expectSame(expected.score, actual.score, "sampleChangeScore", level);
    expectSame(expected.counts, actual.counts, "blockChangedSamples", level);
    expectSame(expected.balance, actual.balance, "blockSignBalance", level);
    expectSame(expected.weight, actual.weight, "blockChangeWeight", level);
    expectSame(expected.map, actual.map, "blockMap", level);
    expectSame(expected.flags, actual.flags, "blockChangeFlags", level);
    expectSame(expected.spread, actual.spread, "spreadMarks", level);
    expectSame(expected.history, actual.history, "blockMapHistory", level);
    // The settings of the plane classified last; a frame without blocks classifies none.
    if (g.totalBlocks != 0) {
        expectSame(std::vector<std::int32_t>{expected.step, expected.supportMin},
                   std::vector<std::int32_t>{actual.step, actual.supportMin}, "grade step and support minimum", level);
    }
    return 0;
}
