// Host pixels to Y, U, V planes and back, the frame mark and the alpha copy.
#include "pipeline/colour_conversion.h"

#include <algorithm>

#include "pipeline/dsp/conversion_dsp.h"

namespace kalmix {

ToPlanesFunction toPlanesConversion = convertFrameToPlanes;
ToFrameFunction toFrameConversion = convertPlanesToFrame;
AlphaSummary sourceAlphaSummary = UNKNOWN_ALPHA_SUMMARY;

namespace {

std::uint8_t clampSample(std::int32_t value) {
    return static_cast<std::uint8_t>(std::clamp(value, 0, 255));
}

}  // namespace

int convertFrameToPlanes(const std::uint8_t* sourcePixels, PlaneSet& planes) {
    // The planes are rows of exactly the frame width laid end to end, and each
    // pixel converts on its own: one pass over the frame in pixel order.
    const std::uint32_t planeSize = planeDescriptor.width * planeDescriptor.height;
    std::uint8_t* y = planes.data();
    sourceAlphaSummary = conversionRoutines.pixelsToPlanes(sourcePixels, y, y + planeSize,
                                                           y + 2 * planeSize, planeSize);
    return 0;
}

void writeFrameMark(PlaneSet& planes) {
    // Positions follow the width of the frame being converted even for frames
    // narrower than 32 or lower than 5 rows; they then land further on in the
    // buffer, and the largest index (4w + 31) stays inside it.
    const std::uint32_t w = planeDescriptor.width;
    const std::uint8_t* current = currentPlanes.data();
    std::uint8_t* output = planes.data();
    for (std::uint32_t j = 0; j < FRAME_MARK_BITS.size(); ++j) {
        const std::uint32_t below = 3 * w + 2 * j;
        const std::int32_t mean =
            (current[below] + current[below + 1] + current[below + w] + current[below + w + 1]) / 4;
        const std::uint8_t value =
            clampSample(FRAME_MARK_BITS[j] != 0 ? mean + FRAME_MARK_STEP : mean - FRAME_MARK_STEP);
        output[2 * w + 2 * j] = value;
        output[2 * w + 2 * j + 1] = value;
        output[w + 2 * j] = value;
        output[w + 2 * j + 1] = value;
    }
}

void convertBlockToPixels(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v,
                          std::uint8_t* pixels, std::uint32_t width) {
    for (std::uint32_t row = 0; row < BLOCK_HEIGHT; ++row) {
        std::uint8_t* pixelRow = pixels + 4 * row * width;
        planesToPixels_c(y + row * width, u + row * width, v + row * width, pixelRow, pixelRow,
                         BLOCK_WIDTH);
    }
}

int convertPlanesToFrame(PlaneSet& planes, std::uint8_t* destinationPixels) {
    // Every pixel converts on its own, so pixel order gives what block order
    // gives; the destination keeps its own alpha.
    return convertPlanesToFrameWithAlpha(planes, destinationPixels, destinationPixels);
}

int convertPlanesToFrameWithAlpha(PlaneSet& planes, std::uint8_t* destinationPixels,
                                  const std::uint8_t* alphaSource) {
    writeFrameMark(planes);
    const std::uint32_t planeSize = planeDescriptor.width * planeDescriptor.height;
    const std::uint8_t* y = planes.data();
    conversionRoutines.planesToPixels(y, y + planeSize, y + 2 * planeSize, alphaSource,
                                      destinationPixels, planeSize);
    return 0;
}

int convertPlanesToFilledFrame(PlaneSet& planes, std::uint8_t* destinationPixels,
                               std::uint8_t alpha) {
    writeFrameMark(planes);
    const std::uint32_t planeSize = planeDescriptor.width * planeDescriptor.height;
    const std::uint8_t* y = planes.data();
    conversionRoutines.planesToFilledPixels(y, y + planeSize, y + 2 * planeSize, alpha,
                                            destinationPixels, planeSize);
    return 0;
}

void copyAlpha(const std::uint8_t* sourcePixels, std::uint8_t* destinationPixels,
               std::uint32_t pixelCount) {
    for (std::uint32_t i = 0; i < pixelCount; ++i) {
        destinationPixels[4 * i + 3] = sourcePixels[4 * i + 3];
    }
}

}  // namespace kalmix
