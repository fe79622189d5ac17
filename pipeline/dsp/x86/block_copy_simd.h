// Pieces of the vector flagged-block copies shared by the SSE2 and AVX2
// variants (each source file compiles its own copy for its own level).
// Internal linkage throughout.
#pragma once

#include <emmintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "pipeline/geometry.h"

namespace kalmix {
namespace {

static_assert(BLOCK_WIDTH == 4, "one flag byte widens to four samples");

// Flags as one word, flags[0] in the lowest byte.
template <typename Word>
[[gnu::always_inline]] inline Word loadFlags(const std::uint8_t* flags) {
    Word word;
    std::memcpy(&word, flags, sizeof word);
    return word;
}

// True when no byte of the word is 0: every block of the group is flagged.
template <typename Word>
[[gnu::always_inline]] inline bool everyFlagSet(Word word) {
    constexpr Word ONES = static_cast<Word>(0x0101010101010101ull);
    constexpr Word HIGHS = static_cast<Word>(0x8080808080808080ull);
    return ((word - ONES) & ~word & HIGHS) == 0;
}

[[gnu::always_inline]] inline __m128i load16(const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
[[gnu::always_inline]] inline void store16(std::uint8_t* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// Four blocks, sixteen samples a row, under the four flags of `four`.
[[gnu::always_inline]] inline void copyGroupOf4(std::uint8_t* destination,
                                                const std::uint8_t* source, std::ptrdiff_t stride,
                                                std::uint32_t four, std::uint32_t rows) {
    if (four == 0) return;
    if (everyFlagSet(four)) {
        for (std::uint32_t row = 0; row < rows; ++row, destination += stride, source += stride) {
            store16(destination, load16(source));
        }
        return;
    }
    // 0xFF in each sample whose block keeps its samples: the byte compare
    // marks the unflagged blocks, and unpacking a vector with itself twice
    // widens each of its low four bytes to four (no byte shuffle at SSE2).
    const __m128i unflagged =
        _mm_cmpeq_epi8(_mm_cvtsi32_si128(static_cast<int>(four)), _mm_setzero_si128());
    const __m128i twice = _mm_unpacklo_epi8(unflagged, unflagged);
    const __m128i keep = _mm_unpacklo_epi8(twice, twice);
    for (std::uint32_t row = 0; row < rows; ++row, destination += stride, source += stride) {
        store16(destination, _mm_or_si128(_mm_and_si128(keep, load16(destination)),
                                          _mm_andnot_si128(keep, load16(source))));
    }
}

// Fewer than four blocks, one at a time.
inline void copyFewBlocks(std::uint8_t* destination, const std::uint8_t* source,
                          std::ptrdiff_t stride, const std::uint8_t* flags, std::uint32_t blocks,
                          std::uint32_t rows) {
    for (std::uint32_t column = 0; column < blocks; ++column) {
        if (flags[column] == 0) continue;
        for (std::uint32_t row = 0; row < rows; ++row) {
            const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(row) * stride +
                                      static_cast<std::ptrdiff_t>(column * BLOCK_WIDTH);
            std::memcpy(destination + at, source + at, BLOCK_WIDTH);
        }
    }
}

// A row too short for the wide groups: groups of four, the last one moved
// back to end at the row's end. Copying a block twice writes the same bytes,
// so the overlap is harmless and the tail needs no narrower case.
[[gnu::always_inline]] inline void copyShortRow(std::uint8_t* destination,
                                                const std::uint8_t* source, std::ptrdiff_t stride,
                                                const std::uint8_t* flags, std::uint32_t blocks,
                                                std::uint32_t rows) {
    if (blocks < 4) {
        copyFewBlocks(destination, source, stride, flags, blocks, rows);
        return;
    }
    std::uint32_t column = 0;
    for (; column + 4 <= blocks; column += 4) {
        copyGroupOf4(destination + column * BLOCK_WIDTH, source + column * BLOCK_WIDTH, stride,
                     loadFlags<std::uint32_t>(flags + column), rows);
    }
    if (column < blocks) {
        column = blocks - 4;
        copyGroupOf4(destination + column * BLOCK_WIDTH, source + column * BLOCK_WIDTH, stride,
                     loadFlags<std::uint32_t>(flags + column), rows);
    }
}

// A row in groups of eight blocks, the last one moved back to end at the
// row's end (rows of fewer go in fours). groupOf8(destination, source,
// eight flags as a word) copies one group at the variant's width.
template <typename GroupOf8>
[[gnu::always_inline]] inline void copyRowInEights(std::uint8_t* destination, const std::uint8_t* source,
                                                   std::ptrdiff_t stride, const std::uint8_t* flags,
                                                   std::uint32_t blocks, std::uint32_t rows, GroupOf8 groupOf8) {
    if (blocks < 8) {
        copyShortRow(destination, source, stride, flags, blocks, rows);
        return;
    }
    std::uint32_t column = 0;
    for (; column + 8 <= blocks; column += 8) {
        groupOf8(destination + column * BLOCK_WIDTH, source + column * BLOCK_WIDTH,
                 loadFlags<std::uint64_t>(flags + column));
    }
    if (column == blocks) return;
    column = blocks - 8;
    groupOf8(destination + column * BLOCK_WIDTH, source + column * BLOCK_WIDTH,
             loadFlags<std::uint64_t>(flags + column));
}

}  // namespace
}  // namespace kalmix
