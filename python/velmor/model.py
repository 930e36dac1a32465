"""The Node2Vec estimator: parameters, initialisation, the epoch loop and its learning rate."""

from __future__ import annotations

import contextlib
import inspect
import sys
import warnings
from typing import Any

import numpy as np

from velmor._checks import (
    MAX_INT32,
    MAX_WORKERS,
    check_bool,
    check_int,
    check_real,
    check_thread_environment,
    check_walk_bias,
)
from velmor._matrix import starting_matrices
from velmor._paths import PathLike
from velmor.engine import Node2VecParams, count_visits, train_epoch
from velmor.graph import as_graph
from velmor.keyed import KeyedVectors

# Training matrices larger than this (in bytes) leave the caches of current processors, and the
# random rows of per-pair negatives then bound training: shared_negatives=None shares them.
_SHARED_NEGATIVES_ABOVE = 64 << 20


class Node2Vec:
    """Node embeddings by node2vec: biased random walks and skip-gram with negative sampling.

    The constructor only stores its arguments; :meth:`fit` checks them and trains.

    Parameters
    ----------
    dimensions : int, default 128
        Length of each embedding vector.
    walk_length : int, default 80
        Nodes per walk, the start node included. A walk stops early at a node without
        out-edges.
    num_walks : int, default 10
        Walks started from every node. Training runs one epoch per round of walks, one walk per
        node each, in a fresh random order.
    window_size : int, default 10
        Skip-gram context: nodes up to this many steps apart on a walk train together (the span
        is shrunk at random for each position, as in word2vec).
    p : float, default 1.0
        Return parameter: stepping straight back to the previous node is weighted ``1/p``.
    q : float, default 1.0
        In-out parameter: moving away from the previous node's neighbourhood is weighted
        ``1/q``. ``q > 1`` keeps walks local (BFS-like), ``q < 1`` lets them roam (DFS-like).
    negative : int, default 5
        Negative samples per context pair, at least 1.
    ns_exponent : float, default 0.75
        Negative samples are drawn in proportion to a node's count raised to this power, as
        word2vec draws words: the count is the node's visits in a round of walks counted
        before training (one walk from every node) and in the walks of the epochs so far.
        0 reproduces the uniform draw over all nodes; 1 draws in proportion to the counts;
        larger values favour the frequent nodes more.
    alpha : float, default 0.025
        Learning rate at the start of training.
    min_alpha : float, default 0.0001
        Learning rate that training falls to, linearly over all epochs.
    batch_size : int, optional
        Start nodes per unit of work. Threads take units one at a time, and the learning rate
        steps once per unit. Default: ``ceil(num_nodes / 64)``, between 1 and 256, so that even a
        small graph is split into enough units to keep every thread busy.
    workers : int, optional
        Training threads, at most 1024. None: a pool shared by all calls and sized to the machine
        (the ``VELMOR_NUM_THREADS`` environment variable sets its size; ``RAYON_NUM_THREADS`` is
        still read when that is unset); 0: a new pool of that size for each epoch; k: a new pool
        of k threads for each epoch.
    seed : int, optional
        Seed of the initial vectors and of the walks. Default: fresh entropy.
    progress : bool, default True
        Show a progress bar, with walks per second, while stderr is a terminal and tqdm is
        installed.
    shared_negatives : bool, optional
        True: draw ``negative`` negative samples once per walk position and use them for every
        context pair of that position, as pWord2Vec does. A position then touches ``negative``
        random rows of the output matrix instead of ``negative`` per context, and training is
        about twice as fast, and several times as fast once the matrices no longer fit in the
        processor's caches; on BlogCatalog, classification scores stay the same and
        link-prediction AUC drops by about 0.008. False: one draw per (context, centre) pair,
        as word2vec does. None (default): shared when the two training matrices take more than
        64 MiB (``num_nodes * dimensions * 8`` bytes; 65,536 nodes at 128 dimensions).
    deterministic : bool, default False
        True: the same embeddings for a given ``seed`` whatever the number of ``workers``. The
        nodes fall into blocks, each epoch's walks into episodes (a sixteenth of the epoch, at
        most 819 walks of 80 nodes), and an
        episode's context pairs are trained in block pairs that share no vector, so threads
        never race; each pair's negatives come from its centre's block. With
        ``shared_negatives``, runs of 8 pairs of a block pair share one draw. ``batch_size`` is
        not used. False: threads update shared vectors without locks (Hogwild).
    num_blocks : int, optional
        Blocks of the deterministic schedule, 1 to 256; the embeddings depend on it. Default:
        one per 256 nodes, between 1 and 16. Only with ``deterministic=True``.

    Attributes
    ----------
    embeddings_ : ndarray of shape (num_nodes, dimensions), float32
        Row ``i`` is the embedding of node index ``i``.
    wv : KeyedVectors
        The same vectors, looked up by node name (gensim's naming).
    epochs_trained_ : int
        Epochs completed, one per round of walks: ``num_walks``.

    Notes
    -----
    With ``workers=1`` and a ``seed``, two fits of the same graph give bit-identical embeddings.
    With more threads the result varies from run to run: the threads update shared rows of the
    matrices without locks (Hogwild), so the order in which updates land - and, when two collide,
    which one survives - depends on timing. With ``deterministic=True`` and a ``seed`` the
    embeddings are bit-identical for any number of workers, on processors that run the same
    vector kernels (AVX-512, AVX2 and plain x86-64 each sum in their own order).

    The input vectors start uniform in [-1, 1) / ``dimensions`` (as gensim's do), the output
    vectors at zero.

    Pressing Ctrl-C stops training within a fraction of a second and raises
    ``KeyboardInterrupt`` from ``fit``, leaving the model as it was. Other Python threads keep
    running while it trains.

    The parameter names are those of the node2vec and PecanPy command lines (``num_walks``,
    ``window_size``) and of gensim (``negative``, ``alpha``, ``ns_exponent``). The older names
    ``walks_per_node`` and ``window`` are still accepted, with a ``DeprecationWarning``.

    Examples
    --------
    >>> import numpy as np, velmor
    >>> edges = np.array([[0, 1], [1, 2], [2, 0], [2, 3]])
    >>> model = velmor.Node2Vec(dimensions=16, walk_length=10, seed=1, workers=1).fit(edges)
    >>> model.embeddings_.shape
    (4, 16)
    """

    def __init__(self, dimensions: int = 128, walk_length: int = 80, num_walks: int = 10,
                 window_size: int = 10, p: float = 1.0, q: float = 1.0, negative: int = 5,
                 ns_exponent: float = 0.75, alpha: float = 0.025, min_alpha: float = 0.0001,
                 batch_size: int | None = None, workers: int | None = None,
                 seed: int | None = None, progress: bool = True,
                 shared_negatives: bool | None = None, deterministic: bool = False,
                 num_blocks: int | None = None, **renamed: Any):
        for old, value in renamed.items():
            if old not in _RENAMED:
                raise TypeError(f"Node2Vec got an unexpected keyword argument {old!r}")
            warnings.warn(f"Node2Vec({old}=...) is deprecated; use {_RENAMED[old]}=...",
                          DeprecationWarning, stacklevel=2)
            if _RENAMED[old] == "num_walks":
                num_walks = value
            else:
                window_size = value
        self.dimensions = dimensions
        self.walk_length = walk_length
        self.num_walks = num_walks
        self.window_size = window_size
        self.p = p
        self.q = q
        self.negative = negative
        self.ns_exponent = ns_exponent
        self.alpha = alpha
        self.min_alpha = min_alpha
        self.batch_size = batch_size
        self.workers = workers
        self.seed = seed
        self.progress = progress
        self.shared_negatives = shared_negatives
        self.deterministic = deterministic
        self.num_blocks = num_blocks

    def fit(self, graph, *, directed: bool | None = None) -> Node2Vec:
        """Learn an embedding for every node of ``graph``.

        Parameters
        ----------
        graph : Graph, array_like of shape (E, 2), scipy.sparse matrix, networkx graph or path
            The graph. An integer array lists edges between node indices; a path is read with
            :func:`velmor.read_edgelist`; SciPy and NetworkX objects go through
            :meth:`Graph.from_scipy` and :meth:`Graph.from_networkx`.
        directed : bool, optional
            Whether edges are one-way. Default: as a Graph or NetworkX graph says, by symmetry for
            a SciPy matrix, undirected for arrays and files.

        Returns
        -------
        self
        """
        settings = self.check_params()
        graph = as_graph(graph, directed)
        count, dimensions = graph.num_nodes, settings["dimensions"]
        epochs = settings["num_walks"]
        rng = np.random.default_rng(settings["seed"])
        try:
            embeddings, hidden_layer = starting_matrices(rng, count, dimensions)
        except MemoryError as error:
            if count <= 2 * graph.num_edges:
                raise
            # Most nodes have no edge: the ids were likely sparse, not the dimensions too many.
            raise MemoryError(f"{error}, or number the nodes densely: the graph has {count} nodes "
                              f"but only {graph.num_edges} edges (read_edgelist numbers nodes "
                              "densely)") from None
        # One seed per epoch, and one for the count of the walks' nodes.
        epoch_seeds = rng.integers(2**64, size=epochs + 1, dtype=np.uint64)
        batch_size = settings["batch_size"] or min(256, max(1, -(-count // 64)))
        alpha, decay = settings["alpha"], settings["alpha"] - settings["min_alpha"]
        ns_exponent = settings["ns_exponent"]
        shared_negatives = settings["shared_negatives"]
        if shared_negatives is None:
            shared_negatives = embeddings.nbytes + hidden_layer.nbytes > _SHARED_NEGATIVES_ABOVE

        def epoch_params(epoch):
            # Each epoch covers its own slice of the overall linear decay.
            return Node2VecParams(
                p=settings["p"], q=settings["q"], start_alpha=alpha - decay * epoch / epochs,
                end_alpha=alpha - decay * (epoch + 1) / epochs, window=settings["window_size"],
                batch_size=batch_size, max_walk_length=settings["walk_length"],
                num_negative=settings["negative"], workers=settings["workers"])

        # Negatives follow each node's visits: as word2vec counts its corpus before training,
        # a round of walks is counted first, and every epoch adds the visits of its own walks.
        # An interruption (Ctrl-C raises KeyboardInterrupt here) leaves self untouched.
        visits = np.zeros(count, dtype=np.uint64) if ns_exponent else None
        with _progress_bar(epochs * count, settings["progress"]) as bar:
            if ns_exponent:
                count_visits(graph=graph.csr, params=epoch_params(0),
                             next_random=int(epoch_seeds[epochs]), visits=visits)
            for epoch in range(epochs):
                train_epoch(graph=graph.csr, params=epoch_params(epoch),
                            embeddings=embeddings, hidden_layer=hidden_layer,
                            next_random=int(epoch_seeds[epoch]), ns_exponent=ns_exponent,
                            noise_counts=visits, visits=visits,
                            progress=bar.hook(epoch * count),
                            shared_negatives=shared_negatives,
                            **_schedule(settings))
                bar.show((epoch + 1) * count)
        self.embeddings_ = embeddings
        self.epochs_trained_ = epochs
        self.wv = KeyedVectors(embeddings, graph.names)
        return self

    def save(self, path: PathLike) -> None:
        """Write the embeddings; the extension picks the format: word2vec text (``.emb``,
        ``.emd``, ``.txt``, ``.vec``), ``.npy`` or ``.npz``."""
        if not hasattr(self, "wv"):
            raise ValueError("this Node2Vec is not fitted yet; call fit before save")
        self.wv.save(path)

    def check_params(self) -> dict[str, Any]:
        """Check every parameter and return them as plain Python values.

        Raises
        ------
        TypeError, ValueError
            For the first parameter of the wrong type or out of range.
        """
        settings = {
            "dimensions": check_int("dimensions", self.dimensions, minimum=1),
            "walk_length": check_int("walk_length", self.walk_length, minimum=1),
            "num_walks": check_int("num_walks", self.num_walks, minimum=1),
            "window_size": check_int("window_size", self.window_size, minimum=1, maximum=MAX_INT32),
            "p": check_walk_bias("p", self.p),
            "q": check_walk_bias("q", self.q),
            # No negatives leave nothing to push vectors apart: they all end up parallel.
            "negative": check_int("negative", self.negative, minimum=1),
            "ns_exponent": check_real("ns_exponent", self.ns_exponent, non_negative=True),
            "alpha": check_real("alpha", self.alpha, positive=True),
            "min_alpha": check_real("min_alpha", self.min_alpha, non_negative=True),
            "batch_size": None if self.batch_size is None
            else check_int("batch_size", self.batch_size, minimum=1),
            "workers": None if self.workers is None
            else check_int("workers", self.workers, minimum=0, maximum=MAX_WORKERS),
            "seed": None if self.seed is None else check_int("seed", self.seed, minimum=0),
            "progress": check_bool("progress", self.progress),
            "shared_negatives": None if self.shared_negatives is None
            else check_bool("shared_negatives", self.shared_negatives),
            "deterministic": check_bool("deterministic", self.deterministic),
            "num_blocks": None if self.num_blocks is None
            else check_int("num_blocks", self.num_blocks, minimum=1, maximum=_MAX_BLOCKS),
        }
        if settings["num_blocks"] is not None and not settings["deterministic"]:
            raise ValueError("num_blocks applies only with deterministic=True")
        if settings["deterministic"] and settings["negative"] > _MAX_SCHEDULED_NEGATIVES:
            raise ValueError(f"negative must be at most {_MAX_SCHEDULED_NEGATIVES} with "
                             f"deterministic=True, got {settings['negative']}")
        if settings["workers"] is None:
            check_thread_environment()
        if settings["min_alpha"] > settings["alpha"]:
            raise ValueError(f"min_alpha ({settings['min_alpha']}) must not exceed alpha "
                             f"({settings['alpha']})")
        return settings

    def get_params(self, deep: bool = True) -> dict[str, Any]:
        """The constructor's arguments, as scikit-learn's ``clone`` and searches expect."""
        return {name: getattr(self, name) for name in _param_names()}

    def set_params(self, **params: Any) -> Node2Vec:
        """Change constructor arguments; takes effect at the next :meth:`fit`."""
        valid = _param_names()
        for name, value in params.items():
            if name not in valid:
                raise ValueError(f"Node2Vec has no parameter {name!r}; valid: {', '.join(valid)}")
            setattr(self, name, value)
        return self

    def __repr__(self) -> str:
        defaults = inspect.signature(type(self).__init__).parameters
        changed = [f"{name}={value!r}" for name, value in self.get_params().items()
                   if value is not defaults[name].default and value != defaults[name].default]
        return f"Node2Vec({', '.join(changed)})"


_RENAMED = {"walks_per_node": "num_walks", "window": "window_size"}

# The most blocks, and negatives per pair, that the engine's deterministic schedule takes.
_MAX_BLOCKS = 256
_MAX_SCHEDULED_NEGATIVES = 1 << 22


def _schedule(settings: dict[str, Any]) -> dict[str, Any]:
    """The engine's arguments for the deterministic schedule, or none for Hogwild."""
    if not settings["deterministic"]:
        return {}
    return {"deterministic": True, "num_blocks": settings["num_blocks"] or 0}


def _param_names():
    return [name for name, parameter in inspect.signature(Node2Vec.__init__).parameters.items()
            if name != "self" and parameter.kind is not parameter.VAR_KEYWORD]


class _Bar:
    """Walks trained, shown by a tqdm bar, or counted silently when no bar should show."""

    def __init__(self, tqdm_bar=None):
        self.tqdm_bar = tqdm_bar

    def show(self, walks: int) -> None:
        if self.tqdm_bar is not None:
            self.tqdm_bar.update(walks - self.tqdm_bar.n)

    def hook(self, walks_before: int):
        """The progress hook of an epoch that starts after `walks_before` walks; None without a
        bar, so that the engine calls nothing."""
        if self.tqdm_bar is None:
            return None
        return lambda walks: self.show(walks_before + walks)


@contextlib.contextmanager
def _progress_bar(total: int, wanted: bool):
    """A _Bar over `total` walks, with a tqdm bar while stderr is a terminal and tqdm is
    installed."""
    stderr = sys.stderr
    if not (wanted and stderr is not None and getattr(stderr, "isatty", lambda: False)()):
        yield _Bar()
        return
    try:
        from tqdm import tqdm
    except ImportError:
        yield _Bar()
        return
    bar = tqdm(total=total, unit="walk", unit_scale=True, desc="node2vec", file=stderr)
    try:
        yield _Bar(bar)
    finally:
        bar.close()
