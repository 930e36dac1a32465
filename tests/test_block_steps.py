"""The block schedule's steps, as the cluster calls them: arrays that come from elsewhere are
checked, and a refused call leaves every array as it was."""

import numpy as np
import pytest

from conftest import KARATE, unchanged
from velmor.distributed.blocks import graph_arrays, graph_from_arrays
from velmor.engine import _engine


def train_arguments(**change):
    rows, dim = 4, 8
    args = dict(embeddings=np.ones((rows, dim), np.float32),
                hidden_layer=np.zeros((rows, dim), np.float32),
                pairs=np.array([[0, 1], [2, 3]], np.uint32),
                slots=np.array([[0xFFFFFFFF, 0]] * rows, np.uint32), seed=1, episode=0,
                input_block=0, output_block=0, start_alpha=0.025, end_alpha=0.0001, first=0,
                last=10, epoch_walks=10, num_negative=2, shared_negatives=False)
    return {**args, **change}


@pytest.mark.parametrize("change, message", [
    (dict(pairs=np.array([[0, 4]], np.uint32)),
     "pairs must index rows of embeddings and hidden_layer"),
    (dict(slots=np.array([[0, 9]] * 4, np.uint32)),
     "a slot of a table of negatives has alias 9 but the table has 4 slots"),
    (dict(slots=np.zeros((5, 2), np.uint32)), "slots has more rows than hidden_layer"),
    (dict(last=11), "first and last must name walks of the epoch"),
    (dict(hidden_layer=np.zeros((4, 7), np.float32)),
     "embeddings and hidden_layer must have as many columns"),
])
def test_a_bad_bucket_is_refused_before_training(change, message):
    args = train_arguments(**change)
    with unchanged(args["embeddings"], args["hidden_layer"]), \
            pytest.raises(ValueError) as excinfo:
        _engine.block_train(**args)
    assert str(excinfo.value) == message


def test_the_graph_survives_its_arrays_and_bad_arrays_are_refused():
    graph = graph_from_arrays(graph_arrays(_engine.csr_from_edges(
        KARATE.astype(np.uint32), False, 34)))
    assert graph.num_nodes() == 34 and graph.has_edge(0, 31) and not graph.has_edge(0, 9)
    offsets, targets = (a.copy() for a in graph_arrays(graph))
    targets[[0, 1]] = targets[[1, 0]]  # a row out of order: has_edge would search it wrongly
    with pytest.raises(ValueError, match="the arrays do not make a graph"):
        graph_from_arrays((offsets, targets))

