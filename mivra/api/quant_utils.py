"""Helpers about quantization grids and the real ranges they represent."""
from __future__ import annotations

import re
from typing import List, Sequence, Tuple, Union

import numpy as np

__all__ = ["int_range", "get_min_max_from_scale_zp"]

_DTYPE = re.compile(r"^(u?)int(\d+)$")


def int_range(dtype: str) -> Tuple[int, int]:
    """Integer grid [qmin, qmax] of ``dtype``.

    "intB" is the signed grid [-2^(B-1), 2^(B-1) - 1] (int4: [-8, 7]);
    "uintB" the unsigned grid [0, 2^B - 1]. Other names raise ValueError.
    """
    m = _DTYPE.match(str(dtype))
    if not m or not 1 <= int(m.group(2)) <= 32:
        raise ValueError(f"unsupported quantized dtype {dtype!r}; expected 'intB' or "
                         f"'uintB' with B in 1..32")
    bits = int(m.group(2))
    if m.group(1):
        return 0, 2**bits - 1
    return -(2 ** (bits - 1)), 2 ** (bits - 1) - 1


def get_min_max_from_scale_zp(scale: Union[float, Sequence[float]],
                              zero_point: Union[int, Sequence[int]],
                              dtype: str, qtype: str) -> Tuple[List[float], List[float]]:
    """Real range each channel of a quantized tensor can represent.

    A grid value q of channel k stands for the real value
    (q - zero_point[k]) * scale[k]. Over the grid [qmin, qmax] of ``dtype``
    (see ``int_range``) the two extremes are

        a_k = (qmin - zero_point[k]) * scale[k]
        b_k = (qmax - zero_point[k]) * scale[k]

    and the result is min_k = min(a_k, b_k), max_k = max(a_k, b_k), so
    min <= max also for negative scales. ``qtype`` ("sym" or "asym") is
    validated; it does not change the rule, since a symmetric tensor is simply
    one whose zero points are 0. ``scale`` and ``zero_point`` are scalars or
    sequences of one length (a scalar is broadcast to the other's length).

    Returns two lists of Python floats (min, max), one element per channel.
    """
    if qtype not in ("sym", "asym"):
        raise ValueError(f"qtype must be 'sym' or 'asym', got {qtype!r}")
    qmin, qmax = int_range(dtype)
    s = np.atleast_1d(np.asarray(scale, dtype=np.float64)).ravel()
    z = np.atleast_1d(np.asarray(zero_point, dtype=np.float64)).ravel()
    if s.size != z.size and s.size != 1 and z.size != 1:
        raise ValueError(f"scale has {s.size} elements but zero_point has {z.size}")
    s, z = np.broadcast_arrays(s, z)
    a = (qmin - z) * s
    b = (qmax - z) * s
    return np.minimum(a, b).tolist(), np.maximum(a, b).tolist()
