// The block map: the decision per block, the transition hold over the recent
// maps, and the export into blockChangeFlags.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "analysis/analysis.h"
#include "params/filter_params.h"

namespace kalmix {

std::array<std::uint8_t, BLOCK_CAPACITY> blockMap{};
std::uint32_t blockMapExtent = 0;

namespace {

// Changed when enough weighted change was found, or when the samples moved
// consistently one way.
void decideBlocks(std::uint32_t first, std::uint32_t count, std::int32_t changeCount,
                  std::int32_t balanceCount) {
    const bool balanceTest = thresholds.biasTestEnabled == 1;
    for (std::uint32_t b = first; b < first + count; ++b) {
        std::uint8_t changed =
            blockChangeWeight[b] >= static_cast<std::uint32_t>(changeCount) ? 1 : 0;
        if (changed == 0 && balanceTest && std::abs(blockSignBalance[b]) >= balanceCount)
            changed = 1;
        blockMap[b] = changed;
    }
}

std::uint8_t* historyLayer(std::uint32_t layer) { return &blockMapHistory[layer * BLOCK_CAPACITY]; }

}  // namespace

void decideLumaBlocks() {
    decideBlocks(0, analysisGeometry.lumaBlocks, thresholds.blockChangeCount,
                 thresholds.biasCountThreshold);
}

void decideChromaBlocks() {
    const std::int32_t changeCount =
        chromaBlockThreshold(thresholds.blockChangeCount, CHROMA_COUNT_DIVISOR);
    const std::int32_t balanceCount =
        chromaBlockThreshold(thresholds.biasCountThreshold, CHROMA_BALANCE_DIVISOR);
    decideBlocks(analysisGeometry.lumaBlocks, 2 * analysisGeometry.chromaBlocks, changeCount,
                 balanceCount);
}

void holdBlockMap() {
    const std::int32_t frames = workingParams.transitionFrames;
    if (frames <= 0 || analysisGeometry.lumaBlocks != analysisGeometry.chromaBlocks) return;
    // A record may hold more frames than there are layers behind layer 0.
    const auto n = static_cast<std::uint32_t>(std::min<std::int32_t>(frames, HISTORY_LAYERS - 1));

    // Layer 0 takes the map as decided and spread, so the hold never feeds on
    // its own output. The whole capacity, whatever the frame size.
    std::memcpy(historyLayer(0), blockMap.data(), BLOCK_CAPACITY);
    for (std::uint32_t i = 0; i < BLOCK_CAPACITY; ++i) {
        for (std::uint32_t layer = 1; layer <= n; ++layer) {
            if (historyLayer(layer)[i] != 0) {
                blockMap[i] = 1;
                break;
            }
        }
    }
    for (std::uint32_t layer = n; layer >= 1; --layer) {
        std::memcpy(historyLayer(layer), historyLayer(layer - 1), BLOCK_CAPACITY);
    }
    // Whatever the hold moved came from below the larger of the two extents.
    const std::uint32_t extent =
        std::max({blockMapExtent, blockMapHistoryExtent, analysisGeometry.totalBlocks});
    blockMapExtent = extent;
    blockMapHistoryExtent = extent;
}

void noteBlocksDecided() {
    blockMapExtent = std::max(blockMapExtent, analysisGeometry.totalBlocks);
}

void exportBlockMap() {
    std::copy_n(blockMap.begin(), analysisGeometry.totalBlocks, blockChangeFlags.begin());
}

}  // namespace kalmix
