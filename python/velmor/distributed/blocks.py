"""Where the blocks of a cluster run live: the partition of the nodes into P blocks, which actor
owns which, a node's row within its block, and the rows the training matrices start with."""

from __future__ import annotations

import numpy as np

from velmor._matrix import scale_starting_rows
from velmor.engine import _engine

# Rows of the starting embeddings drawn at a time while an actor picks out its own.
_DRAW_FLOATS = 1 << 22


class BlockLayout:
    """P blocks of nodes over K actors, P a multiple of K. Actor k owns the input blocks
    k*m .. k*m+m-1 (m = P/K) for the whole run, and between episodes holds the output blocks
    of the same numbers. Within a block, a node's row is its rank among the block's members
    (ascending node ids), so an actor's matrices hold its blocks' rows alone."""

    def __init__(self, num_nodes: int, num_blocks: int, num_actors: int):
        members = np.empty(num_nodes, np.uint32)
        begin = np.empty(num_blocks + 1, np.uint64)
        _engine.block_partition(num_nodes=num_nodes, members=members, block_begin=begin)
        self.num_nodes = num_nodes
        self.num_blocks = num_blocks
        self.num_actors = num_actors
        self.per_actor = num_blocks // num_actors
        self.members = [members[begin[b]:begin[b + 1]] for b in range(num_blocks)]
        self.block_of = np.empty(num_nodes, np.uint8)
        self.rank = np.empty(num_nodes, np.uint32)
        for b, nodes in enumerate(self.members):
            self.block_of[nodes] = b
            self.rank[nodes] = np.arange(len(nodes), dtype=np.uint32)

    def owned(self, actor: int) -> range:
        """The blocks whose input rows an actor holds for the whole run."""
        return range(actor * self.per_actor, (actor + 1) * self.per_actor)

    def buckets_of(self, actor: int) -> range:
        """The buckets (i, j) = i * P + j that an actor trains: those of its input blocks, one
        contiguous run of bucket numbers."""
        return range(actor * self.per_actor * self.num_blocks,
                     (actor + 1) * self.per_actor * self.num_blocks)


def skip_starting_matrices(rng: np.random.Generator, num_nodes: int, dimensions: int) -> None:
    """Advance ``rng`` past the draws of the starting embeddings of ``num_nodes`` nodes, as if
    they had been drawn (float32 draws take 32 bits each, two to a 64-bit step), so that the
    seeds drawn after them are those of a one-machine fit."""
    floats = num_nodes * dimensions
    rng.bit_generator.advance(floats // 2)
    if floats % 2:
        rng.random(dtype=np.float32)


def starting_rows(seed: int, num_nodes: int, dimensions: int, rows: np.ndarray) -> np.ndarray:
    """Rows ``rows`` (ascending node ids) of the starting embeddings that a fit seeded with
    ``seed`` draws, bit for bit: the whole matrix is drawn a slice at a time and only these rows
    kept, so an actor never holds more than its own rows and one slice."""
    rng = np.random.default_rng(seed)
    out = np.empty((len(rows), dimensions), np.float32)
    per_slice = max(1, _DRAW_FLOATS // max(dimensions, 1))
    last = int(rows[-1]) + 1 if len(rows) else 0
    for start in range(0, last, per_slice):
        stop = min(num_nodes, start + per_slice)
        drawn = np.empty((stop - start, dimensions), np.float32)
        rng.random(dtype=np.float32, out=drawn)
        lo, hi = np.searchsorted(rows, [start, stop])
        out[lo:hi] = drawn[rows[lo:hi] - start]
    scale_starting_rows(out)
    return out


def graph_arrays(csr) -> tuple:
    """The graph's record as arrays, to put into the object store once."""
    arrays = _engine.graph_arrays(graph=csr)
    offsets = np.frombuffer(arrays[0], np.uint64)
    targets = np.frombuffer(arrays[1], np.uint32)
    if len(arrays) == 2:
        return offsets, targets
    slots = np.frombuffer(arrays[2], np.uint32).reshape(-1, 2)
    return offsets, targets, slots, np.frombuffer(arrays[3], np.float64), arrays[4]


def graph_from_arrays(arrays: tuple):
    """The graph of graph_arrays' arrays, as the engine trains on it."""
    if len(arrays) == 2:
        return _engine.graph_from_arrays(offsets=arrays[0], targets=arrays[1])
    offsets, targets, slots, strength, lightest = arrays
    return _engine.graph_from_arrays(offsets=offsets, targets=targets, slots=slots,
                                     strength=strength, lightest=lightest)
