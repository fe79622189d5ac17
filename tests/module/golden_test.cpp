// Golden checksums: a synthetic clip through the module at several settings,
// one checksum per output frame, so that no change alters a byte unnoticed.
// Regenerate tests/data/golden_frames.txt only on purpose, with
// KALMIX_UPDATE_GOLDEN=1 in the environment.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "module_fixture.h"

namespace kalmix::testing {
namespace {

std::uint64_t fnv1a(const Frame& frame) {
    std::uint64_t hash = 14695981039346656037ull;
    for (std::uint8_t byte : frame) hash = (hash ^ byte) * 1099511628211ull;
    return hash;
}

struct Setting {
    const char* name;
    FilterParams params;
};

constexpr Setting SETTINGS[] = {
    {"defaults", {5, 5, 5, 2, 1}},
    {"plain-detection", {5, 5, 5, 2, 0}},
    {"gentle", {2, 5, 3, 0, 1}},
    {"strong", {8, 5, 9, 4, 1}},
    {"strongest", {10, 0, 10, 7, 1}},
    {"everything-changed", {0, 5, 6, 2, 1}},
    {"smoothed-start", {7, 5, 7, 1, 0}},
};

constexpr int WIDTH = 96, HEIGHT = 64, FRAMES = 16;

class Golden : public ModuleTest {};

TEST_F(Golden, ClipChecksumsMatchTheReference) {
    const std::string path = std::string(KALMIX_TEST_DATA_DIR) + "/golden_frames.txt";
    std::map<std::string, std::uint64_t> actual;
    for (const Setting& setting : SETTINGS) {
        reload();
        module->setParams(setting.params);
        for (int i = 0; i < FRAMES; ++i) {
            // A cut at frame 10 (a jump of 40) restarts the sequence mid-clip.
            const std::int32_t position = i < 10 ? i : i + 40;
            const Frame source = syntheticFrame(WIDTH, HEIGHT, i, 11, 8);
            const Frame out = run(source, WIDTH, HEIGHT, position, FRAMES + 40);
            actual[std::string(setting.name) + " " + std::to_string(i)] = fnv1a(out);
        }
    }

    if (const char* update = std::getenv("KALMIX_UPDATE_GOLDEN"); update && *update == '1') {
        std::ofstream out(path);
        for (const Setting& setting : SETTINGS) {
            for (int i = 0; i < FRAMES; ++i) {
                const std::string key = std::string(setting.name) + " " + std::to_string(i);
                char line[96];
                std::snprintf(line, sizeof(line), "%s %016" PRIx64 "\n", key.c_str(), actual[key]);
                out << line;
            }
        }
        GTEST_SKIP() << "references written to " << path;
    }

    std::ifstream in(path);
    ASSERT_TRUE(in) << "no reference file " << path;
    std::map<std::string, std::uint64_t> expected;
    std::string name, frame, hash;
    while (in >> name >> frame >> hash) expected[name + " " + frame] = std::stoull(hash, nullptr, 16);
    ASSERT_EQ(expected.size(), actual.size());
    // Report the first frame that diverges per setting: later ones follow from it.
    for (const Setting& setting : SETTINGS) {
        for (int i = 0; i < FRAMES; ++i) {
            const std::string key = std::string(setting.name) + " " + std::to_string(i);
            if (expected[key] != actual[key]) {
                ADD_FAILURE() << "first diverging frame: " << key;
                break;
            }
        }
    }
}

}  // namespace
}  // namespace kalmix::testing
