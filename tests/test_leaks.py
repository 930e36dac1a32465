"""Every entry of both modules, called thousands of times, succeeding, refused and failing inside,
leaves reference counts, Python objects and resident memory (statm: tracemalloc does not see C++
allocations) as they were. Calls allocate tens of kilobytes each, far beyond the allowance if
leaked."""

import gc
import os
import sys

import numpy as np
import pytest

from conftest import (
    DEFAULTS,
    ArrayHolder,
    Counted,
    Raises,
    make_matrices,
    make_params,
    under_sanitizer,
)


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def outcome(call):
    """The result's type, or the exception's type and text: comparable, and keeps nothing alive."""
    try:
        return "ok", type(call())
    except BaseException as exc:  # noqa: B036 - PanicException is a BaseException
        return type(exc).__name__, str(exc)


def scenarios(native):
    """name -> (rounds, calls, objects whose reference counts must not move): one call for each
    path, success, each kind of refusal, failure inside (PanicException)."""
    csr, rng, n = native.csr_from_edges, np.random.default_rng(1), 120
    big, index = rng.integers(0, 5000, (3000, 2), np.uint32), Counted(1)
    wrong = big[:30].astype(np.int64)
    # One column, ids up to 200000: both arrays are allocated and the prefix sum touches every
    # page of `offsets` (1.6 MB) before the scatter fails.
    one_column = rng.integers(0, 200_000, (50, 1), np.uint32)
    g = csr(rng.integers(0, n, (360, 2), np.uint32), False)
    src, dst, huge, negative = Counted(17), Counted(40), Counted(10**6), Counted(-1)
    values = {k: Counted(v) for k, v in DEFAULTS.items()}
    record = native.Node2VecParams(**values)

    def made(**changes):
        return lambda: native.Node2VecParams(**{**values, **changes})

    chain = csr(np.stack([np.arange(20_000), np.arange(1, 20_001)], 1).astype(np.uint32), False)
    emb, hid = np.random.default_rng(6).uniform(-0.5, 0.5, (2, 20_001, 16)).astype(np.float32)
    short, read_only, holder = emb[: n // 2].copy(), hid.copy(), ArrayHolder(hid)
    seed = Counted(2**63 + 5)
    read_only.flags.writeable = False
    one, shared = make_params(), make_params(workers=None, batch_size=16)
    four = make_params(workers=4, batch_size=7)
    # A single chunk: an 80 KB start order, a walk buffer and the pair schedule, nothing trained
    # (walks of one node), so that the allocations, not the arithmetic, dominate.
    start_order = make_params(max_walk_length=1, batch_size=2**40, workers=None)

    def train(p, e=emb, h=hid, graph=g, next_random=seed):
        return lambda: native.train_node2vec_epoch(graph=graph, params=p, embeddings=e,
                                                   hidden_layer=h, next_random=next_random)

    # The engine module's entries: an epoch and the walks alone, each with a progress hook (which
    # is called only after 100 ms: long walks that it stops have a row of their own), the
    # builders of plain and weighted graphs, and the edge-list reader.
    from velmor.engine import _engine

    def entry(function, **given):
        return lambda **change: lambda: function(**{**given, **change})

    def stop(done):
        raise RuntimeError(f"stopped after {done}")

    small, edges = make_matrices(n, 16), big[:300] % n
    visits, walks = np.zeros(n, np.uint64), np.zeros((n, DEFAULTS["max_walk_length"]), np.int32)
    named = b"".join(b"node%d node%d %d.5\n" % (i, (7 * i) % 300, i) for i in range(300))
    ids, weights, read_weights = np.zeros(600, np.uint32), np.arange(1.0, 301.0), np.zeros(300)
    epoch = entry(_engine.train_epoch, graph=g, params=one, embeddings=small[0],
                  hidden_layer=small[1], next_random=seed, ns_exponent=0.75, noise_counts=None,
                  visits=visits, progress=len)
    walk = entry(_engine.write_walks, graph=g, params=one, next_random=seed, walks=walks,
                 progress=len)
    plain = entry(_engine.csr_from_edges, edges=edges, directed=False, num_nodes=n)
    weighted = entry(_engine.weighted_csr_from_edges, edges=edges, weights=weights,
                     directed=False, num_nodes=n)
    read = entry(_engine.read_edge_list, text=named, delimiter=None, comment=35, names=None,
                 relabel=True, skip_third_column=False, ids=ids, weights=read_weights)
    # Walks of two million steps on one edge with p = 1000, which the hook stops at its first call.
    edge = native.csr_from_edges(np.array([[0, 1]], np.uint32), False)
    back_and_forth = make_params(p=1000.0, max_walk_length=2_000_000, batch_size=1)
    edge_matrices, edge_visits = make_matrices(2, 8), np.zeros(2, np.uint64)
    edge_walks = np.zeros((2, 2_000_000), np.int32)
    return {
        "graph-params": (1000, [
            lambda: csr(big, False), lambda: csr(one_column, True), lambda: csr(wrong, True),
            lambda: csr(big[:5].tolist(), True), lambda: csr(big, index),
            lambda: csr(big, directed=True, colour=index), lambda: g.has_edge(src, dst),
            g.num_nodes, lambda: g.has_edge(huge, dst), lambda: g.has_edge(negative, dst),
            lambda: g.has_edge(src, Raises(TypeError)), lambda: g.has_edge(src, dst, src=src),
            made(), made(window=2**40), lambda: [getattr(record, k) for k in DEFAULTS],
            made(num_negative=Raises(TypeError)), made(workers=Raises(ZeroDivisionError)),
            made(extra=values["p"])],
            [big, one_column, wrong, index, g, src, dst, huge, negative, record,
             *values.values()]),
        # A refused next_random comes after both matrices are taken.
        "train": (300, [train(one), train(shared), train(four), train(one, h=holder),
                        train(start_order, graph=chain), train(make_params(p=0.0)),
                        train(one, e=read_only), train(one, next_random=-1),
                        lambda: native.train_node2vec_epoch(g, params=one),
                        train(four, e=short), train(start_order, e=short[:10], graph=chain)],
                  [g, chain, emb, hid, short, read_only, holder, seed, one, shared, four,
                   start_order]),
        "engine": (300, [
            epoch(), epoch(progress=stop), epoch(params=four), epoch(ns_exponent=float("nan")),
            epoch(visits=visits[:5]), walk(), walk(progress=stop), walk(walks=walks[:, :3]),
            plain(), weighted(), weighted(weights=weights[:5]), plain(num_nodes=3), read(),
            read(text=named + b"x y\n"), read(weights=None), read(ids=ids[:10]), read(text="str"),
            read(text=b"1 2\n" * 300, weights=None), read(text=b"1 99999999999\n", weights=None)],
            [g, one, four, seed, small, visits, walks, named, ids, weights, read_weights, edges]),
        "engine-stopped": (10, [
            epoch(graph=edge, params=back_and_forth, embeddings=edge_matrices[0],
                  hidden_layer=edge_matrices[1], visits=edge_visits, progress=stop),
            walk(graph=edge, params=back_and_forth, walks=edge_walks, progress=stop)],
            [edge, back_and_forth, edge_matrices, edge_visits, edge_walks]),
    }


@pytest.mark.parametrize("name", ["graph-params", "train", "engine", "engine-stopped"])
def test_repeated_calls_leak_nothing(native, name, capfd):
    rounds, calls, tracked = scenarios(native)[name]  # successes, refusals and internal failures
    first = [outcome(call) for call in calls]
    for _ in range(min(20, rounds)):  # warm-up: lazily made objects, the pool, allocator caches
        assert [outcome(call) for call in calls] == first
    capfd.readouterr()
    gc.collect()
    refs = [sys.getrefcount(x) for x in tracked]
    blocks, memory, threads = sys.getallocatedblocks(), rss(), len(os.listdir("/proc/self/task"))

    for _ in range(rounds):
        for call, expected in zip(calls, first):
            assert outcome(call) == expected
        capfd.readouterr()  # drop the internal-failure reports of the panicking scenarios

    gc.collect()
    assert [sys.getrefcount(x) for x in tracked] == refs
    # A Python object left behind by one call per round adds `rounds` blocks; the interpreter's
    # and NumPy's own caches account for up to a couple of hundred.
    assert sys.getallocatedblocks() - blocks < rounds // 2
    assert len(os.listdir("/proc/self/task")) == threads
    if not under_sanitizer():  # 4 MB of growth is put down to allocator noise
        assert rss() - memory < 4 * 2**20, f"{(rss() - memory) / 2**20:.1f} MB more"
