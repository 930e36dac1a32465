"""Threads seen from Python: a pool that cannot start its threads, and fork. The pool under
contention is run by tests/cpp/test_tsan_epoch.cpp."""

import os
import re
from textwrap import dedent

import numpy as np
import pytest

from conftest import make_graph, make_matrices, make_params, run_python, under_sanitizer
from velmor.engine import _native


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
def test_a_forked_child_gets_a_shared_pool_of_its_own():
    n = 40
    edges = np.random.default_rng(11).integers(0, n, size=(120, 2))
    graph = make_graph(np.vstack([edges, [[n - 1, 0]]]), False)  # every id below n exists
    params = make_params(workers=None, batch_size=n)  # one chunk: deterministic
    start = np.stack(make_matrices(n, 8, seed=4))

    def fit():
        mine = start.copy()
        _native.train_node2vec_epoch(graph=graph, params=params, embeddings=mine[0],
                                     hidden_layer=mine[1], next_random=5)
        return mine.tobytes()

    expected = fit()  # the parent's shared pool exists now
    pid = os.fork()
    if pid == 0:  # the child: its copy of the pool has no threads
        status = 1
        try:
            status = 0 if fit() == expected else 2
        finally:
            os._exit(status)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
    assert fit() == expected  # the parent's pool still works
