"""The module's surface: names, classes, initialisation, failure reports, the exported symbol;
threads seen from Python (the pool under contention: tests/cpp/test_tsan_epoch.cpp)."""

import ctypes
import os
import re
import shutil
import subprocess
from textwrap import dedent

import numpy as np
import pytest

from conftest import DEFAULTS, make_graph, make_params, panic_of, run_python, under_sanitizer


def test_names_signatures_and_final_classes(native):
    assert native.__all__ == ["train_node2vec_epoch", "csr_from_edges", "CSRGraph",
                              "Node2VecParams"]
    assert not hasattr(native, "PanicException")
    signatures = {
        native.csr_from_edges: "(*, edges, directed)",
        native.train_node2vec_epoch: "(*, graph, params, embeddings, hidden_layer, next_random)",
        native.Node2VecParams: "(*, p, q, start_alpha, end_alpha, window, batch_size, "
                               "max_walk_length, num_negative, workers)",
        native.CSRGraph.num_nodes: "($self)", native.CSRGraph.has_edge: "($self, src, dst)"}
    assert {f: f.__text_signature__ for f in signatures} == signatures
    for t in (native.CSRGraph, native.Node2VecParams):
        with pytest.raises(TypeError):
            type("Sub", (t,), {})
        assert "__dict__" not in dir(t)
    with pytest.raises(TypeError, match="^No constructor defined$"):
        native.CSRGraph()
    params = native.Node2VecParams(**DEFAULTS)
    assert [getattr(params, k) for k in DEFAULTS] == list(DEFAULTS.values())
    with pytest.raises(AttributeError):  # read-only
        params.p = 2.0
    assert params != native.Node2VecParams(**DEFAULTS) and params == params  # identity semantics


def test_second_initialisation_is_refused_and_the_module_survives(native):
    init = ctypes.PyDLL(native.__file__).PyInit__native
    init.restype = ctypes.py_object
    with pytest.raises(ImportError, match="once"):
        init()
    assert native.csr_from_edges(np.array([[0, 1]], np.uint32), True).num_nodes() == 2


def test_internal_failures_are_reported_to_stderr_and_resumed(native, capfd):
    out_of_bounds = "index out of bounds: the len is 1 but the index is 1"
    g = native.csr_from_edges(np.zeros((0, 2), np.uint32), True)
    with pytest.raises(BaseException) as e:
        g.has_edge(0, 0)
    assert panic_of(e) == out_of_bounds
    err = capfd.readouterr().err
    assert err.startswith("thread 'main' failed at ") and "graph.cpp:" in err
    assert f"\n{out_of_bounds}\n" in err

    class Resume:  # raises the panic again from Python code the module calls
        def __index__(self):
            raise e.value

    with pytest.raises(BaseException) as again:
        native.Node2VecParams(**{**DEFAULTS, "window": Resume()})
    assert panic_of(again) == out_of_bounds
    err = capfd.readouterr().err
    assert "PanicException" in err and "resuming" in err
    # A chunk that fails on a worker of the pool is reported from there.
    params = native.Node2VecParams(**{**DEFAULTS, "window": 2, "batch_size": 1, "workers": 4})
    g = native.csr_from_edges(np.array([[i, i + 1] for i in range(20)], np.uint32), False)
    with pytest.raises(BaseException) as e:
        native.train_node2vec_epoch(graph=g, params=params, embeddings=np.ones((10, 4), np.float32),
                                    hidden_layer=np.ones((21, 4), np.float32), next_random=1)
    assert panic_of(e) == "assertion failed: index < dim"
    err = capfd.readouterr().err
    assert err.startswith("thread '<unnamed>' failed at ")
    assert "\nassertion failed: index < dim\n" in err


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils' nm")
def test_only_the_init_symbol_is_exported(native):
    out = subprocess.run(["nm", "-D", "--defined-only", native.__file__], capture_output=True,
                         text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit__native"]


@pytest.mark.skipif(under_sanitizer(), reason="a sanitizer's allocator needs the address space")
def test_pools_that_cannot_start_their_threads():
    # Thread stacks cannot be mapped in a capped address space: a pool for the call fails and
    # stops the threads it started; the shared pool fails for good. Later pools work.
    out = run_python("-c", dedent("""
        import os, resource
        import numpy as np
        from conftest import make_graph, make_params
        from velmor.engine import _native as n

        os.environ["RAYON_NUM_THREADS"] = "300"  # the shared pool, made under the cap below
        g = make_graph([[0, 1], [1, 2]], False)
        emb, hid = np.ones((3, 4), np.float32), np.ones((3, 4), np.float32)
        def train(w):
            try:
                n.train_node2vec_epoch(graph=g, params=make_params(workers=w, batch_size=1),
                                       embeddings=emb, hidden_layer=hid, next_random=1)
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
    graph = make_graph(np.random.default_rng(11).integers(0, n, size=(120, 2)), False)
    params = make_params(workers=None, batch_size=n)  # one chunk: deterministic
    start = np.random.default_rng(4).uniform(-0.5, 0.5, (2, n, 8)).astype(np.float32)

    def fit():
        mine = start.copy()
        native.train_node2vec_epoch(graph=graph, params=params, embeddings=mine[0],
                                    hidden_layer=mine[1], next_random=5)
        return mine.tobytes()

    expected = fit()  # the parent's shared pool exists now
    pid = os.fork()
    if pid == 0:  # the child: its copy of the pool has no threads
        try:
            os._exit(0 if fit() == expected else 2)
        finally:
            os._exit(1)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
    assert fit() == expected  # the parent's pool still works
