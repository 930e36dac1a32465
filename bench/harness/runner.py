"""Runs one tool on one edge list, in a process of its own.

    python runner.py TOOL --edges FILE --out PREFIX [hyper-parameters]

TOOL is velmor, pecanpy, fastnode2vec, grape or gensim; with --weighted (velmor and pecanpy only)
the walks follow the weights in the file's third column. The script writes PREFIX.json with the
phase times, and (unless --no-save) PREFIX.npy: float32, one row per original node id
(row i = node i, NaN for ids missing from the graph). Only the tool under test is
imported, so the process's peak memory is that tool's.
"""

import argparse
import json
import os
import sys
import time

import numpy as np

from measure import memory

TOOLS = ("velmor", "pecanpy", "fastnode2vec", "grape", "gensim")
# Tools whose installed distribution has another name; GRAPE's walks and skip-gram are those
# of its Rust core, ensmallen, which is what bench/requirements.txt pins.
DISTRIBUTIONS = {"grape": "ensmallen"}
PECANPY_MODES = ("SparseOTF", "PreComp", "DenseOTF", "PreCompFirstOrder", "FirstOrderUnweighted")


def rss_peak():
    return memory()[1]


class Phases:
    def __init__(self):
        self.times = {}
        self._t = None

    def start(self):
        self._t = time.perf_counter()

    def stop(self, name):
        now = time.perf_counter()
        self.times[name] = now - self._t
        self._t = now


def run_velmor(a, ph):
    import velmor

    ph.start()
    if a.weighted:
        graph = velmor.read_edgelist(a.edges, weighted=True)
    else:
        graph = velmor.read_edgelist(a.edges)
    ph.stop("load")
    shared = False if a.pair_negatives else a.shared_negatives or None
    model = velmor.Node2Vec(dimensions=a.dim, walk_length=a.walk_length,
                            num_walks=a.walks_per_node, window_size=a.window, p=a.p, q=a.q,
                            negative=a.negative, ns_exponent=a.ns_exponent,
                            shared_negatives=shared, workers=a.workers,
                            seed=a.seed, progress=False)
    model.fit(graph)
    ph.stop("fit")
    return np.asarray(model.embeddings_), list(model.wv.index_to_key)


def word2vec_options(a):
    # One pass, skip-gram with negative sampling, no frequent-word down-sampling.
    return dict(vector_size=a.dim, window=a.window, sg=1, hs=0, negative=a.negative,
                sample=0, workers=a.workers, epochs=1, ns_exponent=a.ns_exponent)


def run_pecanpy(a, ph):
    from gensim.models import Word2Vec
    from pecanpy import pecanpy

    ph.start()
    mode = getattr(pecanpy, a.pecanpy_mode)
    g = mode(p=a.p, q=a.q, workers=a.workers, verbose=False, random_state=a.seed)
    g.read_edg(a.edges, weighted=a.weighted, directed=False, delimiter="\t")
    ph.stop("load")
    # PecanPy counts steps, not nodes: walk_length - 1 steps make walks of walk_length nodes.
    # The PreComp modes build their transition tables here, inside simulate_walks.
    walks = g.simulate_walks(num_walks=a.walks_per_node, walk_length=a.walk_length - 1)
    ph.stop("walk")
    model = Word2Vec(walks, min_count=0, seed=a.seed, **word2vec_options(a))
    ph.stop("train")
    return model.wv[g.nodes], list(g.nodes)


def run_fastnode2vec(a, ph):
    from fastnode2vec import Graph, Node2Vec

    def rows():
        # The same parsing as fastnode2vec's own file loader (build_graph), which cannot be
        # called directly in 0.0.7: it passes a keyword Graph() does not take.
        with open(a.edges) as f:
            for line in f:
                if not line.startswith("#"):
                    yield line.split()

    ph.start()
    graph = Graph(rows(), directed=False, weighted=False, verbose=False)
    ph.stop("load")
    # No seed: fastnode2vec reseeds numba's generator with it before every batch of walks,
    # so that every batch would reuse the same random numbers.
    model = Node2Vec(graph, dim=a.dim, walk_length=a.walk_length, window=a.window, p=a.p,
                     q=a.q, workers=a.workers, negative=a.negative, hs=0, sample=0)
    # One "epoch" of fastnode2vec is one walk from every node, trained in a single pass.
    model.train(epochs=a.walks_per_node, verbose=False)
    ph.stop("fit")
    return model.wv.vectors, list(model.wv.index_to_key)


def run_grape(a, ph):
    from ensmallen import Graph, models

    ph.start()
    graph = Graph.from_csv(edge_path=a.edges, edge_list_separator="\t", edge_list_header=False,
                           sources_column_number=0, destinations_column_number=1,
                           directed=False, verbose=False)
    ph.stop("load")
    # GRAPE's names for the common settings, and where they differ:
    # - return_weight and explore_weight are 1/p and 1/q.
    # - walk_length counts nodes, as ours does; iterations are the walks per node.
    # - One epoch is one fresh set of `iterations` walks from every node, trained once (its
    #   default of 30 epochs would be 300 walks per node here).
    # - max_neighbours=None: exact walks. Its default, 100, samples at most 100 neighbours at
    #   each step, which would spare it most of the work on the hubs of BlogCatalog.
    # - learning_rate: held constant through the pass (its decay, 0.9, applies between
    #   epochs), where word2vec's falls linearly from 0.025 to about 0 over it. GRAPE's own
    #   default, 0.01, kept here, is near that schedule's mean and scored higher on
    #   BlogCatalog than a constant 0.025 did.
    # - Negatives are drawn in proportion to the degree (use_scale_free_distribution, the
    #   default), about count**1; there is no exponent to set, so --ns-exponent is ignored.
    # - window_size: the same 10. GRAPE's documentation does not say whether it shrinks the
    #   window at random per position as word2vec does.
    # - Threads: rayon's pool, sized by RAYON_NUM_THREADS, which main() sets from --workers.
    model = models.SkipGram(embedding_size=a.dim, window_size=a.window,
                            number_of_negative_samples=a.negative, walk_length=a.walk_length,
                            return_weight=1 / a.p, explore_weight=1 / a.q,
                            iterations=a.walks_per_node, epochs=1, max_neighbours=None,
                            learning_rate=0.01, random_state=a.seed, verbose=False)
    # The centre-node vectors (word2vec's input vectors). Their rows are in GRAPE's own node
    # order, not the ids' (it numbers nodes as it meets them): the names give the ids back.
    central, _ = model.fit_transform(graph)
    ph.stop("fit")
    return central, graph.get_node_names()


def run_gensim(a, ph):
    from gensim.models import Word2Vec

    import walker

    ph.start()
    ids, indptr, indices = walker.load_edges(a.edges)
    ph.stop("load")
    walks = walker.node2vec_walks(indptr, indices, a.walks_per_node, a.walk_length, a.p, a.q,
                                  seed=a.seed)
    names = np.array([str(i) for i in ids], dtype=object)
    corpus = [names[w].tolist() for w in walks]
    del walks
    ph.stop("walk")
    model = Word2Vec(corpus, min_count=0, seed=a.seed, **word2vec_options(a))
    ph.stop("train")
    return model.wv[list(names)], list(names)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("tool", choices=TOOLS)
    ap.add_argument("--edges", required=True)
    ap.add_argument("--out", required=True, help="output prefix (PREFIX.json, PREFIX.npy)")
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--walk-length", type=int, default=80)
    ap.add_argument("--walks-per-node", type=int, default=10)
    ap.add_argument("--window", type=int, default=10)
    ap.add_argument("--negative", type=int, default=5)
    ap.add_argument("--p", type=float, default=0.25)
    ap.add_argument("--q", type=float, default=0.25)
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--seed", type=int, default=42)
    ap.add_argument("--ns-exponent", type=float, default=0.75,
                    help="negatives in proportion to count**x (0: uniform); fastnode2vec "
                    "counts every node once, so its negatives are uniform whatever x")
    ap.add_argument("--shared-negatives", action="store_true",
                    help="velmor: one draw of negatives per walk position (velmor's default)")
    ap.add_argument("--pair-negatives", action="store_true",
                    help="velmor: one draw of negatives per context pair, as word2vec")
    ap.add_argument("--weighted", action="store_true",
                    help="walk by the weights of the third column (velmor, pecanpy)")
    ap.add_argument("--pecanpy-mode", default="SparseOTF", choices=PECANPY_MODES)
    ap.add_argument("--no-save", action="store_true", help="skip writing the embeddings")
    a = ap.parse_args(argv)
    if a.weighted and a.tool not in ("velmor", "pecanpy"):
        ap.error(f"--weighted: {a.tool} is only run unweighted here")
    if a.pecanpy_mode in ("PreCompFirstOrder", "FirstOrderUnweighted") and (a.p, a.q) != (1, 1):
        ap.error(f"--pecanpy-mode {a.pecanpy_mode} walks are for p = q = 1 only")
    if a.pecanpy_mode == "FirstOrderUnweighted" and a.weighted:
        ap.error("--pecanpy-mode FirstOrderUnweighted ignores weights")

    t0 = time.perf_counter()
    run = globals()["run_" + a.tool]
    # Import the tool before the clock starts: import time is reported on its own.
    if a.tool == "velmor":
        import velmor  # noqa: F401
    elif a.tool == "pecanpy":
        import gensim.models  # noqa: F401
        import pecanpy.pecanpy  # noqa: F401
    elif a.tool == "fastnode2vec":
        import fastnode2vec  # noqa: F401
    elif a.tool == "grape":
        # rayon reads the variable once, when its pool starts.
        os.environ["RAYON_NUM_THREADS"] = str(a.workers)
        import ensmallen  # noqa: F401
    else:
        import gensim.models  # noqa: F401
    ph = Phases()
    ph.times["import"] = time.perf_counter() - t0
    rss_import = rss_peak()

    vectors, keys = run(a, ph)
    t = ph.times
    if "fit" not in t:
        t["fit"] = t["walk"] + t["train"]
    rss_fit = rss_peak()

    vectors = np.asarray(vectors, dtype=np.float32)
    ids = np.array([int(k) for k in keys], dtype=np.int64)
    report = {
        "tool": a.tool,
        "version": tool_version(a.tool),
        "edges": os.path.abspath(a.edges),
        "nodes": len(ids),
        "tokens": len(ids) * a.walks_per_node * a.walk_length,
        "params": {k: v for k, v in vars(a).items() if k not in ("tool", "edges", "out")},
        "times": {k: round(v, 4) for k, v in t.items()},
        "total_s": round(t["load"] + t["fit"], 4),
        "rss_after_import": rss_import,
        "rss_peak_fit": rss_fit,
    }
    if not a.no_save:
        table = np.full((ids.max() + 1, vectors.shape[1]), np.nan, dtype=np.float32)
        table[ids] = vectors
        np.save(a.out + ".npy", table)
    report["rss_peak"] = rss_peak()
    with open(a.out + ".json", "w") as f:
        json.dump(report, f, indent=1)
    return 0


def tool_version(tool):
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version(DISTRIBUTIONS.get(tool, tool))
    except PackageNotFoundError:
        return None


if __name__ == "__main__":
    sys.exit(main())
