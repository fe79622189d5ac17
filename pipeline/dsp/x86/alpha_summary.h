// The alpha summary of a conversion in, from the AND and the OR of the
// source's lanes (alpha in bits 24 to 31 of each). Shared by the SSE2 and
// AVX2 conversions; internal to each, since they are built for different
// instruction sets.
#pragma once

#include <cstdint>

#include <emmintrin.h>

#include "pipeline/dsp/conversion_dsp.h"

namespace kalmix {
namespace {

[[maybe_unused]] AlphaSummary alphaSummary(__m128i all, __m128i any) {
    all = _mm_and_si128(all, _mm_shuffle_epi32(all, _MM_SHUFFLE(1, 0, 3, 2)));
    all = _mm_and_si128(all, _mm_shuffle_epi32(all, _MM_SHUFFLE(2, 3, 0, 1)));
    any = _mm_or_si128(any, _mm_shuffle_epi32(any, _MM_SHUFFLE(1, 0, 3, 2)));
    any = _mm_or_si128(any, _mm_shuffle_epi32(any, _MM_SHUFFLE(2, 3, 0, 1)));
    const auto allAlpha = static_cast<std::uint32_t>(_mm_cvtsi128_si32(all)) >> 24;
    const auto anyAlpha = static_cast<std::uint32_t>(_mm_cvtsi128_si32(any)) >> 24;
    return static_cast<AlphaSummary>(allAlpha | anyAlpha << 8);
}

}  // namespace
}  // namespace kalmix
