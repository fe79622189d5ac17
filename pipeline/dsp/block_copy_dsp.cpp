// The routine table of the flagged-block copy.
#include "pipeline/dsp/block_copy_dsp.h"

namespace kalmix {

BlockCopyRoutines blockCopyRoutines{copyFlaggedBlocks_c, flaggedSampleMask_c};

BlockCopyRoutines blockCopyRoutinesFor(CpuLevel level) {
    BlockCopyRoutines routines{copyFlaggedBlocks_c, flaggedSampleMask_c};
#if defined(KALMIX_HAVE_SSE2)
    if (level >= CpuLevel::SSE2) routines = {copyFlaggedBlocks_sse2, flaggedSampleMask_sse2};
#endif
#if defined(KALMIX_HAVE_AVX2)
    if (level >= CpuLevel::AVX2) routines.copyFlaggedBlocks = copyFlaggedBlocks_avx2;
#endif
    (void)level;
    return routines;
}

void selectBlockCopyRoutines(CpuLevel level) { blockCopyRoutines = blockCopyRoutinesFor(level); }

}  // namespace kalmix
