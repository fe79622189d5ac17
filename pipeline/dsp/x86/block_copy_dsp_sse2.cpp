// SSE2 variants of the flagged-block copy (eight blocks' flags tested at once,
// then sixteen samples a row per group of four blocks, blended under a mask)
// and of the sample mask (sixteen blocks a step).
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

void flaggedSampleMask_sse2(std::uint8_t* mask, const std::uint8_t* flags, std::uint32_t blocks) {
    if (blocks < 16) {
        flaggedSampleMask_c(mask, flags, blocks);
        return;
    }
    // Sixteen flags widen to 64 mask bytes by unpacking the compare with
    // itself twice; the last step ends at the row's end, writing some bytes
    // again with the same values.
    const auto step = [mask, flags](std::uint32_t column) {
        const __m128i flagged = _mm_andnot_si128(_mm_cmpeq_epi8(load16(flags + column), _mm_setzero_si128()),
                                                 _mm_set1_epi8(-1));
        const __m128i low = _mm_unpacklo_epi8(flagged, flagged);
        const __m128i high = _mm_unpackhi_epi8(flagged, flagged);
        std::uint8_t* out = mask + column * BLOCK_WIDTH;
        store16(out, _mm_unpacklo_epi16(low, low));
        store16(out + 16, _mm_unpackhi_epi16(low, low));
        store16(out + 32, _mm_unpacklo_epi16(high, high));
        store16(out + 48, _mm_unpackhi_epi16(high, high));
    };
    std::uint32_t column = 0;
    for (; column + 16 <= blocks; column += 16) step(column);
    if (column < blocks) step(blocks - 16);
}

}  // namespace kalmix
