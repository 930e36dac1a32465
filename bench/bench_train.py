"""Training throughput of the engine on BlogCatalog.

d=128, walk length 80, window 10, 5 negatives, p=q=0.25, 10 epochs of one walk per node.
Reports wall time, walk steps per second and trained (centre, context) pairs per second per
thread, for each number of workers and each negative sampler: "native" is the compatibility
module's epoch (uniform negatives), a number E is the engine's epoch with negatives drawn in
proportion to count^E as velmor.Node2Vec draws them (E = 0: the engine's uniform path). With
--rounds R every configuration runs R times, interleaved (A B A B ...), and min / median / max
are reported with each median's ratio to the first configuration's, for wall time and for
the process's CPU time (which moves less on a shared machine). --updates picks the
engine's update: "pair" (each pair its own negatives), "shared" (a walk position's pairs share
theirs and train as one block) or "shared-pairwise" (shared, trained pair by pair: the
shared path before the block update). --graphs adds the weighted
graph of the same edges: "ones" with every weight 1.0, "random" with weights drawn uniformly
from [0.1, 10) (fixed seed); "plain" is the unweighted graph (the only one "native" trains).

    PYTHONPATH=python python bench/bench_train.py [--epochs 10] [--workers 1 2]
        [--negatives native 0.75] [--graphs plain ones random] [--rounds 3]
        [--updates pair shared shared-pairwise]
"""

import argparse
import statistics
import time
from pathlib import Path

import numpy as np

from velmor._matrix import starting_matrices
from velmor.engine import _engine, _native

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


UPDATES = {"pair": {}, "shared": dict(shared_negatives=True),
           "shared-pairwise": dict(shared_negatives=True, block_update=False)}


def fit(graph, n, negatives, workers, epochs, dim, update="pair"):
    """Trains `epochs` epochs as velmor.Node2Vec does and returns the wall time."""
    rng = np.random.default_rng(0)
    # velmor.Node2Vec's start, in matrices placed where it puts them (aligned for huge pages).
    emb, hid = starting_matrices(rng, n, dim)
    visits = np.zeros(n, np.uint64)
    t0, c0 = time.perf_counter(), time.process_time()
    for e in range(epochs):
        a0 = 0.025 - (0.025 - 0.0001) * e / epochs
        a1 = 0.025 - (0.025 - 0.0001) * (e + 1) / epochs
        params = _native.Node2VecParams(
            p=0.25, q=0.25, start_alpha=a0, end_alpha=a1, window=10, batch_size=64,
            max_walk_length=80, num_negative=5, workers=workers)
        seed = int(rng.integers(2**63))
        if negatives == "native":
            _native.train_node2vec_epoch(graph=graph, params=params, embeddings=emb,
                                         hidden_layer=hid, next_random=seed)
        else:
            _engine.train_epoch(graph=graph, params=params, embeddings=emb, hidden_layer=hid,
                                next_random=seed, ns_exponent=float(negatives),
                                noise_counts=visits if e else None, visits=visits,
                                progress=None, **UPDATES[update])
    return time.perf_counter() - t0, time.process_time() - c0


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--epochs", type=int, default=10)
    ap.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    ap.add_argument("--negatives", nargs="+", default=["native", "0.75"])
    ap.add_argument("--graphs", nargs="+", default=["plain"], choices=["plain", "ones", "random"])
    ap.add_argument("--rounds", type=int, default=1)
    ap.add_argument("--updates", nargs="+", default=["pair"], choices=list(UPDATES))
    ap.add_argument("--dim", type=int, default=128)
    args = ap.parse_args()

    edges = load_blogcatalog()
    graph = _native.csr_from_edges(edges, False)
    n = graph.num_nodes()
    graphs = {"plain": graph}
    for kind in set(args.graphs) - {"plain"}:
        weights = (np.ones(len(edges)) if kind == "ones"
                   else np.random.default_rng(0).uniform(0.1, 10.0, len(edges)))
        graphs[kind] = _engine.weighted_csr_from_edges(edges, weights, False, n)
    pairs_per_walk = expected_pairs(80, 10)
    print(f"BlogCatalog: {n} nodes, {len(edges)} edges; d={args.dim}, {args.epochs} epochs")
    configs = [(w, neg, g, u) for w in args.workers for g in args.graphs for neg in args.negatives
               for u in args.updates
               if (neg != "native" or g == "plain") and (neg != "native" or u == "pair")]
    times = {c: [] for c in configs}
    cpu_times = {c: [] for c in configs}
    for r in range(args.rounds):
        for workers, negatives, kind, update in configs:
            wall, cpu = fit(graphs[kind], n, negatives, workers, args.epochs, args.dim, update)
            times[(workers, negatives, kind, update)].append(wall)
            cpu_times[(workers, negatives, kind, update)].append(cpu)
            print(f"round {r + 1}: workers={workers} negatives={negatives} graph={kind} "
                  f"update={update}: {wall:.2f} s, CPU {cpu:.2f} s", flush=True)
    for workers in args.workers:
        first = next(c for c in configs if c[0] == workers)
        base = statistics.median(times[first])
        for _, negatives, kind, update in (c for c in configs if c[0] == workers):
            t = times[(workers, negatives, kind, update)]
            med = statistics.median(t)
            steps = n * 80 * args.epochs
            pairs = n * pairs_per_walk * args.epochs
            print(f"workers={workers} negatives={negatives} graph={kind} update={update}: "
                  f"min {min(t):.2f} / "
                  f"median {med:.2f} / "
                  f"max {max(t):.2f} s over {len(t)}, ratio {med / base:.3f}; at the median "
                  f"{steps / med / 1e6:.2f} M walk steps/s, "
                  f"{pairs / med / workers / 1e6:.2f} M pairs/s per thread")
        # CPU time (all threads) moves less than wall time when other processes share the CPUs.
        cpu_base = statistics.median(cpu_times[first])
        for _, negatives, kind, update in (c for c in configs if c[0] == workers):
            c = cpu_times[(workers, negatives, kind, update)]
            print(f"workers={workers} negatives={negatives} graph={kind} update={update}: CPU "
                  f"min {min(c):.2f} / median {statistics.median(c):.2f} / max {max(c):.2f} s, "
                  f"ratio {statistics.median(c) / cpu_base:.3f}")


if __name__ == "__main__":
    main()
