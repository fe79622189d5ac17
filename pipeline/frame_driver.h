// The execute call: decides whether a frame is processed, continues the
// running sequence, resumes a saved one or starts afresh, runs the stages in
// their fixed order and keeps the bookkeeping for the next call.
#pragma once

#include <cstdint>

#include "host/host_records.h"

namespace kalmix {

inline constexpr std::int32_t CONTINUITY_WINDOW = 30;  // positions a sequence may jump ahead
inline constexpr std::int32_t RESUME_WINDOW = 6;        // positions a resumed sequence may jump

// Kept in memory in this order and written as the state file's header.
struct StateHeader {
    std::int32_t lastFrameNumber;
    std::uint32_t savedFrameCount;
    std::int32_t lastClipTotal;
    std::int32_t lastCallTime;
};
static_assert(sizeof(StateHeader) == 16);

extern std::int32_t sequenceActive;
extern std::uint32_t processedFrameCount;
extern StateHeader stateHeader;

// Selector 0. Always returns 0.
std::int16_t executeFrame(HostFrameRequest& request);
void refreshReferenceBlocks();
// The output planes into the destination, alpha from the source: the
// conversion out as the execute call makes it, after a conversion in of the
// same source.
void convertToDestination(const std::uint8_t* sourcePixels, std::uint8_t* destinationPixels);

}  // namespace kalmix
