// AVX-512 variant of the output filter's row routine: sixty-four samples at a
// time, or 32 where only one half holds samples to filter; rows shorter than
// that, and a row's rest of at most 32, through the AVX2 steps.
#include "filter/dsp/x86/filter_row_simd.h"
#include "filter/dsp/x86/vector_ops.h"

namespace kalmix {

void filterRow_avx512(std::uint8_t* output, const std::uint8_t* current,
                      const std::uint8_t* reference, const std::uint8_t* score,
                      const std::uint8_t* marks, const std::uint8_t* writeMask,
                      std::ptrdiff_t stride, std::uint32_t count, const FilterPlan& plan) {
    filterRowSimd<V512, V256>(output, current, reference, score, marks, writeMask, stride, count,
                              plan, filterRow_avx2);
}

}  // namespace kalmix
