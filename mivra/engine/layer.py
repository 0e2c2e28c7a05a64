"""One layer: the second moment of its inputs and its quantized weights.

Both go through the native module: ``decoupleQ.add_batch`` accumulates
H = mean of x x^T over the layer's input vectors (float64, patches of a
convolution in the weight's column order), and ``decoupleQ.startquant`` solves
for integer weights and output scale/zero with the library's settings, so a
layer quantized here equals the library's pass on the same inputs.
"""
from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import torch
from torch import nn

from .. import baseline, scheme
from .recipe import SOLVER_ARGS


def native():
    from ..api import gdq_quant

    return gdq_quant


def conv_for_statistics(layer, groups_in: int):
    """nn.Conv2d with the geometry of ``layer`` (a ConvLayer) and the padding
    it can express (leading = trailing), plus the explicit (left, right, top,
    bottom) padding still to apply to the input, or None."""
    C, cin, kh, kw = layer.shape
    t, l, b, r = layer.pads
    pre = None if (t, l) == (b, r) else (l, r, t, b)
    conv = nn.Conv2d(groups_in, C, (kh, kw), stride=layer.strides,
                     padding=(t, l) if pre is None else (0, 0), dilation=layer.dilations, bias=False)
    return conv, pre


@dataclass
class Moments:
    """Running mean H of x x^T (float64 tensor) over ``n`` input vectors; H is
    None until a batch without NaN arrived."""
    H: torch.Tensor | None = None
    n: float = 0
    nan_batches: int = 0

    def add_conv(self, layer, X: np.ndarray) -> None:
        """Accumulate the patches of ``X`` (N, B, C, H, W), the inputs of the
        convolution ``layer`` (a ConvLayer) for the N calibration samples."""
        conv, pre = conv_for_statistics(layer, X.shape[2])
        x = torch.from_numpy(np.ascontiguousarray(X)).reshape((-1,) + X.shape[2:])
        if pre is not None:
            x = torch.nn.functional.pad(x, pre)
        moq = native().decoupleQ(conv)
        moq.add_batch(x, None, None)
        if not isinstance(moq.H, torch.Tensor):
            self.nan_batches += 1
            return
        if self.H is None:
            self.H, self.n = moq.H, moq.nsamples
        else:   # the running mean add_batch keeps, over both batches
            self.H = (self.H * self.n + moq.H * moq.nsamples) / (self.n + moq.nsamples)
            self.n += moq.nsamples

    def degenerate(self) -> tuple[str, str] | None:
        """(kind, reason) when these statistics leave nothing to solve: kind
        "zero" for inputs that are all zero, "bad" otherwise; None when fine."""
        if self.H is None:
            return "bad", "its inputs contain NaN on the calibration set"
        if not bool(torch.isfinite(self.H).all()):
            return "bad", "its input statistics overflow (not finite)"
        if float(self.H.diagonal().max()) == 0.0:
            return "zero", ("its inputs are all zero on the calibration set, so there is no "
                            "output error to minimise")
        return None


def relative_error(W: np.ndarray, W_hat: np.ndarray, H: torch.Tensor) -> float:
    """sum_c r_c H r_c^T / sum_c w_c H w_c^T, r = w_hat - w: the layer's output
    error energy relative to its output energy on the calibration set."""
    Wm = torch.from_numpy(np.asarray(W, dtype=np.float64).reshape(W.shape[0], -1))
    R = torch.from_numpy(np.asarray(W_hat, dtype=np.float64).reshape(Wm.shape)) - Wm
    den = float(((Wm @ H) * Wm).sum())
    if not den > 0:
        return math.nan
    return float(((R @ H) * R).sum()) / den


@dataclass
class Solution:
    scale: np.ndarray        # (C, G)
    zero_point: np.ndarray   # (C, G) integers
    w_int: np.ndarray        # int8, the weight's shape
    sym: bool
    groupsize: int           # -1: per channel

    def entry(self, entry: dict) -> dict:
        return scheme.fill_entry(entry, self.scale.T, self.zero_point.T, self.w_int, self.sym,
                                 fell_back=self.groupsize == -1)

    def dequantized(self) -> np.ndarray:
        return scheme.dequantize(self.w_int, self.scale, self.zero_point)


def scheme_of(w: np.ndarray, qmethod: str, qtype: str, asym_groups: bool) -> tuple[int, bool]:
    """(columns per group or -1, symmetric) of a stored weight (C, in, kh, kw)."""
    kh, kw = (w.shape[2], w.shape[3]) if w.ndim == 4 else (1, 1)
    gs = scheme.group_columns(qmethod, (kh, kw), int(np.prod(w.shape[1:])))
    return gs, scheme.is_symmetric(qtype, gs, asym_groups)


def solve_minmax(w: np.ndarray, bits: int, groupsize: int, sym: bool) -> Solution:
    w_int, scale, zp = baseline.minmax_quantize(w, bits, sym, groupsize)
    return Solution(scale=scale, zero_point=zp, w_int=w_int, sym=sym, groupsize=groupsize)


def solve_gdq(w: np.ndarray, moments: Moments, bits: int, groupsize: int, sym: bool,
              rounds: int, dev: str) -> Solution:
    """The Hessian-weighted solver on the stored weight ``w`` (C, in, kh, kw)."""
    gq = native()
    C, cin, kh, kw = w.shape
    layer = nn.Conv2d(cin, C, (kh, kw), bias=False)
    layer.weight.data = torch.from_numpy(np.array(w, dtype=np.float32))
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
