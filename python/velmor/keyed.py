"""Vectors looked up by node key, with the names gensim's KeyedVectors uses."""

from __future__ import annotations

from collections.abc import Hashable, Sequence

import numpy as np

from velmor._checks import check_bool, check_int, check_real
from velmor._paths import PathLike
from velmor.embedding_files import load_embeddings, save_embeddings


class KeyedVectors:
    """One vector per key: the embedding of each node, looked up by the node's name.

    Keys follow one rule, whichever way the vectors came: a node named by an integer has an
    ``int`` key (in memory and when read back from any file), a node named by text a ``str``
    key. Word2vec files hold text, so their keys are read as ``int`` when every one of them is
    an integer written plainly (decimal digits, no sign, no leading zero), otherwise all as
    ``str``. Lookups take an integer name in either form: ``kv[33]``, ``kv["33"]`` and
    ``kv[np.int64(33)]`` all find the key 33, and ``kv[7]`` finds a key ``"7"``; this holds for
    every method that takes keys.

    Parameters
    ----------
    vectors : array_like, shape (n, d)
        Row ``i`` is the vector of ``index_to_key[i]``. Used as is when it is already a float32
        array, so the view shares memory with a model's ``embeddings_``.
    keys : sequence, optional
        ``n`` distinct hashable keys; NumPy integers and strings become Python ``int`` and
        ``str``, other objects stay as they are. Tuples (NetworkX names grid nodes by them)
        round-trip through .npz files, which the word2vec formats cannot hold; other objects
        are written to files as text. Default: the integers ``0 .. n-1``.

    Attributes
    ----------
    vectors : ndarray of shape (n, d), float32
    norms : ndarray of shape (n,), float32, or None
        The length of each vector, which the similarity queries divide by: computed by the
        first query (or :meth:`fill_norms`) and then kept, as gensim keeps it. Assigning
        ``vectors`` resets it; after changing ``vectors`` in place, call
        ``fill_norms(force=True)``. Only the norms are kept, not a unit-length copy of the
        vectors, so the queries cost no second matrix.

    Examples
    --------
    >>> kv = KeyedVectors(np.eye(3, dtype=np.float32), keys=["a", "b", "c"])
    >>> kv["b"]
    array([0., 1., 0.], dtype=float32)
    """

    def __init__(self, vectors, keys: Sequence[Hashable] | None = None):
        vectors = np.asarray(vectors, dtype=np.float32)
        if vectors.ndim != 2:
            raise ValueError(f"vectors must be a 2-D array, got shape {vectors.shape}")
        if keys is not None and len(keys) != len(vectors):
            raise ValueError(f"got {len(keys)} keys for {len(vectors)} vectors")
        self.vectors = vectors
        self._keys = keys
        self._index_to_key: list[Hashable] | None = None
        self._key_to_index: dict[Hashable, int] | None = None

    @property
    def vectors(self) -> np.ndarray:
        return self._vectors

    @vectors.setter
    def vectors(self, vectors: np.ndarray) -> None:
        self._vectors = vectors
        self.norms: np.ndarray | None = None

    @property
    def vector_size(self) -> int:
        """The number of dimensions d."""
        return self.vectors.shape[1]

    @property
    def index_to_key(self) -> list[Hashable]:
        """The keys, by row."""
        if self._index_to_key is None:
            keys = self._keys
            if keys is None:
                self._index_to_key = list(range(len(self.vectors)))
            elif isinstance(keys, np.ndarray) and keys.dtype.kind in "iuU":
                self._index_to_key = keys.tolist()
            else:
                self._index_to_key = [_plain_key(key) for key in keys]
        return self._index_to_key

    @property
    def key_to_index(self) -> dict[Hashable, int]:
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
        return self.get_index(key, -1) >= 0

    def has_index_for(self, key: Hashable) -> bool:
        """Whether key (in either form, if an integer) has a vector."""
        return key in self

    def __getitem__(self, key_or_keys) -> np.ndarray:
        """The vector of one key, or a (k, d) array for a list or 1-D array of keys (a tuple is
        one key: NetworkX names nodes by tuples)."""
        if isinstance(key_or_keys, np.ndarray) and key_or_keys.ndim == 0:
            key_or_keys = key_or_keys.item()
        if isinstance(key_or_keys, (list, np.ndarray)):
            return self.vectors[[self.get_index(key) for key in key_or_keys]]
        return self.vectors[self.get_index(key_or_keys)]

    def get_index(self, key: Hashable, default: int | None = None) -> int:
        """The row of key, found as ``int`` or ``str`` if it names an integer.

        Returns ``default`` if there is no such key and a default is given; otherwise raises
        KeyError.
        """
        mapping = self.key_to_index
        index = mapping.get(key)
        if index is None:
            other = _other_form(key)
            index = None if other is None else mapping.get(other)
        if index is not None:
            return index
        if default is not None:
            return default
        raise KeyError(f"key {key!r} not present")

    def get_vector(self, key: Hashable, norm: bool = False) -> np.ndarray:
        """The vector of key, scaled to unit length if ``norm``."""
        index = self.get_index(key)
        return self._unit_row(index) if norm else self.vectors[index]

    def fill_norms(self, force: bool = False) -> None:
        """Compute ``norms``, the length of every vector, unless they are kept already.

        Parameters
        ----------
        force : bool, default False
            Compute them again: for vectors changed in place since.
        """
        if self.norms is None or check_bool("force", force):
            # By blocks of rows: np.linalg.norm squares its whole argument into a temporary,
            # which for all the vectors would be a second matrix their size.
            vectors = self.vectors
            norms = np.empty(len(vectors), dtype=vectors.dtype)
            rows = max(1, _NORM_BLOCK_BYTES // max(1, vectors[:1].nbytes))
            for start in range(0, len(vectors), rows):
                norms[start:start + rows] = np.linalg.norm(vectors[start:start + rows], axis=1)
            self.norms = norms

    def get_normed_vectors(self) -> np.ndarray:
        """A new (n, d) array of the vectors scaled to unit length (an all-zero vector stays
        zero)."""
        self.fill_norms()
        return self.vectors / _nonzero(self.norms)[:, None]

    def similarity(self, w1: Hashable, w2: Hashable) -> float:
        """The cosine similarity of two keys' vectors."""
        return float(self._unit_row(self.get_index(w1)) @ self._unit_row(self.get_index(w2)))

    def n_similarity(self, ws1: Sequence[Hashable], ws2: Sequence[Hashable]) -> float:
        """The cosine similarity of the means of two sets of keys' vectors.

        Raises
        ------
        ValueError
            If either set is empty.
        KeyError
            For a key without a vector.
        """
        if not (len(ws1) and len(ws2)):
            raise ValueError("n_similarity needs at least one key in each list")
        first, second = _unit_rows(np.stack([
            self.get_mean_vector(keys, pre_normalize=False, ignore_missing=False)
            for keys in (ws1, ws2)]))
        return float(first @ second)

    def get_mean_vector(self, keys, weights=None, pre_normalize: bool = True,
                        post_normalize: bool = False, ignore_missing: bool = True) -> np.ndarray:
        """The weighted mean of keys' vectors, as gensim computes it.

        Parameters
        ----------
        keys : sequence of keys or of ndarrays of shape (d,), or ndarray of shape (k, d)
            Keys, or vectors taken as they are.
        weights : sequence of float, optional
            One per key. Default: 1 each. The sum is divided by the sum of their absolute values.
        pre_normalize : bool, default True
            Scale the keys' vectors to unit length before averaging.
        post_normalize : bool, default False
            Scale the mean to unit length.
        ignore_missing : bool, default True
            Skip keys without a vector; False raises KeyError for them.

        Returns
        -------
        ndarray of shape (d,), float32
            Zero if no key had a vector.
        """
        if len(keys) == 0:
            raise ValueError("get_mean_vector needs at least one key or vector")
        weights = np.ones(len(keys)) if weights is None else np.asarray(weights, dtype=np.float64)
        if weights.shape != (len(keys),):
            raise ValueError(f"got {weights.size} weights for {len(keys)} keys")
        mean = np.zeros(self.vector_size, dtype=np.float32)
        total = 0.0
        for key, weight in zip(keys, weights.tolist()):
            if isinstance(key, np.ndarray):
                vector = self._query_vector(key)
            else:
                index = self.get_index(key, -1 if ignore_missing else None)
                if index < 0:
                    continue
                vector = self._unit_row(index) if pre_normalize else self.vectors[index]
            mean += np.float32(weight) * vector
            total += abs(weight)
        if total > 0:
            mean /= np.float32(total)
        return _unit_rows(mean[None, :])[0] if post_normalize else mean

    def distance(self, w1: Hashable, w2: Hashable) -> float:
        """The cosine distance of two keys' vectors: 1 - their similarity."""
        return 1.0 - self.similarity(w1, w2)

    def distances(self, word_or_vector, other_words: Sequence[Hashable] = ()) -> np.ndarray:
        """The cosine distances from a key's vector (or a vector) to other keys' vectors.

        Parameters
        ----------
        word_or_vector : hashable or ndarray of shape (d,)
        other_words : sequence, optional
            Default: every key, in row order.

        Returns
        -------
        ndarray of shape (len(other_words),), float32
        """
        query, _ = self._unit_term(word_or_vector)
        rows = [self.get_index(key) for key in other_words] if len(other_words) else None
        return 1 - self._cosines(query, rows)

    def most_similar(self, positive=None, negative=None, topn: int | None = 10):
        """The keys closest by cosine similarity to the mean of the positive terms minus the
        negative ones.

        Parameters
        ----------
        positive, negative : key, ndarray of shape (d,), or list of these, optional
            Terms weighted +1 (positive) or -1 (negative); a ``(key, weight)`` pair in a list
            sets its own weight (negated in ``negative``). The query is the weighted mean of the
            terms' unit vectors. Every key given is left out of the answer.
        topn : int or None, default 10
            How many keys to return; fewer if there are not that many others. None: return the
            similarity of every key instead.

        Returns
        -------
        list of (key, float), closest first (ties in row order), or, for ``topn=None``, an
        ndarray of shape (n,) with the similarity of each row.
        """
        if topn is not None:
            topn = check_int("topn", topn, minimum=0)
        terms = [(term, 1.0) for term in _term_list(positive)]
        terms += [(term, -1.0) for term in _term_list(negative)]
        if not terms:
            raise ValueError("most_similar needs at least one key or vector")
        query = np.zeros(self.vector_size, dtype=np.float32)
        given = set()
        for term, sign in terms:
            if (isinstance(term, tuple) and len(term) == 2
                    and (isinstance(term[0], np.ndarray) or term not in self)):
                term, weight = term[0], sign * check_real("weight", term[1])
            else:
                weight = sign
            vector, index = self._unit_term(term)
            query += weight * vector
            if index is not None:
                given.add(index)
        similarities = self._cosines(_unit_rows(query[None, :])[0])
        if topn is None:
            return similarities
        return self._ranked(similarities, given, topn)

    def most_similar_cosmul(self, positive=None, negative=None, topn: int | None = 10):
        """The keys that best match the positive terms and least the negative ones, by the
        multiplicative objective of Levy and Goldberg (2014), as gensim ranks them.

        Each key scores the product over the positive terms of ``(1 + cos) / 2`` divided by
        (the same product over the negative terms + 1e-6), ``cos`` being its cosine similarity
        with the term; a term is a key or a vector (scaled to unit length).

        Parameters
        ----------
        positive, negative : key, ndarray of shape (d,), or list of these, optional
            At least one positive term. Every key given is left out of the answer.
        topn : int or None, default 10
            As for :meth:`most_similar`: None returns the score of every key.

        Returns
        -------
        list of (key, float), best first (ties in row order), or, for ``topn=None``, an ndarray
        of shape (n,) with the score of each row.
        """
        if topn is not None:
            topn = check_int("topn", topn, minimum=0)
        if not _term_list(positive):
            raise ValueError("most_similar_cosmul needs at least one positive key or vector")
        scores, given = [], set()
        for terms in (positive, negative):
            products = np.ones(len(self), dtype=np.float32)
            for term in _term_list(terms):
                query, index = self._unit_term(term)
                products *= (1 + self._cosines(query)) / 2
                if index is not None:
                    given.add(index)
            scores.append(products)
        similarities = scores[0] / (scores[1] + np.float32(1e-6))
        if topn is None:
            return similarities
        return self._ranked(similarities, given, topn)

    def doesnt_match(self, words: Sequence[Hashable]) -> Hashable:
        """The key among ``words`` that fits least: the one whose unit vector is farthest (by
        cosine) from the mean of all their unit vectors. KeyError for a key without a vector."""
        if not len(words):
            raise ValueError("doesnt_match needs at least one key")
        rows = [self.get_index(word) for word in words]
        unit = self._unit_rows_at(rows)
        farthest = int(np.argmin(unit @ _unit_rows(unit.mean(axis=0)[None, :])[0]))
        return self.index_to_key[rows[farthest]]

    def closer_than(self, key1: Hashable, key2: Hashable) -> list[Hashable]:
        """The keys closer to ``key1`` (by cosine distance) than ``key2`` is, in row order;
        ``key1`` itself is left out."""
        first = self.get_index(key1)
        distances = self.distances(key1)
        closer = np.flatnonzero(distances < distances[self.get_index(key2)])
        keys = self.index_to_key
        return [keys[i] for i in closer if i != first]

    def rank(self, key1: Hashable, key2: Hashable) -> int:
        """The rank of ``key2`` among the keys nearest to ``key1``: 1 for the nearest."""
        return len(self.closer_than(key1, key2)) + 1

    def similar_by_key(self, key: Hashable, topn: int | None = 10):
        """The ``topn`` keys closest to key (itself left out); see :meth:`most_similar`."""
        return self.most_similar(positive=[key], topn=topn)

    similar_by_word = similar_by_key

    def similar_by_vector(self, vector, topn: int | None = 10):
        """The ``topn`` keys closest to vector; see :meth:`most_similar`."""
        return self.most_similar(positive=[np.asarray(vector, dtype=np.float32)], topn=topn)

    def _query_vector(self, vector: np.ndarray) -> np.ndarray:
        if vector.shape != (self.vector_size,):
            raise ValueError(f"a query vector must have shape ({self.vector_size},), "
                             f"got {vector.shape}")
        return vector.astype(np.float32)

    def _unit_term(self, term) -> tuple[np.ndarray, int | None]:
        """The unit vector of a key (with its row) or of a vector (with None)."""
        if isinstance(term, np.ndarray):
            return _unit_rows(self._query_vector(term)[None, :])[0], None
        index = self.get_index(term)
        return self._unit_row(index), index

    def _unit_row(self, index: int) -> np.ndarray:
        return self._unit_rows_at([index])[0]

    def _unit_rows_at(self, rows: list[int]) -> np.ndarray:
        self.fill_norms()
        return self.vectors[rows] / _nonzero(self.norms[rows])[:, None]

    def _cosines(self, unit_query: np.ndarray, rows: list[int] | None = None) -> np.ndarray:
        """The cosine similarity of a unit vector with every vector, or with those of rows."""
        self.fill_norms()
        if rows is None:
            return self.vectors @ unit_query / _nonzero(self.norms)
        return self.vectors[rows] @ unit_query / _nonzero(self.norms[rows])

    def _ranked(self, similarities: np.ndarray, leave_out: set,
                topn: int) -> list[tuple[Hashable, float]]:
        """The ``topn`` best rows as (key, similarity), best first and ties in row order."""
        if leave_out:
            similarities = similarities.copy()
            similarities[list(leave_out)] = -np.inf
        topn = min(topn, len(similarities) - len(leave_out))
        if topn <= 0:
            return []
        # Every row tied with the topn-th best is a candidate, so that ties go by row order.
        cutoff = similarities[np.argpartition(-similarities, topn - 1)[topn - 1]]
        rows = np.flatnonzero(similarities >= cutoff)
        best = rows[np.lexsort((rows, -similarities[rows]))[:topn]]
        keys = self.index_to_key
        return [(keys[i], float(similarities[i])) for i in best]

    def save(self, path: PathLike) -> None:
        """Write the vectors; the extension picks the format (see :mod:`velmor.embedding_files`)."""
        save_embeddings(path, self.vectors, self._keys)

    def save_word2vec_format(self, fname: PathLike, binary: bool = False, *,
                             write_header: bool = True) -> None:
        """Write word2vec text, or word2vec binary if ``binary``, whatever the extension;
        ``write_header`` False leaves out the first line, ``"n d"`` (GloVe's text layout)."""
        kind = "word2vec-binary" if check_bool("binary", binary) else "word2vec"
        save_embeddings(fname, self.vectors, self._keys, format=kind,
                        header=check_bool("write_header", write_header))

    @classmethod
    def load(cls, path: PathLike) -> KeyedVectors:
        """Read vectors written by :meth:`save`, word2vec or gensim; the extension picks the
        format."""
        vectors, keys = load_embeddings(path)
        return cls(vectors, keys)

    @classmethod
    def load_word2vec_format(cls, fname: PathLike, binary: bool = False, *,
                             no_header: bool = False) -> KeyedVectors:
        """Read word2vec text, or word2vec binary if ``binary``, whatever the extension;
        ``no_header`` reads text without the first line ``"n d"``."""
        kind = "word2vec-binary" if check_bool("binary", binary) else "word2vec"
        return cls(*load_embeddings(fname, format=kind,
                                    header=not check_bool("no_header", no_header)))

    def __repr__(self) -> str:
        return f"KeyedVectors({len(self)} keys, vector_size={self.vector_size})"


def _plain_key(key: Hashable) -> Hashable:
    """Python's own int or str for a NumPy integer or string; other keys as they are."""
    if isinstance(key, np.integer):
        return int(key)
    if isinstance(key, np.str_):
        return str(key)
    return key


def _other_form(key: Hashable) -> Hashable | None:
    """The other spelling of an integer name: "33" for 33 and 33 for "33"; None for none."""
    if isinstance(key, str):
        try:
            number = int(key)
        except ValueError:
            return None
        return number if str(number) == key else None
    if isinstance(key, (int, np.integer)) and not isinstance(key, bool):
        return str(int(key))
    return None


def _term_list(terms) -> list:
    """most_similar's positive or negative as a list of terms."""
    if terms is None:
        return []
    if isinstance(terms, np.ndarray) and terms.ndim == 2:
        return list(terms)
    return terms if isinstance(terms, list) else [terms]


_NORM_BLOCK_BYTES = 4 << 20


def _nonzero(norms: np.ndarray) -> np.ndarray:
    """Norms to divide by: an all-zero vector stays zero rather than becoming NaN."""
    return np.where(norms > 0, norms, 1).astype(np.float32)


def _unit_rows(vectors: np.ndarray) -> np.ndarray:
    return vectors / _nonzero(np.linalg.norm(vectors, axis=1))[:, None]
