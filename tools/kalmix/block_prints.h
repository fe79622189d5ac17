// Prints of a frame's 4x4 blocks, for the refreshed-block map of the summary
// without keeping the previous output frame: each block gets a print of its
// blue, green and red bytes (blocks cut by the right or bottom edge with the
// pixels they have), and a block is refreshed when its print changed.
//
// A print has one 32-bit lane per pixel column of the block, carried down the
// block's rows as h = h * PRINT_FACTOR + colour bytes. The factor is odd, so
// each step is a bijection in h as in the pixel's word: a change of any one
// colour byte always changes the print, and pixels of different columns
// never cancel each other.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kalmix::tool {

struct BlockPrint {
    std::uint32_t lane[4];
};
static_assert(sizeof(BlockPrint) == 16);

inline constexpr std::uint32_t PRINT_FACTOR = 0x9E3779B1U;

// prints: one per block, row by row of blocks. At the best level the
// processor has.
void blockPrints(const std::uint8_t* frame, int width, int height, BlockPrint* prints);
// The definition, pixel by pixel.
void blockPrintsPlain(const std::uint8_t* frame, int width, int height, BlockPrint* prints);
// AVX2 where the processor has it: false (prints untouched) where not.
bool blockPrintsAvx2(const std::uint8_t* frame, int width, int height, BlockPrint* prints);

// Sets map[k] to 1 where the prints differ, else 0; returns how many differ.
std::uint64_t markRefreshedBlocks(const BlockPrint* previous, const BlockPrint* current, std::size_t blocks,
                                  std::uint8_t* map);

}  // namespace kalmix::tool
