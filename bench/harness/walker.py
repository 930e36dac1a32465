"""A plain numpy node2vec walker: the walk generator of the gensim baseline.

All walks of a chunk advance one step at a time together. Each step proposes a uniform
neighbour of the current node and accepts it with probability w / max(w), where w is 1/p
for a step back to the previous node, 1 for a neighbour of the previous node and 1/q
otherwise: rejection sampling, which draws exactly the node2vec transition distribution of
an unweighted graph. Rejected walks propose again until every walk of the chunk has moved.
"""

import numpy as np


def load_edges(path):
    """Reads a two-column integer edge list; returns (ids, csr indptr, csr indices).

    ids[i] is the original id of node i; the graph is undirected, each row sorted.
    """
    raw = np.loadtxt(path, dtype=np.int64, comments="#", ndmin=2, usecols=(0, 1))
    ids, inv = np.unique(raw, return_inverse=True)
    inv = inv.reshape(-1, 2)
    src = np.concatenate([inv[:, 0], inv[:, 1]])
    dst = np.concatenate([inv[:, 1], inv[:, 0]])
    keep = src != dst
    src, dst = src[keep], dst[keep]
    n = len(ids)
    key = np.unique(src * n + dst)  # sorted by (src, dst), duplicates dropped
    src, dst = key // n, key % n
    indptr = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(np.bincount(src, minlength=n), out=indptr[1:])
    return ids, indptr, dst.astype(np.int32)


def node2vec_walks(indptr, indices, num_walks, walk_length, p, q, seed=None, chunk=200_000):
    """Returns an int32 array (num_walks * n, walk_length) of node indices.

    Walks from isolated nodes stay on their start node (the loader here never makes any).
    """
    rng = np.random.default_rng(seed)
    n = len(indptr) - 1
    deg = np.diff(indptr)
    # Sorted u*n+v keys of every directed edge: membership of (u, v) is one binary search.
    keys = np.repeat(np.arange(n, dtype=np.int64), deg) * n + indices
    weights = np.array([1.0 / p, 1.0, 1.0 / q])
    top = weights.max()
    starts = np.tile(np.arange(n, dtype=np.int32), num_walks)
    rng.shuffle(starts)
    walks = np.empty((len(starts), walk_length), dtype=np.int32)
    for lo in range(0, len(starts), chunk):
        w = walks[lo:lo + chunk]
        w[:, 0] = starts[lo:lo + chunk]
        for step in range(1, walk_length):
            cur = w[:, step - 1]
            w[:, step] = cur
            pending = np.flatnonzero(deg[cur] > 0)
            while pending.size:
                c = cur[pending]
                pick = indptr[c] + (rng.random(pending.size) * deg[c]).astype(np.int64)
                cand = indices[pick]
                if step == 1:
                    w[pending, 1] = cand
                    break
                prev = w[pending, step - 2].astype(np.int64)
                k = prev * n + cand
                pos = np.minimum(np.searchsorted(keys, k), len(keys) - 1)
                kind = np.where(cand == prev, 0, np.where(keys[pos] == k, 1, 2))
                ok = rng.random(pending.size) * top < weights[kind]
                w[pending[ok], step] = cand[ok]
                pending = pending[~ok]
    return walks
