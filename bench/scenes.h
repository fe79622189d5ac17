// Synthetic clips for the benchmarks and the peer comparison: BGRA frames made
// in code from a fixed seed, so every run and every machine times the same
// pictures.
//
// Each clip is SCENE_PERIOD frames long and loops without a cut: the noise
// repeats with the period, and moving things travel there and back within it.
// A frame is a smooth textured background, optional objects and uniform
// noise of +-SCENE_NOISE on every colour byte; alpha is a pattern of its own.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kalmix::bench {

enum class Scene {
    STILL,         // only the noise moves: few blocks change
    MOVING,        // several textured objects move: about 10 to 20 % of the blocks change
    NEW_PICTURE,   // a different picture every frame: every block changes
    WORST_EXTENT,  // short double-width strokes of change everywhere, on every other frame
};

inline constexpr Scene ALL_SCENES[] = {Scene::STILL, Scene::MOVING, Scene::NEW_PICTURE,
                                       Scene::WORST_EXTENT};
inline constexpr int SCENE_PERIOD = 32;
inline constexpr int SCENE_NOISE = 6;

inline const char* sceneName(Scene scene) {
    switch (scene) {
        case Scene::STILL: return "still";
        case Scene::MOVING: return "moving";
        case Scene::NEW_PICTURE: return "new_picture";
        case Scene::WORST_EXTENT: return "worst_extent";
    }
    return "?";
}

using Frame = std::vector<std::uint8_t>;

namespace detail {

inline std::uint32_t hash(std::uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

inline std::uint8_t clampByte(int value) { return static_cast<std::uint8_t>(std::clamp(value, 0, 255)); }

// Travels 0..SCENE_PERIOD/2 steps out and back again, so the clip loops smoothly.
inline int pingPong(int index) {
    const int t = index % SCENE_PERIOD;
    return t < SCENE_PERIOD / 2 ? t : SCENE_PERIOD - t;
}

struct Colour {
    int b, g, r;
};

inline Colour background(int x, int y) {
    return {40 + (x * 7 + y * 3) % 150, 60 + (x * x / 16 + y * 5) % 120, 90 + ((x / 8 + y / 8) % 2) * 60};
}

// A textured object; the texture travels with it, so its whole area changes.
inline Colour objectTexture(int object, int u, int v) {
    return {(object * 53 + u * 9 + v * 2) % 200 + 30, (object * 97 + u * 3 + v * 11) % 180 + 40,
            ((u / 3 + v / 3 + object) % 2) * 120 + 60};
}

// 1 where the stroke pattern of the worst extent scene marks a change: columns
// two samples wide and seven rows tall, one gap row between. Every stroke
// sample has 2 to 5 changed neighbours (a chain candidate), two of them one
// row up, so a trace upward branches at every row and never reaches the
// 8-sample cap that would end it early.
inline bool strokeSample(int x, int y) { return x % 5 < 2 && y % 8 < 7; }

}  // namespace detail

inline Frame sceneFrame(Scene scene, int width, int height, int index) {
    using namespace detail;
    Frame frame(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
    const int loopIndex = index % SCENE_PERIOD;
    std::uint32_t state = hash(static_cast<std::uint32_t>(loopIndex) * 2654435761U + 17U);
    const std::uint32_t pictureSeed = hash(static_cast<std::uint32_t>(loopIndex) + 1000U);
    constexpr int OBJECTS = 6;
    const int objectWidth = std::max(8, width / 9), objectHeight = std::max(8, height / 7);
    const int stroke = scene == Scene::WORST_EXTENT && loopIndex % 2 == 1 ? 40 : 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            Colour c = background(x, y);
            if (scene == Scene::MOVING) {
                for (int k = 0; k < OBJECTS; ++k) {
                    // Objects spread over the frame, moving at different speeds and
                    // directions; drawn with wrap-around so they never leave it.
                    const int startX = (k * 2 + 1) * width / (2 * OBJECTS) - objectWidth / 2;
                    const int startY = (k % 3) * height / 3 + height / 12;
                    const int speedX = (k % 2 == 0 ? 1 : -1) * (1 + k % 3), speedY = k % 3 - 1;
                    const int left = startX + speedX * pingPong(index);
                    const int top = startY + speedY * pingPong(index);
                    const int u = ((x - left) % width + width) % width;
                    const int v = ((y - top) % height + height) % height;
                    if (u < objectWidth && v < objectHeight) c = objectTexture(k, u, v);
                }
            } else if (scene == Scene::NEW_PICTURE) {
                // 8x8 cells of unrelated levels, new every frame.
                const std::uint32_t cell =
                    hash(pictureSeed ^ static_cast<std::uint32_t>((y / 8) * 4096 + x / 8));
                c = {static_cast<int>(cell & 0xFF), static_cast<int>((cell >> 8) & 0xFF),
                     static_cast<int>((cell >> 16) & 0xFF)};
            } else if (stroke != 0 && strokeSample(x, y)) {
                c = {c.b + stroke, c.g + stroke, c.r - stroke};
            }
            std::uint8_t* pixel = &frame[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                                          static_cast<std::size_t>(x)) *
                                         4];
            const int values[3] = {c.b, c.g, c.r};
            for (int channel = 0; channel < 3; ++channel) {
                state = state * 1664525U + 1013904223U;
                const int jitter = static_cast<int>(state >> 24) % (2 * SCENE_NOISE + 1) - SCENE_NOISE;
                pixel[channel] = clampByte(values[channel] + jitter);
            }
            pixel[3] = static_cast<std::uint8_t>(x * 13 + y);
        }
    }
    return frame;
}

// One loop of the scene, SCENE_PERIOD frames.
inline std::vector<Frame> sceneClip(Scene scene, int width, int height) {
    std::vector<Frame> frames;
    frames.reserve(SCENE_PERIOD);
    for (int i = 0; i < SCENE_PERIOD; ++i) frames.push_back(sceneFrame(scene, width, height, i));
    return frames;
}

}  // namespace kalmix::bench
