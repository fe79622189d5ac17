// The demo clip: integer scene drawing and counter-based noise, so every
// machine makes the same bytes.
#include "tools/kalmix/demo_clip.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace kalmix::tool {
namespace {

constexpr int W = DemoClip::WIDTH;
constexpr int H = DemoClip::HEIGHT;
constexpr int MOTION_MARGIN = 8;  // pixels around an object that do not count as still

struct Colour {
    int b, g, r;
};

std::uint64_t mix(std::uint64_t x) {  // splitmix64's finaliser
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

int hashByte(int x, int y, int salt) {
    return static_cast<int>(mix((static_cast<std::uint64_t>(salt) << 48) ^ (static_cast<std::uint64_t>(y) << 24) ^
                                static_cast<std::uint64_t>(x)) & 255u);
}

// Smooth value noise 0..255 on a grid of cell pixels, bilinear in integers.
int valueNoise(int x, int y, int cell, int salt) {
    const int gx = x / cell;
    const int gy = y / cell;
    const int fx = x % cell;
    const int fy = y % cell;
    const int a = hashByte(gx, gy, salt);
    const int b = hashByte(gx + 1, gy, salt);
    const int c = hashByte(gx, gy + 1, salt);
    const int d = hashByte(gx + 1, gy + 1, salt);
    const int top = a * (cell - fx) + b * fx;
    const int bottom = c * (cell - fx) + d * fx;
    return (top * (cell - fy) + bottom * fy) / (cell * cell);
}

std::uint8_t clampByte(int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); }

void put(std::uint8_t* frame, int x, int y, Colour c) {
    if (x < 0 || y < 0 || x >= W || y >= H) return;
    std::uint8_t* p = frame + (static_cast<std::size_t>(y) * W + static_cast<std::size_t>(x)) * 4;
    p[0] = clampByte(c.b);
    p[1] = clampByte(c.g);
    p[2] = clampByte(c.r);
    p[3] = 255;
}

Colour scenePixel(int x, int y) {
    if (y < 96) {  // sky with soft clouds
        const int t = y * 256 / 96;
        Colour sky{230 + (240 - 230) * t / 256, 170 + (215 - 170) * t / 256, 110 + (190 - 110) * t / 256};
        const int cloud = (valueNoise(x, y, 32, 1) * 2 + valueNoise(x, y, 12, 2)) / 3;
        if (cloud > 140) {
            const int k = std::min(255, (cloud - 140) * 4);
            sky = {sky.b + (250 - sky.b) * k / 255, sky.g + (250 - sky.g) * k / 255, sky.r + (250 - sky.r) * k / 255};
        }
        return sky;
    }
    if (y < 144) {  // foliage: dark greens, fine and coarse structure
        const int leaf = (valueNoise(x, y, 6, 3) + valueNoise(x, y, 3, 4)) / 2;
        const int shade = valueNoise(x, y, 24, 5);
        return {30 + leaf / 8, 60 + leaf / 3 + shade / 6, 35 + leaf / 6};
    }
    // A brick wall: 32 x 16 bricks, every other course offset, 2-pixel mortar.
    const int course = (y - 144) / 16;
    const int shifted = x + (course % 2) * 16;
    const bool mortar = (y - 144) % 16 < 2 || shifted % 32 < 2;
    const int grain = hashByte(x, y, 6) / 12 - 10;  // fixed fine texture of the surface
    if (mortar) return {168 + grain, 172 + grain, 178 + grain};
    const int brick = hashByte(shifted / 32, course, 7) / 6 - 21;
    return {52 + brick / 2 + grain, 72 + brick + grain, 150 + brick + grain};
}

void drawColourChart(std::uint8_t* frame) {
    static constexpr std::array<Colour, 6> PATCHES{{
        {60, 60, 200}, {60, 190, 70}, {190, 80, 50}, {40, 200, 220}, {180, 70, 180}, {128, 128, 128},
    }};
    for (int i = 0; i < 6; ++i) {
        const int x0 = 200 + (i % 3) * 34;
        const int y0 = 162 + (i / 3) * 30;
        for (int y = y0; y < y0 + 28; ++y) {
            for (int x = x0; x < x0 + 32; ++x) put(frame, x, y, PATCHES[static_cast<std::size_t>(i)]);
        }
    }
}

struct Box {
    int left, top, right, bottom;  // right and bottom exclusive
};

// Where the objects are at frame index of count.
Box ballBox(int index, int count, int& cx, int& cy) {
    constexpr int RADIUS = 18;
    cx = -RADIUS + (W + 2 * RADIUS) * index / std::max(1, count - 1);
    const int phase = (index * 2 * 64 / std::max(1, count - 1)) % 64;  // two bounces across the clip
    const int height = phase < 32 ? phase : 64 - phase;
    cy = 70 + (32 - height) * 3;
    return {cx - RADIUS, cy - RADIUS, cx + RADIUS + 1, cy + RADIUS + 1};
}

Box vanBox(int index, int count) {
    constexpr int LENGTH = 76;
    const int left = W - (W + LENGTH) * index / std::max(1, count - 1);
    return {left, 226, left + LENGTH, 270};
}

void drawBall(std::uint8_t* frame, int cx, int cy) {
    constexpr int RADIUS = 18;
    for (int dy = -RADIUS; dy <= RADIUS; ++dy) {
        for (int dx = -RADIUS; dx <= RADIUS; ++dx) {
            const int d2 = dx * dx + dy * dy;
            if (d2 > RADIUS * RADIUS) continue;
            // Lit from the upper left: brighter towards (-6, -6).
            const int lx = dx + 6;
            const int ly = dy + 6;
            const int light = 255 - std::min(255, (lx * lx + ly * ly) * 255 / (2 * RADIUS * RADIUS));
            put(frame, cx + dx, cy + dy, {20 + light / 8, 120 + light / 2, 170 + light / 3});
        }
    }
}

void drawVan(std::uint8_t* frame, const Box& van) {
    for (int y = van.top; y < van.bottom - 8; ++y) {
        for (int x = van.left; x < van.right; ++x) {
            const bool window = y < van.top + 16 && y >= van.top + 4 && ((x - van.left) % 24 >= 4) && x < van.right - 6;
            const int shade = (y - van.top) * 2;
            put(frame, x, y, window ? Colour{210, 190, 160} : Colour{170 - shade, 90 - shade / 2, 40});
        }
    }
    for (int wheel : {van.left + 16, van.right - 16}) {
        for (int dy = -8; dy <= 8; ++dy) {
            for (int dx = -8; dx <= 8; ++dx) {
                if (dx * dx + dy * dy <= 64) put(frame, wheel + dx, van.bottom - 8 + dy, {30, 30, 30});
            }
        }
    }
}

void markBox(std::uint8_t* moving, const Box& box) {
    const int x0 = std::max(0, box.left - MOTION_MARGIN);
    const int x1 = std::min(W, box.right + MOTION_MARGIN);
    const int y0 = std::max(0, box.top - MOTION_MARGIN);
    const int y1 = std::min(H, box.bottom + MOTION_MARGIN);
    for (int y = y0; y < y1; ++y) {
        if (x0 < x1) std::memset(moving + static_cast<std::size_t>(y) * W + static_cast<std::size_t>(x0), 1,
                                 static_cast<std::size_t>(x1 - x0));
    }
}

// Sensor-like noise: independent per sample, a read-noise floor plus shot
// noise that grows with the level (variance 4 + level / 16, so a standard
// deviation of 2 in black and 4.5 in white), roughly Gaussian as the sum of
// four uniform draws.
struct NoiseTable {
    std::array<double, 256> sigma{};
    NoiseTable() {
        for (int level = 0; level < 256; ++level) sigma[static_cast<std::size_t>(level)] = std::sqrt(4.0 + level / 16.0);
    }
};

}  // namespace

DemoClip::DemoClip(int frameCount) : frameCount_(frameCount), background_(static_cast<std::size_t>(W) * H * 4) {
    for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) put(background_.data(), x, y, scenePixel(x, y));
    }
    drawColourChart(background_.data());
}

void DemoClip::render(int index, std::uint8_t* clean, std::uint8_t* noisy, std::uint8_t* moving) const {
    static const NoiseTable noise;
    std::memcpy(clean, background_.data(), background_.size());
    int cx = 0;
    int cy = 0;
    const Box ball = ballBox(index, frameCount_, cx, cy);
    const Box van = vanBox(index, frameCount_);
    drawVan(clean, van);
    drawBall(clean, cx, cy);

    std::memset(moving, 0, static_cast<std::size_t>(W) * H);
    markBox(moving, ball);
    markBox(moving, van);
    if (index > 0) {
        markBox(moving, ballBox(index - 1, frameCount_, cx, cy));
        markBox(moving, vanBox(index - 1, frameCount_));
    }

    // sqrt(3) turns the sum of four uniforms on [-0.5, 0.5) (variance 1/3)
    // into unit variance.
    constexpr double UNIT = 1.7320508075688772 / 65536.0;
    const std::uint64_t frameSalt = mix(NOISE_SEED ^ (static_cast<std::uint64_t>(index) << 32));
    const std::size_t samples = static_cast<std::size_t>(W) * H * 4;
    for (std::size_t i = 0; i < samples; ++i) {
        if ((i & 3) == 3) {
            noisy[i] = 255;
            continue;
        }
        const std::uint64_t bits = mix(frameSalt ^ i);
        const long sum = static_cast<long>(bits & 0xFFFF) + static_cast<long>((bits >> 16) & 0xFFFF) +
                         static_cast<long>((bits >> 32) & 0xFFFF) + static_cast<long>(bits >> 48) - 2 * 65536;
        const double z = static_cast<double>(sum) * UNIT;
        const int value = clean[i] + static_cast<int>(std::lround(z * noise.sigma[clean[i]]));
        noisy[i] = clampByte(value);
    }
}

}  // namespace kalmix::tool
