"""The graph that training runs on: a native CSR adjacency plus the names of its nodes."""

from __future__ import annotations

import importlib
from collections.abc import Hashable, Sequence

import numpy as np

from velmor._callers import warn_at_caller
from velmor._checks import MAX_INT32, WEIGHT_RULE, check_bool, check_int, first_bad_weight
from velmor._frames import frame_edges, is_data_frame, numbered_edges
from velmor.engine import _engine


class Graph:
    """A graph, directed or not, weighted or not, ready for :class:`velmor.Node2Vec`.

    Nodes are numbered ``0 .. num_nodes - 1``. Each row of ``edges`` is one edge ``(source,
    target)``; an undirected edge is listed once and can be walked both ways. Duplicate edges and
    self-loops are kept: a duplicate is walked as often as one edge of the summed weight.

    Parameters
    ----------
    edges : array_like of shape (E, 2), or pandas.DataFrame
        Node indices, each in ``0 .. num_nodes - 1``; or node names (``[("a", "b"), ("b",
        "c")]``), numbered in order of first appearance; or a DataFrame with one edge a row,
        its nodes named by the values in two columns: integer ids are numbered in ascending
        order, other names (strings, tuples) in order of first appearance, as
        :func:`read_edgelist` numbers them. Names become the keys of the embeddings.
    directed : bool, default False
        Whether an edge can be walked from source to target only.
    names : sequence, optional
        ``names[i]`` is the name of node ``i``, used as its key in the embeddings. Names must be
        distinct and hashable. Default: node ``i`` is named ``i``.
    num_nodes : int, optional
        The node count, for graphs with isolated nodes beyond the largest index in ``edges``.
        Default: ``len(names)`` if names are given, else the largest index plus one.
    weights : array_like of float, shape (E,), optional
        The weight of each edge, finite and greater than 0. A walk steps along an edge in
        proportion to its weight (times node2vec's ``1/p``, ``1``, ``1/q`` bias). Default: every
        edge weighs the same.
    source, target, weight : column names, optional
        For a DataFrame, as NetworkX's ``from_pandas_edgelist`` names them: the columns of the
        edge's two ends and of its weight. Default: by NetworkX's names, the column "weight" if
        there is one (select the other columns to ignore it), and "source" and "target" if
        there are both, else the frame's two other columns, in order.

    Raises
    ------
    TypeError
        If ``edges`` does not hold integers, or ``weights`` not numbers.
    ValueError
        If ``edges`` is not of shape (E, 2), is empty, or holds an index that is negative or not
        below ``num_nodes``; if names are repeated; if there are more nodes than training
        supports; if ``weights`` is not one finite positive number per edge.

    See Also
    --------
    velmor.read_edgelist : Read a graph from an edge-list file.
    Graph.from_scipy, Graph.from_networkx : Build a graph from SciPy or NetworkX objects.
    """

    def __init__(self, edges, *, directed: bool = False, names: Sequence | None = None,
                 num_nodes: int | None = None, weights=None, source: Hashable | None = None,
                 target: Hashable | None = None, weight: Hashable | None = None,
                 _names_distinct: bool = False):
        # _names_distinct: for the package's own readers, whose names are distinct by
        # construction. Checking costs a set of all names: a third of the time to read a file of
        # a million named nodes.
        directed = check_bool("directed", directed)
        if is_data_frame(edges):
            if names is not None:
                raise TypeError("names= does not apply to a DataFrame, whose nodes are named by "
                                "the values in its source and target columns")
            if weight is not None and weights is not None:
                raise TypeError("pass weight= (a column) or weights= (an array), not both")
            edges, names, column_weights = frame_edges(edges, source, target, weight)
            weights = column_weights if weights is None else weights
            _names_distinct = True
        elif (source, target, weight) != (None, None, None):
            raise TypeError("source=, target= and weight= name the columns of a pandas DataFrame; "
                            "for an edge array, pass its weights as an array: weights=")
        elif names is None:
            edges = np.asarray(edges)
            if edges.dtype.kind in "OU" and edges.ndim == 2 and edges.shape[1] == 2 and len(edges):
                edges, names = numbered_edges(edges[:, 0], edges[:, 1])
                _names_distinct = True
        edges = _edge_array(edges)
        weights = None if weights is None else _weight_array(weights, len(edges))
        largest = int(edges.max())
        names = None if names is None else _name_array(names, checked=not _names_distinct)
        if num_nodes is None:
            num_nodes = largest + 1 if names is None else len(names)
        num_nodes = check_int("num_nodes", num_nodes, minimum=1)
        if largest >= num_nodes:
            raise ValueError(f"edges refer to node {largest}, but the graph has only "
                             f"{num_nodes} nodes")
        if num_nodes > MAX_INT32:
            raise ValueError(f"the graph has {num_nodes} nodes, more than the {MAX_INT32} that "
                             "training supports; number the nodes densely (read_edgelist does this "
                             "with relabel=True)")
        if names is not None and len(names) != num_nodes:
            raise ValueError(f"got {len(names)} names for {num_nodes} nodes")
        edges = np.ascontiguousarray(edges, dtype=np.uint32)
        if weights is not None:
            self._csr = _engine.weighted_csr_from_edges(edges, weights, directed, num_nodes)
        else:
            self._csr = _engine.csr_from_edges(edges, directed, num_nodes)
        self._directed = directed
        self._weighted = weights is not None
        self._names = names
        self._num_edges = len(edges)
        on_an_edge = np.zeros(num_nodes, dtype=bool)
        on_an_edge[edges.ravel()] = True
        self._num_isolated_nodes = num_nodes - int(np.count_nonzero(on_an_edge))

    @classmethod
    def from_scipy(cls, matrix, *, directed: bool | None = None) -> Graph:
        """Build a graph from a square SciPy sparse adjacency matrix.

        Every stored non-zero entry ``(i, j)`` is an edge from node ``i`` to node ``j``, and its
        value the edge's weight (duplicate entries are summed first, as SciPy does). A matrix of
        ones gives an unweighted graph; ``matrix.astype(bool)`` drops the weights of any other.

        Parameters
        ----------
        matrix : scipy.sparse matrix or array, shape (n, n)
            Adjacency, with weights finite and greater than 0.
        directed : bool, optional
            Default: directed unless the matrix is symmetric, with a warning when it is not (a
            matrix built from an undirected edge list often holds each edge once). An undirected
            graph takes the union of ``(i, j)`` and ``(j, i)``, which must then agree in weight
            where both are stored.
        """
        sparse = _require("scipy.sparse", "SciPy")
        if not sparse.issparse(matrix):
            raise TypeError(f"expected a SciPy sparse matrix, got {type(matrix).__name__}")
        n, columns = matrix.shape
        if n != columns:
            raise ValueError(f"an adjacency matrix must be square, got shape {matrix.shape}")
        coo = sparse.coo_matrix(matrix)
        coo.sum_duplicates()  # also sorts the entries by (row, column)
        present = coo.data != 0
        rows = coo.row[present].astype(np.int64)
        cols = coo.col[present].astype(np.int64)
        values = coo.data[present]
        if values.dtype == bool:
            values = np.ones(len(values))
        forward, backward = rows * n + cols, cols * n + rows
        # Entry k's mirror (j, i), or -1: sum_duplicates leaves the keys sorted and unique.
        mirror = np.searchsorted(forward, backward).clip(max=max(len(forward) - 1, 0))
        mirror = np.where(forward[mirror] == backward, mirror, -1) if len(forward) else mirror
        if directed is None:
            directed = bool((mirror < 0).any() or np.any(values[mirror] != values))
            if directed:
                warn_at_caller("the matrix is not symmetric, so the graph is taken as directed: "
                               "entry (i, j) is walked from i to j only; pass directed=False to "
                               "walk every edge both ways, or directed=True to silence this",
                               UserWarning)
        if not directed:
            both = mirror >= 0
            differ = both & (values[np.where(both, mirror, 0)] != values)
            if differ.any():
                k = int(np.argmax(differ))
                raise ValueError(f"entries ({rows[k]}, {cols[k]}) and ({cols[k]}, {rows[k]}) "
                                 f"differ ({values[k]} and {values[mirror[k]]}), so the graph "
                                 "cannot be undirected; pass directed=True or a symmetric matrix")
            keep = (rows <= cols) | ~both  # each edge once
            rows, cols, values = rows[keep], cols[keep], values[keep]
        bad = first_bad_weight(values)
        if bad is not None:
            raise ValueError(f"entry ({rows[bad]}, {cols[bad]}) is {values[bad].item()!r}; "
                             f"{WEIGHT_RULE}")
        edges = np.stack([rows, cols], axis=1)
        weights = None if np.all(values == 1) else values
        return cls(edges, directed=bool(directed), num_nodes=n, weights=weights)

    @classmethod
    def from_networkx(cls, graph, weight: str | None = "weight") -> Graph:
        """Build a graph from a NetworkX graph, keeping its nodes as names.

        The nodes are numbered in the order ``list(graph)`` gives; directedness follows
        ``graph.is_directed()``; parallel edges of a multigraph are kept.

        Parameters
        ----------
        graph : networkx.Graph, DiGraph, MultiGraph or MultiDiGraph
        weight : str or None, default "weight"
            The edge attribute that holds the weight, as NetworkX names it; an edge without it
            weighs 1. None ignores weights. A graph whose weights are all 1 is unweighted.
        """
        _require("networkx", "NetworkX")
        nodes = list(graph)
        if not nodes:
            raise ValueError("the graph has no nodes")
        identity = nodes == list(range(len(nodes)))
        index = None if identity else {node: i for i, node in enumerate(nodes)}
        count = graph.number_of_edges()
        triples = graph.edges(data=weight, default=1) if weight is not None else \
            ((u, v, 1) for u, v in graph.edges())
        flat = np.empty(2 * count, dtype=np.int64)
        values = np.empty(count, dtype=np.float64)
        for k, (u, v, w) in enumerate(triples):
            flat[2 * k], flat[2 * k + 1] = (u, v) if identity else (index[u], index[v])
            try:
                if w is None:  # NumPy would store it as NaN
                    raise TypeError
                values[k] = w
            except (TypeError, ValueError):
                raise TypeError(f"edge ({u!r}, {v!r}) has {weight}={w!r}, not a number; give "
                                "every edge a number, or pass weight=None to ignore weights"
                                ) from None
        bad = first_bad_weight(values)
        if bad is not None:
            u, v = (nodes[i] for i in flat[2 * bad:2 * bad + 2])
            raise ValueError(f"edge ({u!r}, {v!r}) has {weight}={values[bad].item()!r}; "
                             f"{WEIGHT_RULE}")
        weights = None if np.all(values == 1) else values
        return cls(flat.reshape(-1, 2), directed=graph.is_directed(),
                   names=None if identity else nodes, num_nodes=len(nodes), weights=weights)

    @property
    def csr(self):
        """The native adjacency that training reads: a ``velmor.engine.CSRGraph``, or a
        ``velmor.engine.WeightedCSRGraph`` when the graph is :attr:`weighted`."""
        return self._csr

    @property
    def num_nodes(self) -> int:
        return self._csr.num_nodes()

    @property
    def num_edges(self) -> int:
        """Edges as given: an undirected edge counts once."""
        return self._num_edges

    @property
    def num_isolated_nodes(self) -> int:
        """Nodes without any edge: no walk leaves or reaches them."""
        return self._num_isolated_nodes

    @property
    def directed(self) -> bool:
        return self._directed

    @property
    def weighted(self) -> bool:
        """Whether walks follow edge weights."""
        return self._weighted

    @property
    def names(self) -> np.ndarray | None:
        """Names of the nodes by index, or None when node ``i`` is named ``i``."""
        return self._names

    def has_edge(self, source: int, target: int) -> bool:
        """Whether an edge leads from node index ``source`` to node index ``target``."""
        for name, value in (("source", source), ("target", target)):
            check_int(name, value, minimum=0, maximum=self.num_nodes - 1)
        return self._csr.has_edge(int(source), int(target))

    def __len__(self) -> int:
        return self.num_nodes

    def __repr__(self) -> str:
        return (f"Graph(num_nodes={self.num_nodes}, num_edges={self.num_edges}, "
                f"directed={self.directed}, weighted={self.weighted})")


def _edge_array(edges) -> np.ndarray:
    array = np.asarray(edges)
    if array.ndim == 2 and array.shape[1] == 3:
        raise ValueError("edges has a third column; pass edge weights as weights=")
    if array.ndim != 2 or array.shape[1] != 2:
        raise ValueError(f"edges must have shape (E, 2), got {array.shape}")
    if len(array) == 0:
        raise ValueError("the graph has no edges")
    if array.dtype.kind not in "iu":
        raise TypeError(f"edges must hold integer node indices or node names, got {array.dtype}")
    if array.dtype.kind == "i" and array.min() < 0:
        row = int(np.argmax((array < 0).any(axis=1)))
        raise ValueError(f"edges[{row}] = {array[row].tolist()} holds a negative node index")
    return array


def _weight_array(weights, count: int) -> np.ndarray:
    """Weights as a float64 array of one number per edge; the engine's builder refuses, naming
    the first, any that is not finite and greater than 0."""
    array = np.asarray(weights)
    if array.dtype.kind not in "iufb":
        raise TypeError(f"weights must hold numbers, got {array.dtype}")
    array = np.ascontiguousarray(array, dtype=np.float64)
    if array.shape != (count,):
        raise ValueError(f"weights must have shape ({count},), one per edge, got {array.shape}")
    return array


def _name_array(names: Sequence, checked: bool = True) -> np.ndarray:
    """Names as a 1-D array; other sequences keep their exact objects (no coercion to str).
    ``checked``: refuse names that are not hashable or not distinct."""
    if isinstance(names, np.ndarray) and names.ndim == 1:
        array = names
    else:
        array = np.empty(len(names), dtype=object)
        for i, name in enumerate(names):
            array[i] = name
    if not checked:
        return array
    try:
        distinct = len(set(array.tolist())) if array.dtype == object else len(np.unique(array))
    except TypeError:
        raise TypeError("node names must be hashable") from None
    if distinct != len(array):
        raise ValueError("node names must be distinct")
    return array


def _require(module: str, name: str):
    try:
        return importlib.import_module(module)
    except ImportError:
        raise ImportError(f"{name} is needed for this, but it is not installed "
                          f"(pip install {module.split('.')[0]})") from None
