// The plain flagged-block copy (each run of flagged blocks as one copy per
// sample row) and sample mask.
#include <cstring>

#include "pipeline/dsp/block_copy_dsp.h"
#include "pipeline/geometry.h"

namespace kalmix {

void copyFlaggedBlocks_c(std::uint8_t* destination, const std::uint8_t* source,
                         std::ptrdiff_t stride, const std::uint8_t* flags, std::uint32_t blocks,
                         std::uint32_t rows) {
    std::uint32_t column = nextFlaggedBlock(flags, 0, blocks);
    while (column < blocks) {
        const std::uint32_t first = column;
        while (column < blocks && flags[column] != 0) ++column;
        const std::size_t bytes = (column - first) * BLOCK_WIDTH;
        for (std::uint32_t row = 0; row < rows; ++row) {
            const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(row) * stride +
                                      static_cast<std::ptrdiff_t>(first * BLOCK_WIDTH);
            std::memcpy(destination + at, source + at, bytes);
        }
        column = nextFlaggedBlock(flags, column, blocks);
    }
}

void flaggedSampleMask_c(std::uint8_t* mask, const std::uint8_t* flags, std::uint32_t blocks) {
    for (std::uint32_t column = 0; column < blocks; ++column) {
        std::memset(mask + column * BLOCK_WIDTH, flags[column] != 0 ? 0xFF : 0, BLOCK_WIDTH);
    }
}

}  // namespace kalmix
