// AVX-512 variant of the output filter's row routine: the AVX2 steps, built
// with the AVX-512 instruction set (32 vector registers, the EVEX forms).
#include "filter/dsp/x86/filter_row_simd.h"
#include "filter/dsp/x86/vector_ops.h"

namespace kalmix {

void filterRow_avx512(std::uint8_t* output, const std::uint8_t* current,
                      const std::uint8_t* reference, const std::uint8_t* score,
                      const std::uint8_t* marks, const std::uint8_t* writeMask, std::ptrdiff_t stride,
                      std::uint32_t count, const FilterPlan& plan) {
    filterRowSimd<V256>(output, current, reference, score, marks, writeMask, stride, count, plan,
                        filterRow_sse2);
}

}  // namespace kalmix
