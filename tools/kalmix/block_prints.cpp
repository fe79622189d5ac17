// Block prints, the definition and its AVX2 form.
#include "tools/kalmix/block_prints.h"

#include <cstring>

#include "tools/tiles/tile_grid.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KALMIX_PRINTS_AVX2 1
#endif

namespace kalmix::tool {
namespace {

constexpr int SIDE = tiles::REFRESH_BLOCK;
constexpr std::uint32_t COLOUR = tiles::COLOUR_BYTES_OF_PIXEL;

int blocksFor(int pixels) { return (pixels + SIDE - 1) / SIDE; }

// The definition over rows [top, bottom) and columns [left, right), top on a
// block row and left on a block: the prints of the blocks under them start
// from zero (every lane, those past the frame's right edge too).
void printArea(const std::uint8_t* frame, int width, int top, int bottom, int left, int right, BlockPrint* prints) {
    const int across = blocksFor(width);
    for (int y = top; y < bottom; ++y) {
        const std::uint8_t* row = frame + static_cast<std::size_t>(y) * static_cast<std::size_t>(width) * 4;
        BlockPrint* printRow = prints + static_cast<std::size_t>(y / SIDE) * static_cast<std::size_t>(across);
        if (y % SIDE == 0) {
            std::memset(printRow + left / SIDE, 0, static_cast<std::size_t>(blocksFor(right) - left / SIDE) *
                                                       sizeof(BlockPrint));
        }
        for (int x = left; x < right; ++x) {
            std::uint32_t pixel;
            std::memcpy(&pixel, row + static_cast<std::size_t>(x) * 4, sizeof pixel);
            std::uint32_t& lane = printRow[x / SIDE].lane[x % SIDE];
            lane = lane * PRINT_FACTOR + (pixel & COLOUR);
        }
    }
}

#if defined(KALMIX_PRINTS_AVX2)
// Two blocks (eight pixels, 32 bytes) at a time over the four rows of each
// whole block row, the lanes kept in a register; the columns after the last
// eight and a last block row cut short by the plain code.
__attribute__((target("avx2"))) void printsAvx2(const std::uint8_t* frame, int width, int height,
                                                BlockPrint* prints) {
    const int across = blocksFor(width);
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
    const int pairs = width / (2 * SIDE);
    const __m256i factor = _mm256_set1_epi32(static_cast<int>(PRINT_FACTOR));
    const __m256i colour = _mm256_set1_epi32(static_cast<int>(COLOUR));
    const int wholeRows = height / SIDE * SIDE;
    for (int top = 0; top < wholeRows; top += SIDE) {
        const std::uint8_t* row = frame + static_cast<std::size_t>(top) * rowBytes;
        BlockPrint* printRow = prints + static_cast<std::size_t>(top / SIDE) * static_cast<std::size_t>(across);
        for (int k = 0; k < pairs; ++k) {
            const std::uint8_t* at = row + static_cast<std::size_t>(k) * 32;
            __m256i h = _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)), colour);
            for (int r = 1; r < SIDE; ++r) {
                const __m256i word =
                    _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + r * rowBytes)), colour);
                h = _mm256_add_epi32(_mm256_mullo_epi32(h, factor), word);
            }
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(printRow + 2 * k), h);
        }
        printArea(frame, width, top, top + SIDE, pairs * 2 * SIDE, width, prints);
    }
    printArea(frame, width, wholeRows, height, 0, width, prints);
}
#endif

}  // namespace

void blockPrintsPlain(const std::uint8_t* frame, int width, int height, BlockPrint* prints) {
    printArea(frame, width, 0, height, 0, width, prints);
}

bool blockPrintsAvx2(const std::uint8_t* frame, int width, int height, BlockPrint* prints) {
#if defined(KALMIX_PRINTS_AVX2)
    static const bool available = __builtin_cpu_supports("avx2");
    if (!available) return false;
    printsAvx2(frame, width, height, prints);
    return true;
#else
    (void)frame;
    (void)width;
    (void)height;
    (void)prints;
    return false;
#endif
}

void blockPrints(const std::uint8_t* frame, int width, int height, BlockPrint* prints) {
    if (!blockPrintsAvx2(frame, width, height, prints)) blockPrintsPlain(frame, width, height, prints);
}

std::uint64_t markRefreshedBlocks(const BlockPrint* previous, const BlockPrint* current, std::size_t blocks,
                                  std::uint8_t* map) {
    std::uint64_t count = 0;
    for (std::size_t k = 0; k < blocks; ++k) {
#if defined(__SSE2__)
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&previous[k]));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&current[k]));
        map[k] = _mm_movemask_epi8(_mm_cmpeq_epi8(a, b)) != 0xFFFF ? 1 : 0;
#else
        map[k] = std::memcmp(&previous[k], &current[k], sizeof(BlockPrint)) != 0 ? 1 : 0;
#endif
        count += map[k];
    }
    return count;
}

}  // namespace kalmix::tool
