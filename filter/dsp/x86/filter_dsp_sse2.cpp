// SSE2 variant of the output filter's row routine, sixteen samples at a time.
#include "filter/dsp/x86/vector_ops.h"
#include "filter/dsp/x86/filter_row_simd.h"

namespace kalmix {

void filterRow_sse2(std::uint8_t* output, const std::uint8_t* current,
                    const std::uint8_t* reference, const std::uint8_t* score,
                    const std::uint8_t* marks, std::ptrdiff_t stride, std::uint32_t count,
                    const FilterPlan& plan) {
    filterRowSimd<V128>(output, current, reference, score, marks, stride, count, plan,
                        filterRow_c);
}

}  // namespace kalmix
