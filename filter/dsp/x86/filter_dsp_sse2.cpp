// SSE2 variant of the output filter's row routine: sixteen samples at a time.
// Runs shorter than that (a block or two) and a row's last eight samples or
// fewer go eight or four at a time.
#include "filter/dsp/x86/filter_row_simd.h"
#include "filter/dsp/x86/vector_ops.h"

namespace kalmix {

namespace {

void filterRow4(std::uint8_t* output, const std::uint8_t* current, const std::uint8_t* reference,
                const std::uint8_t* score, const std::uint8_t* marks, const std::uint8_t* writeMask,
                std::ptrdiff_t stride, std::uint32_t count, const FilterPlan& plan) {
    filterRowSimd<V32>(output, current, reference, score, marks, writeMask, stride, count, plan,
                       filterRow_c);
}

void filterRow8(std::uint8_t* output, const std::uint8_t* current, const std::uint8_t* reference,
                const std::uint8_t* score, const std::uint8_t* marks, const std::uint8_t* writeMask,
                std::ptrdiff_t stride, std::uint32_t count, const FilterPlan& plan) {
    filterRowSimd<V64>(output, current, reference, score, marks, writeMask, stride, count, plan,
                       filterRow4);
}

}  // namespace

void filterRow_sse2(std::uint8_t* output, const std::uint8_t* current,
                    const std::uint8_t* reference, const std::uint8_t* score,
                    const std::uint8_t* marks, const std::uint8_t* writeMask, std::ptrdiff_t stride,
                    std::uint32_t count, const FilterPlan& plan) {
    filterRowSimd<V128>(output, current, reference, score, marks, writeMask, stride, count, plan,
                        filterRow8);
}

}  // namespace kalmix
