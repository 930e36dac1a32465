"""csr_from_edges against SciPy's COO-to-CSR conversion with sorted indices, side by side.

10 million random undirected edges over 1 million nodes (20 million arcs). Both sides build the
same arcs: velmor from the (E, 2) uint32 array directly, SciPy from the arcs in both directions
followed by sort_indices(). Best of a few runs each, interleaved, in one process.

    PYTHONPATH=python python bench/bench_csr.py [--edges 10000000] [--nodes 1000000]
"""

import argparse
import time

import numpy as np
import scipy.sparse as sp

from velmor.engine import _native


def best_of(fn, repeats):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
        del result
    return min(times)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--edges", type=int, default=10_000_000)
    ap.add_argument("--nodes", type=int, default=1_000_000)
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args()

    rng = np.random.default_rng(0)
    edges = rng.integers(0, args.nodes, size=(args.edges, 2), dtype=np.uint32)
    n = int(edges.max()) + 1

    def velmor_build():
        return _native.csr_from_edges(edges, False)

    def scipy_build():
        rows = np.concatenate([edges[:, 0], edges[:, 1]])
        cols = np.concatenate([edges[:, 1], edges[:, 0]])
        m = sp.coo_matrix((np.ones(rows.size, np.float32), (rows, cols)), shape=(n, n)).tocsr()
        m.sort_indices()
        return m

    g = velmor_build()
    m = scipy_build()
    assert g.num_nodes() == m.shape[0]
    t_v, t_s = [], []
    for _ in range(args.repeats):  # interleaved, so that machine noise hits both alike
        t_v.append(best_of(velmor_build, 1))
        t_s.append(best_of(scipy_build, 1))
    v, s = min(t_v), min(t_s)
    print(f"{args.edges:,} undirected edges over {args.nodes:,} nodes")
    print(f"velmor csr_from_edges: {v:.3f} s")
    print(f"scipy coo->csr+sort:   {s:.3f} s")
    print(f"ratio scipy/velmor:    {s / v:.2f}x")


if __name__ == "__main__":
    main()
