"""Node2vec walks on their own, for training a model of one's choice on them."""

from __future__ import annotations

import contextlib
import gzip
import os
from collections.abc import Iterator, Sequence
from typing import IO

import numpy as np

from velmor._checks import MAX_WORKERS, check_int, check_thread_environment, check_walk_bias
from velmor._memory import (
    WALK_NODE_BYTES,
    Need,
    busy_threads,
    check_fits,
    out_of_memory_explained,
    walk_buffers,
)
from velmor._paths import PathLike, replacing
from velmor.embedding_files import first_renamed, keys_are_row_numbers
from velmor.engine import Node2VecParams, write_walks
from velmor.graph_input import as_graph

_ROWS_PER_WRITE = 4096


def default_batch_size(starts: int) -> int:
    """Start nodes per unit of work when the caller gives none: a 64th of the walks of a round,
    between 1 and 256, so that even a small graph is cut into enough units to keep every thread
    busy, and the learning rate steps often enough. Walks are seeded per unit, so they depend
    on it: fit and simulate_walks share it."""
    return min(256, max(1, -(-starts // 64)))


def simulate_walks(graph, *, num_walks: int = 10, walk_length: int = 80, p: float = 1.0,
                   q: float = 1.0, workers: int | None = None, seed: int | None = None,
                   directed: bool | None = None, **graph_options) -> np.ndarray:
    """Draw node2vec walks, the ones :class:`velmor.Node2Vec` trains on.

    Parameters
    ----------
    graph : Graph, array_like of shape (E, 2), DataFrame, scipy.sparse matrix, nx.Graph or path
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
    **graph_options
        What builds the graph takes, as for :meth:`velmor.Node2Vec.fit` (``weighted=True`` for
        a path, say).

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
    MemoryError
        Before any walk is drawn, if the walks need more memory than the machine has (or than
        ``ulimit -v`` leaves), saying how much.

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
    p, q = check_walk_bias("p", p), check_walk_bias("q", q)
    if workers is None:
        check_thread_environment()
    else:
        workers = check_int("workers", workers, minimum=0, maximum=MAX_WORKERS)
    seed = None if seed is None else check_int("seed", seed, minimum=0)
    graph = as_graph(graph, directed, **graph_options)
    count = graph.num_nodes
    rng = np.random.default_rng(seed)  # one seed per round, drawn as the round starts
    # The learning rates and the skip-gram settings are unused: nothing is trained.
    batch_size = default_batch_size(count)
    params = Node2VecParams(p=p, q=q, start_alpha=0.0, end_alpha=0.0, window=1,
                            batch_size=batch_size, max_walk_length=walk_length, num_negative=0,
                            workers=workers)
    all_walks = Need(num_walks * count * walk_length * WALK_NODE_BYTES,
                     f"the walks of {count} nodes at num_walks={num_walks} and "
                     f"walk_length={walk_length}", "fewer walks or shorter ones")
    check_fits(all_walks, walk_buffers(busy_threads(workers, -(-count // batch_size)), walk_length))
    try:
        walks = np.empty((num_walks * count, walk_length), dtype=np.int32)
    except MemoryError:
        raise MemoryError(all_walks.refusal("which could not be allocated")) from None
    with out_of_memory_explained(f"walking {count} nodes at walk_length={walk_length}",
                                 "shorter walks or fewer workers"):
        for r in range(num_walks):
            write_walks(graph=graph.csr, params=params,
                        next_random=int(rng.integers(2**64, dtype=np.uint64)),
                        walks=walks[r * count:(r + 1) * count])
    return walks


WALK_FORMATS = {".npy": "npy", ".txt": "text", ".gz": "gzip text"}


def walks_format(path: PathLike) -> str:
    """The walks format that the path's extension selects: "npy", "text" or "gzip text"."""
    suffix = os.path.splitext(os.fspath(path))[1].lower()
    if suffix not in WALK_FORMATS:
        raise ValueError(f"cannot tell the walks format of {os.fspath(path)!r}: use .npy for the "
                         "array, .txt for text, or .txt.gz for gzipped text")
    return WALK_FORMATS[suffix]


class WalksOutput:
    """A walks file being written: what :func:`walks_output` yields."""

    def __init__(self, file: IO[bytes], kind: str):
        self.format = kind
        self.written = False
        self._file = file

    def check_names(self, names: Sequence | None, count: int) -> None:
        """Raise ValueError now, rather than at ``write``, if the format cannot hold the names
        of nodes ``0 .. count - 1``."""
        if self.format != "npy":
            _words(names, count)
        elif not keys_are_row_numbers(names, count if names is None else len(names)):
            index, name = first_renamed(names)
            raise ValueError(f"a .npy file of walks holds node indices alone, but the nodes are "
                             f"not named by their indices (node index {index} is named "
                             f"{name!r}); save the walks as .txt or .txt.gz, which write the names")

    def write(self, walks, names: Sequence | None = None) -> None:
        """Write walks as :func:`simulate_walks` returns them; see :func:`save_walks`."""
        if self.written:
            raise ValueError("a walks output takes one write")
        walks, lengths = _checked_walks(walks, names)
        if self.format == "npy":
            self.check_names(names, 0)
        self.written = True
        if self.format == "npy":
            np.save(self._file, walks)
            return
        words = _words(names, int(walks.max(initial=-1)) + 1)
        with contextlib.ExitStack() as stack:
            file = self._file if self.format == "text" else \
                stack.enter_context(gzip.GzipFile(fileobj=self._file, mode="wb", mtime=0))
            for start in range(0, len(walks), _ROWS_PER_WRITE):
                rows = walks[start:start + _ROWS_PER_WRITE].tolist()
                ends = lengths[start:start + _ROWS_PER_WRITE].tolist()
                file.write(b"".join(b" ".join([words[v] for v in row[:end]]) + b"\n"
                                    for row, end in zip(rows, ends)))


@contextlib.contextmanager
def walks_output(path: PathLike) -> Iterator[WalksOutput]:
    """Open a walks file for writing before the walks exist, as
    :func:`velmor.embedding_files.embedding_output` does for embeddings: a bad extension or a
    destination that cannot be written fails at once, and the file appears only when the block
    ends cleanly after ``write``."""
    kind = walks_format(path)
    output: WalksOutput | None = None
    with replacing(path, keep=lambda: output is not None and output.written) as file:
        output = WalksOutput(file, kind)
        yield output


def save_walks(path: PathLike, walks, names: Sequence | None = None) -> None:
    """Write walks to a file, in the format that its extension selects.

    ``.npy`` stores the array itself. ``.txt`` writes text, one walk per line, its nodes' names
    separated by single spaces and its padding left out: the corpus format that gensim's
    ``LineSentence`` reads; ``.gz`` (as in ``walks.txt.gz``) the same text gzipped. The file
    appears only once it is complete.

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
        For an unknown extension, walks that are not such an array, an index without a name, or
        a name that is empty or holds whitespace; nothing is written then.
    """
    with walks_output(path) as output:
        output.write(walks, names)


def _checked_walks(walks, names: Sequence | None):
    """The walks as an array and each walk's length; TypeError or ValueError if they are not
    node indices followed by -1 padding, or visit a node without a name."""
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
    return walks, lengths


def _words(names: Sequence | None, count: int) -> list:
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
