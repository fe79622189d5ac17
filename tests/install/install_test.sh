#!/usr/bin/env bash
# Installs the build as a user would and runs what was installed:
#   install_test.sh BUILD_DIR prefix   cmake --install into a clean prefix
#                                      (moved afterwards: nothing may point
#                                      back into the build)
#   install_test.sh BUILD_DIR system   the .deb from cpack, installed with
#                                      apt-get into the real system, then
#                                      removed; only with
#                                      KALMIX_TEST_SYSTEM_INSTALL=1, as root
# Both run `kalmix demo` and the ffmpeg program's frei0r filter without
# FREI0R_PATH. Exit 77 (skipped) with a message where that cannot be done.
set -euo pipefail
build=$(cd "$1" && pwd) mode=$2

skip() { echo "SKIPPED: $*" >&2; exit 77; }
fail() { echo "FAILED: $*" >&2; exit 1; }

work=$(mktemp -d)
cleanup=()
trap 'for c in "${cleanup[@]}"; do eval "$c" || true; done; rm -rf "$work"' EXIT
export WINDIR=$work  # the module's state file
unset KALMIX_MODULE FREI0R_PATH

# Runs an installed kalmix and kalmix.so: the demo, and the ffmpeg program's
# frei0r filter against kalmix --raw. HOME is where ffmpeg also looks.
check_installed() {
  local kalmix=$1
  (cd "$work" && "$kalmix" demo demo-out --frames 6 -q) || fail "$kalmix demo failed"
  for f in noisy.mkv filtered.mkv clean.mkv comparison.png; do
    [[ -s $work/demo-out/$f ]] || fail "kalmix demo did not write $f"
  done
  command -v ffmpeg >/dev/null || { echo "note: no ffmpeg program; frei0r not tried" >&2; return; }
  ffmpeg -v error -f lavfi -i "testsrc2=size=96x64:rate=25,noise=alls=12:allf=t,format=bgra" \
    -frames:v 8 -f rawvideo "$work/in.bgra"
  "$kalmix" --raw 96x64 "$work/in.bgra" -o "$work/expected.bgra" -q
  ffmpeg -v error -f rawvideo -pix_fmt bgra -video_size 96x64 -framerate 25 -i "$work/in.bgra" \
    -vf frei0r=kalmix -f rawvideo -pix_fmt bgra "$work/frei0r.bgra" \
    || fail "ffmpeg did not find or run the installed frei0r plug-in"
  cmp -s "$work/expected.bgra" "$work/frei0r.bgra" \
    || fail "the installed plug-in in ffmpeg differs from kalmix --raw"
  echo "installed kalmix demo and ffmpeg -vf frei0r=kalmix (no FREI0R_PATH) work"
}

# With an installed file replaced by junk, the installed kalmix must fail
# naming it: it looked there first and took nothing else.
looked_up_first() {
  local file=$1 what=$2 message
  mv "$prefix/$file" "$work/good"
  echo "not a $what" >"$prefix/$file"
  if message=$("$prefix/bin/kalmix" demo "$work/x" --frames 2 -q 2>&1); then
    fail "kalmix did not load the installed $what (it took another)"
  fi
  [[ $message == *"$prefix/$file"* ]] || fail "kalmix did not look for the installed $what first: $message"
  mv "$work/good" "$prefix/$file"
}

case $mode in
  prefix)
    cmake --install "$build" --prefix "$work/staged" >/dev/null
    for f in bin/kalmix lib/kalmix/Kalmix.PRM lib/kalmix/libkalmix_standin.so lib/kalmix/kalmix-ffmpeg.so \
             lib/kalmix/kalmix-tile-worker lib/frei0r-1/kalmix.so share/man/man1/kalmix.1; do
      [[ -e $work/staged/$f ]] || fail "cmake --install did not install $f"
    done
    # Relocated, the installed files find each other, not the build's.
    mv "$work/staged" "$work/prefix"
    prefix=$work/prefix
    looked_up_first lib/kalmix/Kalmix.PRM module
    looked_up_first lib/kalmix/kalmix-ffmpeg.so "FFmpeg side"
    # ffmpeg looks in ~/.frei0r-1/lib without FREI0R_PATH; a link there to
    # the installed plug-in must find the installed module.
    export HOME=$work/home
    mkdir -p "$HOME/.frei0r-1"
    ln -s "$prefix/lib/frei0r-1" "$HOME/.frei0r-1/lib"
    check_installed "$prefix/bin/kalmix" ;;
  system)
    [[ ${KALMIX_TEST_SYSTEM_INSTALL:-0} == 1 ]] \
      || skip "installing into the system is for CI (KALMIX_TEST_SYSTEM_INSTALL=1)"
    [[ $(id -u) == 0 ]] || skip "installing into the system needs root"
    if dpkg-query -W -f='${Status}' kalmix 2>/dev/null | grep -q 'ok installed'; then
      skip "a kalmix package is installed already; not replacing it"
    fi
    (cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work/package" >/dev/null) \
      || fail "cpack did not make the package"
    deb=("$work"/package/kalmix_*.deb)
    [[ -f ${deb[0]} ]] || fail "cpack made no kalmix_*.deb"
    cleanup+=("DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq kalmix >/dev/null 2>&1")
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${deb[0]}" >/dev/null \
      || fail "apt-get install ${deb[0]} failed"
    command -v kalmix >/dev/null || fail "the package put no kalmix on PATH"
    # Listed rather than looked for: minimal images may drop man pages on install.
    dpkg -L kalmix | grep -q '/man1/kalmix\.1' || fail "the package has no man page"
    export HOME=$work/home
    mkdir -p "$HOME"
    check_installed kalmix ;;
  *) echo "install_test.sh: mode is prefix or system" >&2; exit 2 ;;
esac
