"""Vectors looked up by node key, with the names gensim's KeyedVectors uses."""

from __future__ import annotations

from typing import Dict, Hashable, List, Optional, Sequence, Tuple, Union

import numpy as np

from velmor._checks import check_int
from velmor._paths import PathLike
from velmor.embedding_files import TEXT_SUFFIXES, embedding_format, load_embeddings, save_embeddings


class KeyedVectors:
    """One vector per key: the embedding of each node, looked up by the node's name.

    Parameters
    ----------
    vectors : array_like, shape (n, d)
        Row ``i`` is the vector of ``index_to_key[i]``. Used as is when it is already a float32
        array, so the view shares memory with a model's ``embeddings_``.
    keys : sequence, optional
        ``n`` distinct hashable keys. Default: the integers ``0 .. n-1``.

    Examples
    --------
    >>> kv = KeyedVectors(np.eye(3, dtype=np.float32), keys=["a", "b", "c"])
    >>> kv["b"]
    array([0., 1., 0.], dtype=float32)
    """

    def __init__(self, vectors, keys: Optional[Sequence[Hashable]] = None):
        vectors = np.asarray(vectors, dtype=np.float32)
        if vectors.ndim != 2:
            raise ValueError(f"vectors must be a 2-D array, got shape {vectors.shape}")
        if keys is not None and len(keys) != len(vectors):
            raise ValueError(f"got {len(keys)} keys for {len(vectors)} vectors")
        self.vectors = vectors
        self._keys = keys
        self._index_to_key: Optional[List[Hashable]] = None
        self._key_to_index: Optional[Dict[Hashable, int]] = None
        self._unit: Optional[np.ndarray] = None

    @property
    def vector_size(self) -> int:
        """The number of dimensions d."""
        return self.vectors.shape[1]

    @property
    def index_to_key(self) -> List[Hashable]:
        """The keys, by row."""
        if self._index_to_key is None:
            keys = self._keys
            if keys is None:
                self._index_to_key = list(range(len(self.vectors)))
            else:
                self._index_to_key = keys.tolist() if isinstance(keys, np.ndarray) else list(keys)
        return self._index_to_key

    @property
    def key_to_index(self) -> Dict[Hashable, int]:
        """The row of each key."""
        if self._key_to_index is None:
            mapping = {key: i for i, key in enumerate(self.index_to_key)}
            if len(mapping) != len(self.vectors):
                raise ValueError("keys must be distinct")
            self._key_to_index = mapping
        return self._key_to_index

    def __len__(self) -> int:
        return len(self.vectors)

    def __contains__(self, key: Hashable) -> bool:
        return key in self.key_to_index

    def __getitem__(self, key_or_keys) -> np.ndarray:
        """The vector of one key, or a (k, d) array for a list of keys."""
        if isinstance(key_or_keys, list):
            return self.vectors[[self.get_index(key) for key in key_or_keys]]
        return self.vectors[self.get_index(key_or_keys)]

    def get_index(self, key: Hashable) -> int:
        """The row of key; KeyError if there is none."""
        try:
            return self.key_to_index[key]
        except KeyError:
            raise KeyError(f"key {key!r} not present") from None

    def get_vector(self, key: Hashable, norm: bool = False) -> np.ndarray:
        """The vector of key, scaled to unit length if ``norm``."""
        index = self.get_index(key)
        return self._unit_vectors()[index] if norm else self.vectors[index]

    def similarity(self, key1: Hashable, key2: Hashable) -> float:
        """The cosine similarity of two keys' vectors."""
        unit = self._unit_vectors()
        return float(unit[self.get_index(key1)] @ unit[self.get_index(key2)])

    def most_similar(self, key: Union[Hashable, np.ndarray], topn: int = 10) -> List[Tuple[Hashable, float]]:
        """The ``topn`` keys closest to ``key`` by cosine similarity, closest first.

        Parameters
        ----------
        key : hashable or ndarray of shape (d,)
            A key (left out of the answer) or a query vector.
        topn : int, default 10
            How many to return; fewer if there are not that many other keys.

        Returns
        -------
        list of (key, similarity)
        """
        topn = check_int("topn", topn, minimum=1)
        unit = self._unit_vectors()
        if isinstance(key, np.ndarray):
            if key.shape != (self.vector_size,):
                raise ValueError(f"a query vector must have shape ({self.vector_size},), got {key.shape}")
            query, exclude = _unit_rows(key.astype(np.float32)[None, :])[0], None
        else:
            exclude = self.get_index(key)
            query = unit[exclude]
        similarities = unit @ query
        if exclude is not None:
            similarities[exclude] = -np.inf
        topn = min(topn, len(self) - (exclude is not None))
        if topn <= 0:
            return []
        best = np.argpartition(-similarities, topn - 1)[:topn]
        best = best[np.lexsort((best, -similarities[best]))]
        keys = self.index_to_key
        return [(keys[i], float(similarities[i])) for i in best]

    def save(self, path: PathLike) -> None:
        """Write the vectors; the extension picks the format (see :mod:`velmor.embedding_files`)."""
        save_embeddings(path, self.vectors, self._keys)

    def save_word2vec_format(self, path: PathLike) -> None:
        """Write word2vec text (``.emb``, ``.emd``, ``.txt`` or ``.vec``)."""
        if embedding_format(path) != "word2vec":
            raise ValueError("word2vec text needs one of the extensions " + ", ".join(TEXT_SUFFIXES))
        self.save(path)

    @classmethod
    def load(cls, path: PathLike) -> "KeyedVectors":
        """Read vectors written by :meth:`save`, word2vec or gensim; the extension picks the format."""
        vectors, keys = load_embeddings(path)
        return cls(vectors, keys)

    load_word2vec_format = load

    def _unit_vectors(self) -> np.ndarray:
        """The vectors scaled to unit length, computed on first use and then kept."""
        if self._unit is None:
            self._unit = _unit_rows(self.vectors)
        return self._unit

    def __repr__(self) -> str:
        return f"KeyedVectors({len(self)} keys, vector_size={self.vector_size})"


def _unit_rows(vectors: np.ndarray) -> np.ndarray:
    norms = np.linalg.norm(vectors, axis=1, keepdims=True)
    # An all-zero row stays zero rather than becoming NaN.
    return vectors / np.where(norms > 0, norms, 1).astype(np.float32)
