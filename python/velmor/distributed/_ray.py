"""Ray, imported on first need, and the connection to a cluster."""

from __future__ import annotations

import os
import signal
import socket
import threading
from pathlib import Path

import velmor

INSTALL_HINT = "velmor's cluster training needs Ray: pip install 'velmor[ray]'"


def import_ray():
    """The ray module, or ImportError saying how to install it. A directory named ray on the
    path (Ray's own session directory is /tmp/ray) imports as an empty namespace: not Ray."""
    try:
        import ray
    except ImportError:
        raise ImportError(INSTALL_HINT) from None
    if not hasattr(ray, "remote"):
        raise ImportError(INSTALL_HINT)
    return ray


def check_reachable(address: str | None, timeout: float = 5.0) -> None:
    """ConnectionError, at once, when a host:port address answers nothing; Ray itself would
    retry for minutes. Other forms ('auto', ray://...) are left to Ray."""
    if address is None or "://" in address or ":" not in address:
        return
    host, _, port = address.rpartition(":")
    try:
        with socket.create_connection((host, int(port)), timeout=timeout):
            pass
    except (OSError, ValueError) as error:
        reason = getattr(error, "strerror", None) or str(error)
        raise ConnectionError(f"cannot reach the Ray cluster at {address}: {reason}") from None


def connect(ray, address: str | None) -> bool:
    """Joins the cluster at ``address`` (None: the one this process already joined, else a
    local one that Ray starts); returns whether this call connected, and so must disconnect."""
    if ray.is_initialized():
        return False
    # Without an address Ray would join the cluster that 'ray start' (or any other process)
    # last started on this machine, whoever's it is: "local" starts one of our own.
    address = "local" if address is None else address
    check_reachable(address)
    # ray.init puts its own SIGTERM handler (an exit with status 15, behind its core's crash
    # reporter, which prints a stack dump) in place of this process's: the caller's stays.
    main_thread = threading.current_thread() is threading.main_thread()
    on_sigterm = signal.getsignal(signal.SIGTERM) if main_thread else None
    try:
        ray.init(address=address, logging_level="ERROR", log_to_driver=False,
                 configure_logging=True)
    except (ConnectionError, ValueError, RuntimeError) as error:
        raise ConnectionError(f"cannot join the Ray cluster at {address}: "
                              f"{str(error).splitlines()[0] if str(error) else error}") from None
    finally:
        if on_sigterm is not None:
            signal.signal(signal.SIGTERM, on_sigterm)
    return True


def worker_environment() -> dict:
    """The runtime environment of the actors: this velmor importable, also from a source tree
    that is on this process's path but not installed."""
    package_root = str(Path(velmor.__file__).resolve().parent.parent)
    path = os.pathsep.join(p for p in (package_root, os.environ.get("PYTHONPATH")) if p)
    return {"env_vars": {"PYTHONPATH": path}}
