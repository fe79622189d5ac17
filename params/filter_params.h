// The parameter record, the module's working copy of it, the preset tables
// that turn the two levels into working thresholds, and the filter's fixed
// tuning constants. Every threshold the analysis and the output filter read
// is written here and nowhere else.
#pragma once

#include <array>
#include <cstdint>

namespace kalmix {

// The 20-byte record the host keeps per use of the filter: five signed 32-bit
// little-endian values in this order. Levels outside their range are stored
// as they are and clamped only when thresholds are derived.
struct FilterParams {
    std::int32_t primaryLevel;         // 0..10, selects a row of PRIMARY_PRESETS
    std::int32_t uvLevel;              // 0..10, stored only
    std::int32_t secondaryLevel;       // 0..10, selects an entry of SECONDARY_PRESETS
    std::int32_t transitionFrames;     // 0..7, frames a changed block is held
    std::int32_t enhancedSuppression;  // 1: enhanced per-sample change test
};
static_assert(sizeof(FilterParams) == 20);

inline constexpr FilterParams DEFAULT_FILTER_PARAMS{5, 5, 5, 2, 1};

struct WorkingThresholds {
    std::int32_t lumaChangeThreshold;
    std::int32_t chromaChangeThreshold;
    std::int32_t neighbourSupportMin;
    std::int32_t blockChangeCount;
    std::int32_t borderChangeCount;
    std::int32_t lumaBiasThreshold;
    std::int32_t chromaBiasThreshold;
    std::int32_t biasTestEnabled;
    std::int32_t biasCountThreshold;
    std::int32_t filteringEnabled;
    std::int32_t secondaryOffset;
    std::int32_t secondaryEnabled;
};

inline constexpr int LEVEL_COUNT = 11;  // levels 0..10
inline constexpr int PRIMARY_COLUMNS = 9;

// One row per primaryLevel; columns lumaChangeThreshold .. biasCountThreshold
// in the order of WorkingThresholds.
inline constexpr std::array<std::array<std::int32_t, PRIMARY_COLUMNS>, LEVEL_COUNT> PRIMARY_PRESETS{{
    {0, 0, 0, 0, 0, 0, 0, 0, 0},       // 0: everything changed, no filtering
    {3, 3, 2, 5, 1, 2, 2, 1, 4},       // 1
    {4, 4, 2, 10, 1, 3, 3, 1, 5},      // 2
    {4, 4, 3, 15, 2, 3, 3, 1, 6},      // 3
    {4, 5, 3, 20, 3, 3, 4, 1, 7},      // 4: the one row whose chroma values differ
    {5, 5, 3, 25, 4, 4, 4, 1, 7},      // 5: default
    {6, 6, 3, 25, 5, 5, 5, 1, 8},      // 6
    {8, 8, 4, 25, 5, 6, 6, 1, 9},      // 7
    {10, 10, 4, 30, 10, 7, 7, 1, 10},  // 8
    {12, 12, 4, 30, 10, 10, 10, 1, 12},// 9
    {16, 16, 5, 30, 10, 12, 12, 1, 12},// 10
}};

// Added to the smoothing-kernel mode of the output filter, per secondaryLevel.
inline constexpr std::array<std::int32_t, LEVEL_COUNT> SECONDARY_PRESETS{
    -9, -7, -5, -3, -2, 0, 2, 3, 5, 7, 9};

inline constexpr std::int32_t OUTPUT_LIMIT_MARGIN = 4;
inline constexpr std::int32_t REINFORCE_GAIN = 8;
inline constexpr double DIFF_WEIGHT_SCALE = 0.0625;
inline constexpr double WEIGHT_FACTOR_MIN = 0.5;
inline constexpr double WEIGHT_FACTOR_MAX = 5.0;
inline constexpr double SPREAD_LOW = 200.0;
inline constexpr double VARIANCE_SQUARE_FACTOR = 0.1111;   // this decimal, not 1/9
inline constexpr double VARIANCE_MEAN_FACTOR = 0.012346;   // this decimal, not 1/81
inline constexpr float CHROMA_COUNT_DIVISOR = 1.0f;
inline constexpr float CHROMA_BALANCE_DIVISOR = 1.0f;
inline constexpr std::array<std::uint8_t, 9> EXTENT_WEIGHTS{0, 0, 0, 0, 2, 4, 12, 24, 0};

// Module-wide working values and the thresholds derived from them.
extern FilterParams workingParams;
extern WorkingThresholds thresholds;

void readFilterParams(FilterParams& record);
void applyFilterParams(const FilterParams& record);
void applyPrimaryLevel(std::int32_t level);
void applySecondaryLevel(std::int32_t level);

}  // namespace kalmix
