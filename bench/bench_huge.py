"""A graph as large as the machine holds, end to end: edge-list file in, embeddings file out.

Reads the file with velmor.read_edgelist, fits Node2Vec with one walk per node (d=128, window
10, 5 negatives, p=q=0.25, 2 workers, seed 42; negatives shared per position, as velmor does by
default at this size) and writes the vectors as .npy, timing each step; then times one round of
walks alone (the count that fit makes before training) so that the epoch's own time can be
told apart. Prints peak RSS, the cost per walk and a projection for 10 walks of 80 per node
(walks and training both scale with the walk length).

    python bench/bench_huge.py EDGES.tsv OUT.npy [--walk-length 20]

bench/harness/graphs.py makes the graph: block_power_law(10_000_000) written by write_edges.
"""

import argparse
import os
import resource
import time

import numpy as np

import velmor
from velmor.engine import count_visits


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("edges")
    ap.add_argument("output")
    ap.add_argument("--walk-length", type=int, default=80)
    ap.add_argument("--workers", type=int, default=2)
    args = ap.parse_args()
    print(f"load average before: {os.getloadavg()[0]:.2f}", flush=True)

    t0 = time.perf_counter()
    graph = velmor.read_edgelist(args.edges)
    t1 = time.perf_counter()
    n = graph.num_nodes
    print(f"read {n:,} nodes, {graph.num_edges:,} edges in {t1 - t0:.1f} s; "
          f"peak RSS {rss_gib():.2f} GiB", flush=True)
    model = velmor.Node2Vec(dimensions=128, walk_length=args.walk_length, num_walks=1,
                            window_size=10, negative=5, p=0.25, q=0.25, workers=args.workers,
                            seed=42, progress=False)
    model.fit(graph)
    t2 = time.perf_counter()
    print(f"fit (one round of walks counted, one epoch trained) in {t2 - t1:.1f} s; "
          f"peak RSS {rss_gib():.2f} GiB", flush=True)
    np.save(args.output, model.embeddings_)
    t3 = time.perf_counter()
    print(f"wrote {args.output} in {t3 - t2:.1f} s", flush=True)

    params = velmor.engine.Node2VecParams(
        p=0.25, q=0.25, start_alpha=0.025, end_alpha=0.0001, window=10, batch_size=256,
        max_walk_length=args.walk_length, num_negative=5, workers=args.workers)
    t4 = time.perf_counter()
    count_visits(graph=graph.csr, params=params, next_random=1,
                 visits=np.zeros(n, dtype=np.uint64))
    walks = time.perf_counter() - t4
    epoch = (t2 - t1) - walks
    scale = 80 / args.walk_length
    print(f"walks alone: {walks:.1f} s ({walks / n * 1e6:.1f} us per walk); epoch (walks and "
          f"training): {epoch:.1f} s ({epoch / n * 1e6:.1f} us per walk)")
    print(f"projection for 10 walks of 80 per node: {(walks + 10 * epoch) * scale / 3600:.1f} h "
          f"of fit, plus {t1 - t0:.0f} s of reading; peak RSS {rss_gib():.2f} GiB")
    print(f"load average after: {os.getloadavg()[0]:.2f}")


def rss_gib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**20


if __name__ == "__main__":
    main()
