"""Reading edge lists; reading and writing embeddings.

Embedding files are chosen by extension:

- ``.emb``, ``.emd``, ``.txt``, ``.vec``: word2vec text, a header line ``"n d"`` and then one
  line ``"key v1 ... vd"`` per node (what gensim's ``KeyedVectors.load_word2vec_format`` reads);
- ``.npy``: the (n, d) float32 matrix alone, row ``i`` being node index ``i``;
- ``.npz``: arrays ``vectors`` and, when nodes have names, ``keys``.

Every writer goes through a temporary file in the target directory that replaces the target
only once complete, so a failed or interrupted write never leaves a partial file behind.
"""

from __future__ import annotations

import contextlib
import gzip
import os
import secrets
import warnings
from pathlib import Path
from typing import IO, Iterator, Optional, Sequence, Tuple, Union

import numpy as np

from velmor._checks import check_bool, check_char
from velmor._edgeparse import ParseError, parse_edges
from velmor.graph import Graph

PathLike = Union[str, "os.PathLike[str]"]

TEXT_SUFFIXES = (".emb", ".emd", ".txt", ".vec")
FORMATS = {**{suffix: "word2vec" for suffix in TEXT_SUFFIXES}, ".npy": "npy", ".npz": "npz"}
_ROWS_PER_WRITE = 4096


class EdgeListError(ValueError):
    """A malformed edge-list file. ``str()`` reads ``"path:line: reason"``."""

    def __init__(self, path: PathLike, line: Optional[int], reason: str):
        self.path = os.fspath(path)
        self.line = line
        self.reason = reason
        where = self.path if line is None else f"{self.path}:{line}"
        super().__init__(f"{where}: {reason}")


def read_edgelist(path: PathLike, directed: bool = False, delimiter: Optional[str] = None,
                  comments: Optional[str] = "#", relabel: bool = True) -> Graph:
    """Read an unweighted graph from an edge-list file, one edge per line.

    The format is the common one of SNAP and node2vec: two node names per line, separated by
    whitespace, tabs or commas; ``#`` starts a comment; blank lines are skipped. A file ending in
    ``.gz`` is decompressed.

    Parameters
    ----------
    path : str or os.PathLike
        The file.
    directed : bool, default False
        Whether each line is an arc from the first node to the second.
    delimiter : str, optional
        A single character that separates the two columns; whitespace around each column is
        trimmed, so names may contain inner spaces. Default: runs of whitespace and commas.
    comments : str or None, default "#"
        The character that starts a comment, running to the end of its line; None for none.
    relabel : bool, default True
        True: nodes may have any names and are numbered 0..n-1 - in ascending numeric order when
        every name is a non-negative integer (so a file whose ids already run 0..n-1 keeps them,
        and "007" is node 7), otherwise in order of first appearance, every name then a string. The names are kept in ``Graph.names`` and become
        the keys of the embeddings. False: names must be integers 0..4294967294 and are used as
        node indices as they stand; ids that never appear become isolated nodes.

    Returns
    -------
    Graph

    Raises
    ------
    EdgeListError
        If the file holds no edges, or a line does not hold exactly two node names, or (with
        ``relabel=False``) a name is not an integer in 0..4294967294. The message names the file
        and the line.
    OSError
        If the file cannot be read.
    """
    directed = check_bool("directed", directed)
    relabel = check_bool("relabel", relabel)
    delimiter_byte, comment_byte = check_delimiters(delimiter, comments)
    data = _read_bytes(path)
    try:
        edges, names = parse_edges(data, delimiter=delimiter_byte, comments=comment_byte,
                                   relabel=relabel)
    except ParseError as error:
        raise EdgeListError(path, error.line, error.reason) from None
    del data
    try:
        return Graph(edges, directed=directed, names=names)
    except ValueError as error:
        raise EdgeListError(path, None, str(error)) from None


def check_delimiters(delimiter: Optional[str], comments: Optional[str]) -> Tuple[Optional[bytes], Optional[bytes]]:
    """Check read_edgelist's delimiter and comment characters; return them as bytes."""
    delimiter_byte = check_char("delimiter", delimiter)
    comment_byte = check_char("comments", comments)
    if delimiter is not None and delimiter.isalnum():
        raise ValueError(f"delimiter must not be a letter or digit, got {delimiter!r}")
    if delimiter_byte is not None and delimiter_byte == comment_byte:
        raise ValueError("delimiter and comments must differ")
    return delimiter_byte, comment_byte


def embedding_format(path: PathLike) -> str:
    """The embedding format that the path's extension selects: "word2vec", "npy" or "npz"."""
    suffix = Path(path).suffix.lower()
    if suffix not in FORMATS:
        raise ValueError(f"cannot tell the embedding format of {os.fspath(path)!r}: use one of "
                         + ", ".join(FORMATS))
    return FORMATS[suffix]


def save_embeddings(path: PathLike, vectors: np.ndarray, keys: Optional[Sequence] = None) -> None:
    """Write embeddings in the format that the extension selects (see the module docstring).

    ``keys`` None means row ``i`` is node ``i``.
    """
    kind = embedding_format(path)
    if kind == "word2vec":
        lines = word2vec_words(keys, len(vectors))
        with _replacing(path) as file:
            _write_word2vec(file, vectors, lines)
    elif kind == "npy":
        with _replacing(path) as file:
            np.save(file, vectors)
    else:
        arrays = {"vectors": vectors}
        if keys is not None:
            arrays["keys"] = _key_array(keys)
        with _replacing(path) as file:
            np.savez(file, **arrays)


def load_embeddings(path: PathLike) -> Tuple[np.ndarray, Optional[list]]:
    """Read embeddings written by :func:`save_embeddings` (or by word2vec and gensim).

    Returns the (n, d) float32 vectors and the keys (None when rows are nodes 0..n-1). Keys of
    word2vec text files are strings.
    """
    kind = embedding_format(path)
    if kind == "word2vec":
        return _read_word2vec(path)
    if kind == "npy":
        return np.load(path, allow_pickle=False), None
    with np.load(path, allow_pickle=False) as archive:
        keys = archive["keys"].tolist() if "keys" in archive.files else None
        return archive["vectors"], keys


def _read_bytes(path: PathLike) -> bytes:
    if os.fspath(path).endswith(".gz"):
        with gzip.open(path, "rb") as file:
            return file.read()
    with open(path, "rb") as file:
        return file.read()


@contextlib.contextmanager
def _replacing(path: PathLike) -> Iterator[IO[bytes]]:
    """A binary file that takes the place of path when the block completes without error."""
    path = os.fspath(path)
    temporary = f"{path}.{secrets.token_hex(4)}.part"
    try:
        with open(temporary, "xb") as file:
            yield file
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def word2vec_words(keys: Optional[Sequence], count: int) -> list:
    """The keys as word2vec text words; ValueError for a key that would not survive a round trip."""
    if keys is None:
        return [str(i) for i in range(count)]
    words = [str(key) for key in keys]
    for key, word in zip(keys, words):
        if len(word.split()) != 1 or word.split()[0] != word:
            raise ValueError(f"key {key!r} is empty or contains whitespace, which the word2vec "
                             "text format cannot hold; save as .npz instead")
    return words


def _write_word2vec(file: IO[bytes], vectors: np.ndarray, words: list) -> None:
    count, dimensions = vectors.shape
    file.write(f"{count} {dimensions}\n".encode())
    # Nine significant digits give back the exact float32 value.
    row_format = "%s " + " ".join(["%.9g"] * dimensions) + "\n"
    for start in range(0, count, _ROWS_PER_WRITE):
        rows = vectors[start:start + _ROWS_PER_WRITE].tolist()
        text = "".join(row_format % (word, *row) for word, row in zip(words[start:], rows))
        file.write(text.encode("utf-8", "surrogateescape"))


def _read_word2vec(path: PathLike) -> Tuple[np.ndarray, list]:
    with open(path, "rb") as file:
        header = file.readline().split()
        body = file.read()
    try:
        count, dimensions = (int(field) for field in header)
    except ValueError:
        raise ValueError(f"{os.fspath(path)}:1: expected a header 'count dimensions'") from None
    lines = body.splitlines()
    while lines and not lines[-1].strip():
        lines.pop()
    if len(lines) != count:
        raise ValueError(f"{os.fspath(path)}: the header announces {count} vectors, "
                         f"the file holds {len(lines)}")
    parts = [line.split(None, 1) for line in lines]
    keys = [part[0].decode("utf-8", "surrogateescape") for part in parts]
    with warnings.catch_warnings():
        # Unparsable text ends the parse early with a warning; the size check below reports it.
        warnings.simplefilter("ignore", DeprecationWarning)
        values = np.fromstring(b" ".join(part[-1] for part in parts), dtype=np.float32, sep=" ")
    if any(len(part) != 2 for part in parts) or values.size != count * dimensions:
        raise ValueError(f"{os.fspath(path)}: expected {count} vectors of {dimensions} values")
    return values.reshape(count, dimensions), keys


def _key_array(keys: Sequence) -> np.ndarray:
    """Keys in a form np.savez stores without pickling: integers as int64, others as str."""
    array = np.asarray(keys) if isinstance(keys, np.ndarray) else None
    if array is not None and array.dtype.kind in "iuU":
        return array
    keys = list(keys)
    if all(isinstance(key, (int, np.integer)) and not isinstance(key, bool) for key in keys):
        return np.array(keys, dtype=np.int64)
    return np.array([str(key) for key in keys], dtype=str)
