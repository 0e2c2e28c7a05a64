"""Plain min/max rounding: the reference every result of the quantizer is compared with.

One scale (and zero point) per output channel, or per group of consecutive
flattened input columns, taken from the group's value range; weights are rounded
to the nearest grid value.  Nothing looks at the calibration data.

Conventions match the entries the quantizer writes into ``quant_tab``:
the grid is [-2^(b-1), 2^(b-1)-1], the dequantized weight is
``(w_int - zero_point) * scale`` and, for G groups per row, ``scale`` and
``zero_point`` list group after group, one value per output channel.
"""
from __future__ import annotations

import numpy as np

from .scheme import fill_entry, grid_bounds, group_columns, is_symmetric, round_half_up


def minmax_quantize(w: np.ndarray, bits: int, sym: bool, groupsize: int = -1):
    """Round ``w`` (out channels first) onto a b-bit grid by its min/max range.

    ``groupsize`` is the number of consecutive flattened columns per group
    (-1: one group per row).  Returns ``(w_int, scale, zero_point)`` with
    ``w_int`` int8 of ``w``'s shape and ``scale``/``zero_point`` of shape
    (C, G): float64 and int64.

    Symmetric: scale = max|w| / max_bound, zero point 0 (the grid value
    min_bound stays unused, so no value is clipped).  Asymmetric: the range
    [min(w, 0), max(w, 0)] is spread over all 2^b grid values and the zero
    point puts min on min_bound; 0 is then exactly representable.
    """
    min_bound, max_bound = grid_bounds(bits)
    w = np.asarray(w)
    if w.dtype not in (np.float32, np.float64):
        w = w.astype(np.float64)
    C = w.shape[0]
    W = w.reshape(C, -1)
    D = W.shape[1]
    gs = D if groupsize in (-1, None) else int(groupsize)
    if gs <= 0 or D % gs:
        raise ValueError(f"group size {gs} does not divide the {D} columns of the weight")
    G = D // gs
    Wg = W.reshape(C, G, gs)
    # Ranges in w's own dtype (a min or max is exact), parameters in float64.
    lo, hi = Wg.min(axis=-1).astype(np.float64), Wg.max(axis=-1).astype(np.float64)
    if sym:
        scale = np.maximum(-lo, hi) / max_bound
        zero_point = np.zeros((C, G), dtype=np.int64)
    else:
        xmin, xmax = np.minimum(lo, 0.0), np.maximum(hi, 0.0)
        scale = (xmax - xmin) / (max_bound - min_bound)
        safe = np.where(scale > 0, scale, 1.0)
        zero_point = (min_bound - round_half_up(xmin / safe)).astype(np.int64)
    # An all-zero group gets scale 1 so that it rounds to the zero point exactly.
    scale = np.where(scale > 0, scale, 1.0)
    # One float64 buffer, worked in place (a large table's temporaries cost
    # more in fresh pages than in arithmetic).
    q = np.divide(Wg, scale[..., None], dtype=np.float64)
    q += 0.5
    np.floor(q, out=q)                       # round half up
    q += zero_point[..., None]
    np.clip(q, min_bound, max_bound, out=q)
    w_int = q.astype(np.int8).reshape(w.shape)
    return w_int, scale, zero_point


def fill_quant_tab_minmax(weights: dict, quant_tab: dict, bits: int) -> None:
    """Fill ``quant_tab`` entries of ``weights`` (name -> float array) by min/max rounding.

    Reads ``qtype`` and ``qmethod`` of each entry and writes the keys the
    quantizer writes: ``scale``, ``zero_point``, ``qtype``, ``min``, ``max``,
    ``w_int`` and, when group-wise quantization falls back, ``qmethod``
    "channel".  Group-wise quantization is symmetric, as in the quantizer.
    """
    for name, w in weights.items():
        entry = quant_tab[name]
        qmethod = entry.get("qmethod", "channel")
        kh, kw = (w.shape[2], w.shape[3]) if w.ndim == 4 else (1, 1)
        gs = group_columns(qmethod, (kh, kw), int(np.prod(w.shape[1:])))
        sym = is_symmetric(entry.get("qtype"), gs)
        w_int, scale, zero_point = minmax_quantize(w, bits, sym, gs)
        fill_entry(entry, scale.T, zero_point.T, w_int, sym, fell_back=gs == -1)
