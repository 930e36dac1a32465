"""Ray, imported on first need, and the connection to a cluster."""

from __future__ import annotations

import os
from pathlib import Path

import velmor

INSTALL_HINT = "velmor's cluster training needs Ray: pip install 'velmor[ray]'"


def import_ray():
    """The ray module, or ImportError saying how to install it."""
    try:
        import ray
    except ImportError:
        raise ImportError(INSTALL_HINT) from None
    return ray


def connect(ray, address: str | None) -> bool:
    """Joins the cluster at ``address`` (None: the one this process already joined, else a
    local one that Ray starts); returns whether this call connected, and so must disconnect."""
    if ray.is_initialized():
        return False
    try:
        ray.init(address=address, logging_level="ERROR", log_to_driver=False,
                 configure_logging=True)
    except (ConnectionError, ValueError, RuntimeError) as error:
        raise ConnectionError(f"cannot join the Ray cluster at {address}: "
                              f"{str(error).splitlines()[0] if str(error) else error}") from None
    return True


def worker_environment() -> dict:
    """The runtime environment of the actors: this velmor importable, also from a source tree
    that is on this process's path but not installed."""
    package_root = str(Path(velmor.__file__).resolve().parent.parent)
    path = os.pathsep.join(p for p in (package_root, os.environ.get("PYTHONPATH")) if p)
    return {"env_vars": {"PYTHONPATH": path}}
