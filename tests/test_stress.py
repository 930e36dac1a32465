"""Threading seen from Python: several interpreter threads training at once with failures in
between, a pool that cannot start its threads, and fork. The process must survive all of it with
nothing carried from one call to the next. The epoch driver and the pool under contention are
run by tests/native/test_tsan_epoch.cpp (also under ThreadSanitizer); memory and threads left
behind by repeated calls are watched by test_leaks.py."""

import os
import re
import sys
import threading
from textwrap import dedent

import numpy as np
import pytest

from conftest import run_python, under_sanitizer

PARAMS = dict(p=1.0, q=1.0, start_alpha=0.025, end_alpha=0.0001, window=4, batch_size=1,
              max_walk_length=10, num_negative=5, workers=8)


def make_params(native, **changes):
    return native.Node2VecParams(**{**PARAMS, **changes})


def train(native, graph, params, emb, hid, seed):
    return native.train_node2vec_epoch(graph=graph, params=params, embeddings=emb, hidden_layer=hid,
                                       next_random=seed)


def random_edges(n, m, seed):
    edges = np.random.default_rng(seed).integers(0, n, size=(m, 2)).astype(np.uint32)
    edges[0] = [n - 1, 0]  # every id below n exists
    return edges


def test_interpreter_threads_take_turns_and_failures_leave_nothing_behind(native):
    # The module holds the interpreter lock for a whole call, so calls from several Python
    # threads run one after another, on the shared pool and on pools of their own, with failures
    # of every kind in between. One worker, or one chunk on any pool, makes an epoch
    # deterministic: each thread's last epochs must give the bytes that they give before any of
    # this, so no failure and no other thread left state in the module.
    n = 60
    g = native.csr_from_edges(random_edges(n, 200, 9), False)
    start = np.random.default_rng(1).uniform(-0.5, 0.5, (2, n, 16)).astype(np.float32)
    deterministic = [make_params(native, workers=1, batch_size=7, p=0.5, q=2.0),
                     make_params(native, workers=None, batch_size=n),
                     make_params(native, workers=8, batch_size=n)]

    def results():
        out = []
        for params in deterministic:
            emb, hid = start.copy()
            train(native, g, params, emb, hid, 11)
            out.append(emb.tobytes() + hid.tobytes())
        return out

    expected, errors, outcomes = results(), [], []

    def work(k):
        try:
            e, h = np.random.default_rng(20 + k).uniform(-0.5, 0.5, (2, n, 16)).astype(np.float32)
            failing = [
                lambda: train(native, g, make_params(native, workers=8), e[:30], h, 1),
                lambda: train(native, g, make_params(native, workers=None), e, h[:30], 2),
                lambda: train(native, g, make_params(native, workers=4), e[:, :15], h, 3),
                lambda: train(native, g, make_params(native, batch_size=0), e, h, 4),
                lambda: train(native, g, make_params(native, p=0.0), e, h, 5),
                lambda: train(native, g, make_params(native), e.astype(np.float64), h, 6),
                lambda: train(native, g, make_params(native), e, h, -1),
                lambda: native.csr_from_edges(np.array([[0, 2**32 - 1]], np.uint32), False),
                lambda: g.has_edge(n, 0),
            ]
            for epoch in range(27):
                workers = [None, 3, 1][(epoch + k) % 3]
                train(native, g, make_params(native, workers=workers), e, h, epoch)
                with pytest.raises(BaseException):  # noqa: B017 - any failure, panics included
                    failing[(epoch + k) % len(failing)]()
            assert np.isfinite(e).all() and np.isfinite(h).all()
            outcomes.append(results())
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
    assert outcomes == [expected] * 4


@pytest.mark.skipif(under_sanitizer(), reason="a sanitizer's allocator needs the address space")
def test_pools_that_cannot_start_their_threads():
    # With the address space capped, thread stacks cannot be mapped: a pool for the call fails
    # with ValueError and stops the threads it had started; the shared pool fails to be made,
    # and is not tried again. The process goes on, and so do pools made once the cap is lifted.
    out = run_python("-c", dedent("""
        import os, resource
        import numpy as np
        from velmor.engine import _native as n

        os.environ["RAYON_NUM_THREADS"] = "300"  # the shared pool, made under the cap below
        g = n.csr_from_edges(np.array([[0, 1], [1, 2]], np.uint32), False)
        emb, hid = np.ones((3, 4), np.float32), np.ones((3, 4), np.float32)
        def train(w):
            params = n.Node2VecParams(p=1, q=1, start_alpha=0.025, end_alpha=0.001, window=2,
                                      batch_size=1, max_walk_length=5, num_negative=2, workers=w)
            try:
                n.train_node2vec_epoch(graph=g, params=params, embeddings=emb, hidden_layer=hid,
                                       next_random=1)
                return "ok"
            except BaseException as e:
                return type(e).__name__ + ": " + str(e)
        def threads():
            return len(os.listdir("/proc/self/task"))

        print(train(2))
        base = threads()
        with open("/proc/self/status") as f:
            vm_size = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize"))
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm_size + 64 * 2**20, hard))
        try:
            capped = [train(200), train(None)]
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(*capped, threads() - base, train(None), train(200), threads() - base, sep="\\n")
    """))
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
