"""Memory of KeyedVectors' similarity queries: what a query adds to the resident memory at its
peak, against the size of the vectors and of their norms.

    PYTHONPATH=python python bench/bench_keyed.py [--nodes 1000000] [--dimensions 128]

The vectors are random float32, keyed 0..n-1; the keys' list and index, which any query by key
needs, are made first and measured on their own. Measured on Linux by resetting the process's
peak resident size (/proc/self/clear_refs) before each step and reading it (VmHWM) after: the
first most_similar, which computes and keeps the norms; a second, which reuses them; and the
reset after the vectors change in place, fill_norms(force=True), which computes them again.
"""

import argparse
import ctypes
import time

import numpy as np

from velmor import KeyedVectors


def resident_mb(field: str) -> float:
    """VmRSS or VmHWM (the peak) of this process, in MB."""
    with open("/proc/self/status") as status:
        line = next(line for line in status if line.startswith(field + ":"))
    return int(line.split()[1]) / 1024


def peak_growth(action) -> tuple[float, float]:
    """How much the resident memory grew at its peak during action (MB), and its wall time.
    Freed memory is handed back to the system first, so that the action cannot reuse it
    unseen."""
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    before = resident_mb("VmRSS")
    started = time.perf_counter()
    action()
    return resident_mb("VmHWM") - before, time.perf_counter() - started


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, default=1_000_000)
    parser.add_argument("--dimensions", type=int, default=128)
    args = parser.parse_args()
    vectors = np.random.default_rng(0).standard_normal((args.nodes, args.dimensions),
                                                       dtype=np.float32)
    kv = KeyedVectors(vectors)
    print(f"{args.nodes} x {args.dimensions} float32: vectors {vectors.nbytes / 2**20:.0f} MiB, "
          f"norms {args.nodes * 4 / 2**20:.1f} MiB")
    growth, _ = peak_growth(lambda: (kv.index_to_key, kv.key_to_index))
    print(f"the keys' list and index (made once, for any query by key): {growth:.0f} MB")
    steps = {
        "first most_similar (computes the norms)": lambda: kv.most_similar(0, topn=10),
        "second most_similar (norms kept)": lambda: kv.most_similar(1, topn=10),
        "vectors changed in place, fill_norms(force=True)":
            lambda: (kv.vectors.__imul__(2), kv.fill_norms(force=True)),
    }
    for label, action in steps.items():
        growth, seconds = peak_growth(action)
        print(f"{label:<50} peak grows by {growth:7.1f} MB  {seconds:6.3f} s")


if __name__ == "__main__":
    main()
