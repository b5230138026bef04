#!/usr/bin/env python3
"""Sums a gcovr JSON report per folder, and compares two reports.

  coverage-report.py REPORT          lines, branches and functions per folder, then the total
  coverage-report.py OLD NEW         the totals side by side, the lines and every function that
                                     OLD ran and NEW does not (exit 1 when there is one, or when line
                                     coverage fell by more than half a point)

Functions are matched by name and file name, not folder, so moving a file loses nothing.
"""
import json
import os
import sys
from collections import defaultdict


def load(path):
    with open(path) as f:
        return json.load(f)["files"]


def folder(path):
    parts = path.split("/")
    # src/ has a folder per subsystem; the other programs count as one folder each.
    if parts[0] == "src" and len(parts) > 2:
        return "/".join(parts[:2]) + "/"
    return parts[0] + "/"


def count(files):
    sums = defaultdict(lambda: [0, 0, 0, 0, 0, 0])
    for f in files:
        s = sums[folder(f["file"])]
        for line in f["lines"]:
            if line.get("gcovr/noncode"):
                continue
            s[0] += 1
            s[1] += line["count"] > 0
            for b in line.get("branches", []):
                s[2] += 1
                s[3] += b["count"] > 0
        for fn in f.get("functions", []):
            s[4] += 1
            s[5] += fn["execution_count"] > 0
    return sums


def pct(covered, total):
    return 100.0 * covered / total if total else 100.0


def total(sums):
    t = [0] * 6
    for s in sums.values():
        t = [a + b for a, b in zip(t, s)]
    return t


def covered_functions(files):
    names = set()
    for f in files:
        for fn in f.get("functions", []):
            if fn["execution_count"] > 0:
                names.add((fn["name"], os.path.basename(f["file"])))
    return names


def covered_lines(files):
    lines = set()
    for f in files:
        for line in f["lines"]:
            if line["count"] > 0 and not line.get("gcovr/noncode"):
                lines.add((os.path.basename(f["file"]), line["line_number"]))
    return lines


def report(path):
    sums = count(load(path))
    print(f"{'folder':<18}{'lines':>16}{'branches':>18}{'functions':>16}")
    rows = sorted(sums.items()) + [("total", total(sums))]
    for name, s in rows:
        print(f"{name:<18}{s[1]:>6}/{s[0]:<5}{pct(s[1], s[0]):5.1f}%"
              f"{s[3]:>7}/{s[2]:<5}{pct(s[3], s[2]):5.1f}%"
              f"{s[5]:>5}/{s[4]:<5}{pct(s[5], s[4]):5.1f}%")


def compare(old_path, new_path):
    old_files, new_files = load(old_path), load(new_path)
    old_t, new_t = total(count(old_files)), total(count(new_files))
    old_line, new_line = pct(old_t[1], old_t[0]), pct(new_t[1], new_t[0])
    print(f"lines      {old_line:6.2f}% -> {new_line:6.2f}%")
    print(f"branches   {pct(old_t[3], old_t[2]):6.2f}% -> {pct(new_t[3], new_t[2]):6.2f}%")
    print(f"functions  {pct(old_t[5], old_t[4]):6.2f}% -> {pct(new_t[5], new_t[4]):6.2f}%")
    lost_lines = sorted(covered_lines(old_files) - covered_lines(new_files))
    print(f"lines run before and not now: {len(lost_lines)}")
    for file, number in lost_lines[:40]:
        print(f"  {file}:{number}")
    lost = sorted(covered_functions(old_files) - covered_functions(new_files))
    for name, file in lost:
        print(f"no longer run: {name} ({file})")
    bad = bool(lost) or new_line < old_line - 0.5
    print("FAIL" if bad else "OK")
    return 1 if bad else 0


if __name__ == "__main__":
    if len(sys.argv) == 2:
        report(sys.argv[1])
    elif len(sys.argv) == 3:
        sys.exit(compare(sys.argv[1], sys.argv[2]))
    else:
        sys.exit(__doc__)
