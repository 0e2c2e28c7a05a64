"""One layer: the second moment of its inputs and its quantized weights.

Both go through the native module: ``decoupleQ.add_batch`` accumulates
H = mean of x x^T over the layer's input vectors (float64, patches of a
convolution in the weight's column order), and ``decoupleQ.startquant`` solves
for integer weights and output scale/zero with the library's settings, so a
layer quantized here equals the library's pass on the same inputs.
"""
from __future__ import annotations

import functools
from dataclasses import dataclass

import numpy as np
import torch
from torch import nn

from .. import baseline, scheme
from . import fallback
from .recipe import SOLVER_ARGS
from .samples import chunks, paired_chunks


def native():
    from ..api import gdq_quant

    return gdq_quant


def conv_for_statistics(t, channels: int):
    """nn.Conv2d with the geometry of the convolution target ``t`` over
    ``channels`` input channels (in ``t.groups`` groups, one output each) and
    the padding it can express (leading = trailing), plus the explicit (left,
    right, top, bottom) padding still to apply to the input, or None."""
    top, left, bottom, right = t.pads
    pre = None if (top, left) == (bottom, right) else (left, right, top, bottom)
    padding = (top, left) if pre is None else (0, 0)
    return geometry_conv(channels, t.groups, tuple(t.kernel), tuple(t.strides), padding,
                          tuple(t.dilations)), pre


@functools.lru_cache(maxsize=64)
def geometry_conv(channels, groups, kernel, strides, padding, dilations) -> nn.Conv2d:
    """A convolution object of this geometry (only its geometry is read), made
    once: one is asked for per batch of statistics."""
    return nn.Conv2d(channels, groups, kernel, stride=strides, groups=groups, padding=padding,
                     dilation=dilations, bias=False)


# Bytes of calibration inputs stacked into one batch of statistics. A layer whose
# inputs over the whole calibration set fit goes through add_batch in one call,
# as the library's pass does (so its H is the same, bit for bit). Stacking holds
# a batch twice (its samples and the stack), so the budget bounds peak memory.
BATCH_BYTES = 32 << 20
PAIRED_BATCH_BYTES = 32 << 20       # per stream, where two streams are paired


def input_batches(t, samples, samples_q=None, budget: int = BATCH_BYTES):
    """Per run of consecutive calibration samples (at most ``budget`` bytes; of
    one shape for a convolution): the (layer object, batch) whose add_batch gives the
    statistics of ``t`` (per group of a grouped convolution: H is (g, D, D)),
    of ``samples`` (one input array of ``t`` per sample) and, when given, of
    ``samples_q`` (the partly quantized model's inputs, same positions; else
    None)."""
    images = t.kind in ("conv", "grouped")      # a batch of images needs one shape; rows do not
    if t.kind == "grouped":
        # the statistics of a grouped layer are made image by image anyway:
        # a sample per batch saves stacking copies of its (large) inputs
        budget = 0
    if samples_q is None:
        for run in chunks(samples, budget, same_shape=images):
            yield _batch(t, run), None
    else:
        for run, run_q in paired_chunks(samples, samples_q, min(budget, PAIRED_BATCH_BYTES),
                                        same_shape=images):
            yield _batch(t, run), _batch(t, run_q)


def _batch(t, run: list) -> tuple:
    """(layer object, batch) of ``t`` for the input arrays ``run``."""
    if t.kind in ("conv", "grouped"):
        x = torch.from_numpy(np.concatenate(run) if len(run) > 1 else np.ascontiguousarray(run[0]))
        conv, pre = conv_for_statistics(t, x.shape[1])
        if pre is not None:
            x = torch.nn.functional.pad(x, pre)
        return conv, x
    rows = []
    for a in run:
        x = torch.from_numpy(np.ascontiguousarray(a))
        if t.trans_a:       # A (K, M) per sample: the vectors are its columns
            x = x.transpose(-1, -2)
        rows.append(x.reshape(-1, x.shape[-1]))
    x = torch.cat(rows) if len(rows) > 1 else rows[0]
    return nn.Linear(x.shape[-1], 1, bias=False), x


@dataclass
class Moments:
    """Running mean H of x x^T (float64 tensor) over ``n`` input vectors; H is
    None until a batch without NaN arrived."""
    H: torch.Tensor | None = None
    n: float = 0
    nan_batches: int = 0

    def add(self, layer, x: torch.Tensor) -> None:
        """Accumulate the input vectors of ``x`` as ``layer`` (nn.Conv2d: its
        patches; nn.Linear: its rows) sees them."""
        moq = native().decoupleQ(layer)
        moq.add_batch(x, None, None)
        if not isinstance(moq.H, torch.Tensor):
            self.nan_batches += 1
            return
        if self.H is None:
            self.H, self.n = moq.H, moq.nsamples
        else:   # the running mean add_batch keeps, over both batches
            self.H = (self.H * self.n + moq.H * moq.nsamples) / (self.n + moq.nsamples)
            self.n += moq.nsamples

    def troubles(self, groups: int = 1) -> dict:
        """{group: (kind, reason)} of the groups these statistics leave nothing to
        solve: kind "zero" for inputs that are all zero, "bad" otherwise."""
        if self.H is None:
            return {g: ("bad", fallback.NAN) for g in range(groups)}
        H = self.H if self.H.dim() == 3 else self.H[None]
        finite = torch.isfinite(H).flatten(1).all(1)
        zero = H.diagonal(dim1=-2, dim2=-1).amax(-1) == 0.0
        return {g: ("bad", fallback.OVERFLOW) if not finite[g] else ("zero", fallback.ZERO)
                for g in range(H.shape[0]) if not finite[g] or zero[g]}

    def groups(self, ok: list) -> "Moments":
        """These statistics of the groups ``ok`` only (all of them: itself)."""
        if self.H is None or self.H.dim() == 2 or len(ok) == self.H.shape[0]:
            return self
        return Moments(self.H[ok], self.n, self.nan_batches)


def by_group(W: np.ndarray, H: torch.Tensor) -> torch.Tensor:
    """W (rows, D) in float64, as (g, rows / g, D) when H holds g groups' (g, D, D)."""
    Wd = torch.from_numpy(np.asarray(W, dtype=np.float64))
    return Wd.view(H.shape[0], -1, Wd.shape[-1]) if H.dim() == 3 else Wd


def error_energy(W: np.ndarray, W_hats: list, H: torch.Tensor) -> tuple[list, float]:
    """([sum_c r_c H r_c^T for each W_hat], sum_c w_c H w_c^T), r = w_hat - w,
    for matrices (rows, columns), each row with its group's H: the output error
    energy of each quantized version of the rows, and the rows' output energy
    on the calibration set."""
    Wm = by_group(W, H)
    errs = []
    for W_hat in W_hats:
        R = by_group(W_hat, H) - Wm
        errs.append(float(((R @ H) * R).sum()))
    return errs, float(((Wm @ H) * Wm).sum())


class RowCounts:
    """How often the calibration set reads each row of an embedding table."""

    def __init__(self, rows: int):
        self.counts = np.zeros(rows, np.int64)

    def add(self, idx: np.ndarray) -> None:
        idx = np.asarray(idx, dtype=np.int64).ravel()
        idx = np.where(idx < 0, idx + len(self.counts), idx)     # Gather's negative indices
        self.counts += np.bincount(idx[(idx >= 0) & (idx < len(self.counts))],
                                   minlength=len(self.counts))

    def read(self) -> np.ndarray:
        return np.flatnonzero(self.counts)

    def total(self) -> int:
        return int(self.counts.sum())

    def errors(self, W: np.ndarray, W_hats: list) -> tuple[list, float]:
        """([sum over reads |w_hat_r - w_r|^2 for each W_hat], sum over reads |w_r|^2)."""
        read = self.read()
        c, Wr = self.counts[read].astype(np.float64), W[read].astype(np.float64)
        errs = [float(c @ ((np.asarray(Wh)[read].astype(np.float64) - Wr) ** 2).sum(1))
                for Wh in W_hats]
        return errs, float(c @ (Wr ** 2).sum(1))


@dataclass
class Solution:
    """Quantized weight matrix: W ~ (w_int - zero_point) * scale per (row, group)."""
    scale: np.ndarray        # (C, G)
    zero_point: np.ndarray   # (C, G) integers
    w_int: np.ndarray        # int8 (C, D)
    sym: bool
    groupsize: int           # -1: per channel

    def entry(self, entry: dict, t) -> dict:
        """Fill the table entry of target ``t`` (integers in the stored layout)."""
        scheme.fill_entry(entry, self.scale.T, self.zero_point.T, t.stored(self.w_int), self.sym,
                          fell_back=self.groupsize == -1)
        if t.axis:
            entry["axis"] = t.axis
        return entry

    def dequantized(self) -> np.ndarray:
        return scheme.dequantize(self.w_int, self.scale, self.zero_point)

    def with_rows(self, rows: np.ndarray, part: "Solution") -> "Solution":
        """This solution with its ``rows`` taken from ``part`` (one row each, in order)."""
        out = Solution(self.scale.copy(), self.zero_point.copy(), self.w_int.copy(), self.sym,
                       self.groupsize)
        out.scale[rows], out.zero_point[rows], out.w_int[rows] = part.scale, part.zero_point, part.w_int
        return out


def scheme_of(t, qmethod: str, qtype: str, asym_groups: bool) -> tuple[int, bool]:
    """(columns per group or -1, symmetric) of target ``t``; convolution groups
    are quantized per channel."""
    cols = int(np.prod(t.shape)) // t.rows // t.groups
    gs = -1 if t.kind == "grouped" else scheme.group_columns(qmethod, t.kernel, cols)
    return gs, scheme.is_symmetric(qtype, gs, asym_groups)


def solve_minmax(W: np.ndarray, bits: int, groupsize: int, sym: bool) -> Solution:
    w_int, scale, zp = baseline.minmax_quantize(W, bits, sym, groupsize)
    return Solution(scale=scale, zero_point=zp, w_int=w_int, sym=sym, groupsize=groupsize)


def solve_gdq(W: np.ndarray, moments: Moments, bits: int, groupsize: int, sym: bool,
              rounds: int, dev: str) -> Solution:
    """The Hessian-weighted solver on the weight matrix ``W`` (rows, columns)."""
    gq = native()
    layer = nn.Linear(W.shape[1], W.shape[0], bias=False)
    layer.weight.data = torch.from_numpy(np.array(W, dtype=np.float32))
    moq = gq.decoupleQ(layer)
    moq.H, moq.nsamples = moments.H, moments.n
    q = gq.Quantizer()
    q.configure(sym=sym, bits=bits)
    moq.quantizer = q
    scale_out, zero_out, w_int, _ = moq.startquant(dev=dev, groupsize=groupsize, symmetric=sym,
                                                   max_iter_num=rounds, **SOLVER_ARGS)
    # (C, G) parameters; zero points as the table stores them
    scales = scale_out.cpu().numpy()
    zp = scheme.table_zero_points(scales, zero_out.cpu().numpy())
    moq.free()
    q.free()
    return Solution(scale=scales, zero_point=zp, w_int=w_int.cpu().numpy(), sym=sym,
                    groupsize=groupsize)
