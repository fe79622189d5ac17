// Plane and block geometry, and the one definition of every frame buffer.
#include "pipeline/geometry.h"

#include "analysis/analysis.h"

namespace kalmix {

PlaneSet currentPlanes{};
PlaneSet referencePlanes{};
PlaneSet outputPlanes{};
std::array<std::uint8_t, BLOCK_CAPACITY> blockChangeFlags{};
std::array<std::uint32_t, BLOCK_CAPACITY> blockOffsets{};
std::array<std::uint8_t, HISTORY_LAYERS * BLOCK_CAPACITY> blockMapHistory{};
std::uint32_t blockMapHistoryExtent = 0;

PlaneDescriptor planeDescriptor{};
std::uint32_t blocksPerRow = 0;
std::uint32_t blockRows = 0;
std::uint32_t blocksPerPlane = 0;
std::uint32_t allBlocks = 0;

AnalysisGeometry analysisGeometry{};

int setUpPlanes(PlaneDescriptor& descriptor, std::uint32_t height, std::uint32_t width) {
    descriptor.blockWidth = BLOCK_WIDTH;
    descriptor.blockHeight = BLOCK_HEIGHT;
    descriptor.height = height;
    descriptor.width = width;
    descriptor.referencePlanes = &referencePlanes;
    descriptor.currentPlanes = &currentPlanes;
    descriptor.changeFlags = blockChangeFlags.data();
    descriptor.offsets = blockOffsets.data();
    // The whole capacity, not just the frame's blocks: a first frame computes every block.
    blockChangeFlags.fill(1);
    blocksPerRow = width / descriptor.blockWidth;
    blockRows = height / descriptor.blockHeight;
    blocksPerPlane = blockRows * blocksPerRow;
    allBlocks = 3 * blocksPerPlane;
    return 0;
}

namespace {

// Entries [first, first + count) for blocks laid row by row in planes of the
// given width, starting at planeStart. A run longer than one plane carries on
// into the next plane, which follows directly.
void writeOffsets(std::uint32_t first, std::uint32_t count, std::uint32_t perRow,
                  std::uint32_t width, std::uint32_t planeStart) {
    for (std::uint32_t i = 0; i < count; ++i) {
        blockOffsets[first + i] =
            (i / perRow) * BLOCK_HEIGHT * width + (i % perRow) * BLOCK_WIDTH + planeStart;
    }
}

}  // namespace

void buildBlockOffsets() {
    const std::uint32_t width = planeDescriptor.width;
    if (blocksPerRow == 0) return;  // a frame of width 0 has no blocks
    writeOffsets(0, blocksPerPlane, blocksPerRow, width, 0);
    writeOffsets(blocksPerPlane, 2 * blocksPerPlane, blocksPerRow, width,
                 width * planeDescriptor.height);
}

std::uint32_t measureHistoryExtent(const std::uint8_t* history) {
    std::uint32_t extent = 0;
    for (std::uint32_t layer = 0; layer < HISTORY_LAYERS; ++layer) {
        const std::uint8_t* entries = history + layer * BLOCK_CAPACITY;
        for (std::uint32_t i = BLOCK_CAPACITY; i > extent; --i) {
            if (entries[i - 1] != 0) {
                extent = i;
                break;
            }
        }
    }
    return extent;
}

void setUpAnalysis(const PlaneDescriptor& descriptor) {
    AnalysisGeometry& g = analysisGeometry;
    g.referencePlanes = descriptor.referencePlanes;
    g.currentPlanes = descriptor.currentPlanes;
    g.changeFlags = descriptor.changeFlags;
    g.offsets = descriptor.offsets;
    g.blockWidth = descriptor.blockWidth;
    g.blockHeight = descriptor.blockHeight;
    g.lumaWidth = g.chromaWidth = descriptor.width;
    g.lumaHeight = g.chromaHeight = descriptor.height;
    g.lumaPlaneSize = g.lumaWidth * g.lumaHeight;
    g.chromaPlaneSize = g.chromaWidth * g.chromaHeight;
    g.totalSamples = g.lumaPlaneSize + 2 * g.chromaPlaneSize;
    g.lumaBlocks = g.lumaPlaneSize / BLOCK_SAMPLES;
    g.chromaBlocks = g.chromaPlaneSize / BLOCK_SAMPLES;
    g.lumaBlocksPerRow = g.lumaWidth / BLOCK_WIDTH;
    g.chromaBlocksPerRow = g.chromaWidth / BLOCK_WIDTH;
    g.lumaBlockRows = g.lumaHeight / BLOCK_HEIGHT;
    g.chromaBlockRows = g.chromaHeight / BLOCK_HEIGHT;
    g.totalBlocks = g.lumaBlocks + 2 * g.chromaBlocks;
    // With full-resolution chroma these equal the entries buildBlockOffsets
    // wrote, so both sides share the one table.
    if (g.lumaBlocksPerRow != 0) {
        writeOffsets(0, g.lumaBlocks, g.lumaBlocksPerRow, g.lumaWidth, 0);
        writeOffsets(g.lumaBlocks, 2 * g.chromaBlocks, g.chromaBlocksPerRow, g.chromaWidth,
                     g.lumaPlaneSize);
    }
    clearAnalysisMaps();
}

}  // namespace kalmix
