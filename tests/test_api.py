"""The Python API: Graph builders, Node2Vec and KeyedVectors."""

import warnings
from pathlib import Path

import networkx as nx
import numpy as np
import pytest
import scipy.sparse as sp

import velmor
import velmor.model
from conftest import run_python
from velmor._matrix import zeroed_matrix

DATA = Path(__file__).resolve().parent.parent / "data" / "karate"
KARATE = np.loadtxt(DATA / "edges.tsv", dtype=np.int64)
SMALL = dict(dimensions=16, walk_length=20, num_walks=5, window_size=5, workers=1, progress=False)


def fit(graph, **params):
    return velmor.Node2Vec(**{**SMALL, "seed": 3, **params}).fit(graph)


def test_optional_packages_load_only_when_used():
    done = run_python("-c", "import sys, velmor; "
                      "print(sorted({'scipy', 'networkx', 'tqdm', 'sklearn'} & set(sys.modules)))")
    assert (done.returncode, done.stdout.strip()) == (0, "[]"), done.stderr


def test_karate_clubs_are_separable():
    from sklearn.linear_model import LogisticRegression
    from sklearn.model_selection import StratifiedKFold, cross_val_score

    labels = np.loadtxt(DATA / "labels.tsv", dtype=np.int64)
    clubs = labels[np.argsort(labels[:, 0]), 1]
    model = fit(str(DATA / "edges.tsv"), num_walks=10)
    folds = StratifiedKFold(5, shuffle=True, random_state=0)
    accuracy = cross_val_score(LogisticRegression(max_iter=1000), model.embeddings_, clubs,
                               cv=folds)
    # The two clubs are 16 and 18 nodes: chance is about 0.5, the untrained vectors score 0.47.
    assert accuracy.mean() >= 0.85


def test_one_worker_and_a_seed_reproduce_exactly():
    first, second, other = fit(KARATE), fit(KARATE), fit(KARATE, seed=4)
    np.testing.assert_array_equal(first.embeddings_, second.embeddings_)
    assert not np.array_equal(first.embeddings_, other.embeddings_)


@pytest.mark.parametrize("rows, cols, alignment", [
    (34, 16, 64), (0, 16, 1), (8192, 128, 2 << 20), (3, 5, 64)])  # no address to align when empty
def test_training_matrices_are_aligned_zeros(rows, cols, alignment):
    matrix = zeroed_matrix(rows, cols)
    assert matrix.shape == (rows, cols) and matrix.dtype == np.float32
    assert matrix.flags.c_contiguous and matrix.flags.writeable
    assert matrix.ctypes.data % alignment == 0 and not matrix.any()


def test_embeddings_start_on_a_cache_line():
    assert fit(KARATE).embeddings_.ctypes.data % 64 == 0


def karate_in_networkx(weights=None):
    graph = nx.Graph()
    graph.add_nodes_from(range(34))
    if weights is None:
        graph.add_edges_from(KARATE.tolist())
    else:
        graph.add_weighted_edges_from([(u, v, w) for (u, v), w in zip(KARATE.tolist(), weights)],
                                      weight="w")
    return graph


@pytest.mark.parametrize("make", [
    lambda: KARATE,
    lambda: KARATE.tolist(),
    lambda: KARATE.astype(np.uint16),
    lambda: str(DATA / "edges.tsv"),
    lambda: DATA / "edges.tsv",
    lambda: sp.coo_matrix((np.ones(78), (KARATE[:, 0], KARATE[:, 1])), shape=(34, 34)).tocsr()
    + sp.coo_matrix((np.ones(78), (KARATE[:, 1], KARATE[:, 0])), shape=(34, 34)).tocsr(),
    karate_in_networkx,
], ids=["array", "list", "uint16", "str", "path", "scipy", "networkx"])
def test_every_input_kind_trains_the_same_graph(make):
    expected = fit(velmor.Graph(KARATE)).embeddings_
    np.testing.assert_array_equal(fit(make()).embeddings_, expected)


WEIGHTS = np.linspace(0.5, 8.0, len(KARATE))


@pytest.mark.parametrize("make", [
    lambda path: velmor.read_edgelist(path, weighted=True),
    lambda path: sp.coo_matrix((np.r_[WEIGHTS, WEIGHTS], (np.r_[KARATE[:, 0], KARATE[:, 1]],
                                                         np.r_[KARATE[:, 1], KARATE[:, 0]]))),
    lambda path: velmor.Graph.from_networkx(karate_in_networkx(WEIGHTS), weight="w"),
], ids=["file", "scipy", "networkx"])
def test_every_input_kind_keeps_the_weights_with_their_edges(tmp_path, make):
    path = tmp_path / "weighted.txt"
    path.write_text("".join(f"{u} {v} {w!r}\n"
                            for (u, v), w in zip(KARATE.tolist(), WEIGHTS.tolist())))
    graph = make(path)
    expected = fit(velmor.Graph(KARATE, weights=WEIGHTS)).embeddings_
    np.testing.assert_array_equal(fit(graph).embeddings_, expected)
    assert not np.array_equal(fit(KARATE).embeddings_, expected)


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


def test_isolated_nodes_keep_their_rows():
    graph = nx.Graph([("a", "b")])
    graph.add_node("lonely")
    model = fit(graph)
    assert model.wv.index_to_key == ["a", "b", "lonely"] and model.embeddings_.shape == (3, 16)
    matrix = sp.csr_matrix(([1, 1], ([0, 1], [1, 0])), shape=(4, 4))
    assert velmor.Graph.from_scipy(matrix).num_nodes == 4


@pytest.mark.parametrize("matrix, directed", [
    (sp.csr_matrix(([1, 1], ([0, 1], [1, 0])), shape=(2, 2)), False),
    (sp.csr_matrix(([1], ([0], [1])), shape=(2, 2)), True),
])
def test_scipy_direction_follows_symmetry(matrix, directed):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        graph = velmor.Graph.from_scipy(matrix)
    assert [str(w.message).split(",")[0] for w in caught] == \
        ["the matrix is not symmetric"] * directed
    assert graph.directed is directed and graph.has_edge(0, 1)
    assert graph.has_edge(1, 0) is not directed


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
    (lambda: velmor.Graph([[0, 1]], weights=[np.nan]), ValueError, "finite and greater than 0"),
    (lambda: velmor.Graph([[0, 1]], weights=[1, 2]), ValueError, r"shape \(1,\)"),
    (lambda: velmor.Graph([[0, 1]], weights=["heavy"]), TypeError, "numbers"),
    (lambda: velmor.Graph.from_scipy(sp.csr_matrix([[0, 2.5], [1, 0]]), directed=False), ValueError,
     r"entries \(0, 1\) and \(1, 0\) differ"),
    (lambda: velmor.Graph.from_scipy(sp.csr_matrix([[0, -1.0], [0, 0]]), directed=True), ValueError,
     "greater than 0"),
    (lambda: velmor.Graph.from_scipy(sp.csr_matrix((2, 3))), ValueError, "square"),
    (lambda: velmor.Graph.from_networkx(nx.Graph([(0, 1, {"weight": "x"})])), TypeError,
     "not a number"),
    (lambda: velmor.Node2Vec().fit(nx.DiGraph([(0, 1)]), directed=False), ValueError, "directed"),
    (lambda: velmor.Node2Vec().fit({"edges": 1}), TypeError, "NetworkX"),
])
def test_bad_graphs_are_refused(make, error, fragment):
    with pytest.raises(error, match=fragment):
        make()


@pytest.mark.parametrize("param, value, error", [
    ("dimensions", 0, ValueError), ("dimensions", 8.0, TypeError), ("walk_length", 0, ValueError),
    ("num_walks", True, TypeError), ("window_size", 0, ValueError), ("p", 0.0, ValueError),
    ("p", 1e-300, ValueError), ("q", 1e39, ValueError),
    ("q", float("nan"), ValueError), ("q", "1", TypeError), ("negative", 0, ValueError),
    ("ns_exponent", -0.5, ValueError), ("ns_exponent", float("nan"), ValueError),
    ("alpha", 0, ValueError), ("min_alpha", 0.5, ValueError), ("batch_size", 0, ValueError),
    ("workers", -1, ValueError), ("workers", 100000, ValueError), ("seed", -5, ValueError),
    ("progress", "yes", TypeError),
])
def test_bad_parameters_fail_before_any_work(monkeypatch, param, value, error):
    monkeypatch.setattr(velmor.model, "as_graph", pytest.fail)  # the graph must not be touched
    with pytest.raises(error, match=param):
        velmor.Node2Vec(**{param: value}).fit(KARATE)


@pytest.mark.parametrize("value", ["100000", "abc", "-2", "3_0"])
def test_a_bad_thread_count_variable_fails_before_any_work(monkeypatch, value):
    monkeypatch.setenv("VELMOR_NUM_THREADS", value)
    monkeypatch.setattr(velmor.model, "as_graph", pytest.fail)
    with pytest.raises(ValueError, match=f"VELMOR_NUM_THREADS must be .* got '{value}'"):
        velmor.Node2Vec().fit(KARATE)


class Recorder:
    """Stands in for the native epoch: records each call and may raise at one of them."""

    def __init__(self, interrupt_at=None):
        self.calls, self.interrupt_at = [], interrupt_at

    def __call__(self, *, graph, params, embeddings, hidden_layer, next_random, ns_exponent,
                 noise_counts, visits, progress):
        self.calls.append((params.start_alpha, params.end_alpha, params.batch_size, next_random))
        if len(self.calls) == self.interrupt_at:
            raise KeyboardInterrupt
        embeddings += 1


def test_learning_rate_falls_linearly_across_epochs(monkeypatch):
    recorder = Recorder()
    monkeypatch.setattr(velmor.model, "train_epoch", recorder)
    fit(KARATE, num_walks=4, alpha=0.5, min_alpha=0.1)
    starts, ends, batches, seeds = zip(*recorder.calls)
    np.testing.assert_allclose(starts, [0.5, 0.4, 0.3, 0.2])
    np.testing.assert_allclose(ends, [0.4, 0.3, 0.2, 0.1])
    assert set(batches) == {1} and len(set(seeds)) == 4  # 34 nodes: one start node per unit


def test_interrupt_reaches_the_caller_and_leaves_the_model_alone(monkeypatch):
    model = fit(KARATE)
    before = model.embeddings_.copy()
    monkeypatch.setattr(velmor.model, "train_epoch", Recorder(interrupt_at=3))
    with pytest.raises(KeyboardInterrupt):
        model.fit(KARATE)
    np.testing.assert_array_equal(model.embeddings_, before)


def test_matrices_larger_than_memory_fail_before_any_work(monkeypatch):
    monkeypatch.setattr(velmor.model, "count_visits", pytest.fail)
    with pytest.raises(MemoryError, match=r"34 nodes at dimensions=2000000000 need 506\.6 GiB"):
        velmor.Node2Vec(dimensions=2 * 10**9).fit(KARATE)


def test_old_parameter_names_still_work():
    with pytest.warns(DeprecationWarning) as caught:
        model = velmor.Node2Vec(walks_per_node=3, window=4)
    assert sorted(str(w.message).split("; ")[1] for w in caught) == ["use num_walks=...",
                                                                      "use window_size=..."]
    assert (model.num_walks, model.window_size) == (3, 4) and "window" not in model.get_params()
    with pytest.raises(TypeError, match="'walks'"):
        velmor.Node2Vec(walks=3)


def test_keyed_vectors_follow_node_names(tmp_path):
    (tmp_path / "e.txt").write_text("x y\ny z\nz x\nz w\n")
    model = fit(tmp_path / "e.txt")
    wv = model.wv
    assert wv.index_to_key == ["x", "y", "z", "w"] and wv.key_to_index["w"] == 3
    np.testing.assert_array_equal(wv["z"], model.embeddings_[2])
    np.testing.assert_array_equal(wv[["w", "x"]], model.embeddings_[[3, 0]])
    with pytest.raises(KeyError, match="'v'"):
        wv["v"]


def test_most_similar_ranks_by_cosine():
    vectors = np.array([[1, 0], [0.9, 0.1], [0, 1], [-1, 0], [0, 0]], dtype=np.float32)
    kv = velmor.KeyedVectors(vectors, keys=list("abcde"))
    ranked = kv.most_similar("a", topn=10)
    assert [key for key, _ in ranked] == ["b", "c", "e", "d"]  # itself left out; zero row = 0
    np.testing.assert_allclose([s for _, s in ranked], [0.9 / np.hypot(0.9, 0.1), 0, 0, -1],
                               atol=1e-6)
    assert kv.most_similar(np.array([0, 2.0]), topn=1) == [("c", 1.0)]


def test_sklearn_clone_and_params():
    from sklearn.base import clone

    model = velmor.Node2Vec(dimensions=8, p=0.5)
    copy = clone(model)
    assert copy.get_params() == model.get_params() and repr(copy) == "Node2Vec(dimensions=8, p=0.5)"
    with pytest.raises(ValueError, match="no parameter"):
        model.set_params(iterations=3)


def test_save_writes_what_fit_learned(tmp_path):
    model = fit(KARATE)
    model.save(tmp_path / "k.npz")
    loaded = velmor.KeyedVectors.load(tmp_path / "k.npz")
    np.testing.assert_array_equal(loaded.vectors, model.embeddings_)
    with pytest.raises(ValueError, match="not fitted"):
        velmor.Node2Vec().save(tmp_path / "x.emb")
