// Copying the flagged blocks of a block row from one plane set into another,
// widening a block row's flags into a sample mask, and their table of variants.
//
// The reference refresh and the output filter's unfiltered rows both move the
// samples of flagged 4x4 blocks and leave the others as they are. Done as a
// copy per run of flagged blocks and sample row, a noisy frame whose changes
// fall in short runs costs thousands of small copies; the vector variants
// instead widen the flags into a byte mask and blend a whole group of blocks
// per sample row.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pipeline/cpu.h"

namespace kalmix {

// Of `blocks` blocks side by side starting at `destination` and `source`, the
// ones whose flag is non-zero (any value, not only 1) take their `rows` sample
// rows of BLOCK_WIDTH samples from source; the others keep their samples.
// Rows are `stride` samples apart. Only flags[0, blocks) are read and only the
// samples of those blocks touched. The two areas never overlap.
using CopyFlaggedBlocksFunction = void (*)(std::uint8_t* destination, const std::uint8_t* source,
                                           std::ptrdiff_t stride, const std::uint8_t* flags,
                                           std::uint32_t blocks, std::uint32_t rows);

// The flags of `blocks` blocks side by side widened into a byte mask: the
// BLOCK_WIDTH bytes of a flagged block (any non-zero flag) 0xFF, the others 0.
// Writes mask[0, blocks * BLOCK_WIDTH) and reads flags[0, blocks) only.
using FlaggedSampleMaskFunction = void (*)(std::uint8_t* mask, const std::uint8_t* flags,
                                           std::uint32_t blocks);

struct BlockCopyRoutines {
    CopyFlaggedBlocksFunction copyFlaggedBlocks;
    FlaggedSampleMaskFunction flaggedSampleMask;
};

// The table the frame path calls through, pointed at the active level's variants.
extern BlockCopyRoutines blockCopyRoutines;
// The routines of one level (clamped to what this build has), for tests.
BlockCopyRoutines blockCopyRoutinesFor(CpuLevel level);

void copyFlaggedBlocks_c(std::uint8_t* destination, const std::uint8_t* source,
                         std::ptrdiff_t stride, const std::uint8_t* flags, std::uint32_t blocks,
                         std::uint32_t rows);
void flaggedSampleMask_c(std::uint8_t* mask, const std::uint8_t* flags, std::uint32_t blocks);
#if defined(KALMIX_HAVE_SSE2)
void flaggedSampleMask_sse2(std::uint8_t* mask, const std::uint8_t* flags, std::uint32_t blocks);
void copyFlaggedBlocks_sse2(std::uint8_t* destination, const std::uint8_t* source,
                            std::ptrdiff_t stride, const std::uint8_t* flags, std::uint32_t blocks,
                            std::uint32_t rows);
#endif
#if defined(KALMIX_HAVE_AVX2)
void copyFlaggedBlocks_avx2(std::uint8_t* destination, const std::uint8_t* source,
                            std::ptrdiff_t stride, const std::uint8_t* flags, std::uint32_t blocks,
                            std::uint32_t rows);
#endif

}  // namespace kalmix
