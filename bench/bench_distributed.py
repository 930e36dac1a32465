"""The block schedule on a local Ray cluster: what moves, what each actor holds, what Ray costs;
and the one-machine rates of the schedule's two steps, for the cost model in bench/README.md.

    python3 bench/bench_distributed.py cluster --nodes 100000 --actors 1 2 4
    python3 bench/bench_distributed.py kernel --nodes 100000 --rounds 3

cluster: for each K of --actors, velmor.distributed.fit on a Ray started here (2 CPUs, actors
of 2/K CPU), and the one-process deterministic fit; per K: episodes and blocks, fit time, the
bytes that actors hand each other per episode (parts of buckets and output blocks), each
actor's blocks and peak RSS next to the graph's arrays, and the wall time per sub-round that the
actors' own compute does not account for (Ray's scheduling and transfers, the ring's waits).

kernel: one process, the schedule's steps alone on one thread: walks drawn and bucketed (walk
steps per second), and buckets trained (pairs per second) at --dimensions and --negative,
interleaved over --rounds with min / median / max.

The graph is bench/harness/graphs.py's block_power_law of --nodes nodes (20 edges a node on
average). velmor comes from this checkout's python/ folder.
"""

import argparse
import statistics
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "harness"))
sys.path.insert(0, str(HERE.parent / "python"))
from velmor.engine._engine import (  # noqa: E402
    block_defaults,
    block_draw,
    block_negatives,
    block_order,
    block_train,
)

import graphs  # noqa: E402
import velmor  # noqa: E402
from velmor.distributed import fit as cluster_fit  # noqa: E402
from velmor.distributed.blocks import BlockLayout, graph_arrays  # noqa: E402
from velmor.engine import Node2VecParams  # noqa: E402


def settings(args):
    return dict(dimensions=args.dimensions, walk_length=args.walk_length,
                num_walks=args.num_walks, window_size=args.window, negative=args.negative,
                seed=1, progress=False)


def cluster(args, graph):
    import ray

    ray.init(num_cpus=2, include_dashboard=False, logging_level="ERROR", log_to_driver=False)
    arrays = graph_arrays(graph.csr)
    graph_bytes = sum(a.nbytes for a in arrays if isinstance(a, np.ndarray))
    n, d = graph.num_nodes, args.dimensions
    print(f"{n} nodes, {graph.num_edges} edges; graph arrays {graph_bytes / 2**20:.1f} MiB, "
          f"matrices {2 * n * d * 4 / 2**20:.1f} MiB")
    peak, private = idle_rss(ray)
    print(f"an idle actor with velmor imported: peak RSS {peak / 2**20:.0f} MiB, private "
          f"{private / 2**20:.0f} MiB")
    for k in args.actors:
        started = time.perf_counter()
        model = velmor.Node2Vec(deterministic=True, num_blocks=args.blocks, **settings(args))
        model.fit(graph)
        one = time.perf_counter() - started
        seen = {}

        def watch(epoch, episode, actors, seen=seen):
            seen["episodes"] = seen.get("episodes", 0) + 1
            seen["actors"] = actors
            seen.setdefault("first", time.perf_counter())
            if episode == seen.get("last_episode"):
                seen["stats"] = ray.get([a.stats.remote() for a in actors])

        seen["last_episode"] = -(-n // episode_walks(args, n)) - 1
        started = time.perf_counter()
        cluster_fit(graph, num_actors=k, num_blocks=args.blocks,
                    cpus_per_actor=2 / k, _on_episode=watch, **settings(args))
        total = time.perf_counter() - started
        stats, episodes = seen["stats"], seen["episodes"]
        busy = sum(s["busy"] for s in stats)
        wall = total - (seen["first"] - started)  # from the first episode on
        # The actors' compute, spread over the 2 CPUs (or fewer actors), against the wall time.
        compute = busy / min(k, 2)
        print(f"K={k} P={args.blocks}: {episodes} episodes; fit {total:.2f} s "
              f"(one process {one:.2f} s); per episode: "
              f"{sum(s['sent'] for s in stats) / episodes / 2**20:.2f} MiB handed between actors,"
              f" wall {wall / episodes * 1e3:.1f} ms, compute {compute / episodes * 1e3:.1f} ms;"
              f" not compute per sub-round {(wall - compute) / episodes / args.blocks * 1e3:.2f}"
              " ms")
        for rank, s in enumerate(stats):
            print(f"  actor {rank}: blocks {s['blocks'] / 2**20:.1f} MiB, private memory at "
                  f"the end {s['private'] / 2**20:.0f} MiB, peak RSS {s['peak_rss'] / 2**20:.0f}"
                  " MiB (with the object store's pages)")
    ray.shutdown()


def idle_rss(ray):
    """The peak RSS of an actor that has imported velmor and done nothing: what every actor
    costs before its blocks and the graph."""

    class Idle:
        def peak_rss(self):
            import resource

            import velmor.distributed.actor  # noqa: F401

            with open("/proc/self/status") as status:
                anon = next(int(line.split()[1]) * 1024 for line in status
                            if line.startswith("RssAnon:"))
            return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024, anon

    from velmor.distributed._ray import worker_environment

    actor = ray.remote(Idle).options(num_cpus=0.5, runtime_env=worker_environment()).remote()
    rss = ray.get(actor.peak_rss.remote())
    ray.kill(actor)
    return rss


def episode_walks(args, n):
    return block_defaults(num_nodes=n, max_walk_length=args.walk_length)[1]


def kernel(args, graph):
    n, d = graph.num_nodes, args.dimensions
    blocks = args.blocks
    layout = BlockLayout(n, blocks, 1)
    params = Node2VecParams(p=1.0, q=1.0, start_alpha=0.025, end_alpha=0.0001,
                            window=args.window, batch_size=1, max_walk_length=args.walk_length,
                            num_negative=args.negative, workers=1)
    order = np.arange(n, dtype=np.uint32)
    seed = block_order(next_random=7, order=order)
    walks = min(n, episode_walks(args, n) * 4)
    counts = np.ones(n, np.uint64)
    tables = []
    for members in layout.members:
        slots = np.empty((len(members), 2), np.uint32)
        block_negatives(graph=graph.csr, members=members, ns_exponent=0.75, noise_counts=counts,
                        slots=slots)
        tables.append(slots)
    rng = np.random.default_rng(0)
    emb = [(rng.random((len(m), d), dtype=np.float32) - 0.5) / d for m in layout.members]
    hid = [np.zeros((len(m), d), np.float32) for m in layout.members]
    draw_rates, train_rates = [], []
    for _ in range(args.rounds):
        started = time.perf_counter()
        pairs, begins = block_draw(graph=graph.csr, params=params, order=order, seed=seed,
                                   first=0, last=walks, block_of=layout.block_of,
                                   num_blocks=blocks, visits=None)
        drawn = time.perf_counter() - started
        draw_rates.append(walks * args.walk_length / drawn)
        pairs = layout.rank[np.frombuffer(pairs, np.uint32).reshape(-1, 2)]
        begins = np.frombuffer(begins, np.uint64)
        started = time.perf_counter()
        for b in range(blocks * blocks):
            i, j = divmod(b, blocks)
            bucket = pairs[begins[b]:begins[b + 1]]
            if len(bucket):
                block_train(embeddings=emb[i], hidden_layer=hid[j], pairs=bucket,
                            slots=tables[j], seed=seed, episode=0, input_block=i,
                            output_block=j, start_alpha=0.025, end_alpha=0.0001, first=0,
                            last=walks, epoch_walks=n, num_negative=args.negative,
                            shared_negatives=True)
        train_rates.append(len(pairs) / (time.perf_counter() - started))

    def spread(values):
        return (f"{min(values):,.0f} / {statistics.median(values):,.0f} / "
                f"{max(values):,.0f}")

    print(f"{n} nodes, P={blocks}, {walks} walks of {args.walk_length}, d={d}, "
          f"{args.negative} negatives (shared by 8 pairs), one thread")
    print(f"walk steps drawn and bucketed per second (min / median / max): {spread(draw_rates)}")
    print(f"pairs trained per second: {spread(train_rates)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("what", choices=["cluster", "kernel"])
    parser.add_argument("--nodes", type=int, default=100_000)
    parser.add_argument("--actors", type=int, nargs="+", default=[1, 2, 4])
    parser.add_argument("--blocks", type=int, default=8)
    parser.add_argument("--dimensions", type=int, default=128)
    parser.add_argument("--walk-length", type=int, default=20)
    parser.add_argument("--num-walks", type=int, default=1)
    parser.add_argument("--window", type=int, default=5)
    parser.add_argument("--negative", type=int, default=5)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    graph = velmor.Graph(graphs.block_power_law(args.nodes), num_nodes=args.nodes)
    (cluster if args.what == "cluster" else kernel)(args, graph)


if __name__ == "__main__":
    main()
