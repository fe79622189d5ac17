// Fuzzes the execute call with hostile sequences: any bounds (negative,
// oversized, not multiples of 4, a size change mid-sequence), any positions,
// clip totals and parameter values, with and without a parameter record.
// Checks what a host relies on: the call returns 0, a passed-through frame is
// copied exactly, and the destination's alpha is always the source's; and the
// clip gives the same frames at the fastest instruction-set level as with the
// plain routines.
// Built with clang's libFuzzer (KALMIX_FUZZ=ON); run under the sanitizers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "analysis/analysis.h"
#include "fuzz_support.h"
#include "host/host_records.h"
#include "params/filter_params.h"
#include "pipeline/cpu.h"
#include "pipeline/frame_driver.h"
#include "pipeline/geometry.h"

namespace {

using kalmix::fuzz::Input;

using kalmix::fuzz::check;

// The module-wide state a clip can read before writing: the working
// parameters (a call without a record keeps them), the planes, the block maps
// and their history, and the per-sample change maps the output filter reads on
// a fresh start. Both levels start each clip from the same copy of
// it, so a difference in their frames is the routines' own.
struct ModuleState {
    kalmix::PlaneSet current, reference, output;
    decltype(kalmix::blockChangeFlags) flags;
    decltype(kalmix::blockMapHistory) history;
    decltype(kalmix::blockMap) map;
    std::uint32_t historyExtent, mapExtent;  // how far the two hold non-zero entries
    decltype(kalmix::sampleChangeMarks) marks;
    decltype(kalmix::sampleChangeScore) score;
    decltype(kalmix::extentMarks) extent;
    kalmix::StateHeader header;
    std::uint32_t processed;
    kalmix::FilterParams params;
    kalmix::WorkingThresholds derived;

    void save() {
        current = kalmix::currentPlanes, reference = kalmix::referencePlanes, output = kalmix::outputPlanes;
        flags = kalmix::blockChangeFlags, history = kalmix::blockMapHistory, map = kalmix::blockMap;
        historyExtent = kalmix::blockMapHistoryExtent, mapExtent = kalmix::blockMapExtent;
        marks = kalmix::sampleChangeMarks, score = kalmix::sampleChangeScore, extent = kalmix::extentMarks;
        header = kalmix::stateHeader, processed = kalmix::processedFrameCount;
        params = kalmix::workingParams, derived = kalmix::thresholds;
    }
    void restore() const {
        kalmix::currentPlanes = current, kalmix::referencePlanes = reference, kalmix::outputPlanes = output;
        kalmix::blockChangeFlags = flags, kalmix::blockMapHistory = history, kalmix::blockMap = map;
        kalmix::blockMapHistoryExtent = historyExtent, kalmix::blockMapExtent = mapExtent;
        kalmix::sampleChangeMarks = marks, kalmix::sampleChangeScore = score, kalmix::extentMarks = extent;
        kalmix::stateHeader = header, kalmix::processedFrameCount = processed;
        kalmix::workingParams = params, kalmix::thresholds = derived;
    }
};

// Runs the clip an input describes at one instruction-set level, from no
// running sequence, and returns every destination frame.
std::vector<std::vector<std::uint8_t>> runClip(const std::uint8_t* data, std::size_t size,
                                               kalmix::CpuLevel level) {
    kalmix::selectCpuLevel(level);
    std::vector<std::vector<std::uint8_t>> frames;
    Input in(data, size);
    kalmix::sequenceActive = 0;  // each input is a clip of its own
    kalmix::FilterParams params{in.small(), in.small(), in.small(), in.small(), in.small()};
    char* block = reinterpret_cast<char*>(&params);
    std::int32_t position = in.small();
    for (int call = 0; call < 6 && !in.empty(); ++call) {
        const std::int32_t width = in.side(400), height = in.side(300);
        const std::int32_t left = in.small(), top = in.small();
        const std::size_t bytes =
            width > 0 && height > 0 ? static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4 : 0;
        std::vector<std::uint8_t> source(bytes), destination(bytes, 0);
        std::uint32_t state = in.byte() * 2654435761u + 1u;
        for (std::uint8_t& value : source) {
            state = state * 1664525u + 1013904223u;
            value = static_cast<std::uint8_t>(state >> 24);
        }
        HostFrame sourceFrame{{left, top, left + width, top + height}, {}, source.data()};
        HostFrame destinationFrame{{left, top, left + width, top + height}, {}, destination.data()};
        HostFrame* sourcePtr = &sourceFrame;
        HostFrame* destinationPtr = &destinationFrame;
        position += in.small();
        const std::uint8_t flags = in.byte();
        HostFrameRequest request{(flags & 1) != 0 ? nullptr : &block, &sourcePtr, &destinationPtr,
                                 position, static_cast<std::int32_t>(flags >> 6)};
        check(kalmix::executeFrame(request) == 0);

        const bool processed = width >= 0 && height >= 0 && width <= 384 && height <= 288 &&
                               width % 4 == 0 && height % 4 == 0;
        if (!processed) {
            check(source == destination);
        } else {
            for (std::size_t i = 3; i < bytes; i += 4) check(destination[i] == source[i]);
        }
        frames.push_back(std::move(destination));
    }
    return frames;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static ModuleState start;  // static: about 2 MB
    start.save();
    const auto plain = runClip(data, size, kalmix::CpuLevel::C);
    const kalmix::CpuLevel fastest = kalmix::supportedCpuLevel();
    if (fastest != kalmix::CpuLevel::C) {
        start.restore();
        check(runClip(data, size, fastest) == plain);
    }
    return 0;
}
