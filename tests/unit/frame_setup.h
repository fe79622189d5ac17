// Helpers shared by the core's unit tests: laying out a frame of a given size.
#pragma once

#include <cstdint>

#include "pipeline/geometry.h"

namespace kalmix::testing {

// Sets up the geometry, offsets and analysis geometry as a first frame does.
inline void setUpFrame(std::uint32_t width, std::uint32_t height) {
    planeDescriptor.width = width;
    planeDescriptor.height = height;
    setUpPlanes(planeDescriptor, height, width);
    buildBlockOffsets();
    setUpAnalysis(planeDescriptor);
}

}  // namespace kalmix::testing
