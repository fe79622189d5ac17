// Shared helpers of the variant tests: every optimised routine is run beside
// its plain reference on the same random input, at every instruction-set level
// this build and processor offer, and the two results must agree byte for byte.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "pipeline/cpu.h"

namespace kalmix::checkasm {

// The levels above the plain one that this machine can run.
inline std::vector<CpuLevel> fastLevels() {
    std::vector<CpuLevel> levels;
    for (CpuLevel level : {CpuLevel::SSE2, CpuLevel::AVX2, CpuLevel::AVX512}) {
        if (level <= supportedCpuLevel()) levels.push_back(level);
    }
    return levels;
}

// Points the routine tables at one level for the life of the object, and back
// at the detected level afterwards so other tests see the usual tables.
class ScopedCpuLevel {
public:
    explicit ScopedCpuLevel(CpuLevel level) { selectCpuLevel(level); }
    ~ScopedCpuLevel() { selectCpuLevel(detectCpuLevel()); }
    ScopedCpuLevel(const ScopedCpuLevel&) = delete;
    ScopedCpuLevel& operator=(const ScopedCpuLevel&) = delete;
};

// A fixed seed per test, so a failure reproduces.
inline std::mt19937& randomEngine() {
    static std::mt19937 engine(0x6b616c6du);
    return engine;
}

template <typename T>
void fillRandom(T* data, std::size_t count, int low, int high) {
    std::uniform_int_distribution<int> dist(low, high);
    for (std::size_t i = 0; i < count; ++i) data[i] = static_cast<T>(dist(randomEngine()));
}

// The index of the first element where the two differ, or count when equal.
template <typename T>
std::size_t firstDifference(const T* expected, const T* actual, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (expected[i] != actual[i]) return i;
    }
    return count;
}

template <typename T>
::testing::AssertionResult sameElements(const T* expected, const T* actual, std::size_t count,
                                        std::size_t rowLength = 0) {
    const std::size_t at = firstDifference(expected, actual, count);
    if (at == count) return ::testing::AssertionSuccess();
    auto result = ::testing::AssertionFailure();
    result << "first difference at element " << at;
    if (rowLength != 0) result << " (x " << at % rowLength << ", y " << at / rowLength << ")";
    return result << ": expected " << +expected[at] << ", got " << +actual[at];
}

inline std::string levelLabel(CpuLevel level) { return std::string("level ") + cpuLevelName(level); }

}  // namespace kalmix::checkasm
