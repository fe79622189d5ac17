// The tile grid: every output pixel from exactly one tile's interior, every
// tile a size the module takes, kept clear of each tile's outer ring and of
// the module's frame mark.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "tools/tiles/tile_grid.h"

namespace kalmix::tiles {
namespace {

constexpr int LIMIT_WIDTH = 384;
constexpr int LIMIT_HEIGHT = 288;
constexpr int MARK_COLUMNS = 32;  // the frame mark: rows 1 and 2, columns 0 to 31 of a filtered frame

bool contains(const Rect& outer, int x, int y) {
    return x >= outer.x && x < outer.x + outer.width && y >= outer.y && y < outer.y + outer.height;
}

// Checks one grid; returns the number of tiles.
std::size_t checkGrid(int width, int height, int margin) {
    SCOPED_TRACE(::testing::Message() << width << "x" << height << " margin " << margin);
    const TileGrid grid = planTiles(width, height, margin);
    EXPECT_EQ(grid.tiles.size(), static_cast<std::size_t>(grid.columns * grid.rows));
    std::vector<std::uint8_t> writes(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (const Tile& tile : grid.tiles) {
        const Rect& s = tile.source;
        const Rect& in = tile.interior;
        EXPECT_TRUE(moduleTakesWhole(s.width, s.height)) << s.width << "x" << s.height;
        EXPECT_EQ(s.x % 4, 0);
        EXPECT_EQ(s.y % 4, 0);
        EXPECT_GT(in.width, 0);
        EXPECT_GT(in.height, 0);
        EXPECT_GE(in.x, 0);
        EXPECT_GE(in.y, 0);
        EXPECT_LE(in.x + in.width, width);
        EXPECT_LE(in.y + in.height, height);
        // Away from the frame's edge an interior keeps `margin` pixels from
        // its tile's edge: the module's outer ring never reaches the output.
        if (in.x > 0) {
            EXPECT_GE(in.x - s.x, margin);
        }
        if (in.y > 0) {
            EXPECT_GE(in.y - s.y, margin);
        }
        if (in.x + in.width < width) {
            EXPECT_GE(s.x + s.width - (in.x + in.width), margin);
        }
        if (in.y + in.height < height) {
            EXPECT_GE(s.y + s.height - (in.y + in.height), margin);
        }
        // The frame mark of a tile shows only where the plain path has it.
        for (int row = 1; row <= 2; ++row) {
            for (int column = 0; column < MARK_COLUMNS; ++column) {
                const int x = s.x + column;
                const int y = s.y + row;
                if (contains(in, x, y)) {
                    EXPECT_TRUE(x < MARK_COLUMNS && y <= 2) << "mark at " << x << "," << y;
                }
            }
        }
        for (int y = in.y; y < in.y + in.height; ++y) {
            for (int x = in.x; x < in.x + in.width; ++x) {
                ++writes[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)];
            }
        }
    }
    std::size_t wrong = 0;
    for (std::uint8_t count : writes) wrong += count != 1 ? 1 : 0;
    EXPECT_EQ(wrong, 0u) << "pixels not written exactly once";
    return grid.tiles.size();
}

TEST(TileGrid, CoversEveryPixelOnceWithTilesTheModuleTakes) {
    const int sizes[][2] = {{4, 4},       {1, 1},       {3, 7},       {322, 242},   {384, 288},   {385, 288},
                            {384, 289},   {388, 286},   {720, 576},   {1366, 768},  {1280, 720},  {1920, 1080},
                            {1921, 1081}, {2039, 1117}, {3840, 2160}, {4093, 2161}, {7680, 4320}, {7919, 17},
                            {13, 7907}};
    for (const auto& size : sizes) {
        // Every margin on the smaller sizes; the default on the largest, which cost most to check.
        if (size[0] * size[1] > 4000000) {
            checkGrid(size[0], size[1], DEFAULT_TILE_MARGIN);
            continue;
        }
        for (int margin : {4, 8, DEFAULT_TILE_MARGIN, 32}) checkGrid(size[0], size[1], margin);
    }
}

TEST(TileGrid, TakesWholeFramesTheModuleTakesAndPadsSmallOnes) {
    for (const auto& size : {std::pair{4, 4}, std::pair{384, 288}, std::pair{176, 144}}) {
        const TileGrid grid = planTiles(size.first, size.second);
        ASSERT_EQ(grid.tiles.size(), 1u);
        const Rect whole{0, 0, size.first, size.second};
        EXPECT_EQ(grid.tiles[0].source, whole);
        EXPECT_EQ(grid.tiles[0].interior, whole);
    }
    const TileGrid odd = planTiles(322, 242);  // rounded up to 324x244 by repeating the edge
    ASSERT_EQ(odd.tiles.size(), 1u);
    EXPECT_EQ(odd.tiles[0].source, (Rect{0, 0, 324, 244}));
    EXPECT_EQ(odd.tiles[0].interior, (Rect{0, 0, 322, 242}));
    EXPECT_EQ(planTiles(1, 1).tiles[0].source, (Rect{0, 0, 4, 4}));
}

TEST(TileGrid, UsesFewTilesOfBalancedSize) {
    const TileGrid hd = planTiles(1920, 1080);
    EXPECT_EQ(hd.columns, 6);
    EXPECT_EQ(hd.rows, 5);
    int smallest = LIMIT_WIDTH;
    int largest = 0;
    for (const Tile& tile : hd.tiles) {
        smallest = std::min(smallest, tile.source.width);
        largest = std::max(largest, tile.source.width);
        EXPECT_LE(tile.source.width, LIMIT_WIDTH);
        EXPECT_LE(tile.source.height, LIMIT_HEIGHT);
    }
    EXPECT_LE(largest - smallest, 4);
}

TEST(TileGrid, RefusesBadArguments) {
    EXPECT_THROW(planTiles(0, 10), std::invalid_argument);
    EXPECT_THROW(planTiles(10, -1), std::invalid_argument);
    EXPECT_THROW(planTiles(100, 100, 6), std::invalid_argument);
    EXPECT_THROW(planTiles(100, 100, 0), std::invalid_argument);
}

TEST(TileGrid, CutRepeatsTheEdgeAndPasteWritesOnlyTheInterior) {
    // A 6x5 frame whose pixel (x, y) holds x, y, 7, 9.
    const int width = 6;
    const int height = 5;
    std::vector<std::uint8_t> frame(frameBytes(width, height));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = &frame[frameBytes(width, y) + frameBytes(x, 1)];
            p[0] = static_cast<std::uint8_t>(x);
            p[1] = static_cast<std::uint8_t>(y);
            p[2] = 7;
            p[3] = 9;
        }
    }
    const Tile tile{{-4, -4, 12, 12}, {0, 0, 6, 5}};
    std::vector<std::uint8_t> pixels(frameBytes(12, 12));
    cutTile(frame.data(), width, height, tile, pixels.data());
    for (int y = 0; y < 12; ++y) {
        for (int x = 0; x < 12; ++x) {
            const std::uint8_t* p = &pixels[frameBytes(12, y) + frameBytes(x, 1)];
            EXPECT_EQ(p[0], std::clamp(x - 4, 0, width - 1));
            EXPECT_EQ(p[1], std::clamp(y - 4, 0, height - 1));
        }
    }
    std::vector<std::uint8_t> out(frame.size(), 0xEE);
    const Tile part{{0, 0, 4, 4}, {1, 2, 2, 1}};
    std::vector<std::uint8_t> crop(frameBytes(4, 4));
    cutTile(frame.data(), width, height, part, crop.data());
    pasteInterior(crop.data(), part, out.data(), width);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::size_t at = frameBytes(width, y) + frameBytes(x, 1);
            const bool inside = y == 2 && (x == 1 || x == 2);
            EXPECT_EQ(out[at], inside ? frame[at] : 0xEE) << x << "," << y;
        }
    }
}

// Refreshed 4x4 blocks of an area, the plain way: any blue, green or red byte differs.
std::uint64_t refreshedReference(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b, int width,
                                 int height, Rect area = {}) {
    if (area.width == 0) area = {0, 0, width, height};
    const int right = std::min(area.x + area.width, width);
    const int bottom = std::min(area.y + area.height, height);
    std::uint64_t count = 0;
    for (int by = area.y; by < bottom; by += 4) {
        for (int bx = area.x; bx < right; bx += 4) {
            bool differs = false;
            for (int y = by; y < std::min(by + 4, bottom); ++y) {
                for (int x = bx; x < std::min(bx + 4, right); ++x) {
                    for (int c = 0; c < 3; ++c) {
                        const std::size_t i = frameBytes(width, y) + frameBytes(x, 1) + static_cast<std::size_t>(c);
                        differs = differs || a[i] != b[i];
                    }
                }
            }
            count += differs ? 1 : 0;
        }
    }
    return count;
}

TEST(TileGrid, InteriorsCountEachRefreshedBlockOnceAndIgnoreAlpha) {
    for (const auto& [width, height] : {std::pair{7, 5}, std::pair{501, 299}, std::pair{1366, 770}}) {
        SCOPED_TRACE(::testing::Message() << width << "x" << height);
        std::vector<std::uint8_t> previous(frameBytes(width, height), 100);
        std::vector<std::uint8_t> current = previous;
        std::uint32_t seed = 7;
        for (int k = 0; k < 300; ++k) {  // scattered changes, a third of them in alpha only
            seed = seed * 1664525u + 1013904223u;
            const std::size_t pixel = (seed >> 8) % (static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
            const int byte = k % 3 == 0 ? 3 : (k / 3) % 3;
            current[pixel * BYTES_PER_PIXEL + static_cast<std::size_t>(byte)] ^= 1;
        }
        // The last pixel, in a block cut short at both edges.
        current[frameBytes(width, height) - 2] ^= 1;
        const std::uint64_t expected = refreshedReference(previous, current, width, height);
        ASSERT_GT(expected, 0u);
        const TileGrid grid = planTiles(width, height);
        std::uint64_t total = 0;
        for (const Tile& tile : grid.tiles) {
            total += countRefreshedBlocks(previous.data(), current.data(), width, height, tile.interior);
        }
        EXPECT_EQ(total, expected);
        EXPECT_EQ(countRefreshedBlocks(previous.data(), current.data(), width, height, {0, 0, width, height}),
                  expected);
        EXPECT_EQ(countRefreshedBlocks(previous.data(), previous.data(), width, height, {0, 0, width, height}), 0u);
    }
}

TEST(TileGrid, RefreshedBlocksSeeEveryByteOfEveryBlockInAnyArea) {
    // Every colour and alpha byte of one block changed alone, in areas that
    // end on the block grid or at the frame's edges (bands and blocks cut
    // short), then dense random change.
    const int width = 23;
    const int height = 14;
    std::vector<std::uint8_t> previous(frameBytes(width, height));
    std::uint32_t seed = 11;
    auto next = [&] { return (seed = seed * 1664525u + 1013904223u) >> 8; };
    for (auto& byte : previous) byte = static_cast<std::uint8_t>(next());
    const Rect areas[] = {{0, 0, width, height}, {4, 4, 8, 4}, {8, 8, 15, 6}, {20, 0, 3, 14}, {0, 12, 23, 2}};
    for (const Rect& area : areas) {
        SCOPED_TRACE(::testing::Message() << area.x << "," << area.y << " " << area.width << "x" << area.height);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                for (int c = 0; c < BYTES_PER_PIXEL; ++c) {
                    std::vector<std::uint8_t> current = previous;
                    current[frameBytes(width, y) + frameBytes(x, 1) + static_cast<std::size_t>(c)] ^= 0x80;
                    ASSERT_EQ(countRefreshedBlocks(previous.data(), current.data(), width, height, area),
                              refreshedReference(previous, current, width, height, area))
                        << x << "," << y << " byte " << c;
                }
            }
        }
        for (int round = 0; round < 50; ++round) {
            std::vector<std::uint8_t> current = previous;
            for (int k = 0; k < round; ++k) current[next() % current.size()] ^= 1;
            ASSERT_EQ(countRefreshedBlocks(previous.data(), current.data(), width, height, area),
                      refreshedReference(previous, current, width, height, area));
        }
    }
}

TEST(TileGrid, PasteWhileCountingWritesThePlainPasteAndCountsAsAfterIt) {
    // Each tile of a grid pasted from its filtered pixels while counting
    // against the previous frame: the same frame bytes as the plain paste and
    // the plain count of the pasted interior, with blocks cut short at the
    // frame's right and bottom edge, alpha-only changes, and a single changed
    // byte anywhere in a block.
    std::uint32_t seed = 5;
    auto next = [&] { return (seed = seed * 1664525u + 1013904223u) >> 8; };
    for (const auto& [width, height] : {std::pair{23, 14}, std::pair{501, 299}, std::pair{1366, 770}}) {
        SCOPED_TRACE(::testing::Message() << width << "x" << height);
        std::vector<std::uint8_t> previous(frameBytes(width, height));
        for (auto& byte : previous) byte = static_cast<std::uint8_t>(next() % 4);
        std::vector<std::uint8_t> current = previous;
        for (std::size_t k = 0; k < current.size() / 500 + 20; ++k) current[next() % current.size()] ^= 1;
        const TileGrid grid = planTiles(width, height);
        std::vector<std::uint8_t> plain(current.size(), 0xEE);
        std::vector<std::uint8_t> fused(current.size(), 0xEE);
        std::uint64_t total = 0;
        for (const Tile& tile : grid.tiles) {
            std::vector<std::uint8_t> pixels(frameBytes(tile.source.width, tile.source.height));
            cutTile(current.data(), width, height, tile, pixels.data());
            pasteInterior(pixels.data(), tile, plain.data(), width);
            const std::uint64_t counted =
                pasteInteriorCountingRefreshed(pixels.data(), tile, fused.data(), width, previous.data());
            ASSERT_EQ(counted, countRefreshedBlocks(previous.data(), plain.data(), width, height, tile.interior));
            total += counted;
        }
        EXPECT_EQ(fused, plain);
        EXPECT_EQ(total, refreshedReference(previous, current, width, height));
    }
    // One 12x10 tile whose interior ends at the right and bottom edge of a
    // 23x14 frame, each byte of it changed alone.
    const int width = 23;
    const int height = 14;
    const Tile tile{{11, 4, 12, 10}, {12, 8, 11, 6}};
    std::vector<std::uint8_t> previous(frameBytes(width, height));
    for (auto& byte : previous) byte = static_cast<std::uint8_t>(next());
    std::vector<std::uint8_t> pixels(frameBytes(12, 10));
    for (int y = tile.interior.y; y < height; ++y) {
        for (int x = tile.interior.x; x < width; ++x) {
            for (int c = 0; c < BYTES_PER_PIXEL; ++c) {
                std::vector<std::uint8_t> current = previous;
                current[frameBytes(width, y) + frameBytes(x, 1) + static_cast<std::size_t>(c)] ^= 0x80;
                cutTile(current.data(), width, height, tile, pixels.data());
                std::vector<std::uint8_t> frame = previous;
                ASSERT_EQ(pasteInteriorCountingRefreshed(pixels.data(), tile, frame.data(), width, previous.data()),
                          c == 3 ? 0u : 1u)
                    << x << "," << y << " byte " << c;
                ASSERT_EQ(frame, current);
            }
        }
    }
}

}  // namespace
}  // namespace kalmix::tiles
