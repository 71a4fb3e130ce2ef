#!/usr/bin/env python3
# Prints the benchmark table from bench/run's raw results: medians, ratios and the targets.
import statistics
import sys


def main():
    results, payload, body_bytes, tree_files, runs = sys.argv[1], *map(int, sys.argv[2:])
    rows = {}
    for line in open(results):
        name, *numbers = line.split()
        rows.setdefault(name, []).append([float(n) for n in numbers])

    def median(name, column):
        return statistics.median(r[column] for r in rows[name])

    mib = 1024 * 1024
    up_wall, curl_wall = median("photos_uploader", 0), median("photos_curl", 0)
    up_peak = max(r[1] for r in rows["photos_uploader"]) * 1024
    curl_peak = max(r[1] for r in rows["photos_curl"]) * 1024
    memory_target = payload + 8 * mib
    tree_wall, tree_gather = median("tree_uploader", 0), median("tree_uploader", 2)
    tree_send, find_cat = median("tree_uploader", 3), median("tree_findcat", 0)

    def verdict(ok):
        return "met" if ok else "MISSED"

    print()
    print(f"photo set: {payload / mib:.0f} MiB payload, {body_bytes} bytes of body; tree: {tree_files} files; "
          f"medians of {runs} alternating runs")
    print(f"{'measure':<44}{'uploader':>12}{'reference':>12}{'ratio':>8}  target")
    print(f"{'upload wall time (ms), reference curl':<44}{up_wall:>12.0f}{curl_wall:>12.0f}"
          f"{up_wall / curl_wall:>8.2f}  <= 1.20 x curl: {verdict(up_wall <= 1.2 * curl_wall)}")
    print(f"{'  of which gathering (ms)':<44}{median('photos_uploader', 2):>12.0f}")
    up_send, curl_send = median("photos_uploader", 3), median("photos_curl", 3)
    print(f"{'  of which sending the body (ms)':<44}{up_send:>12.0f}{curl_send:>12.0f}{up_send / curl_send:>8.2f}")
    print(f"{'peak resident memory (MiB), reference payload':<44}{up_peak / mib:>12.1f}{payload / mib:>12.1f}"
          f"{up_peak / payload:>8.2f}  <= payload + 8 MiB: {verdict(up_peak <= memory_target)}")
    print(f"{'  curl peak resident memory (MiB)':<44}{curl_peak / mib:>12.1f}")
    print(f"{'tree upload wall time (ms)':<44}{tree_wall:>12.0f}")
    print(f"{'  tree walk and read (ms), reference find+cat':<44}{tree_gather:>12.0f}{find_cat:>12.0f}"
          f"{tree_gather / find_cat:>8.2f}")
    print(f"{'  of which sending the body (ms)':<44}{tree_send:>12.0f}")


if __name__ == "__main__":
    main()
