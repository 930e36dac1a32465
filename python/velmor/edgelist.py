"""Reading graphs from edge-list files."""

from __future__ import annotations

import gzip
import os
import zlib
from typing import BinaryIO, NamedTuple

import numpy as np

from velmor._callers import warn_at_caller
from velmor._checks import WEIGHT_RULE, check_bool, check_char
from velmor._paths import PathLike
from velmor._relabel import relabel_ascending
from velmor.engine._engine import read_edge_list
from velmor.graph import Graph

LARGEST_ID = 4294967294  # the largest uint32 that can still be a node index (the count is id + 1)
LONGEST_ID_DIGITS = 18
LONGEST_NAME = 255  # bytes


class EdgeListError(ValueError):
    """A malformed edge-list file. ``str()`` reads ``"path:line: reason"``."""

    def __init__(self, path: PathLike | BinaryIO, line: int | None, reason: str):
        self.path = _name_of(path)
        self.line = line
        self.reason = reason
        where = self.path if line is None else f"{self.path}:{line}"
        super().__init__(f"{where}: {reason}")


class EdgeListWarning(UserWarning):
    """Something in an edge-list file that was read in a way worth knowing, such as a skipped
    header line. The message reads ``"path:line: what happened"``."""


def read_edgelist(path: PathLike | BinaryIO, directed: bool = False,
                  delimiter: str | None = None,
                  comments: str | None = "#", relabel: bool = True,
                  names: bool | None = None, weighted: bool | None = None) -> Graph:
    """Read a graph from an edge-list file, one edge per line.

    The format is the common one of SNAP and node2vec: two node names per line, separated by
    whitespace, tabs or commas, and with ``weighted=True`` a third column, the edge's weight;
    ``#`` starts a comment; blank lines are skipped. A file ending in ``.gz`` is decompressed.

    Nodes are either integer ids or string names, decided by the first two edge lines: if the
    first holds two numbers, every node must be an integer id; if it holds a word and the second
    line two numbers, the first line is a header such as ``source<TAB>target``, which is skipped
    with an :class:`EdgeListWarning`; otherwise every node is a string name. In a weighted file, a
    first line of words only, such as ``source target weight``, above a line with a numeric
    weight is a header too. Pass ``names`` to decide yourself.

    Parameters
    ----------
    path : str, os.PathLike or binary file object
        The file, or a file object opened for reading bytes, such as ``sys.stdin.buffer``,
        which is read to its end; messages name it by its ``name`` (``<stdin>``).
    directed : bool, default False
        Whether each line is an arc from the first node to the second.
    delimiter : str, optional
        A single character that separates the columns; whitespace around each column is
        trimmed, so names may contain inner spaces. Default: runs of whitespace and commas.
    comments : str or None, default "#"
        The character that starts a comment, running to the end of its line; None for none.
    relabel : bool, default True
        True: nodes are numbered 0..n-1 - integer ids in ascending numeric order (so a file whose
        ids already run 0..n-1 keeps them, and "007" is node 7), string names in order of first
        appearance. The ids or names are kept in ``Graph.names`` and become the keys of the
        embeddings. False: ids must be integers 0..4294967294 and are used as node indices as
        they stand; ids that never appear become isolated nodes.
    names : bool, optional
        True: every node is a string name, numbers included ("7" and "007" are two nodes), and
        no line is taken for a header; requires ``relabel=True``. False: every node must be an
        integer id (a header line is still skipped). Default: decided from the first two edge
        lines, as above.
    weighted : bool, optional
        True: every line holds a third column, the weight of the edge: a decimal number such as
        ``2``, ``0.5`` or ``1e-3``, finite and greater than 0. A walk steps along an edge in
        proportion to its weight. An edge listed more than once is kept as parallel edges,
        which a walk treats as one edge of the summed weight. False: every edge weighs the same;
        if the first edge line has a third column, every line has one, and it is not read.
        Default: every line holds two columns, and a third is an error that asks for one of the
        two.

    Returns
    -------
    Graph

    Raises
    ------
    EdgeListError
        If the file holds no edges, or a line does not hold exactly two node names (and a weight
        with ``weighted=True``), or in a file of integer ids a node is not an integer (in
        0..4294967294 with ``relabel=False``), or a weight is not a number, or not finite and
        greater than 0, or names are not UTF-8 text, or the data is binary or broken gzip. The
        message names the file and the line.
    OSError
        If the file cannot be read.

    Warns
    -----
    EdgeListWarning
        When a header line is skipped.
    """
    directed = check_bool("directed", directed)
    relabel = check_bool("relabel", relabel)
    ignore_weights = weighted is not None and not check_bool("weighted", weighted)
    weighted = bool(weighted)
    if names is not None:
        names = check_bool("names", names)
        if names and not relabel:
            raise ValueError("names=True needs relabel=True: string names cannot be node indices")
    delimiter_byte, comment_byte = check_delimiters(delimiter, comments)
    data = _read_bytes(path)
    parsed = _parse(path, data, delimiter=delimiter_byte, comments=comment_byte, relabel=relabel,
                    names=names, weighted=weighted, ignore_weights=ignore_weights)
    del data
    try:
        if weighted:
            graph = Graph(parsed.edges, directed=directed, names=parsed.names,
                          weights=parsed.weights, _names_distinct=True)
        else:
            graph = Graph(parsed.edges, directed=directed, names=parsed.names,
                          _names_distinct=True)
    except ValueError as error:
        raise EdgeListError(path, None, str(error)) from None
    if parsed.header is not None:
        line, text = parsed.header
        text = text.decode("utf-8", "replace").strip()
        text = text if len(text) <= 60 else text[:57] + "..."
        warn_at_caller(f"{_name_of(path)}:{line}: skipped the header line {text!r}",
                       EdgeListWarning)
    return graph


def check_delimiters(delimiter: str | None,
                     comments: str | None) -> tuple[bytes | None, bytes | None]:
    """Check read_edgelist's delimiter and comment characters; return them as bytes."""
    delimiter_byte = check_char("delimiter", delimiter)
    comment_byte = check_char("comments", comments)
    if delimiter is not None and delimiter.isalnum():
        raise ValueError(f"delimiter must not be a letter or digit, got {delimiter!r}")
    if delimiter_byte is not None and delimiter_byte == comment_byte:
        raise ValueError("delimiter and comments must differ")
    return delimiter_byte, comment_byte


def _name_of(path: PathLike | BinaryIO) -> str:
    """The name by which messages speak of a file or a file object."""
    if hasattr(path, "read"):
        return str(getattr(path, "name", "<stream>"))
    return os.fspath(path)


def _read_bytes(path: PathLike | BinaryIO) -> bytes:
    if hasattr(path, "read"):
        data = path.read()
        if not isinstance(data, bytes):
            raise TypeError("read_edgelist reads bytes: open the file in binary mode ('rb'), or "
                            "pass sys.stdin.buffer rather than sys.stdin")
        return data
    if not os.fspath(path).endswith(".gz"):
        with open(path, "rb") as file:
            return file.read()
    try:
        with gzip.open(path, "rb") as file:
            return file.read()
    except EOFError:
        reason = "the gzip data ends early (truncated file?)"
    except gzip.BadGzipFile as error:
        reason = "not valid gzip data" + ("" if str(error).startswith("Not a gzipped file")
                                          else f" ({error})")
    except zlib.error as error:
        reason = f"not valid gzip data ({error})"
    raise EdgeListError(path, None, reason)


class _Parsed(NamedTuple):
    edges: np.ndarray  # (E, 2) uint32 node indices
    names: np.ndarray | None  # the name of each node index, or None for 0..n-1
    header: tuple[int, bytes] | None  # the skipped header line: its number and its text
    weights: np.ndarray | None  # (E,) float64, row by row with edges; None when unweighted


def _parse(path: PathLike | BinaryIO, data: bytes, *, delimiter: bytes | None,
           comments: bytes | None, relabel: bool, names: bool | None, weighted: bool,
           ignore_weights: bool) -> _Parsed:
    """The engine reads the text; a fault it finds is worded here, as an EdgeListError."""
    lines = data.count(b"\n") + 1
    ids = np.empty(2 * lines, dtype=np.uint32)
    weights = np.empty(lines, dtype=np.float64) if weighted else None
    options = dict(delimiter=None if delimiter is None else delimiter[0],
                   comment=None if comments is None else comments[0], names=names,
                   relabel=relabel, skip_third_column=ignore_weights, weights=weights)
    try:
        count, found, header, fault = read_edge_list(data, ids=ids, **options)
    except OverflowError:  # an id beyond 32 bits: relabelling below numbers it
        ids = np.empty(2 * lines, dtype=np.uint64)
        count, found, header, fault = read_edge_list(data, ids=ids, **options)
    if fault is not None:
        line, kind, token, columns, expected, first = fault
        reason = (_line_fault(kind, columns, expected, first, delimiter) if token is None
                  else _token_fault(kind, token, relabel))
        if token is None and columns > expected and b"{" in _line_of(data, line):
            reason = _NETWORKX_ATTRIBUTES
        raise EdgeListError(path, line, reason)
    ids = ids[:2 * count]
    weights = None if weights is None else weights[:count]
    if found is not None:
        node_names = np.empty(len(found), dtype=object)
        node_names[:] = found
    elif relabel:
        ids, node_names = relabel_ascending(ids)
    else:
        node_names = None
    return _Parsed(ids.reshape(-1, 2), node_names, header, weights)


# NetworkX's write_edgelist writes each edge's attributes as a dict: "0 1 {'weight': 4}".
_NETWORKX_ATTRIBUTES = ("found a dict of edge attributes, as NetworkX's write_edgelist writes "
                        "them; write the file with nx.write_weighted_edgelist(G, path), or "
                        "nx.write_edgelist(G, path, data=False) for a graph without weights")


def _line_of(data: bytes, line: int) -> bytes:
    """The text of line ``line`` (1-based) of ``data``; read only to word a fault."""
    start = 0
    for _ in range(line - 1):
        start = data.index(b"\n", start) + 1
    end = data.find(b"\n", start)
    return data[start:] if end < 0 else data[start:end]


_BINARY = ("found a NUL byte: this looks like binary data, not edge-list text "
           "(compressed, or saved as UTF-16?)")


def _line_fault(kind: str, found: int, expected: int, first_edge_line: bool,
                delimiter: bytes | None) -> str:
    """The reason for a line that is binary data, has the wrong columns or too long a name; or
    for a text without edges."""
    if kind == "binary":
        return _BINARY
    if kind == "no edges":
        return "no edges found (the file is empty or holds only comments)"
    if kind == "long name":
        return f"node name longer than {LONGEST_NAME} bytes"
    shown = "" if delimiter is None else f" (columns are separated by {delimiter.decode()!r})"
    if kind == "empty column":
        return "empty column" + shown
    if expected == 3:
        count = ["one", "two"][found - 1] if found < 3 else str(found)
        reason = f"expected three columns (source, target, weight), found {count}" + shown
        if found == 2 and first_edge_line:
            # The first edge line already lacks a weight: likely the whole file does.
            reason += ("; to read a file without weights, leave out weighted=True "
                       "(--weighted on the command line)")
    elif found == 1:
        reason = "expected two node ids, found one" + shown
    elif found == 3:
        reason = ("found a third column; pass weighted=True (--weighted on the command line) "
                  "to read the third column as edge weights, or weighted=False "
                  "(--unweighted) to ignore it")
    else:
        reason = f"expected two node ids, found {found} columns"
    if delimiter is None and found > expected:
        # Without a delimiter, "New York<TAB>Boston" is three columns.
        reason += ("; if node names contain spaces, pass delimiter='\\t' (--delimiter on the "
                   "command line)")
    return reason


def _token_fault(kind: str, token: bytes, relabel: bool) -> str:
    """The reason for a node id, node name or weight that is not what it should be."""
    if kind == "not utf-8":
        try:
            token.decode("utf-8")
        except UnicodeDecodeError as error:
            return (f"node name is not UTF-8 text (byte 0x{token[error.start]:02x}); "
                    "save the file as UTF-8")
    text = token.decode("utf-8", "replace")
    shown = text if len(text) <= 40 else text[:37] + "..."
    if kind == "weight not a number":
        return f"edge weight {shown!r} is not a number"
    if kind == "weight out of range":
        return f"invalid edge weight {shown}: {WEIGHT_RULE}"
    if relabel:
        hint = ("; pass names=True (--names on the command line) if the nodes are named by "
                "strings")
    else:
        hint = "; for nodes named by strings, pass relabel=True and names=True"
    if text[:1] == "-" and text[1:].isdigit():
        return f"negative node id {shown}{hint}"
    if text.isdigit() and not relabel:
        return f"node id {shown} is larger than {LARGEST_ID}"
    if text.isdigit():
        return f"node id {shown} has more than {LONGEST_ID_DIGITS} digits{hint}"
    return f"node id {shown!r} is not a non-negative integer{hint}"
