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
            const AlphaSummary expectedAlpha = pixelsToPlanes_c(
                pixels.data(), &expected[0], &expected[count], &expected[2 * count], count);
            const AlphaSummary actualAlpha = routines.pixelsToPlanes(
                pixels.data(), &actual[0], &actual[count], &actual[2 * count], count);
            ASSERT_TRUE(sameElements(expected.data(), actual.data(), expected.size(), count))
                << levelLabel(level) << ", red " << red << " (row 0 Y, 1 U, 2 V)";
            ASSERT_EQ(expectedAlpha, actualAlpha) << levelLabel(level) << ", red " << red;
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
            // One alpha value for all: the same colours, every alpha that value.
            const auto filled = static_cast<std::uint8_t>(255 - luma);
            for (std::uint32_t i = 0; i < count; ++i) expected[4 * i + 3] = filled;
            routines.planesToFilledPixels(y.data(), u.data(), v.data(), filled, actual.data(),
                                          count);
            ASSERT_TRUE(sameElements(expected.data(), actual.data(), expected.size(), 4))
                << levelLabel(level) << ", Y " << luma << ", alpha " << +filled;
        }
    }
}

TEST(Conversion, EveryRunLengthAndAlignmentMatchesAndStaysInItsRun) {
    // Lengths around the vector widths, at every byte offset, with guard bytes
    // after the run that must stay untouched; the pixels' own alpha is kept
    // when they are their own alpha source.
    constexpr std::uint32_t longest = 200, guard = 64;  // three of the widest steps and a part
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
                const AlphaSummary expectedAlpha = pixelsToPlanes_c(
                    &pixels[shift], &expectedPlanes[shift], &expectedPlanes[shift + span],
                    &expectedPlanes[shift + 2 * span], count);
                const AlphaSummary actualAlpha =
                    routines.pixelsToPlanes(&pixels[shift], &planes[shift], &planes[shift + span],
                                            &planes[shift + 2 * span], count);
                ASSERT_TRUE(sameElements(expectedPlanes.data(), planes.data(), planes.size()))
                    << levelLabel(level) << ", to planes, count " << count << ", shift " << shift;
                ASSERT_EQ(expectedAlpha, actualAlpha)
                    << levelLabel(level) << ", count " << count << ", shift " << shift;
                planesToPixels_c(&planes[shift], &planes[shift + span], &planes[shift + 2 * span],
                                 &expectedPixels[shift], &expectedPixels[shift], count);
                routines.planesToPixels(&planes[shift], &planes[shift + span],
                                        &planes[shift + 2 * span], &pixels[shift], &pixels[shift],
                                        count);
                ASSERT_TRUE(sameElements(expectedPixels.data(), pixels.data(), pixels.size()))
                    << levelLabel(level) << ", to pixels, count " << count << ", shift " << shift;
                const auto alpha = static_cast<std::uint8_t>(count * 3);
                planesToFilledPixels_c(&planes[shift], &planes[shift + span],
                                       &planes[shift + 2 * span], alpha, &expectedPixels[shift],
                                       count);
                routines.planesToFilledPixels(&planes[shift], &planes[shift + span],
                                              &planes[shift + 2 * span], alpha, &pixels[shift],
                                              count);
                ASSERT_TRUE(sameElements(expectedPixels.data(), pixels.data(), pixels.size()))
                    << levelLabel(level) << ", to filled pixels, count " << count << ", shift "
                    << shift;
            }
        }
    }
}

TEST(Conversion, AlphaSummaryTellsUniformAlphaFromOneByteThatDiffers) {
    // Every level, runs of every length from two up to a few vectors, all alpha bytes
    // one value and then each position in turn holding another (one bit more
    // or one bit less): only the uniform run may be reported uniform, with its
    // value. Colour bytes vary so that they cannot stand in for alpha.
    constexpr std::uint32_t longest = 136;
    std::vector<std::uint8_t> pixels(4 * longest), planes(3 * longest);
    std::vector<CpuLevel> levels = fastLevels();
    levels.insert(levels.begin(), CpuLevel::C);
    for (CpuLevel level : levels) {
        const ConversionRoutines routines = conversionRoutinesFor(level);
        for (std::uint32_t count = 2; count <= longest; ++count) {
            for (const std::uint8_t value :
                 {std::uint8_t{0}, std::uint8_t{0x5A}, std::uint8_t{255}}) {
                fillRandom(pixels.data(), pixels.size(), 0, 255);
                for (std::uint32_t i = 0; i < count; ++i) pixels[4 * i + 3] = value;
                auto summarise = [&] {
                    return routines.pixelsToPlanes(pixels.data(), &planes[0], &planes[longest],
                                                   &planes[2 * longest], count);
                };
                std::uint8_t found = 0;
                ASSERT_TRUE(uniformAlpha(summarise(), found))
                    << levelLabel(level) << ", count " << count << ", value " << +value;
                ASSERT_EQ(found, value);
                for (std::uint32_t at = 0; at < count; ++at) {
                    pixels[4 * at + 3] = static_cast<std::uint8_t>(value ^ (1U << (at % 8)));
                    ASSERT_FALSE(uniformAlpha(summarise(), found))
                        << levelLabel(level) << ", count " << count << ", other alpha at " << at;
                    pixels[4 * at + 3] = value;
                }
            }
        }
    }
}

}  // namespace
}  // namespace kalmix
