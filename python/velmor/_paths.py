"""Paths, and files that appear whole or not at all."""

from __future__ import annotations

import contextlib
import errno
import os
import secrets
import stat
from collections.abc import Iterator
from typing import IO, Callable, Union

PathLike = Union[str, "os.PathLike[str]"]


@contextlib.contextmanager
def replacing(path: PathLike, keep: Callable[[], bool] = lambda: True) -> Iterator[IO[bytes]]:
    """A new binary file that takes the place of path when the block completes without error
    and ``keep()`` is true; otherwise it is removed and path left as it was.

    The file, ``<path>.<hex>.part``, is created at once in path's directory, so a destination
    that cannot be written fails with OSError before the block runs. An existing target keeps
    its permissions, and one that this process may not write (a read-only file) is refused as
    writing to it would be; a symbolic link is followed, so the file it points to is replaced.
    """
    given, path = path, os.path.realpath(os.fspath(path))
    if os.path.isdir(path):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    mode = None
    if os.path.exists(path):
        if not os.access(path, os.W_OK):
            raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), path)
        mode = stat.S_IMODE(os.stat(path).st_mode)
    temporary = f"{path}.{secrets.token_hex(4)}.part"
    try:
        file = open(temporary, "xb")
    except OSError as error:
        # The caller knows the path it asked for, not the temporary name beside it.
        raise type(error)(error.errno, error.strerror, os.fspath(given)) from None
    try:
        with file:
            yield file
        if keep():
            if mode is not None:
                os.chmod(temporary, mode)
            os.replace(temporary, path)
            temporary = None
    finally:
        if temporary is not None:
            with contextlib.suppress(OSError):
                os.unlink(temporary)


def same_file(first: PathLike, second: PathLike) -> bool:
    """Whether two paths name one file, existing or not (links followed)."""
    return os.path.realpath(os.fspath(first)) == os.path.realpath(os.fspath(second))
