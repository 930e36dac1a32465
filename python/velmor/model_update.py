"""Embedding the new nodes of a grown graph into a fitted model, the old vectors left in place.

The grown graph names its nodes as the model does; a name the model lacks is a new node, and so
is an old node that had no edge when the model was trained (its vector was never trained) and
has one now. Walks start from the new nodes only; with the old rows frozen, a walk from an old
node would train a new one only where it happened to pass through it, at the cost of a walk.
Without freezing, the old nodes that arcs from the new nodes reach start walks too, so that
their vectors follow their new neighbourhood. Edges between two old nodes that the model did not
have are not noticed: the model keeps no edges.

Training is the fit's: the same epoch driver, negatives by visit count (the model's counts, with
the visits of the update's own walks added), the learning rate falling linearly from ``alpha``
to ``min_alpha`` over the update's rounds of walks. By default an update makes four times the
model's walks per new node, starting at twice its learning rate (see UPDATE_WALKS).
"""

from __future__ import annotations

import numpy as np

from velmor._checks import check_bool, check_int, check_real
from velmor._matrix import starting_matrices
from velmor.engine._engine import mark_arc_ends
from velmor.keyed import KeyedVectors

# A new node learns from the walks that start from it and the few that pass it, where a fit
# trains a node on every walk that reaches it: an update makes more walks per new node, at a
# higher learning rate, than a fit makes per node. On BlogCatalog with a tenth of the nodes
# new, 4x and 2x brought the new nodes' Macro-F1 level with a full retraining's
# (bench/bench_update.py); the fit's own 1x and 1x left them at about 0.14 against 0.25.
UPDATE_WALKS = 4
UPDATE_ALPHA = 2.0


def linked_nodes(graph) -> np.ndarray:
    """1 for each node of ``graph`` that has an edge either way, else 0 (uint8)."""
    marks = np.zeros(graph.num_nodes, dtype=np.uint8)
    mark_arc_ends(graph.csr, np.ones(graph.num_nodes, dtype=np.uint8), marks)
    return marks


def update_model(model, graph, *, freeze_old: bool, num_walks, alpha, seed) -> None:
    """Train the new nodes of ``graph`` into the fitted ``model`` (see Node2Vec.update, which
    checks that it is fitted); assigns the model's fitted attributes only once training has
    finished."""
    settings = model.check_params()
    freeze_old = check_bool("freeze_old", freeze_old)
    rounds = UPDATE_WALKS * settings["num_walks"] if num_walks is None \
        else check_int("num_walks", num_walks, minimum=1)
    start_alpha = UPDATE_ALPHA * settings["alpha"] if alpha is None \
        else check_real("alpha", alpha, positive=True)
    min_alpha = min(settings["min_alpha"], start_alpha)
    seed = settings["seed"] if seed is None else check_int("seed", seed, minimum=0)

    old_count, dimensions = model.embeddings_.shape
    position = _old_positions(model.wv, graph)
    count = graph.num_nodes
    # Fresh entropy without a seed; a stream of its own (not the fit's) with one.
    rng = np.random.default_rng(None if seed is None else [seed, 1])
    embeddings, hidden_layer = starting_matrices(rng, count, dimensions)
    hidden_layer[position] = model.hidden_layer_
    embeddings[position] = model.embeddings_

    linked = linked_nodes(graph)
    new = np.ones(count, dtype=np.uint8)
    new[position] = 1 - model.linked_  # an old node never trained is new
    frozen = (1 - new) if freeze_old else None
    starts = new & linked
    if not freeze_old:
        mark_arc_ends(graph.csr, new, starts)
    start_nodes = np.flatnonzero(starts).astype(np.uint32)

    counts = None
    if model.noise_counts_ is not None:
        counts = np.zeros(count, dtype=np.uint64)
        counts[position] = model.noise_counts_
    if len(start_nodes):
        from velmor.model import train_rounds

        train_rounds(graph, settings, embeddings, hidden_layer, counts, rng=rng, rounds=rounds,
                     alpha=start_alpha, min_alpha=min_alpha, start_nodes=start_nodes,
                     frozen=frozen)
    model.embeddings_ = embeddings
    model.hidden_layer_ = hidden_layer
    model.noise_counts_ = counts
    linked[position] |= model.linked_
    model.linked_ = linked
    model.wv = KeyedVectors(embeddings, graph.names)


def _name_kind(keys) -> str:
    if keys is None:
        return "integer"
    keys = np.asarray(keys) if not isinstance(keys, np.ndarray) else keys
    if keys.dtype.kind in "iu":
        return "integer"
    if keys.dtype.kind == "U":
        return "string"
    if all(isinstance(key, (int, np.integer)) for key in keys):
        return "integer"
    if all(isinstance(key, str) for key in keys):
        return "string"
    return "tuple" if all(isinstance(key, tuple) for key in keys) else "mixed object"


def _old_positions(wv: KeyedVectors, graph) -> np.ndarray:
    """The index in ``graph`` of each of the model's nodes, by name; refuses names of another
    kind and a graph that lacks some of the model's nodes."""
    old_keys, new_keys = wv._keys, graph.names
    old_kind, new_kind = _name_kind(old_keys), _name_kind(new_keys)
    if old_kind != new_kind:
        raise TypeError(f"the graph's nodes are named by {new_kind}s but the model's by "
                        f"{old_kind}s; an update needs the model's own names")
    old_count = len(wv.vectors)
    if old_keys is None and new_keys is None:
        position = np.arange(old_count)
        found = position < graph.num_nodes
    else:
        old = np.arange(old_count) if old_keys is None else np.asarray(wv.index_to_key)
        new = np.arange(graph.num_nodes) if new_keys is None else np.asarray(new_keys)
        if old.dtype.kind in "iuU" and new.dtype.kind in "iuU":
            order = np.argsort(new, kind="stable")
            at = np.searchsorted(new[order], old).clip(max=len(new) - 1)
            found = new[order][at] == old
            position = order[at]
        else:
            index = {key: i for i, key in enumerate(new.tolist())}
            position = np.array([index.get(key, -1) for key in old.tolist()], dtype=np.int64)
            found = position >= 0
    if not found.all():
        missing = int(np.count_nonzero(~found))
        first = wv.index_to_key[int(np.argmax(~found))]
        raise ValueError(f"the graph lacks {missing} of the model's {old_count} nodes (the first: "
                         f"{first!r}); an update keeps every node, so pass the whole grown graph")
    return position
