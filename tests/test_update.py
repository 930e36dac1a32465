"""Saving a model whole and embedding the new nodes of a grown graph."""

import os

import numpy as np
import pytest

import velmor
from conftest import FAST, KARATE, run_cli
from velmor.model_file import FORMAT_VERSION

# Nodes 5, 16 and 30 held out, with every edge that touches them.
HELD = [5, 16, 30]
OLD_EDGES = KARATE[~np.isin(KARATE, HELD).any(axis=1)]
SETTINGS = dict(dimensions=16, walk_length=20, num_walks=4, window_size=4, seed=3, workers=1,
                progress=False)
NAMES = np.array([f"n{(7 * i) % 34}" for i in range(34)])  # a named graph, in another order


def grown_pair(named):
    """The old graph and the grown one; integer ids keep the held-out nodes in the old graph
    as nodes without edges (untrained), names leave them out."""
    if not named:
        return velmor.Graph(OLD_EDGES, num_nodes=34), velmor.Graph(KARATE)
    old_ids = np.unique(OLD_EDGES)
    index = np.searchsorted(old_ids, OLD_EDGES)
    old = velmor.Graph(index, names=NAMES[old_ids])
    return old, velmor.Graph(KARATE, names=NAMES)


@pytest.mark.parametrize("named", [False, True])
def test_a_frozen_update_keeps_every_old_row_and_trains_the_new_ones(named):
    old, grown = grown_pair(named)
    model = velmor.Node2Vec(**SETTINGS).fit(old)
    before = {key: (model.wv[key].copy(), model.hidden_layer_[i].copy())
              for i, key in enumerate(model.wv.index_to_key)}
    model.update(grown)
    held = {NAMES[i] if named else i for i in HELD}
    rows = model.wv.key_to_index
    for key, (vector, output) in before.items():
        moved = key in held  # an old node without edges counts as new
        assert np.array_equal(model.wv[key], vector) != moved, key
        assert np.array_equal(model.hidden_layer_[rows[key]], output) != moved, key
    # The held-out nodes land beside their neighbours: 5 and 16 share 6 as their only others.
    five, sixteen = (NAMES[5], NAMES[16]) if named else (5, 16)
    assert model.wv.similarity(five, sixteen) > np.median(
        [model.wv.similarity(five, key) for key in before])
    assert model.linked_.all() and len(model.wv) == 34


def test_an_unfrozen_update_moves_the_old_rows_too():
    old, grown = grown_pair(False)
    model = velmor.Node2Vec(**SETTINGS).fit(old)
    before = model.embeddings_.copy()
    model.update(grown, freeze_old=False)
    assert not np.array_equal(model.embeddings_[0], before[0])  # node 0 neighbours node 5


def test_a_saved_model_loads_back_whole_and_updates_as_the_original(tmp_path):
    old, grown = grown_pair(True)
    model = velmor.Node2Vec(**SETTINGS).fit(old)
    model.save(tmp_path / "m.npz")
    loaded = velmor.Node2Vec.load(tmp_path / "m.npz")
    assert loaded.get_params() == model.get_params()
    assert loaded.wv.most_similar(NAMES[0]) == model.wv.most_similar(NAMES[0])
    assert velmor.KeyedVectors.load(tmp_path / "m.npz").index_to_key == model.wv.index_to_key
    for updated in (model, loaded):
        updated.update(grown)
    for attribute in ("embeddings_", "hidden_layer_", "noise_counts_", "linked_"):
        assert np.array_equal(getattr(loaded, attribute), getattr(model, attribute)), attribute
    assert loaded.wv.index_to_key == model.wv.index_to_key


@pytest.mark.parametrize("damage, message", [
    (lambda path: path.write_text("0 1\n"), "not a velmor model file (not an .npz archive)"),
    (lambda path: path.write_bytes(path.read_bytes()[:500]), "truncated or damaged"),
    ({"velmor_model": None}, "not a velmor model file (it holds embeddings alone"),
    ({"hidden_layer": None}, "the model has no 'hidden_layer' array"),
    ({"vectors": lambda a: a[:-1]}, "'hidden_layer' has shape (31, 16) but 'vectors' (30, 16)"),
    ({"keys": lambda a: a[:-1]}, "30 node names for 31 vectors"),
    ({"keys": lambda a: np.r_[a[:-1], a[:1]]}, "a node name appears more than once"),
    ({"velmor_model": lambda a: a + 1}, f"model format {FORMAT_VERSION + 1} by a newer velmor"),
])
def test_a_damaged_or_foreign_file_is_refused_in_one_line(tmp_path, damage, message):
    model = velmor.Node2Vec(**SETTINGS).fit(grown_pair(True)[0])
    path = tmp_path / "m.npz"
    model.save(path)
    if callable(damage):
        damage(path)
    else:
        with np.load(path) as archive:
            arrays = {key: archive[key] for key in archive.files}
        for key, edit in damage.items():
            if edit is None:
                del arrays[key]
            else:
                arrays[key] = edit(arrays[key])
        np.savez(path, **arrays)
    with pytest.raises(ValueError) as refusal:
        velmor.Node2Vec.load(path)
    assert str(refusal.value).startswith(f"{path}: ") and message in str(refusal.value)
    assert "\n" not in str(refusal.value)


@pytest.mark.parametrize("fitted, graph, error, message", [
    (False, KARATE, ValueError, "not fitted yet; call fit before update"),
    (True, velmor.Graph(KARATE, names=NAMES), TypeError,
     "the graph's nodes are named by strings but the model's by integers"),
    (True, OLD_EDGES[OLD_EDGES.max(axis=1) < 33], ValueError,
     "the graph lacks 1 of the model's 34 nodes (the first: 33)"),
])
def test_a_refused_update_leaves_the_model_as_it_was(fitted, graph, error, message):
    model = velmor.Node2Vec(**SETTINGS)
    if fitted:
        model.fit(grown_pair(False)[0])
    before = dict(vars(model))
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        model.update(graph)
    assert vars(model).keys() == before.keys()
    assert all(vars(model)[key] is value for key, value in before.items())


def test_the_command_saves_a_model_and_updates_it(capsys, tmp_path):
    old, grown, model, out = (tmp_path / name for name in ("old.tsv", "new.tsv", "m.npz", "o.emb"))
    np.savetxt(old, OLD_EDGES, fmt="%d")  # read densely: 31 nodes named by their ids
    np.savetxt(grown, KARATE, fmt="%d")
    assert run_cli(capsys, "--input", old, "--save-model", model, *FAST) == (0, "")
    saved = model.read_bytes()
    # A graph without some of the model's nodes: one line, the model untouched.
    np.savetxt(old, OLD_EDGES[OLD_EDGES.max(axis=1) < 33], fmt="%d")
    status, err = run_cli(capsys, "update", "--model", model, "--input", old, "--output", out,
                      "--save-model", model, "--quiet")
    assert status == 1 and err.startswith("velmor: error: the graph lacks 1 of the model's 31")
    assert err.count("\n") == 1 and model.read_bytes() == saved
    assert sorted(os.listdir(tmp_path)) == ["m.npz", "new.tsv", "old.tsv"]
    # The embeddings written over the model they came from: refused before any work.
    status, err = run_cli(capsys, "update", "--model", model, "--input", grown, "--output", model)
    assert status == 2 and f"--model and --output both name {model}; give each" in err
    assert model.read_bytes() == saved
    assert run_cli(capsys, "update", "--model", model, "--input", grown, "--output", out,
               "--save-model", model, "--quiet") == (0, "")
    first, updated = velmor.KeyedVectors.load(saved_copy(tmp_path, saved)), \
        velmor.KeyedVectors.load(out)
    assert len(updated) == 34 and velmor.Node2Vec.load(model).wv.index_to_key == \
        updated.index_to_key
    assert all(np.array_equal(first[key], updated[key]) for key in first.index_to_key)


def saved_copy(folder, contents):
    path = folder / "first.npz"
    path.write_bytes(contents)
    return path
