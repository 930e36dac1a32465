"""Edges between named nodes, from a pandas DataFrame or an array of names: which columns to
read, how the nodes are numbered, and the weights.

pandas is imported only to number names (not integers), and optionally: a DataFrame exists only
where pandas is installed, and arrays of names are numbered without it where it is not.
"""

from __future__ import annotations

from collections.abc import Hashable
from typing import Any

import numpy as np

from velmor._checks import WEIGHT_RULE, first_bad_weight
from velmor._relabel import relabel_ascending


def is_data_frame(obj: Any) -> bool:
    """Whether obj is a pandas DataFrame; pandas is never imported here."""
    return any(cls.__name__ == "DataFrame" and cls.__module__.split(".")[0] == "pandas"
               for cls in type(obj).__mro__)


def frame_edges(frame, source: Hashable | None, target: Hashable | None,
                weight: Hashable | None) -> tuple[np.ndarray, np.ndarray | None, np.ndarray | None]:
    """The (E, 2) node indices, node names and weights of an edge DataFrame, one edge a row.

    ``source`` and ``target`` name the columns of the edge's ends and ``weight`` that of its
    weight, as in NetworkX's ``from_pandas_edgelist``. Unnamed, they are found by NetworkX's
    names: the weights are the column "weight" if there is one (as ``Graph.from_networkx`` reads
    the attribute "weight"), the ends the columns "source" and "target" if there are both, else
    the frame's two columns other than the weights', in order. Nodes are numbered as
    ``read_edgelist`` numbers them: integer ids in ascending order, other names (strings,
    tuples, ...) in order of first appearance. Names are None when the nodes are exactly the
    integers 0..n-1; weights are None without a weight column.

    Raises
    ------
    ValueError
        For a column that is not in the frame, a frame with other columns that names none, no
        rows, a missing node, or a weight that is not finite and greater than 0 (naming the row).
    TypeError
        For node names stored as floats, or weights that are not numbers.
    """
    columns = list(frame.columns)
    for option, column in (("source", source), ("target", target), ("weight", weight)):
        if column is not None and column not in columns:
            raise ValueError(f"{option}={column!r} is not a column of the DataFrame, whose "
                             f"columns are {columns}")
    if (source is None) != (target is None):
        raise ValueError("pass both source= and target=, or neither")
    if weight is None and "weight" in columns and "weight" not in (source, target):
        weight = "weight"
    if source is None and "source" in columns and "target" in columns:
        source, target = "source", "target"
    if source is None:
        ends = [column for column in columns if column != weight or weight is None]
        if len(ends) != 2:
            raise ValueError(f"the DataFrame has the columns {columns}; name the edge's ends with "
                             "source= and target= (and the weights with weight=)")
        source, target = ends
    if len(frame) == 0:
        raise ValueError("the graph has no edges")
    edges, names = numbered_edges(_node_column(frame, source, "source"),
                                  _node_column(frame, target, "target"))
    return edges, names, None if weight is None else _weight_column(frame, weight)


def _node_column(frame, column: Hashable, role: str) -> np.ndarray:
    series = frame[column]
    missing = np.asarray(series.isna())
    if missing.any():
        raise ValueError(f"row {_label(frame, int(np.argmax(missing)))!r} of the DataFrame has "
                         f"no {role} (column {column!r} is missing)")
    kind = series.dtype.kind
    if kind in "iu":  # NumPy's integers and pandas' nullable ones
        return series.to_numpy(dtype=np.uint64 if kind == "u" else np.int64)
    if kind in "fc":
        raise TypeError(f"column {column!r} holds {series.dtype} numbers; node names must be "
                        f"integers or strings (for whole numbers stored as floats, pass "
                        f"frame.astype({{{column!r}: 'int64'}}))")
    return series.to_numpy(dtype=object)


def numbered_edges(sources: np.ndarray,
                   targets: np.ndarray) -> tuple[np.ndarray, np.ndarray | None]:
    """Node indices for the edges' ends, and the node names by index (None for 0..n-1): integer
    ids in ascending order, other names in order of first appearance, as ``read_edgelist``
    numbers them."""
    if sources.dtype == targets.dtype and sources.dtype.kind in "iu":
        values = np.stack([sources, targets], axis=1).ravel()
        if values.min() >= 0 and values.max() <= np.iinfo(np.int64).max:
            ids, names = relabel_ascending(values.astype(np.int64, copy=False))
        else:
            names, ids = np.unique(values, return_inverse=True)
        return ids.reshape(-1, 2), names
    values = np.empty(2 * len(sources), dtype=object)
    values[0::2], values[1::2] = sources, targets
    try:
        from pandas import factorize
    except ImportError:
        first: dict = {}
        ids = np.fromiter((first.setdefault(value, len(first)) for value in values.tolist()),
                          dtype=np.int64, count=len(values))
        names = list(first)
    else:
        ids, names = factorize(values)
    found = np.empty(len(names), dtype=object)
    found[:] = list(names)
    return ids.reshape(-1, 2), found


def _weight_column(frame, column: Hashable) -> np.ndarray:
    series = frame[column]
    if series.dtype.kind not in "iufb":
        raise TypeError(f"column {column!r} holds {series.dtype}, not numbers; weight= names the "
                        "column of edge weights")
    values = series.to_numpy(dtype=np.float64, na_value=np.nan)
    bad = first_bad_weight(values)
    if bad is not None:
        raise ValueError(f"row {_label(frame, bad)!r} of the DataFrame has {column}="
                         f"{values[bad].item()!r}; {WEIGHT_RULE}")
    return values


def _label(frame, position: int) -> Hashable:
    """The index label of a row, as the user would write it (5, not np.int64(5))."""
    label = frame.index[position]
    return label.item() if isinstance(label, np.generic) else label
