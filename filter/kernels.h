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
#pragma once

#include <cstdint>

namespace kalmix {

std::uint8_t smoothSample(const std::uint8_t* centre, std::int32_t rowStride, std::int32_t mode);
std::int32_t neighbourSum(const std::uint8_t* centre, std::int32_t rowStride);

}  // namespace kalmix
