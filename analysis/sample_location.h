// Where a sample lies within its own plane, for the neighbour tests that must
// never leave it (no wrap to the next row, no reach into another plane).
#pragma once

#include <cstdint>

#include "pipeline/geometry.h"

namespace kalmix {

struct SampleLocation {
    std::uint32_t planeStart;  // position of the plane's first sample
    std::uint32_t row;
    std::uint32_t column;
    std::uint32_t rows;  // rows of the plane
    std::uint32_t rowStride;

    bool hasRowAbove() const { return row > 0; }
    bool hasRowBelow() const { return row + 1 < rows; }
    bool hasColumnLeft() const { return column > 0; }
    bool hasColumnRight() const { return column + 1 < rowStride; }

    // Whether the sample rowStep rows and columnStep columns away (each -1..1)
    // is inside the plane.
    bool hasNeighbour(int rowStep, int columnStep) const {
        return (rowStep >= 0 || hasRowAbove()) && (rowStep <= 0 || hasRowBelow()) &&
               (columnStep >= 0 || hasColumnLeft()) && (columnStep <= 0 || hasColumnRight());
    }
};

// The plane is told by the position: luma below lumaPlaneSize, then the first
// chroma plane, then the second.
inline SampleLocation locateSample(std::uint32_t position, std::uint32_t rowStride) {
    const AnalysisGeometry& g = analysisGeometry;
    std::uint32_t planeStart = 0;
    std::uint32_t rows = g.lumaHeight;
    if (position >= g.lumaPlaneSize) {
        rows = g.chromaHeight;
        planeStart = position < g.lumaPlaneSize + g.chromaPlaneSize
                         ? g.lumaPlaneSize
                         : g.lumaPlaneSize + g.chromaPlaneSize;
    }
    const std::uint32_t inPlane = position - planeStart;
    return {planeStart, inPlane / rowStride, inPlane % rowStride, rows, rowStride};
}

// Position of the sample rowStep rows and columnStep columns from position.
inline std::uint32_t stepFrom(std::uint32_t position, std::uint32_t rowStride, int rowStep,
                              int columnStep) {
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(position) +
                                      static_cast<std::int64_t>(rowStep) * rowStride + columnStep);
}

}  // namespace kalmix
