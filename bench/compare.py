#!/usr/bin/env python3
"""Turns kalmix_bench console output into a Markdown table; with two outputs
(before, after) it adds the speed-up.

    bench/compare.py AFTER.txt
    bench/compare.py BEFORE.txt AFTER.txt [--filter REGEX]

Time per frame comes from the `frames` counter, so a stage benchmark counts
its stage only (its manual time) and a frame benchmark the CPU time of the
whole execute call.
"""
import re
import sys

PREFIXES = {"p": 1e-12, "n": 1e-9, "u": 1e-6, "m": 1e-3, "": 1.0, "k": 1e3, "M": 1e6, "G": 1e9}
VALUE = re.compile(r"^([0-9.eE+-]+)([pnumkMG]?)(s|/s)?$")


def number(text):
    match = VALUE.match(text)
    if not match:
        raise ValueError(f"not a counter value: {text}")
    return float(match.group(1)) * PREFIXES[match.group(2)]


def parse(path):
    results = {}
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            if not line.startswith("BM_"):
                continue
            fields = line.split()
            name = re.sub(r"/iterations:\d+|/manual_time", "", fields[0])
            counters = dict(field.split("=", 1) for field in fields if "=" in field)
            if "frames" not in counters:
                continue
            results[name] = {
                "frame_us": 1e6 / number(counters["frames"]),
                "per_sample_ns": number(counters["per_sample"]) * 1e9,
                "changed": number(counters["changed"]) if "changed" in counters else None,
            }
    return results


def main(argv):
    pattern = None
    if "--filter" in argv:
        at = argv.index("--filter")
        pattern = re.compile(argv[at + 1])
        argv = argv[:at] + argv[at + 2:]
    if len(argv) not in (1, 2):
        sys.exit(__doc__)
    runs = [parse(path) for path in argv]
    after = runs[-1]
    before = runs[0] if len(runs) == 2 else None
    if before:
        print("| benchmark | before µs/frame | after µs/frame | speed-up | after frames/s | after ns/sample | changed % |")
        print("|---|---:|---:|---:|---:|---:|---:|")
    else:
        print("| benchmark | µs/frame | frames/s | ns/sample | changed % |")
        print("|---|---:|---:|---:|---:|")
    for name, result in after.items():
        if pattern and not pattern.search(name):
            continue
        changed = "" if result["changed"] is None else f"{result['changed']:.1f}"
        fps = 1e6 / result["frame_us"]
        if before:
            old = before.get(name)
            old_us = f"{old['frame_us']:.1f}" if old else "–"
            speedup = f"{old['frame_us'] / result['frame_us']:.1f}x" if old else "–"
            print(f"| {name} | {old_us} | {result['frame_us']:.1f} | {speedup} | {fps:.0f} | "
                  f"{result['per_sample_ns']:.2f} | {changed} |")
        else:
            print(f"| {name} | {result['frame_us']:.1f} | {fps:.0f} | {result['per_sample_ns']:.2f} | {changed} |")


if __name__ == "__main__":
    main(sys.argv[1:])
