#!/usr/bin/env bash
# Times `kalmix --raw` beside the ffmpeg program's hqdn3d and atadenoise
# filters on the same raw BGRA frames, in one run, and prints frames per second
# and the ratios. Each command runs as a whole process, its filter on one
# thread (kalmix reads its input ahead on a second one; CPU time counts both),
# reading the frames from a file (in the page cache after the first pass) and
# writing BGRA to /dev/null; the best of --repeat runs counts.
#
#   bench/peers.sh [--build DIR] [--frames N] [--size WxH] [--scene NAME] [--repeat N]
#
# Needs the kalmix and kalmix_scene_frames targets of DIR (default build/) and
# the ffmpeg program (Debian package ffmpeg).
set -euo pipefail
cd "$(dirname "$0")/.."

build=build frames=1200 size=384x288 scene=moving repeat=3
die() { echo "peers.sh: error: $*" >&2; exit 1; }
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) build=${2:?}; shift 2 ;;
    --frames) frames=${2:?}; shift 2 ;;
    --size) size=${2:?}; shift 2 ;;
    --scene) scene=${2:?}; shift 2 ;;
    --repeat) repeat=${2:?}; shift 2 ;;
    -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown argument '$1' (see --help)" ;;
  esac
done
[[ $frames =~ ^[1-9][0-9]*$ ]] || die "--frames '$frames' is not a positive number"
[[ $repeat =~ ^[1-9][0-9]*$ ]] || die "--repeat '$repeat' is not a positive number"
[[ $size =~ ^[1-9][0-9]*x[1-9][0-9]*$ ]] || die "--size '$size' is not WxH"

kalmix=$build/tools/kalmix/kalmix
generator=$build/bench/kalmix_scene_frames
command -v ffmpeg >/dev/null ||
  die "the ffmpeg program is not installed (Debian: apt-get install ffmpeg)"
[[ -x $kalmix ]] || die "$kalmix is missing: cmake --build $build --target kalmix"
[[ -x $generator ]] || die "$generator is missing: cmake --build $build --target kalmix_scene_frames"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
input=$work/frames.bgra
"$generator" "$scene" "$size" "$frames" "$input"
cat "$input" >/dev/null  # into the page cache before the first timed run

raw_in=(-f rawvideo -pix_fmt bgra -s "$size" -i "$input")
raw_out=(-f rawvideo -pix_fmt bgra -y /dev/null)
ffmpeg_common=(-nostdin -v error -threads 1 -filter_threads 1)
declare -A commands=(
  [kalmix]="$kalmix --raw $size $input -o /dev/null -q"
  [hqdn3d]="ffmpeg ${ffmpeg_common[*]} ${raw_in[*]} -vf hqdn3d,format=bgra ${raw_out[*]}"
  [atadenoise]="ffmpeg ${ffmpeg_common[*]} ${raw_in[*]} -vf atadenoise,format=bgra ${raw_out[*]}"
)
order=(kalmix hqdn3d atadenoise)
TIMEFORMAT='%R %U %S'

# Best wall and CPU (user + system) seconds of each, taking turns so that a
# change in the machine's load hits all three alike.
declare -A wall cpu
for ((round = 0; round < repeat; ++round)); do
  for name in "${order[@]}"; do
    # shellcheck disable=SC2086  # the command lines hold no quoted words
    if ! { time ${commands[$name]} >/dev/null 2>"$work/errors"; } 2>"$work/time"; then
      cat "$work/errors" >&2
      die "$name failed: ${commands[$name]}"
    fi
    read -r elapsed user system <"$work/time"
    total=$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.3f", u + s }')
    if [[ -z ${wall[$name]:-} ]] || awk -v a="$elapsed" -v b="${wall[$name]}" 'BEGIN { exit !(a < b) }'; then
      wall[$name]=$elapsed
    fi
    if [[ -z ${cpu[$name]:-} ]] || awk -v a="$total" -v b="${cpu[$name]}" 'BEGIN { exit !(a < b) }'; then
      cpu[$name]=$total
    fi
  done
done

echo "$frames frames of $size ($scene scene), best of $repeat, whole processes, filters on one thread"
printf '%-12s %12s %12s %14s %14s\n' "" "wall s" "frames/s" "cpu s" "frames/s (cpu)"
for name in "${order[@]}"; do
  awk -v n="$name" -v f="$frames" -v w="${wall[$name]}" -v c="${cpu[$name]}" \
    'BEGIN { printf "%-12s %12.2f %12.1f %14.2f %14.1f\n", n, w, (w > 0 ? f / w : 0), c, (c > 0 ? f / c : 0) }'
done
for peer in hqdn3d atadenoise; do
  awk -v p="$peer" -v kw="${wall[kalmix]}" -v pw="${wall[$peer]}" -v kc="${cpu[kalmix]}" -v pc="${cpu[$peer]}" \
    'BEGIN { printf "kalmix / %-10s %6.2fx (wall)  %6.2fx (cpu)\n", p, (kw > 0 ? pw / kw : 0), (kc > 0 ? pc / kc : 0) }'
done
