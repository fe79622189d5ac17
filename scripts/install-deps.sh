#!/usr/bin/env bash
# Installs what building and testing Kalmix needs on Debian 12, skipping what
# is already there. Runs apt-get as root (directly, or through sudo).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  libgtest-dev libbenchmark-dev frei0r-plugins-dev
  libavformat-dev libavcodec-dev libswscale-dev libavutil-dev
  help2man
  # The real frei0r hosts the plug-in is tested in.
  ffmpeg melt gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-bad
)
# The Windows builds and their tests under Wine: the 32-bit module, and the
# same sources for x86_64 where the machine cannot run 32-bit code.
windows_packages=(
  g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64-win32
  wine wine32:i386 wine64 xvfb xauth fonts-wine
)

# The same sources as 32-bit x86 Linux code, run under user-mode emulation.
i386_packages=(g++-multilib qemu-user)
# scripts/test-win32.sh only: the emulated i386 machine and its disk image.
win32_vm_packages=(debootstrap qemu-system-x86 e2fsprogs)

if [[ "${KALMIX_SKIP_WINDOWS:-0}" != 1 ]]; then
  packages+=("${windows_packages[@]}")
fi
if [[ "${KALMIX_SKIP_I386:-0}" != 1 ]]; then
  packages+=("${i386_packages[@]}")
fi
if [[ "${KALMIX_WIN32_VM:-0}" == 1 ]]; then
  packages+=("${win32_vm_packages[@]}")
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

as_root=()
[[ $(id -u) -eq 0 ]] || as_root=(sudo)
echo "installing: ${missing[*]}" >&2
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  dpkg --print-foreign-architectures | grep -qx i386 || "${as_root[@]}" dpkg --add-architecture i386
fi
# A mirror in the middle of a sync fails an index or two; apt then keeps the
# rest, and whether that is enough shows in the install below.
for attempt in 1 2 3; do
  "${as_root[@]}" apt-get update -qq && break
  [[ $attempt -eq 3 ]] || sleep 20
done
install() {
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq "$@" >/dev/null
}
if ! install "${missing[@]}"; then
  # An i386 index caught mid-sync on the mirror leaves the i386 packages at
  # other versions than their amd64 halves, and apt refuses the whole set.
  # The tests that need those packages (the 32-bit module under Wine) skip
  # without them; everything else must still install.
  native=()
  for package in "${missing[@]}"; do
    [[ $package == *:i386 ]] || native+=("$package")
  done
  [[ ${#native[@]} -lt ${#missing[@]} ]] || exit 1
  echo "install-deps: the i386 packages could not be installed; installing the rest" \
    "(the 32-bit Windows tests under Wine will skip)" >&2
  [[ ${#native[@]} -eq 0 ]] || install "${native[@]}"
fi
