import contextlib
import os
import subprocess
import sys

import pytest


@pytest.fixture(scope="session")
def native():
    from velmor.engine import _native

    return _native


def panic_of(excinfo):
    """The message of a PanicException caught by pytest.raises(BaseException)."""
    err = excinfo.value
    assert type(err).__name__ == "PanicException"
    assert not isinstance(err, Exception)  # no 'except Exception' swallows it
    assert err.args == (str(err),)
    return str(err)


@contextlib.contextmanager
def unchanged(*arrays):
    """Asserts that the block leaves every array byte for byte as it was."""
    before = [a.copy() for a in arrays]
    yield
    for a, b in zip(arrays, before):
        assert a.tobytes() == b.tobytes()


class ArrayHolder:
    """Exposes an array to NumPy's array protocol without being one."""

    def __init__(self, array):
        self.array = array

    def __array__(self, dtype=None, copy=None):
        return self.array


def run_python(*args):
    """Runs the interpreter in a subprocess that imports velmor exactly as this process does."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, env=env,
                          timeout=120)


RSS_ALLOWANCE = 4 * 2**20  # growth of resident memory put down to allocator noise


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def thread_count():
    return len(os.listdir("/proc/self/task"))


def under_sanitizer():
    with open("/proc/self/maps") as f:
        maps = f.read()
    return "libasan" in maps or "libtsan" in maps
