"""The walks alone: _engine.write_walks against the model's walks, and velmor.walks."""

import gzip

import numpy as np
import pytest

from conftest import DIRECTED_DEAD_ENDS, ISOLATED, KARATE, make_graph, make_matrices, make_params
from reference_model import reference_epoch
from velmor import simulate_walks
from velmor.engine import _engine
from velmor.walks import save_walks


@pytest.mark.parametrize("workers", [1, 3])
@pytest.mark.parametrize("edges, directed, overrides", [
    (DIRECTED_DEAD_ENDS, True, dict(p=0.5, q=2.0, batch_size=3, max_walk_length=9)),
    (ISOLATED, False, dict(batch_size=2, max_walk_length=5)),
])
def test_rows_are_the_epochs_walks_in_its_order(edges, directed, overrides, workers):
    graph, params = make_graph(edges, directed), make_params(**overrides, workers=workers)
    n, length = graph.num_nodes(), params.max_walk_length
    walks = np.full((n, length), 12345, np.int32)  # every cell must be written
    _engine.write_walks(graph=graph, params=params, next_random=17, walks=walks)
    drawn = []
    reference_epoch(edges, directed, params, *make_matrices(n, 2), 17, train=False, walks=drawn)
    assert walks.tolist() == [walk + [-1] * (length - len(walk)) for walk in drawn]


def test_simulate_walks_rounds_and_determinism():
    walks = simulate_walks(KARATE, num_walks=6, walk_length=15, p=0.5, q=2.0, seed=5, workers=1)
    assert walks.shape == (6 * 34, 15) and walks.dtype == np.int32
    rounds = walks.reshape(6, 34, 15)
    assert all(sorted(r[:, 0]) == list(range(34)) for r in rounds)  # one walk from every node
    assert len({tuple(r[:, 0]) for r in rounds}) == 6  # in a fresh order each round
    assert {(u, v) for u, v in zip(walks[:, :-1].ravel(), walks[:, 1:].ravel())} <= \
        {(u, v) for u, v in KARATE} | {(v, u) for u, v in KARATE}
    # Each row is written by the worker that draws it, from that walk's own generator.
    assert np.array_equal(walks, simulate_walks(KARATE, num_walks=6, walk_length=15, p=0.5,
                                                q=2.0, seed=5, workers=3))


def test_save_walks_as_corpus_and_array(tmp_path):
    walks = np.array([[2, 0, 1], [1, -1, -1], [0, 2, 0]], np.int32)
    save_walks(tmp_path / "w.txt", walks)
    save_walks(tmp_path / "n.txt.gz", walks, names=np.array(["a", "bé", "c"]))
    save_walks(tmp_path / "w.NPY", walks)
    assert (tmp_path / "w.txt").read_text() == "2 0 1\n1\n0 2 0\n"
    assert gzip.decompress((tmp_path / "n.txt.gz").read_bytes()).decode() == "c a bé\nbé\na c a\n"
    assert np.array_equal(np.load(tmp_path / "w.NPY"), walks)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["n.txt.gz", "w.NPY", "w.txt"]


@pytest.mark.parametrize("call, error, message", [
    (lambda _: simulate_walks(KARATE, walk_length=2.0), TypeError,
     r"walk_length must be an integer, got 2\.0$"),
    (lambda _: simulate_walks(KARATE, directed="no"), TypeError,
     "directed must be True or False, got 'no'$"),
    (lambda path: save_walks(path, [[0, 1, -1], [1, -1, 0]]), ValueError,
     r"walks\[1\] = \[1, -1, 0\] is not a walk of node indices followed by -1 padding"),
    (lambda path: save_walks(path, [[0, 1], [2, -2]]), ValueError, r"walks\[1\] = \[2, -2\]"),
    (lambda path: save_walks(path, [[0.0, 1.0]]), TypeError,
     "walks must be a 2-D array of integer node indices, got 2-D float64"),
    (lambda path: save_walks(path, [[0, 2]], ["a", "b"]), ValueError,
     "walks visit node 2, but only 2 names were given"),
    (lambda path: save_walks(path, [[0, 1]], ["a", "b c"]), ValueError,
     "node name 'b c' is empty or contains whitespace"),
    (lambda path: save_walks(path.with_suffix(".npz"), [[0, 1]]), ValueError,
     "cannot tell the walks format of '.*walks.npz'"),
    (lambda path: save_walks(path.with_suffix(".npy"), [[0, 1]], [0, 5]), ValueError,
     r"a \.npy file of walks holds node indices alone, but the nodes are not named by their "
     r"indices \(node index 1 is named 5\); save the walks as \.txt or \.txt\.gz"),
])
def test_bad_input_is_refused_and_keeps_the_old_file(tmp_path, call, error, message):
    target = tmp_path / "walks.txt"
    target.write_bytes(b"old")
    with pytest.raises(error, match=f"^{message}"):
        call(target)
    assert [p.name for p in tmp_path.iterdir()] == [target.name] and target.read_bytes() == b"old"
