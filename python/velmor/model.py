"""The Node2Vec estimator: parameters, initialisation, the epoch loop and its learning rate."""

from __future__ import annotations

import contextlib
import copy
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
from velmor._fitted import estimator_tags, not_fitted
from velmor._matrix import starting_matrices
from velmor._memory import (
    Need,
    busy_threads,
    check_fits,
    out_of_memory_explained,
    walk_buffers,
)
from velmor._paths import PathLike
from velmor.engine import Node2VecParams, count_visits, train_epoch
from velmor.graph_input import as_graph
from velmor.keyed import KeyedVectors
from velmor.walks import default_batch_size


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
        Walks started from every node in each pass. Training runs one epoch per round of walks,
        one walk per node each, in a fresh random order.
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
        steps once per unit. Default: :func:`velmor.walks.default_batch_size` of the start nodes,
        the walks' own rule, which splits even a small graph into enough units to keep every
        thread busy.
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
    shared_negatives : bool, default True
        True: draw ``negative`` negative samples once per walk position and use them for every
        context pair of that position, as pWord2Vec does. A position then touches ``negative``
        random rows of the output matrix instead of ``negative`` per context, and its pairs
        train in blocks of four contexts, each row loaded once a block, with the result of
        training them one by one: training is about twice as fast, and several times as fast
        once the matrices no longer fit in the processor's caches, at the same classification
        scores; link-prediction AUC on BlogCatalog is higher on one thread and lower on two
        (figures in the README). False: one draw per (context, centre) pair, as word2vec
        does. None: as True.
    epochs : int, default 1
        Passes over the graph, gensim's ``epochs`` and PecanPy's ``--epochs``: training runs
        ``num_walks * epochs`` rounds of walks, every pass walking afresh, and the learning rate
        falls linearly over all of them. ``epochs=2`` thus trains exactly as ``num_walks``
        doubled does. It trains as well as several passes over one corpus of walks, as gensim
        and PecanPy make them (measured level on labelled graphs): each pass trains on walks of
        the same distribution, only new ones, and no corpus is held in memory.
    deterministic : bool, default False
        True: the same embeddings for a given ``seed`` whatever the number of ``workers``. The
        nodes fall into blocks, each epoch's walks into episodes (a sixteenth of the epoch, at
        most 819 walks of 80 nodes), and an episode's context pairs are trained in block pairs
        that share no vector, so threads never race; each pair's negatives come from its
        centre's block. With ``shared_negatives``, runs of 8 pairs of a block pair share one
        draw. ``batch_size`` is not used. False: threads update shared vectors without locks
        (Hogwild).
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
        Epochs completed, one per round of walks: ``num_walks * epochs``.
    hidden_layer_ : ndarray of shape (num_nodes, dimensions), float32
        The output vectors of training, kept (with ``noise_counts_``, the visit counts that
        negatives are drawn by, and ``linked_``, 1 for each node that had an edge) so that
        :meth:`update` can embed new nodes and :meth:`save` can write the whole model.

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

    A node without edges is on no walk, and a walk of one node (``walk_length=1``) has no
    context: their vectors stay as they started, which ``fit`` says once with a
    :class:`Node2VecWarning`.

    What training will allocate (the two matrices, each thread's walk buffer of
    ``walk_length`` nodes and visit counts) is checked against the machine's memory, and the
    address space that ``ulimit -v`` leaves, before any work: a run that cannot fit raises a
    ``MemoryError`` that says what needs how much.

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
                 shared_negatives: bool | None = True, epochs: int = 1,
                 deterministic: bool = False, num_blocks: int | None = None, **renamed: Any):
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
        self.epochs = epochs
        self.deterministic = deterministic
        self.num_blocks = num_blocks

    def fit(self, X, y=None, *, directed: bool | None = None, **graph_options: Any) -> Node2Vec:
        """Learn an embedding for every node of the graph ``X``.

        Parameters
        ----------
        X : Graph, array_like of shape (E, 2), DataFrame, scipy.sparse matrix, nx.Graph or path
            The graph (named ``X`` as scikit-learn names what ``fit`` learns from). An integer
            array lists edges between node indices, a DataFrame one edge a row (see
            :class:`Graph`); a path is read with :func:`velmor.read_edgelist`; SciPy and
            NetworkX objects go through :meth:`Graph.from_scipy` and
            :meth:`Graph.from_networkx`.
        y : None
            Ignored: node2vec learns from the graph alone. Present so that scikit-learn's
            pipelines, which pass their targets on, can call ``fit``.
        directed : bool, optional
            Whether edges are one-way. Default: as a Graph or NetworkX graph says, by symmetry for
            a SciPy matrix, undirected for arrays, DataFrames and files.
        **graph_options
            Passed to what builds the graph from ``X``, as if it were called directly:
            ``weighted``, ``delimiter``, ``comments``, ``relabel`` and ``names`` of
            :func:`velmor.read_edgelist` for a path (``fit(path, weighted=True)``); ``source``,
            ``target`` and ``weight`` (column names) or ``weights`` for a DataFrame; ``weight``
            (the edge attribute, None to ignore weights) for a NetworkX graph (``fit(G,
            weight="w")``); ``weights``, ``names`` and ``num_nodes`` of :class:`Graph` for an
            edge array.

        Returns
        -------
        self
        """
        settings = self.check_params()
        graph = as_graph(X, directed, **graph_options)
        count, dimensions = graph.num_nodes, settings["dimensions"]
        epochs = settings["num_walks"] * settings["epochs"]
        rng = np.random.default_rng(settings["seed"])
        batch_size = settings["batch_size"] or default_batch_size(count)
        walk_length, ns_exponent = settings["walk_length"], settings["ns_exponent"]
        threads = busy_threads(settings["workers"], -(-count // batch_size))
        walks = walk_buffers(threads, walk_length)
        # Each thread counts its walks' visits apart; the counts are then added to the model's.
        visit_counts = Need((threads + 1) * count * 8 if ns_exponent else 0,
                            f"the visit counts of {count} nodes on {threads} "
                            f"thread{'s' * (threads > 1)}", "fewer workers")
        check_fits(walks, visit_counts)
        _note_untrained(graph, walk_length)
        try:
            embeddings, hidden_layer = starting_matrices(rng, count, dimensions, walks,
                                                         visit_counts)
        except MemoryError as error:
            if count <= 2 * graph.num_edges:
                raise
            # Most nodes have no edge: the ids were likely sparse, not the dimensions too many.
            raise MemoryError(f"{error}, or number the nodes densely: the graph has {count} nodes "
                              f"but only {graph.num_edges} edges (read_edgelist numbers nodes "
                              "densely)") from None
        # Negatives follow each node's visits: as word2vec counts its corpus before training,
        # a round of walks is counted first, and every epoch adds the visits of its own walks.
        # An interruption (Ctrl-C raises KeyboardInterrupt here) leaves self untouched.
        visits = np.zeros(count, dtype=np.uint64) if ns_exponent else None
        with out_of_memory_explained(f"training {count} nodes at dimensions={dimensions} and "
                                     f"walk_length={walk_length}",
                                     "fewer dimensions, shorter walks or fewer workers"):
            train_rounds(graph, settings, embeddings, hidden_layer, visits, rng=rng,
                         rounds=epochs, alpha=settings["alpha"], min_alpha=settings["min_alpha"])
        self.embeddings_ = embeddings
        self.epochs_trained_ = epochs
        self.wv = KeyedVectors(embeddings, graph.names)
        self._keep_training_state(graph, hidden_layer, visits)
        return self

    def _keep_training_state(self, graph, hidden_layer, visits) -> None:
        """What a later update needs beyond the embeddings: the output vectors, the negatives'
        counts, and which nodes had an edge (the others' vectors were never trained)."""
        from velmor.model_update import linked_nodes

        self.hidden_layer_ = hidden_layer
        self.noise_counts_ = visits
        self.linked_ = linked_nodes(graph)

    def update(self, graph, *, freeze_old: bool = True, num_walks: int | None = None,
               alpha: float | None = None, seed: int | None = None,
               directed: bool | None = None) -> Node2Vec:
        """Embed the new nodes of a grown graph without retraining the others.

        ``graph`` is the whole grown graph: every node of the model under its own name, new
        names for new nodes, new edges anywhere (old edges may be gone). A new node is a name the
        model lacks, or an old node that had no edge when it was trained and has one now (its
        vector was still random). Walks start from the new nodes alone, and the old nodes' rows
        of both training matrices stay frozen: every old vector is bit-identical afterwards, so
        a classifier trained on them keeps working. The new nodes learn their vectors from the
        context of the old ones, which is what places them in the same space.

        Parameters
        ----------
        graph : Graph, array_like of shape (E, 2), scipy.sparse matrix, networkx graph or path
            The grown graph, in any form that :meth:`fit` takes. Its nodes must be named as the
            model's are (integers or strings alike) and include every node of the model.
        freeze_old : bool, default True
            False lets the old rows move too, and the old nodes that the new nodes' arcs reach
            start walks as well: a cheaper continued training than a new fit, after which the
            old vectors are no longer those a downstream model was trained on.
        num_walks : int, optional
            Rounds of walks, one walk from each new node per round. Default: four times the
            model's ``num_walks``. A new node learns from the walks that start from it (and the
            few that pass it), where a fit trains a node on every walk that reaches it; with a
            tenth of BlogCatalog's nodes new, the model's own ``num_walks`` left them well
            below a full retraining's quality, four times brought them level.
        alpha : float, optional
            Learning rate at the start of the update, falling linearly to ``min_alpha``.
            Default: twice the model's ``alpha``; the new vectors start from random, and
            learn against old vectors that no longer move.
        seed : int, optional
            Seed of the new vectors' start and of the walks. Default: the model's ``seed``.
        directed : bool, optional
            As in :meth:`fit`.

        Returns
        -------
        self

        Raises
        ------
        ValueError
            If the model is not fitted, or the graph lacks some of the model's nodes.
        TypeError
            If the graph's node names are of another kind than the model's (strings against
            integers).

        Notes
        -----
        The cost is that of ``num_walks`` walks from each new node, and training skips every
        context pair of two frozen nodes, so adding a tenth of the nodes costs far less than a
        tenth of a fit. The new nodes' walks add their visits to the counts that negatives are
        drawn by. Edges added between two old nodes are not noticed (a model keeps no edges).
        An error or Ctrl-C leaves the model as it was. A frozen update trains without the
        ``deterministic`` schedule, which takes no frozen rows: with ``workers=1`` and a ``seed``
        it is still reproducible.
        """
        from velmor.model_update import update_model

        self._check_fitted("update")
        update_model(self, as_graph(graph, directed), freeze_old=freeze_old,
                     num_walks=num_walks, alpha=alpha, seed=seed)
        return self

    @classmethod
    def load(cls, path: PathLike) -> Node2Vec:
        """Read a model written by :meth:`save` to a ``.npz`` file: parameters, node names,
        both training matrices and the negatives' counts, ready for :meth:`update` and for
        ``wv`` queries. Files of every earlier model format are read.

        Raises
        ------
        ValueError
            Naming the file, for anything but a whole velmor model: another tool's file, an
            embeddings-only ``.npz``, a truncated or damaged file, or one written by a newer
            velmor.
        """
        from velmor.model_file import load_model

        return load_model(path, cls)

    def save(self, path: PathLike) -> None:
        """Write the model; the extension picks what: ``.npz`` writes the whole model, which
        :meth:`load` reads back (its ``vectors`` and ``keys`` arrays are the embeddings-only
        ``.npz``, so ``KeyedVectors.load`` reads it too); word2vec text (``.emb``, ``.emd``,
        ``.txt``, ``.vec``), ``.bin`` and ``.npy`` hold the embeddings alone."""
        self._check_fitted("save")
        if str(path).lower().endswith(".npz"):
            from velmor.model_file import save_model

            return save_model(path, self)
        self.wv.save(path)

    def fit_transform(self, X, y=None, *, directed: bool | None = None,
                      **graph_options: Any) -> np.ndarray:
        """Fit to the graph ``X`` and return its embedding, ``embeddings_``: row ``i`` is node
        index ``i``, named ``wv.index_to_key[i]``. Takes what :meth:`fit` takes."""
        return self.fit(X, y, directed=directed, **graph_options).embeddings_

    def transform(self, X, *, directed: bool | None = None, **graph_options: Any) -> np.ndarray:
        """The embeddings of the nodes of ``X``, by name, in the order of its node indices.

        node2vec learns a vector for each node it walked, not a function of new graphs: ``X`` is
        the graph the model was fitted on (so that a scikit-learn pipeline can ``predict`` on
        it), or any graph among its nodes. Takes what :meth:`fit` takes.

        Raises
        ------
        NotFittedError
            Before :meth:`fit` (scikit-learn's class when it is installed).
        ValueError
            For a node that the fitted graph does not have.
        """
        self._check_fitted("transform")
        graph = as_graph(X, directed, **graph_options)
        names = range(graph.num_nodes) if graph.names is None else graph.names.tolist()
        rows = [self.wv.get_index(name, -1) for name in names]
        if -1 in rows:
            name = names[rows.index(-1)]
            raise ValueError(f"node {name!r} is not in the graph this model was fitted on; "
                             "node2vec embeds only the nodes it trained on: fit the new graph")
        return self.embeddings_[rows]

    def _check_fitted(self, action: str) -> None:
        if not self.__sklearn_is_fitted__():
            raise not_fitted(f"this Node2Vec is not fitted yet; call fit before {action}")

    def __sklearn_is_fitted__(self) -> bool:
        """Whether :meth:`fit` (or :meth:`load`) has run, leaving the embeddings and the training
        state that save and update need; what scikit-learn's ``check_is_fitted`` asks."""
        return "embeddings_" in vars(self) and "hidden_layer_" in vars(self)

    def __sklearn_tags__(self):
        return estimator_tags()

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
            "epochs": check_int("epochs", self.epochs, minimum=1),
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
            if name in _RENAMED:
                warnings.warn(f"set_params({name}=...) is deprecated; use {_RENAMED[name]}=...",
                              DeprecationWarning, stacklevel=2)
                name = _RENAMED[name]
            elif name not in valid:
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


class Node2VecWarning(UserWarning):
    """Something about a fit worth knowing, such as vectors that training cannot reach."""


def _note_untrained(graph, walk_length: int) -> None:
    """Warn once if some vectors, or all, will stay as they started."""
    if walk_length == 1:
        warnings.warn("walk_length=1: a walk of one node has no context to train on, so every "
                      "vector stays as it started (random); choose walks of 2 nodes or more",
                      Node2VecWarning, stacklevel=3)
    elif graph.num_isolated_nodes:
        warnings.warn(f"{graph.num_isolated_nodes} of {graph.num_nodes} nodes have no edges, so "
                      "no walk reaches them and their vectors stay as they started (random)",
                      Node2VecWarning, stacklevel=3)


def _seed_after(rng: np.random.Generator, skip: int) -> int:
    """The 64-bit seed that ``rng`` would give after ``skip`` others, leaving ``rng`` as it is:
    each full-range draw takes one step of the bit generator."""
    twin = copy.deepcopy(rng)
    twin.bit_generator.advance(skip)
    return int(twin.integers(2**64, dtype=np.uint64))


def round_params(settings: dict[str, Any], starts: int, epoch: int, rounds: int, alpha: float,
                 min_alpha: float) -> dict[str, Any]:
    """The engine's parameters (Node2VecParams' arguments) of round ``epoch`` of ``rounds`` over
    ``starts`` start nodes: each round covers its own slice of the linear decay from ``alpha``
    to ``min_alpha``."""
    decay = alpha - min_alpha
    return dict(p=settings["p"], q=settings["q"], start_alpha=alpha - decay * epoch / rounds,
                end_alpha=alpha - decay * (epoch + 1) / rounds, window=settings["window_size"],
                batch_size=settings["batch_size"] or default_batch_size(starts),
                max_walk_length=settings["walk_length"], num_negative=settings["negative"],
                workers=settings["workers"])


def shares_negatives(settings: dict[str, Any]) -> bool:
    """Whether a walk position's pairs share their negatives: unless asked not to."""
    return settings["shared_negatives"] is not False


def train_rounds(graph, settings: dict[str, Any], embeddings: np.ndarray,
                 hidden_layer: np.ndarray, visits: np.ndarray | None, *,
                 rng: np.random.Generator, rounds: int, alpha: float, min_alpha: float,
                 start_nodes: np.ndarray | None = None, frozen: np.ndarray | None = None) -> None:
    """``rounds`` rounds of walks trained into the matrices, one epoch per round, the learning
    rate falling linearly from ``alpha`` to ``min_alpha`` over all of them. Each round walks
    once from every node, or from each of ``start_nodes``; ``frozen`` rows stay as they are
    (``train_epoch``'s). Each round's seed is drawn from ``rng`` as it starts (a long run holds
    no array of seeds), and a first round counted into ``visits`` (None: uniform negatives)
    takes the seed that follows them all. ``settings`` are those of check_params."""
    starts = graph.num_nodes if start_nodes is None else len(start_nodes)
    shared_negatives = shares_negatives(settings)

    def epoch_params(epoch):
        return Node2VecParams(**round_params(settings, starts, epoch, rounds, alpha, min_alpha))

    # The block schedule takes no frozen rows: a frozen update trains as Hogwild does.
    schedule = _schedule(settings) if frozen is None else {}
    count_seed = _seed_after(rng, rounds)
    with _progress_bar(rounds * starts, settings["progress"]) as bar:
        if visits is not None:
            count_visits(graph=graph.csr, params=epoch_params(0), next_random=count_seed,
                         visits=visits, start_nodes=start_nodes)
        for epoch in range(rounds):
            train_epoch(graph=graph.csr, params=epoch_params(epoch), embeddings=embeddings,
                        hidden_layer=hidden_layer,
                        next_random=int(rng.integers(2**64, dtype=np.uint64)),
                        ns_exponent=settings["ns_exponent"], noise_counts=visits, visits=visits,
                        progress=bar.hook(epoch * starts), shared_negatives=shared_negatives,
                        start_nodes=start_nodes, frozen=frozen, **schedule)
            bar.show((epoch + 1) * starts)


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
