// Shared scaffolding of the tests that drive the loaded module: a private
// Windows directory for the state file, a loaded module, and synthetic clips.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/standin/standin.h"
#include "tests/private_windows_directory.h"
#include "tools/host/plugin_host.h"

namespace kalmix::testing {

using Frame = std::vector<std::uint8_t>;

// A deterministic clip: a textured still background, a square moving across
// it, and seeded noise on every sample.
// A still clip keeps the square in place and only the noise moves.
inline Frame syntheticFrame(int width, int height, int index, std::uint32_t seed, int noise = 6,
                            bool moving = true) {
    Frame frame(static_cast<std::size_t>(width * height * 4));
    std::uint32_t state = seed * 2654435761u + static_cast<std::uint32_t>(index) * 40503u + 1u;
    const int step = moving ? index : 0;
    const int squareX = 4 + 3 * step, squareY = 8 + step;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* pixel = &frame[static_cast<std::size_t>((y * width + x) * 4)];
            int b = 40 + (x * 7 + y * 3) % 150, g = 60 + (x * x + y * 5) % 120,
                r = 90 + ((x / 8 + y / 8) % 2) * 60;
            if (x >= squareX && x < squareX + 12 && y >= squareY && y < squareY + 12) {
                b = 230, g = 40, r = 30;
            }
            const int values[3] = {b, g, r};
            for (int c = 0; c < 3; ++c) {
                state = state * 1664525u + 1013904223u;
                const int jitter = noise == 0 ? 0 : static_cast<int>(state >> 24) % (2 * noise + 1) - noise;
                pixel[c] = static_cast<std::uint8_t>(std::clamp(values[c] + jitter, 0, 255));
            }
            pixel[3] = static_cast<std::uint8_t>(x * 13 + y);
        }
    }
    return frame;
}

class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        standin::reset();
        standin::setMessageSink([this](const std::string& caption, const std::string& text) {
            messages.push_back(caption + ": " + text);
        });
        load();
    }
    void TearDown() override {
        module.reset();  // writes the state file while the directory still exists
        standin::reset();
    }

    void load() {
        std::string error;
        module = host::PluginModule::load(host::defaultModulePath(), error);
        ASSERT_NE(module, nullptr) << error;
    }
    void reload() {
        module.reset();
        load();
    }

    // Runs one frame with the host's own parameter record.
    Frame run(const Frame& source, int width, int height, std::int32_t position,
              std::int32_t clipTotal) {
        Frame destination(source.size(), 0);
        EXPECT_EQ(module->execute(source.data(), destination.data(), width, height, position,
                                  clipTotal),
                  0);
        return destination;
    }

    std::filesystem::path statePath() const { return windowsDirectory.statePath(); }

    std::vector<std::uint8_t> stateBytes() const {
        std::ifstream in(statePath(), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // Declared first, so it outlives the module, which writes into it at unload.
    PrivateWindowsDirectory windowsDirectory;
    std::unique_ptr<host::PluginModule> module;
    std::vector<std::string> messages;
};

inline std::int32_t readInt32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(bytes[at]) |
                                     static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
                                     static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
                                     static_cast<std::uint32_t>(bytes[at + 3]) << 24);
}

}  // namespace kalmix::testing
