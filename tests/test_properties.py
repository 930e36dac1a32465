"""Property tests: argument binding of every entry against a model of the binding rules,
csr_from_edges against a NumPy/SciPy model over random shapes, dtypes and memory layouts, and
has_edge against a set of arcs."""

import sys

import numpy as np
import pytest
import scipy.sparse
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from conftest import panic_of

SETTINGS = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])


# ---------------------------------------------------------------------------------------------
# Argument binding


class Counted:
    """An argument that converts through __index__ / __float__ and counts the conversions."""

    conversions = 0

    def __init__(self, value):
        self.value = value

    def __index__(self):
        Counted.conversions += 1
        return int(self.value)

    def __float__(self):
        Counted.conversions += 1
        return float(self.value)


class Entry:
    """One entry point: its parameters, a source of valid arguments and how to call it."""

    def __init__(self, full_name, positional, keyword_only, valid, call, check, first_failure):
        self.full_name = full_name
        self.positional = positional
        self.keyword_only = keyword_only
        self.valid = valid  # () -> {name: a fresh valid value}
        self.call = call  # (args, kwargs) -> result
        self.check = check  # (result, values): checks a call that bound valid values only
        self.first_failure = first_failure  # the TypeError once every value bound is object()

    @property
    def names(self):
        return self.positional + self.keyword_only


PARAM_VALUES = dict(p=0.5, q=2.0, start_alpha=0.025, end_alpha=0.0001, window=3, batch_size=2,
                    max_walk_length=6, num_negative=2, workers=1)


def _entries(native):
    graph = native.csr_from_edges(np.array([[0, 1], [1, 2]], np.uint32), False)
    params = native.Node2VecParams(**PARAM_VALUES)

    def params_valid():
        return {k: Counted(v) if k != "workers" else None for k, v in PARAM_VALUES.items()}

    def check_params(result, values):
        assert type(result) is native.Node2VecParams
        for k, v in PARAM_VALUES.items():
            assert getattr(result, k) == (None if k == "workers" else v)

    def train_valid():
        return dict(graph=graph, params=params, embeddings=np.full((3, 4), 0.1, np.float32),
                    hidden_layer=np.full((3, 4), 0.2, np.float32), next_random=Counted(7))

    def check_train(result, values):
        assert result is None
        assert not np.array_equal(values["embeddings"], np.full((3, 4), 0.1, np.float32))

    def check_graph(result, values):
        assert type(result) is native.CSRGraph and result.num_nodes() == 3

    return {
        "csr_from_edges": Entry(
            "csr_from_edges()", ["edges", "directed"], [],
            lambda: dict(edges=np.array([[0, 1], [1, 2]], np.uint32), directed=True),
            lambda args, kwargs: native.csr_from_edges(*args, **kwargs), check_graph,
            "argument 'edges': 'object' object cannot be converted to 'PyArray<T, D>'"),
        "train_node2vec_epoch": Entry(
            "train_node2vec_epoch()", [], ["graph", "params", "embeddings", "hidden_layer", "next_random"],
            train_valid, lambda args, kwargs: native.train_node2vec_epoch(*args, **kwargs), check_train,
            "argument 'graph': 'object' object cannot be converted to 'CSRGraph'"),
        "Node2VecParams": Entry(
            "Node2VecParams.__new__()", [], list(PARAM_VALUES), params_valid,
            lambda args, kwargs: native.Node2VecParams(*args, **kwargs), check_params,
            "argument 'p': must be real number, not object"),
        "CSRGraph.has_edge": Entry(
            "CSRGraph.has_edge()", ["src", "dst"], [], lambda: dict(src=Counted(0), dst=Counted(1)),
            lambda args, kwargs: graph.has_edge(*args, **kwargs),
            lambda result, values: result is True or pytest.fail("has_edge(0, 1) is not True"),
            "argument 'src': 'object' object cannot be interpreted as an integer"),
    }


def _quoted(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return f"{quoted[0]} and {quoted[1]}"
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def binding_model(entry, n_args, keys):
    """The TypeError message with which binding fails, or None when every parameter is bound."""
    full, positional, keyword_only = entry.full_name, entry.positional, entry.keyword_only
    bound = set(positional[:n_args])
    if n_args > len(positional):
        verb = "was" if n_args == 1 else "were"
        return f"{full} takes {len(positional)} positional arguments but {n_args} {verb} given"
    for key in keys:
        if key in keyword_only:
            bound.add(key)
        elif key in positional:
            if key in bound:
                return f"{full} got multiple values for argument '{key}'"
            bound.add(key)
        else:
            return f"{full} got an unexpected keyword argument '{key}'"
    for kind, names in (("positional", positional), ("keyword", keyword_only)):
        missing = [n for n in names if n not in bound]
        if missing and (kind == "keyword" or n_args < len(positional)):
            noun = "argument" if len(missing) == 1 else "arguments"
            return f"{full} missing {len(missing)} required {kind} {noun}: {_quoted(missing)}"
    return None


# Names no entry has, names of other entries, near misses and non-ASCII.
STRANGERS = ["extra", "graph", "edges", "src", "Edges", "src ", "p_", "größe", "ключ", "_"]

ENTRY_NAMES = ["csr_from_edges", "train_node2vec_epoch", "Node2VecParams", "CSRGraph.has_edge"]


@st.composite
def binding_calls(draw, entry):
    """A mix of positional and keyword arguments, mostly near a complete binding."""
    names = entry.names
    if draw(st.booleans()):
        # Start from a complete binding, then disturb it.
        n_args = draw(st.integers(0, len(entry.positional)))
        keys = list(draw(st.permutations(names[n_args:])))
        if keys and draw(st.booleans()):
            keys = [k for k in keys if k not in draw(st.sets(st.sampled_from(keys), max_size=3))]
        for extra in draw(st.lists(st.sampled_from(STRANGERS + entry.positional[:n_args]),
                                   unique=True, max_size=2)):
            if extra not in keys:
                keys.insert(draw(st.integers(0, len(keys))), extra)
        if n_args == len(entry.positional):
            n_args += draw(st.sampled_from([0, 0, 0, 1, 2]))
    else:
        n_args = draw(st.integers(0, len(entry.positional) + 2))
        keys = draw(st.lists(st.sampled_from(names + STRANGERS), unique=True, max_size=len(names) + 2))
    return n_args, keys, draw(st.booleans())


def outcome(call):
    """("ok", result) or (exception type, message); keeps no traceback alive."""
    try:
        return "ok", call()
    except BaseException as exc:  # noqa: B036 - PanicException is a BaseException
        return type(exc), str(exc)


@pytest.mark.parametrize("entry_name", ENTRY_NAMES)
@SETTINGS
@given(data=st.data())
def test_binding_matches_the_model(native, entry_name, data):
    entry = _entries(native)[entry_name]
    n_args, keys, all_valid = data.draw(binding_calls(entry))
    valid = entry.valid()
    tracked = [v for v in valid.values() if v is not None and type(v) is not bool]  # not shared ones
    refs = [sys.getrefcount(v) for v in tracked]
    junk = object()

    def value(name):
        return valid[name] if all_valid and name in valid else junk

    args = [value(entry.positional[i]) if i < len(entry.positional) else junk for i in range(n_args)]
    kwargs = {k: value(k) for k in keys}
    expected = binding_model(entry, n_args, keys)
    before = Counted.conversions
    kind, result = outcome(lambda: entry.call(args, kwargs))
    event("bound" if expected is None else expected.split("() ")[1].split(" ")[0])
    if expected is not None:
        assert (kind, result) == (TypeError, expected)
        assert Counted.conversions == before  # binding fails before anything is converted
    elif all_valid:
        assert kind == "ok", result
        entry.check(result, valid)
    else:
        assert (kind, result) == (TypeError, entry.first_failure)
    del args, kwargs, result
    assert [sys.getrefcount(v) for v in tracked] == refs


def test_binding_model_agrees_with_the_documented_examples(native):
    entries = _entries(native)
    csr, train = entries["csr_from_edges"], entries["train_node2vec_epoch"]
    assert binding_model(train, 2, []) == "train_node2vec_epoch() takes 0 positional arguments but 2 were given"
    assert binding_model(csr, 1, ["edges"]) == "csr_from_edges() got multiple values for argument 'edges'"
    assert binding_model(csr, 1, []) == "csr_from_edges() missing 1 required positional argument: 'directed'"
    assert binding_model(csr, 0, ["bogus"]) == "csr_from_edges() got an unexpected keyword argument 'bogus'"
    assert binding_model(entries["Node2VecParams"], 0, ["p", "q"]).endswith(
        "'max_walk_length', 'num_negative', and 'workers'")


# ---------------------------------------------------------------------------------------------
# csr_from_edges against a model

U32_MAX = 2**32 - 1


class Sub(np.ndarray):
    pass


def _unaligned(values):
    raw = np.zeros(values.size * 4 + 1, np.uint8)[1:]
    out = raw.view(np.uint32).reshape(values.shape)
    out[...] = values
    return out


LAYOUTS = {
    "c": lambda v: np.ascontiguousarray(v),
    "fortran": lambda v: np.asfortranarray(v),
    "transposed": lambda v: np.ascontiguousarray(v.T).T,
    "reversed-rows": lambda v: np.ascontiguousarray(v[::-1])[::-1],
    "reversed-both": lambda v: np.ascontiguousarray(v[::-1, ::-1])[::-1, ::-1],
    "every-third": lambda v: _every_third(v),
    "unaligned": _unaligned,
    "subclass": lambda v: v.copy().view(Sub),
    "read-only": lambda v: _read_only(v),
}


def _every_third(values):
    big = np.full((values.shape[0] * 3 + 1, values.shape[1] * 2 + 3), 7777, np.uint32)
    view = big[1::3, 3::2]
    view[...] = values
    return view


def _read_only(values):
    out = values.copy()
    out.flags.writeable = False
    return out


def _broadcast(row, rows):
    return np.broadcast_to(row, (rows, row.shape[0]))  # a row stride of zero


EQUIVALENT_DTYPES = [np.dtype(np.uint32), np.dtype("=u4"), np.dtype("<u4"), np.dtype("I"), np.dtype(np.uintc)]
OTHER_DTYPES = [np.int32, np.int64, np.uint64, np.uint16, np.uint8, np.float32, np.float64, np.bool_,
                np.dtype(">u4")]


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
        array = _broadcast(values[0].copy(), rows)
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
    n = (int(values.max()) + 1) % 2**32 if values.size else 0
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


def adjacency(graph, n):
    return np.array([[graph.has_edge(s, d) for d in range(n)] for s in range(n)], bool).reshape(n, n)


@SETTINGS
@given(case=edge_arrays(), directed=st.booleans(), keyword=st.booleans())
def test_csr_from_edges_matches_the_model(native, case, directed, keyword):
    values, array = case
    before_bytes = np.array(array).tobytes()
    refs = sys.getrefcount(array)
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
        assert np.array_equal(adjacency(g, n), dense)
        for src in (n, n + 1, n + 7):
            with pytest.raises(BaseException) as e:
                g.has_edge(src, 0)
            assert panic_of(e) == f"index out of bounds: the len is {n + 1} but the index is {max(src, n + 1)}"
        if n:
            assert not g.has_edge(0, n) and not g.has_edge(n - 1, U32_MAX)
    assert np.array(array).tobytes() == before_bytes
    assert sys.getrefcount(array) == refs


GOOD_EDGES = np.array([[0, 1], [1, 2]], np.uint32)
REFUSALS = (
    [pytest.param(np.zeros(shape, np.uint32), True,
                  f"argument 'edges': dimensionality mismatch:\n from={len(shape)}, to=2", id=f"ndim-{len(shape)}")
     for shape in [(), (4,), (0,), (2, 2, 2), (1, 1, 1, 1)]]
    + [pytest.param(GOOD_EDGES.astype(dtype), True,
                    f"argument 'edges': type mismatch:\n from={np.dtype(dtype)}, to=uint32", id=f"dtype-{np.dtype(dtype)}")
       for dtype in OTHER_DTYPES]
    + [pytest.param(edges, True,
                    f"argument 'edges': '{type(edges).__qualname__}' object cannot be converted to 'PyArray<T, D>'",
                    id=f"edges-{type(edges).__qualname__}")
       for edges in [GOOD_EDGES.tolist(), tuple(map(tuple, GOOD_EDGES.tolist())), memoryview(GOOD_EDGES), 5, None]]
    + [pytest.param(GOOD_EDGES, directed,
                    f"argument 'directed': '{type(directed).__qualname__}' object cannot be converted to 'PyBool'",
                    id=f"directed-{type(directed).__qualname__}")
       for directed in [1, 0, np.bool_(True), None, "True"]]
)


@pytest.mark.parametrize("edges, directed, message", REFUSALS)
def test_csr_from_edges_refusals(native, edges, directed, message):
    shared = edges is None or type(edges) is int  # such objects' counts move on their own
    refs = sys.getrefcount(edges)
    for call in (lambda: native.csr_from_edges(edges, directed),
                 lambda: native.csr_from_edges(directed=directed, edges=edges)):
        with pytest.raises(TypeError) as e:
            call()
        assert type(e.value) is TypeError and str(e.value) == message
    del e
    assert shared or sys.getrefcount(edges) == refs
    assert native.csr_from_edges(GOOD_EDGES, True).num_nodes() == 3  # nothing held on to


# ---------------------------------------------------------------------------------------------
# has_edge against a set of arcs


@st.composite
def graphs_and_queries(draw):
    n = draw(st.integers(1, 300))
    ids = st.integers(0, n - 1)
    arcs = draw(st.lists(st.tuples(ids, ids), min_size=1, max_size=400))
    hub = draw(st.integers(0, n - 1))
    # A long row takes the sort for long rows rather than the insertion sort.
    arcs += [(hub, draw(ids)) for _ in range(draw(st.sampled_from([0, 30, 120])))]
    arcs.append((n - 1, n - 1))
    queries = draw(st.lists(st.tuples(st.integers(0, n + 2), st.one_of(ids, st.integers(n, 2**32 - 1))),
                            max_size=300))
    queries += [(s, d) for s, d in arcs[:50]]
    return n, arcs, queries


@SETTINGS
@given(case=graphs_and_queries(), directed=st.booleans(),
       convert=st.sampled_from([int, np.int64, np.uint32, Counted]))
def test_has_edge_matches_a_set_of_arcs(native, case, directed, convert):
    n, arcs, queries = case
    g = native.csr_from_edges(np.array(arcs, np.uint32), directed)
    assert g.num_nodes() == n
    expected = set(arcs) | (set() if directed else {(d, s) for s, d in arcs})
    for s, d in queries:
        if s >= n:
            with pytest.raises(BaseException) as e:
                g.has_edge(convert(s), d)
            assert panic_of(e) == f"index out of bounds: the len is {n + 1} but the index is {max(s, n + 1)}"
        else:
            assert g.has_edge(convert(s), convert(d)) == ((s, d) in expected)
