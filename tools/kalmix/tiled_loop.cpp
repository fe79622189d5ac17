// Reads, filters through the tiles and writes frames, one frame in the tiles
// while the next is read and the last is written.
#include "tools/kalmix/tiled_loop.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <limits>
#include <vector>

namespace kalmix::tool {
namespace {

// The workers' counts stand for markRefreshedBlocks.

// After another failure, which is the one to report.
void finishQuietly(tiles::TileEngine& engine) {
    try {
        engine.finish();
    } catch (const tiles::TileError&) {
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
    std::vector<std::vector<std::uint8_t>> owned(shared ? 0 : TILED_LOOP_FRAMES, std::vector<std::uint8_t>(frameBytes));
    const auto buffer = [&](int number) { return shared ? engine.sharedFrame(number) : owned[number].data(); };
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
    std::int64_t index = 0;
    const auto position = [&loop](std::int64_t frame) {
        if (frame > static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) - loop.start) {
            throw ToolError("frame position passes 2147483647: lower --start");
        }
        return static_cast<std::int32_t>(loop.start + frame);
    };
    std::size_t in = 0;       // inputs[in]: the frame in the tiles
    std::size_t out = 0;      // outputs[out]: its output
    std::size_t previous = 2; // outputs[previous]: the frame before
    bool have = reader.read(inputs[in], infos[in]);
    if (have) engine.start(inputs[in], outputs[out], position(0), summary.clipTotal);
    while (have) {
        const std::size_t nextIn = 1 - in;
        bool haveNext = false;
        try {
            haveNext = reader.read(inputs[nextIn], infos[nextIn]);
        } catch (...) {
            finishQuietly(engine);  // never leave the tiles writing into buffers about to go
            throw;
        }
        const Clock::time_point before = Clock::now();
        engine.finish();
        summary.filterSeconds += std::chrono::duration<double>(Clock::now() - before).count();
        const std::size_t nextOut = 3 - out - previous;
        // Counted by the workers while the output was hot in their caches, when
        // they could.
        const std::int64_t counted = engine.refreshedBlocks();
        if (haveNext) {
            engine.start(inputs[nextIn], outputs[nextOut], position(index + 1), summary.clipTotal,
                         countRefreshed ? outputs[out] : nullptr);
        }

        ++summary.framesFiltered;
        if (index > 0 && countRefreshed) {
            summary.blocksRefreshed +=
                counted >= 0 ? static_cast<std::uint64_t>(counted)
                             : markRefreshedBlocks(outputs[previous], outputs[out], format.width, format.height,
                                                   refreshed.data());
            summary.blocksCompared += blocksPerFrame;
        }
        try {
            writer.write(outputs[out], infos[in]);
        } catch (...) {
            if (haveNext) finishQuietly(engine);
            throw;
        }
        previous = out;
        out = nextOut;
        in = nextIn;
        have = haveNext;
        ++index;

        if (loop.progress) {
            const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            if (elapsed - lastDrawn >= PROGRESS_INTERVAL) {
                drawProgress(index, summary.clipTotal > 0 ? summary.clipTotal : format.frameCount, elapsed);
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
