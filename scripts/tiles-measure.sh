#!/usr/bin/env bash
# Measures kalmix's tiled filtering as docs/tiles.md reports it: seams,
# quality and speed beside the ffmpeg program's hqdn3d and atadenoise on the
# same frames in the same run, --threads 1..cores, and peak memory.
#
#   scripts/tiles-measure.sh [BUILD_DIR] [WORK_DIR] [SIZExFRAMES ...]
#
# BUILD_DIR defaults to build/ beside this script's folder.
#
# Default sizes: 1920x1080x48 3840x2160x24 (size, then the number of frames).
#
# Needs the ffmpeg program (Debian package ffmpeg) and a build with kalmix
# and kalmix_tile_seams. The scene: a still 1920x1080 (and 3840x2160) picture
# with fresh noise in every frame (ffmpeg's noise filter, strength 10).
set -euo pipefail
build=$(realpath "${1:-$(dirname "$0")/../build}")
work=${2:-/tmp/kalmix-tiles-measure}
shift $(( $# > 2 ? 2 : $# ))
cases=("$@")
((${#cases[@]})) || cases=(1920x1080x48 3840x2160x24)
kalmix=$build/tools/kalmix/kalmix
seams=$build/bench/kalmix_tile_seams
command -v ffmpeg >/dev/null || { echo "tiles-measure: needs the ffmpeg program (apt-get install ffmpeg)" >&2; exit 1; }
[[ -x $kalmix && -x $seams ]] || { echo "tiles-measure: no kalmix and kalmix_tile_seams in $build: build them first" >&2; exit 1; }
mkdir -p "$work"
export WINDIR=$work/windir  # the per-tile state folders go under it
rm -rf "$WINDIR" && mkdir -p "$WINDIR"
cores=$(nproc)

# scene SIZE FRAMES: clean.png and noisy.bgra of that size
scene() {
  ffmpeg -v error -y -f lavfi -i "mandelbrot=size=$1:rate=25:start_scale=0.2:inner=mincol" -frames:v 1 "$work/clean-$1.png"
  ffmpeg -v error -y -loop 1 -i "$work/clean-$1.png" -vf "noise=alls=10:allf=t,format=bgra" -frames:v "$2" \
    -f rawvideo "$work/noisy-$1.bgra"
}

descendants() {  # a process and all below it
  local p
  echo "$1"
  for p in $(cat /proc/"$1"/task/*/children 2>/dev/null); do descendants "$p"; done
}

# peak PSS in MiB of a process and all below it, sampled while it runs
peak_memory() {
  local pid=$1 peak=0 total
  while kill -0 "$pid" 2>/dev/null; do
    total=0
    for p in $(descendants "$pid"); do
      total=$((total + $(awk '/^Pss:/ {print $2}' /proc/"$p"/smaps_rollup 2>/dev/null || echo 0)))
    done
    ((total > peak)) && peak=$total
    sleep 0.1
  done
  echo $((peak / 1024))
}

seconds() { date +%s.%N; }
# CPU time per frame of the last timed run, workers included (they are
# reaped by kalmix): a figure that other jobs on the machine change little.
cpu() { awk -v f="$1" '{ printf "CPU %.1f ms a frame", 1000 * ($1 + $2) / f }' "$work/time.txt"; }
fps() { awk -v f="$1" -v a="$2" -v b="$3" 'BEGIN { printf "%.1f", f / (b - a) }'; }


psnr() {  # psnr SIZE FILE: against the clean picture, over blue, green and red
  ffmpeg -v info -f rawvideo -pix_fmt bgra -s "$1" -i "$2" -loop 1 -i "$work/clean-$1.png" \
    -lavfi "[0:v]format=gbrp[a];[1:v]format=gbrp[b];[a][b]psnr=shortest=1" -f null - 2>&1 |
    sed -n 's/.*average:\([0-9.inf]*\).*/\1/p'
}

for case in "${cases[@]}"; do
  size=${case%x*} frames=${case##*x}
  scene "$size" "$frames"
  echo "== $size, $frames frames (frames read from a file in the page cache, written to a file)"
  cat "$work/noisy-$size.bgra" > /dev/null
  for threads in $(seq 1 "$cores"); do
    rm -rf "$WINDIR"/tiles
    /usr/bin/time -f '%U %S' -o "$work/time.txt" \
      "$kalmix" --raw "$size" "$work/noisy-$size.bgra" -o "$work/kalmix-$size.bgra" -y --threads "$threads" \
      2> "$work/kalmix.log" &
    memory=$(peak_memory $!)
    wait $!
    echo "kalmix --threads $threads: $(tail -1 "$work/kalmix.log" | sed 's/^kalmix: //'); peak memory ${memory} MiB; $(cpu "$frames")"
  done
  for filter in hqdn3d atadenoise; do
    start=$(seconds)
    # BGRA in and out, as kalmix
    /usr/bin/time -f '%U %S' -o "$work/time.txt" ffmpeg -v error -y -f rawvideo -pix_fmt bgra -s "$size" \
      -i "$work/noisy-$size.bgra" -vf "$filter,format=bgra" -f rawvideo "$work/$filter-$size.bgra"
    end=$(seconds)
    echo "ffmpeg $filter: $(fps "$frames" "$start" "$end") fps; $(cpu "$frames")"
  done
  if [[ $size == 1920x1080 ]]; then
    echo "-- quality: flicker (mean |luma change| between frames, frames 2 on; the whole scene is still), PSNR against the clean picture"
    for out in noisy kalmix hqdn3d atadenoise; do
      file=$work/$out-$size.bgra
      flicker=$("$seams" "$size" "$work/noisy-$size.bgra" "$file" | sed -n 's/.*output \([0-9.]*\).*/\1/p')
      echo "$out: flicker $flicker, PSNR $(psnr "$size" "$file") dB"
    done
    echo "-- seams"
    "$seams" "$size" "$work/noisy-$size.bgra" "$work/kalmix-$size.bgra" --map "$work/map-5.pgm" --corner "$work/corner.ppm"
    "$kalmix" --raw "$size" "$work/noisy-$size.bgra" -o "$work/kalmix2-$size.bgra" -y --primary 2 -q
    echo "primary 2:"
    "$seams" "$size" "$work/noisy-$size.bgra" "$work/kalmix2-$size.bgra" --map "$work/map-2.pgm"
  fi
done
