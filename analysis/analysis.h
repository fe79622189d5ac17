// The per-frame analysis: which 4x4 blocks changed because something moved,
// and which differ from the reference only by noise.
//
// analyseFrame runs, in this fixed order: per-sample change detection, block
// classification of the Y, U and V planes (with the change extent measure),
// the block decision, the border spread, the transition hold, and the export
// of the final block map into blockChangeFlags. Every stage works over the
// module-wide static arrays below, sized for the largest frame, and reads the
// geometry of analysisGeometry and the working thresholds.
#pragma once

#include <array>
#include <cstdint>

#include "pipeline/geometry.h"

namespace kalmix {

// Per-sample arrays, indexed like a PlaneSet; cleared at the start of every pass.
// sampleChangeMarks: bit 7 = the sample changed; low four bits = its number of
// changed neighbours (written when its block is scored).
inline constexpr std::uint8_t CHANGED_MARK = 0x80;
inline constexpr std::uint8_t NEIGHBOUR_COUNT_MASK = 0x0F;
extern std::array<std::uint8_t, PLANE_SET_CAPACITY> sampleChangeMarks;
extern std::array<std::uint8_t, PLANE_SET_CAPACITY> sampleChangeScore;
extern std::array<std::uint8_t, PLANE_SET_CAPACITY> extentMarks;

// Per-block arrays, indexed by the block number over the three planes.
extern std::array<std::uint8_t, BLOCK_CAPACITY> blockChangedSamples;  // 0..16
extern std::array<std::int8_t, BLOCK_CAPACITY> blockSignBalance;      // -16..16
extern std::array<std::uint32_t, BLOCK_CAPACITY> blockChangeWeight;
extern std::array<std::uint8_t, BLOCK_CAPACITY> blockMap;     // 1 = changed
// blockMap holds only zeros from this entry on (entries beyond the frame's
// blocks keep what earlier, larger frames and the hold left there). Every
// writer of blockMap keeps it true; with blockMapHistoryExtent it bounds the
// transition hold.
extern std::uint32_t blockMapExtent;
extern std::array<std::uint8_t, BLOCK_CAPACITY> spreadMarks;  // scratch of the border spread

extern std::uint8_t gradeStep;        // step of the amplitude grades, set per plane
extern std::int32_t planeSupportMin;  // neighbour-support minimum of the plane being classified

// The amplitude grades step by half the change threshold, but never by less than 6.
inline constexpr std::uint8_t MIN_GRADE_STEP = 6;
inline std::uint8_t gradeStepFor(std::int32_t changeThreshold) {
    const auto step = static_cast<std::uint8_t>(changeThreshold >> 1);
    return step < MIN_GRADE_STEP ? MIN_GRADE_STEP : step;
}
// Chroma changes are fainter: one less neighbour suffices there, down to 1.
inline std::int32_t supportMinFor(bool luma, std::int32_t neighbourSupportMin) {
    return (luma || neighbourSupportMin <= 1) ? neighbourSupportMin : neighbourSupportMin - 1;
}

void analyseFrame();

// Pixel change detection.
// The smoothing kernel whose difference the enhanced test weighs against the raw one.
inline constexpr std::int32_t ENHANCED_SMOOTHING_MODE = 5;
void clearAnalysisMaps();
void detectPixelChanges();
void detectPlaneChanges(std::uint32_t firstBlock, std::uint32_t blockCount, std::uint32_t rowStride);
void detectPlaneChangesEnhanced(std::uint32_t firstBlock, std::uint32_t blockCount,
                                std::uint32_t rowStride);

// Block classification.
// A neighbour with at least this many changed neighbours of its own sits
// inside a changed area; the spread factor applies from this count on too.
inline constexpr std::uint8_t DENSE_NEIGHBOUR_COUNT = 7;
void classifyPlaneBlocks(std::uint32_t firstBlock, std::uint32_t blockCount);
void scoreChangedSamples(std::uint32_t block, bool onOuterRing);
void reinforceWeakSamples(std::uint32_t block);
void reinforceFromExtent(std::uint32_t block, bool onOuterRing);
std::uint8_t scoreSample(std::uint32_t position, std::uint32_t rowStride, std::uint8_t changeThreshold,
                         bool edgeSample);
double differenceSpreadFactor(std::uint32_t position, std::uint32_t rowStride);
// The factor of a 3x3 window from the sum of its differences and of their squares.
double spreadFactorOfSums(std::int32_t s1, std::int32_t s2);

// Change extent measure.
inline constexpr std::uint8_t EXTENT_CAP = 8;
inline constexpr std::uint8_t EXTENT_SCORE_LIMIT = 60;
enum class ExtentDirection : std::uint8_t { UP = 0, DOWN = 1, LEFT = 2, RIGHT = 3 };
std::uint8_t measureChangeExtent(std::uint32_t position, std::uint32_t rowStride, bool onOuterRing);

// Block map decision, transition hold and export.
// The chroma block thresholds are the luma ones through single-precision divisors.
inline std::int32_t chromaBlockThreshold(std::int32_t luma, float divisor) {
    return static_cast<std::int32_t>(static_cast<float>(luma) / divisor);
}
void decideLumaBlocks();
void decideChromaBlocks();
void holdBlockMap();
// Raises the extents after the decision wrote the frame's blocks.
void noteBlocksDecided();
void exportBlockMap();

// Block border spread.
inline constexpr std::uint32_t EDGE_VOTE_MIN = 6;
inline constexpr std::uint32_t CORNER_VOTE_MIN = 4;
enum class NeighbourPosition : std::uint8_t {
    WEST = 0, EAST = 1, NORTH = 2, SOUTH = 3,
    NORTH_EAST = 4, NORTH_WEST = 5, SOUTH_EAST = 6, SOUTH_WEST = 7,
};
void spreadBlockMap();
void spreadPlaneBlocks(std::uint32_t firstBlock, std::uint32_t blockCount);
std::uint32_t facingScoreSum(std::uint32_t block, NeighbourPosition side);
std::uint32_t facingSignVotes(std::uint32_t block, NeighbourPosition side);

}  // namespace kalmix
