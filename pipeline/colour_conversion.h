// Conversion between the host's blue-green-red-alpha pixels and the Y, U, V
// planes, the frame mark, and the alpha copy.
//
// Forward, integer only (truncating toward zero):
//   Y = (B + 6G + 3R) / 10,  U = 128 + (B - Y) / 2,  V = 128 + 10(R - Y) / 16
// Backward, in double with truncation, then clamped to 0..255:
//   r = (V - 128.0) * 1.6,  b = (U - 128.0) * 2,  B = Y + b,  R = Y + r,
//   G = (10Y - 3R - B) * 0.16667          (this factor, not one sixth)
// Before converting back, a 16-cell mark is written into rows 1 and 2 of the
// output's Y plane: each 2x2 cell is the mean of the current frame's cell in
// rows 3 and 4 below it, raised or lowered by FRAME_MARK_STEP per bit.
#pragma once

#include <array>
#include <cstdint>

#include "pipeline/dsp/conversion_dsp.h"
#include "pipeline/geometry.h"

namespace kalmix {

inline constexpr std::array<std::uint8_t, 16> FRAME_MARK_BITS{0, 0, 1, 0, 1, 0, 0, 1,
                                                              1, 0, 1, 0, 1, 0, 0, 1};
inline constexpr std::int32_t FRAME_MARK_STEP = 8;

int convertFrameToPlanes(const std::uint8_t* sourcePixels, PlaneSet& planes);
int convertPlanesToFrame(PlaneSet& planes, std::uint8_t* destinationPixels);
void convertBlockToPixels(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v,
                          std::uint8_t* pixels, std::uint32_t width);
// convertPlanesToFrame followed by copyAlpha from alphaSource, in one pass.
int convertPlanesToFrameWithAlpha(PlaneSet& planes, std::uint8_t* destinationPixels,
                                  const std::uint8_t* alphaSource);
// convertPlanesToFrame with every alpha byte set to alpha: for a source whose
// alpha was one value throughout, without reading the source again.
int convertPlanesToFilledFrame(PlaneSet& planes, std::uint8_t* destinationPixels,
                               std::uint8_t alpha);
void writeFrameMark(PlaneSet& planes);
void copyAlpha(const std::uint8_t* sourcePixels, std::uint8_t* destinationPixels,
               std::uint32_t pixelCount);

// The driver converts through these references, one per direction.
using ToPlanesFunction = int (*)(const std::uint8_t*, PlaneSet&);
using ToFrameFunction = int (*)(PlaneSet&, std::uint8_t*);
extern ToPlanesFunction toPlanesConversion;
extern ToFrameFunction toFrameConversion;
// The alpha bytes of the source convertFrameToPlanes read last.
extern AlphaSummary sourceAlphaSummary;

}  // namespace kalmix
