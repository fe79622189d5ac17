// SSE2 variant of the flagged-block copy: eight blocks' flags tested at once,
// then sixteen samples a row per group of four blocks, blended under a mask.
#include "pipeline/dsp/block_copy_dsp.h"
#include "pipeline/dsp/x86/block_copy_simd.h"

namespace kalmix {

void copyFlaggedBlocks_sse2(std::uint8_t* destination, const std::uint8_t* source,
                            std::ptrdiff_t stride, const std::uint8_t* flags, std::uint32_t blocks,
                            std::uint32_t rows) {
    copyRowInEights(destination, source, stride, flags, blocks, rows,
                    [stride, rows](std::uint8_t* to, const std::uint8_t* from, std::uint64_t eight) {
                        if (eight == 0) return;
                        copyGroupOf4(to, from, stride, static_cast<std::uint32_t>(eight), rows);
                        copyGroupOf4(to + 4 * BLOCK_WIDTH, from + 4 * BLOCK_WIDTH, stride,
                                     static_cast<std::uint32_t>(eight >> 32), rows);
                    });
}

}  // namespace kalmix
