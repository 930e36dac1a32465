"""One epoch on a large synthetic graph, for two or more builds of velmor side by side.

The graph is harness.graphs.block_power_law (power-law degrees, blocks of about 1,000 nodes,
shuffled ids), cached as .npy under $VELMOR_BENCH_CACHE (default /tmp/velmor-bench). Each run
is a fresh process that imports velmor from the given directory and fits Node2Vec with one
walk per node (d=128, window 10, 5 negatives, p=q=0.25, ns_exponent 0.75, 2 workers, seed 42),
reporting the fit's wall time and the process's peak RSS. A build named NAME+shared fits
with shared_negatives=True, NAME+pair with shared_negatives=False (the default shares
them). Runs alternate between the builds (A B A B ...), and min / median /
max are reported with each median's ratio to the first build's.

    python bench/bench_large.py --nodes 1000000 --rounds 3 \
        --build before=/path/to/old/python --build after=python --build after+shared=python
"""

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
CACHE = Path(os.environ.get("VELMOR_BENCH_CACHE", "/tmp/velmor-bench"))


def graph_file(nodes: int) -> Path:
    path = CACHE / f"block_power_law_{nodes}.npy"
    if not path.exists():
        sys.path.insert(0, str(HERE))
        from harness.graphs import block_power_law

        CACHE.mkdir(parents=True, exist_ok=True)
        edges = block_power_law(nodes, seed=0).astype(np.uint32)
        np.save(path.with_suffix(".tmp.npy"), edges)
        os.replace(path.with_suffix(".tmp.npy"), path)
    return path


def child(path: str, walk_length: int, workers: int, shared: bool | None) -> None:
    import velmor

    t0 = time.perf_counter()
    graph = velmor.Graph(np.load(path))
    t1 = time.perf_counter()
    model = velmor.Node2Vec(dimensions=128, walk_length=walk_length, num_walks=1, window_size=10,
                            negative=5, p=0.25, q=0.25, workers=workers, seed=42, progress=False,
                            shared_negatives=shared)
    model.fit(graph)
    t2 = time.perf_counter()
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps({"load": t1 - t0, "fit": t2 - t1, "rss_mib": rss,
                      "velmor": velmor.__file__}))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--nodes", type=int, default=1_000_000)
    ap.add_argument("--walk-length", type=int, default=80)
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--build", action="append", required=True, metavar="NAME=DIR",
                    help="a directory holding the velmor package to import")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--child-shared", choices=["true", "false"], help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        shared = None if args.child_shared is None else args.child_shared == "true"
        return child(args.child, args.walk_length, args.workers, shared)

    builds = dict(b.split("=", 1) for b in args.build)
    path = graph_file(args.nodes)
    print(f"{args.nodes:,} nodes, {len(np.load(path, mmap_mode='r')):,} edges; walk length "
          f"{args.walk_length}, {args.workers} workers", flush=True)
    runs = {name: [] for name in builds}
    for r in range(args.rounds):
        for name, directory in builds.items():
            env = dict(os.environ, PYTHONPATH=str(Path(directory).resolve()))
            out = subprocess.run([sys.executable, __file__, "--child", str(path), "--build", "x",
                                  "--walk-length", str(args.walk_length),
                                  "--workers", str(args.workers)]
                                 + (["--child-shared", "true"] if name.endswith("+shared") else
                                    ["--child-shared", "false"] if name.endswith("+pair") else []),
                                 env=env, check=True, capture_output=True, text=True)
            record = json.loads(out.stdout.splitlines()[-1])
            runs[name].append(record)
            print(f"round {r + 1} {name}: fit {record['fit']:.1f} s, load {record['load']:.2f} s, "
                  f"peak {record['rss_mib']:.0f} MiB", flush=True)
    first = statistics.median(x["fit"] for x in runs[next(iter(builds))])
    for name, records in runs.items():
        fits = [x["fit"] for x in records]
        print(f"{name}: fit min {min(fits):.1f} / median {statistics.median(fits):.1f} / "
              f"max {max(fits):.1f} s, ratio {statistics.median(fits) / first:.3f}; "
              f"peak RSS {max(x['rss_mib'] for x in records):.0f} MiB; "
              f"per walk {statistics.median(fits) / args.nodes * 1e6:.0f} us")


if __name__ == "__main__":
    main()
