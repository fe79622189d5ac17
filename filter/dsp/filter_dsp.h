// The row routine of the block output filter and its table of variants.
//
// The filter walks each plane block row by block row and hands every run of
// flagged blocks, one sample row at a time and without the plane's outermost
// ring, to filterRow. Every sample of such a row has all eight neighbours
// inside its plane, so the routines need no edge tests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "pipeline/cpu.h"

namespace kalmix {

// The four kinds of change evidence at a sample, each with its mode increment.
enum EvidenceClass : std::uint8_t {
    STRONG_EVIDENCE = 0,  // score 7 or more: increment 1
    WEAK_EVIDENCE,        // score 1 to 6: increment 2
    NEARBY_EVIDENCE,      // score 0, any other case: increment 3
    ISOLATED_SPIKE,       // score 0, no scored neighbour, changed without changed neighbours: 5
    N_EVIDENCE_CLASSES
};
inline constexpr std::array<std::int32_t, N_EVIDENCE_CLASSES> EVIDENCE_INCREMENTS{1, 2, 3, 5};

// One kernel with its limit step, as integers the vector routines use for a
// whole class. Every kernel weighs W, N and S alike, the corners 1 and adds a
// rounding equal to the side weight; the centre alone (mode 0 and below) has
// side weight 0 and neither corners nor rounding. So
//   value = (centre*C + sides*(W+N+S) + [sides != 0]*(corners + sides)) * multiplier >> 16,
// the multiplier making the shift or the truncating division exact for every
// sum a kernel can reach. The centre alone is 64*C >> 6.
struct ClassKernel {
    std::uint16_t centreWeight;
    std::uint16_t sideWeight;  // 0, 1 or 2
    std::uint16_t multiplier;
    std::uint8_t margin;     // allowed distance beyond the input's own, 0 when keepInput
    std::uint8_t keepInput;  // 1: a result further from the reference than the input is the input
};

// Everything a row routine needs beyond the planes, fixed for one frame.
struct FilterPlan {
    std::int32_t secondaryOffset;
    bool sequenceIsActive;
    std::array<ClassKernel, N_EVIDENCE_CLASSES> classes;
};

FilterPlan makeFilterPlan(std::int32_t secondaryOffset, bool sequenceIsActive);

// All pointers at the row's first sample; the per-sample maps are laid out like
// the planes, with the same stride. Of the count samples, those whose
// writeMask byte is non-zero are filtered into output and the others left as
// they are; each of the count samples has its eight neighbours inside the
// plane. output never overlaps the inputs.
using FilterRowFunction = void (*)(std::uint8_t* output, const std::uint8_t* current,
                                   const std::uint8_t* reference, const std::uint8_t* score,
                                   const std::uint8_t* marks, const std::uint8_t* writeMask,
                                   std::ptrdiff_t stride, std::uint32_t count,
                                   const FilterPlan& plan);

struct FilterRoutines {
    FilterRowFunction filterRow;
};

// The table the filter calls through, pointed at the active level's variants.
extern FilterRoutines filterRoutines;
// The routines of one level (clamped to what this build has), for tests.
FilterRoutines filterRoutinesFor(CpuLevel level);

void filterRow_c(std::uint8_t* output, const std::uint8_t* current, const std::uint8_t* reference,
                 const std::uint8_t* score, const std::uint8_t* marks,
                 const std::uint8_t* writeMask, std::ptrdiff_t stride, std::uint32_t count,
                 const FilterPlan& plan);
#if defined(KALMIX_HAVE_SSE2)
void filterRow_sse2(std::uint8_t* output, const std::uint8_t* current,
                    const std::uint8_t* reference, const std::uint8_t* score,
                    const std::uint8_t* marks, const std::uint8_t* writeMask, std::ptrdiff_t stride,
                    std::uint32_t count, const FilterPlan& plan);
#endif
#if defined(KALMIX_HAVE_AVX2)
void filterRow_avx2(std::uint8_t* output, const std::uint8_t* current,
                    const std::uint8_t* reference, const std::uint8_t* score,
                    const std::uint8_t* marks, const std::uint8_t* writeMask, std::ptrdiff_t stride,
                    std::uint32_t count, const FilterPlan& plan);
#endif
#if defined(KALMIX_HAVE_AVX512)
void filterRow_avx512(std::uint8_t* output, const std::uint8_t* current,
                      const std::uint8_t* reference, const std::uint8_t* score,
                      const std::uint8_t* marks, const std::uint8_t* writeMask, std::ptrdiff_t stride,
                      std::uint32_t count, const FilterPlan& plan);
#endif

}  // namespace kalmix
