"""Node2vec walks on their own, for training a model of one's choice on them."""

from __future__ import annotations

import os
from typing import Optional, Sequence

import numpy as np

from velmor._checks import check_int, check_real
from velmor._paths import PathLike, replacing
from velmor.engine import Node2VecParams, write_walks
from velmor.graph import as_graph

_ROWS_PER_WRITE = 4096


def simulate_walks(graph, *, num_walks: int = 10, walk_length: int = 80, p: float = 1.0,
                   q: float = 1.0, workers: Optional[int] = None, seed: Optional[int] = None,
                   directed: Optional[bool] = None) -> np.ndarray:
    """Draw node2vec walks, the ones :class:`velmor.Node2Vec` trains on.

    Parameters
    ----------
    graph : Graph, array_like of shape (E, 2), scipy.sparse matrix, networkx graph or path
        The graph, in any form that :meth:`velmor.Node2Vec.fit` accepts.
    num_walks : int, default 10
        Rounds of walks: each round starts one walk from every node, in a fresh random order.
    walk_length : int, default 80
        Nodes per walk, the start node included. A walk stops early at a node without
        out-edges.
    p : float, default 1.0
        Return parameter: stepping straight back to the previous node is weighted ``1/p``.
    q : float, default 1.0
        In-out parameter: moving away from the previous node's neighbourhood is weighted
        ``1/q``.
    workers : int, optional
        Threads, as for :class:`velmor.Node2Vec`. The walks do not depend on it.
    seed : int, optional
        Seed of the walks. Default: fresh entropy.
    directed : bool, optional
        Whether edges are one-way, as for :meth:`velmor.Node2Vec.fit`.

    Returns
    -------
    ndarray of shape (num_walks * num_nodes, walk_length), int32
        One walk per row, as node indices (``graph.names[i]`` names index ``i``), padded with
        -1 after the end of a walk that stopped early. Rows ``r * num_nodes`` to
        ``(r + 1) * num_nodes - 1`` are round ``r``, in the order the round walked them.

    Raises
    ------
    TypeError, ValueError
        For an argument of the wrong type or out of range, before any walk is drawn.

    See Also
    --------
    save_walks : Write the walks as a corpus that gensim's Word2Vec reads.

    Examples
    --------
    >>> import numpy as np, velmor
    >>> edges = np.array([[0, 1], [1, 2], [2, 0], [2, 3]])
    >>> velmor.simulate_walks(edges, num_walks=2, walk_length=5, seed=1).shape
    (8, 5)

    A corpus of named nodes for gensim, from a graph read first so that its names are at hand:

    >>> from velmor.walks import save_walks
    >>> graph = velmor.read_edgelist("data/karate/edges.tsv")  # doctest: +SKIP
    >>> save_walks("walks.txt", velmor.simulate_walks(graph), graph.names)  # doctest: +SKIP
    """
    num_walks = check_int("num_walks", num_walks, minimum=1)
    walk_length = check_int("walk_length", walk_length, minimum=1)
    p, q = check_real("p", p, positive=True), check_real("q", q, positive=True)
    workers = None if workers is None else check_int("workers", workers, minimum=0)
    seed = None if seed is None else check_int("seed", seed, minimum=0)
    graph = as_graph(graph, directed)
    count = graph.num_nodes
    seeds = np.random.default_rng(seed).integers(2**64, size=num_walks, dtype=np.uint64)
    # The learning rates and the skip-gram settings are unused: nothing is trained.
    params = Node2VecParams(p=p, q=q, start_alpha=0.0, end_alpha=0.0, window=1,
                            batch_size=min(256, max(1, -(-count // 64))),
                            max_walk_length=walk_length, num_negative=0, workers=workers)
    walks = np.empty((num_walks * count, walk_length), dtype=np.int32)
    for r in range(num_walks):
        write_walks(graph=graph.csr, params=params, next_random=int(seeds[r]),
                    walks=walks[r * count:(r + 1) * count])
    return walks


def save_walks(path: PathLike, walks, names: Optional[Sequence] = None) -> None:
    """Write walks to a file, in the format that its extension selects.

    ``.npy`` stores the array itself. Any other extension writes text, one walk per line, its
    nodes' names separated by single spaces and its padding left out: the corpus format that
    gensim's ``LineSentence`` reads. The file appears only once it is complete.

    Parameters
    ----------
    path : str or os.PathLike
        Where to write.
    walks : array_like of int, shape (W, L)
        Walks as :func:`simulate_walks` returns them: node indices, then -1 to the end of a row.
    names : sequence, optional
        ``names[i]`` is written for node index ``i`` (for example ``graph.names``). Default:
        the index itself.

    Raises
    ------
    TypeError, ValueError
        For walks that are not such an array, an index without a name, or a name that is empty
        or holds whitespace; nothing is written then.
    """
    walks = np.asarray(walks)
    if walks.ndim != 2 or walks.dtype.kind not in "iu":
        raise TypeError(f"walks must be a 2-D array of integer node indices, got "
                        f"{walks.ndim}-D {walks.dtype}")
    visited = walks >= 0
    lengths = visited.sum(axis=1)
    bad = (visited != (np.arange(walks.shape[1]) < lengths[:, None])) | (walks < -1)
    if bad.any():
        row = int(np.argmax(bad.any(axis=1)))
        raise ValueError(f"walks[{row}] = {walks[row].tolist()} is not a walk of node indices "
                         "followed by -1 padding")
    largest = int(walks.max(initial=-1))
    if names is not None and largest >= len(names):
        raise ValueError(f"walks visit node {largest}, but only {len(names)} names were given")
    if os.fspath(path).lower().endswith(".npy"):
        with replacing(path) as file:
            np.save(file, walks)
        return
    words = _words(names, largest + 1)
    with replacing(path) as file:
        for start in range(0, len(walks), _ROWS_PER_WRITE):
            rows = walks[start:start + _ROWS_PER_WRITE].tolist()
            ends = lengths[start:start + _ROWS_PER_WRITE].tolist()
            file.write(b"".join(b" ".join([words[v] for v in row[:end]]) + b"\n"
                                for row, end in zip(rows, ends)))


def _words(names: Optional[Sequence], count: int) -> list:
    """The encoded word of each node index below count; ValueError for a name that would not
    read back as one word."""
    if names is None:
        return [str(i).encode() for i in range(count)]
    words = []
    for name in names[:count]:
        text = str(name)
        if not text or len(text.split()) != 1 or text.split()[0] != text:
            raise ValueError(f"node name {name!r} is empty or contains whitespace, which a corpus "
                             "of one walk per line cannot hold; save as .npy instead")
        words.append(text.encode("utf-8", "surrogateescape"))
    return words
