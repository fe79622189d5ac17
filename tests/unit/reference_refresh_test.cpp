// The reference refresh: exactly the flagged blocks move from the current
// planes into the reference, in every plane and at every edge.
#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

#include "frame_setup.h"
#include "pipeline/cpu.h"
#include "pipeline/frame_driver.h"

namespace kalmix {
namespace {

TEST(ReferenceRefresh, CopiesExactlyTheFlaggedBlocks) {
    // Flags dense and random, sparse (long unflagged stretches that are passed
    // over eight at a time, single flags at any position), and in short runs
    // that cross those groups of eight and reach the ends of block rows; at
    // every level this machine has, since the copy goes through the routine table.
    std::mt19937 engine(7);
    enum Pattern { DENSE, SPARSE, RUNS };
    const std::pair<std::uint32_t, std::uint32_t> sizes[] = {
        {4, 4}, {12, 8}, {36, 8}, {96, 64}, {384, 288}};
    for (int run = 0; run < 3 * 3 * 5; ++run) {
        const auto level = static_cast<CpuLevel>(run / 15);
        if (level > supportedCpuLevel()) break;
        selectCpuLevel(level);
        const auto pattern = static_cast<Pattern>(run / 5 % 3);
        const auto [width, height] = sizes[run % 5];
        testing::setUpFrame(width, height);
        for (auto& sample : currentPlanes) sample = static_cast<std::uint8_t>(engine());
        referencePlanes.fill(3);
        std::uint32_t runLeft = 0;
        for (std::uint32_t k = 0; k < BLOCK_CAPACITY; ++k) {
            std::uint8_t flag = 0;
            if (pattern == DENSE) {
                flag = static_cast<std::uint8_t>(engine() % 3 == 0 ? 0 : engine() % 4);
            } else if (pattern == SPARSE) {
                flag = engine() % 29 == 0 ? 1 : 0;
            } else {
                if (runLeft == 0 && engine() % 11 == 0)
                    runLeft = 1 + static_cast<std::uint32_t>(engine() % 13);
                flag = runLeft != 0 ? 2 : 0;
                runLeft -= runLeft != 0 ? 1 : 0;
            }
            blockChangeFlags[k] = flag;
        }
        refreshReferenceBlocks();
        std::vector<bool> flagged(PLANE_SET_CAPACITY, false);
        for (std::uint32_t k = 0; k < allBlocks; ++k) {
            if (blockChangeFlags[k] == 0) continue;
            for (std::uint32_t r = 0; r < BLOCK_HEIGHT; ++r) {
                for (std::uint32_t c = 0; c < BLOCK_WIDTH; ++c) {
                    flagged[blockOffsets[k] + r * width + c] = true;
                }
            }
        }
        for (std::uint32_t i = 0; i < PLANE_SET_CAPACITY; ++i) {
            ASSERT_EQ(referencePlanes[i], flagged[i] ? currentPlanes[i] : 3)
                << cpuLevelName(level) << ", " << width << "x" << height << ", pattern " << pattern
                << " at " << i;
        }
    }
    selectCpuLevel(detectCpuLevel());
}

}  // namespace
}  // namespace kalmix
