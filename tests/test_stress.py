"""Heavy threading and long runs: many epochs with many workers, rows that every walk contends
for, per-call pools started and stopped hundreds of times, chunks that fail in the middle of an
epoch, several interpreter threads training at once, a pool that cannot start its threads, and
fork. The process must survive all of it with its threads joined, its memory flat and nothing
carried from one call to the next."""

import os
import re
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from conftest import panic_of
from test_leaks import RSS_ALLOWANCE, rss, thread_count, under_sanitizer

GUARD = np.float32(7.25)
PARAMS = dict(p=1.0, q=1.0, start_alpha=0.025, end_alpha=0.0001, window=4, batch_size=1,
              max_walk_length=10, num_negative=5, workers=8)
BIASES = [dict(p=1.0, q=1.0), dict(p=0.25, q=4.0), dict(p=4.0, q=0.5)]


def make_params(native, **changes):
    return native.Node2VecParams(**{**PARAMS, **changes})


def train(native, graph, params, emb, hid, seed):
    return native.train_node2vec_epoch(graph=graph, params=params, embeddings=emb, hidden_layer=hid,
                                       next_random=seed)


def random_edges(n, m, seed):
    edges = np.random.default_rng(seed).integers(0, n, size=(m, 2)).astype(np.uint32)
    edges[0] = [n - 1, 0]  # every id below n exists
    return edges


GRAPHS = {
    "random-undirected": (lambda: random_edges(150, 400, 1), False),
    "random-directed": (lambda: random_edges(80, 300, 2), True),
    "star": (lambda: np.array([[0, v] for v in range(1, 41)], np.uint32), False),  # one hub row
    "two-nodes": (lambda: np.array([[0, 1]], np.uint32), False),  # every walk on the same rows
}


class Guarded:
    """A float32 matrix of `rows` rows (the graph's nodes plus spare rows that training must never
    touch), cut out of a larger buffer whose border holds a sentinel: a write outside the rows
    and columns of a node shows up as a changed guard."""

    def __init__(self, nodes, dim, seed, spare=3, pad=2):
        self.buffer = np.full((nodes + spare + 2 * pad, dim + 2 * pad), GUARD, np.float32)
        self.matrix = self.buffer[pad:pad + nodes + spare, pad:pad + dim]
        self.matrix[...] = np.random.default_rng(seed).uniform(-0.5, 0.5, self.matrix.shape)
        self.nodes = nodes
        self.spare = self.matrix[nodes:].copy()
        self.border = np.ones(self.buffer.shape, bool)
        self.border[pad:pad + nodes + spare, pad:pad + dim] = False

    def check(self):
        assert (self.buffer[self.border] == GUARD).all(), "a write outside the matrix"
        assert np.array_equal(self.matrix[self.nodes:], self.spare), "a write to a row of no node"
        assert np.isfinite(self.matrix).all()


def wait_for_threads(expected, timeout=5.0):
    """The thread count once it is back to `expected` (an exited thread may linger briefly)."""
    deadline = time.monotonic() + timeout
    while thread_count() != expected and time.monotonic() < deadline:
        time.sleep(0.01)
    return thread_count()


@pytest.fixture
def baseline_threads(native):
    """The thread count with the shared pool made (its threads stay for the process)."""
    g = native.csr_from_edges(np.array([[0, 1]], np.uint32), False)
    emb, hid = np.zeros((2, 4), np.float32), np.zeros((2, 4), np.float32)
    train(native, g, make_params(native, workers=None), emb, hid, 0)
    return thread_count()


@pytest.mark.parametrize("graph_name, dim", [("random-undirected", 17), ("random-directed", 33),
                                             ("star", 7), ("two-nodes", 16)])
def test_many_epochs_with_many_workers(native, graph_name, dim, baseline_threads):
    make_edges, directed = GRAPHS[graph_name]
    g = native.csr_from_edges(make_edges(), directed)
    n = g.num_nodes()
    emb, hid = Guarded(n, dim, 1), Guarded(n, dim, 2)
    shared = Guarded(n, dim, 3)  # one array for both matrices
    before = emb.matrix.copy()
    for epoch in range(150):
        params = make_params(native, workers=[None, 3, 16][epoch % 3], batch_size=1 + epoch % 5,
                             **BIASES[epoch % len(BIASES)])
        assert train(native, g, params, emb.matrix, hid.matrix, epoch) is None
        if epoch % 4 == 0:
            assert train(native, g, params, shared.matrix, shared.matrix, epoch) is None
    for m in (emb, hid, shared):
        m.check()
    assert not np.array_equal(emb.matrix, before)
    assert wait_for_threads(baseline_threads) == baseline_threads


def test_per_call_pools_start_and_stop_hundreds_of_times(native, baseline_threads):
    g = native.csr_from_edges(random_edges(30, 60, 3), False)
    emb, hid = Guarded(30, 8, 4), Guarded(30, 8, 5)
    short = np.zeros((10, 8), np.float32)
    sizes = [1, 2, 8, 32, 0]  # 0: the default size

    def one_call(i):
        params = make_params(native, workers=sizes[i % len(sizes)], batch_size=1 + i % 3)
        if i % 10 == 9:  # now and then a chunk fails and the pool stops early
            with pytest.raises(BaseException) as e:
                train(native, g, params, short, hid.matrix, i)
            assert panic_of(e) == "assertion failed: index < dim"
        else:
            assert train(native, g, params, emb.matrix, hid.matrix, i) is None

    for i in range(50):  # warm-up: allocator arenas and thread stacks of the largest pools
        one_call(i)
    memory = rss()
    for i in range(400):
        one_call(i)
        assert wait_for_threads(baseline_threads) == baseline_threads, f"call {i}"
    emb.check()
    hid.check()
    if not under_sanitizer():
        assert rss() - memory < RSS_ALLOWANCE


@pytest.mark.parametrize("workers", [None, 8, 64])
@pytest.mark.parametrize("fault, message", [
    ("short-embeddings", "assertion failed: index < dim"),
    ("short-hidden-layer", "assertion failed: index < dim"),
    ("column-counts-differ", "assertion failed: self.len() == rhs.len()"),
])
def test_failing_chunk_in_the_middle_of_an_epoch(native, workers, fault, message, capfd, baseline_threads):
    n = 200
    g = native.csr_from_edges(random_edges(n, 600, 6), False)
    emb, hid = Guarded(n, 8, 7), Guarded(n, 8, 8)
    bad = {
        "short-embeddings": (emb.matrix[:150], hid.matrix),
        "short-hidden-layer": (emb.matrix, hid.matrix[:150]),
        "column-counts-differ": (emb.matrix[:, :7], hid.matrix),
    }[fault]
    params = make_params(native, workers=workers, batch_size=1)
    for round_ in range(10):
        with pytest.raises(BaseException) as e:
            train(native, g, params, *bad, round_)
        assert panic_of(e) == message
        err = capfd.readouterr().err
        assert message in err and "thread '<unnamed>'" in err  # reported on a worker thread
        assert wait_for_threads(baseline_threads) == baseline_threads
        assert train(native, g, params, emb.matrix, hid.matrix, round_) is None  # the next call works
    emb.check()
    hid.check()


def test_failures_leave_nothing_behind(native):
    # One worker, or one chunk on any pool, makes an epoch deterministic: running it again after
    # a series of failures must give the same bytes, so no failure left state in the module.
    n = 60
    g = native.csr_from_edges(random_edges(n, 200, 9), False)
    start = [np.random.default_rng(s).uniform(-0.5, 0.5, (n, 16)).astype(np.float32) for s in (1, 2)]
    deterministic = [make_params(native, workers=1, batch_size=7, p=0.5, q=2.0),
                     make_params(native, workers=None, batch_size=n),
                     make_params(native, workers=8, batch_size=n)]

    def results():
        out = []
        for params in deterministic:
            emb, hid = start[0].copy(), start[1].copy()
            train(native, g, params, emb, hid, 11)
            out.append(emb.tobytes() + hid.tobytes())
        return out

    expected = results()
    emb, hid = start[0].copy(), start[1].copy()
    failing = [
        lambda: train(native, g, make_params(native, workers=8), emb[:30], hid, 1),
        lambda: train(native, g, make_params(native, workers=None), emb, hid[:30], 2),
        lambda: train(native, g, make_params(native, workers=4), emb[:, :15], hid, 3),
        lambda: train(native, g, make_params(native, batch_size=0), emb, hid, 4),
        lambda: train(native, g, make_params(native, p=0.0), emb, hid, 5),
        lambda: train(native, g, make_params(native), emb.astype(np.float64), hid, 6),
        lambda: train(native, g, make_params(native), emb, hid, -1),
        lambda: native.train_node2vec_epoch(g, make_params(native)),
        lambda: native.csr_from_edges(np.array([[0, 2**32 - 1]], np.uint32), False),
        lambda: g.has_edge(n, 0),
    ]
    for _ in range(5):
        for call in failing:
            with pytest.raises(BaseException):
                call()
    assert results() == expected


def test_interpreter_threads_take_turns(native):
    # The module holds the interpreter lock for a whole call, so calls from several Python
    # threads run one after another, on the shared pool and on pools of their own.
    n = 50
    g = native.csr_from_edges(random_edges(n, 150, 10), False)
    reference = np.random.default_rng(3).uniform(-0.5, 0.5, (2, n, 8)).astype(np.float32)
    expected = reference.copy()
    train(native, g, make_params(native, workers=1), expected[0], expected[1], 99)
    errors, results = [], []

    def work(k):
        try:
            emb, hid = Guarded(n, 8, 20 + k), Guarded(n, 8, 40 + k)
            for epoch in range(25):
                params = make_params(native, workers=[None, 3, 1][(epoch + k) % 3])
                train(native, g, params, emb.matrix, hid.matrix, epoch)
                if epoch % 5 == k % 5:
                    try:
                        train(native, g, params, emb.matrix[:10], hid.matrix, epoch)
                    except BaseException as exc:  # noqa: B036 - PanicException
                        assert str(exc) == "assertion failed: index < dim"
            emb.check()
            hid.check()
            mine = reference.copy()
            train(native, g, make_params(native, workers=1), mine[0], mine[1], 99)
            results.append(mine)
        except BaseException as exc:  # noqa: B036 - reported below
            errors.append(exc)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
    finally:
        sys.setswitchinterval(interval)
    assert not errors, errors
    assert len(results) == 4
    for mine in results:
        assert mine.tobytes() == expected.tobytes()


def _run_python(code):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=env, timeout=120)


@pytest.mark.skipif(under_sanitizer(), reason="a sanitizer's allocator needs the address space")
def test_pools_that_cannot_start_their_threads():
    # With the address space capped, thread stacks cannot be mapped: a pool for the call fails
    # with ValueError and stops the threads it had started; the shared pool fails to be made,
    # and is not tried again. The process goes on, and so do pools made once the cap is lifted.
    out = _run_python("""
        import os, resource
        import numpy as np
        from velmor.engine import _native as n

        os.environ["RAYON_NUM_THREADS"] = "300"  # the shared pool, made under the cap below
        g = n.csr_from_edges(np.array([[0, 1], [1, 2]], np.uint32), False)
        emb, hid = np.ones((3, 4), np.float32), np.ones((3, 4), np.float32)
        def params(w):
            return n.Node2VecParams(p=1, q=1, start_alpha=0.025, end_alpha=0.001, window=2,
                                    batch_size=1, max_walk_length=5, num_negative=2, workers=w)
        def train(w):
            try:
                n.train_node2vec_epoch(graph=g, params=params(w), embeddings=emb, hidden_layer=hid,
                                       next_random=1)
                return "ok"
            except BaseException as e:
                return type(e).__name__ + ": " + str(e)
        def vm_size():
            with open("/proc/self/status") as f:
                return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize"))
        def threads():
            return len(os.listdir("/proc/self/task"))

        print(train(2))
        base = threads()
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm_size() + 64 * 2**20, hard))
        try:
            capped = [train(200), train(None)]
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(capped[0]); print(capped[1]); print(threads() - base)
        print(train(None)); print(train(200)); print(threads() - base)
    """)
    lines = out.stdout.splitlines()
    assert out.returncode == 0, out.stderr
    assert lines[0] == "ok"
    assert re.fullmatch(r"ValueError: .+ \(os error \d+\)", lines[1]), lines[1]
    assert lines[2].startswith("PanicException: The global thread pool has not been initialized.: ")
    assert lines[3] == "0"  # every thread of the failed pools is gone
    assert lines[4] == lines[2]  # the shared pool is not tried again
    assert lines[5] == "ok" and lines[6] == "0"


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_child_gets_a_shared_pool_of_its_own(native):
    n = 40
    g = native.csr_from_edges(random_edges(n, 120, 11), False)
    params = make_params(native, workers=None, batch_size=n)  # one chunk: deterministic
    start = np.random.default_rng(4).uniform(-0.5, 0.5, (2, n, 8)).astype(np.float32)
    expected = start.copy()
    train(native, g, params, expected[0], expected[1], 5)  # the parent's shared pool exists now
    pid = os.fork()
    if pid == 0:  # the child: its copy of the pool has no threads
        status = 1
        try:
            mine = start.copy()
            train(native, g, params, mine[0], mine[1], 5)
            status = 0 if mine.tobytes() == expected.tobytes() else 2
        finally:
            os._exit(status)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
    mine = start.copy()
    train(native, g, params, mine[0], mine[1], 5)  # the parent's pool still works
    assert mine.tobytes() == expected.tobytes()
