"""Training on a Ray cluster (simulated nodes on this machine): the same bits as the one-process
block schedule, whatever the number of actors and nodes, also when an actor dies mid-epoch."""

import os
import signal

import numpy as np
import pytest

import velmor
from conftest import KARATE, KARATE_FILE, KARATE_WEIGHTS, run_cli, run_python, under_sanitizer

if under_sanitizer():
    pytest.skip("Ray's workers do not run under a sanitizer's runtime", allow_module_level=True)
ray = pytest.importorskip("ray")

from ray.cluster_utils import Cluster  # noqa: E402

from velmor.distributed import fit  # noqa: E402

STORE = 100 << 20  # bytes of object store a node


@pytest.fixture(scope="module")
def cluster():
    """One cluster for the module (each start costs seconds): a head node and worker nodes of
    one CPU each, added or removed as a test asks; actors take half a CPU, so 4 fit."""
    cluster = Cluster(initialize_head=True,
                      head_node_args=dict(num_cpus=1, object_store_memory=STORE))
    ray.init(address=cluster.address, logging_level="ERROR", log_to_driver=False)
    try:
        yield cluster
    finally:
        ray.shutdown()
        cluster.shutdown()


def with_nodes(cluster, count):
    workers = [node for node in cluster.list_all_nodes() if node is not cluster.head_node]
    while len(workers) < count - 1:
        workers.append(cluster.add_node(num_cpus=1, object_store_memory=STORE))
    while len(workers) > count - 1:
        cluster.remove_node(workers.pop())
    cluster.wait_for_nodes()


def large_graph():
    """10^4 nodes, 4 * 10^4 random edges over a ring that keeps every node on an edge."""
    n = 10_000
    rng = np.random.default_rng(0)
    ring = np.stack([np.arange(n), (np.arange(n) + 1) % n], axis=1)
    return np.concatenate([ring, rng.integers(0, n, size=(3 * n, 2))])


SMALL = dict(dimensions=8, walk_length=12, num_walks=2, window_size=4, negative=3, seed=3)
CASES = [
    pytest.param(2, 2, 4, KARATE, SMALL, id="karate-2nodes-2actors"),
    pytest.param(3, 4, 4, KARATE, dict(SMALL, ns_exponent=0.0), id="karate-3nodes-4actors"),
    pytest.param(3, 3, 6, velmor.Graph(KARATE, weights=KARATE_WEIGHTS),
                 dict(SMALL, shared_negatives=True), id="weighted-3nodes-3actors"),
    # Episodes of 3,000 walks: each actor draws several chunks of 256.
    pytest.param(2, 4, 8, large_graph(),
                 dict(dimensions=16, walk_length=10, num_walks=1, window_size=3, seed=1,
                      episode_walks=3000), id="10k-2nodes-4actors"),
]


def one_process(graph, num_blocks, params, monkeypatch=None):
    params = dict(params)
    if "episode_walks" in params:  # the engine's, which Node2Vec leaves at its default
        schedule = dict(deterministic=True, num_blocks=num_blocks,
                        episode_walks=params.pop("episode_walks"))
        monkeypatch.setattr(velmor.model, "_schedule", lambda settings: schedule)
    model = velmor.Node2Vec(deterministic=True, num_blocks=num_blocks, progress=False, **params)
    return model.fit(graph).wv.vectors


@pytest.mark.parametrize("nodes, actors, blocks, graph, params", CASES)
def test_a_cluster_trains_the_bits_of_one_process(cluster, monkeypatch, nodes, actors, blocks,
                                                  graph, params):
    with_nodes(cluster, nodes)
    vectors = fit(graph, num_actors=actors, num_blocks=blocks, cpus_per_actor=0.5,
                  progress=False, **params).vectors
    assert vectors.tobytes() == one_process(graph, blocks, params, monkeypatch).tobytes()


def test_the_options_of_what_reads_the_graph_reach_it(cluster):
    with_nodes(cluster, 1)
    lesmis = KARATE_FILE.parent.parent / "lesmis" / "edges.tsv"  # weighted co-appearances
    vectors = fit(lesmis, num_actors=2, num_blocks=2, cpus_per_actor=0.5, weighted=True,
                  progress=False, **SMALL).vectors
    one = velmor.Node2Vec(deterministic=True, num_blocks=2, progress=False, **SMALL)
    assert vectors.tobytes() == one.fit(lesmis, weighted=True).wv.vectors.tobytes()


@pytest.mark.parametrize("kill", [
    lambda actor, pid: ray.kill(actor, no_restart=False),
    lambda actor, pid: os.kill(pid, signal.SIGKILL),
], ids=["ray.kill", "SIGKILL"])
def test_an_actor_killed_mid_epoch_changes_nothing(cluster, kill):
    with_nodes(cluster, 2)
    pids, killed = [], []

    def kill_once(epoch, episode, actors):
        if not pids:
            pids.extend(ray.get(a.stats.remote())["pid"] for a in actors)
        # Called once an episode's calls are in flight: the actor dies inside the episode, with
        # visits of the epoch counted that the next epoch's negatives follow.
        if (epoch, episode) == (0, 3) and not killed:
            killed.append(episode)
            kill(actors[1], pids[1])

    vectors = fit(KARATE, num_actors=2, num_blocks=4, cpus_per_actor=0.5, progress=False,
                  _on_episode=kill_once, **SMALL).vectors
    assert killed and vectors.tobytes() == one_process(KARATE, 4, SMALL).tobytes()


@pytest.mark.parametrize("change, message", [
    (dict(num_actors=2, num_blocks=3), "num_blocks (3) must be a multiple of num_actors (2)"),
    (dict(num_actors=0), "num_actors must be"),
    (dict(num_actors=2, dimensions=0), "dimensions must be"),
])
def test_bad_arguments_are_refused_before_any_actor_starts(change, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        fit(KARATE, **change)


def test_more_actors_than_the_cluster_has_cpus_for_are_refused(cluster, tmp_path, capsys):
    with_nodes(cluster, 1)  # one CPU
    out = tmp_path / "out.emb"
    status, err = run_cli(capsys, "--input", KARATE_FILE, "--output", out, "--ray", "auto",
                          "--actors", "2", "--quiet")
    assert status == 1 and not out.exists()
    assert err == ("velmor: error: --actors (2) times cpus_per_actor (1) is 2 CPUs, more than "
                   "the Ray cluster's 1\n")


def test_the_command_on_a_cluster_writes_the_bits_of_one_machine(cluster, tmp_path, capsys):
    with_nodes(cluster, 2)
    flags = ["--input", KARATE_FILE, "--dimensions", "8", "--seed", "2", "--num-blocks", "4",
             "--quiet"]
    assert run_cli(capsys, *flags, "--output", tmp_path / "one.emb", "--deterministic") == (0, "")
    assert run_cli(capsys, *flags, "--output", tmp_path / "ray.emb", "--ray", "auto", "--actors",
               "2") == (0, "")
    assert (tmp_path / "one.emb").read_bytes() == (tmp_path / "ray.emb").read_bytes()


def test_a_ray_of_its_own_keeps_the_callers_sigterm_handler(cluster):
    # Without an address, a Ray of its own, not the cluster running here (another user's).
    # The command's SIGTERM handler stops a run as Ctrl-C does, writing nothing; Ray's would
    # exit at once, after a stack dump.
    script = ("import os, signal, ray\n"
              "from velmor.distributed._ray import connect\n"
              "signal.signal(signal.SIGTERM, lambda *_: print('handled'))\n"
              "connect(ray, None)\n"
              "print(ray.get_runtime_context().gcs_address)\n"
              "os.kill(os.getpid(), signal.SIGTERM)\n"
              "ray.shutdown()\n")
    result = run_python("-c", script)
    joined, handled = result.stdout.splitlines()
    assert (result.returncode, handled, result.stderr) == (0, "handled", "")
    assert joined != cluster.address
