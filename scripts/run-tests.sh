#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the normal build (with
# the Windows module under Wine), a short fuzzing run, then the
# AddressSanitizer + UndefinedBehaviorSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

# The frame path at every instruction-set level below the best one (which the
# run above used): the golden checksums, the module tests and the variant
# tests again, with KALMIX_CPU capping the level. AVX2 variants exist only in
# x86-64 builds, SSE2 ones in every x86 build.
levels=()
case "$(uname -m)" in
  x86_64 | amd64) levels=(c); grep -qw avx2 /proc/cpuinfo && levels+=(sse2) ;;
  i?86) levels=(c) ;;
esac
for level in "${levels[@]}"; do
  echo "frame path at level $level"
  for tests in build/tests/kalmix_module_tests build/tests/checkasm/kalmix_checkasm_tests; do
    if ! KALMIX_CPU=$level "$tests" --gtest_brief=1 >"build/level-$level.log" 2>&1; then
      cat "build/level-$level.log"
      echo "$(basename "$tests") failed at level $level" >&2
      exit 1
    fi
  done
done

# A short libFuzzer run of the execute call over hostile bounds, positions and
# parameters (clang; the core alone, instrumented).
cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKALMIX_FUZZ=ON >/dev/null
cmake --build build-fuzz -j "$jobs"
fuzz=$(mktemp -d)
trap 'rm -rf "$fuzz"' EXIT
mkdir "$fuzz/corpus"
if ! build-fuzz/tests/fuzz/kalmix_fuzz_execute -max_total_time="${KALMIX_FUZZ_SECONDS:-30}" \
    -max_len=256 "$fuzz/corpus" >"$fuzz/log" 2>&1; then
  tail -n 40 "$fuzz/log"
  echo "fuzzing the execute call failed" >&2
  exit 1
fi
grep -E '^Done' "$fuzz/log"

# The fast frame path against the plain one on fuzzed sequences.
mkdir "$fuzz/levels"
if ! build-fuzz/tests/fuzz/kalmix_fuzz_levels -max_total_time="${KALMIX_FUZZ_LEVELS_SECONDS:-20}" \
    -max_len=256 "$fuzz/levels" >"$fuzz/levels.log" 2>&1; then
  tail -n 40 "$fuzz/levels.log"
  echo "fuzzing the fast frame path against the plain one failed" >&2
  exit 1
fi
grep -E '^Done' "$fuzz/levels.log"

# The sanitizer build runs the native tests; the Windows DLL has no sanitizer runtime.
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKALMIX_SANITIZE=ON \
  -DKALMIX_WINDOWS_TESTS=OFF -DKALMIX_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"
