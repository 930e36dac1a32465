"""A pure-Python model of one node2vec training epoch on one worker thread: the 48-bit
generator, the sigmoid table, the biased walk, the skip-gram negative-sampling update and the
epoch driver, drawing in exactly the engine's order and rounding to float32 where it does. With
one worker the engine's matrices equal this model's up to the summation order of dot products
(and fused multiply-adds). Slow: for tiny graphs only."""

from __future__ import annotations

import bisect
import math
from typing import Optional

import numpy as np

F32 = np.float32
MASK48 = (1 << 48) - 1
MASK64 = (1 << 64) - 1


def wrap_i32(x: int) -> int:
    """x in wrapping signed 32-bit arithmetic."""
    return ((x + (1 << 31)) & 0xFFFFFFFF) - (1 << 31)


class ReferencePanic(Exception):
    """An internal failure (the engine's PanicException, same text), with the matrices as
    training left them."""

    def __init__(self, message: str):
        super().__init__(message)
        self.message, self.embeddings, self.hidden_layer = message, None, None


class Lcg48:
    """48-bit linear-congruential generator (the drand48 recurrence)."""

    MULTIPLIER = 0x5DEECE66D
    INCREMENT = 0xB

    def __init__(self, state: int):
        self.state = state

    @classmethod
    def from_seed(cls, seed: int) -> "Lcg48":
        return cls((seed & MASK48) ^ cls.MULTIPLIER)

    def next_bits(self, n: int) -> int:
        """One step, then the top n (1..32) of the 48 state bits."""
        self.state = (self.state * self.MULTIPLIER + self.INCREMENT) & MASK48
        return self.state >> (48 - n)

    def next_int(self, bound: int) -> int:
        """Uniform in [0, bound) by rejection; bound 0 costs one step and gives 0."""
        if bound == 0:
            self.next_bits(31)
            return 0
        while True:
            u = self.next_bits(31)
            r = u % abs(bound)  # truncating division: u >= 0, so r takes no sign from bound
            if wrap_i32(u - r + wrap_i32(bound - 1)) >= 0:
                return r

    def next_float(self) -> np.float32:
        """A multiple of 2**-24 in [0, 1), single precision."""
        return F32(self.next_bits(24)) * F32(2.0**-24)

    def next_u64(self) -> int:
        hi = self.next_bits(32)
        return (hi << 32) | self.next_bits(32)

    def shuffle(self, items: list) -> None:
        """Fisher-Yates from the front, with bounds n, n - 1, ..., 2."""
        n = len(items)
        for i in range(n - 1):
            j = i + self.next_int(n - i)
            items[i], items[j] = items[j], items[i]


def _sigmoid_entry(i: int) -> float:
    x = ((i / 1000.0) * 2.0 - 1.0) * 6.0
    e = math.exp(x)
    return e / (e + 1.0)


SIGMOID_TABLE = np.array([_sigmoid_entry(i) for i in range(1000)], dtype=np.float32)
SIGMOID_LIMIT = F32(6.0)
SIGMOID_SCALE = F32(83.333336)


def sigmoid_index(f) -> Optional[int]:
    """Table index of f, or None when f is outside (-6, 6)."""
    f = F32(f)
    if f <= -SIGMOID_LIMIT or f >= SIGMOID_LIMIT:
        return None
    with np.errstate(invalid="ignore"):
        scaled = (f + SIGMOID_LIMIT) * SIGMOID_SCALE
    index = int(scaled) if scaled > 0 else 0  # NaN indexes 0
    return min(index, 999)  # 5.9999995 computes to 1000 and reads the last entry


def sigmoid_lookup(f) -> Optional[np.float32]:
    index = sigmoid_index(f)
    return None if index is None else SIGMOID_TABLE[index]


def neighbour_rows(edges, directed: bool) -> list:
    """The sorted out-neighbours of every node, duplicates and self-loops kept."""
    edges = np.asarray(edges, dtype=np.int64).reshape(-1, 2)
    rows = [[] for _ in range(int(edges.max()) + 1 if edges.size else 0)]
    for s, d in edges.tolist():
        rows[s].append(d)
        if not directed:
            rows[d].append(s)
    for row in rows:
        row.sort()
    return rows


def has_edge(rows: list, src: int, dst: int) -> bool:
    i = bisect.bisect_left(rows[src], dst)
    return i < len(rows[src]) and rows[src][i] == dst


class WalkBias:
    """Acceptance thresholds of the second-order walk, in single precision."""

    def __init__(self, p: float, q: float):
        pf, qf = F32(p), F32(q)
        with np.errstate(divide="ignore", invalid="ignore"):
            inv_p, inv_q = F32(1.0) / pf, F32(1.0) / qf
            m = max(inv_p, inv_q, F32(1.0))
            self.return_threshold = inv_p / m
            self.near_threshold = F32(1.0) / m
            self.far_threshold = inv_q / m
        self.uniform = bool(pf == qf and qf == F32(1.0))


def random_walk(rows: list, start: int, max_walk_length: int, bias: WalkBias,
                rng: Lcg48) -> list:
    if max_walk_length == 0:
        return []
    walk = [start]
    if max_walk_length == 1:
        return walk
    row = rows[start]
    if not row:
        return walk
    walk.append(row[rng.next_int(len(row))])
    for i in range(2, max_walk_length):
        cur, prev = walk[i - 1], walk[i - 2]
        row = rows[cur]
        if not row:
            break  # dead end: the walk has length i
        if bias.uniform:
            walk.append(row[rng.next_int(len(row))])
            continue
        while True:
            x = row[rng.next_int(len(row))]
            r = rng.next_float()
            if x == prev:
                threshold = bias.return_threshold
            elif has_edge(rows, prev, x):
                threshold = bias.near_threshold
            else:
                threshold = bias.far_threshold
            if r < threshold:
                walk.append(x)
                break
    return walk


def weighted_rows(edges, weights, directed: bool) -> dict:
    """Each node's out-arcs of a weighted graph as {target: weight}, parallel arcs summed (an
    undirected self-loop is stored twice, as in the engine)."""
    rows = {}
    for (s, d), w in zip(np.asarray(edges).tolist(), np.asarray(weights, float).tolist()):
        for a, b in [(s, d)] if directed else [(s, d), (d, s)]:
            row = rows.setdefault(a, {})
            row[b] = row.get(b, 0.0) + w
    return rows


def weighted_step(rows: dict, prev: Optional[int], cur: int, p: float, q: float) -> dict:
    """The weighted walk's next node from cur, having come from prev (None: the first step), as
    {node: probability}: in proportion to w(cur, x) times 1/p for x == prev, 1 when an arc
    prev -> x exists, 1/q otherwise."""
    def bias(x):
        if prev is None:
            return 1.0
        return 1.0 / p if x == prev else 1.0 if x in rows.get(prev, {}) else 1.0 / q

    mass = {x: w * bias(x) for x, w in rows.get(cur, {}).items()}
    total = sum(mass.values())
    return {x: m / total for x, m in mass.items()}


def dot(a: np.ndarray, b: np.ndarray) -> np.float32:
    """Single-precision dot product, summed left to right."""
    if a.shape[0] == 0:
        return F32(0.0)
    return np.cumsum(a * b, dtype=np.float32)[-1]


def _check_rows(inp: int, target: Optional[int], embeddings: np.ndarray, hidden_layer: np.ndarray):
    if inp >= embeddings.shape[0]:
        raise ReferencePanic("assertion failed: index < dim")
    if target is not None and target >= hidden_layer.shape[0]:
        raise ReferencePanic("assertion failed: index < dim")
    if embeddings.shape[1] != hidden_layer.shape[1]:
        raise ReferencePanic("assertion failed: self.len() == rhs.len()")


def train_walk(walk: list, rng: Lcg48, alpha: np.float32, window: int, num_negative: int,
               num_nodes: int, embeddings: np.ndarray, hidden_layer: np.ndarray,
               error: np.ndarray, lookup=sigmoid_lookup, negatives=None,
               shared: bool = False) -> None:
    """Trains every (centre, context) pair of the walk in place: the output rows change after
    each sample, the input row gets the pair's summed error at its end. The matrices may be one
    array. `lookup` stands in for sigmoid_lookup; `negatives` (an AliasTable) draws the
    negatives, None: next_int(num_nodes). `shared`: a position's pairs share one draw of
    negatives, made after its window draw."""
    def draw():
        return rng.next_int(num_nodes) if negatives is None else negatives.next(rng)

    length = len(walk)
    for i in range(length):
        b = rng.next_int(window)
        # Bounds in signed 32-bit arithmetic (they differ from exact ones only for windows
        # near 2**31).
        start = max(0, wrap_i32(i - window + b))
        end = min(wrap_i32(i + window + 1 - b), length)
        centre = walk[i]
        drawn = [draw() for _ in range(num_negative)] if shared and end - start > 1 else None
        for c in range(start, end):
            if c == i:
                continue
            inp = walk[c]
            error[:] = 0.0
            for d in range(num_negative + 1):
                if d == 0:
                    target, label = centre, F32(1.0)
                else:
                    target = draw() if drawn is None else drawn[d - 1]
                    label = F32(0.0)
                    if target == centre:
                        continue  # not redrawn: the pair gets one negative fewer
                _check_rows(inp, target, embeddings, hidden_layer)
                e_row = embeddings[inp]
                h_row = hidden_layer[target]
                s = lookup(dot(e_row, h_row))
                if s is None:
                    continue  # |f| >= 6: no update at all
                g = (label - s) * alpha
                error += g * h_row  # the output row as it was before this sample
                h_row += g * e_row
            _check_rows(inp, None, embeddings, hidden_layer)
            embeddings[inp] += error


class AliasTable:
    """Node i drawn in proportion to max(counts[i], 1) ** exponent: Walker's alias table, built
    by Vose's algorithm in double precision, one 32-bit threshold and one alias per slot."""

    def __init__(self, counts, exponent: float):
        n = len(counts)
        largest = float(max(max(int(c) for c in counts), 1))
        share = [math.pow(float(max(int(c), 1)) / largest, exponent) for c in counts]
        total = 0.0
        for w in share:
            total += w
        scale = float(n) / total
        small, large = [], []
        for i in range(n):
            share[i] *= scale
            (small if share[i] < 1.0 else large).append(i)
        self.threshold, self.alias = [0xFFFFFFFF] * n, list(range(n))
        while small and large:
            lo, hi = small.pop(), large.pop()
            self.threshold[lo], self.alias[lo] = self._threshold(share[lo]), hi
            share[hi] = (share[hi] + share[lo]) - 1.0
            (small if share[hi] < 1.0 else large).append(hi)
        # Slots left in either list are full (up to rounding): they keep their own node.
        self.two_step = n > 1 << 24

    @staticmethod
    def _threshold(p: float) -> int:
        t = p * 4294967296.0
        return 0 if not t > 0.0 else 0xFFFFFFFF if t >= 4294967295.0 else int(t)

    def next(self, rng: Lcg48) -> int:
        """One draw: the top 32 bits u of one step; the high word of u * n is the slot, its low
        word the coin (a second step's bits above 2**24 nodes)."""
        mixed = rng.next_bits(32) * len(self.alias)
        slot = mixed >> 32
        coin = rng.next_bits(32) if self.two_step else mixed & 0xFFFFFFFF
        return slot if coin < self.threshold[slot] else self.alias[slot]


def check_walk_parameter(name: str, value: float) -> None:
    value = float(value)
    if not (math.isfinite(value) and value > 0.0):
        raise ValueError(f"{name} must be a finite number greater than 0, got {value!r}")
    with np.errstate(over="ignore", divide="ignore"):
        single = np.float32(value)
        if not (np.isfinite(single) and single > 0 and np.isfinite(np.float32(1) / single)):
            raise ValueError(f"{name} is out of the range that training supports in single precision"
                             f" (about 3e-39 to 3e+38), got {value!r}")


def start_order(num_nodes: int, next_random: int) -> tuple:
    """The shuffled start order and the base seed of the chunks."""
    rng = Lcg48.from_seed(next_random)
    order = list(range(num_nodes))
    rng.shuffle(order)
    return order, rng.next_u64()


def chunk_alpha(start_alpha: float, end_alpha: float, k: int, num_chunks: int) -> np.float32:
    """Learning rate of the chunk with ordinal k: double precision, rounded once."""
    return F32(start_alpha - (k / num_chunks) * (start_alpha - end_alpha))


def reference_epoch(edges, directed: bool, params, embeddings, hidden_layer, next_random: int,
                    lookup=sigmoid_lookup, ns_exponent: float = 0.0, noise_counts=None,
                    visits=None, train: bool = True, walks=None, shared: bool = False):
    """One epoch with one worker on copies of the matrices (one copy if they are one object);
    returns (embeddings, hidden_layer) or raises ReferencePanic. `params` has the attributes of
    Node2VecParams. With ns_exponent > 0, negatives come from an AliasTable over `noise_counts`
    (None: the out-degrees). `visits` (one count per node) receives each walk's nodes and
    `walks` (a list) each walk; with `train` false the walks are only drawn. `shared` is passed
    on to train_walk."""
    rows = neighbour_rows(edges, directed)
    emb = np.array(embeddings, dtype=np.float32, order="C", copy=True)
    hid = emb if hidden_layer is embeddings else np.array(hidden_layer, dtype=np.float32,
                                                            order="C", copy=True)
    n = len(rows)
    if n == 0:
        return emb, hid
    check_walk_parameter("p", params.p)
    check_walk_parameter("q", params.q)
    order, base_seed = start_order(n, next_random)
    batch = params.batch_size
    if batch == 0:
        raise ReferencePanic("attempt to divide by zero")
    num_chunks = -(-n // batch)
    bias = WalkBias(params.p, params.q)
    negatives = None if ns_exponent == 0 else AliasTable(
        [len(row) for row in rows] if noise_counts is None else noise_counts, ns_exponent)
    error = np.zeros(hid.shape[1], dtype=np.float32)
    try:
        for k in range(num_chunks):
            alpha = chunk_alpha(params.start_alpha, params.end_alpha, k, num_chunks)
            rng = Lcg48.from_seed((base_seed + k) & MASK64)
            for s in order[k * batch:(k + 1) * batch]:
                walk = random_walk(rows, s, params.max_walk_length, bias, rng)
                if train:
                    train_walk(walk, rng, alpha, params.window, params.num_negative, n, emb, hid,
                               error, lookup, negatives, shared)
                if walks is not None:
                    walks.append(walk)
                if visits is not None:
                    for v in walk:
                        visits[v] += 1
    except ReferencePanic as failure:
        failure.embeddings, failure.hidden_layer = emb, hid
        raise
    return emb, hid
