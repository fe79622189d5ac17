// The instruction-set level the frame path runs at, chosen once per load.
//
// Every optimised routine has a plain C++ reference beside it; a table of
// function pointers per subsystem points at the variant for the active level.
// The level is what the processor offers, capped by the environment variable
// KALMIX_CPU (c, sse2, avx2 or avx512) so that tests and benchmarks can force a lower
// one. The output is byte for byte the same at every level.
#pragma once

#include <cstdint>

namespace kalmix {

enum class CpuLevel : std::uint8_t { C = 0, SSE2 = 1, AVX2 = 2, AVX512 = 3 };

// The highest level this build and this processor support, capped by KALMIX_CPU.
CpuLevel detectCpuLevel();
// The highest level this build and this processor support, ignoring KALMIX_CPU.
CpuLevel supportedCpuLevel();
// The level the routine tables point at now.
CpuLevel activeCpuLevel();
// Points every routine table at min(level, supportedCpuLevel()).
void selectCpuLevel(CpuLevel level);
// Chooses detectCpuLevel() on the first call; later calls cost one test.
void selectCpuLevelOnce();

const char* cpuLevelName(CpuLevel level);
// "c", "sse2", "avx2", "avx512" (any case); false for anything else.
bool parseCpuLevel(const char* text, CpuLevel& level);

// Each subsystem points its own table at the given level's variants.
void selectConversionRoutines(CpuLevel level);
void selectAnalysisRoutines(CpuLevel level);
void selectFilterRoutines(CpuLevel level);
void selectBlockCopyRoutines(CpuLevel level);

}  // namespace kalmix
