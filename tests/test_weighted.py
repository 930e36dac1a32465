"""Weighted graphs in the engine: the walk's steps against the exact weighted node2vec
transition probabilities, equal weights against the plain graph, strengths against counts."""

from collections import Counter, defaultdict

import numpy as np
import pytest
from scipy.stats import chi2, poisson

from conftest import DIRECTED_DEAD_ENDS, KARATE, make_graph, make_matrices, make_params
from reference_model import weighted_rows, weighted_step
from velmor.engine import _engine

WEIGHTED_GRAPHS = [
    # Undirected rows of varied weights; node 6 lies beyond the largest id.
    pytest.param([[0, 1], [0, 2], [0, 3], [1, 2], [2, 3], [3, 4], [4, 0], [1, 5]],
                 [1.0, 2.5, 0.5, 4.0, 1.5, 3.0, 0.25, 2.0], False, 7, id="varied"),
    pytest.param([[0, 1], [0, 2], [0, 3], [1, 2], [2, 3], [3, 1], [4, 0]],
                 [1e6, 1.0, 3e5, 1.0, 1e6, 20.0, 1.0], False, 5, id="ratio-1e6"),
    # 0 -> 1 but not 1 -> 0: from 2, having come from 1, 0 is not adjacent; 4 is a dead end.
    pytest.param([[0, 1], [1, 2], [2, 0], [0, 2], [2, 3], [3, 1], [1, 4]],
                 [2.0, 1.0, 3.0, 0.5, 1.5, 1.0, 4.0], True, 5, id="directed"),
    # Parallel arcs walk as one of their summed weight; a self-loop.
    pytest.param([[0, 1], [0, 1], [1, 2], [2, 0], [0, 1], [2, 3], [3, 3]],
                 [1.0, 2.0, 5.0, 1.0, 0.5, 2.0, 1.0], False, 4, id="parallel-and-loop"),
]


@pytest.mark.parametrize("p, q", [(1.0, 1.0), (0.25, 4.0), (4.0, 0.5)])
@pytest.mark.parametrize("edges, weights, directed, n", WEIGHTED_GRAPHS)
def test_steps_follow_the_weighted_transition_probabilities(edges, weights, directed, n, p, q):
    # Walks of three nodes over 1000 disjoint copies of the graph, until 10^5 second steps: the
    # first step of each against w alone, the second against the node2vec bias.
    copies = 1000
    many = np.concatenate([np.array(edges, np.uint32) + k * n for k in range(copies)])
    graph = _engine.weighted_csr_from_edges(many, np.tile(np.array(weights), copies), directed,
                                            n * copies)
    params = make_params(p=p, q=q, max_walk_length=3, workers=None)
    firsts, seconds = defaultdict(Counter), defaultdict(Counter)
    walks, next_random = np.empty((n * copies, 3), np.int32), 0
    while sum(sum(c.values()) for c in seconds.values()) < 100_000:
        next_random += 1
        _engine.write_walks(graph=graph, params=params, next_random=next_random, walks=walks)
        for table, steps in [(firsts, walks[walks[:, 1] >= 0, :2]),
                             (seconds, walks[walks[:, 2] >= 0])]:
            keys, counts = np.unique(steps % n, axis=0, return_counts=True)
            for key, count in zip(keys.tolist(), counts.tolist()):
                table[tuple(key[:-1])][key[-1]] += count
    rows = weighted_rows(edges, weights, directed)
    contexts = [(seen, weighted_step(rows, None, a, p, q)) for (a,), seen in firsts.items()]
    contexts += [(seen, weighted_step(rows, a, b, p, q)) for (a, b), seen in seconds.items()]
    # Chi-square; bins expected under 5 times are merged, and held to a Poisson bound if still so.
    stat, dof = 0.0, 0
    for seen, probs in contexts:
        assert set(seen) <= set(probs), "a step along an arc that does not exist"
        bins = [(seen[x], sum(seen.values()) * share) for x, share in probs.items()]
        kept = [b for b in bins if b[1] >= 5]
        rest = tuple(map(sum, zip((0, 0.0), *[b for b in bins if b[1] < 5])))
        if rest[1] >= 5:
            kept.append(rest)
        elif rest[0]:
            assert poisson.sf(rest[0] - 1, rest[1]) > 1e-6, (seen, probs)
        stat += sum((o - e) ** 2 / e for o, e in kept)
        dof += max(len(kept) - 1, 0)
    assert chi2.sf(stat, dof) > 1e-5


@pytest.mark.parametrize("edges, directed", [(KARATE, False), (DIRECTED_DEAD_ENDS, True)])
def test_equal_weights_walk_as_the_plain_graph_and_strengths_draw_as_counts(edges, directed):
    # Equal weights fill every slot: the plain walk's draws, and strengths that are degrees.
    # Integer weights up to 8 give strengths exact relative to the largest, which as counts draw
    # the same negatives; a node without out-arcs weighs as the lightest arc, a count of 0 as 1.
    def walks_and_epoch(graph, noise_counts=None):  # with one worker
        walks = np.empty((n, params.max_walk_length), np.int32)
        _engine.write_walks(graph=graph, params=params, next_random=3, walks=walks)
        emb, hid = make_matrices(n, 8)
        _engine.train_epoch(graph=graph, params=params, embeddings=emb, hidden_layer=hid,
                            next_random=4, ns_exponent=1.0, noise_counts=noise_counts,
                            visits=None, progress=None)
        return walks.tobytes() + emb.tobytes() + hid.tobytes()

    edges = np.array(edges, np.uint32)
    plain = make_graph(edges, directed)
    n, params = plain.num_nodes(), make_params(p=0.5, q=2.0, max_walk_length=12, num_negative=8)
    graph = _engine.weighted_csr_from_edges(edges, np.full(len(edges), 0.3), directed, n)
    assert graph.num_arcs() == len(edges) * (1 if directed else 2)
    assert all(graph.has_edge(s, d) == plain.has_edge(s, d) for s in range(n) for d in range(n))
    assert walks_and_epoch(plain) == walks_and_epoch(graph)
    weights = np.arange(len(edges)) % 8 + 1.0
    graph = _engine.weighted_csr_from_edges(edges, weights, directed, n)
    strengths = np.bincount(edges[:, 0], weights, n)
    strengths += 0 if directed else np.bincount(edges[:, 1], weights, n)
    assert walks_and_epoch(graph) == walks_and_epoch(graph, strengths.astype(np.uint64))
