#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the normal build (with
# the Windows module under Wine), the i386 build under qemu-i386, a short
# fuzzing run, then the AddressSanitizer + UndefinedBehaviorSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

# The frame path at every instruction-set level below the best one (which the
# run above used): the golden checksums, the module tests and the variant
# tests again, with KALMIX_CPU capping the level. The best level is the one
# the module itself chooses on this machine, as `kalmix --version` names it.
best=$(env -u KALMIX_CPU build/tools/kalmix/kalmix --version 2>&1 >/dev/null | sed -n 's/^kalmix: frame path: //p')
[[ -n $best ]] || { echo "kalmix --version named no frame path level" >&2; exit 1; }
levels=()
for level in c sse2 avx2 avx512; do
  [[ $level == "$best" ]] && break
  levels+=("$level")
done
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

# The same sources as 32-bit x86 Linux code (the Windows module's flags), run
# under qemu-i386: every test at SSE2, the most a 32-bit build has, then the
# module (golden frames among them) and variant tests at the plain level; each
# time the frames must equal the x86-64 build's.
if [[ "${KALMIX_SKIP_I386:-0}" != 1 ]]; then
  i386_started=$SECONDS
  cmake -S . -B build-i386 -G Ninja --toolchain cmake/i386-linux.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKALMIX_GTEST_SOURCE_DIR=/usr/src/googletest \
    -DKALMIX_REFERENCE_WRITER="$PWD/build/tests/kalmix_crosscheck_writer" \
    -DKALMIX_WINDOWS_TESTS=OFF -DKALMIX_BUILD_TOOLS=OFF -DKALMIX_BUILD_BENCHMARKS=OFF >/dev/null
  cmake --build build-i386 -j "$jobs"
  # The tests run under qemu-i386, but the tile workers they start are run by
  # the kernel, which cannot always execute i386 programs (no IA-32
  # emulation: exit status 126): there the workers go through qemu-i386 too,
  # and so does the stand-in of an older worker that one test starts.
  worker=$PWD/build-i386/tools/tiles/kalmix-tile-worker
  worker_env=()
  status=0
  "$worker" --version >/dev/null 2>&1 || status=$?
  if [[ $status -eq 126 ]]; then
    through_qemu() {  # writes $2, a script that runs the program $1 under qemu-i386
      printf '#!/bin/sh\nexec %q -L / %q "$@"\n' "$(command -v qemu-i386)" "$1" >"$2"
      chmod +x "$2"
    }
    through_qemu "$worker" build-i386/kalmix-tile-worker-qemu
    through_qemu "$PWD/build-i386/tests/tiles/kalmix_old_worker_standin" build-i386/kalmix-old-worker-standin-qemu
    worker_env=(KALMIX_TILE_WORKER="$PWD/build-i386/kalmix-tile-worker-qemu"
                KALMIX_OLD_WORKER_STANDIN="$PWD/build-i386/kalmix-old-worker-standin-qemu")
    echo "this kernel cannot run i386 programs: the tile workers run under qemu-i386"
  fi
  echo "i386 build under qemu-i386, KALMIX_CPU=sse2"
  # Not the soak run: under qemu-i386 its resident memory is the emulator's.
  env "${worker_env[@]}" KALMIX_CPU=sse2 ctest --test-dir build-i386 --output-on-failure -j "$jobs" -E '^soak$'
  echo "i386 build under qemu-i386, KALMIX_CPU=c"
  env "${worker_env[@]}" KALMIX_CPU=c ctest --test-dir build-i386 --output-on-failure -j "$jobs" -L 'module|checkasm'
  echo "i386 build and tests: $((SECONDS - i386_started)) s"
fi

# A short libFuzzer run of every fuzz target (clang; the core alone,
# instrumented), each from its seed corpus in tests/fuzz/corpus/NAME.
cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKALMIX_FUZZ=ON >/dev/null
cmake --build build-fuzz -j "$jobs"
fuzz=$(mktemp -d)
trap 'rm -rf "$fuzz"' EXIT
for target in build-fuzz/tests/fuzz/kalmix_fuzz_*; do
  [[ -f $target && -x $target ]] || continue
  name=${target##*/kalmix_fuzz_}
  seeds=()
  [[ -d tests/fuzz/corpus/$name ]] && seeds=("tests/fuzz/corpus/$name")
  mkdir "$fuzz/$name"
  if ! "$target" -max_total_time="${KALMIX_FUZZ_SECONDS:-20}" -max_len=4096 -timeout=10 \
      -artifact_prefix="$fuzz/$name-" "$fuzz/$name" "${seeds[@]}" >"$fuzz/$name.log" 2>&1; then
    tail -n 40 "$fuzz/$name.log"
    echo "fuzzing $name failed (the input is in the log above)" >&2
    exit 1
  fi
  echo "$name: $(grep -E '^Done' "$fuzz/$name.log")"
done

# The sanitizer build runs the native tests; the Windows DLL has no sanitizer runtime.
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKALMIX_SANITIZE=ON \
  -DKALMIX_WINDOWS_TESTS=OFF -DKALMIX_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build-asan -j "$jobs"
# Leaks inside third-party libraries (libx265) are theirs: tests/sanitizer/lsan.supp.
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  LSAN_OPTIONS="suppressions=$PWD/tests/sanitizer/lsan.supp:print_suppressions=0" \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"
