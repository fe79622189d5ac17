// Planning the tile grid; cutting tiles out of a frame and pasting them back.
#include "tools/tiles/tile_grid.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "pipeline/geometry.h"

namespace kalmix::tiles {
namespace {

constexpr int UNIT = static_cast<int>(BLOCK_WIDTH);  // tiles start and end on the 4-pixel block grid
static_assert(BLOCK_WIDTH == BLOCK_HEIGHT);
constexpr int MARK_ROWS_HIDDEN = 4;  // rows above the frame for top-row tiles: the mark is in rows 1 and 2
constexpr int MAX_MARGIN = 64;

struct Span {
    int sourceStart;
    int sourceLength;
    int interiorStart;
    int interiorLength;
};

// A tile's rows in a frame are short runs a frame's stride apart, too short
// for the processor to pick up as streams: when comparing with the previous
// frame, its row a few ahead is asked for while this one is compared. (The
// cut gained nothing from it.)
#if defined(__SSE2__)
constexpr int FETCH_AHEAD_ROWS = 2;
constexpr std::size_t CACHE_LINE = 64;

void fetchAhead(const std::uint8_t* start, std::size_t bytes) {
    for (std::size_t at = 0; at < bytes; at += CACHE_LINE) {
        _mm_prefetch(reinterpret_cast<const char*>(start + at), _MM_HINT_T0);
    }
}
#endif

int roundUp(int value) { return (value + UNIT - 1) / UNIT * UNIT; }

// Spans along one side of `length` pixels, the first starting `lead` pixels
// before 0 (positions below 0 repeat the edge). Work is in units of 4 pixels:
// with n tiles of at most `limit`, the n tile lengths add up to the padded
// length plus two margins for each of the n - 1 borders; they are made as
// equal as they can be, which balances the work between tiles.
std::vector<Span> planAxis(int length, int limit, int margin, int lead) {
    const int padded = roundUp(length + lead);
    if (padded <= limit) return {{-lead, padded, 0, length}};
    const int units = padded / UNIT;
    const int marginUnits = margin / UNIT;
    const int limitUnits = limit / UNIT;
    int count = 2;
    while (count * limitUnits - 2 * marginUnits * (count - 1) < units) ++count;
    const int total = units + 2 * marginUnits * (count - 1);
    std::vector<Span> spans;
    int interiorStart = -lead;  // in pixels, along the padded side
    for (int i = 0; i < count; ++i) {
        const int size = (total / count + (i < total % count ? 1 : 0)) * UNIT;
        const int before = i == 0 ? 0 : margin;
        const int after = i == count - 1 ? 0 : margin;
        const int interiorLength = size - before - after;
        spans.push_back({interiorStart - before, size, interiorStart, interiorLength});
        interiorStart += interiorLength;
    }
    // The lead and the padding past the end are no part of any interior.
    spans.front().interiorLength -= lead;
    spans.front().interiorStart = 0;
    spans.back().interiorLength = length - spans.back().interiorStart;
    return spans;
}

// Clamped frame coordinate: pixels outside the frame repeat its edge.
int clampTo(int value, int size) { return std::clamp(value, 0, size - 1); }

}  // namespace

bool moduleTakesWhole(int width, int height) {
    return width > 0 && height > 0 && width <= static_cast<int>(MAX_FRAME_WIDTH) &&
           height <= static_cast<int>(MAX_FRAME_HEIGHT) && width % UNIT == 0 && height % UNIT == 0;
}

TileGrid planTiles(int frameWidth, int frameHeight, int margin) {
    if (frameWidth < 1 || frameHeight < 1) throw std::invalid_argument("tile grid: empty frame");
    if (margin < UNIT || margin > MAX_MARGIN || margin % UNIT != 0) {
        throw std::invalid_argument("tile grid: margin must be a multiple of 4 from 4 to 64");
    }
    const std::vector<Span> columns = planAxis(frameWidth, static_cast<int>(MAX_FRAME_WIDTH), margin, 0);
    // With more than one column, top-row tiles other than the first hide the
    // frame mark above the frame; the first keeps it where the plain path has it.
    const int lead = columns.size() > 1 ? MARK_ROWS_HIDDEN : 0;
    std::vector<Span> rows = planAxis(frameHeight, static_cast<int>(MAX_FRAME_HEIGHT), margin, lead);

    TileGrid grid;
    grid.frameWidth = frameWidth;
    grid.frameHeight = frameHeight;
    grid.columns = static_cast<int>(columns.size());
    grid.rows = static_cast<int>(rows.size());
    for (std::size_t r = 0; r < rows.size(); ++r) {
        for (std::size_t c = 0; c < columns.size(); ++c) {
            Tile tile;
            tile.source = {columns[c].sourceStart, rows[r].sourceStart, columns[c].sourceLength,
                           rows[r].sourceLength};
            tile.interior = {columns[c].interiorStart, rows[r].interiorStart, columns[c].interiorLength,
                             rows[r].interiorLength};
            if (r == 0 && c == 0 && lead > 0) {  // the mark stays at the frame's top left
                tile.source.y += lead;
                tile.source.height -= lead;
            }
            grid.tiles.push_back(tile);
        }
    }
    return grid;
}

void cutTile(const std::uint8_t* frame, int frameWidth, int frameHeight, const Tile& tile, std::uint8_t* pixels) {
    const Rect& s = tile.source;
    const int firstInside = std::clamp(s.x, 0, frameWidth);
    const int endInside = std::clamp(s.x + s.width, 0, frameWidth);
    for (int row = 0; row < s.height; ++row) {
        const std::uint8_t* line = frame + frameBytes(frameWidth, clampTo(s.y + row, frameHeight));
        std::uint8_t* out = pixels + frameBytes(s.width, row);
        int x = s.x;
        for (; x < firstInside; ++x, out += BYTES_PER_PIXEL) std::memcpy(out, line, BYTES_PER_PIXEL);
        if (endInside > x) {
            const auto bytes = frameBytes(endInside - x, 1);
            std::memcpy(out, line + frameBytes(x, 1), bytes);
            out += bytes;
            x = endInside;
        }
        const std::uint8_t* last = line + frameBytes(frameWidth - 1, 1);
        for (; x < s.x + s.width; ++x, out += BYTES_PER_PIXEL) std::memcpy(out, last, BYTES_PER_PIXEL);
    }
}

void pasteInterior(const std::uint8_t* pixels, const Tile& tile, std::uint8_t* frame, int frameWidth) {
    const Rect& s = tile.source;
    const Rect& in = tile.interior;
    const std::size_t bytes = frameBytes(in.width, 1);
    for (int row = 0; row < in.height; ++row) {
        const int y = in.y + row;
        const std::uint8_t* from = pixels + frameBytes(s.width, y - s.y) + frameBytes(in.x - s.x, 1);
        std::uint8_t* to = frame + frameBytes(frameWidth, y) + frameBytes(in.x, 1);
#if defined(__SSE2__)
        // Other processes read the frame next, not this one: streaming
        // stores skip reading each line in before writing it.
        if (reinterpret_cast<std::uintptr_t>(to) % sizeof(__m128i) == 0) {
            std::size_t at = 0;
            for (; at + sizeof(__m128i) <= bytes; at += sizeof(__m128i)) {
                _mm_stream_si128(reinterpret_cast<__m128i*>(to + at),
                                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at)));
            }
            std::memcpy(to + at, from + at, bytes - at);
            continue;
        }
#endif
        std::memcpy(to, from, bytes);
    }
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

std::uint64_t pasteInteriorCountingRefreshed(const std::uint8_t* pixels, const Tile& tile, std::uint8_t* frame,
                                             int frameWidth, const std::uint8_t* previous) {
    constexpr std::size_t BLOCK_ROW_BYTES = REFRESH_BLOCK * BYTES_PER_PIXEL;
    static_assert(BLOCK_ROW_BYTES == 2 * sizeof(std::uint64_t));
    // Blocks of a band taken at once: every interior of a tile the module
    // takes fits, and the flags stay in the first-level cache.
    constexpr int CHUNK = 128;
    const Rect& s = tile.source;
    const Rect& in = tile.interior;
    const int wholeBlocks = in.width / REFRESH_BLOCK;  // the rest: one block cut short at the frame's right edge
    const std::size_t tailOffset = static_cast<std::size_t>(wholeBlocks) * BLOCK_ROW_BYTES;
    const std::size_t tailBytes = frameBytes(in.width % REFRESH_BLOCK, 1);
    const int bottom = in.y + in.height;
    std::uint64_t count = 0;
    for (int top = in.y; top < bottom; top += REFRESH_BLOCK) {
        const int rows = std::min(REFRESH_BLOCK, bottom - top);
        // Row by row, left to right: three sequential streams (the tile's
        // output, the frame, the previous frame), each block's difference
        // gathered over the band's rows.
        const auto tileRow = [&](int row) {
            return pixels + frameBytes(s.width, top + row - s.y) + frameBytes(in.x - s.x, 1);
        };
        const auto frameRow = [&](int row) { return frameBytes(frameWidth, top + row) + frameBytes(in.x, 1); };
        for (int first = 0; first < wholeBlocks; first += CHUNK) {
            const int blocks = std::min(CHUNK, wholeBlocks - first);
            const std::size_t start = static_cast<std::size_t>(first) * BLOCK_ROW_BYTES;
#if defined(__SSE2__)
            __m128i differs[CHUNK];
            for (int b = 0; b < blocks; ++b) differs[b] = _mm_setzero_si128();
            for (int row = 0; row < rows; ++row) {
                const std::uint8_t* from = tileRow(row) + start;
                std::uint8_t* to = frame + frameRow(row) + start;
                const std::uint8_t* before = previous + frameRow(row) + start;
                if (top + row + FETCH_AHEAD_ROWS < bottom) {
                    fetchAhead(previous + frameRow(row + FETCH_AHEAD_ROWS) + start,
                               static_cast<std::size_t>(blocks) * BLOCK_ROW_BYTES);
                }
                // Other processes read the frame next (the writer, the next
                // frame's count), not this worker: streaming stores skip
                // reading each line in before writing it.
                const bool aligned = reinterpret_cast<std::uintptr_t>(to) % sizeof(__m128i) == 0;
                for (int b = 0; b < blocks; ++b) {
                    const std::size_t at = static_cast<std::size_t>(b) * BLOCK_ROW_BYTES;
                    const __m128i value = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at));
                    if (aligned) {
                        _mm_stream_si128(reinterpret_cast<__m128i*>(to + at), value);
                    } else {
                        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + at), value);
                    }
                    const __m128i old = _mm_loadu_si128(reinterpret_cast<const __m128i*>(before + at));
                    differs[b] = _mm_or_si128(differs[b], _mm_xor_si128(value, old));
                }
            }
            const __m128i colour = _mm_set1_epi64x(static_cast<long long>(COLOUR_BYTES_OF_TWO_PIXELS));
            for (int b = 0; b < blocks; ++b) {
                const __m128i masked = _mm_and_si128(differs[b], colour);
                count += _mm_movemask_epi8(_mm_cmpeq_epi8(masked, _mm_setzero_si128())) != 0xFFFF ? 1 : 0;
            }
#else
            std::uint64_t differs[CHUNK] = {};
            for (int row = 0; row < rows; ++row) {
                const std::uint8_t* from = tileRow(row) + start;
                std::uint8_t* to = frame + frameRow(row) + start;
                const std::uint8_t* before = previous + frameRow(row) + start;
                for (int b = 0; b < blocks; ++b) {
                    const std::size_t at = static_cast<std::size_t>(b) * BLOCK_ROW_BYTES;
                    std::uint64_t words[4];
                    std::memcpy(&words[0], from + at, BLOCK_ROW_BYTES);
                    std::memcpy(to + at, &words[0], BLOCK_ROW_BYTES);
                    std::memcpy(&words[2], before + at, BLOCK_ROW_BYTES);
                    differs[b] |= (words[0] ^ words[2]) | (words[1] ^ words[3]);
                }
            }
            for (int b = 0; b < blocks; ++b) count += (differs[b] & COLOUR_BYTES_OF_TWO_PIXELS) != 0 ? 1 : 0;
#endif
        }
        if (tailBytes > 0) {
            bool refreshed = false;
            for (int row = 0; row < rows; ++row) {
                const std::uint8_t* from = tileRow(row) + tailOffset;
                const std::uint8_t* before = previous + frameRow(row) + tailOffset;
                std::memcpy(frame + frameRow(row) + tailOffset, from, tailBytes);
                for (std::size_t i = 0; i < tailBytes; i += BYTES_PER_PIXEL) {
                    refreshed = refreshed || std::memcmp(from + i, before + i, 3) != 0;
                }
            }
            count += refreshed ? 1 : 0;
        }
    }
#if defined(__SSE2__)
    _mm_sfence();
#endif
    return count;
}

std::uint64_t countRefreshedBlocks(const std::uint8_t* previous, const std::uint8_t* current, int frameWidth,
                                   int frameHeight, const Rect& area) {
    const int right = std::min(area.x + area.width, frameWidth);
    const int bottom = std::min(area.y + area.height, frameHeight);
    std::uint64_t count = 0;
    for (int top = area.y; top < bottom; top += REFRESH_BLOCK) {
        for (int left = area.x; left < right; left += REFRESH_BLOCK) {
            bool refreshed = false;
            for (int y = top; y < std::min(top + REFRESH_BLOCK, bottom); ++y) {
                for (int x = left; x < std::min(left + REFRESH_BLOCK, right); ++x) {
                    const std::size_t at = frameBytes(frameWidth, y) + frameBytes(x, 1);
                    refreshed = refreshed || std::memcmp(previous + at, current + at, 3) != 0;
                }
            }
            count += refreshed ? 1 : 0;
        }
    }
    return count;
}

}  // namespace kalmix::tiles
