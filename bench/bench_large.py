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

With --starts N each run times an epoch's slice instead: the engine's epoch over walks from N
fixed random start nodes (seed 1) into the full-size matrices (built, and every page touched,
before the clock starts), reporting its wall and process CPU time (CPU time moves less than wall
time on a shared machine). The update is the name's suffix: +pair (each pair its own
negatives), +pairwise (shared negatives trained pair by pair) or +shared (shared, by blocks; the
default):

    python bench/bench_large.py --starts 20000 --rounds 5 \
        --build before+pairwise=/path/to/old/python --build after+shared=python
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


SLICE_UPDATES = {"pair": dict(shared_negatives=False), "shared": dict(shared_negatives=True),
                 "pairwise": dict(shared_negatives=True, block_update=False)}


def child_slice(path: str, walk_length: int, workers: int, starts: int, update: str) -> None:
    from velmor._matrix import starting_matrices
    from velmor.engine import _engine, _native

    graph = _native.csr_from_edges(np.load(path), False)
    n = graph.num_nodes()
    emb, hid = starting_matrices(np.random.default_rng(0), n, 128)
    emb += 0
    hid += 0
    start_nodes = np.random.default_rng(1).choice(n, starts, replace=False).astype(np.uint32)
    params = _native.Node2VecParams(p=0.25, q=0.25, start_alpha=0.025, end_alpha=0.0001,
                                    window=10, batch_size=64, max_walk_length=walk_length,
                                    num_negative=5, workers=workers)
    t0, c0 = time.perf_counter(), time.process_time()
    _engine.train_epoch(graph=graph, params=params, embeddings=emb, hidden_layer=hid,
                        next_random=11, ns_exponent=0.75, noise_counts=None, visits=None,
                        progress=None, start_nodes=start_nodes, **SLICE_UPDATES[update])
    t1, c1 = time.perf_counter(), time.process_time()
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps({"load": 0.0, "fit": t1 - t0, "cpu": c1 - c0, "rss_mib": rss}))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--nodes", type=int, default=1_000_000)
    ap.add_argument("--walk-length", type=int, default=80)
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--build", action="append", required=True, metavar="NAME=DIR",
                    help="a directory holding the velmor package to import")
    ap.add_argument("--starts", type=int, help="time an epoch's slice of this many walks")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--child-shared", choices=["true", "false"], help=argparse.SUPPRESS)
    ap.add_argument("--child-update", choices=sorted(SLICE_UPDATES), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child and args.starts:
        return child_slice(args.child, args.walk_length, args.workers, args.starts,
                           args.child_update)
    if args.child:
        shared = None if args.child_shared is None else args.child_shared == "true"
        return child(args.child, args.walk_length, args.workers, shared)

    builds = dict(b.split("=", 1) for b in args.build)
    path = graph_file(args.nodes)
    print(f"{args.nodes:,} nodes, {len(np.load(path, mmap_mode='r')):,} edges; walk length "
          f"{args.walk_length}, {args.workers} workers"
          + (f"; slices of {args.starts:,} walks" if args.starts else ""), flush=True)
    runs = {name: [] for name in builds}
    for r in range(args.rounds):
        for name, directory in builds.items():
            env = dict(os.environ, PYTHONPATH=str(Path(directory).resolve()))
            if args.starts:
                update = name.rsplit("+", 1)[1] if "+" in name else "shared"
                extra = ["--starts", str(args.starts), "--child-update", update]
            else:
                extra = (["--child-shared", "true"] if name.endswith("+shared") else
                         ["--child-shared", "false"] if name.endswith("+pair") else [])
            out = subprocess.run([sys.executable, __file__, "--child", str(path), "--build", "x",
                                  "--walk-length", str(args.walk_length),
                                  "--workers", str(args.workers)] + extra,
                                 env=env, check=True, capture_output=True, text=True)
            record = json.loads(out.stdout.splitlines()[-1])
            runs[name].append(record)
            print(f"round {r + 1} {name}: fit {record['fit']:.2f} s"
                  + (f", cpu {record['cpu']:.2f} s" if "cpu" in record else
                     f", load {record['load']:.2f} s")
                  + f", peak {record['rss_mib']:.0f} MiB, load average {os.getloadavg()[0]:.2f}",
                  flush=True)
    walks = args.starts or args.nodes
    for key in ("fit", "cpu"):
        if not all(key in x for records in runs.values() for x in records):
            continue
        first = statistics.median(x[key] for x in runs[next(iter(builds))])
        for name, records in runs.items():
            values = [x[key] for x in records]
            print(f"{name}: {key} min {min(values):.2f} / median {statistics.median(values):.2f} "
                  f"/ max {max(values):.2f} s, ratio {statistics.median(values) / first:.3f}; "
                  f"peak RSS {max(x['rss_mib'] for x in records):.0f} MiB; "
                  f"per walk {statistics.median(values) / walks * 1e6:.0f} us")


if __name__ == "__main__":
    main()
