// The block output filter: recomputes the output samples of every block
// flagged changed, through a smoothing kernel chosen per sample from the
// change evidence and held near the reference; other blocks keep their
// previous output.
#pragma once

#include <cstdint>

#include "pipeline/geometry.h"

namespace kalmix {

void filterOutputPlanes(PlaneSet& output, const std::uint8_t* blockFlags);
void filterPlaneBlocks(PlaneSet& output, const std::uint8_t* blockFlags, const PlaneSet& source,
                       std::uint32_t firstBlock);

// The limit step: o held against the reference ref given the current sample x.
std::uint8_t limitToReference(std::int32_t smoothed, std::int32_t current, std::int32_t reference,
                              std::int32_t mode, bool sequenceIsActive);

}  // namespace kalmix
