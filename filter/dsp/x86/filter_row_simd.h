// The output filter's row routine written once over a vector type: V128
// (SSE2), V64 and V32 (its low halves, for short runs), V256 (AVX2) and V512
// (AVX-512) supply the same few operations. Included by one source file per level; everything
// here has internal linkage, so an AVX2 instantiation never stands in for an
// SSE2 one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>
#include <utility>

#include "filter/dsp/filter_dsp.h"
#include "filter/dsp/x86/vector_ops.h"

namespace kalmix {
namespace {

// The plan of one frame in registers, built once per row.
template <typename V>
struct RowSetup {
    using T = typename V::T;
    T centreWeight[N_EVIDENCE_CLASSES];
    T multiplier[N_EVIDENCE_CLASSES];
    std::uint16_t sideWeight[N_EVIDENCE_CLASSES];
    std::size_t kernelSource[N_EVIDENCE_CLASSES];  // first class with the same kernel
    T margin[N_EVIDENCE_CLASSES];
    T keepInput[N_EVIDENCE_CLASSES];
    bool uniformLimit;  // every class limits alike: no per-lane choice needed
    bool spikeMatters;  // an isolated spike is filtered otherwise than other evidence nearby

    explicit RowSetup(const FilterPlan& plan) {
        uniformLimit = true;
        for (std::size_t k = 0; k < N_EVIDENCE_CLASSES; ++k) {
            const ClassKernel& ck = plan.classes[k];
            centreWeight[k] = V::set16(ck.centreWeight);
            multiplier[k] = V::set16(ck.multiplier);
            sideWeight[k] = ck.sideWeight;
            margin[k] = V::set8(ck.margin);
            keepInput[k] = ck.keepInput != 0 ? V::cmpeq8(V::zero(), V::zero()) : V::zero();
            kernelSource[k] = k;
            for (std::size_t j = 0; j < k; ++j) {
                const ClassKernel& other = plan.classes[j];
                if (other.centreWeight == ck.centreWeight && other.sideWeight == ck.sideWeight &&
                    other.multiplier == ck.multiplier) {
                    kernelSource[k] = j;
                    break;
                }
            }
            const ClassKernel& first = plan.classes[0];
            if (ck.margin != first.margin || ck.keepInput != first.keepInput) uniformLimit = false;
        }
        const ClassKernel& spike = plan.classes[ISOLATED_SPIKE];
        const ClassKernel& nearby = plan.classes[NEARBY_EVIDENCE];
        spikeMatters = kernelSource[ISOLATED_SPIKE] != kernelSource[NEARBY_EVIDENCE] ||
                       spike.margin != nearby.margin || spike.keepInput != nearby.keepInput;
    }
};

// The setup of the plan last seen, made again only when the plan's kernels
// change: every row of a frame has the same plan, and making the setup for
// each row cost about a tenth of the row. Module-wide, as all frame state is.
template <typename V>
const RowSetup<V>& rowSetupFor(const FilterPlan& plan) {
    static_assert(std::has_unique_object_representations_v<ClassKernel>,
                  "kernels are compared byte by byte");
    static std::optional<RowSetup<V>> setup;
    static decltype(plan.classes) setupClasses{};
    if (!setup ||
        std::memcmp(setupClasses.data(), plan.classes.data(), sizeof(setupClasses)) != 0) {
        setup.emplace(plan);
        setupClasses = plan.classes;
    }
    return *setup;
}

template <typename V>
typename V::T blend(typename V::T mask, typename V::T ifSet, typename V::T ifClear) {
    return V::bitOr(V::bitAnd(mask, ifSet), V::bitAndNot(mask, ifClear));
}

// Eight (or sixteen) widened samples: the centre and the two possible
// neighbour terms, sides*(W+N+S) + corners + sides for side weights 1 and 2.
template <typename V>
struct Neighbourhood16 {
    typename V::T centre;
    typename V::T withSides1, withSides2;  // for side weights 1 and 2

    Neighbourhood16(typename V::T c, typename V::T sides, typename V::T corners) : centre(c) {
        const typename V::T one = V::set16(1);
        withSides1 = V::add16(V::add16(sides, corners), one);
        withSides2 = V::add16(withSides1, V::add16(sides, one));
    }

    // The side weight picks a register by a branch that goes the same way for
    // the whole row, not by an index, which would keep the terms in memory.
    typename V::T kernel(const RowSetup<V>& setup, std::size_t k) const {
        typename V::T sum = V::mullo16(centre, setup.centreWeight[k]);
        if (setup.sideWeight[k] == 1) sum = V::add16(sum, withSides1);
        if (setup.sideWeight[k] == 2) sum = V::add16(sum, withSides2);
        return V::mulhiu16(sum, setup.multiplier[k]);
    }
};

// Calls f(std::integral_constant<std::size_t, k>) for every evidence class k
// in turn: unrolled, so that arrays indexed by the class stay in registers.
template <typename F, std::size_t... K>
[[gnu::always_inline]] inline void forEachClassOf(F&& f, std::index_sequence<K...>) {
    (f(std::integral_constant<std::size_t, K>{}), ...);
}
template <typename F>
[[gnu::always_inline]] inline void forEachClass(F&& f) {
    forEachClassOf(f, std::make_index_sequence<N_EVIDENCE_CLASSES>{});
}

// Filters the masked samples of [0, V::WIDTH) from the given positions.
// Inlined into the row loop: called, it reloaded the row's constants and
// passed eight arguments for every vector.
template <typename V>
[[gnu::always_inline]] inline void filterVector(std::uint8_t* output, const std::uint8_t* current,
                                                const std::uint8_t* reference,
                                                const std::uint8_t* score,
                                                const std::uint8_t* marks,
                                                const std::uint8_t* writeMask,
                                                std::ptrdiff_t stride, const RowSetup<V>& setup) {
    using T = typename V::T;
    const T zero = V::zero();
    const T write = V::bitAndNot(V::cmpeq8(V::load(writeMask), zero), V::cmpeq8(zero, zero));
    const auto writeLanes = V::moveMask(write);
    if (writeLanes == 0) return;
    const T c = V::load(current);
    const T w = V::load(current - 1);
    const T n = V::load(current - stride);
    const T s = V::load(current + stride);
    const T nw = V::load(current - stride - 1);
    const T ne = V::load(current - stride + 1);
    const T sw = V::load(current + stride - 1);
    const T se = V::load(current + stride + 1);
    const Neighbourhood16<V> low(
        V::unpackLo8(c, zero),
        V::add16(V::add16(V::unpackLo8(w, zero), V::unpackLo8(n, zero)), V::unpackLo8(s, zero)),
        V::add16(V::add16(V::unpackLo8(nw, zero), V::unpackLo8(ne, zero)),
                 V::add16(V::unpackLo8(sw, zero), V::unpackLo8(se, zero))));
    const Neighbourhood16<V> high(
        V::unpackHi8(c, zero),
        V::add16(V::add16(V::unpackHi8(w, zero), V::unpackHi8(n, zero)), V::unpackHi8(s, zero)),
        V::add16(V::add16(V::unpackHi8(nw, zero), V::unpackHi8(ne, zero)),
                 V::add16(V::unpackHi8(sw, zero), V::unpackHi8(se, zero))));

    // Evidence class masks, disjoint and together covering every lane.
    const T sc = V::load(score);
    const T noScore = V::cmpeq8(sc, zero);
    const T strong = V::cmpeq8(V::maxu8(sc, V::set8(7)), sc);
    const T weak = V::bitAndNot(V::bitOr(noScore, strong), V::cmpeq8(zero, zero));
    // Only a lane without a score whose sample changed alone can be a spike;
    // where there is none, the neighbours' scores need not be read, nor
    // anything of spikes where they are filtered as nearby evidence is.
    T spike = zero;
    if (setup.spikeMatters) {
        spike = V::bitAnd(noScore,
                          V::cmpeq8(V::bitAnd(V::load(marks), V::set8(0x8F)), V::set8(0x80)));
    }
    if (V::moveMask(spike) != 0) {
        const T neighbourScores =
            V::bitOr(V::bitOr(V::bitOr(V::load(score - stride - 1), V::load(score - stride)),
                              V::bitOr(V::load(score - stride + 1), V::load(score - 1))),
                     V::bitOr(V::bitOr(V::load(score + 1), V::load(score + stride - 1)),
                              V::bitOr(V::load(score + stride), V::load(score + stride + 1))));
        spike = V::bitAnd(spike, V::cmpeq8(neighbourScores, zero));
    }
    const T nearby = V::bitAndNot(spike, noScore);
    const T masks[N_EVIDENCE_CLASSES] = {strong, weak, nearby, spike};

    T smoothed[N_EVIDENCE_CLASSES];
    forEachClass([&](auto classIndex) {
        constexpr std::size_t k = classIndex;
        const std::size_t source = setup.kernelSource[k];  // always 0 for class 0
        if (k == 0 || source == k) {
            smoothed[k] = V::packus16(low.kernel(setup, k), high.kernel(setup, k));
            return;
        }
        // A class sharing an earlier class's kernel takes its result.
        T shared = smoothed[0];
        forEachClass([&](auto earlierIndex) {
            constexpr std::size_t j = earlierIndex;
            if constexpr (j > 0 && j < k) {
                if (source == j) shared = smoothed[j];
            }
        });
        smoothed[k] = shared;
    });
    T o = V::zero();
    forEachClass([&](auto k) { o = V::bitOr(o, V::bitAnd(masks[k], smoothed[k])); });
    T margin = setup.margin[0];
    T keep = setup.keepInput[0];
    if (!setup.uniformLimit) {
        margin = V::zero();
        keep = V::zero();
        forEachClass([&](auto k) {
            margin = V::bitOr(margin, V::bitAnd(masks[k], setup.margin[k]));
            keep = V::bitOr(keep, V::bitAnd(masks[k], setup.keepInput[k]));
        });
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
    const T result = blend<V>(within, o, beyond);
    V::store(output,
             writeLanes == V::ALL_LANES ? result : blend<V>(write, result, V::load(output)));
}

// The whole row: full vectors, then one last vector that ends at the row's end
// and overlaps the one before (it writes the same values again), through
// `narrower` where half a vector covers the rest; rows shorter than a vector
// go to `narrower` too. Vectors without a masked sample are skipped,
// partly masked ones merge with the output already there. With a Half type,
// a vector whose masked samples all lie in one half is filtered as that half
// alone: where the wide steps run as two narrower ones, that halves its cost,
// and a few scattered changed blocks often leave half a vector untouched.
template <typename V, typename Half = void>
void filterRowSimd(std::uint8_t* output, const std::uint8_t* current, const std::uint8_t* reference,
                   const std::uint8_t* score, const std::uint8_t* marks,
                   const std::uint8_t* writeMask, std::ptrdiff_t stride, std::uint32_t count,
                   const FilterPlan& plan, FilterRowFunction narrower) {
    if (count < V::WIDTH) {
        narrower(output, current, reference, score, marks, writeMask, stride, count, plan);
        return;
    }
    const RowSetup<V>& setup = rowSetupFor<V>(plan);
    using H = std::conditional_t<std::is_void_v<Half>, V, Half>;
    const RowSetup<H>* halfSetup = nullptr;
    if constexpr (!std::is_void_v<Half>) halfSetup = &rowSetupFor<Half>(plan);
    std::uint32_t i = 0;
    for (; i + V::WIDTH <= count; i += V::WIDTH) {
        if constexpr (!std::is_void_v<Half>) {
            static_assert(2 * Half::WIDTH == V::WIDTH);
            constexpr auto LOW_HALF = (decltype(V::ALL_LANES){1} << Half::WIDTH) - 1;
            const auto written = ~V::moveMask(V::cmpeq8(V::load(writeMask + i), V::zero()));
            if (written == 0) continue;
            if ((written & ~LOW_HALF) == 0 || (written & LOW_HALF) == 0) {
                const std::uint32_t at = (written & LOW_HALF) != 0 ? i : i + Half::WIDTH;
                filterVector<Half>(output + at, current + at, reference + at, score + at, marks + at,
                                   writeMask + at, stride, *halfSetup);
                continue;
            }
        }
        filterVector<V>(output + i, current + i, reference + i, score + i, marks + i, writeMask + i,
                        stride, setup);
    }
    if (i == count) return;
    if (count - i <= V::WIDTH / 2) {
        // About half the cost of a full vector: a 96-sample plane's 94 inner
        // samples would otherwise take two full vectors for one and a half.
        i = count - V::WIDTH / 2;
        narrower(output + i, current + i, reference + i, score + i, marks + i, writeMask + i,
                 stride, V::WIDTH / 2, plan);
        return;
    }
    i = count - V::WIDTH;
    filterVector<V>(output + i, current + i, reference + i, score + i, marks + i, writeMask + i,
                    stride, setup);
}

}  // namespace
}  // namespace kalmix
