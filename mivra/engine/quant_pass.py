"""The command line's quantization pass.

One walk over the model's nodes (``stream.Streams``): before a quantized
convolution runs, its inputs for the whole calibration set are at hand; their
second moment H is accumulated and the layer is solved at once, then the walk
goes on. The float model's graph outputs are kept for the report, and each
layer's Hessian-weighted error (of the solution and of plain min/max rounding)
is measured on the same H, so the calibration set goes through the model once.

A weight shared by several convolutions is solved once, on the union of its
users' inputs, when its last user is reached. Excluded layers are not solved.
A layer whose statistics leave the solver nothing to work with (inputs all
zero, non-finite statistics, no positive-definite factor) is quantized by
plain min/max rounding with one warning line.
"""
from __future__ import annotations

import math
import time
from collections import Counter
from dataclasses import dataclass, field

import torch
from onnx import numpy_helper

from ..api.cpus import available_cpus
from .layer import (Moments, Solution, error_energy, input_batches, native, scheme_of,
                    solve_gdq, solve_minmax)
from .recipe import Recipe
from .stream import Streams


@dataclass
class LayerResult:
    layer: object                     # the Target
    bits: int | None = None
    method: str = "float"             # "gdq", "minmax" or "minmax (fallback: ...)"
    entry: dict | None = None         # filled table entry (None when kept float)
    minmax_entry: dict | None = None
    err: float = math.nan             # relative Hessian-weighted error of the entry
    err_minmax: float = math.nan      # the same for plain min/max rounding
    seconds: float | None = None      # statistics + solve
    solve_seconds: float | None = None
    vectors: float = 0                # input vectors behind the statistics
    note: str | None = None


@dataclass
class PassResult:
    layers: list
    outputs: dict                     # float model's graph outputs, (N, ...) each
    timings: dict = field(default_factory=dict)
    warnings: list = field(default_factory=list)

    def tab(self, which: str = "entry") -> dict:
        return {r.layer.weight: getattr(r, which) for r in self.layers
                if getattr(r, which) is not None}


def _device() -> str:
    return "cuda" if torch.cuda.is_available() else "cpu"


class QuantPass:
    def __init__(self, ir, feeds: dict, layers: list, recipe: Recipe, warn=None):
        self.ir, self.feeds, self.recipe = ir, feeds, recipe
        self.layers = layers
        self.warn = warn or (lambda line: None)
        self.weights = {t.name: t for t in ir.model.graph.initializer}
        self.results = {L.output: LayerResult(layer=L) for L in layers}
        active = [L for L in layers if not L.excluded]
        self.by_output = {L.output: L for L in active}
        self.users_left = Counter(L.weight for L in active)
        self.moments: dict = {}
        self.timings = Counter()
        self.warnings: list = []

    def run(self, progress=None) -> PassResult:
        torch.set_num_threads(available_cpus())
        gq = native()
        gq._stage_timing(True)
        gq._stage_times()          # start from zero
        streams = Streams(self.ir, self.feeds)
        try:
            streams.walk(self._before, progress)
        finally:
            stages = gq._stage_times()
            gq._stage_timing(False)
        self.timings["forward"] = streams.seconds
        for k, v in stages.items():
            self.timings["solver." + k] += v
        return PassResult(layers=[self.results[L.output] for L in self.layers],
                          outputs=streams.outputs, timings=dict(self.timings),
                          warnings=self.warnings)

    # -- per node -----------------------------------------------------------

    def _before(self, node, streams: Streams) -> None:
        t = self.by_output.get(node.output[0] if node.output else None)
        if t is None:
            return
        t0 = time.perf_counter()
        blocks = self.moments.setdefault(t.weight, [Moments() for _ in range(t.groups)])
        for mom, (layer, x) in zip(blocks, input_batches(t, streams.float[t.input])):
            mom.add(layer, x)
        self.timings["hessian"] += time.perf_counter() - t0
        self.users_left[t.weight] -= 1
        if self.users_left[t.weight] == 0:
            self._quantize(t, self.moments.pop(t.weight))
        self.results[t.output].seconds = time.perf_counter() - t0

    def _quantize(self, t, blocks: list) -> None:
        r = self.recipe
        W = t.matrix(numpy_helper.to_array(self.weights[t.weight]))
        bits = r.bits_of(t.weight)
        gs, sym = scheme_of(t, r.qmethod, r.qtype, r.asym_groups)
        t0 = time.perf_counter()
        sols, mms, troubles = [], [], []
        for rows, mom in zip(t.group_rows(), blocks):
            mm = solve_minmax(W[rows], bits, gs, sym)
            sol = mm
            if r.method == "gdq":
                trouble = mom.degenerate()
                if trouble is None:
                    try:
                        sol = solve_gdq(W[rows], mom, bits, gs, sym, r.rounds, _device())
                    except (ValueError, RuntimeError) as e:
                        text = str(e).strip()
                        trouble = ("bad", text.splitlines()[0] if text else type(e).__name__)
                if trouble is not None:
                    troubles.append(trouble)
            sols.append(sol)
            mms.append(mm)
        solve_seconds = time.perf_counter() - t0
        self.timings["solve"] += solve_seconds
        method = r.method if not troubles else self._fallback(t, troubles, len(blocks))
        sol, mm = Solution.stack(sols), Solution.stack(mms)

        t0 = time.perf_counter()
        entry = sol.entry(self._new_entry(bits), t)
        mm_entry = mm.entry(self._new_entry(bits), t)
        err = base = err_mm = 0.0
        for rows, mom, s, m in zip(t.group_rows(), blocks, sols, mms):
            if mom.degenerate() is None:
                e, b = error_energy(W[rows], s.dequantized(), mom.H)
                err, base = err + e, base + b
                err_mm += error_energy(W[rows], m.dequantized(), mom.H)[0]
        rel = (err / base, err_mm / base) if base > 0 else (math.nan, math.nan)
        for user in (u for u in self.layers if u.weight == t.weight and not u.excluded):
            res = self.results[user.output]
            res.bits, res.method, res.entry, res.minmax_entry = bits, method, entry, mm_entry
            res.err, res.err_minmax = rel
            res.solve_seconds, res.vectors = solve_seconds, blocks[0].n
            if t.kind == "grouped" and r.qmethod != "channel":
                res.note = "group-wise scales do not apply to grouped convolutions: per channel"
        self.timings["error_table"] += time.perf_counter() - t0

    def _new_entry(self, bits: int) -> dict:
        return {"qtype": self.recipe.qtype, "dtype": f"int{bits}", "qmethod": self.recipe.qmethod}

    def _fallback(self, t, troubles: list, n_blocks: int) -> str:
        """Say why some row blocks were rounded by min/max; returns the layer's method."""
        kind, reason = troubles[0]
        short = "inputs all zero" if kind == "zero" else reason
        label = "note" if all(k == "zero" for k, _ in troubles) else "warning"
        part = "" if n_blocks == 1 else f"{len(troubles)} of {n_blocks} groups: "
        line = f"{label}: layer {t.node}: {part}{reason}; quantized by plain min/max rounding"
        self.warnings.append(line)
        self.warn(line)
        if len(troubles) == n_blocks:
            return f"minmax (fallback: {short})"
        return f"gdq, {len(troubles)} of {n_blocks} groups minmax (fallback: {short})"


def quantize_model(ir, feeds: dict, layers: list, recipe: Recipe, warn=None,
                   progress=None) -> PassResult:
    """Quantize the non-excluded layers of ``layers`` (Targets of ``ir``'s
    model) with ``recipe`` on the calibration ``feeds`` ({input: (N, ...)})."""
    return QuantPass(ir, feeds, layers, recipe, warn).run(progress)
