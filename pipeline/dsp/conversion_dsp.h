// The colour conversion's routines and their table of variants.
//
// The planes of a frame are rows of exactly the frame width laid end to end,
// and every pixel converts on its own, so each direction is one pass over a
// run of count pixels.
#pragma once

#include <cstdint>

#include "pipeline/cpu.h"

namespace kalmix {

// Blue-green-red-alpha pixels into samples of the three planes; alpha is not read.
using PixelsToPlanesFunction = void (*)(const std::uint8_t* pixels, std::uint8_t* y,
                                        std::uint8_t* u, std::uint8_t* v, std::uint32_t count);
// Samples of the three planes into pixels, alpha taken from alphaSource, which
// may be the pixels themselves (their alpha then stays) or the source frame.
using PlanesToPixelsFunction = void (*)(const std::uint8_t* y, const std::uint8_t* u,
                                        const std::uint8_t* v, const std::uint8_t* alphaSource,
                                        std::uint8_t* pixels, std::uint32_t count);

struct ConversionRoutines {
    PixelsToPlanesFunction pixelsToPlanes;
    PlanesToPixelsFunction planesToPixels;
};

extern ConversionRoutines conversionRoutines;
ConversionRoutines conversionRoutinesFor(CpuLevel level);

void pixelsToPlanes_c(const std::uint8_t* pixels, std::uint8_t* y, std::uint8_t* u,
                      std::uint8_t* v, std::uint32_t count);
void planesToPixels_c(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v,
                      const std::uint8_t* alphaSource, std::uint8_t* pixels, std::uint32_t count);
#if defined(KALMIX_HAVE_SSE2)
void pixelsToPlanes_sse2(const std::uint8_t* pixels, std::uint8_t* y, std::uint8_t* u,
                         std::uint8_t* v, std::uint32_t count);
void planesToPixels_sse2(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v,
                         const std::uint8_t* alphaSource, std::uint8_t* pixels,
                         std::uint32_t count);
#endif

}  // namespace kalmix
