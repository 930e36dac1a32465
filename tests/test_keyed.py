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
])
def test_bad_queries(call, error, fragment):
    with pytest.raises(error, match=fragment):
        call(KeyedVectors(VECTORS, list("abcd")))
