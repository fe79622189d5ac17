#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the normal build, then
# the AddressSanitizer + UndefinedBehaviorSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

# The sanitizer build runs the native tests; the Windows DLL has no sanitizer runtime.
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKALMIX_SANITIZE=ON \
  -DKALMIX_WINDOWS_TESTS=OFF -DKALMIX_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"
