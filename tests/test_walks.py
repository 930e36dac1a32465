"""The walks alone: _engine.write_walks against the model's walks, and velmor.walks."""

import gzip
from pathlib import Path

import numpy as np
import pytest

from conftest import make_graph, make_matrices, make_params, unchanged
from reference_model import reference_epoch
from test_training import DIRECTED_DEAD_ENDS, ISOLATED
from velmor import simulate_walks
from velmor.engine import _engine
from velmor.walks import save_walks

KARATE = np.loadtxt(Path(__file__).resolve().parent.parent / "data" / "karate" / "edges.tsv",
                    dtype=np.int64)


def write(graph, params, walks, next_random=17, **kwargs):
    _engine.write_walks(graph=graph, params=params, next_random=next_random, walks=walks, **kwargs)


@pytest.mark.parametrize("workers", [1, 3])
@pytest.mark.parametrize("edges, directed, overrides", [
    (DIRECTED_DEAD_ENDS, True, dict(p=0.5, q=2.0, batch_size=3, max_walk_length=9)),
    (ISOLATED, False, dict(batch_size=2, max_walk_length=5)),
])
def test_rows_are_the_epochs_walks_in_its_order(edges, directed, overrides, workers):
    graph, params = make_graph(edges, directed), make_params(**overrides, workers=workers)
    n, length = graph.num_nodes(), params.max_walk_length
    walks = np.full((n, length), 12345, np.int32)  # every cell must be written
    write(graph, params, walks)
    drawn = []
    reference_epoch(edges, directed, params, *make_matrices(n, 2), 17, train=False, walks=drawn)
    assert walks.tolist() == [walk + [-1] * (length - len(walk)) for walk in drawn]


def _bad_walks():
    read_only = np.zeros((10, 8), np.int32)
    read_only.flags.writeable = False
    expected = "argument 'walks': expected a 2-dimensional int32 array, got "
    return [
        (np.zeros((10, 8), np.int64), {}, TypeError, expected + "a 2-dimensional int64 array"),
        ([[0] * 8] * 10, {}, TypeError, expected + "'list'"),
        (np.zeros((10, 7), np.int32), {}, ValueError, "argument 'walks': expected shape (10, 8) "
         "(one row per node, max_walk_length columns), got (10, 7)"),
        (read_only, {}, ValueError, "argument 'walks': array is read-only"),
        (np.zeros((10, 16), np.int32)[:, ::2], {}, ValueError,
         "argument 'walks': array must be C-contiguous and aligned"),
        (np.zeros((10, 8), np.int32), dict(graph=np.ones((2, 2))), TypeError,
         "argument 'graph': expected a CSRGraph or a WeightedCSRGraph, got 'ndarray'"),
    ]


@pytest.mark.parametrize("walks, overrides, error, message", _bad_walks())
def test_bad_argument_writes_nothing(walks, overrides, error, message):
    overrides = dict(overrides)
    graph = overrides.pop("graph", make_graph(DIRECTED_DEAD_ENDS + [[8, 9]], True))
    with unchanged(np.asarray(walks)), pytest.raises(error) as excinfo:
        write(graph, make_params(**overrides), walks)
    assert str(excinfo.value) == message


# velmor.simulate_walks and save_walks


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
    assert not np.array_equal(walks, simulate_walks(KARATE, num_walks=6, walk_length=15, p=0.5,
                                                    q=2.0, seed=6, workers=1))
    # One-way edges are walked one way only, and walks stop where the edges do.
    path = simulate_walks([[0, 1], [1, 2]], num_walks=1, walk_length=4, directed=True, seed=1)
    assert sorted(path.tolist()) == [[0, 1, 2, -1], [1, 2, -1, -1], [2, -1, -1, -1]]


@pytest.mark.parametrize("change, error, message", [
    (dict(walk_length=2.0), TypeError, "walk_length must be an integer, got 2.0"),
    (dict(q=0), ValueError, "q must be greater than 0, got 0.0"),
    (dict(seed=-1), ValueError, "seed must be at least 0, got -1"),
    (dict(directed="no"), TypeError, "directed must be True or False, got 'no'"),
])
def test_simulate_walks_refuses_bad_arguments(change, error, message):
    with pytest.raises(error) as excinfo:
        simulate_walks(KARATE, **change)
    assert str(excinfo.value) == message


def test_save_walks_as_corpus_and_array(tmp_path):
    walks = np.array([[2, 0, 1], [1, -1, -1], [0, 2, 0]], np.int32)
    save_walks(tmp_path / "w.txt", walks)
    save_walks(tmp_path / "named.txt.gz", walks, names=np.array(["a", "bé", "c"]))
    save_walks(tmp_path / "w.NPY", walks)
    assert (tmp_path / "w.txt").read_text() == "2 0 1\n1\n0 2 0\n"
    named = gzip.decompress((tmp_path / "named.txt.gz").read_bytes()).decode()
    assert named == "c a bé\nbé\na c a\n"
    assert np.array_equal(np.load(tmp_path / "w.NPY"), walks)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["named.txt.gz", "w.NPY", "w.txt"]


@pytest.mark.parametrize("walks, names, error, message", [
    ([[0, 1, -1], [1, -1, 0]], None, ValueError,
     r"walks\[1\] = \[1, -1, 0\] is not a walk of node indices followed by -1 padding"),
    ([[0, 1], [2, -2]], None, ValueError, r"walks\[1\] = \[2, -2\] is not a walk"),
    ([[0.0, 1.0]], None, TypeError,
     "walks must be a 2-D array of integer node indices, got 2-D float64"),
    ([[0, 2]], ["a", "b"], ValueError, "walks visit node 2, but only 2 names were given"),
    ([[0, 1]], ["a", "b c"], ValueError, "node name 'b c' is empty or contains whitespace"),
    ([[0, 1]], None, ValueError, "cannot tell the walks format of '.*walks.npz'"),
])
def test_save_walks_refuses_bad_input_and_keeps_the_old_file(tmp_path, walks, names, error,
                                                              message):
    target = tmp_path / ("walks.npz" if "format" in message else "walks.txt")
    target.write_bytes(b"old")
    with pytest.raises(error, match=f"^{message}"):
        save_walks(target, walks, names)
    assert [p.name for p in tmp_path.iterdir()] == [target.name] and target.read_bytes() == b"old"
