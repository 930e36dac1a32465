"""Runs a command in its own process group under a wall-time and a memory limit.

The peak resident set size is the child's VmHWM, the high-water mark of its address space:
the tool's whole process, interpreter, libraries, graph, walks and model. Not ru_maxrss:
the kernel carries into a child's ru_maxrss the resident size its parent had when it
forked, so a harness that has grown while evaluating would inflate every later reading.
"""

import os
import signal
import subprocess
import time

POLL_S = 0.05


def memory(pid="self"):
    """(VmRSS, VmHWM) of a process in bytes, zeros once it is gone."""
    rss = hwm = 0
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    rss = int(line.split()[1]) * 1024
                elif line.startswith("VmHWM:"):
                    hwm = int(line.split()[1]) * 1024
    except (FileNotFoundError, ProcessLookupError):
        pass
    return rss, hwm


def run_limited(cmd, *, time_limit, mem_limit, log_path, env=None):
    """Returns a dict: status ('ok', 'failed', 'timeout', 'memory'), wall_s, code and
    peak_rss, the last VmHWM seen (the tool reports its own, exact one at its end)."""
    with open(log_path, "w") as log:
        t0 = time.perf_counter()
        proc = subprocess.Popen(cmd, stdout=log, stderr=subprocess.STDOUT, env=env,
                                start_new_session=True)
        status = None
        peak = 0
        while True:
            pid, code = os.waitpid(proc.pid, os.WNOHANG)
            if pid:
                break
            rss, hwm = memory(proc.pid)
            peak = max(peak, hwm)
            if status is None:
                if time.perf_counter() - t0 > time_limit:
                    status = "timeout"
                elif rss > mem_limit:
                    status = "memory"
                if status is not None:
                    os.killpg(proc.pid, signal.SIGKILL)
            time.sleep(POLL_S)
        wall = time.perf_counter() - t0
        proc.returncode = os.waitstatus_to_exitcode(code)
    if status is None:
        status = "ok" if proc.returncode == 0 else "failed"
    return {"status": status, "wall_s": round(wall, 3), "peak_rss": peak,
            "code": proc.returncode}
