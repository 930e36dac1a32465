"""Training throughput of the native engine on BlogCatalog.

d=128, walk length 80, window 10, 5 negatives, p=q=0.25, 10 epochs of one walk per node.
Reports wall time, walk steps per second and trained (centre, context) pairs per second per
thread, for 1 and 2 workers, measured in one run.

    PYTHONPATH=python python bench/bench_train.py [--epochs 10] [--workers 1 2]
"""

import argparse
import time
from pathlib import Path

import numpy as np

from velmor._matrix import word2vec_start
from velmor.engine import _native

ROOT = Path(__file__).resolve().parent.parent


def load_blogcatalog() -> np.ndarray:
    return np.loadtxt(ROOT / "data" / "blogcatalog" / "edges.tsv", dtype=np.uint32, delimiter="\t")


def expected_pairs(walk_length: int, window: int) -> float:
    # Mean number of context positions of one centre under the shrinking window, summed over a
    # full-length walk (every BlogCatalog node has neighbours, so walks never stop early).
    total = 0.0
    for i in range(walk_length):
        for b in range(window):
            half = window - b
            total += (min(i + half, walk_length - 1) - max(i - half, 0)) / window
    return total


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--epochs", type=int, default=10)
    ap.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    ap.add_argument("--dim", type=int, default=128)
    args = ap.parse_args()

    edges = load_blogcatalog()
    graph = _native.csr_from_edges(edges, False)
    n = graph.num_nodes()
    walk_length, window = 80, 10
    pairs_per_walk = expected_pairs(walk_length, window)
    print(f"BlogCatalog: {n} nodes, {len(edges)} edges; d={args.dim}, {args.epochs} epochs")
    for workers in args.workers:
        rng = np.random.default_rng(0)
        # velmor.Node2Vec's start, in matrices placed where it puts them (aligned for huge pages).
        emb, hid = word2vec_start(rng, n, args.dim)
        t0 = time.perf_counter()
        for e in range(args.epochs):
            a0 = 0.025 - (0.025 - 0.0001) * e / args.epochs
            a1 = 0.025 - (0.025 - 0.0001) * (e + 1) / args.epochs
            params = _native.Node2VecParams(
                p=0.25, q=0.25, start_alpha=a0, end_alpha=a1, window=window, batch_size=64,
                max_walk_length=walk_length, num_negative=5, workers=workers)
            _native.train_node2vec_epoch(graph=graph, params=params, embeddings=emb,
                                         hidden_layer=hid, next_random=int(rng.integers(2**63)))
        wall = time.perf_counter() - t0
        steps = n * walk_length * args.epochs
        pairs = n * pairs_per_walk * args.epochs
        print(f"workers={workers}: {wall:.2f} s, {steps / wall / 1e6:.2f} M walk steps/s, "
              f"{pairs / wall / workers / 1e6:.2f} M pairs/s per thread")


if __name__ == "__main__":
    main()
