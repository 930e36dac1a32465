"""How much of the Macro-F1 gap comes from the negative-sampling distribution.

Trains the gensim baseline on BlogCatalog twice, with gensim's negatives (count**0.75) and
with uniform negatives as velmor draws them, and scores both with the classification protocol
and splits of the main harness.

    bench/.venv/bin/python bench/harness/negatives.py
"""

import subprocess
import sys
from pathlib import Path

import numpy as np

from evaluate import classify, read_labels

HERE = Path(__file__).resolve().parent
DATA = HERE.parent.parent / "data" / "blogcatalog"
OUT = HERE.parent / "results" / "negatives"


def main() -> None:
    OUT.mkdir(parents=True, exist_ok=True)
    nodes, Y = read_labels(DATA / "labels.tsv")
    for exponent in (0.75, 0.0):
        prefix = OUT / f"gensim-ns{exponent}"
        subprocess.run([sys.executable, str(HERE / "runner.py"), "gensim", "--edges",
                        str(DATA / "edges.tsv"), "--out", str(prefix), "--ns-exponent",
                        str(exponent)], check=True)
        scores = classify(np.load(f"{prefix}.npy"), nodes, Y)
        print(f"gensim, negatives ~ count**{exponent}: Macro-F1 {scores['macro_f1']:.4f} "
              f"Micro-F1 {scores['micro_f1']:.4f}", flush=True)


if __name__ == "__main__":
    main()
