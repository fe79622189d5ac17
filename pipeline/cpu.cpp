// Instruction-set detection and the choice of routine tables.
#include "pipeline/cpu.h"

#include <cstdlib>
#include <cstring>

namespace kalmix {

namespace {

CpuLevel activeLevel = CpuLevel::C;
bool levelChosen = false;

char lowerCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(const char* text, const char* word) {
    for (; *text != '\0' && *word != '\0'; ++text, ++word) {
        if (lowerCase(*text) != *word) return false;
    }
    return *text == '\0' && *word == '\0';
}

}  // namespace

CpuLevel supportedCpuLevel() {
#if defined(KALMIX_HAVE_AVX2)
    __builtin_cpu_init();
#endif
#if defined(KALMIX_HAVE_AVX512)
    // Everything the AVX-512 sources are compiled for (KALMIX_AVX512_FLAGS);
    // the test also asks whether the system saves the AVX-512 registers.
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512cd") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
        __builtin_cpu_supports("popcnt")) {
        return CpuLevel::AVX512;
    }
#endif
#if defined(KALMIX_HAVE_AVX2)
    if (__builtin_cpu_supports("avx2")) return CpuLevel::AVX2;
#endif
#if defined(KALMIX_HAVE_SSE2)
    return CpuLevel::SSE2;
#else
    return CpuLevel::C;
#endif
}

bool parseCpuLevel(const char* text, CpuLevel& level) {
    if (text == nullptr) return false;
    if (equalsIgnoringCase(text, "c")) {
        level = CpuLevel::C;
    } else if (equalsIgnoringCase(text, "sse2")) {
        level = CpuLevel::SSE2;
    } else if (equalsIgnoringCase(text, "avx2")) {
        level = CpuLevel::AVX2;
    } else if (equalsIgnoringCase(text, "avx512")) {
        level = CpuLevel::AVX512;
    } else {
        return false;
    }
    return true;
}

const char* cpuLevelName(CpuLevel level) {
    switch (level) {
        case CpuLevel::C: return "c";
        case CpuLevel::SSE2: return "sse2";
        case CpuLevel::AVX2: return "avx2";
        case CpuLevel::AVX512: return "avx512";
    }
    return "c";
}

CpuLevel detectCpuLevel() {
    const CpuLevel supported = supportedCpuLevel();
    CpuLevel requested;
    if (parseCpuLevel(std::getenv("KALMIX_CPU"), requested) && requested < supported) {
        return requested;
    }
    return supported;
}

CpuLevel activeCpuLevel() { return activeLevel; }

void selectCpuLevel(CpuLevel level) {
    const CpuLevel supported = supportedCpuLevel();
    activeLevel = level < supported ? level : supported;
    selectConversionRoutines(activeLevel);
    selectAnalysisRoutines(activeLevel);
    selectFilterRoutines(activeLevel);
    selectBlockCopyRoutines(activeLevel);
    levelChosen = true;
}

void selectCpuLevelOnce() {
    if (!levelChosen) selectCpuLevel(detectCpuLevel());
}

}  // namespace kalmix
