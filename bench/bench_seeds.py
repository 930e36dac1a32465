"""velmor against PecanPy, or velmor's update paths against each other, on one labelled graph over
many seeds, interleaved seed by seed, scored by the classification section's protocol
(Macro/Micro-F1, 5 splits) and, with --link, by the link section's (ROC AUC of held-out edges,
training on half of them). Prints each run, then the mean and standard deviation of each tool
and the mean paired difference of each tool from the first, with its standard error: a single
seed's difference is mostly noise, the mean over many is not.

    bench/.venv/bin/python bench/bench_seeds.py --seeds 50-57 [--graph blogcatalog] [--p 0.25]
    python bench/bench_seeds.py --seeds 50-57 --tools velmor-pair,velmor-shared --link

Tools: pecanpy, fastnode2vec, gensim; velmor (its defaults), velmor-pair
(shared_negatives=False), velmor-shared (shared_negatives=True); NAME@DIR imports velmor from
DIR instead of this checkout's python/ folder (another build to compare, e.g.
velmor-shared@/tmp/before/python). Runs the harness's
runner (bench/harness/runner.py) in a process per run, as bench/run.sh does.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "harness"))
import evaluate  # noqa: E402
import graphs  # noqa: E402


def seeds(text):
    lo, _, hi = text.partition("-")
    return list(range(int(lo), int(hi or lo) + 1))


def run_tool(tool, edges, prefix, a):
    """Runs `tool` on `edges` and returns its embedding."""
    name, _, directory = tool.partition("@")
    env = dict(os.environ, PYTHONPATH=str(Path(directory).resolve() if directory
                                          else HERE.parent / "python"))
    variant = {"velmor-shared": ["--shared-negatives"], "velmor-pair": ["--pair-negatives"]}
    subprocess.run([sys.executable, str(HERE / "harness" / "runner.py"),
                    "velmor" if name in variant else name, "--edges", str(edges), "--out",
                    prefix, "--p", str(a.p), "--q", str(a.q), "--seed", str(a.seed_now),
                    "--workers", str(a.workers)] + variant.get(name, []),
                   env=env, check=True, stdout=subprocess.DEVNULL)
    return np.load(prefix + ".npy")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seeds", type=seeds, required=True, help="a seed or a range, e.g. 50-57")
    ap.add_argument("--graph", default="blogcatalog", help="a labelled graph under data/")
    ap.add_argument("--p", type=float, default=0.25)
    ap.add_argument("--q", type=float, default=0.25)
    ap.add_argument("--tools", default="velmor,pecanpy")
    ap.add_argument("--workers", type=int, default=2,
                    help="threads of every tool (1: velmor's runs reproduce exactly)")
    ap.add_argument("--link", action="store_true",
                    help="also score link prediction on a split of the graph (split seed 0)")
    a = ap.parse_args()
    data = HERE.parent / "data" / a.graph
    nodes, Y = evaluate.read_labels(data / "labels.tsv")
    tools = a.tools.split(",")
    metrics = ["macro_f1", "micro_f1"] + (["auc"] if a.link else [])
    scores = {t: {m: {} for m in metrics} for t in tools}
    with tempfile.TemporaryDirectory() as out:
        if a.link:
            full = graphs.read_edges(data / "edges.tsv")
            n = int(full.max()) + 1
            split = graphs.link_split(graphs.canonical(full, n), n, seed=0)
            train_edges = Path(out) / "train_edges.tsv"
            graphs.write_edges(train_edges, split[0])
        for seed in a.seeds:
            a.seed_now = seed
            for tool in tools:
                prefix = f"{out}/{tool.replace('/', '_')}-{seed}"
                r = evaluate.classify(run_tool(tool, data / "edges.tsv", prefix, a), nodes, Y,
                                      repeats=5)
                if a.link:
                    train, test, train_neg, test_neg = split
                    emb = run_tool(tool, train_edges, prefix + "-link", a)
                    r.update(evaluate.link_auc(emb, train, train_neg, test, test_neg))
                for m in metrics:
                    scores[tool][m][seed] = r[m]
                print(f"{tool} seed {seed}: " + ", ".join(f"{m} {r[m]:.4f}" for m in metrics),
                      flush=True)
    for tool, s in scores.items():
        parts = []
        for m in metrics:
            v = list(s[m].values())
            sd = statistics.stdev(v) if len(v) > 1 else float("nan")
            parts.append(f"{m} {statistics.mean(v):.4f} (sd {sd:.4f})")
        print(f"{tool}: " + ", ".join(parts) + f", {len(a.seeds)} seeds")
    first = tools[0]
    for tool in tools[1:]:
        if len(a.seeds) < 2:
            break
        parts = []
        for m in metrics:
            diff = [scores[tool][m][s] - scores[first][m][s] for s in a.seeds]
            se = statistics.stdev(diff) / len(diff) ** 0.5
            parts.append(f"{m} {statistics.mean(diff):+.4f} (standard error {se:.4f})")
        print(f"{tool} - {first}: " + ", ".join(parts))


if __name__ == "__main__":
    main()
