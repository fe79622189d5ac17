// The plain references of the colour conversion, pixel by pixel as defined.
#include <algorithm>

#include "pipeline/dsp/conversion_dsp.h"

namespace kalmix {

namespace {

std::uint8_t clampSample(std::int32_t value) {
    return static_cast<std::uint8_t>(std::clamp(value, 0, 255));
}

}  // namespace

void pixelsToPlanes_c(const std::uint8_t* pixels, std::uint8_t* y, std::uint8_t* u, std::uint8_t* v,
                      std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::int32_t b = pixels[4 * i];
        const std::int32_t g = pixels[4 * i + 1];
        const std::int32_t r = pixels[4 * i + 2];
        // Integer division truncates toward zero, as the differences below need.
        const std::int32_t luma = (b + 6 * g + 3 * r) / 10;
        y[i] = static_cast<std::uint8_t>(luma);
        u[i] = static_cast<std::uint8_t>(128 + (b - luma) / 2);
        v[i] = static_cast<std::uint8_t>(128 + (10 * (r - luma)) / 16);
    }
}

void planesToPixels_c(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v,
                      const std::uint8_t* alphaSource, std::uint8_t* pixels, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::int32_t luma = y[i];
        const auto redDifference = static_cast<std::int32_t>((v[i] - 128.0) * 1.6);
        const auto blueDifference = static_cast<std::int32_t>((u[i] - 128.0) * 2);
        const std::uint8_t blue = clampSample(luma + blueDifference);
        const std::uint8_t red = clampSample(luma + redDifference);
        // 0.16667 as the filter has always used, not one sixth.
        const auto green = static_cast<std::int32_t>((10 * luma - 3 * red - blue) * 0.16667);
        const std::uint8_t alpha = alphaSource[4 * i + 3];
        pixels[4 * i] = blue;
        pixels[4 * i + 1] = clampSample(green);
        pixels[4 * i + 2] = red;
        pixels[4 * i + 3] = alpha;
    }
}

}  // namespace kalmix
