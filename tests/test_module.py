"""The module's surface: registration, classes, initialisation, failure reports and the exported
symbol."""

import ctypes
import shutil
import subprocess

import numpy as np
import pytest

from conftest import DEFAULTS, panic_of


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
    with pytest.raises(TypeError):  # a method of another object
        native.CSRGraph.num_nodes(object())
    with pytest.raises(TypeError, match="^No constructor defined$"):
        native.CSRGraph()


def test_second_initialisation_is_refused_and_the_module_survives(native):
    init = ctypes.PyDLL(native.__file__).PyInit__native
    init.restype = ctypes.py_object
    with pytest.raises(ImportError, match="once"):
        init()
    assert native.csr_from_edges(np.array([[0, 1]], np.uint32), True).num_nodes() == 2


def test_internal_failures_are_reported_to_stderr_and_resumed(native, capfd):
    out_of_bounds = "index out of bounds: the len is 1 but the index is 1"
    g = native.csr_from_edges(np.zeros((0, 2), np.uint32), True)
    capfd.readouterr()
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
