"""Argument checks shared by the public API.

Each check returns the value converted to a plain Python type, or raises ``TypeError`` for a
value of the wrong kind and ``ValueError`` for one out of range. Messages name the argument, so
that they read well both from Python and from the command line.
"""

from __future__ import annotations

import math
import numbers
import os
import re

import numpy as np

# The engine indexes nodes, and takes the skip-gram window, as signed 32-bit integers.
MAX_INT32 = 2**31 - 1

# More threads than this only add stacks and switching: the walks of a graph split into at most
# a few hundred units per epoch, and the system's thread limit is often near ten thousand.
MAX_WORKERS = 1024

# The walk weighs steps by 1/p and 1/q in single precision: both p and its reciprocal must be
# finite, non-zero float32 values. The engine refuses what it cannot walk with (its one check is
# check_walk_parameter in src/core/walk.hpp); the package asks for normal float32 values, a
# little inside that, with a message of its own.
_FLOAT32 = np.finfo(np.float32)
WALK_BIAS_RANGE = (float(_FLOAT32.tiny), float(_FLOAT32.max))


def check_int(name: str, value, *, minimum: int, maximum: int | None = None) -> int:
    """An integer (Python or NumPy, not bool) within ``[minimum, maximum]``."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, got {value!r}")
    value = int(value)
    if value < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {value}")
    if maximum is not None and value > maximum:
        raise ValueError(f"{name} must be at most {maximum}, got {value}")
    return value


def check_real(name: str, value, *, positive: bool = False, non_negative: bool = False) -> float:
    """A finite real number, optionally > 0 or >= 0."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, got {value!r}")
    value = float(value)
    if not math.isfinite(value):
        raise ValueError(f"{name} must be finite, got {value}")
    if positive and value <= 0:
        raise ValueError(f"{name} must be greater than 0, got {value}")
    if non_negative and value < 0:
        raise ValueError(f"{name} must not be negative, got {value}")
    return value


def check_walk_bias(name: str, value) -> float:
    """p or q: a number within WALK_BIAS_RANGE."""
    value = check_real(name, value, positive=True)
    low, high = WALK_BIAS_RANGE
    if not low <= value <= high:
        raise ValueError(f"{name} must be between {low:.2g} and {high:.2g}, got {value:g}")
    return value


def check_bool(name: str, value) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, got {value!r}")
    return bool(value)


def check_char(name: str, value) -> bytes | None:
    """None, or a single ASCII character other than a line break, as one byte."""
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a one-character string or None, got {value!r}")
    if len(value) != 1 or not value.isascii() or value in "\r\n":
        raise ValueError(f"{name} must be a single ASCII character other than a line break, "
                         f"got {value!r}")
    return value.encode("ascii")


def check_thread_environment() -> None:
    """``VELMOR_NUM_THREADS``, which sizes the shared pool: unset, empty, or a whole number from
    0 (the processors online) to MAX_WORKERS. The engine would quietly skip a value it cannot
    read, and fail to start a pool of tens of thousands of threads only at the first epoch."""
    value = os.environ.get("VELMOR_NUM_THREADS", "")
    if value and not (re.fullmatch(r"\+?[0-9]{1,6}", value) and int(value) <= MAX_WORKERS):
        raise ValueError(f"the environment variable VELMOR_NUM_THREADS must be a whole number "
                         f"from 0 to {MAX_WORKERS}, got {value!r}")


WEIGHT_RULE = "edge weights must be finite and greater than 0"


def first_bad_weight(values: np.ndarray) -> int | None:
    """The position of the first weight that is not finite and greater than 0, or None.

    The builders that take weights from something other than an array (a NetworkX edge, a SciPy
    entry, a DataFrame row) check with this first, so that a refusal names what the caller
    passed rather than a place in the array handed on to the engine.
    """
    values = np.asarray(values)
    if values.dtype.kind not in "iuf":
        return None
    good = (values > 0) & (values <= np.finfo(np.float64).max)  # NaN fails both
    return None if good.all() else int(np.argmin(good))
