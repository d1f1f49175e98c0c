#!/usr/bin/python3
"""Sums up the samples file of tools/soak/mixed_load.py:

  tools/soak/rss_summary.py /work/soak/rss.tsv [--warmup MINUTES]

The first --warmup minutes (default 6) are the warm-up; over the rest it prints
the RSS at its start and end, its least-squares slope in KiB per minute, its
lowest and highest value, and the range of threads and descriptors.
"""

import argparse
import csv


def slope(points):
    n = len(points)
    mx = sum(x for x, _ in points) / n
    my = sum(y for _, y in points) / n
    den = sum((x - mx) ** 2 for x, _ in points)
    return sum((x - mx) * (y - my) for x, y in points) / den if den else 0.0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("samples")
    parser.add_argument("--warmup", type=float, default=6)
    args = parser.parse_args()
    with open(args.samples) as f:
        rows = [(float(r["minute"]), int(r["rss_kib"]), int(r["threads"]), int(r["fds"]))
                for r in csv.DictReader(f, delimiter="\t")]
    warm = [r for r in rows if r[0] <= args.warmup]
    level = [r for r in rows if r[0] >= args.warmup]
    if len(level) < 2:
        print(f"{len(rows)} samples: not yet past the warm-up of {args.warmup} min")
        return
    rss = [r[1] for r in level]
    print(f"samples: {len(rows)}, {rows[-1][0]:.0f} min in all")
    print(f"warm-up: {warm[0][1]} KiB at start -> {warm[-1][1]} KiB at {warm[-1][0]:.0f} min")
    print(f"level part ({level[0][0]:.0f}..{level[-1][0]:.0f} min, {level[-1][0] - level[0][0]:.0f} min): "
          f"start {level[0][1]} KiB, end {level[-1][1]} KiB, min {min(rss)}, max {max(rss)}, "
          f"slope {slope([(r[0], r[1]) for r in level]):+.2f} KiB/min")
    print(f"threads {min(r[2] for r in level)}..{max(r[2] for r in level)}, "
          f"descriptors {min(r[3] for r in level)}..{max(r[3] for r in level)}")


if __name__ == "__main__":
    main()
