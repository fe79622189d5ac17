// Sample planes, the 4x4 block grid and the module-wide frame buffers.
//
// A frame is held as three full-resolution planes (Y, then U, then V) back to
// back in one PlaneSet, each plane width x height bytes with a row stride of
// exactly the frame width. Blocks are numbered over all three planes: the Y
// blocks row by row, then U, then V. Every buffer is static and sized for the
// largest frame (384 x 288); nothing is allocated while frames are processed.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

namespace kalmix {

inline constexpr std::uint32_t MAX_FRAME_WIDTH = 384;
inline constexpr std::uint32_t MAX_FRAME_HEIGHT = 288;
inline constexpr std::uint32_t BLOCK_WIDTH = 4;
inline constexpr std::uint32_t BLOCK_HEIGHT = 4;
inline constexpr std::uint32_t BLOCK_SAMPLES = BLOCK_WIDTH * BLOCK_HEIGHT;
inline constexpr std::uint32_t PLANE_SET_CAPACITY = 3 * MAX_FRAME_WIDTH * MAX_FRAME_HEIGHT;  // 331,776
inline constexpr std::uint32_t BLOCK_CAPACITY = PLANE_SET_CAPACITY / BLOCK_SAMPLES;           // 20,736
inline constexpr std::uint32_t HISTORY_LAYERS = 8;
static_assert(PLANE_SET_CAPACITY == 331776 && BLOCK_CAPACITY == 20736);

using PlaneSet = std::array<std::uint8_t, PLANE_SET_CAPACITY>;

// Frame-level buffers, zero at load.
extern PlaneSet currentPlanes;    // the frame being processed
extern PlaneSet referencePlanes;  // per block: the input of the last frame in which it changed
extern PlaneSet outputPlanes;     // the filtered result, kept as the previous output
extern std::array<std::uint8_t, BLOCK_CAPACITY> blockChangeFlags;
extern std::array<std::uint32_t, BLOCK_CAPACITY> blockOffsets;
extern std::array<std::uint8_t, HISTORY_LAYERS * BLOCK_CAPACITY> blockMapHistory;  // [layer][block]
// Every history layer holds only zeros from this entry on, so the transition
// hold can stop at the used area and still record what the state file keeps.
// Whoever writes the history keeps it true: the fresh start (0), the state
// file's load (the extent of what it read) and the hold. Writing zeros never
// breaks it; writing anything else beyond it must raise it.
extern std::uint32_t blockMapHistoryExtent;
// The extent of the non-zero entries of a history as stored: one past the
// last block whose entry is non-zero in any layer.
std::uint32_t measureHistoryExtent(const std::uint8_t* history);

struct PlaneDescriptor {
    PlaneSet* referencePlanes;
    PlaneSet* currentPlanes;
    std::uint8_t* changeFlags;
    std::uint32_t* offsets;
    std::uint32_t height;
    std::uint32_t width;
    std::uint8_t blockWidth;
    std::uint8_t blockHeight;
};

extern PlaneDescriptor planeDescriptor;
// Derived block counts, kept beside the descriptor.
extern std::uint32_t blocksPerRow;
extern std::uint32_t blockRows;
extern std::uint32_t blocksPerPlane;
extern std::uint32_t allBlocks;

// The geometry as the analysis and output stages read it. Luma and chroma
// dimensions are kept apart; with full-resolution chroma they are equal.
struct AnalysisGeometry {
    PlaneSet* referencePlanes;
    PlaneSet* currentPlanes;
    std::uint8_t* changeFlags;
    std::uint32_t* offsets;
    std::uint8_t blockWidth;
    std::uint8_t blockHeight;
    std::uint32_t lumaWidth;
    std::uint32_t lumaHeight;
    std::uint32_t chromaWidth;
    std::uint32_t chromaHeight;
    std::uint32_t lumaPlaneSize;
    std::uint32_t chromaPlaneSize;
    std::uint32_t totalSamples;
    std::uint32_t lumaBlocks;
    std::uint32_t chromaBlocks;  // blocks of one colour-difference plane
    std::uint32_t totalBlocks;
    std::uint32_t lumaBlocksPerRow;
    std::uint32_t chromaBlocksPerRow;
    std::uint32_t lumaBlockRows;
    std::uint32_t chromaBlockRows;
};

extern AnalysisGeometry analysisGeometry;

// The first flagged block in [from, end) of a row of block flags, or end.
// Unflagged blocks are passed over eight at a time: most of a frame is
// usually unchanged, and a flag-by-flag scan cost more than the copies and
// filtering it led to.
inline std::uint32_t nextFlaggedBlock(const std::uint8_t* flags, std::uint32_t from,
                                      std::uint32_t end) {
    for (; from + 8 <= end; from += 8) {
        std::uint64_t eight;
        std::memcpy(&eight, flags + from, sizeof eight);
        if (eight != 0) break;
    }
    while (from < end && flags[from] == 0) ++from;
    return from;
}

int setUpPlanes(PlaneDescriptor& descriptor, std::uint32_t height, std::uint32_t width);
void buildBlockOffsets();
void setUpAnalysis(const PlaneDescriptor& descriptor);

}  // namespace kalmix
