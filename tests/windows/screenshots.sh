#!/usr/bin/env bash
# Takes PNG screenshots of the About box and the parameter dialog under Wine
# and Xvfb into docs/. Needs a native build whose Windows tests have run:
#   tests/windows/screenshots.sh [BUILD_DIR] [ARCH]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
arch=${2:-}
if [[ -z $arch ]]; then
  # The shipped 32-bit module where this machine runs 32-bit programs.
  arch=x86_64
  /usr/lib/wine/wine --version >/dev/null 2>&1 && arch=i686
fi
KALMIX_SOURCE_DIR=$root KALMIX_WINDOWS_DIR=$build/tests/windows \
  exec "$root/tests/windows/windows_test.sh" screenshots "$arch" "$root/docs"
