"""The C library's allocator set up for a run's large, short-lived arrays.

A run allocates and frees arrays of megabytes all through (statistics,
candidate stacks, layer inputs, serialized layer models). glibc serves
allocations above its mmap threshold (128 KiB, rising with the frees it sees
to at most 32 MiB) by mmap: fresh pages on every call, each faulted in and
zeroed by the kernel on first touch and unmapped when freed. Served from the
heap up to 64 MiB instead, with freed memory kept there for the next
allocation, the pages are reused. On the encoder benchmark, 3 runs each
(medians): 11.55 -> 10.87 s, peak RSS 791 -> 845 MiB; a 1 GiB threshold,
where whole serialized models join the heap, fragments it (942 MiB) for less
gain (11.14 s), and 16 MiB gains nothing. Elsewhere than glibc nothing changes.
"""
from __future__ import annotations

import ctypes

M_TRIM_THRESHOLD = -1      # mallopt parameters (malloc.h)
M_MMAP_THRESHOLD = -3
MMAP_THRESHOLD = 64 << 20  # allocations above this still get their own mapping
TRIM_THRESHOLD = (1 << 31) - 1


def keep_large_allocations() -> bool:
    """Raise glibc's mmap and trim thresholds; whether the allocator took them."""
    try:
        mallopt = ctypes.CDLL(None).mallopt        # the process's own C library
    except (OSError, AttributeError):
        return False
    mallopt.argtypes = [ctypes.c_int, ctypes.c_int]
    return bool(mallopt(M_MMAP_THRESHOLD, MMAP_THRESHOLD)) and \
        bool(mallopt(M_TRIM_THRESHOLD, TRIM_THRESHOLD))
