"""What a run will allocate, checked against the memory it may use before any work starts.

A run that cannot fit fails at once, with a message that says what needs how much and what to
choose instead, rather than after minutes of work, with a bare MemoryError from deep inside, or
by driving the machine into swap. The bound is the memory available now (the machine's memory
when that is unknown) or, when tighter, the address space that ``ulimit -v`` leaves the process.
"""

from __future__ import annotations

import contextlib
import os
from typing import NamedTuple

# Bytes per node of a walk: walks are held as 32-bit node indices.
WALK_NODE_BYTES = 4


class Need(NamedTuple):
    """Memory that part of a run needs: ``what`` reads "the ... at name=value", and ``advice``
    completes "choose ..."."""

    nbytes: int
    what: str
    advice: str

    def refusal(self, why: str) -> str:
        """The message that refuses this need, ``why`` reading "more than ..." or "which could
        not be allocated"."""
        return f"{self.what} need {gib(self.nbytes)}, {why}; choose {self.advice}"


def check_fits(*needs: Need) -> None:
    """Raise MemoryError if the needs, each alone or all together, exceed the memory bound."""
    bound = memory_bound()
    if bound is None:
        return
    limit, why = bound
    for need in needs:
        if need.nbytes > limit:
            raise MemoryError(need.refusal(why))
    total = sum(need.nbytes for need in needs)
    if total > limit:
        parts = " and ".join(f"{need.what} ({gib(need.nbytes)})" for need in needs if need.nbytes)
        advice = " or ".join(need.advice for need in needs if need.nbytes)
        raise MemoryError(f"{parts} need {gib(total)} together, {why}; choose {advice}")


@contextlib.contextmanager
def out_of_memory_explained(doing: str, advice: str):
    """Gives the engine's bare MemoryError, from an allocation that the checks before the work
    could not foresee (other processes took the memory meanwhile), a message: "ran out of
    memory while {doing}; choose {advice}"."""
    try:
        yield
    except MemoryError as error:
        if str(error):
            raise
        raise MemoryError(f"ran out of memory while {doing}; choose {advice}") from None


def busy_threads(workers: int | None, units: int) -> int:
    """The threads that an epoch keeps busy: as many as its pool has (``workers`` as
    Node2Vec takes it), at most one per unit of work."""
    if workers:
        threads = workers
    else:
        configured = os.environ.get("VELMOR_NUM_THREADS", "").lstrip("+")
        threads = int(configured) if workers is None and configured.isdigit() and \
            int(configured) > 0 else (os.cpu_count() or 1)
    return max(1, min(threads, units))


def walk_buffers(threads: int, walk_length: int) -> Need:
    """The walk that each thread holds while it trains it or copies it out. A buffer grows by
    doubling, up to the walk's length: while it moves, the old and the new one take up to twice
    the walk."""
    return Need(2 * threads * walk_length * WALK_NODE_BYTES,
                f"the walk buffers of {threads} thread{'s' * (threads > 1)} at "
                f"walk_length={walk_length}", "shorter walks or fewer workers")


def memory_bound() -> tuple[int, str] | None:
    """The bytes a run may allocate and what sets that bound, as "more than the ..."; None when
    neither the machine's memory nor a limit on the address space is known."""
    bounds = []
    physical, available = _physical_memory(), _available_memory()
    if available is not None and physical is not None and available < physical:
        bounds.append((available, f"more than the {gib(available)} of memory available now (of "
                                  f"the {gib(physical)} this machine has)"))
    elif physical is not None:
        bounds.append((physical, f"more than the {gib(physical)} of memory this machine has"))
    left = _address_space_left()
    if left is not None:
        bounds.append((left, f"more than the {gib(left)} of address space that the process's "
                             "limit (ulimit -v) leaves"))
    return min(bounds) if bounds else None


def gib(nbytes: int) -> str:
    return f"{nbytes / 2**30:.1f} GiB"


def _physical_memory() -> int | None:
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (AttributeError, ValueError, OSError):
        return None


def _available_memory() -> int | None:
    """What the kernel estimates can be allocated without swapping (Linux's MemAvailable)."""
    try:
        with open("/proc/meminfo") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return None


def _address_space_left() -> int | None:
    try:
        import resource

        limit = resource.getrlimit(resource.RLIMIT_AS)[0]
        if limit == resource.RLIM_INFINITY:
            return None
        with open("/proc/self/statm") as statm:
            used = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    except (ImportError, OSError, ValueError, AttributeError):
        return None
    return max(0, limit - used)
