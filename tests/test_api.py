"""The Python API: Graph builders and Node2Vec."""

import sys
import warnings

import networkx as nx
import numpy as np
import pytest
import scipy.sparse as sp

import velmor
import velmor.model
from conftest import KARATE, KARATE_FILE, KARATE_WEIGHTS, run_python

SMALL = dict(dimensions=16, walk_length=20, num_walks=5, window_size=5, workers=1, progress=False)


def fit(graph, options=None, **params):
    return velmor.Node2Vec(**{**SMALL, "seed": 3, **params}).fit(graph, **(options or {}))


def test_optional_packages_load_only_when_used():
    done = run_python("-c", "import sys, velmor; print(sorted({'scipy', 'networkx', 'tqdm', "
                      "'sklearn', 'pandas'} & set(sys.modules)))")
    assert (done.returncode, done.stdout.strip()) == (0, "[]"), done.stderr


def test_one_worker_and_a_seed_reproduce_exactly():
    first, other = fit(KARATE), fit(KARATE, seed=4)
    pairs, again = fit(KARATE, shared_negatives=False), fit(KARATE, shared_negatives=False)
    np.testing.assert_array_equal(pairs.embeddings_, again.embeddings_)
    assert not np.array_equal(first.embeddings_, other.embeddings_)
    assert not np.array_equal(first.embeddings_, pairs.embeddings_)
    assert first.embeddings_.ctypes.data % 64 == 0  # rows start on cache lines


def karate_in_networkx(weights=None):
    graph = nx.Graph()
    graph.add_nodes_from(range(34))
    weights = np.ones(len(KARATE)) if weights is None else weights
    graph.add_weighted_edges_from([(u, v, w) for (u, v), w in zip(KARATE.tolist(), weights)], "w")
    return graph


def symmetric(values):
    rows, cols = np.r_[KARATE[:, 0], KARATE[:, 1]], np.r_[KARATE[:, 1], KARATE[:, 0]]
    return sp.coo_matrix((np.r_[values, values], (rows, cols)), shape=(34, 34))


def frame(columns, **options):
    """A DataFrame and the options of fit that read it; skips the test without pandas."""
    return pytest.importorskip("pandas").DataFrame(columns), options


@pytest.mark.parametrize("make, weights", [
    (lambda path: (KARATE.tolist(), {}), None),
    (lambda path: (KARATE.astype(np.uint16), {}), None),
    (lambda path: (str(KARATE_FILE), {}), None),
    (lambda path: (KARATE_FILE, {}), None),
    (lambda path: (symmetric(np.ones(78)).tocsr(), {}), None),
    (lambda path: (karate_in_networkx(), {}), None),
    (lambda path: frame({"u": KARATE[:, 0], "v": KARATE[:, 1]}), None),
    (lambda path: (path, {"weighted": True}), KARATE_WEIGHTS),
    (lambda path: (symmetric(KARATE_WEIGHTS), {}), KARATE_WEIGHTS),
    (lambda path: (karate_in_networkx(KARATE_WEIGHTS), {"weight": "w"}), KARATE_WEIGHTS),
    (lambda path: frame({"w": KARATE_WEIGHTS, "to": KARATE[:, 1], "from": KARATE[:, 0], "t": 0},
                        source="from", target="to", weight="w"), KARATE_WEIGHTS),
    (lambda path: frame({"t": 0, "target": KARATE[:, 1], "source": KARATE[:, 0],
                         "weight": KARATE_WEIGHTS}), KARATE_WEIGHTS),  # NetworkX's column names
], ids=["list", "uint16", "str", "path", "scipy", "networkx", "frame", "w-file", "w-scipy",
        "w-networkx", "w-frame", "w-frame-by-networkx-names"])
def test_every_input_kind_trains_the_same_graph(tmp_path, make, weights):
    path = tmp_path / "weighted.txt"
    rows = zip(KARATE.tolist(), KARATE_WEIGHTS.tolist())
    path.write_text("".join(f"{u} {v} {w!r}\n" for (u, v), w in rows))
    expected = fit(velmor.Graph(KARATE, weights=weights)).embeddings_
    graph, options = make(path)
    np.testing.assert_array_equal(fit(graph, options).embeddings_, expected)
    if weights is not None:
        assert not np.array_equal(fit(KARATE).embeddings_, expected)


def weighted_frame(ends):
    return frame({"from": ends[:, 0], "to": ends[:, 1], "w": KARATE_WEIGHTS}, weight="w")


NAMES = np.char.add("n", KARATE.astype(str))


@pytest.mark.parametrize("ends, make", [
    (KARATE * 3 + 5, weighted_frame), (NAMES, weighted_frame),
    (NAMES, lambda ends: (ends.tolist(), {"weights": KARATE_WEIGHTS})),
], ids=["frame-sparse-ids", "frame-names", "list-of-names"])
def test_named_edges_embed_as_their_edge_list_file_does(tmp_path, ends, make):
    graph, options = make(ends)
    path = tmp_path / "edges.txt"
    rows = zip(ends.tolist(), KARATE_WEIGHTS.tolist())
    path.write_text("".join(f"{u} {v} {w!r}\n" for (u, v), w in rows))
    expected, model = fit(path, {"weighted": True}), fit(graph, options)
    assert model.wv.index_to_key == expected.wv.index_to_key
    np.testing.assert_array_equal(model.embeddings_, expected.embeddings_)


def test_communities_that_only_weights_show_are_found():
    # Two groups of 40, with as many edges between them as inside, the inside ones 20 times
    # heavier: walks that follow the weights stay in their group, unweighted ones do not.
    from sklearn.linear_model import LogisticRegression
    from sklearn.model_selection import cross_val_score

    rng = np.random.default_rng(5)
    group = np.repeat([0, 1], 40)
    inside = rng.integers(0, 40, size=(400, 2)) + 40 * rng.integers(0, 2, size=(400, 1))
    across = np.stack([rng.integers(0, 40, 400), rng.integers(40, 80, 400)], axis=1)
    edges = np.concatenate([inside, across])
    weights = np.r_[np.full(400, 20.0), np.ones(400)]

    def accuracy(graph):
        vectors = fit(graph, num_walks=10, walk_length=40).embeddings_
        return cross_val_score(LogisticRegression(max_iter=1000), vectors, group, cv=4).mean()

    assert accuracy(velmor.Graph(edges, weights=weights)) > 0.9
    assert accuracy(velmor.Graph(edges)) < 0.75


def test_scipy_direction_follows_symmetry():
    one_way = sp.csr_matrix(([1], ([0], [1])), shape=(3, 3))  # node 2 has no edges
    with pytest.warns(UserWarning, match="the matrix is not symmetric") as caught:
        graph = velmor.Graph.from_scipy(one_way)
    assert len(caught) == 1 and graph.directed and not graph.has_edge(1, 0)
    with pytest.warns(UserWarning, match="the matrix is not symmetric") as caught:
        fit(one_way)
    asymmetric = [notice for notice in caught if "not symmetric" in str(notice.message)]
    assert [notice.filename for notice in asymmetric] == [__file__]  # the caller's line, not ours
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        graph = velmor.Graph.from_scipy(one_way + one_way.T)
    assert not graph.directed and graph.has_edge(1, 0) and graph.num_nodes == 3


@pytest.mark.parametrize("make, error, fragment", [
    (lambda: velmor.Graph([[0, -1]]), ValueError, "negative"),
    (lambda: velmor.Graph([[0, 1, 2]]), ValueError, "weights"),
    (lambda: velmor.Graph([[0.0, 1.0]]), TypeError, "integer"),
    (lambda: velmor.Graph(np.zeros((0, 2), int)), ValueError, "no edges"),
    (lambda: velmor.Graph([[0, 2**31]]), ValueError, "relabel"),
    (lambda: velmor.Graph([[0, 1]], names=["a", "a"]), ValueError, "distinct"),
    (lambda: velmor.Graph([[0, 3]], names=["a", "b"]), ValueError, "refer to node 3"),
    (lambda: velmor.Graph([[0, 1], [1, 2]], weights=[1.0, -2]), ValueError,
     r"weights\[1\] is -2\.0"),
    (lambda: velmor.Graph([[0, 1]], weights=[1, 2]), ValueError, r"shape \(1,\)"),
    (lambda: velmor.Graph([[0, 1]], weights=["heavy"]), TypeError, "numbers"),
    (lambda: velmor.Graph.from_scipy(sp.csr_matrix([[0, 2.5], [1, 0]]), directed=False), ValueError,
     r"entries \(0, 1\) and \(1, 0\) differ"),
    (lambda: velmor.Graph.from_scipy(sp.csr_matrix((2, 3))), ValueError, "square"),
    (lambda: velmor.Graph.from_networkx(nx.Graph([(0, 1, {"weight": "x"})])), TypeError,
     "not a number"),
    (lambda: velmor.Graph.from_networkx(nx.Graph([(0, 1, {"weight": None})])), TypeError,
     r"edge \(0, 1\) has weight=None, not a number; .* pass weight=None"),
    (lambda: velmor.Graph.from_networkx(nx.Graph([("a", "b", {"w": -2})]), weight="w"),
     ValueError, r"edge \('a', 'b'\) has w=-2\.0; edge weights must be"),
    (lambda: velmor.Graph.from_scipy(sp.csr_matrix([[0, 1], [-1.5, 0]]), directed=True),
     ValueError,
     r"entry \(1, 0\) is -1\.5"),
    (lambda: velmor.Node2Vec().fit(nx.DiGraph([(0, 1)]), directed=False), ValueError, "directed"),
    (lambda: velmor.Node2Vec().fit({"edges": 1}), TypeError, "NetworkX"),
    (lambda: velmor.Node2Vec().fit(KARATE_FILE, weight="w"), TypeError,
     "weight= does not apply to an edge-list file, which takes directed=, weighted="),
    (lambda: velmor.Node2Vec().fit(nx.Graph([(0, 1)]), weighted=True), TypeError,
     "weighted= does not apply to a NetworkX graph, which takes directed=, weight="),
    (lambda: velmor.Graph(frame({"u": [1], "v": [2], "t": [0]})[0]), ValueError,
     r"columns \['u', 'v', 't'\]; name the edge's ends with source= and target="),
    (lambda: velmor.Graph(frame({"u": ["a", "b"], "v": ["b", None]})[0]), ValueError,
     r"row 1 of the DataFrame has no target \(column 'v' is missing\)"),
    (lambda: velmor.Graph(frame({"u": [1.0], "v": [2.0]})[0]), TypeError, "astype"),
    (lambda: velmor.Node2Vec().set_params(iterations=3), ValueError, "no parameter"),
    (lambda: velmor.Node2Vec().save("never-written.emb"), ValueError, "not fitted"),
])
def test_bad_graphs_and_misuse_are_refused(make, error, fragment):
    with pytest.raises(error, match=fragment):
        make()


@pytest.mark.parametrize("params, threads, error, fragment", [
    *[({param: value}, None, error, param) for param, value, error in [
        ("dimensions", 0, ValueError), ("dimensions", 8.0, TypeError), ("seed", -5, ValueError),
        ("num_walks", True, TypeError), ("p", 1e-300, ValueError), ("q", float("nan"), ValueError),
        ("q", "1", TypeError), ("negative", 0, ValueError), ("ns_exponent", -0.5, ValueError),
        ("min_alpha", 0.5, ValueError), ("workers", 100000, ValueError),
        ("progress", "yes", TypeError)]],
    *[({}, value, ValueError, f"VELMOR_NUM_THREADS must be .* got '{value}'")
      for value in ["100000", "abc", "-2", "3_0"]],
])
def test_bad_parameters_fail_before_any_work(monkeypatch, params, threads, error, fragment):
    if threads is not None:
        monkeypatch.setenv("VELMOR_NUM_THREADS", threads)
    monkeypatch.setattr(velmor.model, "as_graph", pytest.fail)  # the graph must not be touched
    with pytest.raises(error, match=fragment):
        velmor.Node2Vec(**params).fit(KARATE)


# Passes (epochs) walk afresh: four rounds either way, the rate falling over all of them.
@pytest.mark.parametrize("num_walks, epochs", [(4, 1), (2, 2)])
def test_learning_rate_falls_linearly_and_an_interrupt_leaves_the_model_alone(monkeypatch,
                                                                             num_walks, epochs):
    calls = []

    def epoch(*, params, embeddings, next_random, **_):
        calls.append((params.start_alpha, params.end_alpha, params.batch_size, next_random))
        if len(calls) == 7:
            raise KeyboardInterrupt
        embeddings += 1

    monkeypatch.setattr(velmor.model, "train_epoch", epoch)
    model = fit(KARATE, num_walks=num_walks, epochs=epochs, alpha=0.5, min_alpha=0.1)
    starts, ends, batches, seeds = zip(*calls)
    np.testing.assert_allclose(starts, [0.5, 0.4, 0.3, 0.2])
    np.testing.assert_allclose(ends, [0.4, 0.3, 0.2, 0.1])
    assert set(batches) == {1} and len(set(seeds)) == 4  # 34 nodes: one start node per unit
    before = model.embeddings_.copy()
    with pytest.raises(KeyboardInterrupt):
        model.fit(KARATE)
    np.testing.assert_array_equal(model.embeddings_, before)


@pytest.mark.parametrize("given, expected", [({}, True), (dict(shared_negatives=None), True),
                                             (dict(shared_negatives=False), False)])
def test_negatives_are_shared_unless_asked_not_to(monkeypatch, given, expected):
    seen = []
    monkeypatch.setattr(velmor.model, "train_epoch",
                        lambda *, shared_negatives, **_: seen.append(shared_negatives))
    fit(KARATE, num_walks=1, **given)
    assert seen == [expected]


def test_scikit_learn_conventions(monkeypatch):
    from sklearn.exceptions import NotFittedError
    from sklearn.utils.validation import check_is_fitted

    model = velmor.Node2Vec(**SMALL, seed=3)
    for use in (check_is_fitted, lambda m: m.transform(KARATE)):
        with pytest.raises(NotFittedError, match="not fitted"):
            use(model)
    monkeypatch.setitem(sys.modules, "sklearn.exceptions", None)  # as if not installed
    with pytest.raises((ValueError, AttributeError), match="call fit before transform") as caught:
        model.transform(KARATE)
    assert isinstance(caught.value, ValueError) and isinstance(caught.value, AttributeError)
    monkeypatch.undo()
    embedding = model.fit_transform(KARATE, np.zeros(34))  # pipelines pass their targets on
    check_is_fitted(model)
    np.testing.assert_array_equal(embedding, fit(KARATE).embeddings_)
    np.testing.assert_array_equal(model.transform(nx.Graph([(33, 0)])), embedding[[33, 0]])
    with pytest.raises(ValueError, match="node 34 is not in the graph this model was fitted on"):
        model.transform([[0, 34]])


def test_old_names_clone_and_keyed_vectors():
    from sklearn.base import clone

    with pytest.warns(DeprecationWarning, match="use num_walks=..."):
        assert velmor.Node2Vec(walks_per_node=3).num_walks == 3
    with pytest.warns(DeprecationWarning, match="use window_size=..."):
        assert velmor.Node2Vec().set_params(window=5).window_size == 5
    model = velmor.Node2Vec(dimensions=8, p=0.5)
    copy = clone(model)
    assert copy.get_params() == model.get_params() and repr(copy) == "Node2Vec(dimensions=8, p=0.5)"
    graph = nx.Graph([("x", "y"), ("y", "z")])
    graph.add_node("lonely")
    with pytest.warns(velmor.Node2VecWarning, match="^1 of 4 nodes have no edges, so no walk "
                                                    "reaches them") as noted:
        model = fit(graph)
    assert len(noted) == 1 and noted[0].filename == __file__
    assert model.wv.index_to_key == ["x", "y", "z", "lonely"] and model.embeddings_.shape == (4, 16)
    for keys in (["lonely", "x"], np.array(["lonely", "x"])):
        np.testing.assert_array_equal(model.wv[keys], model.embeddings_[[3, 0]])
