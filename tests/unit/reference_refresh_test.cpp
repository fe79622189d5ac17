// The reference refresh: exactly the flagged blocks move from the current
// planes into the reference, in every plane and at every edge.
#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

#include "frame_setup.h"
#include "pipeline/frame_driver.h"

namespace kalmix {
namespace {

TEST(ReferenceRefresh, CopiesExactlyTheFlaggedBlocks) {
    std::mt19937 engine(7);
    for (const auto& [width, height] :
         {std::pair{4u, 4u}, std::pair{12u, 8u}, std::pair{96u, 64u}, std::pair{384u, 288u}}) {
        testing::setUpFrame(width, height);
        for (auto& sample : currentPlanes) sample = static_cast<std::uint8_t>(engine());
        referencePlanes.fill(3);
        for (std::uint32_t k = 0; k < BLOCK_CAPACITY; ++k) {
            blockChangeFlags[k] = static_cast<std::uint8_t>(engine() % 3 == 0 ? 0 : engine() % 4);
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
                << width << "x" << height << " at " << i;
        }
    }
}

}  // namespace
}  // namespace kalmix
