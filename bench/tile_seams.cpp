// kalmix_tile_seams: measures whether the tile borders show in the output of
// the tiled filter, and how the margin between tiles changes the output.
//
//   kalmix_tile_seams WxH INPUT.bgra OUTPUT.bgra [--map MAP.pgm] [--corner CROP.ppm]
//       Temporal flicker (mean |luma change| from one frame to the next) per
//       output column and row, the columns and rows at tile borders against
//       the rest; a flicker map and a crop across a tile corner.
//   kalmix_tile_seams --sweep WxH INPUT.bgra
//       Filters INPUT through the tiles at several margins and compares each
//       with the output at the widest margin.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/host/plugin_host.h"
#include "tools/tiles/tile_engine.h"

namespace {

using namespace kalmix::tiles;
using Frame = std::vector<std::uint8_t>;

constexpr int BORDER_REACH = 2;  // columns on each side of a border that count as "at the border"
constexpr int WIDEST_MARGIN = 48;
constexpr int SHIFTS = 100;  // border moves tried for the rank of the true borders

std::vector<Frame> readFrames(const std::string& path, int width, int height) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "kalmix_tile_seams: cannot read %s\n", path.c_str());
        std::exit(1);
    }
    std::vector<Frame> frames;
    Frame frame(frameBytes(width, height));
    while (in.read(reinterpret_cast<char*>(frame.data()), static_cast<std::streamsize>(frame.size()))) {
        frames.push_back(frame);
    }
    return frames;
}

std::vector<double> luma(const Frame& frame) {
    std::vector<double> y(frame.size() / BYTES_PER_PIXEL);
    for (std::size_t i = 0; i < y.size(); ++i) {
        const std::uint8_t* p = &frame[i * BYTES_PER_PIXEL];
        y[i] = 0.114 * p[0] + 0.587 * p[1] + 0.299 * p[2];
    }
    return y;
}

// Mean |luma change| between consecutive frames, per pixel, from frame 2 on
// (frame 0 starts the sequence afresh).
std::vector<double> flickerMap(const std::vector<Frame>& frames) {
    std::vector<double> map(frames[0].size() / BYTES_PER_PIXEL, 0.0);
    std::vector<double> last = luma(frames[1]);
    const int first = 2;
    for (std::size_t f = first; f < frames.size(); ++f) {
        const std::vector<double> now = luma(frames[f]);
        for (std::size_t i = 0; i < map.size(); ++i) map[i] += std::fabs(now[i] - last[i]);
        last = now;
    }
    for (double& v : map) v /= static_cast<double>(frames.size() - first);
    return map;
}

double mean(const std::vector<double>& values) {
    double sum = 0;
    for (double v : values) sum += v;
    return values.empty() ? 0.0 : sum / static_cast<double>(values.size());
}

// Compares the lines (columns or rows) at tile borders with the others.
void reportLines(const char* what, const std::vector<double>& lines, const std::vector<int>& borders) {
    std::vector<bool> atBorder(lines.size(), false);
    for (int b : borders) {
        for (int d = -BORDER_REACH; d < BORDER_REACH; ++d) {
            if (b + d >= 0 && b + d < static_cast<int>(lines.size())) atBorder[static_cast<std::size_t>(b + d)] = true;
        }
    }
    std::vector<double> near;
    std::vector<double> away;
    for (std::size_t i = 0; i < lines.size(); ++i) (atBorder[i] ? near : away).push_back(lines[i]);
    const double m = mean(away);
    double variance = 0;
    for (double v : away) variance += (v - m) * (v - m);
    const double sd = away.size() > 1 ? std::sqrt(variance / static_cast<double>(away.size() - 1)) : 0.0;
    const double awayMax = away.empty() ? 0.0 : *std::max_element(away.begin(), away.end());
    const double nearMax = near.empty() ? 0.0 : *std::max_element(near.begin(), near.end());
    // The same mean with every border moved by d lines, d = -SHIFTS..SHIFTS:
    // if the borders do not stand out, d = 0 ranks anywhere among them.
    const auto shiftedMean = [&](int d) {
        double sum = 0;
        int count = 0;
        for (int b : borders) {
            for (int k = b + d - BORDER_REACH; k < b + d + BORDER_REACH; ++k) {
                if (k >= 0 && k < static_cast<int>(lines.size())) {
                    sum += lines[static_cast<std::size_t>(k)];
                    ++count;
                }
            }
        }
        return count > 0 ? sum / count : 0.0;
    };
    const double atZero = shiftedMean(0);
    int above = 0;
    for (int d = -SHIFTS; d <= SHIFTS; ++d) above += d != 0 && shiftedMean(d) >= atZero ? 1 : 0;
    std::printf("  %s: away from borders mean %.3f sd %.3f max %.3f; at borders (%zu) mean %.3f max %.3f;"
                " borders moved by 1..%d lines give a mean as high in %d of %d cases\n",
                what, m, sd, awayMax, near.size(), mean(near), nearMax, SHIFTS, above, 2 * SHIFTS);
}

int seams(int width, int height, const std::string& inputPath, const std::string& outputPath,
          const std::string& mapPath, const std::string& cornerPath) {
    const std::vector<Frame> input = readFrames(inputPath, width, height);
    const std::vector<Frame> output = readFrames(outputPath, width, height);
    if (output.size() < 4 || output.size() != input.size()) {
        std::fprintf(stderr, "kalmix_tile_seams: need the same number (4 or more) of input and output frames\n");
        return 1;
    }
    const TileGrid grid = planTiles(width, height);
    std::vector<int> columnBorders;
    std::vector<int> rowBorders;
    for (const Tile& tile : grid.tiles) {
        if (tile.interior.x > 0) columnBorders.push_back(tile.interior.x);
        if (tile.interior.y > 0) rowBorders.push_back(tile.interior.y);
    }
    std::sort(columnBorders.begin(), columnBorders.end());
    columnBorders.erase(std::unique(columnBorders.begin(), columnBorders.end()), columnBorders.end());
    std::sort(rowBorders.begin(), rowBorders.end());
    rowBorders.erase(std::unique(rowBorders.begin(), rowBorders.end()), rowBorders.end());

    const std::vector<double> in = flickerMap(input);
    const std::vector<double> out = flickerMap(output);
    std::printf("%dx%d, %zu frames, %d x %d tiles (%zu)\n", width, height, output.size(), grid.columns, grid.rows,
                grid.tiles.size());
    std::printf("  flicker (mean |luma change| between frames, frames 2 on): input %.3f, output %.3f\n", mean(in),
                mean(out));
    std::vector<double> columns(static_cast<std::size_t>(width), 0.0);
    std::vector<double> rows(static_cast<std::size_t>(height), 0.0);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double v = out[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)];
            columns[static_cast<std::size_t>(x)] += v / height;
            rows[static_cast<std::size_t>(y)] += v / width;
        }
    }
    reportLines("columns", columns, columnBorders);
    reportLines("rows", rows, rowBorders);

    if (!mapPath.empty()) {  // 0 black .. 4 and above white
        std::ofstream map(mapPath, std::ios::binary);
        map << "P5\n" << width << " " << height << "\n255\n";
        for (double v : out) map.put(static_cast<char>(std::clamp(static_cast<int>(v * 64.0), 0, 255)));
    }
    if (!cornerPath.empty() && !columnBorders.empty() && !rowBorders.empty()) {
        const int side = 128;  // centred on the first inner tile corner
        const int x0 = std::clamp(columnBorders[0] - side / 2, 0, width - side);
        const int y0 = std::clamp(rowBorders[0] - side / 2, 0, height - side);
        std::ofstream crop(cornerPath, std::ios::binary);
        crop << "P6\n" << side << " " << side << "\n255\n";
        const Frame& last = output.back();
        for (int y = y0; y < y0 + side; ++y) {
            for (int x = x0; x < x0 + side; ++x) {
                const std::uint8_t* p = &last[frameBytes(width, y) + frameBytes(x, 1)];
                crop.put(static_cast<char>(p[2])).put(static_cast<char>(p[1])).put(static_cast<char>(p[0]));
            }
        }
        std::printf("  corner crop: %dx%d at %d,%d (tile corner at %d,%d)\n", side, side, x0, y0, columnBorders[0],
                    rowBorders[0]);
    }
    return 0;
}

std::vector<Frame> runTiles(const std::vector<Frame>& clip, int width, int height, int margin,
                            const std::filesystem::path& folder) {
    EngineSettings settings;
    settings.modulePath = kalmix::host::defaultModulePath();
    settings.stateFolder = folder / ("margin-" + std::to_string(margin));
    settings.margin = margin;
    TileEngine engine(width, height, settings);
    engine.setup(kalmix::host::UserSettings{});
    std::vector<Frame> out;
    for (std::size_t f = 0; f < clip.size(); ++f) {
        Frame frame(clip[f].size());
        engine.filter(clip[f].data(), frame.data(), static_cast<std::int32_t>(f), static_cast<std::int32_t>(clip.size()));
        out.push_back(std::move(frame));
    }
    return out;
}

int sweep(int width, int height, const std::string& inputPath) {
    const std::vector<Frame> clip = readFrames(inputPath, width, height);
    if (clip.size() < 2) {
        std::fprintf(stderr, "kalmix_tile_seams: need 2 or more frames\n");
        return 1;
    }
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "kalmix-tile-sweep";
    const std::vector<Frame> widest = runTiles(clip, width, height, WIDEST_MARGIN, folder);
    std::printf("%dx%d, %zu frames; against margin %d:\n", width, height, clip.size(), WIDEST_MARGIN);
    for (int margin : {4, 8, 12, 16, 24, 32}) {
        const std::vector<Frame> out = runTiles(clip, width, height, margin, folder);
        std::size_t differing = 0;
        std::size_t pixels = 0;
        for (std::size_t f = 0; f < clip.size(); ++f) {
            for (std::size_t i = 0; i < out[f].size(); i += BYTES_PER_PIXEL, ++pixels) {
                if (out[f][i] != widest[f][i] || out[f][i + 1] != widest[f][i + 1] || out[f][i + 2] != widest[f][i + 2]) {
                    ++differing;
                }
            }
        }
        std::printf("  margin %2d: %3zu tiles, %.4f%% of pixels differ\n", margin,
                    planTiles(width, height, margin).tiles.size(), 100.0 * static_cast<double>(differing) / static_cast<double>(pixels));
    }
    std::filesystem::remove_all(folder);
    return 0;
}

bool parseSize(const char* text, int& width, int& height) {
    return std::sscanf(text, "%dx%d", &width, &height) == 2 && width > 0 && height > 0;
}

}  // namespace

int main(int argc, char** argv) {
    int width = 0;
    int height = 0;
    if (argc == 4 && std::string(argv[1]) == "--sweep" && parseSize(argv[2], width, height)) {
        return sweep(width, height, argv[3]);
    }
    if (argc >= 4 && parseSize(argv[1], width, height)) {
        std::string map;
        std::string corner;
        for (int i = 4; i + 1 < argc; i += 2) {
            if (std::string(argv[i]) == "--map") map = argv[i + 1];
            if (std::string(argv[i]) == "--corner") corner = argv[i + 1];
        }
        return seams(width, height, argv[2], argv[3], map, corner);
    }
    std::fprintf(stderr,
                 "usage: kalmix_tile_seams WxH INPUT.bgra OUTPUT.bgra [--map MAP.pgm] [--corner CROP.ppm]\n"
                 "       kalmix_tile_seams --sweep WxH INPUT.bgra\n");
    return 2;
}
