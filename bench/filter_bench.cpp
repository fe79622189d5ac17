// Time per frame of the whole execute call and of each stage alone, over the
// synthetic scenes of bench/scenes.h, at three parameter sets and three frame
// sizes. Not part of the test run: build the kalmix_bench target and run it
// (docs/performance.md has the commands).
//
// Every benchmark reports
//   frames      frames per second (CPU time of this thread),
//   per_sample  time per Y, U or V sample (three per pixel),
//   changed     the share of blocks the analysis flagged changed, averaged
//               over the frames run, so a scene can be seen doing what it claims.
// Names:
//   BM_Frame/<scene>/<params>/<W>x<H>            the execute call, as a host drives it
//                                                (default also at 96x288 and 384x64)
//   BM_ExecuteFrame/<W>/<H>                      the same for moving/default (the old name)
//   BM_ConvertToPlanes/<W>x<H>, BM_ConvertToFrame/<W>x<H> (with the alpha copy)
//   BM_ConvertToFrameOpaque/<W>x<H>, BM_FrameOpaque/moving/default/<W>x<H>
//                                                the same with alpha 255 throughout
//   BM_AnalyseFrame/<scene>/<params>/<W>x<H>
//   BM_OutputFilter/<scene>/<params>/<W>x<H>     over the blocks the analysis flagged
//   BM_OutputFilterAllBlocks/<W>x<H>             over every block
//   BM_ReferenceRefresh/<scene>/<params>/<W>x<H> the flagged blocks into the reference
// A stage alone is timed inside a running sequence: each iteration runs every
// stage of the next frame and times only the one named.
#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "analysis/analysis.h"
#include "bench/scenes.h"
#include "filter/output_filter.h"
#include "params/filter_params.h"
#include "pipeline/colour_conversion.h"
#include "pipeline/cpu.h"
#include "pipeline/frame_driver.h"
#include "pipeline/geometry.h"

namespace kalmix::bench {
namespace {

struct Size {
    int width, height;
};
constexpr Size SIZES[] = {{96, 64}, {176, 144}, {384, 288}};
// As narrow as the smallest size and as tall as the largest, and the other way
// round: beside SIZES they split a frame's cost into one per row and one per
// sample (bench/stage_costs.py). BM_Frame at the default settings only.
constexpr Size SHAPES[] = {{96, 288}, {384, 64}};

struct ParamSet {
    const char* name;
    FilterParams params;
};
constexpr ParamSet PARAM_SETS[] = {
    {"default", DEFAULT_FILTER_PARAMS},
    {"strong", FilterParams{1, 5, 10, 2, 1}},  // primary 1, secondary 10, enhanced on
    // The default levels with the enhanced test off: every sample judged on
    // its raw difference, a path of its own in the detection.
    {"plain", FilterParams{5, 5, 5, 2, 0}},
};

// Clips are made once per scene and size and kept for the whole run. An
// opaque clip has every alpha byte 255, as decoded video has; the scenes'
// own alpha is a pattern, which the conversion out must copy byte by byte.
const std::vector<Frame>& clipFor(Scene scene, Size size, bool opaque = false) {
    static std::map<std::tuple<int, int, int, bool>, std::vector<Frame>> clips;
    const auto key = std::make_tuple(static_cast<int>(scene), size.width, size.height, opaque);
    auto found = clips.find(key);
    if (found == clips.end()) {
        std::vector<Frame> clip = sceneClip(scene, size.width, size.height);
        if (opaque) {
            for (Frame& frame : clip) {
                for (std::size_t i = 3; i < frame.size(); i += 4) frame[i] = 255;
            }
        }
        found = clips.emplace(key, std::move(clip)).first;
    }
    return found->second;
}

std::uint32_t flaggedBlocks() {
    std::uint32_t count = 0;
    for (std::uint32_t k = 0; k < allBlocks; ++k) count += blockChangeFlags[k] != 0 ? 1U : 0U;
    return count;
}

void reportCounters(benchmark::State& state, Size size, std::uint64_t flagged, std::uint64_t blocksSeen) {
    using benchmark::Counter;
    state.counters["frames"] = Counter(1, Counter::kIsIterationInvariantRate);
    state.counters["per_sample"] =
        Counter(3.0 * size.width * size.height, Counter::kIsIterationInvariantRate | Counter::kInvert);
    if (blocksSeen != 0) {
        state.counters["changed"] = Counter(100.0 * static_cast<double>(flagged) / static_cast<double>(blocksSeen));
    }
}

// Feeds a clip to executeFrame as a host would, position by position.
class HostDriver {
public:
    HostDriver(const std::vector<Frame>& clip, Size size, const FilterParams& params)
        : clip_(clip),
          params_(params),
          block_(reinterpret_cast<char*>(&params_)),
          destinationPixels_(clip.front().size()),
          source_{{0, 0, size.width, size.height}, {}, nullptr},
          destination_{{0, 0, size.width, size.height}, {}, destinationPixels_.data()},
          request_{&block_, &sourcePtr_, &destinationPtr_, 0, 1 << 30} {
        sequenceActive = 0;  // a clip of its own
    }
    void next() {
        source_.pixels = const_cast<std::uint8_t*>(clip_[static_cast<std::size_t>(position_) % clip_.size()].data());
        request_.framePosition = position_++;
        executeFrame(request_);
        benchmark::DoNotOptimize(destinationPixels_.data());
    }

private:
    const std::vector<Frame>& clip_;
    FilterParams params_;
    char* block_;
    std::vector<std::uint8_t> destinationPixels_;
    HostFrame source_;
    HostFrame destination_;
    HostFrame* sourcePtr_ = &source_;
    HostFrame* destinationPtr_ = &destination_;
    HostFrameRequest request_;
    std::int32_t position_ = 0;
};

// One more loop of the scene, which repeats without a cut: the steady state
// the timed frames ran in. Returns the blocks flagged over the loop. Pausing
// the timer to count inside the timed loop cost two clock reads a frame, a
// tenth of a 96x64 frame's time. Kept out of line: bench/instructions.py
// counts the instructions of exactly these frames by this function's name.
[[gnu::noinline]] std::uint64_t countedSceneLoop(HostDriver& driver) {
    std::uint64_t flagged = 0;
    for (int i = 0; i < SCENE_PERIOD; ++i) {
        driver.next();
        flagged += flaggedBlocks();
    }
    return flagged;
}

void runFrames(benchmark::State& state, Scene scene, ParamSet set, Size size, bool opaque) {
    HostDriver driver(clipFor(scene, size, opaque), size, set.params);
    for (int i = 0; i < SCENE_PERIOD; ++i) driver.next();  // past the first frame and the first loop
    for (auto _ : state) driver.next();
    const std::uint64_t flagged = countedSceneLoop(driver);
    reportCounters(state, size, flagged, std::uint64_t{SCENE_PERIOD} * allBlocks);
}

enum class Stage { TO_PLANES, ANALYSIS, OUTPUT_FILTER, OUTPUT_FILTER_ALL, TO_FRAME, REFRESH };

double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// The continuing-frame path of the execute call, stage by stage, with the
// named stage timed in this thread's CPU time (Google Benchmark's manual time).
void runStage(benchmark::State& state, Stage stage, Scene scene, ParamSet set, Size size,
              bool opaque) {
    const std::vector<Frame>& clip = clipFor(scene, size, opaque);
    HostDriver driver(clip, size, set.params);
    for (int i = 0; i < SCENE_PERIOD; ++i) driver.next();  // sets the sequence up and runs it a while
    std::vector<std::uint8_t> destination(clip.front().size());
    std::size_t index = SCENE_PERIOD;
    std::uint64_t flagged = 0, blocksSeen = 0;
    std::vector<std::uint8_t> saved;
    saved.reserve(BLOCK_CAPACITY);
    for (auto _ : state) {
        const std::uint8_t* source = clip[index++ % clip.size()].data();
        double start = threadSeconds();
        toPlanesConversion(source, currentPlanes);
        double timed = stage == Stage::TO_PLANES ? threadSeconds() - start : 0.0;

        start = threadSeconds();
        analyseFrame();
        if (stage == Stage::ANALYSIS) timed = threadSeconds() - start;
        flagged += flaggedBlocks();
        blocksSeen += allBlocks;

        if (stage == Stage::OUTPUT_FILTER_ALL) {
            // Every block, over this frame's evidence; the flags go back for the next stages.
            saved.assign(blockChangeFlags.begin(), blockChangeFlags.begin() + allBlocks);
            std::fill_n(blockChangeFlags.begin(), allBlocks, std::uint8_t{1});
            start = threadSeconds();
            filterOutputPlanes(outputPlanes, blockChangeFlags.data());
            timed = threadSeconds() - start;
            std::copy(saved.begin(), saved.end(), blockChangeFlags.begin());
        } else {
            start = threadSeconds();
            filterOutputPlanes(outputPlanes, blockChangeFlags.data());
            if (stage == Stage::OUTPUT_FILTER) timed = threadSeconds() - start;
        }

        // Conversion out as the driver does it.
        start = threadSeconds();
        convertToDestination(source, destination.data());
        if (stage == Stage::TO_FRAME) timed = threadSeconds() - start;
        start = threadSeconds();
        refreshReferenceBlocks();
        if (stage == Stage::REFRESH) timed = threadSeconds() - start;
        benchmark::DoNotOptimize(destination.data());
        state.SetIterationTime(timed);
    }
    reportCounters(state, size, flagged, blocksSeen);
}

std::string sizeName(Size size) { return std::to_string(size.width) + "x" + std::to_string(size.height); }

// Registered at start-up, before benchmark_main parses the command line.
const bool registered = [] {
    // In the run's header, so that figures of different levels are not mixed up.
    benchmark::AddCustomContext("kalmix_level", cpuLevelName(detectCpuLevel()));
    auto frameBench = [](const std::string& name, Scene scene, ParamSet set, Size size, bool opaque = false) {
        benchmark::RegisterBenchmark(name.c_str(),
                                     [=](benchmark::State& s) { runFrames(s, scene, set, size, opaque); })
            ->Unit(benchmark::kMicrosecond);
    };
    auto stageBench = [](const std::string& name, Stage stage, Scene scene, ParamSet set, Size size,
                         bool opaque = false) {
        // A fixed count: the iterations run whole frames, so letting the timed
        // stage alone decide how many would take minutes for the small ones.
        const int area = size.width * size.height;
        const int iterations = std::max(2 * SCENE_PERIOD, SCENE_PERIOD * (384 * 288) / area);
        benchmark::RegisterBenchmark(name.c_str(),
                                     [=](benchmark::State& s) { runStage(s, stage, scene, set, size, opaque); })
            ->UseManualTime()
            ->Iterations(iterations)
            ->Unit(benchmark::kMicrosecond);
    };
    const ParamSet defaults = PARAM_SETS[0];
    for (Size size : SIZES) {
        frameBench("BM_ExecuteFrame/" + std::to_string(size.width) + "/" + std::to_string(size.height), Scene::MOVING,
                   defaults, size);
    }
    for (Scene scene : ALL_SCENES) {
        for (ParamSet set : PARAM_SETS) {
            for (Size size : SIZES) {
                frameBench(std::string("BM_Frame/") + sceneName(scene) + "/" + set.name + "/" + sizeName(size), scene,
                           set, size);
            }
        }
        for (Size size : SHAPES) {
            frameBench(std::string("BM_Frame/") + sceneName(scene) + "/" + defaults.name + "/" + sizeName(size), scene,
                       defaults, size);
        }
    }
    for (Size size : SIZES) {
        stageBench("BM_ConvertToPlanes/" + sizeName(size), Stage::TO_PLANES, Scene::MOVING, defaults, size);
    }
    for (Scene scene : ALL_SCENES) {
        for (ParamSet set : PARAM_SETS) {
            for (Size size : SIZES) {
                const std::string suffix = std::string(sceneName(scene)) + "/" + set.name + "/" + sizeName(size);
                stageBench("BM_AnalyseFrame/" + suffix, Stage::ANALYSIS, scene, set, size);
                stageBench("BM_OutputFilter/" + suffix, Stage::OUTPUT_FILTER, scene, set, size);
                stageBench("BM_ReferenceRefresh/" + suffix, Stage::REFRESH, scene, set, size);
            }
        }
    }
    for (Size size : SIZES) {
        stageBench("BM_OutputFilterAllBlocks/" + sizeName(size), Stage::OUTPUT_FILTER_ALL, Scene::MOVING, defaults,
                   size);
        stageBench("BM_ConvertToFrame/" + sizeName(size), Stage::TO_FRAME, Scene::MOVING, defaults, size);
    }
    for (Size size : SIZES) {
        stageBench("BM_ConvertToFrameOpaque/" + sizeName(size), Stage::TO_FRAME, Scene::MOVING, defaults, size,
                   true);
        frameBench("BM_FrameOpaque/moving/default/" + sizeName(size), Scene::MOVING, defaults, size, true);
    }
    return true;
}();

}  // namespace
}  // namespace kalmix::bench
