// Time per frame of each stage and of the whole execute call, at three frame
// sizes, on a noisy clip with a moving object. Not part of the test run:
// build the kalmix_bench target and run it.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "analysis/analysis.h"
#include "filter/output_filter.h"
#include "params/filter_params.h"
#include "pipeline/colour_conversion.h"
#include "pipeline/frame_driver.h"
#include "pipeline/geometry.h"

namespace kalmix {
namespace {

std::vector<std::uint8_t> noisyFrame(int width, int height, int index) {
    std::vector<std::uint8_t> frame(static_cast<std::size_t>(width * height * 4));
    std::uint32_t state = 12345u + static_cast<std::uint32_t>(index) * 7919u;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const bool object = x >= 8 * index % width && x < 8 * index % width + 40 && y >= 40 &&
                                y < 100;
            for (int c = 0; c < 3; ++c) {
                state = state * 1664525u + 1013904223u;
                const int base = object ? 200 - 60 * c : 60 + (x * (c + 3) + y * 2) % 120;
                const int value = base + static_cast<int>(state >> 28) - 8;
                frame[static_cast<std::size_t>((y * width + x) * 4 + c)] =
                    static_cast<std::uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value);
            }
        }
    }
    return frame;
}

struct Clip {
    int width, height;
    std::vector<std::vector<std::uint8_t>> frames;
    std::vector<std::uint8_t> destination;
};

Clip makeClip(int width, int height) {
    Clip clip{width, height, {}, std::vector<std::uint8_t>(static_cast<std::size_t>(width * height * 4))};
    for (int i = 0; i < 8; ++i) clip.frames.push_back(noisyFrame(width, height, i));
    return clip;
}

// Drives executeFrame as a host would, position by position.
void BM_ExecuteFrame(benchmark::State& state) {
    Clip clip = makeClip(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    FilterParams params = DEFAULT_FILTER_PARAMS;
    char* block = reinterpret_cast<char*>(&params);
    HostFrame source{{0, 0, clip.width, clip.height}, {}, nullptr};
    HostFrame destination{{0, 0, clip.width, clip.height}, {}, clip.destination.data()};
    HostFrame* sourcePtr = &source;
    HostFrame* destinationPtr = &destination;
    HostFrameRequest request{&block, &sourcePtr, &destinationPtr, 0, 1 << 30};
    sequenceActive = 0;
    std::int32_t position = 0;
    for (auto _ : state) {
        source.pixels = clip.frames[static_cast<std::size_t>(position) % clip.frames.size()].data();
        request.framePosition = position++;
        executeFrame(request);
        benchmark::DoNotOptimize(clip.destination.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ExecuteFrame)->Args({384, 288})->Args({176, 144})->Args({96, 64})->Unit(benchmark::kMicrosecond);

// Prepares the state of a continuing frame, so each stage can be timed alone.
void prepareContinuingFrame(const Clip& clip) {
    planeDescriptor.width = static_cast<std::uint32_t>(clip.width);
    planeDescriptor.height = static_cast<std::uint32_t>(clip.height);
    setUpPlanes(planeDescriptor, planeDescriptor.height, planeDescriptor.width);
    buildBlockOffsets();
    setUpAnalysis(planeDescriptor);
    applyFilterParams(DEFAULT_FILTER_PARAMS);
    convertFrameToPlanes(clip.frames[0].data(), currentPlanes);
    referencePlanes = currentPlanes;
    outputPlanes = currentPlanes;
    convertFrameToPlanes(clip.frames[1].data(), currentPlanes);
    sequenceActive = 1;
}

void BM_ConvertToPlanes(benchmark::State& state) {
    Clip clip = makeClip(384, 288);
    prepareContinuingFrame(clip);
    for (auto _ : state) {
        convertFrameToPlanes(clip.frames[1].data(), currentPlanes);
        benchmark::DoNotOptimize(currentPlanes.data());
    }
}
BENCHMARK(BM_ConvertToPlanes)->Unit(benchmark::kMicrosecond);

void BM_ConvertToFrame(benchmark::State& state) {
    Clip clip = makeClip(384, 288);
    prepareContinuingFrame(clip);
    for (auto _ : state) {
        convertPlanesToFrame(outputPlanes, clip.destination.data());
        benchmark::DoNotOptimize(clip.destination.data());
    }
}
BENCHMARK(BM_ConvertToFrame)->Unit(benchmark::kMicrosecond);

void BM_AnalyseFrame(benchmark::State& state) {
    Clip clip = makeClip(384, 288);
    prepareContinuingFrame(clip);
    for (auto _ : state) {
        analyseFrame();
        benchmark::DoNotOptimize(blockChangeFlags.data());
    }
}
BENCHMARK(BM_AnalyseFrame)->Unit(benchmark::kMicrosecond);

void BM_OutputFilterAllBlocks(benchmark::State& state) {
    Clip clip = makeClip(384, 288);
    prepareContinuingFrame(clip);
    analyseFrame();
    blockChangeFlags.fill(1);
    for (auto _ : state) {
        filterOutputPlanes(outputPlanes, blockChangeFlags.data());
        benchmark::DoNotOptimize(outputPlanes.data());
    }
}
BENCHMARK(BM_OutputFilterAllBlocks)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kalmix
