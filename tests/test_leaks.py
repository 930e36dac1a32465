"""Every entry, called thousands of times, succeeding, refused and failing inside, leaves the
reference counts of its arguments as they were, leaves no Python objects behind and keeps
resident memory flat (read from /proc/self/statm: tracemalloc does not see C++ allocations).
Each scenario allocates tens of kilobytes per call wherever the module allocates at all, so a
per-call leak would grow memory far beyond the allowance. Under a sanitizer's allocator resident
memory says nothing, and only the counts are checked.
"""

import gc
import os
import sys

import numpy as np
import pytest

from conftest import ArrayHolder, under_sanitizer
from test_binding import Counted as Index

RSS_ALLOWANCE = 4 * 2**20  # growth of resident memory put down to allocator noise


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def thread_count():
    return len(os.listdir("/proc/self/task"))

PARAMS = dict(p=1.0, q=1.0, start_alpha=0.025, end_alpha=0.0001, window=3, batch_size=64,
              max_walk_length=10, num_negative=3, workers=1)


def outcome(call):
    """What a call did, comparable across calls: the result's type or the exception and its text.
    Keeps neither the result nor a traceback alive."""
    try:
        return "ok", type(call())
    except BaseException as exc:  # noqa: B036 - PanicException is a BaseException
        return type(exc).__name__, str(exc)


class Raises:
    """Converts by raising a fresh exception with a cause, as user code might."""

    def __init__(self, exc_type):
        self.exc_type = exc_type

    def __index__(self):
        try:
            raise KeyError("inner")
        except KeyError as inner:
            raise self.exc_type("from __index__") from inner

    __float__ = __index__


def _edges(rows, high, seed, cols=2):
    return np.random.default_rng(seed).integers(0, high, size=(rows, cols)).astype(np.uint32)


def scenarios(native):
    """name -> (rounds, calls, objects whose reference counts must not move). Each round calls
    every function of the scenario once; some calls succeed, some are refused and some fail
    inside (PanicException)."""
    csr = native.csr_from_edges
    big, wrong, index = _edges(3000, 5000, 1), _edges(30, 50, 1).astype(np.int64), Index(1)
    fortran = np.asfortranarray(_edges(3000, 5000, 2))
    # One column, ids up to 200000: both arrays are allocated and the prefix sum touches every
    # page of `offsets` (1.6 MB) before the scatter fails.
    one_column = _edges(50, 200_000, 3, cols=1)
    wraps = np.array([[0, 1], [2, 2**32 - 1]], np.uint32)
    graph = csr(_edges(3000, 5000, 4), False)
    src, dst, huge, negative = Index(17), Index(4000), Index(10**6), Index(-1)
    values = {k: Index(v) if isinstance(v, int) else v for k, v in PARAMS.items()}
    values["p"] = Index(2)
    record = native.Node2VecParams(**values)

    def params(**changes):
        return native.Node2VecParams(**{**PARAMS, **changes})

    def made(**changes):
        return lambda: native.Node2VecParams(**{**values, **changes})

    n = 120
    small = csr(_edges(360, n, 5), False)
    chain = csr(np.stack([np.arange(20_000), np.arange(1, 20_001)], 1).astype(np.uint32), False)
    rng = np.random.default_rng(6)
    emb, hid = (rng.uniform(-0.5, 0.5, (20_001, 16)).astype(np.float32) for _ in range(2))
    short, read_only, holder = emb[: n // 2].copy(), hid.copy(), ArrayHolder(hid)
    seed = Index(2**63 + 5)
    read_only.flags.writeable = False
    one, shared = params(), params(workers=None, batch_size=16)
    four = params(workers=4, batch_size=7)
    # A single chunk: an 80 KB start order, a walk buffer and the pair schedule, nothing trained
    # (walks of one node), so that the allocations, not the arithmetic, dominate.
    start_order = params(max_walk_length=1, batch_size=2**40, workers=None)

    def train(p, e=emb, h=hid, g=small, next_random=seed):
        return lambda: native.train_node2vec_epoch(graph=g, params=p, embeddings=e, hidden_layer=h,
                                                   next_random=next_random)

    return {
        "csr": (1000, [lambda: csr(big, True), lambda: csr(edges=fortran, directed=False),
                       lambda: csr(one_column, True), lambda: csr(one_column, False),
                       lambda: csr(wraps, False), lambda: csr(wrong, True),
                       lambda: csr(big[:, 0], True), lambda: csr(big[:5].tolist(), True),
                       lambda: csr(big, index), lambda: csr(big, True, big),
                       lambda: csr(big, directed=True, colour=index)],
                [big, fortran, one_column, wraps, wrong, index]),
        "has-edge": (3000, [lambda: graph.has_edge(src, dst),
                            lambda: graph.has_edge(src=src, dst=dst),
                            lambda: graph.num_nodes(), lambda: graph.has_edge(huge, dst),
                            lambda: graph.has_edge(negative, dst),
                            lambda: graph.has_edge(src, "not a node"),
                            lambda: graph.has_edge(src, Raises(TypeError)),
                            lambda: graph.has_edge(src, Raises(ValueError)),
                            lambda: graph.has_edge(src, dst, src=src)],
                     [graph, src, dst, huge, negative]),
        "params": (3000, [made(), lambda: [getattr(record, k) for k in PARAMS], made(window=2**40),
                          made(batch_size=Index(-1)), made(q="x"),
                          made(num_negative=Raises(TypeError)),
                          made(workers=Raises(ZeroDivisionError)), made(extra=values["p"]),
                          lambda: native.Node2VecParams(p=values["p"])],
                   [record, *values.values()]),
        "train": (300, [train(one), train(shared), train(four), train(one, h=holder),
                        train(start_order, g=chain), train(params(p=0.0)),
                        train(one, h=hid.astype(np.float64)), train(one, e=[[0.5] * 16] * 8),
                        train(one, e=read_only), train(one, next_random=-1),
                        train(one, next_random=Raises(TypeError)),
                        lambda: native.train_node2vec_epoch(small, params=one),
                        train(params(batch_size=0)), train(four, e=short),
                        train(params(workers=None, batch_size=3), h=short),
                        train(start_order, e=short[:10], g=chain)],
                  [small, chain, emb, hid, short, read_only, holder, seed, one, shared, four,
                   start_order]),
    }


@pytest.mark.parametrize("name", ["csr", "has-edge", "params", "train"])
def test_repeated_calls_leak_nothing(native, name, capfd):
    rounds, calls, tracked = scenarios(native)[name]  # successes, refusals and internal failures
    first = [outcome(call) for call in calls]
    for _ in range(20):  # warm-up: lazily made objects, the shared pool, allocator caches
        assert [outcome(call) for call in calls] == first
    capfd.readouterr()
    gc.collect()
    refs = [sys.getrefcount(x) for x in tracked]
    blocks, memory, threads = sys.getallocatedblocks(), rss(), thread_count()

    for _ in range(rounds):
        for call, expected in zip(calls, first):
            assert outcome(call) == expected
        capfd.readouterr()  # drop the internal-failure reports of the panicking scenarios

    gc.collect()
    assert [sys.getrefcount(x) for x in tracked] == refs
    # A Python object left behind by one call per round adds `rounds` blocks; the interpreter's
    # and NumPy's own caches account for up to a couple of hundred.
    assert sys.getallocatedblocks() - blocks < rounds // 2
    assert thread_count() == threads
    if not under_sanitizer():
        grown = rss() - memory
        assert grown < RSS_ALLOWANCE, f"{grown / 2**20:.1f} MB more after {rounds} rounds"
