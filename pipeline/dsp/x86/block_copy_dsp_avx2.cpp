// AVX2 variant of the flagged-block copy: thirty-two samples a row per group
// of eight blocks. Widening each flag to a 32-bit lane and comparing the
// lanes with 0 gives the byte mask of the blocks that keep their samples.
#include <immintrin.h>

#include "pipeline/dsp/block_copy_dsp.h"
#include "pipeline/dsp/x86/block_copy_simd.h"

namespace kalmix {

namespace {

[[gnu::always_inline]] inline __m256i load32(const std::uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
[[gnu::always_inline]] inline void store32(std::uint8_t* p, __m256i v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

[[gnu::always_inline]] inline void copyGroupOf8(std::uint8_t* destination,
                                                const std::uint8_t* source, std::ptrdiff_t stride,
                                                std::uint64_t eight, std::uint32_t rows) {
    if (eight == 0) return;
    if (everyFlagSet(eight)) {
        for (std::uint32_t row = 0; row < rows; ++row, destination += stride, source += stride) {
            store32(destination, load32(source));
        }
        return;
    }
    const __m256i keep =
        _mm256_cmpeq_epi32(_mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(eight))),
                           _mm256_setzero_si256());
    for (std::uint32_t row = 0; row < rows; ++row, destination += stride, source += stride) {
        store32(destination, _mm256_blendv_epi8(load32(source), load32(destination), keep));
    }
}

}  // namespace

void copyFlaggedBlocks_avx2(std::uint8_t* destination, const std::uint8_t* source,
                            std::ptrdiff_t stride, const std::uint8_t* flags, std::uint32_t blocks,
                            std::uint32_t rows) {
    copyRowInEights(destination, source, stride, flags, blocks, rows,
                    [stride, rows](std::uint8_t* to, const std::uint8_t* from, std::uint64_t eight) {
                        copyGroupOf8(to, from, stride, eight, rows);
                    });
}

}  // namespace kalmix
