"""The engine (_engine): weighted negatives against the model, the uniform draw against _native,
every entry point's refusals, and the hooks that run while the interpreter lock is free."""

import os
import signal
import threading
import time

import numpy as np
import pytest

from conftest import (
    assert_matches_model,
    make_graph,
    make_matrices,
    make_params,
    run_python,
    unchanged,
)
from reference_model import reference_epoch
from test_training import DIRECTED_DEAD_ENDS, ISOLATED, RING_WITH_CHORDS, STAR
from velmor.engine import _engine, _native


def train(graph, params, emb, hid, next_random, ns_exponent=0.75, noise_counts=None, visits=None,
          progress=None, shared=False, **schedule):
    return _engine.train_epoch(graph=graph, params=params, embeddings=emb, hidden_layer=hid,
                               next_random=next_random, ns_exponent=ns_exponent,
                               noise_counts=noise_counts, visits=visits, progress=progress,
                               shared_negatives=shared, **schedule)


@pytest.mark.parametrize("overrides", [dict(), dict(p=0.25, q=4.0, num_negative=12, window=2)])
@pytest.mark.parametrize("edges, directed", [(RING_WITH_CHORDS, False), (DIRECTED_DEAD_ENDS, True)])
def test_exponent_zero_is_the_native_epoch(edges, directed, overrides):
    # Bit for bit, counting visits or not: the uniform draw is _native's own.
    graph, params = make_graph(edges, directed), make_params(**overrides)
    expected = make_matrices(graph.num_nodes(), 8)
    _native.train_node2vec_epoch(graph=graph, params=params, embeddings=expected[0],
                                 hidden_layer=expected[1], next_random=99)
    for visits in (None, np.zeros(graph.num_nodes(), np.uint64)):
        emb, hid = make_matrices(graph.num_nodes(), 8)
        train(graph, params, emb, hid, 99, ns_exponent=0.0, visits=visits)
        assert emb.tobytes() + hid.tobytes() == expected[0].tobytes() + expected[1].tobytes()


SKEWED = [5000, 0, 1, 3, 80, 0, 2, 1, 700, 9, 1]  # for the 11 nodes of ISOLATED


@pytest.mark.parametrize("edges, directed, ns_exponent, counts, overrides", [
    pytest.param(RING_WITH_CHORDS, False, 0.75, None, {}, id="degrees"),
    # Nodes 3 and 4 have no out-arcs: the floor keeps them drawable.
    pytest.param(DIRECTED_DEAD_ENDS, True, 0.75, None, dict(p=0.5, q=2.0), id="dead-ends"),
    pytest.param(ISOLATED, False, 1.0, SKEWED, dict(num_negative=12), id="skewed-many-negatives"),
    pytest.param(ISOLATED, False, 40.0, SKEWED, dict(num_negative=1), id="steep"),
    # A gentler rate than the others': the hub's rows take so many updates that, at 0.1, the
    # rounding differences between the kernels and the model grow past the tolerance.
    pytest.param(STAR, False, 0.5, None, dict(window=6, max_walk_length=40, start_alpha=0.025),
                 id="long-walks"),
])
@pytest.mark.parametrize("shared", [False, True], ids=["per-pair", "shared"])
def test_weighted_negatives_and_visits_match_model(edges, directed, ns_exponent, counts, overrides,
                                                   shared):
    # Two epochs as the package runs them: the first draws by `counts` (or the degrees), the
    # second by the visits counted in the first; then a round of walks counted alone.
    graph, params = make_graph(edges, directed), make_params(**overrides)
    n = graph.num_nodes()
    emb0, hid0 = make_matrices(n, 8, seed=3)
    emb, hid = emb0.copy(), hid0.copy()
    visits = np.zeros(n, np.uint64)
    noise = None if counts is None else np.array(counts, np.uint64)
    train(graph, params, emb, hid, 5, ns_exponent, noise, visits, shared=shared)
    train(graph, params, emb, hid, 6, ns_exponent, visits, visits, shared=shared)
    model_visits = [0] * n

    def run_model(lookup):
        model_visits[:] = [0] * n
        ref = reference_epoch(edges, directed, params, emb0, hid0, 5, lookup, ns_exponent, counts,
                              model_visits, shared=shared)
        return reference_epoch(edges, directed, params, *ref, 6, lookup, ns_exponent,
                               list(model_visits), model_visits, shared=shared)

    assert_matches_model((emb, hid), run_model)
    assert visits.tolist() == model_visits
    _engine.count_visits(graph=graph, params=params, next_random=31, visits=visits)  # added to
    reference_epoch(edges, directed, params, emb0, hid0, 31, visits=model_visits, train=False)
    assert visits.tolist() == model_visits


def _bad_arguments():
    counts = np.ones(10, np.uint64)
    epoch, write = _engine.train_epoch, _engine.write_walks
    weighted, plain = _engine.weighted_csr_from_edges, _engine.csr_from_edges
    builds = [  # the two builders refuse the same edges and node counts alike
        (dict(edges=np.ones((5, 2), np.int64)), TypeError,
         "argument 'edges': expected an (E, 2) uint32 array, got a 2-dimensional int64 array"),
        (dict(edges=np.ones((5, 3), np.uint32)), ValueError,
         "argument 'edges': expected shape (E, 2), got (5, 3)"),
        (dict(num_nodes=4), ValueError, "edges[2] refers to node 4 but num_nodes is 4"),
        (dict(num_nodes=2**70), ValueError,
         f"num_nodes must be between 1 and 2147483647, got {2**70}"),
    ]
    return [
        (epoch, dict(ns_exponent=float("nan")), ValueError,
         "ns_exponent must be a finite number at least 0, got nan"),
        (epoch, dict(noise_counts=counts[:9]), ValueError,
         "noise_counts has 9 entries but the graph has 10 nodes"),
        (epoch, dict(visits=np.broadcast_to(counts[:1], 10)), ValueError,
         "argument 'visits': array is read-only"),
        (epoch, dict(noise_counts=counts[::2]), ValueError,
         "argument 'noise_counts': array must be contiguous and aligned"),
        (epoch, dict(progress=3), TypeError,
         "argument 'progress': expected a callable or None, got 'int'"),
        (write, dict(walks=np.zeros((10, 8), np.int64)), TypeError, "argument 'walks': expected "
         "a 2-dimensional int32 array, got a 2-dimensional int64 array"),
        (write, dict(walks=np.zeros((10, 7), np.int32)), ValueError, "argument 'walks': expected "
         "shape (10, 8) (one row per node, max_walk_length columns), got (10, 7)"),
        (write, dict(walks=np.broadcast_to(np.zeros(8, np.int32), (10, 8))), ValueError,
         "argument 'walks': array is read-only"),
        (write, dict(walks=np.zeros((10, 16), np.int32)[:, ::2]), ValueError,
         "argument 'walks': array must be C-contiguous and aligned"),
        (write, dict(graph=np.ones((2, 2))), TypeError,
         "argument 'graph': expected a CSRGraph or a WeightedCSRGraph, got 'ndarray'"),
        (weighted, dict(weights=np.ones(5, np.float32)), TypeError, "argument 'weights': expected "
         "a 1-dimensional float64 array, got a 1-dimensional float32 array; convert other dtypes "
         "first, e.g. weights.astype(numpy.float64)"),
        (weighted, dict(weights=np.ones(4)), ValueError,
         "argument 'weights': expected 5 entries, one per edge, got 4"),
        (weighted, dict(weights=np.array([1, 2, 0.0, -4, 5])), ValueError,  # the first of two
         "weights[2] is 0.0; edge weights must be finite and greater than 0"),
        *[(build, *row) for row in builds for build in (weighted, plain)],
    ]


@pytest.mark.parametrize("call, change, error, message", _bad_arguments())
def test_bad_argument_changes_nothing(call, change, error, message):
    graph, params = make_graph(RING_WITH_CHORDS, False), make_params()
    emb, hid = make_matrices(10, 4)
    edges = np.array([[0, 1], [1, 2], [2, 4], [3, 0], [1, 3]], np.uint32)
    arguments = {
        _engine.train_epoch: dict(graph=graph, params=params, embeddings=emb, hidden_layer=hid,
                                  next_random=1, ns_exponent=0.75, noise_counts=None,
                                  visits=np.zeros(10, np.uint64), progress=None),
        _engine.write_walks: dict(graph=graph, params=params, next_random=1,
                                  walks=np.zeros((10, 8), np.int32)),
        _engine.weighted_csr_from_edges: dict(edges=edges, weights=np.arange(1.0, 6.0),
                                              directed=False, num_nodes=6),
        _engine.csr_from_edges: dict(edges=edges, directed=False, num_nodes=6),
    }[call] | change
    arrays = [a for a in arguments.values() if isinstance(a, np.ndarray)]
    with unchanged(*arrays), pytest.raises(error) as excinfo:
        call(**arguments)
    assert str(excinfo.value) == message


@pytest.mark.parametrize("schedule", [{}, dict(deterministic=True, episode_walks=1024)],
                         ids=["hogwild", "deterministic"])
@pytest.mark.parametrize("workers, error", [(2, RuntimeError), (1, KeyboardInterrupt)])
def test_progress_error_or_ctrl_c_stops_the_epoch_part_way(workers, error, schedule):
    # Ctrl-C comes from another Python thread: it runs only if the epoch released the lock.
    n = 20_000
    ring = np.arange(n, dtype=np.uint32)
    edges = np.stack([ring, (ring + 1) % n, ring, (ring + 7) % n], axis=1).reshape(-1, 2)
    params = make_params(max_walk_length=80, window=10, num_negative=5, batch_size=64,
                         workers=workers)
    graph, (emb, hid) = make_graph(edges, False), make_matrices(n, 64, scale=0.01)
    visits, seen = np.zeros(n, np.uint64), []

    def progress(walks):
        seen.append(walks)
        if len(seen) == 3:
            raise RuntimeError("enough")

    killer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    if error is KeyboardInterrupt:
        killer.start()
    try:
        with pytest.raises(error, match="enough" if error is RuntimeError else None):
            train(graph, params, emb, hid, 1, visits=visits,
                  progress=progress if error is RuntimeError else None, **schedule)
    finally:
        killer.cancel()
    assert 0 < visits.sum() < n * 80  # every walk of the ring has 80 nodes
    if error is RuntimeError:
        assert seen == sorted(seen) and 0 < seen[-1] <= visits.sum() // 80


@pytest.mark.parametrize("phase", ["walking", "training"])
def test_a_stop_cuts_one_long_walk_short(phase):
    # One walk that takes about ten seconds, stopped at the first progress call, after about
    # 100 ms: on a single edge with p = 1000, a step back is accepted once in a thousand
    # proposals; on a ring, a walk of a million nodes is drawn at once but trains for long.
    def progress(_):
        raise RuntimeError("stop")

    started = time.perf_counter()
    if phase == "walking":
        params = make_params(p=1000.0, max_walk_length=2_000_000, batch_size=1, workers=1)
        walks = np.full((2, params.max_walk_length), 7, np.int32)
        with pytest.raises(RuntimeError, match="stop"):
            _engine.write_walks(graph=make_graph([[0, 1]], False), params=params, next_random=1,
                                walks=walks, progress=progress)
        assert (walks == 7).all()  # the walk cut short is not taken for a whole one
    else:
        ring = np.arange(1000)
        params = make_params(max_walk_length=1_000_000, window=50, num_negative=5, batch_size=1,
                             workers=1)
        visits = np.zeros(len(ring), np.uint64)
        with pytest.raises(RuntimeError, match="stop"):
            train(make_graph(np.stack([ring, np.roll(ring, 1)], axis=1), False), params,
                  *make_matrices(len(ring), 8), 1, visits=visits, progress=progress)
        assert visits.sum() == 0  # no walk is counted
    assert time.perf_counter() - started < 3


@pytest.mark.parametrize("environment, engine, native", [
    (dict(VELMOR_NUM_THREADS="3", RAYON_NUM_THREADS="2"), "3", "2"),
    (dict(VELMOR_NUM_THREADS="+4", RAYON_RS_NUM_CPUS="5"), "4", "5"),
    (dict(VELMOR_NUM_THREADS="three", RAYON_NUM_THREADS="2"), "2", "2"),  # unreadable: unset
    (dict(VELMOR_NUM_THREADS="0", RAYON_NUM_THREADS="2"), str(os.cpu_count()), "2"),
])
def test_engine_reads_its_own_thread_variable_first(environment, engine, native, monkeypatch):
    # Each module has a shared pool of its own; the threads each one starts are its size.
    script = """if True:
        import os
        import numpy as np
        from conftest import make_graph, make_params
        from velmor.engine import _engine, _native
        graph, params = make_graph([[0, 1]], False), make_params(workers=None)
        threads = lambda: len(os.listdir("/proc/self/task"))
        before = threads()
        _engine.count_visits(graph=graph, params=params, next_random=1,
                             visits=np.zeros(2, np.uint64))
        middle = threads()
        emb = np.zeros((2, 2), np.float32)
        _native.train_node2vec_epoch(graph=graph, params=params, embeddings=emb, hidden_layer=emb,
                                     next_random=1)
        print(middle - before, threads() - middle)
    """
    for name in ("VELMOR_NUM_THREADS", "RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        monkeypatch.delenv(name, raising=False)
    for name, value in environment.items():
        monkeypatch.setenv(name, value)
    done = run_python("-c", script)
    assert (done.returncode, done.stdout.split()) == (0, [engine, native]), done.stderr
