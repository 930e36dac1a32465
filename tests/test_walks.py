"""The walks alone: _engine.write_walks against the model's walks."""

from pathlib import Path

import numpy as np
import pytest

from conftest import unchanged
from reference_model import reference_epoch
from test_training import DIRECTED_DEAD_ENDS, ISOLATED, make_graph, make_matrices, make_params
from velmor.engine import _engine

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
    return [
        (np.zeros((10, 8), np.int64), TypeError,
         "argument 'walks': expected a 2-dimensional int32 array, got a 2-dimensional int64 array"),
        ([[0] * 8] * 10, TypeError,
         "argument 'walks': expected a 2-dimensional int32 array, got 'list'"),
        (np.zeros((10, 7), np.int32), ValueError, "argument 'walks': expected shape (10, 8) "
         "(one row per node, max_walk_length columns), got (10, 7)"),
        (read_only, ValueError, "argument 'walks': array is read-only"),
        (np.zeros((10, 16), np.int32)[:, ::2], ValueError,
         "argument 'walks': array must be C-contiguous and aligned"),
    ]


@pytest.mark.parametrize("walks, error, message", _bad_walks())
def test_bad_walks_argument(walks, error, message):
    graph = make_graph(DIRECTED_DEAD_ENDS + [[8, 9]], True)
    with pytest.raises(error) as excinfo:
        write(graph, make_params(), walks)
    assert str(excinfo.value) == message


def test_bad_walk_parameter_writes_nothing():
    graph, walks = make_graph(KARATE, False), np.full((34, 8), 7, np.int32)
    with unchanged(walks), pytest.raises(ValueError, match="^q must be a finite number greater"):
        write(graph, make_params(q=float("inf")), walks)
