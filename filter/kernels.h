// 3x3 smoothing kernels selected by a mode number, and the neighbour sum.
//
// Weights per mode (C centre, W/N/S the side neighbours, corners each; E is
// never read, its weight is carried by the centre):
//   mode <= 0 : the centre itself
//   1         : (54C + 2W + 2N + 2S + corners + 2) >> 6
//   2..4      : (22C + 2W + 2N + 2S + corners + 2) >> 5
//   5..6      : ( 6C + 2W + 2N + 2S + corners + 2) >> 4
//   7..8      : ( 3C +  W +  N +  S + corners + 1) / 10
//   >= 9      : ( 2C +  W +  N +  S + corners + 1) / 9
// The weights add up to the divisor, so the result is always 0..255 and a
// flat area keeps its value. The caller keeps all nine positions in the plane.
//
// Both are defined here so that callers with a fixed mode (the enhanced
// change test) get the one kernel inlined, without the mode branches. They
// are static: a source file built for AVX2 keeps its own copy, which the
// linker can never hand to code that runs on a processor without AVX2.
#pragma once

#include <cstdint>

namespace kalmix {

static inline std::uint8_t smoothSample(const std::uint8_t* centre, std::int32_t rowStride,
                                        std::int32_t mode) {
    const std::uint32_t c = centre[0];
    if (mode <= 0) return static_cast<std::uint8_t>(c);
    const std::uint8_t* above = centre - rowStride;
    const std::uint8_t* below = centre + rowStride;
    const std::uint32_t sides = centre[-1] + above[0] + below[0];  // W + N + S
    const std::uint32_t corners = above[-1] + above[1] + below[-1] + below[1];
    std::uint32_t value;
    if (mode == 1) {
        value = (54 * c + 2 * sides + corners + 2) >> 6;
    } else if (mode <= 4) {
        value = (22 * c + 2 * sides + corners + 2) >> 5;
    } else if (mode <= 6) {
        value = (6 * c + 2 * sides + corners + 2) >> 4;
    } else if (mode <= 8) {
        value = (3 * c + sides + corners + 1) / 10;
    } else {
        value = (2 * c + sides + corners + 1) / 9;
    }
    return static_cast<std::uint8_t>(value);
}

static inline std::int32_t neighbourSum(const std::uint8_t* centre, std::int32_t rowStride) {
    const std::uint8_t* above = centre - rowStride;
    const std::uint8_t* below = centre + rowStride;
    return above[-1] + above[0] + above[1] + centre[-1] + centre[1] + below[-1] + below[0] +
           below[1];
}

}  // namespace kalmix
