// Runs a deterministic clip through the native module at several settings and
// writes the source and destination frames for the Windows test host, which
// must reproduce every byte with the DLL: crosscheck_writer OUTPUT
#include <cstdio>
#include <cstring>
#include <vector>

#include "crosscheck_format.h"
#include "tools/host/plugin_host.h"

namespace {

struct Case {
    int width, height, frameCount, clipTotal;
    kalmix::FilterParams params;
    int cutAt;  // frame index where the positions jump ahead (a new sequence); -1 none
};

constexpr Case CASES[] = {
    {384, 288, 8, 8, {5, 5, 5, 2, 1}, -1},      // the largest frame, default settings
    {160, 120, 10, 60, {8, 5, 9, 4, 0}, 6},     // strong smoothing, plain detection, a cut
    {96, 64, 8, 8, {2, 5, 3, 0, 1}, -1},        // gentle, no transition hold
    {64, 48, 6, 6, {10, 0, 10, 7, 1}, -1},      // strongest
    {102, 60, 2, 2, {5, 5, 5, 2, 1}, -1},       // not a multiple of 4: copied through
};

// A fixed pseudo-random sequence, the same on every machine.
struct Noise {
    std::uint32_t state;
    int next(int amplitude) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return static_cast<int>(state % static_cast<std::uint32_t>(2 * amplitude + 1)) - amplitude;
    }
};

std::uint8_t clampByte(int value) {
    return static_cast<std::uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value);
}

// Gradients with noise, a square that moves and a band that brightens, so the
// filter meets still noise, motion and a slow change in one clip.
std::vector<std::uint8_t> clipFrame(int width, int height, int index, Noise& noise) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
    const int squareX = (5 * index) % (width > 24 ? width - 20 : 1);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 4];
            int blue = 40 + (x * 160) / width, green = 60 + (y * 120) / height, red = 90 + ((x + y) % 64);
            if (x >= squareX && x < squareX + 20 && y >= height / 3 && y < height / 3 + 20) {
                blue = 230, green = 210, red = 30;
            }
            if (y >= height - 12) red += 6 * index;
            p[0] = clampByte(blue + noise.next(4));
            p[1] = clampByte(green + noise.next(4));
            p[2] = clampByte(red + noise.next(4));
            p[3] = static_cast<std::uint8_t>(x + y);  // alpha is copied through
        }
    }
    return pixels;
}

bool writeAll(std::FILE* out, const void* data, std::size_t size) {
    return std::fwrite(data, 1, size, out) == size;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: crosscheck_writer OUTPUT\n");
        return 2;
    }
    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    const std::int32_t caseCount = static_cast<std::int32_t>(std::size(CASES));
    bool ok = writeAll(out, crosscheck::MAGIC, 4) && writeAll(out, &caseCount, 4);
    for (const Case& c : CASES) {
        std::string error;
        auto module = kalmix::host::PluginModule::load(kalmix::host::defaultModulePath(), error);
        if (!module) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        module->setParams(c.params);
        const crosscheck::CaseHeader header{c.width, c.height, c.frameCount, c.clipTotal,
                                            {c.params.primaryLevel, c.params.uvLevel,
                                             c.params.secondaryLevel, c.params.transitionFrames,
                                             c.params.enhancedSuppression}};
        ok = ok && writeAll(out, &header, sizeof(header));
        Noise noise{0x2545F491u};
        std::vector<std::uint8_t> destination(static_cast<std::size_t>(c.width) * c.height * 4);
        for (int f = 0; f < c.frameCount; ++f) {
            const std::int32_t position = c.cutAt >= 0 && f >= c.cutAt ? f + 40 : f;
            const std::vector<std::uint8_t> source = clipFrame(c.width, c.height, f, noise);
            module->execute(source.data(), destination.data(), c.width, c.height, position, c.clipTotal);
            ok = ok && writeAll(out, &position, 4) && writeAll(out, source.data(), source.size()) &&
                 writeAll(out, destination.data(), destination.size());
        }
    }
    ok = std::fclose(out) == 0 && ok;
    return ok ? 0 : 1;
}
