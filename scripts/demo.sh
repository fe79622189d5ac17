#!/usr/bin/env bash
# Installs what is needed, builds the module and the kalmix tool, and runs the
# demo on its embedded clip. Extra arguments go to `kalmix demo`: a directory
# (default ./kalmix-demo), taken relative to where you run this, and options.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

KALMIX_SKIP_WINDOWS=1 "$repo/scripts/install-deps.sh"
cmake -S "$repo" -B "$repo/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$repo/build" -j "$(nproc)" --target kalmix
exec "$repo/build/tools/kalmix/kalmix" demo "$@"
