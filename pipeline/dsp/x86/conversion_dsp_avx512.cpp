// AVX-512 variants of the colour conversion: sixty-four pixels a step in
// 512-bit registers, with the AVX2 steps (built with the EVEX forms) for the
// rest of a run.
#define KALMIX_CONVERSION_SUFFIX avx512_256
#include "pipeline/dsp/x86/conversion_rows_256.inc"

namespace kalmix {

AlphaSummary pixelsToPlanes_avx512_256(const std::uint8_t* pixels, std::uint8_t* y, std::uint8_t* u,
                                       std::uint8_t* v, std::uint32_t count);
void planesToPixels_avx512_256(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v,
                               const std::uint8_t* alphaSource, std::uint8_t* pixels, std::uint32_t count);
void planesToFilledPixels_avx512_256(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v,
                                     std::uint8_t alpha, std::uint8_t* pixels, std::uint32_t count);

namespace {

[[gnu::always_inline]] inline __m512i load64(const std::uint8_t* p) { return _mm512_loadu_si512(p); }
[[gnu::always_inline]] inline void store64(std::uint8_t* p, __m512i v) { _mm512_storeu_si512(p, v); }
[[gnu::always_inline]] inline __m512i words(std::uint16_t v) { return _mm512_set1_epi16(static_cast<short>(v)); }
// The four cache lines a later step of 64 source pixels will read.
[[gnu::always_inline]] inline void prefetchStep(const std::uint8_t* pixels) {
#pragma GCC unroll 4
    for (std::uint32_t line = 0; line < 4; ++line) prefetchPixels(pixels + PIXEL_PREFETCH_DISTANCE + 64 * line);
}

struct Planes32 {
    __m512i y, u, v;
};

[[gnu::always_inline]] inline Planes32 toPlanes32(__m512i first, __m512i second) {
    // As blueAndRed of the 256-bit steps: blue and red in 16-bit lanes, in
    // the order packing 32-bit lanes leaves them. GCC 12 builds the plain
    // forms of these three from an undefined vector and warns that it is
    // used; the zero-masked forms under a full mask are the same instructions.
    const __m512i spread = _mm512_maskz_broadcast_i32x4(0xFFFF, blueRedSpread());
    const __m512i s1 = _mm512_shuffle_epi8(first, spread);
    const __m512i s2 = _mm512_shuffle_epi8(second, spread);
    const __m512i b = _mm512_maskz_unpacklo_epi64(0xFF, s1, s2);
    const __m512i r = _mm512_maskz_unpackhi_epi64(0xFF, s1, s2);
    const __m512i weights = _mm512_set1_epi32(0x00030601);
    const __m512i ones = words(1);
    const __m512i sum = _mm512_packs_epi32(_mm512_madd_epi16(_mm512_maddubs_epi16(first, weights), ones),
                                           _mm512_madd_epi16(_mm512_maddubs_epi16(second, weights), ones));
    const __m512i y = _mm512_mulhi_epu16(sum, words(DIVIDE_BY_10));
    const __m512i blue = _mm512_sub_epi16(b, y);
    const __m512i u = _mm512_srai_epi16(_mm512_sub_epi16(blue, _mm512_srai_epi16(blue, 15)), 1);
    const __m512i red = _mm512_mullo_epi16(_mm512_sub_epi16(r, y), words(10));
    const __m512i v = _mm512_srai_epi16(_mm512_add_epi16(red, _mm512_srli_epi16(_mm512_srai_epi16(red, 15), 12)), 4);
    return {y, _mm512_add_epi16(u, words(128)), _mm512_add_epi16(v, words(128))};
}

struct Colours32 {
    __m512i b, g, r;
};

[[gnu::always_inline]] inline Colours32 toColours32(__m512i y, __m512i u, __m512i v) {
    const __m512i zero = _mm512_setzero_si512();
    const __m512i top = words(255);
    const __m512i d = _mm512_sub_epi16(v, words(128));
    const __m512i fifths = _mm512_mulhi_epu16(_mm512_slli_epi16(_mm512_abs_epi16(d), 3), words(DIVIDE_BY_5));
    // The sign of d put back: negated where d < 0 (d = 0 gives 0 either way).
    const __m512i redDifference =
        _mm512_mask_sub_epi16(fifths, _mm512_cmplt_epi16_mask(d, zero), zero, fifths);
    const __m512i blueDifference = _mm512_sub_epi16(_mm512_slli_epi16(u, 1), words(256));
    const __m512i b = _mm512_max_epi16(_mm512_min_epi16(_mm512_add_epi16(y, blueDifference), top), zero);
    const __m512i r = _mm512_max_epi16(_mm512_min_epi16(_mm512_add_epi16(y, redDifference), top), zero);
    const __m512i t = _mm512_sub_epi16(_mm512_mullo_epi16(y, words(10)),
                                       _mm512_add_epi16(_mm512_mullo_epi16(r, words(3)), b));
    const __m512i g = _mm512_min_epi16(_mm512_mulhi_epu16(_mm512_max_epi16(t, zero), words(GREEN_FACTOR)), top);
    return {b, g, r};
}

[[gnu::always_inline]] inline void colourQuarters64(const std::uint8_t* y, const std::uint8_t* u,
                                                    const std::uint8_t* v, __m512i alpha, __m512i ordered[4]) {
    const __m512i ys = load64(y), us = load64(u), vs = load64(v);
    const __m512i lowBytes = words(0x00FF);
    const Colours32 even = toColours32(_mm512_and_si512(ys, lowBytes), _mm512_and_si512(us, lowBytes),
                                       _mm512_and_si512(vs, lowBytes));
    const Colours32 odd = toColours32(_mm512_srli_epi16(ys, 8), _mm512_srli_epi16(us, 8), _mm512_srli_epi16(vs, 8));
    const __m512i b = _mm512_or_si512(even.b, _mm512_slli_epi16(odd.b, 8));
    const __m512i g = _mm512_or_si512(even.g, _mm512_slli_epi16(odd.g, 8));
    const __m512i r = _mm512_or_si512(even.r, _mm512_slli_epi16(odd.r, 8));
    const __m512i blueGreenLow = _mm512_unpacklo_epi8(b, g);
    const __m512i blueGreenHigh = _mm512_unpackhi_epi8(b, g);
    const __m512i redLow = _mm512_unpacklo_epi8(r, alpha);
    const __m512i redHigh = _mm512_unpackhi_epi8(r, alpha);
    // Per 128-bit lane k: pixels 16k + 0-3, 4-7, 8-11 and 12-15.
    const __m512i q0 = _mm512_unpacklo_epi16(blueGreenLow, redLow);
    const __m512i q1 = _mm512_unpackhi_epi16(blueGreenLow, redLow);
    const __m512i q2 = _mm512_unpacklo_epi16(blueGreenHigh, redHigh);
    const __m512i q3 = _mm512_unpackhi_epi16(blueGreenHigh, redHigh);
    // A 4x4 transpose of the 128-bit lanes, in two-source permutations of
    // quadwords: lanes 0 and 1 of both sources, then 2 and 3, interleaved;
    // then the pairs of both sources side by side.
    const __m512i interleaveLow = _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11);
    const __m512i interleaveHigh = _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15);
    const __m512i pairsLow = _mm512_setr_epi64(0, 1, 2, 3, 8, 9, 10, 11);
    const __m512i pairsHigh = _mm512_setr_epi64(4, 5, 6, 7, 12, 13, 14, 15);
    const __m512i t0 = _mm512_permutex2var_epi64(q0, interleaveLow, q1);
    const __m512i t1 = _mm512_permutex2var_epi64(q2, interleaveLow, q3);
    const __m512i t2 = _mm512_permutex2var_epi64(q0, interleaveHigh, q1);
    const __m512i t3 = _mm512_permutex2var_epi64(q2, interleaveHigh, q3);
    ordered[0] = _mm512_permutex2var_epi64(t0, pairsLow, t1);
    ordered[1] = _mm512_permutex2var_epi64(t0, pairsHigh, t1);
    ordered[2] = _mm512_permutex2var_epi64(t2, pairsLow, t3);
    ordered[3] = _mm512_permutex2var_epi64(t2, pairsHigh, t3);
}

}  // namespace

AlphaSummary pixelsToPlanes_avx512(const std::uint8_t* pixels, std::uint8_t* y, std::uint8_t* u, std::uint8_t* v,
                                   std::uint32_t count) {
    __m512i all = _mm512_set1_epi32(-1), any = _mm512_setzero_si512();
    // Groups of four pixels come out of the packs as 0, 4, 8, 12, 1, 5, ...
    const __m512i order = _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    const auto inOrder = [order](__m512i x) { return _mm512_permutex2var_epi32(x, order, x); };
    std::uint32_t i = 0;
    for (; i + 64 <= count; i += 64) {
        const std::uint8_t* p = pixels + 4 * i;
        prefetchStep(p);
        const __m512i p0 = load64(p), p1 = load64(p + 64), p2 = load64(p + 128), p3 = load64(p + 192);
        all = _mm512_and_si512(all, _mm512_and_si512(_mm512_and_si512(p0, p1), _mm512_and_si512(p2, p3)));
        any = _mm512_or_si512(any, _mm512_or_si512(_mm512_or_si512(p0, p1), _mm512_or_si512(p2, p3)));
        const Planes32 low = toPlanes32(p0, p1);
        const Planes32 high = toPlanes32(p2, p3);
        store64(y + i, inOrder(_mm512_packus_epi16(low.y, high.y)));
        store64(u + i, inOrder(_mm512_packus_epi16(low.u, high.u)));
        store64(v + i, inOrder(_mm512_packus_epi16(low.v, high.v)));
    }
    const __m256i all256 = _mm256_and_si256(_mm512_extracti32x8_epi32(all, 0), _mm512_extracti32x8_epi32(all, 1));
    const __m256i any256 = _mm256_or_si256(_mm512_extracti32x8_epi32(any, 0), _mm512_extracti32x8_epi32(any, 1));
    return mergeAlphaSummaries(alphaSummary(all256, any256),
                               pixelsToPlanes_avx512_256(pixels + 4 * i, y + i, u + i, v + i, count - i));
}

void planesToPixels_avx512(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v,
                           const std::uint8_t* alphaSource, std::uint8_t* pixels, std::uint32_t count) {
    const __m512i alphaMask = _mm512_set1_epi32(static_cast<int>(0xFF000000u));
    std::uint32_t i = 0;
    for (; i + 64 <= count; i += 64) {
        const std::uint8_t* a = alphaSource + 4 * i;
        prefetchStep(a);
        __m512i ordered[4];
        colourQuarters64(y + i, u + i, v + i, _mm512_setzero_si512(), ordered);
        // Every alpha read before the first store: alphaSource may be the pixels.
        __m512i alpha[4];
#pragma GCC unroll 4
        for (int q = 0; q < 4; ++q) alpha[q] = _mm512_and_si512(load64(a + 64 * q), alphaMask);
#pragma GCC unroll 4
        for (int q = 0; q < 4; ++q) store64(pixels + 4 * i + 64 * q, _mm512_or_si512(ordered[q], alpha[q]));
    }
    planesToPixels_avx512_256(y + i, u + i, v + i, alphaSource + 4 * i, pixels + 4 * i, count - i);
}

void planesToFilledPixels_avx512(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v,
                                 std::uint8_t alpha, std::uint8_t* pixels, std::uint32_t count) {
    const __m512i alphaBytes = _mm512_set1_epi8(static_cast<char>(alpha));
    std::uint32_t i = 0;
    for (; i + 64 <= count; i += 64) {
        __m512i ordered[4];
        colourQuarters64(y + i, u + i, v + i, alphaBytes, ordered);
#pragma GCC unroll 4
        for (int q = 0; q < 4; ++q) store64(pixels + 4 * i + 64 * q, ordered[q]);
    }
    planesToFilledPixels_avx512_256(y + i, u + i, v + i, alpha, pixels + 4 * i, count - i);
}

}  // namespace kalmix
