#!/usr/bin/env bash
# Runs kalmix.so in a real frei0r host and compares the frames, byte for byte,
# with what `kalmix --raw` makes of the same frames.
#   host_test.sh ffmpeg|melt|gstreamer KALMIX PLUGIN_DIR
# Exit 77 (skipped) with a message when the host is not installed.
set -euo pipefail
host=$1 kalmix=$2 plugin_dir=$3
size=192x144 width=192 height=144 frames=30

skip() { echo "SKIPPED: $*" >&2; exit 77; }
command -v ffmpeg >/dev/null || skip "the ffmpeg program makes the test clip; install Debian package ffmpeg"
case $host in
  ffmpeg) [[ $(ffmpeg -hide_banner -filters 2>/dev/null) == *" frei0r "* ]] \
            || skip "this ffmpeg has no frei0r filter" ;;
  melt) command -v melt >/dev/null || skip "melt is not installed (Debian package melt)" ;;
  gstreamer) command -v gst-launch-1.0 >/dev/null \
               || skip "gst-launch-1.0 is not installed (Debian package gstreamer1.0-tools)" ;;
  *) echo "host_test.sh: unknown host '$host'" >&2; exit 2 ;;
esac

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# The module's state file goes here, and the hosts find the plug-in here only.
export WINDIR=$work FREI0R_PATH=$plugin_dir GST_REGISTRY=$work/gst-registry.bin
unset KALMIX_MODULE

# A moving test picture with noise that changes every frame, in BGRA.
ffmpeg -v error -f lavfi -i "testsrc2=size=$size:rate=25,noise=alls=12:allf=t,format=bgra" \
  -frames:v $frames -f rawvideo in.bgra
"$kalmix" --raw $size in.bgra -o expected.bgra -q

compare() {  # compare NAME FILE: the host's frames against kalmix's
  if ! cmp -s expected.bgra "$2"; then
    echo "FAILED: $1 differs from kalmix --raw ($(stat -c %s "$2") of $(stat -c %s expected.bgra) bytes; first difference: $(cmp expected.bgra "$2" 2>&1 | head -1))" >&2
    exit 1
  fi
  echo "$1: the same bytes as kalmix --raw"
}

case $host in
  ffmpeg)
    ffmpeg -v error -f rawvideo -pix_fmt bgra -video_size $size -framerate 25 -i in.bgra \
      -vf frei0r=kalmix -f rawvideo -pix_fmt bgra ffmpeg.bgra
    compare "ffmpeg -vf frei0r=kalmix" ffmpeg.bgra ;;
  melt)
    ffmpeg -v error -f rawvideo -pix_fmt bgra -video_size $size -framerate 25 -i in.bgra \
      -c:v ffv1 in.mkv
    # Serially, then on four render threads, as editors render: every run
    # must give the serial bytes.
    for run in serial parallel-1 parallel-2 parallel-3; do
      extra=()
      [[ $run == serial ]] || extra=(real_time=-4)
      melt -quiet in.mkv -filter frei0r.kalmix \
        -consumer "avformat:$run.mkv" vcodec=ffv1 pix_fmt=bgra "${extra[@]}" >/dev/null 2>melt.log \
        || { cat melt.log >&2; exit 1; }
      ffmpeg -v error -i "$run.mkv" -f rawvideo -pix_fmt bgra "$run.bgra"
      compare "melt ($run${extra:+, ${extra[*]}})" "$run.bgra"
    done ;;
  gstreamer)
    gst-inspect-1.0 frei0r-filter-kalmix >/dev/null 2>&1 \
      || skip "GStreamer has no element frei0r-filter-kalmix (Debian package gstreamer1.0-plugins-bad)"
    gst-launch-1.0 -q filesrc location=in.bgra \
      ! rawvideoparse format=bgra width=$width height=$height framerate=25/1 \
      ! frei0r-filter-kalmix ! filesink location=gstreamer.bgra
    compare "gst-launch-1.0 ... ! frei0r-filter-kalmix" gstreamer.bgra ;;
esac
