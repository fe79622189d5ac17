// Working parameters and their derivation through the preset tables.
#include "params/filter_params.h"

#include <algorithm>

namespace kalmix {

FilterParams workingParams = DEFAULT_FILTER_PARAMS;
WorkingThresholds thresholds{};

void readFilterParams(FilterParams& record) { record = workingParams; }

void applyFilterParams(const FilterParams& record) {
    workingParams = record;
    applyPrimaryLevel(workingParams.primaryLevel);
    applySecondaryLevel(workingParams.secondaryLevel);
}

void applyPrimaryLevel(std::int32_t level) {
    const std::int32_t clamped = std::clamp(level, 0, LEVEL_COUNT - 1);
    const auto& row = PRIMARY_PRESETS[static_cast<std::size_t>(clamped)];
    thresholds.filteringEnabled = clamped != 0 ? 1 : 0;
    thresholds.lumaChangeThreshold = row[0];
    thresholds.chromaChangeThreshold = row[1];
    thresholds.neighbourSupportMin = row[2];
    thresholds.blockChangeCount = row[3];
    thresholds.borderChangeCount = row[4];
    thresholds.lumaBiasThreshold = row[5];
    thresholds.chromaBiasThreshold = row[6];
    thresholds.biasTestEnabled = row[7];
    thresholds.biasCountThreshold = row[8];
}

void applySecondaryLevel(std::int32_t level) {
    const std::int32_t clamped = std::clamp(level, 0, LEVEL_COUNT - 1);
    thresholds.secondaryOffset = SECONDARY_PRESETS[static_cast<std::size_t>(clamped)];
    thresholds.secondaryEnabled = clamped != 0 ? 1 : 0;
}

}  // namespace kalmix
