#!/usr/bin/env python3
"""Prints the table of bench/run.sh from its results file.

Each line: LABEL|TOOL|INPUT|BYTES| wall user sys rssKB ... (one group per run)
or LABEL|TOOL|INPUT|failed / missing.
"""
import csv
import os
import statistics
import sys

NUMERIC = {"id", "height", "value", "count", "delta", "ratio"}


def decoded_megabytes(path):
    """8 bytes a number and the text bytes of the benchmark CSV."""
    total = 0
    with open(path, newline="") as f:
        reader = csv.reader(f)
        header = next(reader)
        kinds = [name in NUMERIC for name in header]
        for row in reader:
            for numeric, text in zip(kinds, row):
                total += 8 if numeric else len(text)
    return total / 1e6


def main():
    rows = []
    with open(sys.argv[1]) as f:
        for line in f:
            parts = line.rstrip("\n").split("|")
            label, tool, source = parts[:3]
            if len(parts) < 5:
                rows.append((label, tool, source, parts[3]))
                continue
            values = [float(x) for x in parts[4].split()]
            runs = [values[i:i + 4] for i in range(0, len(values), 4)]
            wall = [r[0] for r in runs]
            cpu = [r[1] + r[2] for r in runs]
            rss = [r[3] / 1024 for r in runs]
            rows.append((label, tool, source, {
                "mb": int(parts[3]) / 1e6,
                "wall": statistics.median(wall), "wall_lo": min(wall), "wall_hi": max(wall),
                "cpu": statistics.median(cpu), "cpu_lo": min(cpu), "cpu_hi": max(cpu),
                "rss": statistics.median(rss),
            }))

    def trovadex_row(label, source):
        for r in rows:
            if r[0] == label and r[2] == source and r[1] == "trovadex" and isinstance(r[3], dict):
                return r[3]
        return None

    print()
    print("| conversion | tool | input | MB | wall s (min-max) | CPU s (min-max) | MB/s wall | MB/s CPU "
          "| peak RSS MB | Trovadex faster by (wall / CPU) |")
    print("|---|---|---|---:|---:|---:|---:|---:|---:|---:|")
    for label, tool, source, m in rows:
        if not isinstance(m, dict):
            what = "conversion failed" if m == "failed" else "no input"
            print(f"| {label} | {tool} | {source} | | {what} | | | | | |")
            continue
        ratio = ""
        if tool != "trovadex":
            t = trovadex_row(label, source)
            if t:
                w, c = m['wall'] / t['wall'], m['cpu'] / max(t['cpu'], 1e-9)
                ratio = f"{w:.2g}x / {c:.2g}x"
        print(f"| {label} | {tool} | {source} | {m['mb']:.1f} | {m['wall']:.2f} ({m['wall_lo']:.2f}-{m['wall_hi']:.2f}) "
              f"| {m['cpu']:.2f} ({m['cpu_lo']:.2f}-{m['cpu_hi']:.2f}) | {m['mb'] / m['wall']:.0f} "
              f"| {m['mb'] / max(m['cpu'], 1e-9):.0f} | {m['rss']:.0f} | {ratio} |")

    # Linearity: 1,000,000 rows against 10 x 100,000 rows (CPU time).
    print()
    for label, tool, source, m in rows:
        if tool != "trovadex" or not isinstance(m, dict) or "-100k" not in source:
            continue
        big = trovadex_row(label, source.replace("-100k", ""))
        if big:
            print(f"linearity {label}: 1M rows {big['cpu']:.2f} s CPU, 100k rows {m['cpu']:.3f} s CPU: "
                  f"{big['cpu'] / (10 * m['cpu']):.2f} of 10x (wall {big['wall'] / (10 * m['wall']):.2f})")

    directory = os.path.dirname(os.path.realpath(sys.argv[1]))
    source = os.path.join(directory, "data.csv")
    if os.path.exists(source):
        decoded = decoded_megabytes(source)
        peak = max((m["rss"] for label, tool, s, m in rows
                    if isinstance(m, dict) and tool == "trovadex" and "-100k" not in s), default=0)
        print(f"decoded data of the 1,000,000-row table: {decoded:.1f} MB (8 bytes a number, the text bytes); "
              f"largest Trovadex peak RSS {peak:.0f} MB = {peak / decoded:.2f}x")


if __name__ == "__main__":
    main()
