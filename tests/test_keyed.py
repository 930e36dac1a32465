"""KeyedVectors: lookups by either form of an integer name, similarity queries."""

import numpy as np
import pytest

from velmor import KeyedVectors

VECTORS = np.array([[1, 0], [0.8, 0.6], [0, 1], [-1, 0.1]], dtype=np.float32)


def lookups(kv, key, other):
    """What each keyed method gives for key, with other as the second key where one is needed."""
    return (kv.get_index(key), key in kv, kv.has_index_for(key), kv[key].tolist(),
            kv.get_vector(key, norm=True).tolist(), kv[[key, other]].tolist(),
            kv.similarity(key, other), kv.distance(key, other), kv.distances(key, [other]).tolist(),
            kv.most_similar(key, topn=2))


@pytest.mark.parametrize("keys, query, found", [
    ([5, 33, 7], "33", True), (np.array([5, 33, 7]), "33", True), (["5", "33", "x"], 33, True),
    (["5", "33", "x"], np.uint8(33), True), ([5, "33", "-4"], 33, True), ([5, -33, 7], "-33", True),
    *[([5, 33, "7"], other, False) for other in ["033", " 33", "3_3", 34]],  # other spellings
])
def test_an_integer_name_is_found_in_either_form_and_no_other(keys, query, found):
    kv = KeyedVectors(VECTORS[:3], keys)
    first, second = kv.index_to_key[:2]
    if found:
        assert lookups(kv, query, first) == lookups(kv, second, first)
    else:
        assert query not in kv and kv.get_index(query, -1) == -1
        with pytest.raises(KeyError, match="not present"):
            kv[query]


def unit(vector):
    return np.asarray(vector, dtype=np.float64) / np.linalg.norm(vector)


# Rows of different lengths, so that a query that skips the scaling to unit length ranks
# differently.
@pytest.mark.parametrize("positive, negative, query, given", [
    ("a", None, unit(VECTORS[0]), "a"),
    (["a", "c"], None, unit(VECTORS[0]) + unit(VECTORS[2]), "ac"),
    (["b"], ["d"], unit(VECTORS[1]) - unit(VECTORS[3]), "bd"),
    ([("a", 1), ("c", 3)], [("d", 2)],
     unit(VECTORS[0]) + 3 * unit(VECTORS[2]) - 2 * unit(VECTORS[3]), "acd"),
    (np.array([1.0, 1]), None, [1, 1], ""),
    (["c", np.array([-3.0, 0])], None, unit(VECTORS[2]) + [-1, 0], "c"),
    (None, "d", -unit(VECTORS[3]), "d"),
])
def test_most_similar_ranks_by_the_mean_of_unit_vectors(positive, negative, query, given):
    kv = KeyedVectors(VECTORS * [[3], [1], [5], [0.5]], list("abcd"))
    cosines = [float(unit(row) @ unit(query)) for row in VECTORS]
    expected = sorted(((-c, key) for key, c in zip("abcd", cosines) if key not in given))
    result = kv.most_similar(positive, negative, topn=10)
    assert [key for key, _ in result] == [key for _, key in expected]
    assert all(type(s) is float for _, s in result)
    np.testing.assert_allclose([s for _, s in result], [-c for c, _ in expected], rtol=1e-6)
    np.testing.assert_allclose(kv.most_similar(positive, negative, topn=None), cosines, rtol=1e-6)


def test_ties_go_by_row_order_even_at_the_cut():
    kv = KeyedVectors(np.repeat([[0, 1], [1, 0]], [3, 200], axis=0))
    assert [key for key, _ in kv.similar_by_vector([1, 0], topn=2)] == [3, 4]
    assert [key for key, _ in kv.similar_by_key(3, topn=2)] == [4, 5]


@pytest.mark.parametrize("call, error, fragment", [
    (lambda kv: kv.most_similar(positive=[], negative=[]), ValueError, "at least one"),
    (lambda kv: kv.most_similar(np.zeros(3)), ValueError, r"shape \(2,\)"),
    (lambda kv: kv.most_similar(["a", "z"]), KeyError, "'z'"),
    (lambda kv: kv.most_similar([("a", "heavy")]), TypeError, "weight"),
    (lambda kv: kv.most_similar("a", topn=-1), ValueError, "topn"),
    (lambda kv: kv.most_similar_cosmul(negative=["a"]), ValueError, "at least one positive"),
    (lambda kv: kv.n_similarity([], ["a"]), ValueError, "at least one key in each"),
    (lambda kv: kv.n_similarity(["a", "z"], ["a"]), KeyError, "'z'"),
    (lambda kv: kv.doesnt_match(["a", "z"]), KeyError, "'z'"),
    (lambda kv: kv.get_mean_vector(["a"], weights=[1, 2]), ValueError, "2 weights for 1 keys"),
])
def test_bad_queries(call, error, fragment):
    with pytest.raises(error, match=fragment):
        call(KeyedVectors(VECTORS, list("abcd")))


# Unit vectors (1, 0), (0.6, 0.8), (0, 1), (-1, 0) at different lengths, so that a query that
# skips (or wrongly applies) the scaling to unit length answers differently.
GENSIM = KeyedVectors(np.array([[2, 0], [3, 4], [0, 0.5], [-4, 0]]), list("abcd"))


@pytest.mark.parametrize("call, expected", [
    (lambda kv: kv.n_similarity(["a", "c"], ["b"]), 0.8 / 1.0625**0.5),  # raw means (1, .25)
    (lambda kv: kv.doesnt_match(["a", "b", "c"]), "a"),  # "c" by the raw vectors
    (lambda kv: kv.most_similar_cosmul(["b"], ["a"]), [("d", 0.2 / 1e-6), ("c", 0.9 / 0.500001)]),
    (lambda kv: kv.most_similar_cosmul("b", topn=None), [0.8, 1, 0.9, 0.2]),
    (lambda kv: kv.most_similar_cosmul([np.array([0, 9.0])], topn=1), [("c", 1.0)]),
    (lambda kv: kv.closer_than("b", "d"), ["a", "c"]),
    (lambda kv: [kv.rank("a", key) for key in "bcd"], [1, 2, 3]),
    (lambda kv: kv.get_mean_vector(["a", "b"]), [0.8, 0.4]),
    (lambda kv: kv.get_mean_vector(["a", "b"], weights=[1, -3]), [-0.2, -0.6]),
    (lambda kv: kv.get_mean_vector(["a", "b"], post_normalize=True), [2 / 5**0.5, 1 / 5**0.5]),
    (lambda kv: kv.get_mean_vector(["a", "b"], pre_normalize=False), [2.5, 2]),
    (lambda kv: kv.get_mean_vector([np.array([0, 2.0]), "a", "zz"]), [0.5, 1]),
    (lambda kv: kv.get_normed_vectors(), [[1, 0], [0.6, 0.8], [0, 1], [-1, 0]]),
])
def test_gensim_queries(call, expected):
    result = call(GENSIM)
    if isinstance(expected, list) and expected and isinstance(expected[0], tuple):
        assert [key for key, _ in result] == [key for key, _ in expected]
        result, expected = [s for _, s in result], [s for _, s in expected]
    if isinstance(expected, str) or (isinstance(expected, list) and isinstance(expected[0], str)):
        assert result == expected
    else:
        np.testing.assert_allclose(result, expected, rtol=1e-5, atol=1e-7)


def test_norms_are_kept_until_the_vectors_change():
    kv = KeyedVectors(np.array([[3, 4], [1, 0]]))
    assert kv.norms is None and kv.similarity(0, 1) == pytest.approx(0.6)
    np.testing.assert_allclose(kv.norms, [5, 1])
    kv.vectors[1] = [0, 2]  # in place: the kept norms are stale until recomputed
    kv.fill_norms(force=True)
    assert kv.similarity(0, 1) == pytest.approx(0.8)
    kv.vectors = np.array([[1, 0], [0, 3]], dtype=np.float32)
    assert kv.norms is None and kv.distance(0, 1) == pytest.approx(1)


@pytest.mark.parametrize("write_header", [True, False])
def test_word2vec_text_without_a_header(tmp_path, write_header):
    path = tmp_path / "v.txt"
    GENSIM.save_word2vec_format(path, write_header=write_header)
    assert path.read_text().startswith("4 2\n" if write_header else "a 2 0\n")
    loaded = KeyedVectors.load_word2vec_format(path, no_header=not write_header)
    assert loaded.index_to_key == GENSIM.index_to_key
    np.testing.assert_array_equal(loaded.vectors, GENSIM.vectors)
    if not write_header:
        with pytest.raises(ValueError, match=r"no_header=True"):
            KeyedVectors.load(path)
