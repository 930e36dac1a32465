"""csr_from_edges and has_edge against a NumPy/SciPy model over random shapes, dtypes and memory
layouts. Row order and long rows are checked by the C++ tests (tests/native/test_graph.cpp)."""

import numpy as np
import pytest
import scipy.sparse
from hypothesis import HealthCheck, event, example, given, settings
from hypothesis import strategies as st

from conftest import panic_of

SETTINGS = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
U32_MAX = 2**32 - 1


class Sub(np.ndarray):
    pass


def _unaligned(values):
    out = np.zeros(values.size * 4 + 1, np.uint8)[1:].view(np.uint32).reshape(values.shape)
    out[...] = values
    return out


def _every_third(values):
    big = np.full((values.shape[0] * 3 + 1, values.shape[1] * 2 + 3), 7777, np.uint32)
    view = big[1::3, 3::2]
    view[...] = values
    return view


def _read_only(values):
    out = values.copy()
    out.flags.writeable = False
    return out


LAYOUTS = {
    "c": np.ascontiguousarray,
    "fortran": np.asfortranarray,
    "transposed": lambda v: np.ascontiguousarray(v.T).T,
    "reversed-rows": lambda v: np.ascontiguousarray(v[::-1])[::-1],
    "reversed-both": lambda v: np.ascontiguousarray(v[::-1, ::-1])[::-1, ::-1],
    "every-third": _every_third,
    "unaligned": _unaligned,
    "subclass": lambda v: v.copy().view(Sub),
    "read-only": _read_only,
}
EQUIVALENT_DTYPES = [np.dtype(np.uint32), np.dtype("=u4"), np.dtype("<u4"), np.dtype("I"),
                     np.dtype(np.uintc)]
OTHER_DTYPES = [np.int32, np.int64, np.uint64, np.uint16, np.uint8, np.float32, np.float64,
                np.bool_, np.dtype(">u4")]


@st.composite
def edge_arrays(draw):
    """(logical values, the array handed over) with any layout of the same values."""
    rows = draw(st.integers(0, 30))
    cols = draw(st.sampled_from([2, 2, 2, 3, 1, 0, 4]))
    flat = draw(st.lists(st.integers(0, 40), min_size=rows * cols, max_size=rows * cols))
    if flat and draw(st.integers(0, 7)) == 0:
        flat[draw(st.integers(0, len(flat) - 1))] = U32_MAX  # never a node id
    values = np.array(flat, np.uint32).reshape(rows, cols)
    layout = draw(st.sampled_from(sorted(LAYOUTS) + ["broadcast"]))
    if layout == "broadcast" and rows > 0:
        array = np.broadcast_to(values[0].copy(), (rows, cols))  # a row stride of zero
        values = np.array(array)
    else:
        array = LAYOUTS.get(layout, LAYOUTS["c"])(values)
    dtype = draw(st.sampled_from(EQUIVALENT_DTYPES))
    if dtype is not array.dtype:
        array = array.view(dtype)
    assert np.array_equal(np.asarray(array, np.uint32), values)
    return values, array


def csr_model(values, directed):
    """(num_nodes, dense adjacency) or the PanicException message expected."""
    rows, cols = values.shape
    n = (int(values.max()) + 1) % 2**32 if values.size else 0  # every column counts
    n_off = n + 1
    if cols < 1:
        return "assertion failed: index < dim"
    for column in ([0] if directed else [0, 1]):
        if column >= cols:
            return "assertion failed: index < dim"
        for v in values[:, column].tolist():
            if v >= n_off:
                return f"index out of bounds: the len is {n_off} but the index is {v}"
    if rows and cols < 2:
        return "index out of bounds"  # only the start of this message is fixed
    for s, d in values[:, :2].tolist():
        for a in ([s] if directed else [s, d]):
            if a >= n:
                return f"index out of bounds: the len is {n_off} but the index is {a + 1}"
    if rows == 0:
        return n, np.zeros((n, n), bool)
    src, dst = values[:, 0].astype(np.int64), values[:, 1].astype(np.int64)
    if not directed:
        src, dst = np.concatenate([src, dst]), np.concatenate([dst, src])
    dense = scipy.sparse.csr_matrix((np.ones(len(src)), (src, dst)), shape=(n, n)).toarray() > 0
    return n, dense


def plain(rows, shape=None):
    values = np.array(rows, np.uint32).reshape(shape or (len(rows), -1) if rows else (0, 2))
    return values, values


@SETTINGS
@given(case=edge_arrays(), directed=st.booleans(), keyword=st.booleans())
@example(case=plain([]), directed=True, keyword=False)
@example(case=plain([[0, 5]]), directed=True, keyword=False)
@example(case=plain([[0, 1, 9]]), directed=True, keyword=False)
@example(case=plain([[1, 2], [3, U32_MAX]]), directed=False, keyword=False)
@example(case=plain([[0, U32_MAX]]), directed=True, keyword=False)
@example(case=plain([[0], [1]]), directed=True, keyword=False)
@example(case=plain([], (0, 1)), directed=True, keyword=False)
@example(case=plain([], (3, 0)), directed=True, keyword=False)
def test_csr_from_edges_matches_the_model(native, case, directed, keyword):
    values, array = case
    before_bytes = np.array(array).tobytes()
    expected = csr_model(values, directed)
    event("panics" if isinstance(expected, str) else "builds")
    call = (lambda: native.csr_from_edges(edges=array, directed=directed)) if keyword else (
        lambda: native.csr_from_edges(array, directed))
    if isinstance(expected, str):
        with pytest.raises(BaseException) as e:
            call()
        assert panic_of(e).startswith(expected)
    else:
        n, dense = expected
        g = call()
        assert g.num_nodes() == n
        adjacency = [[g.has_edge(s, d) for d in range(n)] for s in range(n)]
        assert np.array_equal(np.array(adjacency, bool).reshape(n, n), dense)
        for src in (n, n + 1, n + 7):
            with pytest.raises(BaseException) as e:
                g.has_edge(src, 0)
            assert panic_of(e) == (f"index out of bounds: the len is {n + 1} but the index is "
                                   f"{max(src, n + 1)}")
        if n:
            assert not g.has_edge(0, n) and not g.has_edge(n - 1, U32_MAX)
            assert g.has_edge(0, 0) == dense[0, 0]  # still usable after the failures
    assert np.array(array).tobytes() == before_bytes


GOOD_EDGES = np.array([[0, 1], [1, 2]], np.uint32)
REFUSALS = (
    [pytest.param(np.zeros(shape, np.uint32), True,
                  f"argument 'edges': dimensionality mismatch:\n from={len(shape)}, to=2",
                  id=f"ndim-{len(shape)}")
     for shape in [(), (4,), (0,), (2, 2, 2), (1, 1, 1, 1)]]
    + [pytest.param(GOOD_EDGES.astype(dtype), True,
                    f"argument 'edges': type mismatch:\n from={np.dtype(dtype)}, to=uint32",
                    id=f"dtype-{np.dtype(dtype)}")
       for dtype in OTHER_DTYPES]
    + [pytest.param(edges, True,
                    f"argument 'edges': '{type(edges).__qualname__}' object cannot be converted "
                    "to 'PyArray<T, D>'",
                    id=f"edges-{type(edges).__qualname__}")
       for edges in [GOOD_EDGES.tolist(), tuple(map(tuple, GOOD_EDGES.tolist())),
                     memoryview(GOOD_EDGES), 5, None]]
    + [pytest.param(GOOD_EDGES, directed,
                    f"argument 'directed': '{type(directed).__qualname__}' object cannot be "
                    "converted to 'PyBool'",
                    id=f"directed-{type(directed).__qualname__}")
       for directed in [1, 0, np.bool_(True), None, "True"]]
)


@pytest.mark.parametrize("edges, directed, message", REFUSALS)
def test_csr_from_edges_refusals(native, edges, directed, message):
    for call in (lambda: native.csr_from_edges(edges, directed),
                 lambda: native.csr_from_edges(directed=directed, edges=edges)):
        with pytest.raises(TypeError) as e:
            call()
        assert type(e.value) is TypeError and str(e.value) == message


@pytest.mark.parametrize("bad, exc, prefix", [
    (-1, OverflowError, False), (4294967296, OverflowError, False), (1.0, TypeError, True),
    ("0", TypeError, True)])
def test_has_edge_argument_conversion(native, bad, exc, prefix):
    g = native.csr_from_edges(np.array([[0, 1]], np.uint32), True)
    with pytest.raises(exc) as e:
        g.has_edge(bad, 0)
    assert str(e.value).startswith("argument 'src': ") == prefix
    with pytest.raises(exc) as e:
        g.has_edge(0, bad)
    assert str(e.value).startswith("argument 'dst': ") == prefix
    assert g.has_edge(np.uint8(0), np.int64(1))
