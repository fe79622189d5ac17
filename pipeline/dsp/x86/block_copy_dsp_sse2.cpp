// SSE2 variant of the flagged-block copy: eight blocks' flags tested at once,
// then sixteen samples a row per group of four blocks, blended under a mask.
#include "pipeline/dsp/block_copy_dsp.h"
#include "pipeline/dsp/x86/block_copy_simd.h"

namespace kalmix {

void copyFlaggedBlocks_sse2(std::uint8_t* destination, const std::uint8_t* source,
                            std::ptrdiff_t stride, const std::uint8_t* flags, std::uint32_t blocks,
                            std::uint32_t rows) {
    if (blocks < 8) {
        copyShortRow(destination, source, stride, flags, blocks, rows);
        return;
    }
    std::uint32_t column = 0;
    for (; column + 8 <= blocks; column += 8) {
        const auto eight = loadFlags<std::uint64_t>(flags + column);
        if (eight == 0) continue;
        std::uint8_t* to = destination + column * BLOCK_WIDTH;
        const std::uint8_t* from = source + column * BLOCK_WIDTH;
        copyGroupOf4(to, from, stride, static_cast<std::uint32_t>(eight), rows);
        copyGroupOf4(to + 16, from + 16, stride, static_cast<std::uint32_t>(eight >> 32), rows);
    }
    if (column == blocks) return;
    // Fewer than eight blocks left: in groups of four, reaching back over
    // blocks already done where fewer than four remain (they are written
    // again with the same bytes).
    const std::uint32_t start = blocks - column >= 4 ? column : blocks - 4;
    copyShortRow(destination + start * BLOCK_WIDTH, source + start * BLOCK_WIDTH, stride,
                 flags + start, blocks - start, rows);
}

}  // namespace kalmix
