#!/usr/bin/env python3
"""Measures the speed targets in one run and prints where each stands.

    bench/targets.py [--build build] [--rounds 5] [--seconds 0.3] [--frames 1200] [--no-tool]

Each round runs kalmix_bench once over BM_Frame/<scene>/default for the four
scenes at 96x64, 176x144 and 384x288, then `kalmix --raw` over FRAMES frames
of the moving scene at 384x288 (written once by kalmix_scene_frames, read from
the page cache, written to /dev/null). The rounds take turns, so that a change
in the machine's load hits the benchmark and the program alike; the best CPU
time of each benchmark, and the best wall and CPU time of the program, count.

The targets:
- the moving frame at 384x288: at least 3,000 frames/s;
- every block changed (new picture) and the worst extent: at most 3 times the
  moving frame;
- 96x64 and 176x144 within 15 % of 384x288 per sample, scene by scene. The
  share of changed blocks stands beside: the moving scene's objects travel a
  fixed number of pixels a frame, so a small frame changes more of its blocks;
- `kalmix --raw`, whole process: at most 10 % above the module's own time for
  the same frames (the moving frame's best time, times FRAMES), by wall time
  and by CPU time.
The peers' target (at least 3 times hqdn3d) is bench/peers.sh's.

Needs the kalmix_bench, kalmix and kalmix_scene_frames targets of the build
(a Release or RelWithDebInfo one). KALMIX_CPU, when set, caps the level of
both, as it does everywhere.
"""
import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

SCENES = ["still", "moving", "new_picture", "worst_extent"]
SIZES = ["96x64", "176x144", "384x288"]
LARGEST = "384x288"
FRAMES_PER_SECOND = 3000
HEAVY_LIMIT = 3.0
SAMPLE_LIMIT = 0.15
TOOL_LIMIT = 0.10


def fail(message):
    sys.exit(f"targets.py: error: {message}")


def bench_round(bench, seconds):
    """One kalmix_bench run: {name: (cpu µs, changed %)} and the run's context."""
    pattern = f"^BM_Frame/({'|'.join(SCENES)})/default/({'|'.join(SIZES)})$"
    run = subprocess.run([bench, f"--benchmark_filter={pattern}", f"--benchmark_min_time={seconds}",
                          "--benchmark_format=json"], capture_output=True, text=True)
    if run.returncode != 0:
        fail(f"{bench} failed: {run.stderr.strip()}")
    report = json.loads(run.stdout)
    results = {}
    for entry in report["benchmarks"]:
        if entry["time_unit"] != "us":
            fail(f"{entry['name']}: unexpected time unit {entry['time_unit']}")
        results[entry["name"]] = (entry["cpu_time"], entry["changed"])
    if len(results) != len(SCENES) * len(SIZES):
        fail(f"{bench} ran {len(results)} of the {len(SCENES) * len(SIZES)} frame benchmarks")
    return results, report["context"]


def tool_round(command):
    """Wall and CPU seconds (user + system) of one whole run of the program."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    run = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if run.returncode != 0:
        fail(f"{' '.join(command)} failed: {run.stderr.strip()}")
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def processor():
    fields = {}
    with open("/proc/cpuinfo", encoding="utf-8") as info:
        for line in info:
            key, _, value = line.partition(":")
            fields.setdefault(key.strip(), value.strip())
    return f"{fields.get('model name', '?')}, family {fields.get('cpu family', '?')} model {fields.get('model', '?')}"


def verdict(met):
    return "met" if met else "not met"


def main():
    parser = argparse.ArgumentParser(description="Measures the speed targets in one run.")
    parser.add_argument("--build", default="build")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=0.3, help="minimum time of each benchmark in a round")
    parser.add_argument("--frames", type=int, default=1200)
    parser.add_argument("--no-tool", action="store_true", help="leave the program's run out")
    args = parser.parse_args()
    if args.rounds < 1 or args.frames < 1 or args.seconds <= 0:
        fail("--rounds, --frames and --seconds must be positive")
    bench = os.path.join(args.build, "bench", "kalmix_bench")
    kalmix = os.path.join(args.build, "tools", "kalmix", "kalmix")
    generator = os.path.join(args.build, "bench", "kalmix_scene_frames")
    for path in [bench] + ([] if args.no_tool else [kalmix, generator]):
        if not os.access(path, os.X_OK):
            fail(f"{path} is missing: cmake --build {args.build} --target {os.path.basename(path)}")

    best = {}
    walls, cpus = [], []
    context = {}
    with tempfile.TemporaryDirectory() as work:
        frames = os.path.join(work, "frames.bgra")
        command = [kalmix, "--raw", LARGEST, frames, "-o", "/dev/null", "-q"]
        if not args.no_tool:
            subprocess.run([generator, "moving", LARGEST, str(args.frames), frames], check=True)
            tool_round(command)  # the frames into the page cache, the program's pages in
        for _ in range(args.rounds):
            results, context = bench_round(bench, args.seconds)
            for name, (cpu, changed) in results.items():
                if name not in best or cpu < best[name][0]:
                    best[name] = (cpu, changed)
            if not args.no_tool:
                wall, cpu = tool_round(command)
                walls.append(wall)
                cpus.append(cpu)

    def frame_us(scene, size):
        return best[f"BM_Frame/{scene}/default/{size}"][0]

    def changed(scene, size):
        return best[f"BM_Frame/{scene}/default/{size}"][1]

    def per_sample(scene, size):
        width, height = (int(side) for side in size.split("x"))
        return frame_us(scene, size) / (width * height)

    load = [f"{value:.2f}" for value in context.get("load_avg") or []] or ["?"]
    print(f"{processor()}; level {context.get('kalmix_level', '?')}; best of {args.rounds} rounds, "
          f"load average {load[0]} at the last")
    print()
    print("| Target | Measured | |")
    print("|---|---|---|")
    moving = frame_us("moving", LARGEST)
    print(f"| moving frame at {LARGEST}, at least {FRAMES_PER_SECOND:,} frames/s | {moving:.1f} µs, "
          f"{1e6 / moving:,.0f} frames/s | {verdict(1e6 / moving >= FRAMES_PER_SECOND)} |")
    for scene in ["new_picture", "worst_extent"]:
        ratio = frame_us(scene, LARGEST) / moving
        print(f"| {scene} at most {HEAVY_LIMIT:g} times the moving frame | {ratio:.2f}x | "
              f"{verdict(ratio <= HEAVY_LIMIT)} |")
    for scene in SCENES:
        excess = {size: per_sample(scene, size) / per_sample(scene, LARGEST) - 1 for size in SIZES[:-1]}
        shown = ", ".join(f"{size} {excess[size] * 100:+.0f} %" for size in excess)
        shares = " / ".join(f"{changed(scene, size):.3g}" for size in SIZES)
        met = all(value <= SAMPLE_LIMIT for value in excess.values())
        print(f"| {scene}: {' and '.join(SIZES[:-1])} within {SAMPLE_LIMIT * 100:.0f} % of {LARGEST} per sample | "
              f"{shown} (changed blocks {shares} %) | {verdict(met)} |")
    if not args.no_tool:
        module = moving * 1e-6 * args.frames
        wall, cpu = min(walls) / module - 1, min(cpus) / module - 1
        print(f"| `kalmix --raw` at most {TOOL_LIMIT * 100:.0f} % above the module ({args.frames:,} frames, "
              f"{module:.2f} s) | wall {min(walls):.2f} s ({wall * 100:+.0f} %), CPU {min(cpus):.2f} s "
              f"({cpu * 100:+.0f} %) | by wall time {verdict(wall <= TOOL_LIMIT)}, "
              f"by CPU {verdict(cpu <= TOOL_LIMIT)} |")


if __name__ == "__main__":
    main()
