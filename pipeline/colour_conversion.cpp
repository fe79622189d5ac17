// Host pixels to Y, U, V planes and back, the frame mark and the alpha copy.
#include "pipeline/colour_conversion.h"

#include <algorithm>

namespace kalmix {

ToPlanesFunction toPlanesConversion = convertFrameToPlanes;
ToFrameFunction toFrameConversion = convertPlanesToFrame;

namespace {

std::uint8_t clampSample(std::int32_t value) {
    return static_cast<std::uint8_t>(std::clamp(value, 0, 255));
}

}  // namespace

int convertFrameToPlanes(const std::uint8_t* sourcePixels, PlaneSet& planes) {
    const std::uint32_t planeSize = planeDescriptor.width * planeDescriptor.height;
    std::uint8_t* y = planes.data();
    std::uint8_t* u = y + planeSize;
    std::uint8_t* v = u + planeSize;
    for (std::uint32_t i = 0; i < planeSize; ++i) {
        const std::int32_t b = sourcePixels[4 * i];
        const std::int32_t g = sourcePixels[4 * i + 1];
        const std::int32_t r = sourcePixels[4 * i + 2];
        // Integer division truncates toward zero, as the differences below need.
        const std::int32_t luma = (b + 6 * g + 3 * r) / 10;
        y[i] = static_cast<std::uint8_t>(luma);
        u[i] = static_cast<std::uint8_t>(128 + (b - luma) / 2);
        v[i] = static_cast<std::uint8_t>(128 + (10 * (r - luma)) / 16);
    }
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
        for (std::uint32_t column = 0; column < BLOCK_WIDTH; ++column) {
            const std::uint32_t sample = row * width + column;
            const std::int32_t luma = y[sample];
            const auto redDifference = static_cast<std::int32_t>((v[sample] - 128.0) * 1.6);
            const auto blueDifference = static_cast<std::int32_t>((u[sample] - 128.0) * 2);
            const std::uint8_t blue = clampSample(luma + blueDifference);
            const std::uint8_t red = clampSample(luma + redDifference);
            // 0.16667 as the filter has always used, not one sixth.
            const auto green = static_cast<std::int32_t>((10 * luma - 3 * red - blue) * 0.16667);
            std::uint8_t* pixel = pixels + 4 * (row * width + column);
            pixel[0] = blue;
            pixel[1] = clampSample(green);
            pixel[2] = red;
        }
    }
}

int convertPlanesToFrame(PlaneSet& planes, std::uint8_t* destinationPixels) {
    writeFrameMark(planes);
    const std::uint32_t width = planeDescriptor.width;
    for (std::uint32_t r = 0; r < blockRows; ++r) {
        for (std::uint32_t c = 0; c < blocksPerRow; ++c) {
            const std::uint32_t k = r * blocksPerRow + c;
            convertBlockToPixels(planes.data() + blockOffsets[k],
                                 planes.data() + blockOffsets[blocksPerPlane + k],
                                 planes.data() + blockOffsets[2 * blocksPerPlane + k],
                                 destinationPixels + 4 * blockOffsets[k], width);
        }
    }
    return 0;
}

void copyAlpha(const std::uint8_t* sourcePixels, std::uint8_t* destinationPixels,
               std::uint32_t pixelCount) {
    for (std::uint32_t i = 0; i < pixelCount; ++i) {
        destinationPixels[4 * i + 3] = sourcePixels[4 * i + 3];
    }
}

}  // namespace kalmix
