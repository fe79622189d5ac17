#!/usr/bin/env python3
"""Counts the instructions a frame takes, routine by routine, under callgrind:
a measure of the work done that the machine's load does not move.

    bench/instructions.py [--bench build/bench/kalmix_bench] [--against OTHER_BENCH]
                          [--level avx2] [--case moving/default/384x288 ...] [--routines 15]

For each case (BM_Frame/<scene>/<settings>/<size>; by default the four scenes
at 384x288 and the moving one at 96x64 and 176x144) it runs kalmix_bench under
`valgrind --tool=callgrind` for one timed frame and counts only the one loop
of the scene that follows it (the 32 frames of `countedSceneLoop`, all in the
steady state). It prints the execute call's instructions a frame and a sample
and, for the first case, each routine's own instructions a frame. With
--against, both builds run each case and the ratio stands beside: for a
change that does less work this shows the gain to a fraction of a percent in
one run, where timings on a shared machine move by ten.

Instructions are not time: a 512-bit step counts as one, a cache miss as
nothing. Valgrind runs no AVX-512, so the AVX2 level is the default
(KALMIX_CPU); sse2 and c work too. A case takes a few seconds. Needs valgrind.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

DEFAULT_CASES = ["still/default/384x288", "moving/default/384x288", "new_picture/default/384x288",
                 "worst_extent/default/384x288", "moving/default/96x64", "moving/default/176x144"]
LOOP = "countedSceneLoop"
FRAMES_A_LOOP = 32  # SCENE_PERIOD
EXECUTE = "kalmix::executeFrame("
LEVELS = ["avx2", "sse2", "c"]


def fail(message):
    sys.exit(f"instructions.py: error: {message}")


def short_name(name):
    """A routine's name without its file, binary, parameters, return type and namespaces."""
    name = re.sub(r" \[/[^\]]*\]$", "", name)  # the binary
    prefixed = re.match(r"^([^:]*):(?!:)(.*)$", name)  # file:routine, not a namespace's ::
    if prefixed:
        name = prefixed.group(2)
    suffix = ""
    clone = re.search(r" \[clone [^\]]*\]$", name)
    if clone:
        name, suffix = name[:clone.start()], clone.group(0)
    name = re.sub(r" const$", "", name)
    if name.endswith(")"):  # the parameter list
        depth = 0
        for i in range(len(name) - 1, -1, -1):
            depth += {")": 1, "(": -1}.get(name[i], 0)
            if depth == 0:
                name = name[:i]
                break
    name = re.sub(r"^void ", "", name)
    for prefix in ("(anonymous namespace)::", "kalmix::", "avx2::", "sse2::", "avx512::"):
        name = name.replace(prefix, "")
    return name + suffix


def loop_runs(out_file):
    """How many times the counted loop ran (Google Benchmark may run a case more than once)."""
    ids, runs, pending = set(), 0, False
    with open(out_file, encoding="utf-8", errors="replace") as lines:
        for line in lines:
            match = re.match(r"c?fn=\((\d+)\)(?: (.*))?", line)
            if match:
                if match.group(2) and LOOP in match.group(2):
                    ids.add(match.group(1))
                pending = line.startswith("cfn=") and match.group(1) in ids
                continue
            if pending and line.startswith("calls="):
                runs += int(line.split("=", 1)[1].split()[0])
                pending = False
    return runs


def annotate(out_file, inclusive):
    """{routine as callgrind_annotate names it: instructions} of the counted loop."""
    text = subprocess.run(["callgrind_annotate", f"--inclusive={'yes' if inclusive else 'no'}", "--threshold=100",
                           "--auto=no", out_file], capture_output=True, text=True, check=True).stdout
    costs = {}
    for line in text.splitlines():
        match = re.match(r"^\s*([0-9,]+) \([ 0-9.]+%\)\s+(.*)$", line)
        if match and "PROGRAM TOTALS" not in match.group(2):
            costs[match.group(2)] = costs.get(match.group(2), 0) + int(match.group(1).replace(",", ""))
    return costs


def measure(bench, case, level):
    """(execute call's instructions a frame, {short routine name: own instructions a frame})."""
    with tempfile.TemporaryDirectory() as directory:
        out_file = os.path.join(directory, "callgrind.out")
        run = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out_file}",
                              f"--toggle-collect=*{LOOP}*", bench, f"--benchmark_filter=^BM_Frame/{case}$",
                              "--benchmark_min_time=0"],
                             capture_output=True, text=True, env=dict(os.environ, KALMIX_CPU=level))
        if run.returncode != 0 or not os.path.exists(out_file):
            fail(f"{bench} under valgrind failed for {case}: {run.stderr.strip().splitlines()[-1:]}")
        if f"BM_Frame/{case}" not in run.stdout:
            fail(f"{bench} has no benchmark BM_Frame/{case}")
        runs = loop_runs(out_file)
        if runs == 0:
            fail(f"{bench} has no {LOOP} to count on (an older build?)")
        frames = runs * FRAMES_A_LOOP
        # Code inlined from other files is listed again under their names; the
        # entry of the routine's own file holds all of it.
        execute = max((cost for name, cost in annotate(out_file, True).items() if EXECUTE in name), default=0)
        routines = {}
        for name, cost in annotate(out_file, False).items():
            short = short_name(name)
            routines[short] = routines.get(short, 0) + cost / frames
        return execute / frames, routines


def samples(case):
    width, height = (int(side) for side in case.rsplit("/", 1)[1].split("x"))
    return 3 * width * height


def main():
    parser = argparse.ArgumentParser(description="Counts the instructions a frame takes under callgrind.")
    parser.add_argument("--bench", default="build/bench/kalmix_bench")
    parser.add_argument("--against", help="a second kalmix_bench to compare (its figures are B)")
    parser.add_argument("--level", default="avx2", choices=LEVELS)
    parser.add_argument("--case", action="append", help="scene/settings/size, as in BM_Frame's names")
    parser.add_argument("--routines", type=int, default=15, help="routines listed for the first case")
    args = parser.parse_args()
    if not shutil.which("valgrind") or not shutil.which("callgrind_annotate"):
        fail("needs valgrind (Debian package valgrind)")
    benches = [args.bench] + ([args.against] if args.against else [])
    for bench in benches:
        if not os.access(bench, os.X_OK):
            fail(f"no benchmark program at {bench}")
    cases = args.case or DEFAULT_CASES

    print(f"Instructions a frame at the {args.level} level, {FRAMES_A_LOOP} steady-state frames a case")
    print()
    if args.against:
        print("| case | A | B | B/A | A a sample |")
        print("|---|---:|---:|---:|---:|")
    else:
        print("| case | instructions a frame | a sample |")
        print("|---|---:|---:|")
    first = None
    for case in cases:
        results = [measure(bench, case, args.level) for bench in benches]
        if first is None:
            first = (case, results)
        a = results[0][0]
        if args.against:
            b = results[1][0]
            print(f"| {case} | {a:,.0f} | {b:,.0f} | {b / a:.4f} | {a / samples(case):.2f} |")
        else:
            print(f"| {case} | {a:,.0f} | {a / samples(case):.2f} |")
        sys.stdout.flush()

    case, results = first
    print()
    print(f"Routines of {case}, own instructions a frame (the benchmark's own code included):")
    print()
    names = sorted(results[0][1], key=lambda name: -max(r[1].get(name, 0) for r in results))[:args.routines]
    if args.against:
        print("| routine | A | B | B/A |")
        print("|---|---:|---:|---:|")
        for name in names:
            a, b = results[0][1].get(name, 0), results[1][1].get(name, 0)
            ratio = f"{b / a:.3f}" if a else "new"
            print(f"| {name} | {a:,.0f} | {b:,.0f} | {ratio} |")
    else:
        print("| routine | instructions |")
        print("|---|---:|")
        for name in names:
            print(f"| {name} | {results[0][1][name]:,.0f} |")


if __name__ == "__main__":
    main()
