// The grid of overlapping tiles that lets the module, which takes frames of at
// most 384x288 with sides that are multiples of 4, filter a frame of any size.
//
// Each tile is a rectangle the module takes whole. Neighbouring tiles overlap
// by a margin on each side of their common border; every output pixel is taken
// from the interior of exactly one tile, so the outer ring of blocks that the
// module copies and analyses differently, and the 3x3 kernels that stop short
// of it, reach the output only where the tile's edge is the frame's edge.
// A tile may reach past the frame, to round a side up to a multiple of 4 or to
// hide the module's frame mark (below): those pixels repeat the frame's edge.
#pragma once

#include <cstddef>
#include <bit>
#include <cstdint>
#include <vector>

namespace kalmix::tiles {

inline constexpr int BYTES_PER_PIXEL = 4;

// Overlap of two neighbouring tiles beyond their common border, in pixels, on
// each side. Chosen by measurement (docs/tiles.md): from 16 on, output away
// from the frame's edge no longer depends on where the tile borders lie.
inline constexpr int DEFAULT_TILE_MARGIN = 16;

struct Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const Rect&) const = default;
};

struct Tile {
    Rect source;    // frame coordinates; parts outside the frame repeat its edge
    Rect interior;  // frame coordinates, inside the frame: the pixels this tile gives
};

struct TileGrid {
    int frameWidth = 0;
    int frameHeight = 0;
    int columns = 0;
    int rows = 0;
    std::vector<Tile> tiles;  // row by row from the top left
};

// Sizes the module filters itself: at most 384x288, both sides multiples of 4.
bool moduleTakesWhole(int width, int height);

// The grid for a frame of at least 1x1 pixels. margin: a multiple of 4 from 4
// to 64. A frame the module takes whole gives one tile equal to the frame.
//
// The module writes a small frame mark into rows 1 and 2, columns 0 to 31 of
// every frame it filters. Kept where the plain path has it, at the top left of
// the frame, it would otherwise show at the top of every tile of the top row;
// those tiles therefore start 4 rows above the frame, so their mark lands on
// repeated edge rows that no output pixel comes from.
TileGrid planTiles(int frameWidth, int frameHeight, int margin = DEFAULT_TILE_MARGIN);

// The tile's source pixels, packed source.width x source.height BGRA, from a
// packed frameWidth x frameHeight BGRA frame.
void cutTile(const std::uint8_t* frame, int frameWidth, int frameHeight, const Tile& tile, std::uint8_t* pixels);

// The tile's interior from its filtered pixels into the frame.
void pasteInterior(const std::uint8_t* pixels, const Tile& tile, std::uint8_t* frame, int frameWidth);

// Side of a refreshed block, in pixels.
inline constexpr int REFRESH_BLOCK = 4;

// One BGRA pixel, and two, read as one little-endian word: their blue, green
// and red bytes, alpha (every fourth byte from 3) masked off.
inline constexpr std::uint32_t COLOUR_BYTES_OF_PIXEL = 0x00FFFFFFU;
inline constexpr std::uint64_t COLOUR_BYTES_OF_TWO_PIXELS =
    std::uint64_t{COLOUR_BYTES_OF_PIXEL} << 32 | COLOUR_BYTES_OF_PIXEL;
static_assert(std::endian::native == std::endian::little, "the colour mask takes alpha as every fourth byte from 3");

// The 4x4 blocks (cut short at the frame's right and bottom edge) of `area`
// in which any blue, green or red byte differs between two packed BGRA frames:
// the tools' refreshed blocks. `area` lies on the 4-pixel block grid, except
// where it ends at the frame's edge.
// The plain count, pixel by pixel: what pasteInteriorCountingRefreshed, the
// one the workers run, is held to.
std::uint64_t countRefreshedBlocks(const std::uint8_t* previous, const std::uint8_t* current, int frameWidth,
                                   int frameHeight, const Rect& area);

// pasteInterior and countRefreshedBlocks(previous, frame, ..., tile.interior)
// in one pass: each row of the tile's output is compared with `previous` as it
// is written, so the frame's new interior is never read back. The interior
// lies on the block grid (but may end at the frame's edge); `previous` is a
// frame of the same size other than `frame`.
std::uint64_t pasteInteriorCountingRefreshed(const std::uint8_t* pixels, const Tile& tile, std::uint8_t* frame,
                                             int frameWidth, const std::uint8_t* previous);

inline std::size_t frameBytes(int width, int height) {
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * BYTES_PER_PIXEL;
}

}  // namespace kalmix::tiles
