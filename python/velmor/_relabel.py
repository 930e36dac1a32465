"""Integer node ids numbered 0..n-1 in ascending order, as the package's readers number them."""

from __future__ import annotations

import numpy as np


def relabel_ascending(values: np.ndarray) -> tuple[np.ndarray, np.ndarray | None]:
    """Node indices (uint32) for non-negative integer ids, numbered in ascending order of id, and
    the ids by index as int64 (None when the ids are exactly 0..n-1, so that indices and ids
    agree)."""
    largest = int(values.max())
    if largest < max(4 * len(values), 1 << 20):
        # Dense enough for a presence table: linear time instead of a sort.
        present = np.zeros(largest + 1, dtype=bool)
        present[values] = True
        if present.all():
            return values.astype(np.uint32, copy=False), None
        names = np.flatnonzero(present)
        rank = np.cumsum(present, dtype=np.uint32) - np.uint32(1)
        return rank[values], names.astype(np.int64)
    names, ids = np.unique(values, return_inverse=True)
    return ids.ravel().astype(np.uint32), names.astype(np.int64)
