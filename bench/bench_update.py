"""Growing a graph: the new nodes' quality and the update's cost against a full retraining.

For each seed: hold out a random fraction of the nodes (and every edge that touches them), fit
on the rest, then `update` with the whole graph; separately, fit the whole graph from scratch.
The held-out labelled nodes are scored by a classifier trained on the old labelled nodes'
vectors alone (as a deployed classifier would have been), with the node2vec paper's one-vs-rest
logistic regression and top-k labels: from the update, from the full retraining (its own old
nodes' vectors training the classifier), and from their untrained starting vectors. The update
and the retraining run in turn, seed after seed (A B A B ...), and are timed alike.

    python3 bench/bench_update.py --graph blogcatalog --seeds 1-8 [--p 0.25 --q 0.25]

velmor comes from this checkout's python/ folder (PYTHONPATH=python); scikit-learn is needed.
"""

import argparse
import statistics
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "harness"))
import evaluate  # noqa: E402
import velmor  # noqa: E402
from velmor._matrix import starting_matrices  # noqa: E402


def seeds(text):
    lo, _, hi = text.partition("-")
    return list(range(int(lo), int(hi or lo) + 1))


def held_out_scores(vectors, nodes, Y, old):
    """Macro/Micro-F1 of the held-out labelled nodes, the classifier trained on the old ones.
    `vectors` is a function from node ids to rows."""
    return evaluate.score_split(vectors(nodes[old]), Y[old], vectors(nodes[~old]), Y[~old])


def run_seed(edges, n, nodes, Y, seed, a):
    rng = np.random.default_rng(seed)
    held = rng.choice(n, int(round(a.holdout * n)), replace=False)
    is_held = np.zeros(n, dtype=bool)
    is_held[held] = True
    old_edges = edges[~is_held[edges].any(axis=1)]
    kept = np.flatnonzero(~is_held)  # the old graph names its nodes by their ids
    old_graph = velmor.Graph(np.searchsorted(kept, old_edges), names=kept)
    whole = velmor.Graph(edges, names=np.arange(n))
    settings = dict(dimensions=128, walk_length=80, num_walks=10, window_size=10, p=a.p, q=a.q,
                    seed=seed, progress=False)

    model = velmor.Node2Vec(**settings).fit(old_graph)
    start, trained = model.embeddings_.copy(), model.linked_.astype(bool)
    started = time.perf_counter()
    model.update(whole, num_walks=a.update_walks)
    update_time = time.perf_counter() - started
    # The old vectors did not move (but those of old nodes whose edges all went to held-out
    # nodes, never trained, which the update trains as new).
    assert np.array_equal(model.embeddings_[kept[trained]], start[trained])

    started = time.perf_counter()
    retrained = velmor.Node2Vec(**settings).fit(whole)
    retrain_time = time.perf_counter() - started

    # The held-out nodes' vectors as the update starts them, before any training (the old ones
    # replaced by the model's).
    untrained, _ = starting_matrices(np.random.default_rng([seed, 1]), n, 128)
    untrained[kept] = start
    old = ~is_held[nodes]
    return {
        "update": held_out_scores(lambda ids: model.embeddings_[ids], nodes, Y, old),
        "retrain": held_out_scores(lambda ids: retrained.embeddings_[ids], nodes, Y, old),
        "untrained": held_out_scores(lambda ids: untrained[ids], nodes, Y, old),
        "update_time": update_time, "retrain_time": retrain_time,
        "starts": int(is_held.sum()), "held_labelled": int((~old).sum()),
    }


def spread(values, digits=3):
    return (f"median {statistics.median(values):.{digits}f} (min {min(values):.{digits}f}, "
            f"max {max(values):.{digits}f})")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--graph", default="blogcatalog", help="a labelled graph under data/")
    ap.add_argument("--seeds", type=seeds, default=seeds("1-8"))
    ap.add_argument("--holdout", type=float, default=0.1)
    ap.add_argument("--p", type=float, default=0.25)
    ap.add_argument("--q", type=float, default=0.25)
    ap.add_argument("--update-walks", type=int, default=None,
                    help="num_walks of the update (default: the model's)")
    a = ap.parse_args()
    data = HERE.parent / "data" / a.graph
    edges = np.loadtxt(data / "edges.tsv", dtype=np.int64, comments="#", ndmin=2, usecols=(0, 1))
    n = int(edges.max()) + 1
    nodes, Y = evaluate.read_labels(data / "labels.tsv")
    results = []
    for seed in a.seeds:
        r = run_seed(edges, n, nodes, Y, seed, a)
        results.append(r)
        print(f"seed {seed}: held-out Macro-F1 update {r['update']['macro_f1']:.4f}, retrain "
              f"{r['retrain']['macro_f1']:.4f}, untrained {r['untrained']['macro_f1']:.4f}; "
              f"update {r['update_time']:.2f} s, retrain {r['retrain_time']:.2f} s "
              f"({r['starts']} new nodes, {r['held_labelled']} labelled)", flush=True)
    print(f"{a.graph}, {len(results)} seeds, {a.holdout:.0%} of the nodes held out, "
          f"p={a.p} q={a.q}:")
    for kind in ("update", "retrain", "untrained"):
        for metric in ("macro_f1", "micro_f1"):
            values = [r[kind][metric] for r in results]
            sd = statistics.stdev(values) if len(values) > 1 else float("nan")
            print(f"  {kind:9s} {metric}: mean {statistics.mean(values):.4f} (sd {sd:.4f})")
    gaps = [r["retrain"]["macro_f1"] - r["update"]["macro_f1"] for r in results]
    if len(gaps) > 1:
        print(f"  retrain - update Macro-F1: mean {statistics.mean(gaps):.4f} (standard error "
              f"{statistics.stdev(gaps) / len(gaps) ** 0.5:.4f})")
    print(f"  update time {spread([r['update_time'] for r in results], 2)} s")
    print(f"  retrain time {spread([r['retrain_time'] for r in results], 2)} s")
    print(f"  update / retrain {spread([r['update_time'] / r['retrain_time'] for r in results])}")


if __name__ == "__main__":
    main()
