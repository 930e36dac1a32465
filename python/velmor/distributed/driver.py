"""``fit`` on a Ray cluster: the driver that schedules the block schedule's steps on actors.

Per episode the driver submits every actor's calls at once and lets Ray run them as their
inputs arrive: the draws, the all-to-all exchange of buckets (each actor's parts go, as object
references, straight to the actor that trains them), and the P sub-rounds, in which each output
block moves one actor along the ring as a sub-round's result. It then waits for the episode's
checkpoints. When an actor dies, Ray restarts it; the driver puts every actor back to the last
checkpoint and replays the episode, which gives the same bits.
"""

from __future__ import annotations

import os

import numpy as np

from velmor._checks import check_int, check_real
from velmor.distributed._ray import connect, import_ray, worker_environment
from velmor.distributed.actor import BlockActor, OutOfStep
from velmor.distributed.blocks import BlockLayout, graph_arrays, skip_starting_matrices
from velmor.engine import Node2VecParams, count_visits
from velmor.engine._engine import block_defaults
from velmor.graph_input import GRAPH_OPTIONS, as_graph
from velmor.keyed import KeyedVectors
from velmor.model import (
    Node2Vec,
    _note_untrained,
    _progress_bar,
    _seed_after,
    round_params,
    shares_negatives,
)


def fit(graph_or_path, num_actors: int = 2, *, num_blocks: int | None = None,
        episode_walks: int | None = None, ray_address: str | None = None,
        cpus_per_actor: float = 1.0, max_restarts: int = 3, directed: bool | None = None,
        _on_episode=None, **params) -> KeyedVectors:
    """Learn node embeddings on a Ray cluster, bit-identical to one machine's deterministic fit.

    ``num_actors`` actors each hold the input rows of ``num_blocks / num_actors`` blocks of the
    nodes for the whole run, and pass the output blocks around a ring; the graph is put into
    Ray's object store once. The result equals
    ``Node2Vec(deterministic=True, num_blocks=num_blocks, **params).fit(graph_or_path).wv``
    bit for bit, whatever the number of actors and machines.

    Parameters
    ----------
    graph_or_path : Graph, array_like of shape (E, 2), scipy.sparse matrix, nx.Graph or path
        The graph, in any form that :meth:`Node2Vec.fit` takes.
    num_actors : int, default 2
        Ray actors, K. Each holds about 1/K of the two training matrices, and the whole graph.
    num_blocks : int, optional
        Blocks of the schedule, P: a multiple of ``num_actors``, at most 256; the embeddings
        depend on it. Default: the one-machine default (one block per 256 nodes, 1 to 16)
        rounded up to a multiple of ``num_actors``.
    episode_walks : int, optional
        Walks of an episode, 1 to 2**20; the embeddings depend on it. Every episode sends
        every output block once around the ring, so on large graphs the longest episodes cost
        the least traffic. Default: the one-machine default (a sixteenth of the walks, at most
        2**16 // walk_length); another value equals the engine's ``train_epoch(...,
        episode_walks=)``, which Node2Vec does not expose.
    ray_address : str, optional
        The cluster to join (``"auto"``, ``"host:6379"``; a ``ray://`` address of Ray Client
        needs ``ray[client]``, and velmor is not tested through it). Default: the
        one this process has joined (``ray.init``), else a local one started for this call.
    cpus_per_actor : float, default 1.0
        CPUs Ray reserves for each actor; fractions let several actors share a CPU. An actor
        draws its walks on that many threads (rounded, at least 1; ``workers`` overrides it) and
        trains the buckets of a sub-round on as many.
    max_restarts : int, default 3
        How often Ray restarts an actor that dies; the run then resumes from the last episode.
    directed : bool, optional
        As in :meth:`Node2Vec.fit`.
    **params
        Node2Vec's parameters (``dimensions``, ``walk_length``, ``num_walks``, ``seed``, ...),
        and the options of what reads the graph, as :meth:`Node2Vec.fit` takes them
        (``fit(path, weighted=True)``, ``fit(G, weight="w")``).

    Returns
    -------
    KeyedVectors
        The embeddings, by node name.

    Raises
    ------
    ImportError
        If Ray is not installed.
    ValueError
        If a parameter is out of range, or the cluster has fewer CPUs than the actors ask for.
    KeyboardInterrupt
        On Ctrl-C: the actors are stopped, and nothing is returned.
    """
    if "deterministic" in params:
        raise TypeError("fit() trains by the deterministic schedule alone; leave out "
                        "deterministic=")
    ray = import_ray()
    num_actors = check_int("num_actors", num_actors, minimum=1, maximum=256)
    check_real("cpus_per_actor", cpus_per_actor, positive=True)
    max_restarts = check_int("max_restarts", max_restarts, minimum=0)
    if num_blocks is not None:
        num_blocks = check_int("num_blocks", num_blocks, minimum=1, maximum=256)
        if num_blocks % num_actors:
            raise ValueError(f"num_blocks ({num_blocks}) must be a multiple of num_actors "
                             f"({num_actors})")
    graph_options = {k: params.pop(k) for k in list(params) if k in GRAPH_OPTIONS}
    model = Node2Vec(**{**params, "deterministic": True, "num_blocks": num_blocks})
    settings = model.check_params()
    graph = as_graph(graph_or_path, directed, **graph_options)
    n, dimensions = graph.num_nodes, settings["dimensions"]
    default_blocks, default_walks = block_defaults(num_nodes=n,
                                                   max_walk_length=settings["walk_length"])
    episode_walks = default_walks if episode_walks is None else \
        check_int("episode_walks", episode_walks, minimum=1, maximum=1 << 20)
    if num_blocks is None:
        num_blocks = -(-default_blocks // num_actors) * num_actors
        if num_blocks > 256:
            raise ValueError(f"num_actors ({num_actors}) leaves no number of blocks: at most "
                             "256 blocks, a multiple of num_actors")
    _note_untrained(graph, settings["walk_length"])

    # The seeds a one-machine fit draws, in its order: the starting matrix, then one per round
    # after the counting round's.
    seed = settings["seed"]
    if seed is None:
        seed = int(np.random.SeedSequence().entropy)
    rng = np.random.default_rng(seed)
    skip_starting_matrices(rng, n, dimensions)
    rounds = settings["num_walks"] * settings["epochs"]
    alpha, min_alpha = settings["alpha"], settings["min_alpha"]
    count_seed = _seed_after(rng, rounds)
    job = dict(num_nodes=n, num_blocks=num_blocks, num_actors=num_actors, seed=seed,
               dimensions=dimensions, episode_walks=episode_walks,
               ns_exponent=settings["ns_exponent"],
               shared_negatives=shares_negatives(settings),
               # An actor's threads: those of `workers`, else one per CPU reserved for it.
               threads=settings["workers"] or max(1, round(cpus_per_actor)))

    def params_of(epoch):
        return {**round_params(settings, n, epoch, rounds, alpha, min_alpha),
                "workers": job["threads"]}

    visits = None
    if settings["ns_exponent"]:
        visits = np.zeros(n, np.uint64)
        count_visits(graph=graph.csr, params=Node2VecParams(**params_of(0)),
                     next_random=count_seed, visits=visits)

    connected = connect(ray, ray_address)
    actors = []
    # The calls of an episode that an actor's death cut short fail, and are replayed: Ray would
    # report each of their errors as unhandled when their references go.
    quiet = _IGNORE_FAILED_CALLS not in os.environ
    os.environ.setdefault(_IGNORE_FAILED_CALLS, "1")
    try:
        # Actors that the cluster has no CPUs for would wait for them, silently, for ever.
        cpus = ray.cluster_resources().get("CPU", 0)
        if num_actors * cpus_per_actor > cpus:
            raise ValueError(f"num_actors ({num_actors}) times cpus_per_actor "
                             f"({cpus_per_actor:g}) is {num_actors * cpus_per_actor:g} CPUs, "
                             f"more than the Ray cluster's {cpus:g}")
        graph_ref = ray.put(graph_arrays(graph.csr))
        remote = ray.remote(BlockActor).options(
            num_cpus=cpus_per_actor, max_restarts=max_restarts, max_task_retries=0,
            scheduling_strategy="SPREAD", runtime_env=worker_environment())
        actors = [remote.remote(k, job) for k in range(num_actors)]
        run = _Run(ray, actors, job, graph_ref, max_restarts, _on_episode)
        with _progress_bar(rounds * n, settings["progress"]) as bar:
            for epoch in range(rounds):
                next_random = int(rng.integers(2**64, dtype=np.uint64))
                epoch_visits = run.epoch(epoch, params_of(epoch), next_random, visits,
                                         lambda walks, e=epoch: bar.show(e * n + walks))
                if visits is not None:
                    for ref in epoch_visits:
                        visits += ray.get(ref)
        embeddings = np.empty((n, dimensions), np.float32)
        layout = BlockLayout(n, num_blocks, num_actors)
        for a in actors:  # one actor's blocks at a time
            for b, block in ray.get(a.embeddings.remote()).items():
                embeddings[layout.members[b]] = block
    finally:
        for a in actors:
            ray.kill(a, no_restart=True)
        if connected:
            ray.shutdown()
        if quiet:
            os.environ.pop(_IGNORE_FAILED_CALLS, None)
    return KeyedVectors(embeddings, graph.names)


_IGNORE_FAILED_CALLS = "RAY_IGNORE_UNHANDLED_ERRORS"


class _Run:
    """The episodes of a run on its actors, with the last checkpoint to resume from."""

    def __init__(self, ray, actors, job, graph, max_restarts, on_episode):
        self.ray = ray
        self.actors = actors
        self.job = job
        self.graph = graph
        self.retries = max_restarts
        self.on_episode = on_episode
        self.saved = [a.checkpoint.options(num_returns=2).remote() for a in actors]
        self.saved_epoch = None

    def epoch(self, epoch, params, next_random, visits, show):
        """Trains one epoch; returns the references of each actor's visits in it."""
        noise = self.ray.put(visits) if visits is not None else None
        start = (epoch, params, next_random, noise)
        self.ray.get([a.load_graph.remote(self.graph) for a in self.actors])
        self.ray.get([a.start_epoch.remote(*start) for a in self.actors])
        n, per = self.job["num_nodes"], self.job["episode_walks"]
        for episode in range(-(-n // per)):
            for attempt in range(self.retries + 1):
                try:
                    self.episode(epoch, episode)
                    break
                except self.ray.exceptions.RayError as error:
                    if not _lost_an_actor(self.ray, error) or attempt == self.retries:
                        raise
                    self.resume(epoch, start)
            show(min(n, (episode + 1) * per))
        return [visits_ref for _, visits_ref in self.saved]

    def episode(self, epoch, episode):
        actors, count = self.actors, len(self.actors)
        drawn = [a.draw.options(num_returns=count).remote(episode) for a in actors]
        if count == 1:
            drawn = [[refs] for refs in drawn]
        # The first sub-round takes every actor's part for its own input blocks: the exchange
        # of buckets goes from actor to actor through the object store.
        passed = [a.train.remote(episode, 0, None, *[drawn[k][d] for k in range(count)])
                  for d, a in enumerate(actors)]
        for s in range(1, self.job["num_blocks"]):
            passed = [actors[k].train.remote(episode, s, passed[(k + 1) % count])
                      for k in range(count)]
        ends = [actors[k].finish_episode.options(num_returns=3).remote(
                    episode, passed[(k + 1) % count]) for k in range(count)]
        if self.on_episode is not None:
            self.on_episode(epoch, episode, actors)
        self.ray.get([done for _, _, done in ends])
        self.saved = [(blocks, visits) for blocks, visits, _ in ends]
        self.saved_epoch = epoch

    def resume(self, epoch, start):
        """Every actor back to the last checkpoint, once Ray has restarted the dead one."""
        self.ray.get([a.load_graph.remote(self.graph) for a in self.actors])
        self.ray.get([a.start_epoch.remote(*start) for a in self.actors])
        same_epoch = self.saved_epoch == epoch
        self.ray.get([a.restore.remote(blocks, visits if same_epoch else None)
                      for a, (blocks, visits) in zip(self.actors, self.saved)])


def _lost_an_actor(ray, error) -> bool:
    """Whether a failure is an actor's death, a call that needed its result, or a call to the
    restarted actor that found its state gone: a replay from the checkpoint mends those, unlike
    a fault of the run itself."""
    lost = (ray.exceptions.RayActorError, ray.exceptions.ActorUnavailableError, OutOfStep)
    return isinstance(error, lost) or isinstance(getattr(error, "cause", None), lost)
