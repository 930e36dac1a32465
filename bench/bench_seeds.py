"""velmor against PecanPy on one labelled graph over many seeds, interleaved seed by seed, scored
by the classification section's protocol (Macro/Micro-F1, 5 splits). Prints each run, then the
mean and standard deviation of each tool and the mean paired difference with its standard error:
a single seed's difference is mostly noise, the mean over many is not.

    bench/.venv/bin/python bench/bench_seeds.py --seeds 50-57 [--graph blogcatalog] [--p 0.25]

Runs the harness's runner (bench/harness/runner.py) in a process per run, as bench/run.sh does;
velmor comes from this checkout's python/ folder.
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


def seeds(text):
    lo, _, hi = text.partition("-")
    return list(range(int(lo), int(hi or lo) + 1))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seeds", type=seeds, required=True, help="a seed or a range, e.g. 50-57")
    ap.add_argument("--graph", default="blogcatalog", help="a labelled graph under data/")
    ap.add_argument("--p", type=float, default=0.25)
    ap.add_argument("--q", type=float, default=0.25)
    ap.add_argument("--tools", default="velmor,pecanpy")
    a = ap.parse_args()
    data = HERE.parent / "data" / a.graph
    nodes, Y = evaluate.read_labels(data / "labels.tsv")
    env = dict(os.environ, PYTHONPATH=str(HERE.parent / "python"))
    scores = {t: {} for t in a.tools.split(",")}
    with tempfile.TemporaryDirectory() as out:
        for seed in a.seeds:
            for tool in scores:
                prefix = f"{out}/{tool}-{seed}"
                subprocess.run([sys.executable, str(HERE / "harness" / "runner.py"), tool,
                                "--edges", str(data / "edges.tsv"), "--out", prefix,
                                "--p", str(a.p), "--q", str(a.q), "--seed", str(seed)],
                               env=env, check=True, stdout=subprocess.DEVNULL)
                r = evaluate.classify(np.load(prefix + ".npy"), nodes, Y, repeats=5)
                scores[tool][seed] = (r["macro_f1"], r["micro_f1"])
                print(f"{tool} seed {seed}: Macro-F1 {r['macro_f1']:.4f} "
                      f"Micro-F1 {r['micro_f1']:.4f}", flush=True)
    for tool, s in scores.items():
        macro = [m for m, _ in s.values()]
        micro = [m for _, m in s.values()]
        sd = statistics.stdev(macro) if len(macro) > 1 else float("nan")
        print(f"{tool}: Macro-F1 {statistics.mean(macro):.4f} (sd {sd:.4f}), "
              f"Micro-F1 {statistics.mean(micro):.4f}, {len(macro)} seeds")
    if len(scores) == 2 and len(a.seeds) > 1:
        first, second = scores.values()
        diff = [first[s][0] - second[s][0] for s in a.seeds]
        se = statistics.stdev(diff) / len(diff) ** 0.5
        print(f"{' - '.join(scores)}: Macro-F1 {statistics.mean(diff):+.4f} "
              f"(standard error {se:.4f})")


if __name__ == "__main__":
    main()
