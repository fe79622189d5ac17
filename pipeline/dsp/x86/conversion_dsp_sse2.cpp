// SSE2 variants of the colour conversion, sixteen pixels at a time, in 16-bit
// integers that give exactly the truncated results of the definitions (the
// multipliers are explained beside their constants).
#include <emmintrin.h>

#include "pipeline/dsp/conversion_dsp.h"
#include "pipeline/dsp/x86/alpha_summary.h"

namespace kalmix {

namespace {

// The helpers are forced inline: called, their vectors would go through memory.
[[gnu::always_inline]] inline __m128i load(const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
[[gnu::always_inline]] inline void store(std::uint8_t* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// One byte of each 32-bit pixel, as 16-bit lanes of eight pixels.
[[gnu::always_inline]] inline __m128i channel(__m128i first, __m128i second, int shift,
                                              __m128i byteMask) {
    return _mm_packs_epi32(
        _mm_and_si128(_mm_srl_epi32(first, _mm_cvtsi32_si128(shift)), byteMask),
        _mm_and_si128(_mm_srl_epi32(second, _mm_cvtsi32_si128(shift)), byteMask));
}

struct Planes16 {
    __m128i y, u, v;
};

[[gnu::always_inline]] inline Planes16 toPlanes8(__m128i first, __m128i second) {
    const __m128i byteMask = _mm_set1_epi32(0xFF);
    const __m128i b = channel(first, second, 0, byteMask);
    const __m128i g = channel(first, second, 8, byteMask);
    const __m128i r = channel(first, second, 16, byteMask);
    const __m128i sum = _mm_add_epi16(_mm_add_epi16(b, _mm_mullo_epi16(g, _mm_set1_epi16(6))),
                                      _mm_mullo_epi16(r, _mm_set1_epi16(3)));
    const __m128i y = _mm_mulhi_epu16(sum, _mm_set1_epi16(static_cast<short>(DIVIDE_BY_10)));
    const __m128i offset = _mm_set1_epi16(128);
    // Signed halving and sixteenths that truncate toward zero: add 1 or 15 to a
    // negative value before the arithmetic shift.
    const __m128i blue = _mm_sub_epi16(b, y);
    const __m128i u = _mm_srai_epi16(_mm_sub_epi16(blue, _mm_srai_epi16(blue, 15)), 1);
    const __m128i red = _mm_mullo_epi16(_mm_sub_epi16(r, y), _mm_set1_epi16(10));
    const __m128i v =
        _mm_srai_epi16(_mm_add_epi16(red, _mm_srli_epi16(_mm_srai_epi16(red, 15), 12)), 4);
    return {y, _mm_add_epi16(u, offset), _mm_add_epi16(v, offset)};
}

// Sixteen pixels; their alpha bytes (with the colour bytes beside them, which
// the summary ignores) go into the running AND and OR.
[[gnu::always_inline]] inline void pixelsToPlanes16(const std::uint8_t* pixels, std::uint8_t* y,
                                                    std::uint8_t* u, std::uint8_t* v, __m128i& all,
                                                    __m128i& any) {
    const __m128i p0 = load(pixels), p1 = load(pixels + 16);
    const __m128i p2 = load(pixels + 32), p3 = load(pixels + 48);
    all = _mm_and_si128(all, _mm_and_si128(_mm_and_si128(p0, p1), _mm_and_si128(p2, p3)));
    any = _mm_or_si128(any, _mm_or_si128(_mm_or_si128(p0, p1), _mm_or_si128(p2, p3)));
    const Planes16 low = toPlanes8(p0, p1);
    const Planes16 high = toPlanes8(p2, p3);
    store(y, _mm_packus_epi16(low.y, high.y));
    store(u, _mm_packus_epi16(low.u, high.u));
    store(v, _mm_packus_epi16(low.v, high.v));
}

struct Colours16 {
    __m128i b, g, r;
};

[[gnu::always_inline]] inline Colours16 toColours8(__m128i y, __m128i u, __m128i v) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i top = _mm_set1_epi16(255);
    const __m128i d = _mm_sub_epi16(v, _mm_set1_epi16(128));
    const __m128i sign = _mm_srai_epi16(d, 15);
    const __m128i magnitude = _mm_sub_epi16(_mm_xor_si128(d, sign), sign);
    const __m128i fifths = _mm_mulhi_epu16(_mm_slli_epi16(magnitude, 3),
                                           _mm_set1_epi16(static_cast<short>(DIVIDE_BY_5)));
    const __m128i redDifference = _mm_sub_epi16(_mm_xor_si128(fifths, sign), sign);
    const __m128i blueDifference = _mm_sub_epi16(_mm_slli_epi16(u, 1), _mm_set1_epi16(256));
    const __m128i b = _mm_max_epi16(_mm_min_epi16(_mm_add_epi16(y, blueDifference), top), zero);
    const __m128i r = _mm_max_epi16(_mm_min_epi16(_mm_add_epi16(y, redDifference), top), zero);
    const __m128i t = _mm_sub_epi16(_mm_mullo_epi16(y, _mm_set1_epi16(10)),
                                    _mm_add_epi16(_mm_mullo_epi16(r, _mm_set1_epi16(3)), b));
    const __m128i g = _mm_min_epi16(
        _mm_mulhi_epu16(_mm_max_epi16(t, zero), _mm_set1_epi16(static_cast<short>(GREEN_FACTOR))),
        top);
    return {b, g, r};
}

// Sixteen pixels' colour bytes, alpha bytes zero, in pixel order.
[[gnu::always_inline]] inline void colourQuarters16(const std::uint8_t* y, const std::uint8_t* u,
                                                    const std::uint8_t* v, __m128i quarters[4]) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i ys = load(y), us = load(u), vs = load(v);
    const Colours16 low = toColours8(_mm_unpacklo_epi8(ys, zero), _mm_unpacklo_epi8(us, zero),
                                     _mm_unpacklo_epi8(vs, zero));
    const Colours16 high = toColours8(_mm_unpackhi_epi8(ys, zero), _mm_unpackhi_epi8(us, zero),
                                      _mm_unpackhi_epi8(vs, zero));
    const __m128i b = _mm_packus_epi16(low.b, high.b);
    const __m128i g = _mm_packus_epi16(low.g, high.g);
    const __m128i r = _mm_packus_epi16(low.r, high.r);
    const __m128i blueGreenLow = _mm_unpacklo_epi8(b, g), blueGreenHigh = _mm_unpackhi_epi8(b, g);
    const __m128i redLow = _mm_unpacklo_epi8(r, zero), redHigh = _mm_unpackhi_epi8(r, zero);
    quarters[0] = _mm_unpacklo_epi16(blueGreenLow, redLow);
    quarters[1] = _mm_unpackhi_epi16(blueGreenLow, redLow);
    quarters[2] = _mm_unpacklo_epi16(blueGreenHigh, redHigh);
    quarters[3] = _mm_unpackhi_epi16(blueGreenHigh, redHigh);
}

[[gnu::always_inline]] inline void planesToPixels16(const std::uint8_t* y, const std::uint8_t* u,
                                                    const std::uint8_t* v,
                                                    const std::uint8_t* alphaSource,
                                                    std::uint8_t* pixels) {
    __m128i quarters[4];
    colourQuarters16(y, u, v, quarters);
    const __m128i alphaMask = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    // Read every alpha before the first store: alphaSource may be the pixels.
    __m128i alpha[4];
// Unrolled, so that the four vectors stay in registers.
#pragma GCC unroll 4
    for (int q = 0; q < 4; ++q) alpha[q] = _mm_and_si128(load(alphaSource + 16 * q), alphaMask);
#pragma GCC unroll 4
    for (int q = 0; q < 4; ++q) store(pixels + 16 * q, _mm_or_si128(quarters[q], alpha[q]));
}

[[gnu::always_inline]] inline void planesToFilledPixels16(const std::uint8_t* y,
                                                          const std::uint8_t* u,
                                                          const std::uint8_t* v, __m128i alpha,
                                                          std::uint8_t* pixels) {
    __m128i quarters[4];
    colourQuarters16(y, u, v, quarters);
// Unrolled, so that the four vectors stay in registers.
#pragma GCC unroll 4
    for (int q = 0; q < 4; ++q) store(pixels + 16 * q, _mm_or_si128(quarters[q], alpha));
}

}  // namespace

AlphaSummary pixelsToPlanes_sse2(const std::uint8_t* pixels, std::uint8_t* y, std::uint8_t* u,
                                 std::uint8_t* v, std::uint32_t count) {
    __m128i all = _mm_set1_epi32(-1), any = _mm_setzero_si128();
    std::uint32_t i = 0;
    for (; i + 16 <= count; i += 16) {
        prefetchPixels(pixels + 4 * i + PIXEL_PREFETCH_DISTANCE);
        pixelsToPlanes16(pixels + 4 * i, y + i, u + i, v + i, all, any);
    }
    return mergeAlphaSummaries(alphaSummary(all, any),
                               pixelsToPlanes_c(pixels + 4 * i, y + i, u + i, v + i, count - i));
}

void planesToPixels_sse2(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v,
                         const std::uint8_t* alphaSource, std::uint8_t* pixels,
                         std::uint32_t count) {
    std::uint32_t i = 0;
    for (; i + 16 <= count; i += 16) {
        prefetchPixels(alphaSource + 4 * i + PIXEL_PREFETCH_DISTANCE);
        planesToPixels16(y + i, u + i, v + i, alphaSource + 4 * i, pixels + 4 * i);
    }
    planesToPixels_c(y + i, u + i, v + i, alphaSource + 4 * i, pixels + 4 * i, count - i);
}

void planesToFilledPixels_sse2(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v,
                               std::uint8_t alpha, std::uint8_t* pixels, std::uint32_t count) {
    const __m128i alphaBytes = _mm_set1_epi32(static_cast<int>(std::uint32_t{alpha} << 24));
    std::uint32_t i = 0;
    for (; i + 16 <= count; i += 16) {
        planesToFilledPixels16(y + i, u + i, v + i, alphaBytes, pixels + 4 * i);
    }
    planesToFilledPixels_c(y + i, u + i, v + i, alpha, pixels + 4 * i, count - i);
}

}  // namespace kalmix
