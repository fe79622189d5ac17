// The plain reference of the output filter's row routine: one sample at a
// time through the kernel and limit functions, as the filter is defined.
#include "analysis/analysis.h"
#include "filter/dsp/filter_dsp.h"
#include "filter/kernels.h"
#include "filter/output_filter.h"

namespace kalmix {

namespace {

// Kernel mode increment from the change evidence at one sample: the less
// evidence of real change, the stronger the smoothing.
std::int32_t modeIncrement(const std::uint8_t* score, const std::uint8_t* marks,
                           std::int32_t stride) {
    if (*score == 0) {
        if (neighbourSum(score, stride) != 0) return EVIDENCE_INCREMENTS[NEARBY_EVIDENCE];
        const bool isolatedSpike =
            (*marks & CHANGED_MARK) != 0 && (*marks & NEIGHBOUR_COUNT_MASK) == 0;
        return EVIDENCE_INCREMENTS[isolatedSpike ? ISOLATED_SPIKE : NEARBY_EVIDENCE];
    }
    return EVIDENCE_INCREMENTS[*score <= 6 ? WEAK_EVIDENCE : STRONG_EVIDENCE];
}

}  // namespace

void filterRow_c(std::uint8_t* output, const std::uint8_t* current, const std::uint8_t* reference,
                 const std::uint8_t* score, const std::uint8_t* marks,
                 const std::uint8_t* writeMask, std::ptrdiff_t stride, std::uint32_t count,
                 const FilterPlan& plan) {
    const auto rowStride = static_cast<std::int32_t>(stride);
    for (std::uint32_t i = 0; i < count; ++i) {
        if (writeMask[i] == 0) continue;
        const std::int32_t mode =
            plan.secondaryOffset + modeIncrement(score + i, marks + i, rowStride);
        const std::uint8_t smoothed = smoothSample(current + i, rowStride, mode);
        output[i] =
            limitToReference(smoothed, current[i], reference[i], mode, plan.sequenceIsActive);
    }
}

}  // namespace kalmix
