"""Per-sample tensors of the calibration set, in bounded memory.

Every tensor a walk over the model holds is a ``SampleList``: one array per
calibration sample, so samples may differ in shape along the model's dynamic
axes (sentences of their own length, text lines of their own width). Arrays
stay in memory while the bytes held by all lists are within a budget; beyond
it the oldest are written to ``.npy`` files in a private temporary folder and
read back when used. Memory then does not grow with the number of calibration
samples or with how many tensors are alive at once; the folder goes when the
process ends.
"""
from __future__ import annotations

import atexit
import os
import shutil
import tempfile
from collections.abc import Sequence

import numpy as np

DEFAULT_BUDGET = 128 << 20          # bytes of sample arrays kept in memory


class _Entry:
    """One sample array: in memory (``arr``) or in a file (``path``)."""
    __slots__ = ("arr", "path", "nbytes")

    def __init__(self, arr: np.ndarray):
        self.arr, self.path, self.nbytes = arr, None, arr.nbytes

    def get(self) -> np.ndarray:
        # A spilled array is mapped, not read: its pages come from the page
        # cache as they are used, and copy-on-write keeps the file as it is.
        if self.arr is not None:
            return self.arr
        return np.load(self.path, mmap_mode="c").view(np.ndarray)


class Spill:
    """The shared budget of resident sample bytes and the folder of spilled ones.

    A new array is always kept in memory; when that takes the resident bytes
    over the budget, the arrays kept longest are written out first: most
    tensors of a walk are read right after they are made and then dropped,
    while the long-lived ones (model inputs, skip connections) wait."""

    def __init__(self, budget: int = DEFAULT_BUDGET):
        self.budget = budget
        self.resident = 0
        self.spilled = 0            # bytes currently on disk
        self._kept = {}             # id -> resident entry, oldest first
        self._folder = None
        self._count = 0

    def keep(self, arr) -> _Entry:
        e = _Entry(np.asarray(arr))
        self._kept[id(e)] = e
        self.resident += e.nbytes
        while self.resident > self.budget and len(self._kept) > 1:
            self._write_out(self._kept.pop(next(iter(self._kept))))
        return e

    def _write_out(self, e: _Entry) -> None:
        if self._folder is None:
            self._folder = tempfile.mkdtemp(prefix="mivra-samples-")
            atexit.register(self.close)
        self._count += 1
        e.path = os.path.join(self._folder, f"{self._count}.npy")
        np.save(e.path, e.arr, allow_pickle=False)
        e.arr = None
        self.resident -= e.nbytes
        self.spilled += e.nbytes

    def release(self, e: _Entry) -> None:
        if e.path is not None:
            self.spilled -= e.nbytes
            try:
                os.remove(e.path)
            except OSError:
                pass
        elif self._kept.pop(id(e), None) is not None:
            self.resident -= e.nbytes

    def close(self) -> None:
        if self._folder is not None:
            shutil.rmtree(self._folder, ignore_errors=True)
            self._folder = None


_default = None


def default_spill() -> Spill:
    global _default
    if _default is None:
        _default = Spill()
    return _default


class SampleList(Sequence):
    """One array per calibration sample, resident or spilled (see ``Spill``)."""

    def __init__(self, arrays=(), spill: Spill | None = None):
        self._spill = spill or default_spill()
        self._entries = []
        for a in arrays:
            self.append(a)

    def append(self, arr) -> None:
        self._entries.append(self._spill.keep(arr))

    def __len__(self) -> int:
        return len(self._entries)

    def __getitem__(self, i):
        if isinstance(i, slice):
            return [self[k] for k in range(*i.indices(len(self)))]
        return self._entries[i].get()

    def free(self) -> None:
        for e in self._entries:
            self._spill.release(e)
        self._entries = []

    def __del__(self):
        try:
            self.free()
        except Exception:
            pass


def chunks(samples, budget: int = 1 << 26, same_shape: bool = True):
    """Consecutive runs of samples (lists of arrays) of at most ``budget`` bytes
    (at least one sample each) and, with ``same_shape``, of one shape, so that
    a run stacks into one batch."""
    run, size = [], 0
    for i in range(len(samples)):
        x = samples[i]
        if run and (size + x.nbytes > budget or (same_shape and x.shape != run[0].shape)):
            yield run
            run, size = [], 0
        run.append(x)
        size += x.nbytes
    if run:
        yield run


def paired_chunks(a, b, budget: int = 1 << 26, same_shape: bool = True):
    """``chunks`` of two sample sequences taken at the same positions."""
    run_a, run_b, size = [], [], 0
    for i in range(len(a)):
        x, y = a[i], b[i]
        if run_a and (size + x.nbytes > budget or (same_shape and x.shape != run_a[0].shape)):
            yield run_a, run_b
            run_a, run_b, size = [], [], 0
        run_a.append(x)
        run_b.append(y)
        size += x.nbytes
    if run_a:
        yield run_a, run_b
