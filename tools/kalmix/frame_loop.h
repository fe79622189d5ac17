// The frame loop: reads each frame, hands it to the module's execute call
// with its position and the clip total, writes what the module produced, and
// keeps the progress line and the summary.
//
// The module exports nothing but its entry point, so its block map is not
// visible from here. What the loop reports instead is measured on the output:
// a 4x4 block is "refreshed" when any of its pixels' blue, green or red bytes
// differ from the previous output frame. Still blocks that the module holds
// come out byte for byte as before, so the refreshed share follows the
// module's changed blocks (plus the frame mark it writes into rows 1 and 2).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "tools/host/plugin_host.h"
#include "tools/kalmix/video_io.h"
#include "tools/tiles/tile_grid.h"

namespace kalmix::tool {

inline constexpr int MAP_BLOCK = tiles::REFRESH_BLOCK;  // side of a refreshed-block cell, in pixels
inline constexpr double PROGRESS_INTERVAL = 0.25;  // seconds between progress redraws

// Sizes the module filters; any other frame it copies through.
bool moduleFilters(int width, int height);

struct LoopSettings {
    std::int32_t start = 0;
    std::optional<std::int32_t> clipTotal;  // default: the reader's frame count, or 0
    bool quiet = false;
    bool progress = false;  // draw the progress line on standard error
};

struct LoopSummary {
    std::int64_t framesFiltered = 0;
    std::int64_t framesPassed = 0;
    std::uint64_t blocksCompared = 0;   // blocks of filtered frames that had a previous output
    std::uint64_t blocksRefreshed = 0;  // of those, blocks whose output changed
    double seconds = 0;                 // the whole loop
    double filterSeconds = 0;           // inside the module's execute calls
    std::int32_t clipTotal = 0;
    int tiles = 0;        // frames cut into this many tiles (0: whole frames to the module)
    int workers = 0;      // tile workers, one module instance each
    int tileThreads = 0;  // tiles filtered at once

    double refreshedShare() const {
        return blocksCompared == 0 ? -1.0 : static_cast<double>(blocksRefreshed) / static_cast<double>(blocksCompared);
    }
};

// Sees every frame after it was filtered. refreshed holds one byte per 4x4
// block (row by row, nonzero: refreshed), or is null for a frame with no
// previous output or one that was passed through.
using FrameObserver = std::function<void(std::int64_t index, const std::uint8_t* input,
                                         const std::uint8_t* output, const std::uint8_t* refreshed)>;

// Runs setup with the user's settings, then every frame. Throws ToolError.
// The clip total the module is told: the one given, else the reader's frame
// count (capped to the module's 32-bit field), else 0.
std::int32_t clipTotalFor(const LoopSettings& loop, const VideoFormat& format);

LoopSummary runFrames(host::PluginModule& module, const host::UserSettings& settings, FrameReader& reader,
                      FrameWriter& writer, const LoopSettings& loop, const FrameObserver& observer = {});

std::string summaryLine(const LoopSummary& summary);

// Shared with the tiled loop (tiled_loop.cpp).
void drawProgress(std::int64_t done, std::int64_t total, double elapsed);
// Marks each 4x4 block whose blue, green or red bytes differ between the two
// frames in map (one byte a block, row by row); returns how many did.
std::uint64_t markRefreshedBlocks(const std::uint8_t* previous, const std::uint8_t* current, int width, int height,
                                  std::uint8_t* map);

}  // namespace kalmix::tool
