// The output filter's row routine written once over a vector type: V128
// (SSE2) and V256 (AVX2) supply the same few operations. Included by one
// source file per level; everything here has internal linkage, so the AVX2
// instantiation never stands in for the SSE2 one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "filter/dsp/filter_dsp.h"
#include "filter/dsp/x86/vector_ops.h"

namespace kalmix {
namespace {

template <typename V>
struct ClassVectors {
    typename V::T centre, sides, corners, rounding, multiplier;
};

// 16-bit kernel of one class on eight (or sixteen) widened samples.
template <typename V>
typename V::T classKernelHalf(const ClassVectors<V>& k, typename V::T centre, typename V::T sides,
                              typename V::T corners) {
    typename V::T sum = V::add16(V::mullo16(centre, k.centre), V::mullo16(sides, k.sides));
    sum = V::add16(sum, V::add16(V::mullo16(corners, k.corners), k.rounding));
    return V::mulhiu16(sum, k.multiplier);
}

template <typename V>
typename V::T blend(typename V::T mask, typename V::T ifSet, typename V::T ifClear) {
    return V::bitOr(V::bitAnd(mask, ifSet), V::bitAndNot(mask, ifClear));
}

// Filters samples [at, at + V::WIDTH) of the row.
template <typename V>
void filterVector(std::uint8_t* output, const std::uint8_t* current, const std::uint8_t* reference,
                  const std::uint8_t* score, const std::uint8_t* marks, std::ptrdiff_t stride,
                  const ClassVectors<V> (&kernels)[N_EVIDENCE_CLASSES],
                  const std::size_t (&kernelSource)[N_EVIDENCE_CLASSES],
                  const typename V::T (&margins)[N_EVIDENCE_CLASSES],
                  const typename V::T (&keepInput)[N_EVIDENCE_CLASSES]) {
    using T = typename V::T;
    const T zero = V::zero();
    const T c = V::load(current);
    const T w = V::load(current - 1);
    const T n = V::load(current - stride);
    const T s = V::load(current + stride);
    const T nw = V::load(current - stride - 1);
    const T ne = V::load(current - stride + 1);
    const T sw = V::load(current + stride - 1);
    const T se = V::load(current + stride + 1);
    const T centreLo = V::unpackLo8(c, zero), centreHi = V::unpackHi8(c, zero);
    const T sidesLo =
        V::add16(V::add16(V::unpackLo8(w, zero), V::unpackLo8(n, zero)), V::unpackLo8(s, zero));
    const T sidesHi =
        V::add16(V::add16(V::unpackHi8(w, zero), V::unpackHi8(n, zero)), V::unpackHi8(s, zero));
    const T cornersLo = V::add16(V::add16(V::unpackLo8(nw, zero), V::unpackLo8(ne, zero)),
                                 V::add16(V::unpackLo8(sw, zero), V::unpackLo8(se, zero)));
    const T cornersHi = V::add16(V::add16(V::unpackHi8(nw, zero), V::unpackHi8(ne, zero)),
                                 V::add16(V::unpackHi8(sw, zero), V::unpackHi8(se, zero)));

    // Evidence class masks, disjoint and together covering every lane.
    const T sc = V::load(score);
    const T neighbourScores =
        V::bitOr(V::bitOr(V::bitOr(V::load(score - stride - 1), V::load(score - stride)),
                          V::bitOr(V::load(score - stride + 1), V::load(score - 1))),
                 V::bitOr(V::bitOr(V::load(score + 1), V::load(score + stride - 1)),
                          V::bitOr(V::load(score + stride), V::load(score + stride + 1))));
    const T noScore = V::cmpeq8(sc, zero);
    const T strong = V::cmpeq8(V::maxu8(sc, V::set8(7)), sc);
    const T weak = V::bitAndNot(V::bitOr(noScore, strong), V::cmpeq8(zero, zero));
    const T spikeMark = V::cmpeq8(V::bitAnd(V::load(marks), V::set8(0x8F)), V::set8(0x80));
    const T spike = V::bitAnd(V::bitAnd(noScore, V::cmpeq8(neighbourScores, zero)), spikeMark);
    const T nearby = V::bitAndNot(spike, noScore);
    const T masks[N_EVIDENCE_CLASSES] = {strong, weak, nearby, spike};

    T smoothed[N_EVIDENCE_CLASSES];
    for (std::size_t k = 0; k < N_EVIDENCE_CLASSES; ++k) {
        if (kernelSource[k] != k) {
            smoothed[k] = smoothed[kernelSource[k]];
            continue;
        }
        smoothed[k] = V::packus16(classKernelHalf<V>(kernels[k], centreLo, sidesLo, cornersLo),
                                  classKernelHalf<V>(kernels[k], centreHi, sidesHi, cornersHi));
    }
    T o = V::bitAnd(masks[0], smoothed[0]);
    T margin = V::bitAnd(masks[0], margins[0]);
    T keep = V::bitAnd(masks[0], keepInput[0]);
    for (std::size_t k = 1; k < N_EVIDENCE_CLASSES; ++k) {
        o = V::bitOr(o, V::bitAnd(masks[k], smoothed[k]));
        margin = V::bitOr(margin, V::bitAnd(masks[k], margins[k]));
        keep = V::bitOr(keep, V::bitAnd(masks[k], keepInput[k]));
    }

    // The limit step: within the input's distance plus the margin the result
    // stays; beyond it is the input (keep lanes) or pulled to that distance.
    const T ref = V::load(reference);
    const T inputDistance = V::bitOr(V::subsu8(c, ref), V::subsu8(ref, c));
    const T aboveRef = V::subsu8(o, ref);
    const T outputDistance = V::bitOr(aboveRef, V::subsu8(ref, o));
    const T limit = V::addsu8(inputDistance, margin);
    const T within = V::cmpeq8(V::maxu8(outputDistance, limit), limit);
    const T pulled =
        blend<V>(V::cmpeq8(aboveRef, zero), V::subsu8(ref, limit), V::addsu8(ref, limit));
    const T beyond = blend<V>(keep, c, pulled);
    V::store(output, blend<V>(within, o, beyond));
}

// The whole row: full vectors, then one last vector that ends at the row's end
// and overlaps the one before; rows shorter than a vector go to `narrower`.
template <typename V>
void filterRowSimd(std::uint8_t* output, const std::uint8_t* current, const std::uint8_t* reference,
                   const std::uint8_t* score, const std::uint8_t* marks, std::ptrdiff_t stride,
                   std::uint32_t count, const FilterPlan& plan, FilterRowFunction narrower) {
    if (count < V::WIDTH) {
        narrower(output, current, reference, score, marks, stride, count, plan);
        return;
    }
    ClassVectors<V> kernels[N_EVIDENCE_CLASSES];
    std::size_t kernelSource[N_EVIDENCE_CLASSES];
    typename V::T margins[N_EVIDENCE_CLASSES];
    typename V::T keepInput[N_EVIDENCE_CLASSES];
    for (std::size_t k = 0; k < N_EVIDENCE_CLASSES; ++k) {
        const ClassKernel& ck = plan.classes[k];
        kernels[k] = {V::set16(ck.centreWeight), V::set16(ck.sideWeight), V::set16(ck.cornerWeight),
                      V::set16(ck.rounding), V::set16(ck.multiplier)};
        margins[k] = V::set8(ck.margin);
        keepInput[k] = ck.keepInput != 0 ? V::cmpeq8(V::zero(), V::zero()) : V::zero();
        // Classes sharing a kernel share its result.
        kernelSource[k] = k;
        for (std::size_t j = 0; j < k; ++j) {
            const ClassKernel& other = plan.classes[j];
            if (other.centreWeight == ck.centreWeight && other.sideWeight == ck.sideWeight &&
                other.cornerWeight == ck.cornerWeight && other.rounding == ck.rounding &&
                other.multiplier == ck.multiplier) {
                kernelSource[k] = j;
                break;
            }
        }
    }
    std::uint32_t i = 0;
    for (; i + V::WIDTH <= count; i += V::WIDTH) {
        filterVector<V>(output + i, current + i, reference + i, score + i, marks + i, stride,
                        kernels, kernelSource, margins, keepInput);
    }
    if (i < count) {
        i = count - V::WIDTH;
        filterVector<V>(output + i, current + i, reference + i, score + i, marks + i, stride,
                        kernels, kernelSource, margins, keepInput);
    }
}

}  // namespace
}  // namespace kalmix
