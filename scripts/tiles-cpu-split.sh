#!/usr/bin/env bash
# CPU per frame of kalmix's tiled run, split into the kalmix process itself
# and the whole run (workers included), for two builds alternated in one run,
# so that the other jobs on a shared machine weigh on both alike.
#
#   scripts/tiles-cpu-split.sh OLD_BUILD NEW_BUILD FRAMES.bgra WxH [ROUNDS]
#
# FRAMES.bgra: raw BGRA frames of size WxH (scripts/tiles-measure.sh makes
# noisy-1920x1080.bgra). The kalmix process's own CPU (all its threads, not
# the workers) is sampled from /proc/PID/stat every 20 ms. With more than
# START_FRAMES frames, each round also runs the first START_FRAMES alone at
# --threads 2 and prints the CPU a frame past them: the steady state, without
# the workers' start, which is most of a short run's CPU.
set -euo pipefail
(($# >= 4)) || { echo "usage: $0 OLD_BUILD NEW_BUILD FRAMES.bgra WxH [ROUNDS]" >&2; exit 2; }
old=$(realpath "$1") new=$(realpath "$2") input=$3 size=$4 rounds=${5:-3}
width=${size%x*} height=${size#*x}
frames=$(( $(stat -c %s "$input") / (width * height * 4) ))
((frames > 0)) || { echo "tiles-cpu-split: $input holds no $size frame" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export WINDIR=$work/windir
tick=$(getconf CLK_TCK)

START_FRAMES=4
cpu=0  # CPU seconds of the last run, workers included

run() {  # LABEL THREADS BUILD [INPUT]
  rm -rf "$WINDIR" && mkdir -p "$WINDIR"
  local t0 t1 pid own=0 v
  t0=$(date +%s.%N)
  KALMIX_TILE_WORKER=$3/tools/tiles/kalmix-tile-worker /usr/bin/time -f "%U %S" -o "$work/time.txt" \
    "$3/tools/kalmix/kalmix" --raw "$size" "${4:-$input}" -o /dev/null --threads "$2" -q &
  sleep 0.05
  pid=$(pgrep -P $! -x kalmix || true)
  while [[ -n $pid ]] && v=$(awk '{print $14 + $15}' "/proc/$pid/stat" 2>/dev/null); do own=$v; sleep 0.02; done
  wait $!
  t1=$(date +%s.%N)
  cpu=$(awk '{ print $1 + $2 }' "$work/time.txt")
  [[ -n ${4:-} ]] && return
  awk -v l="$1" -v th="$2" -v f="$frames" -v a="$t0" -v b="$t1" -v p="$own" -v tk="$tick" \
    '{ printf "%-4s --threads %s  %5.1f frames/s  CPU %5.1f ms a frame, of it the kalmix process %5.1f ms\n",
       l, th, f / (b - a), 1000 * ($1 + $2) / f, 1000 * p / tk / f }' "$work/time.txt"
}

steady() {  # LABEL BUILD: CPU a frame past the first START_FRAMES (after a full run of BUILD)
  local whole=$cpu
  run "$1" 2 "$2" "$work/start.bgra"
  awk -v l="$1" -v w="$whole" -v s="$cpu" -v f="$frames" -v n="$START_FRAMES" \
    'BEGIN { printf "%-4s --threads 2  steady CPU %5.1f ms a frame (frames %d to %d)\n", l, 1000 * (w - s) / (f - n), n + 1, f }'
}

cat "$input" >/dev/null  # into the page cache
withSteady=0
if ((frames > 2 * START_FRAMES)); then
  head -c $((START_FRAMES * width * height * 4)) "$input" >"$work/start.bgra"
  withSteady=1
fi
for ((round = 1; round <= rounds; ++round)); do
  for threads in 1 2; do
    run old "$threads" "$old"
    ((threads == 2 && withSteady)) && steady old "$old"
    run new "$threads" "$new"
    ((threads == 2 && withSteady)) && steady new "$new"
  done
done
uptime
