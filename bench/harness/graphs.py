"""Edge lists for the benchmark: synthetic graphs and the link-prediction split."""

import numpy as np
from scipy.sparse import coo_matrix
from scipy.sparse.csgraph import minimum_spanning_tree


def read_edges(path):
    return np.loadtxt(path, dtype=np.int64, comments="#", ndmin=2, usecols=(0, 1))


def read_weighted_edges(path):
    """(edges, weights) of a `u<TAB>v<TAB>w` file."""
    table = np.loadtxt(path, dtype=np.float64, comments="#", ndmin=2)
    if table.shape[1] != 3:
        raise ValueError(f"{path}: expected 3 columns (u, v, weight), found {table.shape[1]}")
    return table[:, :2].astype(np.int64), table[:, 2]


def weight_text(w):
    """The shortest text that reads back as the same double: "2", "0.333333"."""
    return str(int(w)) if w.is_integer() else repr(w)


def write_edges(path, edges, weights=None, chunk=1_000_000):
    with open(path, "w") as f:
        for lo in range(0, len(edges), chunk):
            part = edges[lo:lo + chunk].tolist()
            if weights is None:
                f.write("\n".join(f"{u}\t{v}" for u, v in part))
            else:
                w = weights[lo:lo + chunk].tolist()
                f.write("\n".join(f"{u}\t{v}\t{weight_text(x)}" for (u, v), x in zip(part, w)))
            f.write("\n")


def canonical(edges, n):
    """Undirected simple edges as sorted unique (u < v) rows."""
    u, v = np.minimum(edges[:, 0], edges[:, 1]), np.maximum(edges[:, 0], edges[:, 1])
    key = np.unique(u[u != v] * n + v[u != v])
    return np.stack([key // n, key % n], axis=1)


def block_power_law(n, avg_degree=20, exponent=2.5, block_size=1000, mix=0.2, seed=0):
    """A degree-corrected stochastic block model with power-law expected degrees.

    Node weights follow a Pareto law with the given exponent (capped at sqrt of the total
    weight, as in Chung-Lu graphs); each edge picks its first end in proportion to the
    weights and its second end the same way, inside the first end's block of about
    block_size nodes with probability 1 - mix, anywhere otherwise. Duplicates and self
    loops are dropped, so the edge count lands near n * avg_degree / 2.
    """
    rng = np.random.default_rng(seed)
    w = (1.0 - rng.random(n)) ** (-1.0 / (exponent - 1.0))
    w *= avg_degree / w.mean()
    w = np.minimum(w, np.sqrt(w.sum()))
    blocks = max(1, n // block_size)
    block = np.sort(rng.integers(0, blocks, n))
    start = np.searchsorted(block, np.arange(blocks + 1))
    cw = np.concatenate([[0.0], np.cumsum(w)])
    m_target = n * avg_degree // 2
    got = np.empty((0, 2), dtype=np.int64)
    m = m_target
    while len(got) < m_target:
        m = int(m * 1.1) + 16
        u = np.minimum(np.searchsorted(cw, rng.random(m) * cw[-1], side="right") - 1, n - 1)
        local = rng.random(m) >= mix
        lo, hi = cw[start[block[u]]], cw[start[block[u] + 1]]
        r = np.where(local, lo + rng.random(m) * (hi - lo), rng.random(m) * cw[-1])
        v = np.minimum(np.searchsorted(cw, r, side="right") - 1, n - 1)
        got = canonical(np.stack([u, v], axis=1), n)
    got = got[rng.choice(len(got), m_target, replace=False)]
    # Random ids: no tool gets the cache locality of block-ordered ids for free.
    return canonical(rng.permutation(n)[got], n)


def link_split(edges, n, fraction=0.5, seed=0):
    """Holds out `fraction` of the edges without disconnecting the graph.

    A random spanning forest of the graph (minimum spanning tree under random weights)
    stays in the training graph; the held-out edges are drawn from the other edges, so
    every component stays connected and every node keeps an edge. Returns
    (train_edges, test_pos, train_neg, test_neg): the negatives are node pairs that are not
    edges of the full graph, as many as the positives of each side, disjoint.
    """
    rng = np.random.default_rng(seed)
    m = len(edges)
    weight = rng.random(m) + 1.0  # strictly positive: zero would mean "no edge"
    mst = minimum_spanning_tree(coo_matrix((weight, (edges[:, 0], edges[:, 1])), shape=(n, n)))
    mst = mst.tocoo()
    tree_key = np.minimum(mst.row, mst.col).astype(np.int64) * n + np.maximum(mst.row, mst.col)
    key = edges[:, 0] * n + edges[:, 1]
    in_tree = np.isin(key, tree_key)
    spare = np.flatnonzero(~in_tree)
    n_test = min(int(round(fraction * m)), len(spare))
    test_idx = rng.choice(spare, n_test, replace=False)
    is_test = np.zeros(m, dtype=bool)
    is_test[test_idx] = True
    train, test = edges[~is_test], edges[is_test]

    taken = set(key.tolist())
    need = len(train) + len(test)
    neg = []
    while len(neg) < need:
        a = rng.integers(0, n, 2 * need)
        b = rng.integers(0, n, 2 * need)
        for u, v in zip(np.minimum(a, b).tolist(), np.maximum(a, b).tolist()):
            k = u * n + v
            if u != v and k not in taken:
                taken.add(k)
                neg.append((u, v))
                if len(neg) == need:
                    break
    neg = np.array(neg, dtype=np.int64)
    return train, test, neg[:len(train)], neg[len(train):]
