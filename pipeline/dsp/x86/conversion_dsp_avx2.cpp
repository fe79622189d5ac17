// AVX2 variants of the colour conversion, thirty-two pixels at a time: the
// arithmetic of the SSE2 variants in 256-bit registers. Packing and unpacking
// work within each 128-bit half, so one permutation per direction puts the
// pixels back in order.
#include <immintrin.h>

#include "pipeline/dsp/conversion_dsp.h"
#include "pipeline/dsp/x86/alpha_summary.h"

namespace kalmix {

namespace {

// The helpers are forced inline: called, their vectors would go through memory.
[[gnu::always_inline]] inline __m256i load(const std::uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
[[gnu::always_inline]] inline void store(std::uint8_t* p, __m256i v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}
[[gnu::always_inline]] inline __m256i set16(std::uint16_t v) {
    return _mm256_set1_epi16(static_cast<short>(v));
}

[[gnu::always_inline]] inline __m256i channel(__m256i first, __m256i second, int shift,
                                              __m256i byteMask) {
    return _mm256_packs_epi32(
        _mm256_and_si256(_mm256_srl_epi32(first, _mm_cvtsi32_si128(shift)), byteMask),
        _mm256_and_si256(_mm256_srl_epi32(second, _mm_cvtsi32_si128(shift)), byteMask));
}

struct Planes16 {
    __m256i y, u, v;
};

[[gnu::always_inline]] inline Planes16 toPlanes16(__m256i first, __m256i second) {
    const __m256i byteMask = _mm256_set1_epi32(0xFF);
    const __m256i b = channel(first, second, 0, byteMask);
    const __m256i r = channel(first, second, 16, byteMask);
    // B + 6G + 3R of each pixel in two multiply-adds: bytes times 1, 6, 3 and
    // 0 summed in pairs (at most 1,785 and 765), then the pairs (at most 2,550).
    const __m256i weights = _mm256_set1_epi32(0x00030601);
    const __m256i ones = set16(1);
    const __m256i sum =
        _mm256_packs_epi32(_mm256_madd_epi16(_mm256_maddubs_epi16(first, weights), ones),
                           _mm256_madd_epi16(_mm256_maddubs_epi16(second, weights), ones));
    const __m256i y = _mm256_mulhi_epu16(sum, set16(DIVIDE_BY_10));
    const __m256i blue = _mm256_sub_epi16(b, y);
    const __m256i u = _mm256_srai_epi16(_mm256_sub_epi16(blue, _mm256_srai_epi16(blue, 15)), 1);
    const __m256i red = _mm256_mullo_epi16(_mm256_sub_epi16(r, y), set16(10));
    const __m256i v = _mm256_srai_epi16(
        _mm256_add_epi16(red, _mm256_srli_epi16(_mm256_srai_epi16(red, 15), 12)), 4);
    return {y, _mm256_add_epi16(u, set16(128)), _mm256_add_epi16(v, set16(128))};
}

// Thirty-two pixels; their alpha bytes (with the colour bytes beside them,
// which the summary ignores) go into the running AND and OR.
[[gnu::always_inline]] inline void pixelsToPlanes32(const std::uint8_t* pixels, std::uint8_t* y,
                                                    std::uint8_t* u, std::uint8_t* v, __m256i& all,
                                                    __m256i& any) {
    const __m256i p0 = load(pixels), p1 = load(pixels + 32);
    const __m256i p2 = load(pixels + 64), p3 = load(pixels + 96);
    all =
        _mm256_and_si256(all, _mm256_and_si256(_mm256_and_si256(p0, p1), _mm256_and_si256(p2, p3)));
    any = _mm256_or_si256(any, _mm256_or_si256(_mm256_or_si256(p0, p1), _mm256_or_si256(p2, p3)));
    const Planes16 low = toPlanes16(p0, p1);
    const Planes16 high = toPlanes16(p2, p3);
    // Groups of four pixels come out as 0, 2, 4, 6, 1, 3, 5, 7.
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    store(y, _mm256_permutevar8x32_epi32(_mm256_packus_epi16(low.y, high.y), order));
    store(u, _mm256_permutevar8x32_epi32(_mm256_packus_epi16(low.u, high.u), order));
    store(v, _mm256_permutevar8x32_epi32(_mm256_packus_epi16(low.v, high.v), order));
}

struct Colours16 {
    __m256i b, g, r;
};

[[gnu::always_inline]] inline Colours16 toColours16(__m256i y, __m256i u, __m256i v) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i top = set16(255);
    // 8|d| / 5 with the sign of d put back: truncated toward zero.
    const __m256i d = _mm256_sub_epi16(v, set16(128));
    const __m256i fifths = _mm256_mulhi_epu16(_mm256_slli_epi16(_mm256_abs_epi16(d), 3), set16(DIVIDE_BY_5));
    const __m256i redDifference = _mm256_sign_epi16(fifths, d);
    const __m256i blueDifference = _mm256_sub_epi16(_mm256_slli_epi16(u, 1), set16(256));
    const __m256i b =
        _mm256_max_epi16(_mm256_min_epi16(_mm256_add_epi16(y, blueDifference), top), zero);
    const __m256i r =
        _mm256_max_epi16(_mm256_min_epi16(_mm256_add_epi16(y, redDifference), top), zero);
    const __m256i t = _mm256_sub_epi16(_mm256_mullo_epi16(y, set16(10)),
                                       _mm256_add_epi16(_mm256_mullo_epi16(r, set16(3)), b));
    const __m256i g =
        _mm256_min_epi16(_mm256_mulhi_epu16(_mm256_max_epi16(t, zero), set16(GREEN_FACTOR)), top);
    return {b, g, r};
}

// Thirty-two pixels in order, alpha taken from the bytes of `alpha` (every
// byte the same, or zero). The samples are widened in place, even ones as the low
// byte of each 16-bit lane and odd ones shifted down, and every result (0 to
// 255) goes back by shifting the odd ones up: masks and shifts instead of
// unpacking and packing, whose one port was the step's bottleneck.
[[gnu::always_inline]] inline void colourQuarters32(const std::uint8_t* y, const std::uint8_t* u,
                                                    const std::uint8_t* v, __m256i alpha,
                                                    __m256i ordered[4]) {
    const __m256i ys = load(y), us = load(u), vs = load(v);
    const __m256i lowBytes = set16(0x00FF);
    const Colours16 even =
        toColours16(_mm256_and_si256(ys, lowBytes), _mm256_and_si256(us, lowBytes),
                    _mm256_and_si256(vs, lowBytes));
    const Colours16 odd =
        toColours16(_mm256_srli_epi16(ys, 8), _mm256_srli_epi16(us, 8), _mm256_srli_epi16(vs, 8));
    const __m256i b = _mm256_or_si256(even.b, _mm256_slli_epi16(odd.b, 8));
    const __m256i g = _mm256_or_si256(even.g, _mm256_slli_epi16(odd.g, 8));
    const __m256i r = _mm256_or_si256(even.r, _mm256_slli_epi16(odd.r, 8));
    const __m256i blueGreenLow = _mm256_unpacklo_epi8(b, g);
    const __m256i blueGreenHigh = _mm256_unpackhi_epi8(b, g);
    const __m256i redLow = _mm256_unpacklo_epi8(r, alpha);
    const __m256i redHigh = _mm256_unpackhi_epi8(r, alpha);
    // Pixels 0-3|16-19, 4-7|20-23, 8-11|24-27 and 12-15|28-31.
    const __m256i q0 = _mm256_unpacklo_epi16(blueGreenLow, redLow);
    const __m256i q1 = _mm256_unpackhi_epi16(blueGreenLow, redLow);
    const __m256i q2 = _mm256_unpacklo_epi16(blueGreenHigh, redHigh);
    const __m256i q3 = _mm256_unpackhi_epi16(blueGreenHigh, redHigh);
    ordered[0] = _mm256_permute2x128_si256(q0, q1, 0x20);
    ordered[1] = _mm256_permute2x128_si256(q2, q3, 0x20);
    ordered[2] = _mm256_permute2x128_si256(q0, q1, 0x31);
    ordered[3] = _mm256_permute2x128_si256(q2, q3, 0x31);
}

[[gnu::always_inline]] inline void planesToPixels32(const std::uint8_t* y, const std::uint8_t* u,
                                                    const std::uint8_t* v,
                                                    const std::uint8_t* alphaSource,
                                                    std::uint8_t* pixels) {
    __m256i ordered[4];
    colourQuarters32(y, u, v, _mm256_setzero_si256(), ordered);
    const __m256i alphaMask = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
    // Read every alpha before the first store: alphaSource may be the pixels.
    __m256i alpha[4];
// Unrolled, so that the four vectors stay in registers.
#pragma GCC unroll 4
    for (int q = 0; q < 4; ++q) alpha[q] = _mm256_and_si256(load(alphaSource + 32 * q), alphaMask);
#pragma GCC unroll 4
    for (int q = 0; q < 4; ++q) store(pixels + 32 * q, _mm256_or_si256(ordered[q], alpha[q]));
}

// Thirty-two pixels, every alpha byte the given one.
[[gnu::always_inline]] inline void planesToFilledPixels32(const std::uint8_t* y,
                                                          const std::uint8_t* u,
                                                          const std::uint8_t* v, __m256i alpha,
                                                          std::uint8_t* pixels) {
    __m256i ordered[4];
    colourQuarters32(y, u, v, alpha, ordered);
// Unrolled, so that the four vectors stay in registers.
#pragma GCC unroll 4
    for (int q = 0; q < 4; ++q) store(pixels + 32 * q, ordered[q]);
}

// The 256-bit AND and OR folded to 128 bits first.
AlphaSummary alphaSummary(__m256i all, __m256i any) {
    return alphaSummary(_mm_and_si128(_mm256_castsi256_si128(all), _mm256_extracti128_si256(all, 1)),
                        _mm_or_si128(_mm256_castsi256_si128(any), _mm256_extracti128_si256(any, 1)));
}

}  // namespace

AlphaSummary pixelsToPlanes_avx2(const std::uint8_t* pixels, std::uint8_t* y, std::uint8_t* u,
                                 std::uint8_t* v, std::uint32_t count) {
    __m256i all = _mm256_set1_epi32(-1), any = _mm256_setzero_si256();
    std::uint32_t i = 0;
    for (; i + 32 <= count; i += 32) {
        prefetchPixels(pixels + 4 * i + PIXEL_PREFETCH_DISTANCE);
        prefetchPixels(pixels + 4 * i + PIXEL_PREFETCH_DISTANCE + 64);
        pixelsToPlanes32(pixels + 4 * i, y + i, u + i, v + i, all, any);
    }
    return mergeAlphaSummaries(alphaSummary(all, any),
                               pixelsToPlanes_sse2(pixels + 4 * i, y + i, u + i, v + i, count - i));
}

void planesToPixels_avx2(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v,
                         const std::uint8_t* alphaSource, std::uint8_t* pixels,
                         std::uint32_t count) {
    std::uint32_t i = 0;
    for (; i + 32 <= count; i += 32) {
        prefetchPixels(alphaSource + 4 * i + PIXEL_PREFETCH_DISTANCE);
        prefetchPixels(alphaSource + 4 * i + PIXEL_PREFETCH_DISTANCE + 64);
        planesToPixels32(y + i, u + i, v + i, alphaSource + 4 * i, pixels + 4 * i);
    }
    planesToPixels_sse2(y + i, u + i, v + i, alphaSource + 4 * i, pixels + 4 * i, count - i);
}

void planesToFilledPixels_avx2(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v,
                               std::uint8_t alpha, std::uint8_t* pixels, std::uint32_t count) {
    const __m256i alphaBytes = _mm256_set1_epi8(static_cast<char>(alpha));
    std::uint32_t i = 0;
    for (; i + 32 <= count; i += 32) {
        planesToFilledPixels32(y + i, u + i, v + i, alphaBytes, pixels + 4 * i);
    }
    planesToFilledPixels_sse2(y + i, u + i, v + i, alpha, pixels + 4 * i, count - i);
}

}  // namespace kalmix
