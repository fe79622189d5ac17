// The colour conversion's variants against the references, on every input
// each direction can meet, and at every length and alignment of a run.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "pipeline/colour_conversion.h"
#include "pipeline/dsp/conversion_dsp.h"
#include "tests/checkasm/checkasm.h"

namespace kalmix {
namespace {

using checkasm::fastLevels;
using checkasm::fillRandom;
using checkasm::levelLabel;
using checkasm::sameElements;

TEST(ConversionToPlanes, EveryColourMatchesTheReference) {
    // All 2^24 colours, one red value per run of 65,536 pixels, alpha random.
    constexpr std::uint32_t count = 65536;
    std::vector<std::uint8_t> pixels(4 * count);
    std::vector<std::uint8_t> expected(3 * count), actual(3 * count);
    fillRandom(pixels.data(), pixels.size(), 0, 255);
    for (CpuLevel level : fastLevels()) {
        const ConversionRoutines routines = conversionRoutinesFor(level);
        for (std::uint32_t red = 0; red < 256; ++red) {
            for (std::uint32_t i = 0; i < count; ++i) {
                pixels[4 * i] = static_cast<std::uint8_t>(i & 0xFF);
                pixels[4 * i + 1] = static_cast<std::uint8_t>(i >> 8);
                pixels[4 * i + 2] = static_cast<std::uint8_t>(red);
            }
            pixelsToPlanes_c(pixels.data(), &expected[0], &expected[count], &expected[2 * count],
                             count);
            routines.pixelsToPlanes(pixels.data(), &actual[0], &actual[count], &actual[2 * count],
                                    count);
            ASSERT_TRUE(sameElements(expected.data(), actual.data(), expected.size(), count))
                << levelLabel(level) << ", red " << red << " (row 0 Y, 1 U, 2 V)";
        }
    }
}

TEST(ConversionToPixels, EverySampleTripleMatchesTheReference) {
    // All 2^24 (Y, U, V) triples, one Y per run; alpha comes from a separate
    // source and the destination's own bytes differ from every result beforehand
    // in some run.
    constexpr std::uint32_t count = 65536;
    std::vector<std::uint8_t> y(count), u(count), v(count), alpha(4 * count);
    std::vector<std::uint8_t> expected(4 * count), actual(4 * count);
    for (std::uint32_t i = 0; i < count; ++i) {
        u[i] = static_cast<std::uint8_t>(i & 0xFF);
        v[i] = static_cast<std::uint8_t>(i >> 8);
    }
    fillRandom(alpha.data(), alpha.size(), 0, 255);
    for (CpuLevel level : fastLevels()) {
        const ConversionRoutines routines = conversionRoutinesFor(level);
        for (std::uint32_t luma = 0; luma < 256; ++luma) {
            std::fill(y.begin(), y.end(), static_cast<std::uint8_t>(luma));
            std::fill(expected.begin(), expected.end(), static_cast<std::uint8_t>(luma * 7 + 1));
            actual = expected;
            planesToPixels_c(y.data(), u.data(), v.data(), alpha.data(), expected.data(), count);
            routines.planesToPixels(y.data(), u.data(), v.data(), alpha.data(), actual.data(),
                                    count);
            ASSERT_TRUE(sameElements(expected.data(), actual.data(), expected.size(), 4))
                << levelLabel(level) << ", Y " << luma;
        }
    }
}

TEST(Conversion, EveryRunLengthAndAlignmentMatchesAndStaysInItsRun) {
    // Lengths around the vector widths, at every byte offset, with guard bytes
    // after the run that must stay untouched; the pixels' own alpha is kept
    // when they are their own alpha source.
    constexpr std::uint32_t longest = 80, guard = 64;
    std::vector<std::uint8_t> pixels(4 * (longest + guard) + 16);
    std::vector<std::uint8_t> planes(3 * (longest + guard) + 16);
    for (CpuLevel level : fastLevels()) {
        const ConversionRoutines routines = conversionRoutinesFor(level);
        for (std::uint32_t count = 0; count <= longest; ++count) {
            for (std::uint32_t shift = 0; shift < 16; shift += 3) {
                const std::uint32_t span = longest + guard;
                fillRandom(pixels.data(), pixels.size(), 0, 255);
                fillRandom(planes.data(), planes.size(), 0, 255);
                std::vector<std::uint8_t> expectedPlanes = planes, expectedPixels = pixels;
                pixelsToPlanes_c(&pixels[shift], &expectedPlanes[shift],
                                 &expectedPlanes[shift + span], &expectedPlanes[shift + 2 * span],
                                 count);
                routines.pixelsToPlanes(&pixels[shift], &planes[shift], &planes[shift + span],
                                        &planes[shift + 2 * span], count);
                ASSERT_TRUE(sameElements(expectedPlanes.data(), planes.data(), planes.size()))
                    << levelLabel(level) << ", to planes, count " << count << ", shift " << shift;
                planesToPixels_c(&planes[shift], &planes[shift + span], &planes[shift + 2 * span],
                                 &expectedPixels[shift], &expectedPixels[shift], count);
                routines.planesToPixels(&planes[shift], &planes[shift + span],
                                        &planes[shift + 2 * span], &pixels[shift], &pixels[shift],
                                        count);
                ASSERT_TRUE(sameElements(expectedPixels.data(), pixels.data(), pixels.size()))
                    << levelLabel(level) << ", to pixels, count " << count << ", shift " << shift;
            }
        }
    }
}

}  // namespace
}  // namespace kalmix
