// A small hand-built frame for the analysis tests: resets every module-wide
// array the analysis touches and addresses samples and blocks by plane, row
// and column.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <set>
#include <utility>

#include "analysis/analysis.h"
#include "params/filter_params.h"
#include "pipeline/geometry.h"

namespace kalmix::test {

// Parameterised cases with a name print as that name, not as raw bytes.
template <typename Case, typename = decltype(std::declval<const Case&>().name)>
std::ostream& operator<<(std::ostream& out, const Case& c) {
    return out << c.name;
}

enum Plane : std::uint32_t { Y = 0, U = 1, V = 2 };

class AnalysisFrameTest : public ::testing::Test {
   protected:
    std::uint32_t width = 16;
    std::uint32_t height = 16;

    void SetUp() override { useFrame(16, 16); }

    // A fresh module state for a width x height frame at primary level 5,
    // plain detection, both pictures flat at 100.
    void useFrame(std::uint32_t w, std::uint32_t h) {
        width = w;
        height = h;
        currentPlanes.fill(100);
        referencePlanes.fill(100);
        sampleChangeMarks.fill(0);
        sampleChangeScore.fill(0);
        extentMarks.fill(0);
        blockChangedSamples.fill(0);
        blockSignBalance.fill(0);
        blockChangeWeight.fill(0);
        blockMap.fill(0);
        spreadMarks.fill(0);
        blockMapHistory.fill(0);
        workingParams = DEFAULT_FILTER_PARAMS;
        workingParams.enhancedSuppression = 0;
        applyPrimaryLevel(5);
        applySecondaryLevel(5);
        gradeStep = 6;
        planeSupportMin = thresholds.neighbourSupportMin;
        planeDescriptor.width = w;
        planeDescriptor.height = h;
        setUpPlanes(planeDescriptor, h, w);
        buildBlockOffsets();
        setUpAnalysis(planeDescriptor);
    }

    std::uint32_t at(Plane plane, std::uint32_t row, std::uint32_t column) const {
        return plane * width * height + row * width + column;
    }
    std::uint32_t blockAt(Plane plane, std::uint32_t blockRow, std::uint32_t blockColumn) const {
        return plane * (width / 4) * (height / 4) + blockRow * (width / 4) + blockColumn;
    }
    // current = reference + diff at one sample.
    void brighten(std::uint32_t q, int diff) {
        currentPlanes[q] = static_cast<std::uint8_t>(referencePlanes[q] + diff);
    }
    void fillPlane(PlaneSet& planes, Plane plane, std::uint8_t value) {
        std::fill_n(planes.begin() + plane * width * height, width * height, value);
    }
    std::set<std::uint32_t> flaggedBlocks() const {
        std::set<std::uint32_t> flagged;
        for (std::uint32_t b = 0; b < analysisGeometry.totalBlocks; ++b) {
            if (blockChangeFlags[b] != 0) flagged.insert(b);
        }
        return flagged;
    }
    std::set<std::uint32_t> mappedBlocks() const {
        std::set<std::uint32_t> mapped;
        for (std::uint32_t b = 0; b < analysisGeometry.totalBlocks; ++b) {
            if (blockMap[b] != 0) mapped.insert(b);
        }
        return mapped;
    }
};

}  // namespace kalmix::test
