"""Activation ranges: per-tensor scale and zero point of 8- or 16-bit
activations, from the tensor's values over the calibration set.

The values of one tensor are seen in two streaming passes over its samples
(never all held): the range [lo, hi], then a histogram of BINS bins over it,
from which each rule picks the clipping range [a, b] (containing 0, so that 0
is exactly representable):

* ``minmax``: the whole range;
* ``percentile``: the PERCENTILE % central mass (tails cut on each side that
  has values);
* ``entropy``: the threshold whose quantized distribution is closest to the
  observed one in Kullback-Leibler divergence (the classic calibration of
  8-bit inference engines), on |x| for symmetric ranges, on each side otherwise;
* ``mse``: the range, among the whole one shrunk by a grid of factors, with
  the least expected squared error of rounding and clipping.

A symmetric range is [-m, m] with zero point 0 (signed integers); an
asymmetric one maps [a, b] onto the unsigned grid with a whole zero point.
"""
from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

BINS = 2048
PERCENTILE = 99.999
CALIBRATIONS = ("minmax", "entropy", "percentile", "mse")


@dataclass(frozen=True)
class ActParams:
    """Quantization of one activation tensor: x^ = (clamp(round(x / scale) + zero_point,
    qmin, qmax) - zero_point) * scale."""
    scale: float
    zero_point: int
    bits: int
    signed: bool
    lo: float                 # the range the grid covers
    hi: float

    @property
    def qmin(self) -> int:
        return -(1 << (self.bits - 1)) if self.signed else 0

    @property
    def qmax(self) -> int:
        return (1 << (self.bits - 1)) - 1 if self.signed else (1 << self.bits) - 1

    def fake_quant(self, x: np.ndarray) -> np.ndarray:
        """x rounded onto the grid and back, as QuantizeLinear then DequantizeLinear
        compute it in float32 (halves to even)."""
        s, z = np.float32(self.scale), np.float32(self.zero_point)
        q = np.divide(np.asarray(x, np.float32), s, dtype=np.float32)     # one copy, then in place
        np.rint(q, out=q)
        q += z
        np.clip(q, self.qmin, self.qmax, out=q)
        q -= z
        q *= s
        return q


def params_of(a: float, b: float, bits: int, symmetric: bool) -> ActParams:
    """Scale and zero point covering [a, b] (a <= 0 <= b) on a ``bits``-bit grid."""
    a, b = min(float(a), 0.0), max(float(b), 0.0)
    if symmetric:
        m = max(-a, b)
        qmax = (1 << (bits - 1)) - 1
        scale = m / qmax if m > 0 else 1.0
        return ActParams(float(np.float32(scale)), 0, bits, True, -m, m)
    qmax = (1 << bits) - 1
    scale = (b - a) / qmax if b > a else 1.0
    scale = float(np.float32(scale))
    zp = int(np.clip(round(-a / scale), 0, qmax))
    return ActParams(scale, zp, bits, False, a, b)


class RangeStats:
    """Two streaming passes over a tensor's samples: ``add_range`` over every
    sample, then ``add_histogram`` over every sample."""

    def __init__(self):
        self.lo, self.hi = math.inf, -math.inf
        self.hist = None
        self.count = 0
        self.nonfinite = 0

    def add_range(self, x: np.ndarray) -> None:
        x = np.asarray(x)
        finite = np.isfinite(x)
        if not finite.all():
            self.nonfinite += int(x.size - finite.sum())
            x = x[finite]
        if x.size:
            self.lo = min(self.lo, float(x.min()))
            self.hi = max(self.hi, float(x.max()))
            self.count += x.size

    def edges(self) -> tuple[float, float]:
        """The histogram's span: [min(lo, 0), max(hi, 0)]."""
        return min(self.lo, 0.0), max(self.hi, 0.0)

    def add_histogram(self, x: np.ndarray) -> None:
        a, b = self.edges()
        if self.hist is None:
            self.hist = np.zeros(BINS, np.int64)
        if b <= a:
            return
        x = np.asarray(x, np.float64).ravel()
        x = x[np.isfinite(x)]
        idx = np.clip(((x - a) / (b - a) * BINS).astype(np.int64), 0, BINS - 1)
        self.hist += np.bincount(idx, minlength=BINS)

    def params(self, method: str, bits: int, symmetric: bool) -> ActParams:
        """The range ``method`` picks, as scale and zero point."""
        if self.count == 0:
            return params_of(0.0, 0.0, bits, symmetric)
        a, b = self.edges()
        if method == "minmax" or b <= a:
            return params_of(a, b, bits, symmetric)
        centers = a + (np.arange(BINS) + 0.5) * (b - a) / BINS
        if method == "percentile":
            return params_of(*_percentile_range(self.hist, centers, a, b), bits, symmetric)
        if method == "entropy":
            return params_of(*_entropy_range(self.hist, centers, a, b, bits, symmetric), bits, symmetric)
        if method == "mse":
            return _mse_params(self.hist, centers, a, b, bits, symmetric)
        raise ValueError(f"unknown activation calibration {method!r}")


def _percentile_range(hist, centers, a, b) -> tuple[float, float]:
    """Cut (100 - PERCENTILE) / 2 % of the mass from each side that holds values."""
    cdf = np.cumsum(hist) / max(hist.sum(), 1)
    tail = (100.0 - PERCENTILE) / 200.0
    lo = centers[np.searchsorted(cdf, tail)] if a < 0 else 0.0
    hi = centers[min(np.searchsorted(cdf, 1.0 - tail), len(centers) - 1)] if b > 0 else 0.0
    return min(lo, 0.0), max(hi, 0.0)


def _one_sided(hist, centers, a, b):
    """The histogram of |x| from the signed one: (counts, upper edges), BINS bins over [0, m]."""
    m = max(-a, b)
    idx = np.clip((np.abs(centers) / m * BINS).astype(np.int64), 0, BINS - 1)
    return np.bincount(idx, weights=hist, minlength=BINS), m


def _kl_threshold(counts: np.ndarray, levels: int) -> int:
    """Number of bins i (>= levels) whose clipped, ``levels``-level quantized
    distribution is closest to counts in KL divergence."""
    best_i, best = len(counts), math.inf
    total = counts.sum()
    if total == 0:
        return len(counts)
    for i in range(levels, len(counts) + 1, max(1, len(counts) // 256)):
        p = counts[:i].astype(np.float64).copy()
        p[-1] += counts[i:].sum()                       # clipped mass on the edge bin
        # the first i bins merged into `levels` groups, spread back over their non-empty bins
        groups = np.array_split(np.arange(i), levels)
        q = np.zeros(i)
        for g in groups:
            nz = counts[g] > 0
            if nz.any():
                q[g[nz]] = counts[g].sum() / nz.sum()
        mask = p > 0
        if not (q[mask] > 0).all():
            continue
        ps, qs = p[mask] / p.sum(), q[mask] / q.sum()
        kl = float(np.sum(ps * np.log(ps / qs)))
        if kl < best:
            best, best_i = kl, i
    return best_i


def _entropy_range(hist, centers, a, b, bits, symmetric) -> tuple[float, float]:
    if symmetric or a == 0 or b == 0:
        counts, m = _one_sided(hist, centers, a, b)
        levels = 1 << (bits - 1) if symmetric or a < 0 < b else 1 << bits
        t = _kl_threshold(counts, min(levels, BINS)) * m / BINS
        return (-t if a < 0 else 0.0), (t if b > 0 else 0.0)
    # each side on its own, with the levels it takes of the grid
    pos, neg = centers > 0, centers < 0
    share = b / (b - a)
    levels = 1 << bits
    hp = np.bincount(np.clip((centers[pos] / b * BINS).astype(int), 0, BINS - 1), hist[pos], BINS)
    hn = np.bincount(np.clip((-centers[neg] / -a * BINS).astype(int), 0, BINS - 1), hist[neg], BINS)
    tb = _kl_threshold(hp, max(2, min(BINS, int(levels * share)))) * b / BINS
    ta = _kl_threshold(hn, max(2, min(BINS, int(levels * (1 - share))))) * -a / BINS
    return -ta, tb


def _mse_params(hist, centers, a, b, bits, symmetric) -> ActParams:
    """The range (whole or shrunk by 0.30 .. 1.00) of least expected squared error."""
    best, best_p = math.inf, None
    w = hist.astype(np.float64)
    for f in np.linspace(0.3, 1.0, 71):
        p = params_of(a * f, b * f, bits, symmetric)
        err = float(w @ (p.fake_quant(centers) - centers) ** 2)
        if err < best:
            best, best_p = err, p
    return best_p
