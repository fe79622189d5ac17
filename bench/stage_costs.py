#!/usr/bin/env python3
"""Splits each routine's time in one frame benchmark into a cost per row and
a cost per pixel, from perf profiles at several sizes.

    bench/stage_costs.py [--bench build/bench/kalmix_bench] [--scene still/default] [--seconds 2]

For each size it times BM_Frame/<scene>/<size> without perf (the best of
five repetitions), then samples the same benchmark with `perf record` and
shares that time out by the profile's self time per routine in user space
(the benchmark's own set-up left out). Each size gives one equation per
routine, t = rows * per_row + pixels * per_pixel, fitted by least squares.
A routine whose time follows the area has a per-row cost near 0; one that
pays per row (loop set-up, a ragged last step, per-row branches) shows it
there. The sizes are 96x64, 176x144 and 384x288, and where the benchmark
has them (the default settings) 96x288 and 384x64 too: frames of one width
and two heights, and of one height and two widths, tell a cost per row from
one per sample far better than sizes of nearly one shape. A routine bound by
memory at the largest size can come out with a negative per-row cost. The
machines are shared: run it twice and trust what both runs say. Needs perf
(Debian package linux-perf).
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

SIZES = [(96, 64), (176, 144), (384, 288)]
SHAPES = [(96, 288), (384, 64)]  # only where the benchmark has them
PREFIXES = {"p": 1e-12, "n": 1e-9, "u": 1e-6, "m": 1e-3, "": 1.0, "k": 1e3}


def frame_us(bench, name, seconds):
    """CPU microseconds a frame, from the benchmark's own timing."""
    out = subprocess.run([bench, f"--benchmark_filter=^{re.escape(name)}$", f"--benchmark_min_time={seconds / 5}",
                          "--benchmark_repetitions=5"], capture_output=True, text=True, check=True).stdout
    rates = []
    for line in out.splitlines():
        match = re.search(r"frames=([0-9.]+)([pnumk]?)/s", line)
        if line.split()[:1] == [name] and match:
            rates.append(float(match.group(1)) * PREFIXES[match.group(2)])
    if not rates:
        sys.exit(f"stage_costs.py: error: {bench} printed no result for {name}")
    return 1e6 / max(rates)


# Samples of the benchmark's own set-up (making the scenes' frames) and of the
# kernel, left out of the shares: the profile covers the whole process.
HARNESS = re.compile(r"kalmix::bench::|benchmark::|^main$|^_start|^__libc_start")


def shares(bench, name, seconds):
    """Share of the filter's self time of each routine under perf, in percent."""
    with tempfile.NamedTemporaryFile(suffix=".data") as data:
        subprocess.run(["perf", "record", "-q", "-F", "5000", "-o", data.name, bench,
                        f"--benchmark_filter=^{re.escape(name)}$", f"--benchmark_min_time={seconds}"],
                       capture_output=True, check=True)
        report = subprocess.run(["perf", "report", "-i", data.name, "--no-children", "--stdio", "--sort", "sym"],
                                capture_output=True, text=True, check=True).stdout
    result = {}
    for line in report.splitlines():
        match = re.match(r"\s+([0-9.]+)%\s+\[\.\]\s+(.*)", line)
        if match and not HARNESS.search(match.group(2)):
            routine = re.sub(r"\(.*", "", match.group(2).replace("(anonymous namespace)::", ""))
            routine = routine.split("::")[-1].strip()
            result[routine] = result.get(routine, 0.0) + float(match.group(1))
    total = sum(result.values())
    return {routine: 100.0 * share / total for routine, share in result.items()}


def listed(bench, scene):
    """The sizes the benchmark has BM_Frame/<scene> at, smallest first and the largest last."""
    names = subprocess.run([bench, "--benchmark_list_tests"], capture_output=True, text=True, check=True).stdout
    have = set(names.split())
    extra = [size for size in SHAPES if f"BM_Frame/{scene}/{size[0]}x{size[1]}" in have]
    return SIZES[:-1] + extra + SIZES[-1:]


def fit(sizes, values):
    """Least squares of t = rows * a + pixels * b over the sizes: (a, b)."""
    xs = [(float(h), float(w * h)) for w, h in sizes]
    srr = sum(r * r for r, _ in xs)
    srp = sum(r * p for r, p in xs)
    spp = sum(p * p for _, p in xs)
    srt = sum(r * t for (r, _), t in zip(xs, values))
    spt = sum(p * t for (_, p), t in zip(xs, values))
    det = srr * spp - srp * srp
    return (srt * spp - spt * srp) / det, (spt * srr - srt * srp) / det


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bench", default="build/bench/kalmix_bench")
    parser.add_argument("--scene", default="still/default", help="scene/params, as in BM_Frame/<scene>/<params>")
    parser.add_argument("--seconds", type=float, default=2.0, help="minimum time of each run")
    parser.add_argument("--top", type=int, default=14, help="routines shown, by time at the largest size")
    args = parser.parse_args()
    if shutil.which("perf") is None:
        sys.exit("stage_costs.py: error: perf is not installed (Debian package linux-perf)")
    if not os.access(args.bench, os.X_OK):
        sys.exit(f"stage_costs.py: error: no benchmark program at {args.bench} (build the kalmix_bench target)")

    sizes = listed(args.bench, args.scene)
    times = {}
    for width, height in sizes:
        name = f"BM_Frame/{args.scene}/{width}x{height}"
        total = frame_us(args.bench, name, args.seconds)
        times[(width, height)] = {k: total * v / 100 for k, v in shares(args.bench, name, args.seconds).items()}
        times[(width, height)]["(frame)"] = total
    largest = times[sizes[-1]]
    routines = sorted(largest, key=lambda k: -largest[k])[: args.top + 1]
    header = " | ".join(f"{w}x{h} us" for w, h in sizes)
    print(f"| routine | {header} | ns a row | ps a pixel | rows' share at {sizes[0][0]}x{sizes[0][1]} |")
    print("|---" * (len(sizes) + 4) + "|")
    for routine in routines:
        t = [times[size].get(routine, 0.0) for size in sizes]
        per_row, per_pixel = fit(sizes, t)
        share = per_row * sizes[0][1] / t[0] if t[0] else 0.0
        cells = " | ".join(f"{x:.2f}" for x in t)
        print(f"| {routine} | {cells} | {per_row * 1e3:.1f} | {per_pixel * 1e6:.1f} | {share:.0%} |")


if __name__ == "__main__":
    try:
        main()
    except subprocess.CalledProcessError as failure:
        stderr = failure.stderr or ""
        if isinstance(stderr, bytes):
            stderr = stderr.decode(errors="replace")
        reason = stderr.strip().splitlines()
        sys.exit(f"stage_costs.py: error: {failure.cmd[0]} failed" + (f": {reason[-1]}" if reason else ""))
