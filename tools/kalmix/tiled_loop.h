// The frame loop for frames the module does not take whole: each frame goes
// through the tile engine, one module instance per tile. Reading the next
// frame and writing the last one overlap with the filtering of the tiles.
#pragma once

#include "tools/kalmix/frame_loop.h"
#include "tools/tiles/tile_engine.h"

namespace kalmix::tool {

// The engine's shared frames the loop uses when the engine has them: two
// inputs (the frame in the tiles, the next being read) and three outputs (in
// the tiles, being written, the previous one for comparison). The reader
// fills them and the writer takes them where they are; the workers cut their
// tiles from them and paste into them.
inline constexpr int TILED_LOOP_FRAMES = 5;

// Runs setup on every worker, then every frame. Throws ToolError; a failed
// tile throws tiles::TileError.
LoopSummary runTiledFrames(tiles::TileEngine& engine, const host::UserSettings& settings, FrameReader& reader,
                           FrameWriter& writer, const LoopSettings& loop);

}  // namespace kalmix::tool
