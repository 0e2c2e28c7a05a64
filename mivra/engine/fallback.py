"""Layers the solver cannot solve, and how the run says so.

Such a layer (or group of a grouped convolution) is rounded by plain min/max:
its inputs are all zero (nothing to minimise), contain NaN, or give statistics
the solver cannot factorise. The reason is said in words, never with the
solver's raw message (which can print tensors), and the layer table names it
shortly.
"""
from __future__ import annotations

ZERO = ("its inputs are all zero on the calibration set, so there is no output error "
        "to minimise")
NAN = "its inputs contain NaN on the calibration set"
OVERFLOW = "its input statistics overflow (not finite)"

# (start of the solver's message, reason)
_FAILURES = [
    ("Fatal error, the eigenvalues", "its input statistics are numerically not positive "
     "definite (the solver met a negative error)"),
    ("round_gptq: the Hessian", "its input statistics cannot be factorised at any damping level"),
    ("linalg.cholesky", "its input statistics cannot be factorised at any damping level"),
    ("Fatal Error", "the least-squares scale and zero point are not finite"),
]
SHORT_REASONS = {ZERO: "inputs all zero", NAN: "NaN inputs", OVERFLOW: "statistics not finite",
                 _FAILURES[0][1]: "statistics not positive definite",
                 _FAILURES[1][1]: "no factorisation", _FAILURES[3][1]: "scale not finite"}


def solver_failure(e: BaseException) -> str:
    """Why the solver failed on a layer, in words."""
    text = str(e).strip()
    for start, reason in _FAILURES:
        if text.startswith(start):
            return reason
    line = text.splitlines()[0] if text else type(e).__name__
    return "the solver failed: " + (line if len(line) <= 80 else line[:77] + "...")


def fallback_note(node: str, troubles: dict, groups: int) -> tuple[str, str]:
    """(the line that says why, the layer's method) for ``troubles`` ({group:
    (kind, reason)}, kind "zero" or "bad") of a layer of ``groups`` groups."""
    kind, reason = next(iter(troubles.values()))
    label = "note" if all(k == "zero" for k, _ in troubles.values()) else "warning"
    part = "" if groups == 1 else f"{len(troubles)} of {groups} groups: "
    line = f"{label}: layer {node}: {part}{reason}; quantized by plain min/max rounding"
    short = SHORT_REASONS.get(reason, "solver failed")
    if len(troubles) == groups:
        return line, f"minmax (fallback: {short})"
    return line, f"gdq, {len(troubles)} of {groups} groups minmax (fallback: {short})"
