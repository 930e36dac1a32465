"""Paths, and files that appear whole or not at all."""

from __future__ import annotations

import contextlib
import os
import secrets
from typing import IO, Iterator, Union

PathLike = Union[str, "os.PathLike[str]"]


@contextlib.contextmanager
def replacing(path: PathLike) -> Iterator[IO[bytes]]:
    """A binary file that takes the place of path when the block completes without error."""
    path = os.fspath(path)
    temporary = f"{path}.{secrets.token_hex(4)}.part"
    try:
        with open(temporary, "xb") as file:
            yield file
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
