"""The model file: a fitted Node2Vec whole, so that a later session can embed new nodes.

One NumPy ``.npz`` archive, written without pickling, holding:

- ``vectors`` and, when nodes have names, ``keys``: the embeddings exactly as the embeddings-only
  ``.npz`` holds them, so every reader of that format (``KeyedVectors.load``) reads a model file
  too;
- ``hidden_layer``: the output vectors, the other matrix of training;
- ``noise_counts``: each node's visit count, which negatives are drawn by (empty when
  ``ns_exponent`` is 0);
- ``linked``: 1 for a node that had an edge when it was trained, 0 for one whose vector is still
  its random start;
- ``params``: the constructor's arguments as JSON text, and ``epochs_trained``;
- ``velmor_model``: the format version. A reader takes every version up to its own and refuses
  newer ones.

A file is written to a temporary name and renamed into place once complete, so a failed or
interrupted save leaves the previous file as it was.
"""

from __future__ import annotations

import json
import os
import zipfile
from typing import IO

import numpy as np

from velmor._paths import PathLike, replacing
from velmor.embedding_files import _key_array

FORMAT_VERSION = 1
_MATRICES = ("vectors", "hidden_layer")


def save_model(path: PathLike, model) -> None:
    """Write the fitted ``model`` to ``path`` (any name; the format is always ``.npz``)."""
    with replacing(path) as file:
        write_model(file, model)


def write_model(file: IO[bytes], model) -> None:
    """The fitted ``model`` into an open binary file, as save_model writes it."""
    model._check_fitted("save")
    arrays = {
        "velmor_model": np.array(FORMAT_VERSION, dtype=np.int64),
        "params": np.array(json.dumps(model.get_params(), default=_plain)),
        "epochs_trained": np.array(model.epochs_trained_, dtype=np.int64),
        "vectors": model.embeddings_,
        "hidden_layer": model.hidden_layer_,
        "noise_counts": np.zeros(0, np.uint64) if model.noise_counts_ is None
        else model.noise_counts_,
        "linked": model.linked_,
    }
    keys = model.wv._keys
    if keys is not None:
        arrays["keys"] = _key_array(keys)
    np.savez(file, **arrays)


def _plain(value):
    """A NumPy scalar among the parameters as the Python number it holds."""
    if isinstance(value, np.generic):
        return value.item()
    raise TypeError(f"cannot save the parameter value {value!r}")


def load_model(path: PathLike, cls):
    """A fitted ``cls`` (Node2Vec) read from ``path``; ValueError, naming the file, for anything
    that is not a whole model this version can read."""
    name = os.fspath(path)
    with open(path, "rb") as file:
        if file.read(4) != b"PK\x03\x04":
            raise ValueError(f"{name}: not a velmor model file (not an .npz archive)")
        file.seek(0)
        try:
            with np.load(file, allow_pickle=False) as archive:
                contents = {key: archive[key] for key in archive.files}
        except (ValueError, EOFError, OSError, zipfile.BadZipFile) as error:
            raise ValueError(f"{name}: truncated or damaged ({error})") from None
    return _model_from(name, contents, cls)


def _model_from(name: str, contents: dict, cls):
    def refuse(reason: str):
        raise ValueError(f"{name}: {reason}")

    if "velmor_model" not in contents:
        refuse("not a velmor model file" + (" (it holds embeddings alone; KeyedVectors.load "
                                            "reads those)" if "vectors" in contents else ""))
    version = int(contents["velmor_model"])
    if version > FORMAT_VERSION:
        refuse(f"written in model format {version} by a newer velmor; this one reads formats "
               f"up to {FORMAT_VERSION}: upgrade velmor")
    for required in ("params", "epochs_trained", *_MATRICES, "noise_counts", "linked"):
        if required not in contents:
            refuse(f"the model has no {required!r} array; the file is damaged")
    vectors, hidden_layer = contents["vectors"], contents["hidden_layer"]
    for matrix, label in ((vectors, "vectors"), (hidden_layer, "hidden_layer")):
        if matrix.dtype != np.float32 or matrix.ndim != 2:
            refuse(f"{label!r} is not a float32 matrix; the file is damaged")
    count = len(vectors)
    if hidden_layer.shape != vectors.shape:
        refuse(f"'hidden_layer' has shape {hidden_layer.shape} but 'vectors' {vectors.shape}; "
               "the file is damaged")
    counts, linked = contents["noise_counts"], contents["linked"]
    if counts.dtype != np.uint64 or counts.shape not in ((0,), (count,)):
        refuse(f"'noise_counts' does not hold one count per node ({count}); the file is damaged")
    if linked.dtype != np.uint8 or linked.shape != (count,):
        refuse(f"'linked' does not hold one entry per node ({count}); the file is damaged")
    keys = contents.get("keys")
    if keys is not None:
        if keys.shape != (count,):
            refuse(f"{keys.size} node names for {count} vectors; the file is damaged")
        if len(np.unique(keys)) != count:
            refuse("a node name appears more than once; the file is damaged")
    try:
        params = json.loads(str(contents["params"]))
        model = cls(**params)
        model.check_params()
    except (ValueError, TypeError) as error:
        refuse(f"its parameters cannot be read ({error})")

    from velmor.keyed import KeyedVectors

    model.embeddings_ = np.ascontiguousarray(vectors)
    model.hidden_layer_ = np.ascontiguousarray(hidden_layer)
    model.noise_counts_ = counts.copy() if len(counts) else None
    model.linked_ = linked
    model.epochs_trained_ = int(contents["epochs_trained"])
    model.wv = KeyedVectors(model.embeddings_, keys)
    return model
