"""Edge-list reading speed: lines per second of velmor.read_edgelist on a generated file.

    PYTHONPATH=python python bench/bench_read_edgelist.py [--lines 10000000] [--names]
    PYTHONPATH=python python bench/bench_read_edgelist.py --lines 2000000 --interleaved 7
    PYTHONPATH=python python bench/bench_read_edgelist.py --lines 2000000 --interleaved 7 \
        --name-style string

The file is written to a temporary directory (default /tmp) and removed afterwards. It has a
SNAP-style comment header and tab-separated integer ids below one million; --names uses string
names instead, which takes the path that numbers nodes by first appearance. --name-style picks
their form: "short" is "n123456" (7 bytes or fewer); "node" is "node_123456" (11); "gene" is an
Ensembl gene id, "ENSG00000123456" (15); "string" a STRING protein id, "9606.ENSP00000123456"
(20).
Each variant is read --repeat times and the best time is reported; np.loadtxt, NumPy's own C
parser, is timed on the same integer file for comparison.

--interleaved ROUNDS writes the same edges twice, once with integer ids and once with string
names, and reads them in turn (ids, names, ids, names, ...) ROUNDS times each with the default
options, graph included: min / median / max of the wall time and of the process's CPU time, and
the ratio of the medians, names over ids. On a shared machine the turns spread the neighbours'
load over both files alike.

--against PYTHONPATH compares two builds of velmor on the same file (integer ids, or names with
--names): each read runs in a fresh interpreter, this one's velmor and the other's in turn,
--interleaved ROUNDS times each (default 5), and reports min / median / max of the wall time,
of the CPU time and of the growth of the resident memory at its peak during the read (Linux),
and the ratio of the medians, this one's over the other's:

    PYTHONPATH=python python bench/bench_read_edgelist.py --lines 2000000 \
        --against /path/to/other/python --interleaved 7
"""

import argparse
import functools
import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import velmor

NAME_STYLES = {"short": "n{}", "node": "node_{}", "gene": "ENSG{:011d}",
               "string": "9606.ENSP{:011d}"}


def write_file(path: str, lines: int, names: bool, seed: int = 0, style: str = "short") -> None:
    rng = np.random.default_rng(seed)
    with open(path, "w") as file:
        file.write("# Directed graph (each unordered pair of nodes is saved once)\n"
                   "# FromNodeId\tToNodeId\n")
        name = NAME_STYLES[style].format if names else str
        for start in range(0, lines, 1_000_000):
            edges = rng.integers(0, 1_000_000, size=(min(1_000_000, lines - start), 2)).tolist()
            file.write("".join(f"{name(a)}\t{name(b)}\n" for a, b in edges))


def best_time(repeat: int, action) -> float:
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        action()
        times.append(time.perf_counter() - started)
    return min(times)


def interleaved(paths: dict, rounds: int) -> None:
    load_before = os.getloadavg()[0]
    times = {label: [] for label in paths}
    for _ in range(rounds):
        for label, path in paths.items():
            gc.collect()
            wall, cpu = time.perf_counter(), time.process_time()
            velmor.read_edgelist(path)
            times[label].append((time.perf_counter() - wall, time.process_time() - cpu))
    print(f"{'':<14} {'wall min / median / max (s)':>30} {'CPU min / median / max (s)':>30}")
    medians = {}
    for label, runs in times.items():
        cells = []
        for column in zip(*runs):
            cells.append(f"{min(column):.2f} / {statistics.median(column):.2f} / {max(column):.2f}")
        medians[label] = [statistics.median(column) for column in zip(*runs)]
        print(f"{label:<14} {cells[0]:>30} {cells[1]:>30}")
    (ids_wall, ids_cpu), (names_wall, names_cpu) = medians.values()
    print(
        f"names / ids (medians): wall {names_wall / ids_wall:.2f}, CPU {names_cpu / ids_cpu:.2f}; "
        f"load average before: {load_before:.2f}, after: {os.getloadavg()[0]:.2f}"
    )


def resident_mb(field: str) -> float:
    """VmRSS or VmHWM (the peak) of this process, in MB."""
    with open("/proc/self/status") as status:
        line = next(line for line in status if line.startswith(field + ":"))
    return int(line.split()[1]) / 1024


def read_once(path: str) -> None:
    """Read the file once in this fresh process; print wall and CPU seconds and the growth of
    the resident memory at its peak during the read (MB)."""
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")  # the peak starts again from here
    except OSError:
        pass
    before = resident_mb("VmRSS")
    wall, cpu = time.perf_counter(), time.process_time()
    graph = velmor.read_edgelist(path)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    print(json.dumps([wall, cpu, resident_mb("VmHWM") - before]))
    del graph


def against(path: str, other: str, rounds: int) -> None:
    """This velmor and the one on PYTHONPATH `other`, in turn, each read in a fresh process."""
    own = os.path.dirname(os.path.dirname(os.path.abspath(velmor.__file__)))
    builds = {"other": other, "this": own}
    load_before = os.getloadavg()[0]
    runs = {label: [] for label in builds}
    for _ in range(rounds):
        for label, pythonpath in builds.items():
            done = subprocess.run([sys.executable, __file__, "--read-once", path], check=True,
                                  capture_output=True, text=True,
                                  env=dict(os.environ, PYTHONPATH=pythonpath))
            runs[label].append(json.loads(done.stdout))
    print(f"{'':<6} {'wall min / median / max (s)':>28} {'CPU min / median / max (s)':>28} "
          f"{'peak RSS growth min / median / max (MB)':>41}")
    medians = {}
    for label, found in runs.items():
        columns = list(zip(*found))
        medians[label] = [statistics.median(column) for column in columns]
        cells = [f"{min(c):.3f} / {statistics.median(c):.3f} / {max(c):.3f}" for c in columns[:2]]
        cells.append(" / ".join(f"{x:.0f}" for x in (min(columns[2]), medians[label][2],
                                                         max(columns[2]))))
        print(f"{label:<6} {cells[0]:>28} {cells[1]:>28} {cells[2]:>41}")
    ratios = [t / o for t, o in zip(medians["this"], medians["other"])]
    print(f"this / other (medians): wall {ratios[0]:.2f}, CPU {ratios[1]:.2f}, peak RSS growth "
          f"{ratios[2]:.2f}; load average before: {load_before:.2f}, after: "
          f"{os.getloadavg()[0]:.2f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lines", type=int, default=10_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--names", action="store_true", help="string node names")
    parser.add_argument("--name-style", choices=NAME_STYLES, default="short",
                        help="the form of the string names (default: short)")
    parser.add_argument("--dir", default="/tmp")
    parser.add_argument(
        "--interleaved",
        type=int,
        metavar="ROUNDS",
        help="read the same edges with ids and with names in turn",
    )
    parser.add_argument("--against", metavar="PYTHONPATH",
                        help="compare with the velmor found on this path")
    parser.add_argument("--read-once", metavar="FILE", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.read_once:
        read_once(args.read_once)
        return
    if args.against:
        with tempfile.TemporaryDirectory(dir=args.dir) as directory:
            path = os.path.join(directory, "edges.tsv")
            write_file(path, args.lines, args.names, style=args.name_style)
            kind = f"names like {NAME_STYLES[args.name_style].format(123456)}" if args.names \
                else "integer ids"
            print(f"{args.lines} lines, {os.path.getsize(path) / 1e6:.0f} MB, {kind}; this: "
                  f"velmor from {os.path.dirname(velmor.__file__)}, other: {args.against}")
            against(path, args.against, args.interleaved or 5)
        return
    if args.interleaved:
        with tempfile.TemporaryDirectory(dir=args.dir) as directory:
            paths = {
                "integer ids": os.path.join(directory, "ids.tsv"),
                "string names": os.path.join(directory, "names.tsv"),
            }
            for names, path in zip([False, True], paths.values()):
                write_file(path, args.lines, names, style=args.name_style)
            print(
                f"{args.lines} lines, names like {NAME_STYLES[args.name_style].format(123456)}, "
                f"velmor from {os.path.dirname(velmor.__file__)}, {args.interleaved} rounds"
            )
            interleaved(paths, args.interleaved)
        return

    with tempfile.TemporaryDirectory(dir=args.dir) as directory:
        path = os.path.join(directory, "edges.tsv")
        write_file(path, args.lines, args.names, style=args.name_style)
        size = os.path.getsize(path) / 1e6
        kind = "string names" if args.names else "integer ids"
        print(f"{args.lines} lines, {size:.0f} MB, {kind}")
        variants = {"relabel=True": dict(relabel=True), "delimiter='\\t'": dict(delimiter="\t")}
        if not args.names:
            variants["relabel=False"] = dict(relabel=False)
        for label, options in variants.items():
            read = functools.partial(velmor.read_edgelist, path, **options)
            seconds = best_time(args.repeat, read)
            print(
                f"read_edgelist {label:<16} {seconds:6.2f} s  "
                f"{args.lines / seconds / 1e6:5.1f} M lines/s"
            )
        if not args.names:
            seconds = best_time(1, lambda: np.loadtxt(path, dtype=np.uint32))
            print(
                f"np.loadtxt (no checks, no graph) {seconds:6.2f} s  "
                f"{args.lines / seconds / 1e6:5.1f} M lines/s"
            )


if __name__ == "__main__":
    main()
