"""How many CPUs this process may really use.

``os.cpu_count()`` counts the machine's CPUs; a process may be confined to
fewer by its affinity mask (taskset, a container's cpuset) and by a cgroup CPU
quota (a container's ``--cpus``). Thread pools sized by the machine's count
oversubscribe such a process, and BLAS threads that outnumber the cores spin
against each other.
"""
from __future__ import annotations

import math
import os
from functools import lru_cache

__all__ = ["available_cpus"]


def _cgroup_quota(root: str = "/sys/fs/cgroup") -> float | None:
    """CPUs granted by a cgroup quota (v2 ``cpu.max``, or v1 cfs files); None when unlimited."""
    try:
        with open(os.path.join(root, "cpu.max")) as fh:
            quota, period = fh.read().split()[:2]
        if quota != "max" and float(period) > 0:
            return float(quota) / float(period)
        return None
    except (OSError, ValueError):
        pass
    try:
        with open(os.path.join(root, "cpu", "cpu.cfs_quota_us")) as fh:
            quota = float(fh.read())
        with open(os.path.join(root, "cpu", "cpu.cfs_period_us")) as fh:
            period = float(fh.read())
        if quota > 0 and period > 0:
            return quota / period
    except (OSError, ValueError):
        pass
    return None


@lru_cache(maxsize=1)
def available_cpus() -> int:
    """min(CPUs in the affinity mask, ceil(cgroup quota)), at least 1."""
    try:
        n = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        n = os.cpu_count() or 1
    quota = _cgroup_quota()
    if quota is not None:
        n = min(n, math.ceil(quota))
    return max(1, n)
