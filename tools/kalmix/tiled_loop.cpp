// Reads, filters through the tiles and writes frames: the next frame is read
// and handed to the tiles, and the last one written, while the tiles of the
// current frame are filtered.
#include "tools/kalmix/tiled_loop.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <limits>
#include <vector>

#include "tools/kalmix/frame_memory.h"

namespace kalmix::tool {
namespace {

// The workers' counts stand for markRefreshedBlocks.

// After another failure, which is the one to report: every frame still in
// the tiles finished.
void finishQuietly(tiles::TileEngine& engine) {
    while (engine.unfinished() > 0) {
        try {
            engine.finish();
        } catch (const tiles::TileError&) {
        }
    }
}

}  // namespace

LoopSummary runTiledFrames(tiles::TileEngine& engine, const host::UserSettings& settings, FrameReader& reader,
                           FrameWriter& writer, const LoopSettings& loop) {
    using Clock = std::chrono::steady_clock;
    const VideoFormat& format = reader.format();
    LoopSummary summary;
    summary.clipTotal = clipTotalFor(loop, format);
    summary.tiles = static_cast<int>(engine.grid().tiles.size());
    summary.workers = engine.workerCount();
    summary.tileThreads = engine.threads();
    engine.setup(settings);

    // Two inputs and three outputs (TILED_LOOP_FRAMES), the engine's shared
    // frames when it has them.
    const std::size_t frameBytes = format.frameBytes();
    const bool shared = engine.sharedFrameCount() >= TILED_LOOP_FRAMES;
    const FrameMemory owned(shared ? 0 : frameBytes, TILED_LOOP_FRAMES);
    const auto buffer = [&](int number) { return shared ? engine.sharedFrame(number) : owned.frame(number); };
    const std::array<std::uint8_t*, 2> inputs{buffer(0), buffer(1)};
    const std::array<std::uint8_t*, 3> outputs{buffer(2), buffer(3), buffer(4)};
    std::vector<std::uint8_t> refreshed(static_cast<std::size_t>((format.width + MAP_BLOCK - 1) / MAP_BLOCK) *
                                        static_cast<std::size_t>((format.height + MAP_BLOCK - 1) / MAP_BLOCK));
    const std::uint64_t blocksPerFrame = refreshed.size();

    // The refreshed share is for the summary, which a quiet run does not
    // print: then the workers paste without counting.
    const bool countRefreshed = !loop.quiet;

    const Clock::time_point start = Clock::now();
    double lastDrawn = 0;
    bool drawn = false;
    std::array<FrameInfo, 2> infos;
    const auto position = [&loop](std::int64_t frame) {
        if (frame > static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) - loop.start) {
            throw ToolError("frame position passes 2147483647: lower --start");
        }
        return static_cast<std::int32_t>(loop.start + frame);
    };
    // Frame f is read into inputs[f % 2] and filtered into outputs[f % 3]. The
    // next frame is handed to the tiles before this one has finished, so the
    // workers go on to it without a pause; by then the frame before has
    // finished, so its input takes the next frame and the output before it is
    // written and counted against already.
    std::int64_t handed = 0;
    bool more = true;
    const auto handNext = [&] {
        const std::size_t slot = static_cast<std::size_t>(handed % 2);
        if (!reader.read(inputs[slot], infos[slot])) {
            more = false;
            return;
        }
        const bool hasPrevious = handed > 0 && countRefreshed;
        engine.start(inputs[slot], outputs[static_cast<std::size_t>(handed % 3)], position(handed),
                     summary.clipTotal, hasPrevious ? outputs[static_cast<std::size_t>((handed - 1) % 3)] : nullptr);
        ++handed;
    };
    handNext();
    for (std::int64_t index = 0; index < handed; ++index) {
        try {
            if (more) handNext();
        } catch (...) {
            finishQuietly(engine);  // never leave the tiles writing into buffers about to go
            throw;
        }
        const Clock::time_point before = Clock::now();
        engine.finish();
        summary.filterSeconds += std::chrono::duration<double>(Clock::now() - before).count();
        const std::uint8_t* output = outputs[static_cast<std::size_t>(index % 3)];
        // Counted by the workers while the output was hot in their caches, when
        // they could.
        const std::int64_t counted = engine.refreshedBlocks();

        ++summary.framesFiltered;
        if (index > 0 && countRefreshed) {
            summary.blocksRefreshed +=
                counted >= 0 ? static_cast<std::uint64_t>(counted)
                             : markRefreshedBlocks(outputs[static_cast<std::size_t>((index - 1) % 3)], output,
                                                   format.width, format.height, refreshed.data());
            summary.blocksCompared += blocksPerFrame;
        }
        try {
            writer.write(output, infos[static_cast<std::size_t>(index % 2)]);
        } catch (...) {
            finishQuietly(engine);
            throw;
        }

        if (loop.progress) {
            const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            if (elapsed - lastDrawn >= PROGRESS_INTERVAL) {
                drawProgress(index + 1, summary.clipTotal > 0 ? summary.clipTotal : format.frameCount, elapsed);
                lastDrawn = elapsed;
                drawn = true;
            }
        }
    }
    writer.finish();
    summary.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (drawn) std::fputs("\r\033[K", stderr);
    return summary;
}

}  // namespace kalmix::tool
