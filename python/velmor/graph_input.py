"""What ``fit``, ``fit_transform``, ``update`` and ``simulate_walks`` accept as a graph: every
form the package reads (a Graph, an edge array or list of name pairs, a DataFrame, a SciPy
matrix, a NetworkX graph, a path), each handed to the builder that reads it, with that builder's
options. It sits above both ``graph`` and ``edgelist``, so that neither imports the other."""

from __future__ import annotations

import os
from typing import Any

import numpy as np

from velmor._checks import check_bool
from velmor._frames import is_data_frame
from velmor.edgelist import read_edgelist
from velmor.graph import Graph

# The options that Node2Vec.fit hands on to the builder of each kind of graph.
_OPTIONS = {
    "velmor.Graph": (),
    "edge-list file": ("weighted", "delimiter", "comments", "relabel", "names"),
    "pandas DataFrame": ("source", "target", "weight", "weights"),
    "NetworkX graph": ("weight",),
    "SciPy sparse matrix": (),
    "edge array": ("weights", "names", "num_nodes"),
}


# Every name among them: the keywords that a call taking Node2Vec's parameters and the graph's
# options together (velmor.distributed.fit) sets apart for the graph.
GRAPH_OPTIONS = frozenset(name for names in _OPTIONS.values() for name in names)


def as_graph(data: Any, directed: bool | None = None, **options: Any) -> Graph:
    """Turn anything that ``Node2Vec.fit`` accepts into a :class:`Graph`.

    ``directed`` None means: as the object says (Graph, NetworkX), by symmetry (SciPy), or
    undirected (arrays, DataFrames and files). An explicit value that contradicts the object is
    an error. ``options`` go to the builder of data's kind (``_OPTIONS``): ``read_edgelist``'s
    for a path, the column names for a DataFrame, the weight attribute for NetworkX, weights
    and names for an edge array; an option that the kind does not take is a TypeError that names
    the ones it does.
    """
    if directed is not None:
        directed = check_bool("directed", directed)
    kind = _kind(data)
    _check_options(kind, options)
    if kind == "velmor.Graph":
        _same_direction(data.directed, directed)
        return data
    if kind == "edge-list file":
        return read_edgelist(data, directed=bool(directed), **options)
    if kind == "SciPy sparse matrix":
        return Graph.from_scipy(data, directed=directed)
    if kind == "NetworkX graph":
        _same_direction(data.is_directed(), directed)
        return Graph.from_networkx(data, **options)
    return Graph(data, directed=bool(directed), **options)


def _kind(data: Any) -> str:
    if isinstance(data, Graph):
        return "velmor.Graph"
    if isinstance(data, (str, os.PathLike)):
        return "edge-list file"
    if is_data_frame(data):
        return "pandas DataFrame"
    if _from_package(data, "scipy.sparse"):
        return "SciPy sparse matrix"
    if _from_package(data, "networkx"):
        return "NetworkX graph"
    if isinstance(data, (np.ndarray, list, tuple)):
        return "edge array"
    raise TypeError("expected a velmor.Graph, an (E, 2) integer array, a pandas DataFrame, a SciPy "
                    "sparse matrix, a NetworkX graph or a path to an edge list, got "
                    f"{type(data).__name__}")


def _check_options(kind: str, options: dict) -> None:
    known = {name for names in _OPTIONS.values() for name in names}
    for name in options:
        if name in _OPTIONS[kind]:
            continue
        if kind == "velmor.Graph":
            raise TypeError(f"{name}= does not apply to a velmor.Graph, which is built already: "
                            "pass it where the graph is built")
        takes = ", ".join(f"{option}=" for option in ("directed", *_OPTIONS[kind]))
        article = "an" if kind[0] in "aeiou" else "a"
        if name not in known:
            raise TypeError(f"got an unexpected keyword argument {name!r}; {article} {kind} "
                            f"takes {takes}")
        raise TypeError(f"{name}= does not apply to {article} {kind}, which takes {takes}")


def _same_direction(actual: bool, requested: bool | None) -> None:
    if requested is not None and requested != actual:
        kind = "directed" if actual else "undirected"
        raise ValueError(f"the graph is {kind}, but directed={requested} was passed")


def _from_package(obj: Any, package: str) -> bool:
    """Whether obj's class (or a base) comes from package; the package is never imported here."""
    return any(cls.__module__ == package or cls.__module__.startswith(package + ".")
               for cls in type(obj).__mro__)
