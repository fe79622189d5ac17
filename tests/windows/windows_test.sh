#!/usr/bin/env bash
# One step of the Windows module's tests, run by CTest from the native build:
#   windows_test.sh build|pe|resources|dialogs|state|crosscheck ARCH
#   windows_test.sh screenshots ARCH OUTPUT_DIRECTORY   (for the documentation)
# ARCH is i686 (the module as shipped) or x86_64 (the same sources for 64-bit
# Wine, on machines that cannot execute 32-bit code). Exits 77 (skipped) when
# the machine lacks the cross compiler or a Wine that runs ARCH.
# Environment: KALMIX_SOURCE_DIR, KALMIX_WINDOWS_DIR (work directory in the
# build tree), KALMIX_BUILD_TYPE, KALMIX_GENERATOR, KALMIX_CROSSCHECK_WRITER;
# KALMIX_WINDOWS_PREBUILT=1 where the build was copied in without the cross
# compiler (scripts/test-win32.sh), KALMIX_WINE_TIMEOUT seconds per Wine run.
set -uo pipefail

step=${1:?step}
arch=${2:?arch}
source_dir=${KALMIX_SOURCE_DIR:?}
work=${KALMIX_WINDOWS_DIR:?}
triple=$arch-w64-mingw32
build=$work/$arch
bin=$build/bin

skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }

have_cross_tools() {
  command -v "$triple-g++-win32" >/dev/null || command -v "$triple-g++" >/dev/null || return 1
  command -v "$triple-windres" >/dev/null && command -v "$triple-dlltool" >/dev/null &&
    command -v "$triple-objdump" >/dev/null
}

# Whether FILE is a 32-bit ELF program (class byte 1 after the magic).
elf32() {
  [[ $(od -An -tx1 -N5 "$1" 2>/dev/null | tr -d ' \n') == 7f454c4601 ]]
}

# The Wine loader that runs ARCH's programs, if this machine has one that works.
# Debian's `wine` runs 32-bit programs only where the kernel executes i386 code,
# and only with wine32:i386 installed: without it, its `wine` script hands
# everything to the 64-bit loader, which cannot make a 32-bit prefix. So the
# i686 loader must itself be 32-bit code.
wine_for() {
  local candidates
  if [[ $1 == i686 ]]; then candidates=(/usr/lib/wine/wine "$(command -v wine)")
  else candidates=(/usr/lib/wine/wine64 "$(command -v wine64)"); fi
  local loader
  for loader in "${candidates[@]}"; do
    [[ -n $loader && -x $loader ]] || continue
    [[ $1 != i686 ]] || elf32 "$(readlink -f "$loader")" || continue
    "$loader" --version >/dev/null 2>&1 && { echo "$loader"; return 0; }
  done
  return 1
}

wineserver_for() {
  local server
  for server in "$(dirname "$1")/wineserver$([[ $2 == x86_64 ]] && echo 64 || echo 32)" \
                "$(command -v wineserver)"; do
    [[ -n $server && -x $server ]] && { echo "$server"; return 0; }
  done
  return 1
}

require_build() {
  [[ ${KALMIX_WINDOWS_PREBUILT:-0} == 1 ]] || have_cross_tools ||
    skip "no MinGW-w64 cross compiler for $arch"
  [[ -f $bin/Kalmix.PRM && -f $bin/PREMINFO.DLL && -f $bin/kalmix_win_host.exe ]] ||
    fail "the $arch build is missing: run the windows_${arch}_build test first"
}

# A private prefix per word size, made once: fonts where Wine's dialogs look
# for them, and unmanaged windows (no window manager runs under Xvfb).
prepare_prefix() {
  local host_arch=$1 wine=$2
  export WINEPREFIX=$work/wineprefix-$host_arch WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEARCH=$([[ $host_arch == i686 ]] && echo win32 || echo win64)
  [[ -f $WINEPREFIX/.kalmix-ready ]] && return 0
  rm -rf "$WINEPREFIX"
  local started=$SECONDS
  if ! "$wine" wineboot.exe -i >"$work/wineboot.log" 2>&1; then
    tail -n 20 "$work/wineboot.log"
    fail "wineboot failed for $WINEPREFIX"
  fi
  "$wine" regedit.exe /S "$("$wine" winepath.exe -w "$source_dir/tests/windows/wine-x11.reg" 2>/dev/null)" \
    >/dev/null 2>&1 || fail "cannot import wine-x11.reg"
  if [[ -d /usr/share/wine/fonts ]]; then
    cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/"
  fi
  "$(wineserver_for "$wine" "$host_arch")" -w
  touch "$WINEPREFIX/.kalmix-ready"
  echo "wine prefix $WINEPREFIX made in $((SECONDS - started)) s"
}

# Runs the test host of HOST_ARCH under Wine and a private X server.
run_host() {
  local host_arch=$1; shift
  local wine
  wine=$(wine_for "$host_arch") || skip "no Wine here that runs $host_arch programs"
  command -v xvfb-run >/dev/null || skip "no xvfb-run"
  prepare_prefix "$host_arch" "$wine"
  local server
  server=$(wineserver_for "$wine" "$host_arch")
  local host_bin=$work/$host_arch/bin
  cd "$host_bin" || fail "no $host_bin"
  # Wine's own servers are ended with the run so the X server can go quietly.
  # xvfb-run -a picks its display racily: runs from other build trees on this
  # machine take turns through one lock.
  flock "${TMPDIR:-/tmp}/kalmix-xvfb-$(id -u).lock" \
    timeout "${KALMIX_WINE_TIMEOUT:-120}" xvfb-run -a -s "-screen 0 800x600x24" \
    sh -c '"$0" kalmix_win_host.exe "$@"; status=$?; "'"$server"'" -k; exit $status' "$wine" "$@"
}

# run_host for steps that only read (the resources, the dialogs), once more
# when Wine died of a signal: under load, 32-bit Wine now and then crashes as
# the process ends, after the host has reported. A crash of ours happens in
# both runs and still fails.
run_host_again_after_a_crash() {
  run_host "$@"
  local status=$?
  (( status > 128 )) || return "$status"
  echo "Wine ended by signal $((status - 128)); running the step once more"
  run_host "$@"
}

case $step in
build)
  have_cross_tools || skip "no MinGW-w64 cross compiler for $arch"
  started=$SECONDS
  # The native build's type and optimisation, without debug information,
  # which only slows the cross build down.
  cmake -S "$source_dir/tests/windows/cross" -B "$build" -G "${KALMIX_GENERATOR:-Ninja}" \
    --toolchain "$source_dir/cmake/toolchain-$triple.cmake" \
    -DCMAKE_BUILD_TYPE="${KALMIX_BUILD_TYPE:-RelWithDebInfo}" \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_DEBUG="-O0" >/dev/null ||
    fail "configure"
  cmake --build "$build" -j "$(nproc)" || fail "build"
  echo "built $arch in $((SECONDS - started)) s"
  ;;
pe)
  require_build
  source "$build/artefacts.txt" 2>/dev/null || fail "no artefacts.txt"
  status=0
  headers=$("$OBJDUMP" -p "$MODULE") || fail "objdump"
  format=$([[ $arch == i686 ]] && echo pei-i386 || echo pei-x86-64)
  grep -q "file format $format" <<<"$headers" || { echo "FAIL: not a $format file"; status=1; }
  # Exports: xFilter alone, by its plain name.
  exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && NF == 0 {on=0} on {print $NF}' <<<"$headers")
  [[ $exports == xFilter ]] || { echo "FAIL: exports [$exports], expected xFilter alone"; status=1; }
  # Imports: Windows' own DLLs and PREMINFO, nothing of the compiler's runtime.
  dlls=$(awk '/DLL Name:/ {print toupper($3)}' <<<"$headers" | sort | tr '\n' ' ')
  for dll in $dlls; do
    case $dll in
      KERNEL32.DLL|USER32.DLL|COMCTL32.DLL|MSVCRT.DLL|PREMINFO.DLL) ;;
      *) echo "FAIL: imports $dll"; status=1 ;;
    esac
  done
  # PREMINFO by ordinal only: 235 and 378, no names. An import by ordinal has
  # the top bit of its thunk set and the ordinal in the low 16 bits.
  preminfo=$(awk '/DLL Name:/ {on = (toupper($3) == "PREMINFO.DLL"); next}
                  on && /^\t[0-9a-f]+\t/ {print $1, $NF}' <<<"$headers" |
    while read -r thunk name; do
      [[ $thunk == 8* ]] && echo -n "$((16#${thunk: -4})) $name;" || echo -n "named $name;"
    done)
  [[ $preminfo == "235 <none>;378 <none>;" ]] ||
    { echo "FAIL: PREMINFO imports [$preminfo], expected ordinals 235 and 378 without names"; status=1; }
  # The trackbar class is registered before the module's dialogs.
  grep -q 'InitCommonControlsEx' <<<"$headers" ||
    { echo "FAIL: InitCommonControlsEx is not imported"; status=1; }
  if [[ $arch == i686 ]]; then
    # The frames must match the native module's bytes: no x87 arithmetic in
    # the filter's own code (the C runtime is not ours to judge).
    IFS=: read -r -a objects <<<"$MODULE_OBJECTS"
    x87=$("$OBJDUMP" -d -M intel --no-show-raw-insn "$CORE" "${objects[@]}" |
      grep -E $'\tf(i?(add|sub|subr|mul|div|divr)p?|sqrt|prem1?|rndint|scale)( |$)' | head -5)
    [[ -z $x87 ]] || { echo "FAIL: x87 arithmetic in the filter:"; echo "$x87"; status=1; }
  fi
  echo "$(basename "$MODULE") ($arch): exports [$exports], imports [$dlls], PREMINFO [$preminfo]"
  exit $status
  ;;
resources)
  require_build
  # The 32-bit module's resources can be read by a 64-bit host as data.
  host_arch=$arch
  if ! wine_for "$arch" >/dev/null && [[ $arch == i686 ]] && wine_for x86_64 >/dev/null &&
     [[ -f $work/x86_64/bin/kalmix_win_host.exe ]]; then
    host_arch=x86_64
  fi
  cp "$bin/Kalmix.PRM" "$work/$host_arch/bin/resources-$arch.PRM" 2>/dev/null || true
  run_host_again_after_a_crash "$host_arch" resources "resources-$arch.PRM"
  ;;
dialogs)
  require_build
  run_host_again_after_a_crash "$arch" dialogs Kalmix.PRM
  ;;
state)
  require_build
  run_host "$arch" state Kalmix.PRM
  ;;
crosscheck)
  require_build
  wine_for "$arch" >/dev/null || skip "no Wine here that runs $arch programs"
  # The native module's frames, with its state file kept out of the way.
  native_windir=$work/native-windir
  rm -rf "$native_windir" && mkdir -p "$native_windir"
  WINDIR=$native_windir "${KALMIX_CROSSCHECK_WRITER:?}" "$bin/crosscheck.bin" ||
    fail "the native module could not write the cross-check frames"
  run_host "$arch" crosscheck Kalmix.PRM crosscheck.bin
  ;;
screenshots)
  # Not a test: pictures of both dialogs for the documentation, into $3.
  out=${3:?output directory}
  require_build
  command -v convert >/dev/null || skip "no ImageMagick convert"
  rm -f "$bin/about-box.bmp" "$bin/parameter-dialog.bmp"
  run_host "$arch" screenshots Kalmix.PRM about-box.bmp parameter-dialog.bmp || fail "screenshots"
  mkdir -p "$out"
  for name in about-box parameter-dialog; do
    convert "$bin/$name.bmp" -strip "$out/$name.png" || fail "convert $name"
    echo "wrote $out/$name.png"
  done
  ;;
*)
  echo "unknown step $step" >&2
  exit 2
  ;;
esac
