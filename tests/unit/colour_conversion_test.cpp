// Forward and backward colour conversion, the frame mark and the alpha copy.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <random>
#include <vector>

#include "frame_setup.h"
#include "pipeline/colour_conversion.h"

namespace kalmix {
namespace {

struct Bgr {
    int b, g, r;
};

// Converts one pixel through a 4x4 frame of that colour, forward and back.
struct RoundTrip {
    int y, u, v;
    Bgr back;
};

RoundTrip roundTrip(Bgr colour) {
    testing::setUpFrame(4, 4);
    std::array<std::uint8_t, 64> pixels{};
    for (int i = 0; i < 16; ++i) {
        pixels[4 * i] = static_cast<std::uint8_t>(colour.b);
        pixels[4 * i + 1] = static_cast<std::uint8_t>(colour.g);
        pixels[4 * i + 2] = static_cast<std::uint8_t>(colour.r);
    }
    convertFrameToPlanes(pixels.data(), currentPlanes);
    std::array<std::uint8_t, 64> out{};
    convertBlockToPixels(&currentPlanes[0], &currentPlanes[16], &currentPlanes[32], out.data(), 4);
    return {currentPlanes[0], currentPlanes[16], currentPlanes[32], {out[0], out[1], out[2]}};
}

TEST(ColourConversion, KnownColours) {
    struct Case {
        Bgr in;
        int y, u, v;
        Bgr back;
    };
    const Case cases[] = {
        {{100, 150, 200}, 160, 98, 153, {100, 150, 200}},
        {{255, 255, 255}, 255, 128, 128, {255, 255, 255}},
        {{0, 0, 0}, 0, 128, 128, {0, 0, 0}},
        {{255, 0, 0}, 25, 243, 113, {255, 0, 1}},
        {{0, 0, 255}, 76, 90, 239, {0, 0, 253}},
    };
    for (const Case& c : cases) {
        const RoundTrip t = roundTrip(c.in);
        EXPECT_EQ(t.y, c.y) << c.in.b << "," << c.in.g << "," << c.in.r;
        EXPECT_EQ(t.u, c.u);
        EXPECT_EQ(t.v, c.v);
        EXPECT_EQ(t.back.b, c.back.b);
        EXPECT_EQ(t.back.g, c.back.g);
        EXPECT_EQ(t.back.r, c.back.r);
    }
}

TEST(ColourConversion, RoundTripStaysWithinOneThreeTwo) {
    std::mt19937 random(7);
    for (int i = 0; i < 2000; ++i) {
        const Bgr in{static_cast<int>(random() % 256), static_cast<int>(random() % 256),
                     static_cast<int>(random() % 256)};
        const RoundTrip t = roundTrip(in);
        ASSERT_LE(std::abs(t.back.b - in.b), 1);
        ASSERT_LE(std::abs(t.back.g - in.g), 3);
        ASSERT_LE(std::abs(t.back.r - in.r), 2);
    }
}

TEST(ColourConversion, FrameMarkRaisesAndLowersCellMeans) {
    testing::setUpFrame(32, 8);
    currentPlanes.fill(0);
    outputPlanes.fill(77);
    for (int column = 0; column < 32; ++column) {
        currentPlanes[3 * 32 + column] = 20;
        currentPlanes[4 * 32 + column] = 20;
    }
    // Cell 4 (columns 8, 9) averages 250 with a 1 bit; cell 5 averages 5 with a 0 bit.
    for (int row : {3, 4}) {
        currentPlanes[row * 32 + 8] = currentPlanes[row * 32 + 9] = 250;
        currentPlanes[row * 32 + 10] = currentPlanes[row * 32 + 11] = 5;
    }
    writeFrameMark(outputPlanes);
    const int expectedRow[32] = {12, 12, 12, 12, 28, 28, 12, 12, 255, 255, 0, 0, 12, 12, 28, 28,
                                 28, 28, 12, 12, 28, 28, 12, 12, 28, 28, 12, 12, 12, 12, 28, 28};
    for (int column = 0; column < 32; ++column) {
        EXPECT_EQ(outputPlanes[32 + column], expectedRow[column]) << column;
        EXPECT_EQ(outputPlanes[64 + column], expectedRow[column]) << column;
    }
    EXPECT_EQ(outputPlanes[0], 77);       // row 0 untouched
    EXPECT_EQ(outputPlanes[3 * 32], 77);  // row 3 untouched
}

TEST(ColourConversion, NarrowFrameMarkLandsFurtherOnInsideTheBuffer) {
    testing::setUpFrame(4, 4);
    currentPlanes.fill(100);
    outputPlanes.fill(0);
    writeFrameMark(outputPlanes);
    // Cell 15 of a 4-wide frame: rows at 8 + 30 and 4 + 30, a 1 bit over a mean of 100.
    EXPECT_EQ(outputPlanes[38], 108);
    EXPECT_EQ(outputPlanes[39], 108);
    EXPECT_EQ(outputPlanes[34], 108);
    EXPECT_EQ(outputPlanes[4], 92);  // cell 0: a 0 bit
}

TEST(ColourConversion, AlphaCopiedAndNeverConverted) {
    testing::setUpFrame(8, 4);
    std::vector<std::uint8_t> source(8 * 4 * 4), destination(8 * 4 * 4, 0xAA);
    for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<std::uint8_t>(i * 37);
    convertFrameToPlanes(source.data(), currentPlanes);
    outputPlanes = currentPlanes;
    convertPlanesToFrame(outputPlanes, destination.data());
    for (std::size_t i = 3; i < destination.size(); i += 4) EXPECT_EQ(destination[i], 0xAA);
    copyAlpha(source.data(), destination.data(), 32);
    for (std::size_t i = 3; i < destination.size(); i += 4) EXPECT_EQ(destination[i], source[i]);
}

}  // namespace
}  // namespace kalmix
