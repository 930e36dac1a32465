"""The command's cluster flags, ``--ray ADDRESS --actors K``: training on a Ray cluster, with
the output bit-identical to ``--deterministic`` on one machine with the same blocks."""

from __future__ import annotations

import argparse

import numpy as np

# --ray's value for a cluster that Ray starts on this machine for the run.
LOCAL = "local"


def add_cluster_flags(parser: argparse.ArgumentParser) -> None:
    cluster = parser.add_argument_group("cluster (needs pip install 'velmor[ray]')")
    cluster.add_argument("--ray", metavar="ADDRESS", default=None,
                         help="train on the Ray cluster at ADDRESS ('auto' for the one 'ray "
                              "start' runs here, host:port, or 'local' for one "
                              "started for this run); implies --deterministic")
    cluster.add_argument("--actors", type=int, default=None, metavar="K",
                         help="Ray actors, each holding 1/K of the vectors (default: 2)")
    cluster.add_argument("--num-blocks", type=int, default=None, metavar="P",
                         help="blocks of nodes of --ray or --deterministic, a multiple of "
                              "--actors; the output depends on it (default: one per 256 nodes, "
                              "1 to 16, rounded up to a multiple of --actors)")


def check_cluster_flags(args: argparse.Namespace) -> str | None:
    """The usage error of the cluster flags, if any."""
    if args.ray is None:
        if args.actors is not None:
            return "--actors applies only with --ray"
        if args.num_blocks is not None and not args.deterministic:
            return "--num-blocks applies only with --ray or --deterministic"
        return None
    if args.save_model is not None:
        return "--save-model is not available with --ray: the cluster returns the vectors alone"
    if args.actors is not None and args.actors < 1:
        return f"--actors must be at least 1, got {args.actors}"
    if args.num_blocks is not None and not 1 <= args.num_blocks <= 256:
        return f"--num-blocks must be between 1 and 256, got {args.num_blocks}"
    actors = args.actors or 2
    if args.num_blocks is not None and args.num_blocks % actors:
        return f"--num-blocks ({args.num_blocks}) must be a multiple of --actors ({actors})"
    return None


def fit_on_cluster(args: argparse.Namespace, params: dict, graph) -> np.ndarray:
    """The embeddings of ``graph`` trained on the cluster that the flags name."""
    from velmor.distributed.driver import fit

    params = {k: v for k, v in params.items() if k not in ("deterministic", "num_blocks")}
    return fit(graph, num_actors=args.actors or 2, num_blocks=args.num_blocks,
               ray_address=None if args.ray == LOCAL else args.ray, **params).vectors
