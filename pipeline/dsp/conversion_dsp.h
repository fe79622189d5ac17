// The colour conversion's routines and their table of variants.
//
// The planes of a frame are rows of exactly the frame width laid end to end,
// and every pixel converts on its own, so each direction is one pass over a
// run of count pixels.
#pragma once

#include <cstdint>

#include "pipeline/cpu.h"

namespace kalmix {

// What the alpha bytes of a run of pixels held: all of them ANDed in the low
// byte and ORed in the high byte. They were all one value exactly when the two
// bytes are equal; an empty run gives 0x00FF, which merges with any other.
using AlphaSummary = std::uint16_t;
inline constexpr AlphaSummary EMPTY_ALPHA_SUMMARY = 0x00FF;
// A summary that promises nothing: no byte ANDed to 0 and ORed to 255 at once.
inline constexpr AlphaSummary UNKNOWN_ALPHA_SUMMARY = 0xFF00;

inline AlphaSummary mergeAlphaSummaries(AlphaSummary a, AlphaSummary b) {
    return static_cast<AlphaSummary>(((a & b) & 0x00FF) | ((a | b) & 0xFF00));
}
// True, with the value, when every alpha byte the summary covers was the same.
inline bool uniformAlpha(AlphaSummary summary, std::uint8_t& value) {
    value = static_cast<std::uint8_t>(summary & 0xFF);
    return (summary >> 8) == value;
}

// Blue-green-red-alpha pixels into samples of the three planes; alpha goes
// only into the returned summary.
using PixelsToPlanesFunction = AlphaSummary (*)(const std::uint8_t* pixels, std::uint8_t* y,
                                                std::uint8_t* u, std::uint8_t* v,
                                                std::uint32_t count);
// Samples of the three planes into pixels, alpha taken from alphaSource, which
// may be the pixels themselves (their alpha then stays) or the source frame.
using PlanesToPixelsFunction = void (*)(const std::uint8_t* y, const std::uint8_t* u,
                                        const std::uint8_t* v, const std::uint8_t* alphaSource,
                                        std::uint8_t* pixels, std::uint32_t count);
// The same with one alpha value for every pixel: nothing of a source is read
// (the driver uses it when the source's alpha was uniform).
using PlanesToFilledPixelsFunction = void (*)(const std::uint8_t* y, const std::uint8_t* u,
                                              const std::uint8_t* v, std::uint8_t alpha,
                                              std::uint8_t* pixels, std::uint32_t count);

// Multipliers of the vector routines' 16-bit high-half products, each exact
// over the range it is used on (the variant tests check every input):
//   x / 10 for x <= 2,550 is (x * DIVIDE_BY_10) >> 16;
//   trunc((V - 128) * 1.6) is trunc(8(V - 128) / 5), and |8d| / 5 for |8d| <= 1,024
//   is (|8d| * DIVIDE_BY_5) >> 16 (1.6 in double lies just above 8/5, so no
//   product of an integer falls short of the integer it should reach);
//   trunc(t * 0.16667) for 0 <= t <= 2,550 is (t * GREEN_FACTOR) >> 16, and a
//   negative t clamps to 0 either way.
inline constexpr std::uint16_t DIVIDE_BY_10 = 6554;
inline constexpr std::uint16_t DIVIDE_BY_5 = 13108;
inline constexpr std::uint16_t GREEN_FACTOR = 10923;

// How far ahead the source pixels are asked for, in bytes, by the conversion
// in and by the conversion out that reads their alpha: the source comes cold
// from the host, and the arithmetic hides the wait only when the lines were
// requested this early.
// A prefetch never faults, so it may point past the frame's end.
inline constexpr std::uint32_t PIXEL_PREFETCH_DISTANCE = 2048;

struct ConversionRoutines {
    PixelsToPlanesFunction pixelsToPlanes;
    PlanesToPixelsFunction planesToPixels;
    PlanesToFilledPixelsFunction planesToFilledPixels;
};

extern ConversionRoutines conversionRoutines;
ConversionRoutines conversionRoutinesFor(CpuLevel level);

AlphaSummary pixelsToPlanes_c(const std::uint8_t* pixels, std::uint8_t* y, std::uint8_t* u,
                              std::uint8_t* v, std::uint32_t count);
void planesToPixels_c(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v,
                      const std::uint8_t* alphaSource, std::uint8_t* pixels, std::uint32_t count);
void planesToFilledPixels_c(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v,
                            std::uint8_t alpha, std::uint8_t* pixels, std::uint32_t count);
#if defined(KALMIX_HAVE_SSE2)
inline void prefetchPixels(const std::uint8_t* at) { __builtin_prefetch(at, 0, 3); }
AlphaSummary pixelsToPlanes_sse2(const std::uint8_t* pixels, std::uint8_t* y, std::uint8_t* u,
                                 std::uint8_t* v, std::uint32_t count);
void planesToPixels_sse2(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v,
                         const std::uint8_t* alphaSource, std::uint8_t* pixels,
                         std::uint32_t count);
void planesToFilledPixels_sse2(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v,
                               std::uint8_t alpha, std::uint8_t* pixels, std::uint32_t count);
#endif
#if defined(KALMIX_HAVE_AVX2)
AlphaSummary pixelsToPlanes_avx2(const std::uint8_t* pixels, std::uint8_t* y, std::uint8_t* u,
                                 std::uint8_t* v, std::uint32_t count);
void planesToPixels_avx2(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v,
                         const std::uint8_t* alphaSource, std::uint8_t* pixels,
                         std::uint32_t count);
void planesToFilledPixels_avx2(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v,
                               std::uint8_t alpha, std::uint8_t* pixels, std::uint32_t count);
#endif
#if defined(KALMIX_HAVE_AVX512)
AlphaSummary pixelsToPlanes_avx512(const std::uint8_t* pixels, std::uint8_t* y, std::uint8_t* u,
                                   std::uint8_t* v, std::uint32_t count);
void planesToPixels_avx512(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v,
                           const std::uint8_t* alphaSource, std::uint8_t* pixels,
                           std::uint32_t count);
void planesToFilledPixels_avx512(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v,
                                 std::uint8_t alpha, std::uint8_t* pixels, std::uint32_t count);
#endif

}  // namespace kalmix
