"""The module's surface: registration, classes, initialisation and the exported symbol."""

import ctypes
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest


def test_all_lists_the_public_names_in_registration_order(native):
    assert native.__all__ == ["train_node2vec_epoch", "csr_from_edges", "CSRGraph", "Node2VecParams"]
    for name in native.__all__:
        assert hasattr(native, name)
    assert not hasattr(native, "PanicException")


@pytest.mark.parametrize(
    "obj, signature",
    [
        ("csr_from_edges", "(*, edges, directed)"),
        ("train_node2vec_epoch", "(*, graph, params, embeddings, hidden_layer, next_random)"),
        ("Node2VecParams",
         "(*, p, q, start_alpha, end_alpha, window, batch_size, max_walk_length, num_negative, workers)"),
    ],
)
def test_text_signatures(native, obj, signature):
    assert getattr(native, obj).__text_signature__ == signature


def test_functions_belong_to_the_module(native):
    for fn in (native.csr_from_edges, native.train_node2vec_epoch):
        assert fn.__self__ is native
        assert fn.__module__ == native.__name__


@pytest.mark.parametrize("cls", ["CSRGraph", "Node2VecParams"])
def test_classes_are_final_builtins_without_dict(native, cls):
    t = getattr(native, cls)
    assert (t.__module__, t.__name__, t.__qualname__) == ("builtins", cls, cls)
    with pytest.raises(TypeError):
        type("Sub", (t,), {})
    assert "__dict__" not in dir(t)


def test_csr_graph_has_no_constructor(native):
    with pytest.raises(TypeError, match="^No constructor defined$"):
        native.CSRGraph()
    assert native.CSRGraph.num_nodes.__text_signature__ == "($self)"
    assert native.CSRGraph.has_edge.__text_signature__ == "($self, src, dst)"


def test_second_initialisation_is_refused_and_the_module_survives(native):
    lib = ctypes.PyDLL(native.__file__)
    init = lib.PyInit__native
    init.restype = ctypes.py_object
    with pytest.raises(ImportError, match="once"):
        init()
    assert native.__all__[0] == "train_node2vec_epoch"
    assert native.csr_from_edges(np.array([[0, 1]], np.uint32), True).num_nodes() == 2


def test_panic_exception_is_a_base_exception(native):
    g = native.csr_from_edges(np.zeros((0, 2), np.uint32), True)
    try:
        g.has_edge(0, 0)
    except Exception:  # pragma: no cover - must not be caught here
        pytest.fail("PanicException was caught by 'except Exception'")
    except BaseException as e:
        assert type(e).__name__ == "PanicException"
        assert e.args == ("index out of bounds: the len is 1 but the index is 1",)
        assert str(e) == "index out of bounds: the len is 1 but the index is 1"


def test_internal_failure_writes_a_report_to_stderr():
    code = (
        "import numpy as np\n"
        "from velmor.engine import _native as n\n"
        "g = n.csr_from_edges(np.zeros((0, 2), np.uint32), True)\n"
        "try:\n    g.has_edge(0, 0)\nexcept BaseException as e:\n    print(type(e).__name__)\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True)
    assert out.stdout.strip() == "PanicException"
    assert "thread 'main'" in out.stderr
    assert "index out of bounds: the len is 1 but the index is 1" in out.stderr
    assert "graph.cpp:" in out.stderr


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils' nm")
def test_only_the_init_symbol_is_exported(native):
    assert native.__file__.endswith(".abi3.so")
    out = subprocess.run(["nm", "-D", "--defined-only", native.__file__], capture_output=True,
                         text=True, check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit__native"]
