"""The deterministic block schedule against Hogwild: quality over seeds, and speed and memory by
interleaved runs.

    python3 bench/bench_deterministic.py quality --seeds 50-57 [--graphs blogcatalog,football]
    python3 bench/bench_deterministic.py speed --graph blogcatalog --rounds 3
    python3 bench/bench_deterministic.py speed --graph sbm-300000 --rounds 3 --epochs 1

quality: for each graph and seed, both modes embed the whole graph (Macro/Micro-F1 by the
harness's classification protocol, 5 splits) and its link-prediction training half (AUC on the
held-out edges); prints each run, then per graph the means, standard deviations and the mean
paired difference with its standard error. d=128, 10 walks of 80 nodes per node, window 10, 5
negatives, p=q=0.25 on BlogCatalog and 1 elsewhere, as bench/harness does; 2 workers.

speed: the modes of --modes run in turn, round after round (A B C A B C ...), each in a process
of its own; prints each run's fit time and peak memory over the graph's own, then min, median
and max per mode and each mode's median ratio to the first. sbm-N is bench/harness/graphs.py's
block_power_law graph of N nodes, generated once under bench/results/graphs/.

velmor comes from this checkout's python/ folder.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE / "harness"))
sys.path.insert(0, str(ROOT / "python"))
import evaluate  # noqa: E402
import graphs  # noqa: E402

# name: Node2Vec arguments beyond the common ones
MODES = {
    "hogwild": dict(shared_negatives=False),
    "hogwild-shared": dict(shared_negatives=True),
    "deterministic": dict(shared_negatives=False, deterministic=True),
    "deterministic-shared": dict(shared_negatives=True, deterministic=True),
}


def seeds(text):
    lo, _, hi = text.partition("-")
    return list(range(int(lo), int(hi or lo) + 1))


def fit(edges, mode, seed, p, workers=2, **extra):
    import velmor

    settings = dict(dimensions=128, walk_length=80, num_walks=10, window_size=10, p=p, q=p,
                    workers=workers, seed=seed, progress=False)
    model = velmor.Node2Vec(**settings, **MODES[mode], **extra)
    return model.fit(velmor.Graph(edges)).embeddings_


def summary(name, values):
    sd = statistics.stdev(values) if len(values) > 1 else float("nan")
    return f"{name} {statistics.mean(values):.4f} (sd {sd:.4f})"


def quality(a):
    modes = a.modes.split(",")
    for graph in a.graphs.split(","):
        data = ROOT / "data" / graph
        full = graphs.read_edges(data / "edges.tsv")
        n = int(full.max()) + 1
        edges = graphs.canonical(full, n)
        nodes, labels = evaluate.read_labels(data / "labels.tsv")
        train, test, train_neg, test_neg = graphs.link_split(edges, n, seed=0)
        p = 0.25 if graph == "blogcatalog" else 1.0
        scores = {m: {"macro": [], "micro": [], "auc": []} for m in modes}
        for seed in a.seeds:
            # Alternate which mode goes first, so that neither always meets the same load.
            for mode in modes if seed % 2 == 0 else modes[::-1]:
                r = evaluate.classify(fit(edges, mode, seed, p), nodes, labels, repeats=5)
                auc = evaluate.link_auc(fit(train, mode, seed, p), train, train_neg, test,
                                        test_neg)["auc"]
                s = scores[mode]
                s["macro"].append(r["macro_f1"])
                s["micro"].append(r["micro_f1"])
                s["auc"].append(auc)
                print(f"{graph} {mode} seed {seed}: Macro-F1 {r['macro_f1']:.4f} "
                      f"Micro-F1 {r['micro_f1']:.4f} AUC {auc:.4f}", flush=True)
        for mode in modes:
            s = scores[mode]
            print(f"{graph} {mode}: " + ", ".join(summary(k, v) for k, v in s.items())
                  + f"; {len(a.seeds)} seeds")
        base = scores[modes[0]]
        for mode in modes[1:]:
            parts = []
            for key in ("macro", "micro", "auc"):
                diff = [x - y for x, y in zip(scores[mode][key], base[key])]
                se = statistics.stdev(diff) / len(diff) ** 0.5 if len(diff) > 1 else float("nan")
                parts.append(f"{key} {statistics.mean(diff):+.4f} (se {se:.4f})")
            print(f"{graph} {mode} - {modes[0]}: " + ", ".join(parts), flush=True)


def graph_edges(name):
    if name.startswith("sbm-"):
        n = int(name[4:])
        path = HERE / "results" / "graphs" / f"sbm-{n}.npy"
        if not path.exists():
            path.parent.mkdir(parents=True, exist_ok=True)
            np.save(path, graphs.block_power_law(n, seed=n))
        return np.load(path)
    full = graphs.read_edges(ROOT / "data" / name / "edges.tsv")
    return graphs.canonical(full, int(full.max()) + 1)


def one_run(a):
    """The child process of `speed`: one fit, its time and memory as JSON."""
    from measure import memory

    edges = graph_edges(a.graph)
    import velmor

    graph = velmor.Graph(edges)
    rss_before = memory()[0]
    extra = {"num_walks": a.epochs}
    if a.num_blocks:
        extra["num_blocks"] = a.num_blocks
    started = time.perf_counter()
    settings = dict(dimensions=128, walk_length=a.walk_length, window_size=10, p=1.0, q=1.0,
                    workers=a.workers, seed=a.seed, progress=False)
    velmor.Node2Vec(**settings, **MODES[a.mode], **extra).fit(graph)
    seconds = time.perf_counter() - started
    print(json.dumps(dict(seconds=seconds, peak_mib=(memory()[1] - rss_before) / 2**20)))


def speed(a):
    modes = a.modes.split(",")
    graph_edges(a.graph)  # generated once, before any timing
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"))
    times = {m: [] for m in modes}
    for r in range(a.rounds):
        for mode in modes:
            extra = ["--num-blocks", str(a.num_blocks)] if a.num_blocks and "det" in mode else []
            done = subprocess.run(
                [sys.executable, __file__, "one", "--graph", a.graph, "--mode", mode,
                 "--epochs", str(a.epochs), "--workers", str(a.workers), "--seed", str(r + 1),
                 "--walk-length", str(a.walk_length), *extra],
                env=env, check=True, capture_output=True, text=True)
            rec = json.loads(done.stdout.splitlines()[-1])
            times[mode].append(rec["seconds"])
            print(f"round {r + 1} {mode}: {rec['seconds']:.2f} s, peak +{rec['peak_mib']:.0f} MiB "
                  f"over the graph, load {os.getloadavg()[0]:.2f}", flush=True)
    base = statistics.median(times[modes[0]])
    for mode in modes:
        t = times[mode]
        print(f"{mode}: min {min(t):.2f} median {statistics.median(t):.2f} max {max(t):.2f} s; "
              f"median / {modes[0]}'s {statistics.median(t) / base:.2f}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = ap.add_subparsers(dest="command", required=True)
    q = sub.add_parser("quality")
    q.add_argument("--seeds", type=seeds, required=True, help="a seed or a range, e.g. 50-57")
    q.add_argument("--graphs", default="blogcatalog,polblogs,football")
    q.add_argument("--modes", default="hogwild,deterministic")
    s = sub.add_parser("speed")
    s.add_argument("--graph", default="blogcatalog", help="a graph under data/, or sbm-N")
    s.add_argument("--modes", default="hogwild,hogwild-shared,deterministic,deterministic-shared")
    s.add_argument("--rounds", type=int, default=3)
    s.add_argument("--epochs", type=int, default=10, help="walks per node")
    s.add_argument("--workers", type=int, default=2)
    s.add_argument("--num-blocks", type=int, default=0)
    s.add_argument("--walk-length", type=int, default=80)
    o = sub.add_parser("one")
    o.add_argument("--graph")
    o.add_argument("--mode")
    o.add_argument("--epochs", type=int)
    o.add_argument("--workers", type=int)
    o.add_argument("--seed", type=int)
    o.add_argument("--num-blocks", type=int, default=0)
    o.add_argument("--walk-length", type=int, default=80)
    a = ap.parse_args()
    {"quality": quality, "speed": speed, "one": one_run}[a.command](a)


if __name__ == "__main__":
    main()
