#!/usr/bin/env bash
# Runs the 32-bit Windows module's runtime tests (windows_i686_dialogs, _state
# and _crosscheck) against the real Kalmix.PRM under 32-bit Wine, inside an
# emulated i386 machine (qemu-system-i386 with TCG, Debian's 686 kernel):
#   scripts/test-win32.sh [BUILD_DIR]      (default: build)
# BUILD_DIR is the native build: its Windows cross build supplies the module,
# PREMINFO.DLL and the test host; its native module writes the cross-check
# frames that the DLL must reproduce. The machine's disk image is made once
# with debootstrap from this machine's apt sources and kept, keyed by its
# package list, in ${KALMIX_WIN32_CACHE:-~/.cache/kalmix-win32}.
# Needs root (debootstrap) and a kernel that runs i386 programs while the
# image is made; the tests themselves run only inside the emulated machine.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
build=$(realpath -m "${1:-build}")
cache=${KALMIX_WIN32_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kalmix-win32}
started=$SECONDS

say() { echo "test-win32: $*" >&2; }
die() { echo "test-win32: $*" >&2; exit 1; }

[[ $(id -u) -eq 0 ]] || die "run as root: debootstrap and its chroot need it"
KALMIX_WIN32_VM=1 scripts/install-deps.sh

# The guest system: 32-bit Wine and its X libraries, a virtual X server, and a
# kernel with an initramfs that finds the virtio disks.
guest_packages=(
  wine wine32 fonts-wine xvfb xauth xfonts-base
  libxrender1 libxrandr2 libxi6 libxcursor1 libxinerama1 libxcomposite1 libxfixes3 libxxf86vm1
  linux-image-686 initramfs-tools kmod
)
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
[[ -n $codename ]] || die "cannot tell this system's release from /etc/os-release"
# The mirror this machine's apt uses for its release's main component.
mirror=$(apt-get indextargets --format '$(REPO_URI)' 'Created-By: Packages' 'Component: main' \
  "Release: $codename" 2>/dev/null | head -n 1)
[[ -n $mirror ]] || die "no apt source for $codename main in /etc/apt/sources.list(.d)"

key=$( { echo "$codename"; printf '%s\n' "${guest_packages[@]}"; cat scripts/win32-guest-init; } |
  sha256sum | cut -c1-16)
image=$cache/$key
if [[ ! -f $image/ready ]]; then
  say "making the i386 image $key from $mirror ($codename); only the first run pays for this"
  image_started=$SECONDS
  rm -rf "$image" && mkdir -p "$image"
  root=$image/root
  nice -n 19 debootstrap --arch=i386 --variant=minbase \
    --include="$(IFS=,; echo "${guest_packages[*]}")" "$codename" "$root" "$mirror" \
    >"$image/debootstrap.log" 2>&1 ||
    { tail -n 20 "$image/debootstrap.log" >&2; die "debootstrap failed (log: $image/debootstrap.log)"; }
  install -m 755 scripts/win32-guest-init "$root/sbin/kalmix-init"
  rm -f "$root"/var/cache/apt/archives/*.deb
  cp "$(ls "$root"/boot/vmlinuz-* | head -n 1)" "$image/vmlinuz"
  cp "$(ls "$root"/boot/initrd.img-* | head -n 1)" "$image/initrd.img" ||
    die "the image has no initramfs"
  # Room for what the run writes; the image itself is never changed (snapshot).
  size_mb=$(( $(du -sm "$root" | cut -f1) + 512 ))
  nice -n 19 mke2fs -q -t ext4 -L kalmix-i386 -d "$root" "$image/disk.img" "${size_mb}M" ||
    die "mke2fs failed"
  rm -rf "$root"
  printf '%s\n' "${guest_packages[@]}" >"$image/packages.txt"
  touch "$image/ready"
  say "image made in $((SECONDS - image_started)) s ($(du -sh "$image/disk.img" | cut -f1))"
fi

# The native build: the Windows cross build and the native cross-check writer.
if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKALMIX_WINDOWS_TESTS=ON \
    >/dev/null
fi
grep -q '^KALMIX_WINDOWS_TESTS:BOOL=ON' "$build/CMakeCache.txt" ||
  die "$build was configured with KALMIX_WINDOWS_TESTS=OFF"
nice cmake --build "$build" --target kalmix_crosscheck_writer
ctest --test-dir "$build" -R '^windows_i686_build$' --output-on-failure >/dev/null ||
  die "the i686 cross build failed: ctest --test-dir $build -R windows_i686_build"
windows_dir=$build/tests/windows
[[ -f $windows_dir/i686/bin/Kalmix.PRM ]] || die "no i686 Kalmix.PRM in $windows_dir/i686/bin"

# The work disk: the Windows programs, the test driver, the frames the DLL
# must reproduce, and the script the guest runs.
work=$(mktemp -d "${TMPDIR:-/tmp}/kalmix-win32.XXXXXX")
trap 'rm -rf "$work"' EXIT
stage=$work/disk
mkdir -p "$stage/windows/i686" "$stage/source/tests/windows" "$stage/results"
cp -r "$windows_dir/i686/bin" "$stage/windows/i686/bin"
rm -f "$stage/windows/i686/bin/crosscheck.bin"
# The native tests' 32-bit Wine prefix, where this machine made one (same Wine
# package as the guest's). Making a prefix inside the emulated machine runs
# into Wine's fixed 30-second wait for wineboot when the host is busy.
prefix=$windows_dir/wineprefix-i686
if [[ -f $prefix/.kalmix-ready && ${KALMIX_WIN32_GUEST_PREFIX:-0} != 1 ]]; then
  cp -a "$prefix" "$stage/windows/wineprefix-i686"
  say "using the Wine prefix made natively in $prefix"
fi
cp tests/windows/windows_test.sh tests/windows/wine-x11.reg "$stage/source/tests/windows/"
windir=$work/native-windir && mkdir -p "$windir"
WINDIR=$windir "$build/tests/kalmix_crosscheck_writer" "$stage/crosscheck.bin" ||
  die "the native module could not write the cross-check frames"
cat >"$stage/copy-crosscheck.sh" <<'EOF'
#!/bin/sh
# Stands in for the native writer: its frames were made outside the machine.
exec cp /work/crosscheck.bin "$1"
EOF
cat >"$stage/run.sh" <<'EOF'
# Runs inside the emulated machine: the three runtime tests of the 32-bit module.
export KALMIX_SOURCE_DIR=/work/source KALMIX_WINDOWS_DIR=/work/windows KALMIX_WINDOWS_PREBUILT=1
export KALMIX_CROSSCHECK_WRITER=/work/copy-crosscheck.sh KALMIX_WINE_TIMEOUT=2400
export KALMIX_WINE_SLOWDOWN=30
echo "KALMIX-GUEST cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2)"
echo "KALMIX-GUEST wine: $(/usr/lib/wine/wine --version 2>&1)"
for step in dialogs state crosscheck; do
  start=$(date +%s)
  bash /work/source/tests/windows/windows_test.sh "$step" i686 >/work/results/$step.log 2>&1
  status=$?
  sed "s/^/[$step] /" /work/results/$step.log
  echo "KALMIX-RESULT $step $status $(( $(date +%s) - start ))"
done
EOF
chmod +x "$stage/copy-crosscheck.sh"
# Room for a Wine prefix made in the guest.
mke2fs -q -t ext4 -L kalmix-work -d "$stage" "$work/work.img" \
  "$(( $(du -sm "$stage" | cut -f1) + 768 ))M" || die "mke2fs of the work disk failed"

log=${KALMIX_WIN32_LOG:-$build/test-win32.log}
say "booting the i386 machine (TCG; console in $log)"
boot_started=$SECONDS
status=0
nice -n 19 timeout "${KALMIX_WIN32_TIMEOUT:-5400}" qemu-system-i386 \
  -accel tcg,thread=multi -cpu "${KALMIX_WIN32_CPU:-n270}" -smp 2 -m 2048 \
  -nodefaults -display none -no-reboot -serial "file:$log" \
  -kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
  -append "root=/dev/vda ro console=ttyS0 init=/sbin/kalmix-init panic=-1 no_timer_check quiet" \
  -drive "file=$image/disk.img,if=virtio,format=raw,snapshot=on" \
  -drive "file=$work/work.img,if=virtio,format=raw" </dev/null || status=$?
[[ $status -eq 0 ]] || say "qemu-system-i386 ended with status $status"
grep -a '^\[\|^KALMIX-' "$log" | tr -d '\r' || true

passed=0 failed=0
for step in dialogs state crosscheck; do
  result=$(grep -a "^KALMIX-RESULT $step " "$log" | tr -d '\r' | tail -n 1 || true)
  if [[ $result == "KALMIX-RESULT $step 0 "* ]]; then
    passed=$((passed + 1))
    say "windows_i686_$step passed in ${result##* } s"
  else
    failed=$((failed + 1))
    say "windows_i686_$step did not pass: ${result:-no result}"
  fi
done
say "machine ran $((SECONDS - boot_started)) s; whole run $((SECONDS - started)) s"
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
