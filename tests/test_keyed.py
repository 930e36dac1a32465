"""KeyedVectors: the key rule, lookups by either form of an integer name, similarity queries."""

from pathlib import Path

import numpy as np
import pytest

import velmor
from velmor import KeyedVectors

KARATE = Path(__file__).resolve().parent.parent / "data" / "karate" / "edges.tsv"
VECTORS = np.array([[1, 0], [0.8, 0.6], [0, 1], [-1, 0.1]], dtype=np.float32)


@pytest.mark.parametrize("suffix", [".emb", ".npy", ".npz"])
def test_karate_keys_are_integers_in_memory_and_after_a_round_trip(tmp_path, suffix):
    model = velmor.Node2Vec(dimensions=8, walk_length=10, walks_per_node=2, workers=1,
                            seed=1).fit(velmor.read_edgelist(KARATE))
    nearest = model.wv.most_similar(33, topn=5)
    assert model.wv.most_similar("33", topn=5) == nearest
    model.save(tmp_path / f"karate{suffix}")
    loaded = KeyedVectors.load(tmp_path / f"karate{suffix}")
    assert loaded.index_to_key == list(range(34)) and loaded.most_similar("33", topn=5) == nearest


@pytest.mark.parametrize("words, keys", [
    (["0", "7", "12"], [0, 7, 12]),
    (["0", "07"], ["0", "07"]),     # a leading zero is not how an integer is written
    (["1", "-1"], ["1", "-1"]),
    (["+1", "2"], ["+1", "2"]),
    (["1", "٣"], ["1", "٣"]),       # a digit, but not a decimal ASCII one
    (["1", "x"], ["1", "x"]),
])
def test_word2vec_keys_are_integers_only_when_all_are(tmp_path, words, keys):
    path = tmp_path / "v.txt"
    path.write_text(f"{len(words)} 1\n" + "".join(f"{word} 0.5\n" for word in words))
    assert KeyedVectors.load(path).index_to_key == keys


def lookups(kv, key, other):
    """What each keyed method gives for key, with other as the second key where one is needed."""
    return (kv.get_index(key), key in kv, kv.has_index_for(key), kv[key].tolist(),
            kv.get_vector(key, norm=True).tolist(), kv[[key, other]].tolist(),
            kv.similarity(key, other), kv.most_similar(key, topn=2))


@pytest.mark.parametrize("keys, query", [
    ([5, 33, 7], "33"), ([5, 33, 7], np.int64(33)), (np.array([5, 33, 7]), "33"),
    (["5", "33", "x"], 33), (["5", "33", "x"], np.uint8(33)), ([5, "33", "-4"], 33),
    ([5, -33, 7], "-33"),
])
def test_an_integer_name_is_found_in_either_form(keys, query):
    kv = KeyedVectors(VECTORS[:3], keys)
    assert lookups(kv, query, kv.index_to_key[0]) == lookups(kv, kv.index_to_key[1], kv.index_to_key[0])


@pytest.mark.parametrize("query", ["033", " 33", "+33", "33.0", "3_3", 34])
def test_other_spellings_are_other_keys(query):
    kv = KeyedVectors(VECTORS[:3], [5, 33, "7"])
    assert query not in kv and kv.get_index(query, -1) == -1
    with pytest.raises(KeyError, match="not present"):
        kv[query]
