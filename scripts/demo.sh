#!/usr/bin/env bash
# Installs what is needed, builds the module and the kalmix tool, and runs the
# demo on its embedded clip. Extra arguments go to `kalmix demo` (a directory).
set -euo pipefail
cd "$(dirname "$0")/.."

KALMIX_SKIP_WINDOWS=1 scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target kalmix
exec build/tools/kalmix/kalmix demo "$@"
