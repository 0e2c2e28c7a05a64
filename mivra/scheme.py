"""The quantization scheme, one home for each of its rules.

* Grid: a signed b-bit weight takes the integers [-2^(b-1), 2^(b-1) - 1]
  (``quant_utils.int_range``).
* ``qmethod``: "channel" (one scale per output channel) or "groupN" (one scale
  per N input channels of the kernel, i.e. N * kh * kw consecutive flattened
  columns); when N * kh * kw does not divide a layer's column count the layer
  falls back to per channel and its table entry says "channel".
* Symmetry: a per-channel layer follows its ``qtype``; a group-wise layer is
  symmetric unless asymmetric groups are asked for explicitly.
* Rounding: nearest integer, exact halves towards +infinity, everywhere except
  the conversion of zero points for the table, which rounds halves to even.
* Table entries: ``scale``/``zero_point`` list group after group, one value
  per output channel; a grid value q of channel c, group g stands for
  (q - zero_point) * scale.
"""
from __future__ import annotations

import re

import numpy as np

from .api.quant_utils import get_min_max_from_scale_zp, int_range

QMETHOD_RE = re.compile(r"^(channel|group[1-9][0-9]*)$")
MIN_BITS, MAX_BITS = 2, 8


def grid_bounds(bits: int) -> tuple[int, int]:
    """Integer grid [min_bound, max_bound] of a signed b-bit weight."""
    if not MIN_BITS <= bits <= MAX_BITS:
        raise ValueError(f"bits must be between {MIN_BITS} and {MAX_BITS}, got {bits}")
    return int_range(f"int{bits}")


def round_half_up(x) -> np.ndarray:
    """Nearest integer, exact halves towards +infinity (in float64)."""
    return np.floor(np.asarray(x, dtype=np.float64) + 0.5)


def valid_qmethod(qmethod: str) -> bool:
    return bool(QMETHOD_RE.match(qmethod))


def group_channels(qmethod: str) -> int | None:
    """N of "groupN", None for per channel."""
    return int(qmethod[5:]) if qmethod.startswith("group") else None


def group_columns(qmethod: str, kernel_hw: tuple[int, int], n_columns: int) -> int:
    """Columns per group for ``qmethod``, -1 for per channel (also the fallback
    when N * kh * kw does not divide the column count)."""
    n = group_channels(qmethod)
    if n is None:
        return -1
    gs = n * kernel_hw[0] * kernel_hw[1]
    if gs <= 0 or n_columns % gs:
        return -1
    return gs


def is_symmetric(qtype: str, groupsize: int, asym_groups: bool = False) -> bool:
    """Per channel: as ``qtype`` says; group-wise: symmetric unless ``asym_groups``."""
    return qtype == "sym" if groupsize == -1 else not asym_groups


def table_zero_points(scales: np.ndarray, zeros: np.ndarray) -> np.ndarray:
    """round(-zeros / scales) in the arrays' own precision, halves to even, as
    int32; 0 wherever the scale is 0."""
    ratio = np.zeros_like(scales)
    np.divide(np.negative(zeros), scales, out=ratio, where=scales != 0)
    return np.round(ratio).astype(np.int32)


def fill_entry(entry: dict, scale, zero_point, w_int, sym: bool, fell_back: bool) -> dict:
    """Write a solution into a table entry (which holds ``dtype`` and ``qmethod``).

    ``scale`` and ``zero_point`` are flat, group after group; ``fell_back``
    says that group-wise quantization was asked for and per channel was used.
    """
    entry["scale"] = [float(v) for v in np.ravel(scale)]
    entry["zero_point"] = [int(v) for v in np.ravel(zero_point)]
    entry["qtype"] = "sym" if sym else "asym"
    entry["min"], entry["max"] = get_min_max_from_scale_zp(
        entry["scale"], entry["zero_point"], entry["dtype"], entry["qtype"])
    entry["w_int"] = w_int
    if fell_back and str(entry.get("qmethod", "")).startswith("group"):
        entry["qmethod"] = "channel"
    return entry


def dequantize(w_int: np.ndarray, scale: np.ndarray, zero_point: np.ndarray) -> np.ndarray:
    """Float32 weight of grid values ``w_int`` (C, ...) with (C, G) parameters,
    bit for bit what DequantizeLinear computes: float(q - zero_point) * scale."""
    C = w_int.shape[0]
    G = scale.shape[1]
    zp = np.asarray(zero_point)
    if zp.size and np.abs(zp).max() >= 1 << 23:     # q - zp might not be a float32 integer
        q = np.asarray(w_int).reshape(C, G, -1).astype(np.int64) - zp[..., None]
        w = q.astype(np.float32)
    else:   # integers below 2^24 in float32: q - zp computed exactly, in place
        w = np.asarray(w_int).reshape(C, G, -1).astype(np.float32)
        w -= zp.astype(np.float32)[..., None]
    w *= np.asarray(scale, dtype=np.float32)[..., None]
    return w.reshape(w_int.shape)
