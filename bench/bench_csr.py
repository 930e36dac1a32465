"""The CSR builders against SciPy's COO-to-CSR conversion with sorted indices, side by side.

10 million random undirected edges over 1 million nodes (20 million arcs). Every side builds the
same arcs: velmor's csr_from_edges from the (E, 2) uint32 array directly; its
weighted_csr_from_edges from the same array with random float64 weights (and with all weights
1.0, whose rows need no alias table); SciPy from the arcs in both directions followed by
sort_indices(). Runs interleaved in one process; min / median / max of each.

    PYTHONPATH=python python bench/bench_csr.py [--edges 10000000] [--nodes 1000000] [--repeats 3]
"""

import argparse
import statistics
import time

import numpy as np
import scipy.sparse as sp

from velmor.engine import _engine, _native


def timed(fn):
    t0 = time.perf_counter()
    result = fn()
    elapsed = time.perf_counter() - t0
    del result
    return elapsed


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--edges", type=int, default=10_000_000)
    ap.add_argument("--nodes", type=int, default=1_000_000)
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args()

    rng = np.random.default_rng(0)
    edges = rng.integers(0, args.nodes, size=(args.edges, 2), dtype=np.uint32)
    weights = rng.uniform(0.1, 10.0, args.edges)
    ones = np.ones(args.edges)
    n = int(edges.max()) + 1

    def scipy_build():
        rows = np.concatenate([edges[:, 0], edges[:, 1]])
        cols = np.concatenate([edges[:, 1], edges[:, 0]])
        m = sp.coo_matrix((np.ones(rows.size, np.float32), (rows, cols)), shape=(n, n)).tocsr()
        m.sort_indices()
        return m

    builders = {
        "velmor csr_from_edges": lambda: _native.csr_from_edges(edges, False),
        "velmor weighted, random weights": lambda: _engine.weighted_csr_from_edges(
            edges, weights, False, n),
        "velmor weighted, all weights 1.0": lambda: _engine.weighted_csr_from_edges(
            edges, ones, False, n),
        "scipy coo->csr+sort": scipy_build,
    }
    assert _native.csr_from_edges(edges, False).num_nodes() == scipy_build().shape[0] == n
    times = {name: [] for name in builders}
    for _ in range(args.repeats):  # interleaved, so that machine noise hits all alike
        for name, build in builders.items():
            times[name].append(timed(build))
    print(f"{args.edges:,} undirected edges over {args.nodes:,} nodes, {args.repeats} runs each")
    base = statistics.median(times["velmor csr_from_edges"])
    for name, t in times.items():
        med = statistics.median(t)
        print(f"{name:34s} min {min(t):.3f} / median {med:.3f} / max {max(t):.3f} s, "
              f"median {med / base:.2f}x csr_from_edges")


if __name__ == "__main__":
    main()
