#!/usr/bin/env python3
# Prints the benchmark table from bench/run's paired results: per-pair ratios as min/median/max,
# and each bar judged on the median.
import statistics
import sys

MIB = 1024 * 1024
# Columns of a result line after its name: the uploader's wall, peak, silent, send, then curl's.
UP_WALL, UP_PEAK, UP_SILENT, UP_SEND, CURL_WALL, CURL_PEAK, CURL_SILENT, CURL_SEND = range(8)


def spread(values):
    return min(values), statistics.median(values), max(values)


def row(label, values, fmt, bar=None):
    low, mid, high = spread(values)
    verdict = ""
    if bar is not None:
        text, ok = bar(mid)
        verdict = f"  {text}: {'met' if ok else 'MISSED'}"
    print(f"{label:<46}{low:>10{fmt}}{mid:>10{fmt}}{high:>10{fmt}}{verdict}")


def main():
    results, payload, photos_body, tree_body, tree_files, runs = sys.argv[1], *map(int, sys.argv[2:])
    pairs = {}
    for line in open(results):
        name, *numbers = line.split()
        pairs.setdefault(name, []).append([float(n) for n in numbers])
    photos, tree = pairs["photos"], pairs["tree"]

    print()
    print(f"photo set: {payload / MIB:.0f} MiB payload, {photos_body} bytes of body; "
          f"tree: {tree_files} files, {tree_body} bytes of body; {runs} pairs, order alternating")
    print(f"{'measure':<46}{'min':>10}{'median':>10}{'max':>10}")
    row("photos: uploader / curl wall time", [p[UP_WALL] / p[CURL_WALL] for p in photos], ".2f",
        lambda m: ("<= 1.00 x curl", m <= 1.0))
    row("tree: uploader / curl wall time", [p[UP_WALL] / p[CURL_WALL] for p in tree], ".2f",
        lambda m: ("<= 1.50 x curl", m <= 1.5))
    row("photos: peak memory above the payload (MiB)", [(p[UP_PEAK] * 1024 - payload) / MIB for p in photos],
        ".1f", lambda m: ("<= 4 MiB", m <= 4.0))
    print()
    row("photos: uploader wall time (ms)", [p[UP_WALL] for p in photos], ".1f")
    row("photos: curl wall time (ms)", [p[CURL_WALL] for p in photos], ".1f")
    row("photos: uploader gathering (ms)", [p[UP_SILENT] for p in photos], ".1f")
    row("photos: uploader / curl sending the body", [p[UP_SEND] / p[CURL_SEND] for p in photos], ".2f")
    row("photos: curl peak memory (MiB)", [p[CURL_PEAK] / 1024 for p in photos], ".1f")
    row("tree: uploader wall time (ms)", [p[UP_WALL] for p in tree], ".1f")
    row("tree: curl wall time (ms)", [p[CURL_WALL] for p in tree], ".1f")
    row("tree: uploader gathering (ms)", [p[UP_SILENT] for p in tree], ".1f")
    row("tree: uploader / curl sending the body", [p[UP_SEND] / p[CURL_SEND] for p in tree], ".2f")


if __name__ == "__main__":
    main()
