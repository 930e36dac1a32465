"""Edge-list reading speed: lines per second of velmor.read_edgelist on a generated file.

    PYTHONPATH=python python bench/bench_read_edgelist.py [--lines 10000000] [--names]

The file is written to a temporary directory (default /tmp) and removed afterwards. It has a
SNAP-style comment header and tab-separated integer ids below one million; --names uses string
names instead ("n123456"), which takes the slower path that numbers nodes by first appearance.
Each variant is read --repeat times and the best time is reported; np.loadtxt, NumPy's own C
parser, is timed on the same integer file for comparison.
"""

import argparse
import functools
import os
import tempfile
import time

import numpy as np

import velmor


def write_file(path: str, lines: int, names: bool, seed: int = 0) -> None:
    rng = np.random.default_rng(seed)
    with open(path, "w") as file:
        file.write("# Directed graph (each unordered pair of nodes is saved once)\n"
                   "# FromNodeId\tToNodeId\n")
        prefix = "n" if names else ""
        for start in range(0, lines, 1_000_000):
            edges = rng.integers(0, 1_000_000, size=(min(1_000_000, lines - start), 2)).tolist()
            file.write("".join(f"{prefix}{a}\t{prefix}{b}\n" for a, b in edges))


def best_time(repeat: int, action) -> float:
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        action()
        times.append(time.perf_counter() - started)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lines", type=int, default=10_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--names", action="store_true", help="string node names")
    parser.add_argument("--dir", default="/tmp")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(dir=args.dir) as directory:
        path = os.path.join(directory, "edges.tsv")
        write_file(path, args.lines, args.names)
        size = os.path.getsize(path) / 1e6
        kind = "string names" if args.names else "integer ids"
        print(f"{args.lines} lines, {size:.0f} MB, {kind}")
        variants = {"relabel=True": dict(relabel=True), "delimiter='\\t'": dict(delimiter="\t")}
        if not args.names:
            variants["relabel=False"] = dict(relabel=False)
        for label, options in variants.items():
            read = functools.partial(velmor.read_edgelist, path, **options)
            seconds = best_time(args.repeat, read)
            print(f"read_edgelist {label:<16} {seconds:6.2f} s  "
                  f"{args.lines / seconds / 1e6:5.1f} M lines/s")
        if not args.names:
            seconds = best_time(1, lambda: np.loadtxt(path, dtype=np.uint32))
            print(f"np.loadtxt (no checks, no graph) {seconds:6.2f} s  "
                  f"{args.lines / seconds / 1e6:5.1f} M lines/s")


if __name__ == "__main__":
    main()
