"""The deterministic block schedule: bit-identical embeddings for any number of workers, and one
epoch against a model of the schedule built on the reference model's walk, draws and update."""

from pathlib import Path

import numpy as np
import pytest

import velmor
from conftest import (
    KARATE,
    KARATE_FILE,
    KARATE_WEIGHTS,
    assert_matches_model,
    make_graph,
    make_matrices,
    make_params,
    run_cli,
    unchanged,
)
from reference_model import (
    F32,
    MASK64,
    AliasTable,
    Lcg48,
    WalkBias,
    dot,
    neighbour_rows,
    random_walk,
    start_order,
    wrap_i32,
)
from velmor.engine import _engine

BLOGCATALOG = Path(__file__).resolve().parent.parent / "data" / "blogcatalog" / "edges.tsv"


def engine_epochs(graph, workers, epochs=3, **schedule):
    """Epochs on karate-sized graphs with a small episode, so that one epoch has several."""
    params = make_params(workers=workers, window=4, max_walk_length=12, num_negative=3,
                         start_alpha=0.05)
    emb, hid = make_matrices(graph.num_nodes(), 8, scale=0.1)
    visits = np.zeros(graph.num_nodes(), np.uint64)
    for epoch in range(epochs):
        _engine.train_epoch(graph=graph, params=params, embeddings=emb, hidden_layer=hid,
                            next_random=epoch + 7, ns_exponent=0.75, noise_counts=visits,
                            visits=visits, progress=None, deterministic=True, **schedule)
    return emb, hid, visits


def fitted(graph, workers, **params):
    settings = dict(dimensions=16, walk_length=20, num_walks=2, window_size=5, seed=5,
                    progress=False, deterministic=True)
    model = velmor.Node2Vec(**{**settings, **params, "workers": workers}).fit(graph)
    return (model.embeddings_,)


@pytest.mark.parametrize("train", [
    # Many episodes of one chunk each; blocks of 8 or 9 nodes.
    pytest.param(lambda w: engine_epochs(make_graph(KARATE, False), w, num_blocks=4,
                                         episode_walks=5), id="karate-episodes"),
    pytest.param(lambda w: fitted(velmor.Graph(KARATE, weights=KARATE_WEIGHTS), w, num_blocks=3,
                                  shared_negatives=True), id="weighted-karate-shared"),
    # The default of 16 blocks; an episode of 41 chunks.
    pytest.param(lambda w: fitted(velmor.read_edgelist(BLOGCATALOG), w, num_walks=1),
                 id="blogcatalog"),
])
def test_any_number_of_workers_trains_the_same_bits(train):
    first = train(1)
    for workers in (2, 3, 8):
        assert all(a.tobytes() == b.tobytes() for a, b in zip(first, train(workers))), workers


# A model of the schedule, on the reference model's generator, walk and alias table.

PARTITION_SEED = 0x626C6F636B73


def keyed_seed(seed, *keys):
    def mix(x):
        x = (x + 0x9E3779B97F4A7C15) & MASK64
        x = ((x ^ (x >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
        x = ((x ^ (x >> 27)) * 0x94D049BB133111EB) & MASK64
        return x ^ (x >> 31)

    h = mix(seed)
    for key in keys:
        h = mix(h ^ key)
    return h


def partition(n, num_blocks):
    order = list(range(n))
    Lcg48.from_seed(PARTITION_SEED).shuffle(order)
    cuts = [n * b // num_blocks for b in range(num_blocks + 1)]
    return [sorted(order[cuts[b]:cuts[b + 1]]) for b in range(num_blocks)]


def train_pair(inp, centre, negatives, alpha, emb, hid, lookup):
    """The per-pair update: the centre with label 1, then each negative other than the centre
    with label 0, the input row updated last by the summed error."""
    error = np.zeros(hid.shape[1], np.float32)
    for target, label in [(centre, F32(1))] + [(t, F32(0)) for t in negatives if t != centre]:
        s = lookup(dot(emb[inp], hid[target]))
        if s is not None:
            g = (label - s) * alpha
            error += g * hid[target]
            hid[target] += g * emb[inp]
    emb[inp] += error


def schedule_epoch(edges, params, emb, hid, next_random, num_blocks, episode_walks, counts,
                   ns_exponent, lookup, run=1024):
    rows = neighbour_rows(edges, False)
    n, window, negative = len(rows), params.window, params.num_negative
    emb, hid = emb.copy(), hid.copy()
    blocks = partition(n, num_blocks)
    block_of = {v: b for b, members in enumerate(blocks) for v in members}
    tables = [AliasTable([counts[v] for v in members], ns_exponent) for members in blocks]
    order, seed = start_order(n, next_random)
    fall = params.start_alpha - params.end_alpha
    for episode, first in enumerate(range(0, n, episode_walks)):
        last = min(n, first + episode_walks)
        buckets = {}
        for k in range(first, last):
            rng = Lcg48.from_seed(keyed_seed(seed, 1, k))
            walk = random_walk(rows, order[k], params.max_walk_length,
                               WalkBias(params.p, params.q), rng)
            for i, centre in enumerate(walk):
                b = rng.next_int(window)
                start, end = max(0, wrap_i32(i - window + b)), min(i + window + 1 - b, len(walk))
                for c in range(start, end):
                    if c != i:
                        buckets.setdefault((block_of[walk[c]], block_of[centre]), []).append(
                            (walk[c], centre))
        alpha_first = params.start_alpha - fall * first / n
        alpha_last = params.start_alpha - fall * last / n
        # Sub-round s: the buckets (i, i + s), which share no row, so in any order.
        for i, j in [(i, (i + s) % num_blocks) for s in range(num_blocks)
                     for i in range(num_blocks)]:
            pairs = buckets.get((i, j), [])
            rng = Lcg48.from_seed(keyed_seed(seed, 2, episode, i, j))
            for done in range(0, len(pairs), run):
                alpha = F32(alpha_first - (alpha_first - alpha_last) * done / len(pairs))
                for inp, centre in pairs[done:done + run]:
                    drawn = [blocks[j][tables[j].next(rng)] for _ in range(negative)]
                    train_pair(inp, centre, drawn, alpha, emb, hid, lookup)
    return emb, hid


@pytest.mark.parametrize("num_blocks, episode_walks, ns_exponent", [
    (3, 7, 0.75), (5, 34, 0.0), (1, 34, 1.0)])  # the last: buckets of several runs
def test_an_epoch_matches_the_model_of_the_schedule(num_blocks, episode_walks, ns_exponent):
    graph = make_graph(KARATE, False)
    params = make_params(window=3, max_walk_length=12, num_negative=3, start_alpha=0.05,
                         end_alpha=0.01, workers=3)
    emb0, hid0 = make_matrices(34, 8, seed=2, scale=0.2)
    counts = np.arange(1, 35, dtype=np.uint64) ** 2
    emb, hid = emb0.copy(), hid0.copy()
    _engine.train_epoch(graph=graph, params=params, embeddings=emb, hidden_layer=hid,
                        next_random=11, ns_exponent=ns_exponent, noise_counts=counts, visits=None,
                        progress=None, deterministic=True, num_blocks=num_blocks,
                        episode_walks=episode_walks)
    assert_matches_model((emb, hid), lambda lookup: schedule_epoch(
        KARATE, params, emb0, hid0, 11, num_blocks, episode_walks, counts.tolist(), ns_exponent,
        lookup))


def test_the_command_trains_the_same_bits_on_any_number_of_threads(tmp_path, capsys):
    outputs = [tmp_path / f"{workers}.emb" for workers in (1, 3)]
    for workers, out in zip((1, 3), outputs):
        assert run_cli(capsys, "--input", KARATE_FILE, "--output", out, "--dimensions", "8",
                       "--seed", "2", "--workers", workers, "--deterministic", "--quiet") == (0, "")
    assert outputs[0].read_bytes() == outputs[1].read_bytes()


@pytest.mark.parametrize("engine, change, message", [
    (True, dict(num_blocks=257), "num_blocks must be between 0 and 256, got 257"),
    (True, dict(episode_walks=2**20 + 1),
     "episode_walks must be between 0 and 1048576, got 1048577"),
    (True, dict(hidden_layer=None), "deterministic training needs embeddings and hidden_layer "
     "in memory of their own, with no element shared by two rows"),
    (True, dict(frozen=np.zeros(34, np.uint8)), "the block schedule does not take frozen rows"),
    (False, dict(negative=2**22 + 1, deterministic=True),
     "negative must be at most 4194304 with deterministic=True, got 4194305"),
    (False, dict(num_blocks=4), "num_blocks applies only with deterministic=True"),
])
def test_a_bad_schedule_is_refused_before_anything_changes(engine, change, message):
    emb, hid = make_matrices(34, 4)
    with unchanged(emb, hid), pytest.raises(ValueError) as excinfo:
        if engine:  # hidden_layer=None: the embeddings array for both
            _engine.train_epoch(**{
                **dict(graph=make_graph(KARATE, False), params=make_params(), embeddings=emb,
                       hidden_layer=hid, next_random=1, ns_exponent=0.75, noise_counts=None,
                       visits=np.zeros(34, np.uint64), progress=None, deterministic=True),
                **change, **({"hidden_layer": emb} if "hidden_layer" in change else {})})
        else:
            velmor.Node2Vec(**change).fit(KARATE)
    assert str(excinfo.value) == message
