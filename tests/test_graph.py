"""csr_from_edges and has_edge over memory layouts and equivalent dtypes, against SciPy's
adjacency; malformed arrays and their refusals (row order, long rows: tests/cpp/test_graph.cpp)."""

import numpy as np
import pytest
import scipy.sparse

from conftest import panic_of

# Packed rows (aligned or not; the unaligned array is read-only too) are read by one path, any
# other strides by another.
LAYOUTS = {
    "c": np.ascontiguousarray, "fortran": np.asfortranarray,
    "reversed": lambda v: np.ascontiguousarray(v[::-1, ::-1])[::-1, ::-1],
    "unaligned": lambda v: np.frombuffer(b"\0" + v.tobytes(), "u4", offset=1).reshape(v.shape),
    "subclass": lambda v: v.copy().view(np.memmap),
    "broadcast": lambda v: np.broadcast_to(v[:1].copy(), v.shape),  # a row stride of zero
}
EQUIVALENT_DTYPES = ["=u4", "<u4", "I", np.uintc]


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("directed", [False, True])
def test_any_layout_builds_the_adjacency(native, layout, directed):
    i = list(LAYOUTS).index(layout)
    values = np.random.default_rng(i).integers(0, 30, size=(40, 3))
    values = np.vstack([values, [[30, 0, 31]]]).astype(np.uint32)
    array = LAYOUTS[layout](values).view(EQUIVALENT_DTYPES[i % 4])
    values = np.array(array, np.uint32)
    before = values.tobytes()
    g = native.csr_from_edges(array, directed) if directed else native.csr_from_edges(
        edges=array, directed=directed)
    n = int(values.max()) + 1  # every column counts towards the nodes
    src, dst = values[:, 0].astype(np.int64), values[:, 1].astype(np.int64)
    if not directed:
        src, dst = np.r_[src, dst], np.r_[dst, src]
    dense = scipy.sparse.csr_matrix((np.ones(len(src)), (src, dst)), shape=(n, n)).toarray() > 0
    assert g.num_nodes() == n
    assert np.array_equal([[g.has_edge(s, d) for d in range(n)] for s in range(n)], dense)
    with pytest.raises(BaseException) as e:  # just past the last: test_module.py
        g.has_edge(n + 7, 0)
    assert panic_of(e) == f"index out of bounds: the len is {n + 1} but the index is {n + 7}"
    assert not g.has_edge(0, n) and not g.has_edge(n - 1, 2**32 - 1)
    assert g.has_edge(0, 0) == dense[0, 0]  # still usable after the failures
    assert np.array(array).tobytes() == before


GOOD_EDGES = np.array([[0, 1], [1, 2]], np.uint32)
# (edges, directed, the number of nodes, or the message of the refusal or of the failure inside)
CASES = (
    [(np.zeros((0, 2), np.uint32), True, 0), (np.zeros((0, 1), np.uint32), True, 0),
     (np.array([[1, 2], [3, 2**32 - 1]], np.uint32), False,
      "index out of bounds: the len is 1 but the index is 1"),
     (np.array([[0], [1]], np.uint32), True, "index out of bounds"),  # only its start is fixed
     (np.zeros((3, 0), np.uint32), True, "assertion failed: index < dim")]
    + [(np.zeros(shape, np.uint32), True,
        f"argument 'edges': dimensionality mismatch:\n from={len(shape)}, to=2")
       for shape in [(), (4,), (2, 2, 2)]]
    + [(GOOD_EDGES.astype(dtype), True,
        f"argument 'edges': type mismatch:\n from={np.dtype(dtype)}, to=uint32")
       for dtype in [np.int32, np.uint64, np.float32, np.dtype(">u4")]]
    + [(edges, True,
        f"argument 'edges': '{type(edges).__qualname__}' object cannot be converted to "
        "'PyArray<T, D>'")
       for edges in [GOOD_EDGES.tolist(), memoryview(GOOD_EDGES), None]]
    + [(GOOD_EDGES, directed,
        f"argument 'directed': '{type(directed).__qualname__}' object cannot be converted to "
        "'PyBool'")
       for directed in [1, np.bool_(True), None]]
)


@pytest.mark.parametrize("edges, directed, expected", CASES)
def test_edge_cases_and_refusals(native, edges, directed, expected):
    for call in (lambda: native.csr_from_edges(edges, directed),
                 lambda: native.csr_from_edges(directed=directed, edges=edges)):
        if isinstance(expected, int):
            assert call().num_nodes() == expected
            continue
        with pytest.raises(BaseException) as e:
            call()
        if expected.startswith("argument"):
            assert type(e.value) is TypeError and str(e.value) == expected
        else:
            assert panic_of(e).startswith(expected)
