// The execute call: one frame through the filter, with the sequence bookkeeping.
#include "pipeline/frame_driver.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <limits>

#include "analysis/analysis.h"
#include "filter/output_filter.h"
#include "host/state_file.h"
#include "params/filter_params.h"
#include "pipeline/colour_conversion.h"
#include "pipeline/cpu.h"
#include "pipeline/dsp/block_copy_dsp.h"
#include "pipeline/geometry.h"

namespace kalmix {

std::int32_t sequenceActive = 0;
std::uint32_t processedFrameCount = 0;
StateHeader stateHeader{};

namespace {

// Positions and times are compared exactly: a jump is what it is, never wrapped.
std::int64_t distance(std::int32_t from, std::int32_t to) {
    return static_cast<std::int64_t>(to) - static_cast<std::int64_t>(from);
}

bool continuesSequence(const HostFrameRequest& request, std::uint32_t width, std::uint32_t height) {
    const std::int64_t jump = distance(stateHeader.lastFrameNumber, request.framePosition);
    // The buffers were laid out for the size set up at the sequence's first
    // frame; a frame of another size starts a new sequence.
    const bool sameSize =
        width == analysisGeometry.lumaWidth && height == analysisGeometry.lumaHeight;
    return jump > 0 && jump <= CONTINUITY_WINDOW && request.clipTotal == stateHeader.lastClipTotal &&
           sameSize;
}

bool resumesSavedSequence(const HostFrameRequest& request, std::int32_t now) {
    if (!loadStateHeader()) return false;
    const std::int64_t jump = distance(stateHeader.lastFrameNumber, request.framePosition);
    return jump > 0 && jump <= RESUME_WINDOW && stateHeader.lastClipTotal == request.clipTotal &&
           isWithinStateWindow(stateHeader.lastCallTime, now) && loadState();
}

void applyRecord(const HostFrameRequest& request) {
    if (request.paramsHandle == nullptr || *request.paramsHandle == nullptr) {
        // No record yet (no setup call): the working values govern.
        applyFilterParams(workingParams);
        return;
    }
    FilterParams record;
    std::memcpy(&record, *request.paramsHandle, sizeof(record));
    applyFilterParams(record);
}

void passThrough(const HostFrame& source, HostFrame& destination, std::int64_t width,
                 std::int64_t height) {
    // Negative bounds describe no frame at all, and neither do sides beyond
    // the 32-bit range the host computes them in: copy nothing rather than guess.
    constexpr std::int64_t LARGEST_SIDE = std::numeric_limits<std::int32_t>::max();
    if (width <= 0 || height <= 0 || width > LARGEST_SIDE || height > LARGEST_SIDE) return;
    const auto bytes = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * 4;
    if (bytes > std::numeric_limits<std::size_t>::max()) return;
    std::memmove(destination.pixels, source.pixels, static_cast<std::size_t>(bytes));
}

void analyseAndFilter() {
    analyseFrame();
    filterOutputPlanes(outputPlanes, blockChangeFlags.data());
}

}  // namespace

void refreshReferenceBlocks() {
    // The flags of all block rows lie end to end: the scan jumps from one
    // flagged block row to the next, and the routine passes over unflagged
    // groups of blocks within a row and moves the flagged ones under a mask,
    // however short their runs.
    const std::uint32_t width = planeDescriptor.width;
    if (blocksPerRow == 0) return;
    const std::uint8_t* flags = blockChangeFlags.data();
    std::uint32_t rowFirst = 0;
    std::uint32_t flagged = nextFlaggedBlock(flags, 0, allBlocks);
    while (flagged < allBlocks) {
        while (flagged >= rowFirst + blocksPerRow) rowFirst += blocksPerRow;
        const std::uint32_t at = blockOffsets[rowFirst];
        blockCopyRoutines.copyFlaggedBlocks(&referencePlanes[at], &currentPlanes[at], width,
                                            flags + rowFirst, blocksPerRow, BLOCK_HEIGHT);
        rowFirst += blocksPerRow;
        flagged = nextFlaggedBlock(flags, rowFirst, allBlocks);
    }
}

void convertToDestination(const std::uint8_t* sourcePixels, std::uint8_t* destinationPixels) {
    std::uint8_t alpha = 0;
    if (toFrameConversion != convertPlanesToFrame) {
        toFrameConversion(outputPlanes, destinationPixels);
        copyAlpha(sourcePixels, destinationPixels, planeDescriptor.width * planeDescriptor.height);
    } else if (uniformAlpha(sourceAlphaSummary, alpha)) {
        // Alpha one value throughout (an opaque source, usually): written as
        // that value, without reading the source a second time.
        convertPlanesToFilledFrame(outputPlanes, destinationPixels, alpha);
    } else {
        // The source's alpha taken on the way: one pass over the destination.
        convertPlanesToFrameWithAlpha(outputPlanes, destinationPixels, sourcePixels);
    }
}

std::int16_t executeFrame(HostFrameRequest& request) {
    selectCpuLevelOnce();
    const auto now = static_cast<std::int32_t>(std::time(nullptr));
    const HostFrame& source = **request.sourceFrame;
    HostFrame& destination = **request.destinationFrame;

    const std::int64_t width = static_cast<std::int64_t>(source.bounds.right) - source.bounds.left;
    const std::int64_t height = static_cast<std::int64_t>(source.bounds.bottom) - source.bounds.top;
    planeDescriptor.width = static_cast<std::uint32_t>(width);
    planeDescriptor.height = static_cast<std::uint32_t>(height);

    // Unsigned comparisons: a negative side counts as above the limit.
    if (planeDescriptor.height > MAX_FRAME_HEIGHT || planeDescriptor.height % BLOCK_HEIGHT != 0 ||
        planeDescriptor.width > MAX_FRAME_WIDTH || planeDescriptor.width % BLOCK_WIDTH != 0 ||
        width < 0 || height < 0) {
        passThrough(source, destination, width, height);
        return 0;
    }
    const std::uint32_t frameWidth = planeDescriptor.width;
    const std::uint32_t frameHeight = planeDescriptor.height;

    const bool wasActive = sequenceActive != 0;
    if (wasActive && !continuesSequence(request, frameWidth, frameHeight)) sequenceActive = 0;

    bool resumed = false;
    if (!wasActive && request.framePosition > 0) {
        resumed = resumesSavedSequence(request, now);
        if (resumed) processedFrameCount = stateHeader.savedFrameCount;
    }

    ++processedFrameCount;
    applyRecord(request);

    const std::uint8_t* sourcePixels = source.pixels;
    // Only the usual conversion in summarises the source's alpha; until it has
    // run, nothing is assumed of it.
    sourceAlphaSummary = UNKNOWN_ALPHA_SUMMARY;
    if (request.framePosition != 0 && sequenceActive != 0) {
        toPlanesConversion(sourcePixels, currentPlanes);
        analyseAndFilter();
    } else {
        setUpPlanes(planeDescriptor, frameHeight, frameWidth);
        buildBlockOffsets();
        setUpAnalysis(planeDescriptor);
        toPlanesConversion(sourcePixels, currentPlanes);
        if (resumed) {
            analyseAndFilter();
        } else {
            // Beyond the extent every layer is 0 already.
            for (std::uint32_t layer = 0; layer < HISTORY_LAYERS; ++layer) {
                std::fill_n(blockMapHistory.begin() + layer * BLOCK_CAPACITY, blockMapHistoryExtent,
                            std::uint8_t{0});
            }
            blockMapHistoryExtent = 0;
            referencePlanes = currentPlanes;
            if (thresholds.secondaryOffset >= 3) {
                filterOutputPlanes(outputPlanes, blockChangeFlags.data());
            } else {
                outputPlanes = currentPlanes;
            }
        }
        // Set only now: the output filter of a first frame must see it clear.
        sequenceActive = 1;
    }

    convertToDestination(sourcePixels, destination.pixels);
    refreshReferenceBlocks();

    stateHeader.lastFrameNumber = request.framePosition;
    stateHeader.savedFrameCount = processedFrameCount;
    stateHeader.lastClipTotal = request.clipTotal;
    stateHeader.lastCallTime = now;
    return 0;
}

}  // namespace kalmix
