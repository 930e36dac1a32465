"""One actor of a cluster run: it owns the input rows of its blocks for the whole run, holds a
few output blocks at a time, and runs the block schedule's steps on them.

The driver (driver.py) calls, per episode: ``draw`` (its share of the episode's walks, bucketed,
one part per actor), ``train`` once per sub-round (the first with the parts of every actor for
its own input blocks; each receiving one output block from the next actor on the ring and
passing one to the previous), and ``finish_episode`` (the last block back, and a checkpoint).
Every method is deterministic in its arguments and the actor's state, so a restarted actor given
the last checkpoint replays an episode bit for bit.
"""

from __future__ import annotations

import os
import resource
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from velmor.distributed.blocks import BlockLayout, graph_from_arrays, starting_rows
from velmor.engine import Node2VecParams
from velmor.engine._engine import block_draw, block_negatives, block_order, block_train


class OutOfStep(RuntimeError):
    """A call that finds the actor not where the episode left it: the actor was restarted
    meanwhile (and lost its state), so the driver resumes from the last checkpoint."""


class BlockActor:
    """Actor ``rank`` of ``num_actors``; ``job`` holds what every actor shares (driver.py)."""

    def __init__(self, rank: int, job: dict):
        self.rank = rank
        self.job = job
        self.graph = None
        self.layout = BlockLayout(job["num_nodes"], job["num_blocks"], job["num_actors"])
        self.inputs = {}
        self.held = {}
        self._reset_matrices()
        self.epoch = None
        self.visits = None
        self.parts = None
        self.position = None  # (episode, sub-round) last trained
        # What stats() reports: seconds in the engine's steps, and bytes handed to other actors.
        self.busy = 0.0
        self.sent = 0
        self.pool = None

    def load_graph(self, arrays: tuple) -> None:
        """The graph, from the arrays that the driver put into the object store; once."""
        if self.graph is None:
            self.graph = graph_from_arrays(arrays)

    def _reset_matrices(self):
        dim = self.job["dimensions"]
        for b in self.layout.owned(self.rank):
            members = self.layout.members[b]
            self.inputs[b] = starting_rows(self.job["seed"], self.job["num_nodes"], dim, members)
            self.held[b] = np.zeros((len(members), dim), np.float32)

    def start_epoch(self, epoch: int, params: dict, next_random: int, noise_counts):
        """The epoch's walk order and seed, and every block's table of negatives over
        ``noise_counts`` (None: by degree)."""
        n = self.job["num_nodes"]
        self.epoch = epoch
        self.params = params
        self.engine_params = Node2VecParams(**params)
        self.order = np.arange(n, dtype=np.uint32)
        self.seed = block_order(next_random=next_random, order=self.order)
        self.tables = []
        for members in self.layout.members:
            slots = np.empty((len(members), 2), np.uint32)
            if len(members):
                block_negatives(graph=self.graph, members=members,
                                ns_exponent=self.job["ns_exponent"], noise_counts=noise_counts,
                                slots=slots)
            self.tables.append(slots)
        self.visits = np.zeros(n, np.uint64) if self.job["ns_exponent"] else None

    def episode_range(self, episode: int) -> tuple[int, int]:
        per = self.job["episode_walks"]
        first = episode * per
        return first, min(self.job["num_nodes"], first + per)

    def draw(self, episode: int):
        """This actor's share of the episode's walks (the k-th of K contiguous runs), their
        pairs bucketed and cut into one part per actor: the buckets of that actor's input blocks,
        with every node as its row in its block."""
        if self.epoch is None or self.graph is None:
            raise OutOfStep(f"actor {self.rank} has not started the epoch")
        first, last = self.episode_range(episode)
        k, actors = self.rank, self.job["num_actors"]
        mine = (first + (last - first) * k // actors, first + (last - first) * (k + 1) // actors)
        started = time.perf_counter()
        pairs, begins = block_draw(graph=self.graph, params=self.engine_params,
                                   order=self.order, seed=self.seed, first=mine[0], last=mine[1],
                                   block_of=self.layout.block_of, num_blocks=self.layout.num_blocks,
                                   visits=self.visits)
        pairs = np.frombuffer(pairs, np.uint32).reshape(-1, 2)
        begins = np.frombuffer(begins, np.uint64)
        parts = []
        for d in range(actors):
            buckets = self.layout.buckets_of(d)
            lo, hi = int(begins[buckets.start]), int(begins[buckets.stop])
            local = self.layout.rank[pairs[lo:hi]]
            parts.append((local, begins[buckets.start:buckets.stop + 1] - begins[buckets.start]))
            if d != k:
                self.sent += local.nbytes + parts[-1][1].nbytes
        self.busy += time.perf_counter() - started
        return tuple(parts) if actors > 1 else parts[0]

    def bucket(self, i: int, j: int) -> np.ndarray:
        b = (i - self.layout.owned(self.rank).start) * self.layout.num_blocks + j
        pieces = [pairs[offsets[b]:offsets[b + 1]] for pairs, offsets in self.parts]
        return np.concatenate(pieces) if len(pieces) > 1 else pieces[0]

    def train(self, episode: int, sub_round: int, incoming, *parts):
        """Sub-round s: bucket (i, (i + s) mod P) of each input block i, with the output blocks
        held. Takes the block that the next actor passed (none in the first sub-round) and
        returns the one the previous actor needs next. The first sub-round also takes the
        parts that every actor drew for this actor's input blocks, in the order of the actors:
        each bucket's pairs are the concatenation of theirs, in walk order."""
        blocks = self.layout.num_blocks
        if sub_round == 0:
            self.parts = parts
        elif self.position != (episode, sub_round - 1):
            raise OutOfStep(f"actor {self.rank} lost episode {episode}")
        if incoming is not None:
            self._receive(incoming)
        started = time.perf_counter()
        first, last = self.episode_range(episode)

        def train_bucket(i):
            j = (i + sub_round) % blocks
            pairs = self.bucket(i, j)
            if len(pairs):
                block_train(embeddings=self.inputs[i], hidden_layer=self.held[j], pairs=pairs,
                            slots=self.tables[j], seed=self.seed, episode=episode, input_block=i,
                            output_block=j, start_alpha=self.params["start_alpha"],
                            end_alpha=self.params["end_alpha"], first=first, last=last,
                            epoch_walks=self.job["num_nodes"],
                            num_negative=self.params["num_negative"],
                            shared_negatives=self.job["shared_negatives"])

        # The sub-round's buckets share no row, and the engine trains without the interpreter
        # lock: the actor's threads take them in any order.
        list(self.threads().map(train_bucket, self.layout.owned(self.rank)))
        self.position = (episode, sub_round)
        passed = (self.layout.owned(self.rank).start + sub_round) % blocks
        self.busy += time.perf_counter() - started
        if self.job["num_actors"] > 1:
            self.sent += self.held[passed].nbytes
        return passed, self.held.pop(passed)

    def threads(self) -> ThreadPoolExecutor:
        if self.pool is None:
            self.pool = ThreadPoolExecutor(max_workers=self.job["threads"])
        return self.pool

    def _receive(self, incoming):
        block, rows = incoming
        # The object store hands out read-only views; training writes the block.
        self.held[block] = np.array(rows)

    def finish_episode(self, episode: int, incoming):
        """Takes the last block of the episode (every actor then holds its own output blocks
        again) and returns the checkpoint: the blocks, and the visits of the epoch so far."""
        if self.position != (episode, self.layout.num_blocks - 1):
            raise OutOfStep(f"actor {self.rank} lost episode {episode}")
        self._receive(incoming)
        self.parts = self.position = None
        return self.checkpoint() + (True,)

    def checkpoint(self):
        return ({b: (self.inputs[b], self.held[b]) for b in self.inputs}, self.visits)

    def restore(self, blocks, visits):
        """Back to a checkpoint (visits None: those that start_epoch left)."""
        for b, (inputs, hidden) in blocks.items():
            self.inputs[b] = np.array(inputs)
            self.held[b] = np.array(hidden)
        if visits is not None:
            self.visits = np.array(visits)

    def embeddings(self):
        return self.inputs

    def stats(self) -> dict:
        """Seconds spent in the engine's steps, bytes handed to other actors (parts of buckets,
        output blocks), the bytes of the blocks held now, the process's peak RSS (which counts
        the pages of Ray's shared object store that it has touched) and its private memory
        now (RssAnon, without them); and its process id."""
        blocks = sum(a.nbytes for a in self.inputs.values()) + \
            sum(a.nbytes for a in self.held.values())
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        private = 0
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("RssAnon:"):
                    private = int(line.split()[1]) * 1024
        return dict(busy=self.busy, sent=self.sent, blocks=blocks, peak_rss=peak,
                    private=private, pid=os.getpid())
