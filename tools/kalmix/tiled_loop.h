// The frame loop for frames the module does not take whole: each frame goes
// through the tile engine, one module instance per tile. Reading the next
// frame and writing the last one overlap with the filtering of the tiles.
#pragma once

#include "tools/kalmix/frame_loop.h"
#include "tools/tiles/tile_engine.h"

namespace kalmix::tool {

// Runs setup on every worker, then every frame. Throws ToolError; a failed
// tile throws tiles::TileError.
LoopSummary runTiledFrames(tiles::TileEngine& engine, const host::UserSettings& settings, FrameReader& reader,
                           FrameWriter& writer, const LoopSettings& loop);

}  // namespace kalmix::tool
