"""Reading and writing embedding files, in the format that the file's extension selects.

- ``.emb``, ``.emd``, ``.txt``, ``.vec``: word2vec text, a header line ``"n d"`` and then one
  line ``"key v1 ... vd"`` per node (what gensim's ``KeyedVectors.load_word2vec_format`` reads);
- ``.bin``: word2vec binary, the same header and then per node the key, a space and d
  little-endian float32 values, each vector followed by a newline as word2vec.c writes it
  (gensim writes none; the reader takes either);
- ``.npy``: the (n, d) float32 matrix alone, row ``i`` being node ``i``: for nodes named
  exactly 0..n-1 only, since the file has no room for names;
- ``.npz``: arrays ``vectors`` and, when nodes have names, ``keys``.

Every write goes through :func:`embedding_output`: a temporary file in the target directory
that replaces the target only once complete, so a failed or interrupted write never leaves a
partial file behind.
"""

from __future__ import annotations

import contextlib
import os
import re
import warnings
import zipfile
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import IO

import numpy as np

from velmor._paths import PathLike, replacing

TEXT_SUFFIXES = (".emb", ".emd", ".txt", ".vec")
_NUMPY_MAGIC = {"npy": b"\x93NUMPY", "npz": b"PK\x03\x04"}
FORMATS = {**{suffix: "word2vec" for suffix in TEXT_SUFFIXES}, ".bin": "word2vec-binary",
           ".npy": "npy", ".npz": "npz"}
_ROWS_PER_WRITE = 4096


def embedding_format(path: PathLike) -> str:
    """The embedding format that the path's extension selects: "word2vec" (text),
    "word2vec-binary", "npy" or "npz"."""
    suffix = Path(path).suffix.lower()
    if suffix not in FORMATS:
        raise ValueError(f"cannot tell the embedding format of {os.fspath(path)!r}: use one of "
                         + ", ".join(FORMATS))
    return FORMATS[suffix]


def _chosen_format(path: PathLike, format: str | None) -> str:
    if format is None:
        return embedding_format(path)
    if format not in FORMATS.values():
        raise ValueError(f"unknown embedding format {format!r}: use one of "
                         + ", ".join(sorted(set(FORMATS.values()))))
    return format


class EmbeddingOutput:
    """An embedding file being written: what :func:`embedding_output` yields."""

    def __init__(self, file: IO[bytes], kind: str):
        self.format = kind
        self.written = False
        self._file: IO[bytes] | None = file

    def write(self, vectors: np.ndarray, keys: Sequence | None = None, *,
              header: bool = True) -> None:
        """Write the (n, d) vectors and their n keys (None: row ``i`` is node ``i``); once.
        ``header`` False leaves out the word2vec formats' first line, ``"n d"``.

        Raises ValueError, before writing anything, for vectors that are not 2-D, a wrong
        number of keys, or keys that the format cannot hold (:func:`check_keys`).
        """
        if self._file is None:
            raise ValueError("an embedding output takes one write")
        vectors = np.asarray(vectors)
        if vectors.ndim != 2:
            raise ValueError(f"vectors must be a 2-D array, got shape {vectors.shape}")
        if keys is not None and len(keys) != len(vectors):
            raise ValueError(f"got {len(keys)} keys for {len(vectors)} vectors")
        words = check_keys(self.format, keys, len(vectors))
        file, self._file = self._file, None
        if self.format == "npy":
            np.save(file, vectors)
        elif self.format == "npz":
            arrays = {"vectors": vectors}
            if keys is not None:
                arrays["keys"] = _key_array(keys)
            np.savez(file, **arrays)
        elif self.format == "word2vec":
            _write_word2vec(file, vectors, words, header)
        else:
            _write_word2vec_binary(file, vectors, words, header)
        self.written = True


@contextlib.contextmanager
def embedding_output(path: PathLike, format: str | None = None) -> Iterator[EmbeddingOutput]:
    """Open an embedding file for writing before the vectors exist.

    The format is checked and the temporary file created in the target's directory at once, so
    a bad extension (ValueError) or a destination that cannot be written (OSError) fails before
    any work. The target is replaced when the block ends cleanly after ``write``; after an
    exception, or without a write, the temporary file is removed and the target left alone.

    Parameters
    ----------
    path : str or os.PathLike
        The target file.
    format : str, optional
        One of the values of ``FORMATS``. Default: the one that path's extension selects.

    Examples
    --------
    >>> with embedding_output("karate.emb") as output:  # doctest: +SKIP
    ...     model.fit(graph)
    ...     output.write(model.embeddings_, graph.names)
    """
    format = _chosen_format(path, format)
    output = None
    with replacing(path, keep=lambda: output.written) as file:
        output = EmbeddingOutput(file, format)
        yield output


def save_embeddings(path: PathLike, vectors: np.ndarray, keys: Sequence | None = None,
                    format: str | None = None, *, header: bool = True) -> None:
    """Write embeddings in one go: :meth:`EmbeddingOutput.write` in an :func:`embedding_output`."""
    with embedding_output(path, format) as output:
        output.write(vectors, keys, header=header)


def load_embeddings(path: PathLike, format: str | None = None, *,
                    header: bool = True) -> tuple[np.ndarray, list | None]:
    """Read embeddings written by :func:`save_embeddings` (or by word2vec and gensim).

    Returns the (n, d) float32 vectors and the keys (None when rows are nodes 0..n-1). The keys
    of a word2vec file are ints when every one is an integer written plainly, else strings.
    ``format`` (a value of ``FORMATS``) overrides the one that the extension selects.
    ``header`` False reads word2vec text without its first line ``"n d"``.

    Raises
    ------
    ValueError
        For a malformed file, naming it.
    OSError
        If the file cannot be read.
    """
    kind = _chosen_format(path, format)
    if not header and kind != "word2vec":
        raise ValueError("only word2vec text can be read without a header: in the binary "
                         "format, the header tells where each vector ends")
    if kind == "word2vec":
        return _read_word2vec(path, header)
    if kind == "word2vec-binary":
        return _read_word2vec_binary(path)
    return _read_numpy(path, kind)


def _read_numpy(path: PathLike, kind: str) -> tuple[np.ndarray, list | None]:
    """A .npy matrix, or an .npz archive's ``vectors`` and ``keys``. A file of another kind, a
    truncated one or an archive without ``vectors`` is a ValueError that names the file (NumPy
    itself calls any file without its magic number pickled data)."""
    with open(path, "rb") as file:
        if file.read(len(_NUMPY_MAGIC[kind])) != _NUMPY_MAGIC[kind]:
            raise ValueError(f"{path}: not a NumPy .{kind} file")
        file.seek(0)
        try:
            if kind == "npy":
                return np.load(file, allow_pickle=False), None
            with np.load(file, allow_pickle=False) as archive:
                if "vectors" not in archive.files:
                    raise ValueError("the archive has no 'vectors' array")
                keys = archive["keys"].tolist() if "keys" in archive.files else None
                return archive["vectors"], keys
        except (ValueError, EOFError, zipfile.BadZipFile) as error:
            raise ValueError(f"{path}: {error}") from None


def check_keys(format: str, keys: Sequence | None, count: int) -> list | None:
    """Raise ValueError if a file of the format cannot hold the keys of ``count`` vectors
    (None: the keys are 0..count-1); return the word2vec formats' words, else None."""
    if format.startswith("word2vec"):
        return word2vec_words(keys, count)
    if format == "npy" and not keys_are_row_numbers(keys, count):
        row, key = first_renamed(keys)
        raise ValueError(f"a .npy file holds the vectors alone, row i for node i, but the nodes "
                         f"are not named 0..{count - 1} (row {row} is node {key!r}); save as "
                         ".npz or in a word2vec format (.emb, .txt, .bin), which keep the names")
    return None


def keys_are_row_numbers(keys: Sequence | None, count: int) -> bool:
    """Whether the keys of ``count`` rows are the integers 0..count-1 in order (None: yes)."""
    if keys is None:
        return True
    array = np.asarray(keys) if isinstance(keys, np.ndarray) else None
    if array is not None and array.dtype.kind in "iu":
        return bool(np.array_equal(array, np.arange(count)))
    return len(keys) == count and all(_is_number(key, i) for i, key in enumerate(keys))


def first_renamed(keys: Sequence) -> tuple[int, object]:
    """The first row whose key is not its number, and that key, of keys that are not."""
    row = next(i for i, key in enumerate(keys) if not _is_number(key, i))
    return row, keys[row].item() if isinstance(keys[row], np.generic) else keys[row]


def _is_number(key, number: int) -> bool:
    return isinstance(key, (int, np.integer)) and not isinstance(key, (bool, np.bool_)) \
        and key == number


def word2vec_words(keys: Sequence | None, count: int) -> list:
    """The keys as word2vec text words; ValueError for a key that would not survive a round trip."""
    if keys is None:
        return [str(i) for i in range(count)]
    words = [str(key) for key in keys]
    for key, word in zip(keys, words):
        if isinstance(key, tuple):
            raise ValueError(f"key {key!r} is a tuple, which the word2vec formats cannot hold; "
                             "save as .npz instead")
        if len(word.split()) != 1 or word.split()[0] != word:
            raise ValueError(f"key {key!r} is empty or contains whitespace, which the word2vec "
                             "formats cannot hold; save as .npz instead")
    if len(set(words)) != len(words):
        seen: dict = {}
        for key, word in zip(keys, words):
            if word in seen:
                raise ValueError(f"keys {seen[word]!r} and {key!r} both read {word!r} in the "
                                 "word2vec formats, which could not be loaded back; save as .npz "
                                 "instead")
            seen[word] = key
    return words


def _write_word2vec(file: IO[bytes], vectors: np.ndarray, words: list, header: bool) -> None:
    count, dimensions = vectors.shape
    if header:
        file.write(f"{count} {dimensions}\n".encode())
    # Nine significant digits give back the exact float32 value.
    row_format = "%s " + " ".join(["%.9g"] * dimensions) + "\n"
    for start in range(0, count, _ROWS_PER_WRITE):
        rows = vectors[start:start + _ROWS_PER_WRITE].tolist()
        text = "".join(row_format % (word, *row) for word, row in zip(words[start:], rows))
        file.write(text.encode("utf-8", "surrogateescape"))


def _write_word2vec_binary(file: IO[bytes], vectors: np.ndarray, words: list,
                           header: bool) -> None:
    count, dimensions = vectors.shape
    if header:
        file.write(f"{count} {dimensions}\n".encode())
    rows = vectors.astype("<f4")
    for start in range(0, count, _ROWS_PER_WRITE):
        file.write(b"".join(word.encode("utf-8", "surrogateescape") + b" " + row.tobytes() + b"\n"
                            for word, row in zip(words[start:start + _ROWS_PER_WRITE],
                                                 rows[start:start + _ROWS_PER_WRITE])))


def _read_header(path: PathLike, hint: str = "") -> tuple[int, int, bytes]:
    """The vector count and size announced by a word2vec file's first line, and the rest;
    ``hint`` ends the message of a first line that is no header."""
    with open(path, "rb") as file:
        header, _, body = file.read().partition(b"\n")
    try:
        count, dimensions = (int(field) for field in header.split())
        if count < 0 or dimensions < 1:
            raise ValueError
    except ValueError:
        raise ValueError(f"{os.fspath(path)}:1: expected a header 'count dimensions', got "
                         f"{header[:40]!r}{hint}") from None
    return count, dimensions, body


def _read_word2vec(path: PathLike, header: bool = True) -> tuple[np.ndarray, list]:
    if header:
        count, dimensions, body = _read_header(path, " (word2vec text without one reads with "
                                               "KeyedVectors.load_word2vec_format(path, "
                                               "no_header=True))")
        lines = body.splitlines()
    else:
        with open(path, "rb") as file:
            lines = file.read().splitlines()
    while lines and not lines[-1].strip():
        lines.pop()
    if not header:  # the count and size that a header would announce
        count, dimensions = len(lines), max(len(lines[0].split()) - 1, 1) if lines else 1
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
    # The total can match while rows do not (d + 1 values beside d - 1): check each row.
    short = next((row for row, part in enumerate(parts) if len(part[1].split()) != dimensions),
                 None)
    if short is not None:
        raise ValueError(f"{os.fspath(path)}:{short + 1 + header}: expected {dimensions} values "
                         "after the key")
    return values.reshape(count, dimensions), _checked_keys(path, keys)


def _read_word2vec_binary(path: PathLike) -> tuple[np.ndarray, list]:
    count, dimensions, body = _read_header(path)
    vectors = np.empty((count, dimensions), dtype=np.float32)
    keys = []
    position, size = 0, 4 * dimensions
    for row in range(count):
        if body[position:position + 1] == b"\n":  # the newline after the previous vector
            position += 1
        space = body.find(b" ", position)
        if space <= position or space + 1 + size > len(body):
            raise ValueError(f"{os.fspath(path)}: vector {row + 1} of {count} has no key or is "
                             f"cut short")
        keys.append(body[position:space].decode("utf-8", "surrogateescape"))
        vectors[row] = np.frombuffer(body, dtype="<f4", count=dimensions, offset=space + 1)
        position = space + 1 + size
    if body[position:].strip():
        raise ValueError(f"{os.fspath(path)}: the header announces {count} vectors of "
                         f"{dimensions} values, the file holds more")
    return vectors, _checked_keys(path, keys)


_PLAIN_INTEGER = re.compile(r"0|[1-9][0-9]*")


def _checked_keys(path: PathLike, words: list) -> list:
    """The words of a word2vec file as int keys if every one is a plain integer, else as str."""
    if len(set(words)) != len(words):
        raise ValueError(f"{os.fspath(path)}: a key appears more than once")
    if all(_PLAIN_INTEGER.fullmatch(word) for word in words):
        return [int(word) for word in words]
    return words


def _key_array(keys: Sequence) -> np.ndarray:
    """Keys in a form np.savez stores without pickling: integers as int64, tuples (NetworkX's
    names of grid nodes, say) as records, one field per place, others as str.

    Tuples read back as tuples (``tolist`` of a record array gives them), so they must all have
    one length, and each place hold integers throughout or strings throughout; ValueError
    otherwise.
    """
    array = np.asarray(keys) if isinstance(keys, np.ndarray) else None
    if array is not None and array.dtype.kind in "iuU":
        return array
    keys = list(keys)
    if all(_is_integer(key) for key in keys):
        return np.array(keys, dtype=np.int64)
    if any(isinstance(key, tuple) for key in keys):
        return _tuple_key_array(keys)
    return np.array([str(key) for key in keys], dtype=str)


def _is_integer(key) -> bool:
    return isinstance(key, (int, np.integer)) and not isinstance(key, (bool, np.bool_))


def _tuple_key_array(keys: list) -> np.ndarray:
    first = keys[0] if isinstance(keys[0], tuple) else ()
    fields = []
    for place in range(len(first)):
        kind = np.int64 if _is_integer(first[place]) else str
        fields.append((f"f{place}", kind))
    for key in keys:
        if not (isinstance(key, tuple) and len(key) == len(first) and first and all(
                _is_integer(item) if kind is np.int64 else isinstance(item, str)
                for item, (_, kind) in zip(key, fields))):
            beside = "" if key is keys[0] else f" beside {keys[0]!r}"
            raise ValueError(f"key {key!r} cannot be stored in .npz{beside}: it holds tuple names "
                             "of one length, each place all integers or all strings")
    width = {f"f{place}": max(len(key[place]) for key in keys) for place, (_, kind)
             in enumerate(fields) if kind is str}
    dtype = [(name, np.int64 if kind is np.int64 else f"U{max(width[name], 1)}")
             for name, kind in fields]
    return np.array(keys, dtype=dtype)
