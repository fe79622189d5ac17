// Reads, filters and writes frames; progress and summary.
#include "tools/kalmix/frame_loop.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "tools/kalmix/block_prints.h"
#include "tools/kalmix/frame_feed.h"
#include "tools/kalmix/frame_sink.h"

namespace kalmix::tool {
namespace {

constexpr int MAX_FILTERED_WIDTH = 384;
constexpr int MAX_FILTERED_HEIGHT = 288;

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string clockText(double seconds) {
    const auto whole = static_cast<long long>(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
    return text;
}

}  // namespace

void drawProgress(std::int64_t done, std::int64_t total, double elapsed) {
    const double fps = elapsed > 0 ? static_cast<double>(done) / elapsed : 0.0;
    char line[160];
    if (total > 0 && done <= total) {
        const double left = fps > 0 ? static_cast<double>(total - done) / fps : 0.0;
        std::snprintf(line, sizeof line, "\rframe %lld/%lld (%d%%)  %.1f fps  %s left\033[K",
                      static_cast<long long>(done), static_cast<long long>(total),
                      static_cast<int>(100 * done / total), fps, clockText(left).c_str());
    } else {
        std::snprintf(line, sizeof line, "\rframe %lld  %.1f fps\033[K", static_cast<long long>(done), fps);
    }
    std::fputs(line, stderr);
    std::fflush(stderr);
}

using tiles::COLOUR_BYTES_OF_TWO_PIXELS;

// The tiled loop keeps whole output frames and compares them directly: a
// row that differs is compared a block (four pixels, two 64-bit words) at a
// time, with the alpha bytes masked out.
std::uint64_t markRefreshedBlocks(const std::uint8_t* previous, const std::uint8_t* current, int width, int height,
                                  std::uint8_t* map) {
    const int blocksAcross = (width + MAP_BLOCK - 1) / MAP_BLOCK;
    const int blocksDown = (height + MAP_BLOCK - 1) / MAP_BLOCK;
    std::memset(map, 0, static_cast<std::size_t>(blocksAcross) * static_cast<std::size_t>(blocksDown));
    const std::size_t rowBytes = static_cast<std::size_t>(width) * BYTES_PER_PIXEL;
    static_assert(MAP_BLOCK * BYTES_PER_PIXEL == 2 * sizeof(std::uint64_t));
    const int wholeBlocks = width / MAP_BLOCK;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* a = previous + static_cast<std::size_t>(y) * rowBytes;
        const std::uint8_t* b = current + static_cast<std::size_t>(y) * rowBytes;
        if (std::memcmp(a, b, rowBytes) == 0) continue;
        std::uint8_t* mapRow = map + static_cast<std::size_t>(y / MAP_BLOCK) * static_cast<std::size_t>(blocksAcross);
        for (int block = 0; block < wholeBlocks; ++block) {
            if (mapRow[block] != 0) continue;  // an earlier row of the block differed
            std::uint64_t words[4];
            const std::size_t at = static_cast<std::size_t>(block) * MAP_BLOCK * BYTES_PER_PIXEL;
            std::memcpy(&words[0], a + at, 2 * sizeof(std::uint64_t));
            std::memcpy(&words[2], b + at, 2 * sizeof(std::uint64_t));
            if ((((words[0] ^ words[2]) | (words[1] ^ words[3])) & COLOUR_BYTES_OF_TWO_PIXELS) != 0) mapRow[block] = 1;
        }
        for (int x = wholeBlocks * MAP_BLOCK; x < width; ++x) {
            const std::size_t i = static_cast<std::size_t>(x) * BYTES_PER_PIXEL;
            if (a[i] != b[i] || a[i + 1] != b[i + 1] || a[i + 2] != b[i + 2]) mapRow[x / MAP_BLOCK] = 1;
        }
    }
    std::uint64_t count = 0;
    for (int i = 0; i < blocksAcross * blocksDown; ++i) count += map[i];
    return count;
}

bool moduleFilters(int width, int height) {
    return width > 0 && height > 0 && width <= MAX_FILTERED_WIDTH && height <= MAX_FILTERED_HEIGHT &&
           width % 4 == 0 && height % 4 == 0;
}

std::int32_t clipTotalFor(const LoopSettings& loop, const VideoFormat& format) {
    if (loop.clipTotal) return *loop.clipTotal;
    if (format.frameCount <= 0) return 0;
    return static_cast<std::int32_t>(
        std::min<std::int64_t>(format.frameCount, std::numeric_limits<std::int32_t>::max()));
}

LoopSummary runFrames(host::PluginModule& module, const host::UserSettings& settings, FrameReader& reader,
                      FrameWriter& writer, const LoopSettings& loop, const FrameObserver& observer) {
    const VideoFormat& format = reader.format();
    LoopSummary summary;
    summary.clipTotal = clipTotalFor(loop, format);

    if (const std::int16_t result = module.setup(settings); result != 0) {
        throw ToolError("the module refused its setup call (result " + std::to_string(result) + ")");
    }

    const bool filtered = moduleFilters(format.width, format.height);
    if (!filtered && !loop.quiet) {
        std::fprintf(stderr,
                     "kalmix: note: %dx%d frames pass through unfiltered: the filter takes frames of at most "
                     "%dx%d with both sides a multiple of 4 (--fit scales them down; --tiles on filters them in tiles)\n",
                     format.width, format.height, MAX_FILTERED_WIDTH, MAX_FILTERED_HEIGHT);
    }

    // Every buffer of the loop, allocated once.
    const std::size_t frameBytes = format.frameBytes();
    FrameFeed feed(reader, frameBytes);
    FrameSink sink(writer, frameBytes);
    std::vector<std::uint8_t> refreshed(static_cast<std::size_t>((format.width + MAP_BLOCK - 1) / MAP_BLOCK) *
                                        static_cast<std::size_t>((format.height + MAP_BLOCK - 1) / MAP_BLOCK));
    const std::uint64_t blocksPerFrame = refreshed.size();
    // The refreshed share is for the summary and the observer: a quiet run
    // without one prints no summary, so it skips the prints (and their
    // memory, whose first touch alone cost some 50 page faults at 384x288).
    const bool countRefreshed = !loop.quiet || static_cast<bool>(observer);
    // Prints of the previous and the current output: the previous output
    // itself is not kept, as reading it back cold would cost more than the
    // whole comparison.
    std::vector<BlockPrint> previousPrints(countRefreshed ? refreshed.size() : 0);
    std::vector<BlockPrint> currentPrints(countRefreshed ? refreshed.size() : 0);

    const Clock::time_point start = Clock::now();
    double lastDrawn = 0;
    bool drawn = false;
    FrameInfo info;
    std::int64_t index = 0;
    while (const std::uint8_t* input = feed.next(info)) {
        if (index > static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) - loop.start) {
            throw ToolError("frame position passes 2147483647: lower --start");
        }
        const auto position = static_cast<std::int32_t>(loop.start + index);
        std::uint8_t* const output = sink.buffer();
        const Clock::time_point before = Clock::now();
        module.execute(input, output, format.width, format.height, position, summary.clipTotal);
        summary.filterSeconds += secondsSince(before);

        const std::uint8_t* map = nullptr;
        if (!filtered) {
            ++summary.framesPassed;
        } else {
            ++summary.framesFiltered;
            if (countRefreshed) {
                blockPrints(output, format.width, format.height, currentPrints.data());
                if (index > 0) {
                    summary.blocksRefreshed += markRefreshedBlocks(previousPrints.data(), currentPrints.data(),
                                                                   refreshed.size(), refreshed.data());
                    summary.blocksCompared += blocksPerFrame;
                    map = refreshed.data();
                }
                previousPrints.swap(currentPrints);
            }
        }
        sink.write(info);
        if (observer) observer(index, input, output, map);
        ++index;

        if (loop.progress) {
            const double elapsed = secondsSince(start);
            if (elapsed - lastDrawn >= PROGRESS_INTERVAL) {
                drawProgress(index, summary.clipTotal > 0 ? summary.clipTotal : format.frameCount, elapsed);
                lastDrawn = elapsed;
                drawn = true;
            }
        }
    }
    sink.finish();
    summary.seconds = secondsSince(start);
    if (drawn) std::fputs("\r\033[K", stderr);
    return summary;
}

std::string summaryLine(const LoopSummary& summary) {
    const std::int64_t frames = summary.framesFiltered + summary.framesPassed;
    const double fps = summary.seconds > 0 ? static_cast<double>(frames) / summary.seconds : 0.0;
    char share[48];
    if (summary.refreshedShare() < 0) {
        std::snprintf(share, sizeof share, "no blocks compared");
    } else {
        std::snprintf(share, sizeof share, "%.1f%% of blocks refreshed", 100.0 * summary.refreshedShare());
    }
    char tiles[96] = "";
    if (summary.tiles > 0) {
        std::snprintf(tiles, sizeof tiles, " in %d tiles by %d workers, %d at a time", summary.tiles, summary.workers,
                      summary.tileThreads);
    }
    char line[352];
    std::snprintf(line, sizeof line, "%lld frames filtered%s, %lld passed through, %s, %.2f s (%.1f fps)",
                  static_cast<long long>(summary.framesFiltered), tiles, static_cast<long long>(summary.framesPassed),
                  share, summary.seconds, fps);
    return line;
}

}  // namespace kalmix::tool
