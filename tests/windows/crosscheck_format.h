// The file through which the native module hands a clip and its filtered
// frames to the Windows test host, which must produce the same bytes.
// Little-endian 32-bit fields:
//   "KXCC", case count; per case: width, height, frame count, clip total, the
//   five FilterParams values; per frame: position, source pixels, expected
//   destination pixels (width * height * 4 bytes each).
#pragma once

#include <cstdint>

namespace crosscheck {

inline constexpr char MAGIC[4] = {'K', 'X', 'C', 'C'};

struct CaseHeader {
    std::int32_t width;
    std::int32_t height;
    std::int32_t frameCount;
    std::int32_t clipTotal;
    std::int32_t params[5];  // primaryLevel, uvLevel, secondaryLevel, transitionFrames, enhancedSuppression
};
static_assert(sizeof(CaseHeader) == 36);

}  // namespace crosscheck
