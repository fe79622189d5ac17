// The flagged-block copy's variants against the plain reference: every block
// count of a frame's row (each width that is a multiple of 4 up to the
// largest, so the tail after the last whole vector group ends at every block
// position), flags all off, all on, one block, all but one block, runs and
// random values, a block row of four sample rows and a single sample row.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "pipeline/dsp/block_copy_dsp.h"
#include "pipeline/geometry.h"
#include "tests/checkasm/checkasm.h"

namespace kalmix {
namespace {

using checkasm::fastLevels;
using checkasm::fillRandom;
using checkasm::levelLabel;
using checkasm::randomEngine;
using checkasm::sameElements;

constexpr std::uint32_t MAX_BLOCKS = MAX_FRAME_WIDTH / BLOCK_WIDTH;

// A flag that is set, with a value other than 1 now and then: any non-zero
// value means flagged.
std::uint8_t someFlag() {
    const std::uint8_t values[] = {1, 1, 2, 0x80, 0xFF, 0x7F, 0x01, 0x10};
    return values[randomEngine()() % std::size(values)];
}

// Flag patterns for one row of `blocks` blocks.
std::vector<std::vector<std::uint8_t>> flagPatterns(std::uint32_t blocks) {
    std::vector<std::vector<std::uint8_t>> patterns;
    patterns.emplace_back(blocks, std::uint8_t{0});
    std::vector<std::uint8_t> all(blocks);
    for (auto& flag : all) flag = someFlag();
    patterns.push_back(all);
    for (std::uint32_t at = 0; at < blocks; ++at) {
        std::vector<std::uint8_t> single(blocks, std::uint8_t{0});
        single[at] = someFlag();
        patterns.push_back(single);
        std::vector<std::uint8_t> hole = all;
        hole[at] = 0;
        patterns.push_back(hole);
    }
    for (int draw = 0; draw < 8; ++draw) {
        // Runs of 1 to 12 blocks with gaps of 1 to 12, from a random start.
        std::vector<std::uint8_t> runs(blocks, std::uint8_t{0});
        std::uint32_t at = static_cast<std::uint32_t>(randomEngine()() % 5);
        while (at < blocks) {
            const std::uint32_t length = 1 + static_cast<std::uint32_t>(randomEngine()() % 12);
            for (std::uint32_t k = at; k < std::min(blocks, at + length); ++k) runs[k] = someFlag();
            at += length + 1 + static_cast<std::uint32_t>(randomEngine()() % 12);
        }
        patterns.push_back(runs);
        std::vector<std::uint8_t> random(blocks);
        for (auto& flag : random) flag = randomEngine()() % 2 == 0 ? 0 : someFlag();
        patterns.push_back(random);
    }
    return patterns;
}

// The copy as defined: sample by sample, a flagged block's samples from the
// source.
void copyAsDefined(std::uint8_t* destination, const std::uint8_t* source, std::ptrdiff_t stride,
                   const std::uint8_t* flags, std::uint32_t blocks, std::uint32_t rows) {
    for (std::uint32_t row = 0; row < rows; ++row) {
        for (std::uint32_t x = 0; x < blocks * BLOCK_WIDTH; ++x) {
            const std::ptrdiff_t at = row * stride + x;
            if (flags[x / BLOCK_WIDTH] != 0) destination[at] = source[at];
        }
    }
}

TEST(BlockCopy, EveryWidthAndFlagPatternMatchesTheReference) {
    // Each area sits at a varying offset in a buffer that ends where its last
    // row does, with a gap between rows on odd block counts (the frame path's
    // rows touch, so even counts keep stride = width), and the flags end
    // where the row does: a write or read beyond them shows as a difference,
    // or under the address sanitizer as a fault.
    for (std::uint32_t blocks = 1; blocks <= MAX_BLOCKS; ++blocks) {
        const std::uint32_t width = blocks * BLOCK_WIDTH;
        const std::ptrdiff_t stride = width + (blocks % 2 != 0 ? 20 : 0);
        const auto offset = static_cast<std::size_t>(randomEngine()() % 32);
        const std::size_t size = offset + static_cast<std::size_t>(3 * stride) + width;
        std::vector<std::uint8_t> source(size), before(size);
        fillRandom(source.data(), size, 0, 255);
        fillRandom(before.data(), size, 0, 255);
        std::vector<std::uint8_t> expected(size), actual(size);
        for (const std::vector<std::uint8_t>& flags : flagPatterns(blocks)) {
            for (std::uint32_t rows : {BLOCK_HEIGHT, 1u}) {
                expected = before;
                copyFlaggedBlocks_c(expected.data() + offset, source.data() + offset, stride,
                                    flags.data(), blocks, rows);
                actual = before;
                copyAsDefined(actual.data() + offset, source.data() + offset, stride, flags.data(),
                              blocks, rows);
                ASSERT_TRUE(sameElements(actual.data(), expected.data(), size))
                    << "plain copy, " << blocks << " blocks, " << rows << " rows";
                for (CpuLevel level : fastLevels()) {
                    const BlockCopyRoutines routines = blockCopyRoutinesFor(level);
                    actual = before;
                    routines.copyFlaggedBlocks(actual.data() + offset, source.data() + offset,
                                               stride, flags.data(), blocks, rows);
                    ASSERT_TRUE(sameElements(expected.data(), actual.data(), size))
                        << levelLabel(level) << ", " << blocks << " blocks, " << rows
                        << " rows, stride " << stride << ", offset " << offset;
                }
            }
        }
    }
}

TEST(BlockCopy, EverySampleMaskMatchesTheReference) {
    // The mask ends where the row's last block does and the flags where the
    // row does, so a byte written or read beyond them shows as a difference
    // in the guard bytes or, under the address sanitizer, as a fault.
    constexpr std::size_t GUARD = 16;
    std::vector<CpuLevel> levels = fastLevels();
    levels.insert(levels.begin(), CpuLevel::C);
    for (std::uint32_t blocks = 1; blocks <= MAX_BLOCKS; ++blocks) {
        const std::size_t bytes = blocks * BLOCK_WIDTH;
        std::vector<std::uint8_t> expected(bytes + GUARD), actual(bytes + GUARD);
        for (const std::vector<std::uint8_t>& flags : flagPatterns(blocks)) {
            fillRandom(expected.data(), expected.size(), 0, 255);
            for (std::size_t x = 0; x < bytes; ++x) expected[x] = flags[x / BLOCK_WIDTH] != 0 ? 0xFF : 0;
            for (CpuLevel level : levels) {
                std::copy(expected.begin() + static_cast<std::ptrdiff_t>(bytes), expected.end(),
                          actual.begin() + static_cast<std::ptrdiff_t>(bytes));
                fillRandom(actual.data(), bytes, 0, 255);
                blockCopyRoutinesFor(level).flaggedSampleMask(actual.data(), flags.data(), blocks);
                ASSERT_TRUE(sameElements(expected.data(), actual.data(), expected.size()))
                    << levelLabel(level) << ", " << blocks << " blocks";
            }
        }
    }
}

}  // namespace
}  // namespace kalmix
