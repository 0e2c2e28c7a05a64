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
from .layer import Moments, native, relative_error, scheme_of, solve_gdq, solve_minmax
from .recipe import Recipe
from .stream import Streams


@dataclass
class LayerResult:
    layer: object                     # the ConvLayer
    bits: int | None = None
    method: str = "float"             # "gdq", "minmax" or "minmax (fallback: ...)"
    entry: dict | None = None         # filled table entry (None when kept float)
    minmax_entry: dict | None = None
    err: float = math.nan             # relative Hessian-weighted error of the entry
    err_minmax: float = math.nan      # the same for plain min/max rounding
    seconds: float | None = None      # statistics + solve


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
        L = self.by_output.get(node.output[0] if node.output else None)
        if L is None:
            return
        t0 = time.perf_counter()
        mom = self.moments.setdefault(L.weight, Moments())
        mom.add_conv(L, streams.float[L.input])
        self.timings["hessian"] += time.perf_counter() - t0
        self.users_left[L.weight] -= 1
        if self.users_left[L.weight] == 0:
            self._quantize(L, self.moments.pop(L.weight))
        self.results[L.output].seconds = time.perf_counter() - t0

    def _quantize(self, L, mom: Moments) -> None:
        r = self.recipe
        w = numpy_helper.to_array(self.weights[L.weight])
        bits = r.bits_of(L.weight)
        gs, sym = scheme_of(w, r.qmethod, r.qtype, r.asym_groups)
        method = r.method
        if method == "gdq":
            trouble = mom.degenerate()
            sol = None
            if trouble is None:
                t0 = time.perf_counter()
                try:
                    sol = solve_gdq(w, mom, bits, gs, sym, r.rounds, _device())
                except (ValueError, RuntimeError) as e:
                    trouble = ("bad", str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__)
                self.timings["solve"] += time.perf_counter() - t0
            if sol is None:
                method = self._fallback(L, *trouble)
        mm = solve_minmax(w, bits, gs, sym)
        if method != "gdq":
            sol = mm
        t0 = time.perf_counter()
        entry = sol.entry(self._new_entry(bits))
        mm_entry = mm.entry(self._new_entry(bits)) if sol is not mm else entry
        H = mom.H if mom.degenerate() is None else None
        for user in (u for u in self.layers if u.weight == L.weight and not u.excluded):
            res = self.results[user.output]
            res.bits, res.method, res.entry, res.minmax_entry = bits, method, entry, mm_entry
            if H is not None:
                res.err = relative_error(w, sol.dequantized(), H)
                res.err_minmax = res.err if sol is mm else relative_error(w, mm.dequantized(), H)
        self.timings["error_table"] += time.perf_counter() - t0

    def _new_entry(self, bits: int) -> dict:
        return {"qtype": self.recipe.qtype, "dtype": f"int{bits}", "qmethod": self.recipe.qmethod}

    def _fallback(self, L, kind: str, reason: str) -> str:
        label = "note" if kind == "zero" else "warning"
        line = f"{label}: layer {L.node}: {reason}; quantized by plain min/max rounding"
        self.warnings.append(line)
        self.warn(line)
        short = "inputs all zero" if kind == "zero" else reason
        return f"minmax (fallback: {short})"


def quantize_model(ir, feeds: dict, layers: list, recipe: Recipe, warn=None,
                   progress=None) -> PassResult:
    """Quantize the non-excluded layers of ``layers`` (ConvLayers of ``ir``'s
    model) with ``recipe`` on the calibration ``feeds`` ({input: (N, ...)})."""
    return QuantPass(ir, feeds, layers, recipe, warn).run(progress)
