// The plain references of the colour conversion, pixel by pixel as defined.
#include <algorithm>

#include "pipeline/dsp/conversion_dsp.h"

namespace kalmix {

namespace {

std::uint8_t clampSample(std::int32_t value) {
    return static_cast<std::uint8_t>(std::clamp(value, 0, 255));
}

}  // namespace

AlphaSummary pixelsToPlanes_c(const std::uint8_t* pixels, std::uint8_t* y, std::uint8_t* u,
                              std::uint8_t* v, std::uint32_t count) {
    std::uint32_t allAlpha = 0xFF, anyAlpha = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        allAlpha &= pixels[4 * i + 3];
        anyAlpha |= pixels[4 * i + 3];
        const std::int32_t b = pixels[4 * i];
        const std::int32_t g = pixels[4 * i + 1];
        const std::int32_t r = pixels[4 * i + 2];
        // Integer division truncates toward zero, as the differences below need.
        const std::int32_t luma = (b + 6 * g + 3 * r) / 10;
        y[i] = static_cast<std::uint8_t>(luma);
        u[i] = static_cast<std::uint8_t>(128 + (b - luma) / 2);
        v[i] = static_cast<std::uint8_t>(128 + (10 * (r - luma)) / 16);
    }
    return static_cast<AlphaSummary>(allAlpha | anyAlpha << 8);
}

namespace {

// One pixel's colour bytes from its three samples.
void samplesToColour(std::uint8_t luma8, std::uint8_t u, std::uint8_t v, std::uint8_t* pixel) {
    const std::int32_t luma = luma8;
    const auto redDifference = static_cast<std::int32_t>((v - 128.0) * 1.6);
    const auto blueDifference = static_cast<std::int32_t>((u - 128.0) * 2);
    const std::uint8_t blue = clampSample(luma + blueDifference);
    const std::uint8_t red = clampSample(luma + redDifference);
    // 0.16667 as the filter has always used, not one sixth.
    const auto green = static_cast<std::int32_t>((10 * luma - 3 * red - blue) * 0.16667);
    pixel[0] = blue;
    pixel[1] = clampSample(green);
    pixel[2] = red;
}

}  // namespace

void planesToFilledPixels_c(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v,
                            std::uint8_t alpha, std::uint8_t* pixels, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        samplesToColour(y[i], u[i], v[i], pixels + 4 * i);
        pixels[4 * i + 3] = alpha;
    }
}

void planesToPixels_c(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v,
                      const std::uint8_t* alphaSource, std::uint8_t* pixels, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        // The colour bytes leave byte 3 alone, so alphaSource may be the pixels.
        samplesToColour(y[i], u[i], v[i], pixels + 4 * i);
        pixels[4 * i + 3] = alphaSource[4 * i + 3];
    }
}

}  // namespace kalmix
