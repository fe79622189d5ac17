// The level names and the environment cap that the variant tests rely on.
#include <algorithm>
#include <cstdlib>

#include "tests/checkasm/checkasm.h"

namespace kalmix {
namespace {

TEST(CpuLevel, NamesParseBackAndUnknownNamesAreRefused) {
    for (CpuLevel level : {CpuLevel::C, CpuLevel::SSE2, CpuLevel::AVX2, CpuLevel::AVX512}) {
        CpuLevel parsed = CpuLevel::C;
        if (level == CpuLevel::C) parsed = CpuLevel::AVX512;
        ASSERT_TRUE(parseCpuLevel(cpuLevelName(level), parsed));
        EXPECT_EQ(parsed, level);
    }
    CpuLevel parsed = CpuLevel::C;
    EXPECT_TRUE(parseCpuLevel("AVX2", parsed));
    EXPECT_EQ(parsed, CpuLevel::AVX2);
    EXPECT_TRUE(parseCpuLevel("Avx512", parsed));
    EXPECT_EQ(parsed, CpuLevel::AVX512);
    EXPECT_FALSE(parseCpuLevel("avx", parsed));
    EXPECT_FALSE(parseCpuLevel("avx5120", parsed));
    EXPECT_FALSE(parseCpuLevel("", parsed));
    EXPECT_FALSE(parseCpuLevel(nullptr, parsed));
}

TEST(CpuLevel, EnvironmentCapsButNeverRaisesTheLevel) {
    const char* saved = std::getenv("KALMIX_CPU");
    const std::string restore = saved != nullptr ? saved : "";
    setenv("KALMIX_CPU", "c", 1);
    EXPECT_EQ(detectCpuLevel(), CpuLevel::C);
    setenv("KALMIX_CPU", "avx2", 1);
    EXPECT_EQ(detectCpuLevel(), std::min(CpuLevel::AVX2, supportedCpuLevel()));
    setenv("KALMIX_CPU", "avx512", 1);
    EXPECT_EQ(detectCpuLevel(), supportedCpuLevel());
    setenv("KALMIX_CPU", "nonsense", 1);
    EXPECT_EQ(detectCpuLevel(), supportedCpuLevel());
    if (saved != nullptr) {
        setenv("KALMIX_CPU", restore.c_str(), 1);
    } else {
        unsetenv("KALMIX_CPU");
    }
    selectCpuLevel(CpuLevel::AVX512);
    EXPECT_EQ(activeCpuLevel(), supportedCpuLevel());
    selectCpuLevel(detectCpuLevel());
}

}  // namespace
}  // namespace kalmix
