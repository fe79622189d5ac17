// The demo's clip, made in code and the same on every machine: a still
// textured scene (sky, foliage, a brick wall with a colour chart) crossed by
// a bouncing ball and a van, with sensor-like noise from a fixed seed. Each
// frame comes clean and noisy, with a mask of the area the objects touch.
#pragma once

#include <cstdint>
#include <vector>

namespace kalmix::tool {

class DemoClip {
public:
    static constexpr int WIDTH = 384;
    static constexpr int HEIGHT = 288;
    static constexpr std::uint64_t NOISE_SEED = 0x4B414C4D4958ull;

    explicit DemoClip(int frameCount);
    int frameCount() const { return frameCount_; }

    // Packed BGRA, alpha 255. moving: one byte per pixel, 1 where an object
    // is in this frame or the one before, with a margin; 0 in still areas.
    void render(int index, std::uint8_t* clean, std::uint8_t* noisy, std::uint8_t* moving) const;

private:
    int frameCount_;
    std::vector<std::uint8_t> background_;  // the still scene, BGRA
};

}  // namespace kalmix::tool
