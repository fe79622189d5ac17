// One run of an analysis pass from a given state, and what it leaves
// behind: shared by the variant test and the analysis fuzzer, which both
// run the plain pass and a fast one from the same state and compare.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "analysis/analysis.h"
#include "pipeline/geometry.h"

namespace kalmix::testing {

// The state an earlier frame left: the block map and the history over the
// whole capacity, and the per-sample arrays of the used area.
struct PassStart {
    std::vector<std::uint8_t> history, map, stale;
};

// Every array the pass leaves, over the used area (the map and the history
// over the whole capacity), and the settings of the plane classified last.
// The extent marks are the plain pass's search memo, never read by the fast
// levels, so they are not kept; the weights they feed are.
struct PassResult {
    std::vector<std::uint8_t> marks, score;
    std::vector<std::uint8_t> counts, map, flags, spread, history;
    std::vector<std::int8_t> balance;
    std::vector<std::uint32_t> weight;
    std::uint8_t step;
    std::int32_t supportMin;
};

inline PassResult runPass(void (*pass)(), const PassStart& start) {
    std::copy(start.history.begin(), start.history.end(), blockMapHistory.begin());
    std::copy(start.map.begin(), start.map.end(), blockMap.begin());
    // Random over the whole capacity: nothing is known to be zero.
    blockMapHistoryExtent = BLOCK_CAPACITY;
    blockMapExtent = BLOCK_CAPACITY;
    // Leftovers of an earlier frame must not show through.
    std::copy(start.stale.begin(), start.stale.end(), sampleChangeScore.begin());
    std::copy(start.stale.begin(), start.stale.end(), extentMarks.begin());
    std::copy(start.stale.begin(), start.stale.end(), sampleChangeMarks.begin());
    pass();
    const std::uint32_t s = analysisGeometry.totalSamples;
    const std::uint32_t b = analysisGeometry.totalBlocks;
    return {{sampleChangeMarks.begin(), sampleChangeMarks.begin() + s},
            {sampleChangeScore.begin(), sampleChangeScore.begin() + s},
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

}  // namespace kalmix::testing
