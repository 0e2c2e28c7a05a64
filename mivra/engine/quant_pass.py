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

import numpy as np
import torch
from onnx import numpy_helper

from ..api.cpus import available_cpus
from .bias import corrected
from .float_target import CrossMoments, mean_output_error, output_error, target_weights
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
    probe: dict = field(default_factory=dict)   # width -> relative error (probe pass)


@dataclass
class PassResult:
    layers: list
    outputs: dict                     # float model's graph outputs, (N, ...) each
    timings: dict = field(default_factory=dict)
    warnings: list = field(default_factory=list)
    biases: dict = field(default_factory=dict)     # node output -> corrected bias

    def tab(self, which: str = "entry") -> dict:
        return {r.layer.weight: getattr(r, which) for r in self.layers
                if getattr(r, which) is not None}


def _device() -> str:
    return "cuda" if torch.cuda.is_available() else "cpu"


# Why a layer could not be solved, in words: (start of the solver's message, reason);
# the table names the reason shortly.
_FAILURES = [
    ("Fatal error, the eigenvalues", "its input statistics are numerically not positive "
     "definite (the solver met a negative error)"),
    ("round_gptq: the Hessian", "its input statistics cannot be factorised at any damping level"),
    ("linalg.cholesky", "its input statistics cannot be factorised at any damping level"),
    ("Fatal Error", "the least-squares scale and zero point are not finite"),
]
SHORT_REASONS = {
    "its inputs are all zero on the calibration set, so there is no output error to minimise":
        "inputs all zero",
    "its inputs contain NaN on the calibration set": "NaN inputs",
    "its input statistics overflow (not finite)": "statistics not finite",
    _FAILURES[0][1]: "statistics not positive definite",
    _FAILURES[1][1]: "no factorisation",
    _FAILURES[3][1]: "scale not finite",
}


def solver_failure(e: BaseException) -> str:
    """Why the solver failed on a layer, in words (its raw message can print tensors)."""
    text = str(e).strip()
    for start, reason in _FAILURES:
        if text.startswith(start):
            return reason
    line = text.splitlines()[0] if text else type(e).__name__
    return "the solver failed: " + (line if len(line) <= 80 else line[:77] + "...")


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
        read, c = self.read(), self.counts[self.read()].astype(np.float64)
        Wr = W[read].astype(np.float64)
        errs = [float(c @ ((np.asarray(Wh, np.float64)[read] - Wr) ** 2).sum(1)) for Wh in W_hats]
        return errs, float(c @ (Wr ** 2).sum(1))


@dataclass
class BlockStats:
    """Statistics of one row block (a convolution group) of a layer."""
    solve: Moments                    # H the solver sees: of the float inputs, or of the
                                      # partly quantized model's in the sequential pass
    float: Moments | None = None      # H of the float inputs when that differs
    cross: CrossMoments | None = None  # x x~^T and the means (sequential, bias correction)

    def H_float(self) -> torch.Tensor:
        return (self.float or self.solve).H


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
        self.stats: dict = {}
        self.biases: dict = {}
        self.timings = Counter()
        self.warnings: list = []

    def run(self, progress=None) -> PassResult:
        torch.set_num_threads(available_cpus())
        gq = native()
        gq._stage_timing(True)
        gq._stage_times()          # start from zero
        streams = Streams(self.ir, self.feeds, quantized=self.recipe.sequential)
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
                          warnings=self.warnings, biases=self.biases)

    # -- per node -----------------------------------------------------------

    def _before(self, node, streams: Streams) -> None:
        t = self.by_output.get(node.output[0] if node.output else None)
        if t is None:
            return
        t0 = time.perf_counter()
        if t.kind == "gather":
            counts = self.stats.setdefault(t.weight, RowCounts(t.rows))
            for idx in streams.float[t.input]:
                counts.add(idx)
        else:
            self._accumulate(t, streams)
        self.timings["hessian"] += time.perf_counter() - t0
        self.users_left[t.weight] -= 1
        if self.users_left[t.weight] == 0:
            self._quantize(t, self.stats.pop(t.weight), streams)
        self.results[t.output].seconds = time.perf_counter() - t0

    def _accumulate(self, t, streams: Streams) -> None:
        """Add the layer's inputs to the statistics of its row blocks."""
        r = self.recipe
        blocks = self.stats.setdefault(t.weight, [
            BlockStats(Moments(), Moments() if r.sequential else None,
                       CrossMoments() if r.sequential or r.bias_correction else None)
            for _ in range(t.groups)])
        quant = streams.quant[t.input] if r.sequential else None
        for batches, batches_q in input_batches(t, streams.float[t.input], quant):
            for blk, (layer, x), (_, xq) in zip(blocks, batches, batches_q or batches):
                blk.solve.add(layer, xq)
                if blk.float is not None:
                    blk.float.add(layer, x)
                if blk.cross is not None:
                    blk.cross.add(layer, x, xq if r.sequential else None)

    def _solve_block(self, W: np.ndarray, blk: BlockStats, bits: int, gs: int, sym: bool):
        """(solution, trouble) of one row block; trouble is (kind, reason) or None."""
        r = self.recipe
        trouble = blk.solve.degenerate() or (blk.float.degenerate() if blk.float else None)
        if trouble is not None:
            return None, trouble
        try:
            target = W
            if r.sequential and r.float_target:
                target = target_weights(W, blk.cross.cross(), blk.solve.H)
            return solve_gdq(target, blk.solve, bits, gs, sym, r.rounds, _device()), None
        except (ValueError, RuntimeError) as e:
            return None, ("bad", solver_failure(e))

    def _block_errors(self, W: np.ndarray, W_hats: list, blk: BlockStats) -> tuple[list, float]:
        """(error of each of W_hats, output energy) of one block of rows."""
        if blk.solve.degenerate() is not None or (blk.float and blk.float.degenerate()):
            return [0.0] * len(W_hats), 0.0
        if self.recipe.sequential:
            return output_error(W, W_hats, blk.float.H, blk.cross.cross(), blk.solve.H)
        return error_energy(W, W_hats, blk.solve.H)

    def _probe(self, t, blocks) -> None:
        """The relative error of a quick solve at each probed width."""
        r = self.recipe
        W = t.matrix(numpy_helper.to_array(self.weights[t.weight]))
        gs, sym = scheme_of(t, r.qmethod, r.qtype, r.asym_groups)
        err, base = np.zeros(len(r.probe_widths)), 0.0
        if t.kind == "gather":
            W_hats = [self._solve_rows(W, blocks, bits, gs, sym, r.probe_rounds)[0].dequantized()
                      for bits in r.probe_widths]
            err, base = blocks.errors(W, W_hats)
            blocks = []
        for rows, blk in zip(t.group_rows(), blocks):
            W_hats = []
            for bits in r.probe_widths:
                sol = None
                if r.method == "gdq" and blk.solve.degenerate() is None:
                    try:
                        sol = solve_gdq(W[rows], blk.solve, bits, gs, sym, r.probe_rounds, _device())
                    except (ValueError, RuntimeError):
                        pass
                W_hats.append((sol or solve_minmax(W[rows], bits, gs, sym)).dequantized())
            e, b = self._block_errors(W[rows], W_hats, blk)
            err, base = err + np.asarray(e), base + b
        probe = {bits: float(e / base) if base > 0 else 0.0 for bits, e in zip(r.probe_widths, err)}
        for user in (u for u in self.layers if u.weight == t.weight and not u.excluded):
            self.results[user.output].probe = probe

    def _solve_rows(self, W: np.ndarray, counts: "RowCounts", bits: int, gs: int, sym: bool,
                    rounds: int) -> tuple:
        """(solution, min/max solution) of an embedding table: the rows the
        calibration set reads by the solver with H = I (each row's own squared
        error), the others by min/max."""
        mm = solve_minmax(W, bits, gs, sym)
        read = counts.read()
        if self.recipe.method != "gdq" or not len(read):
            return mm, mm
        eye = Moments(H=torch.eye(W.shape[1], dtype=torch.float64), n=float(counts.counts.sum()))
        return mm.with_rows(read, solve_gdq(W[read], eye, bits, gs, sym, rounds, _device())), mm

    def _quantize(self, t, blocks, streams: Streams) -> None:
        r = self.recipe
        if r.probe_widths:
            return self._probe(t, blocks)
        W = t.matrix(numpy_helper.to_array(self.weights[t.weight]))
        bits = r.bits_of(t.weight)
        gs, sym = scheme_of(t, r.qmethod, r.qtype, r.asym_groups)
        t0 = time.perf_counter()
        sols, mms, troubles = [], [], []
        if t.kind == "gather":
            sol, mm = self._solve_rows(W, blocks, bits, gs, sym, r.rounds)
            sols, mms = [sol], [mm]
        for rows, blk in zip(t.group_rows(), blocks) if t.kind != "gather" else ():
            mm = solve_minmax(W[rows], bits, gs, sym)
            sol = None
            if r.method == "gdq":
                sol, trouble = self._solve_block(W[rows], blk, bits, gs, sym)
                if trouble is not None:
                    troubles.append(trouble)
            sols.append(sol or mm)
            mms.append(mm)
        solve_seconds = time.perf_counter() - t0
        self.timings["solve"] += solve_seconds
        method = r.method if not troubles else self._fallback(t, troubles, len(blocks))
        sol, mm = Solution.stack(sols), Solution.stack(mms)
        W_hat = sol.dequantized()
        if r.sequential:
            streams.replaced[t.weight] = t.stored(W_hat)
        bias = self._bias(t, W, W_hat, blocks) if r.bias_correction and t.kind != "gather" else None

        t0 = time.perf_counter()
        entry = sol.entry(self._new_entry(bits), t)
        mm_entry = mm.entry(self._new_entry(bits), t)
        if t.kind == "gather":
            (err, err_mm), base = blocks.errors(W, [W_hat, mm.dequantized()])
        else:
            err = base = err_mm = 0.0
            for rows, blk, s, m in zip(t.group_rows(), blocks, sols, mms):
                (e, e_mm), b = self._block_errors(W[rows], [s.dequantized(), m.dequantized()], blk)
                err, base, err_mm = err + e, base + b, err_mm + e_mm
        rel = (err / base, err_mm / base) if base > 0 else (math.nan, math.nan)
        for user in (u for u in self.layers if u.weight == t.weight and not u.excluded):
            res = self.results[user.output]
            res.bits, res.method, res.entry, res.minmax_entry = bits, method, entry, mm_entry
            res.err, res.err_minmax = rel
            res.solve_seconds = solve_seconds
            res.vectors = blocks.total() if t.kind == "gather" else blocks[0].solve.n
            if t.kind == "grouped" and r.qmethod != "channel":
                res.note = "group-wise scales do not apply to grouped convolutions: per channel"
            if bias is not None:
                self.biases[user.bias_holder] = streams.biases[user.bias_holder] = bias
        self.timings["error_table"] += time.perf_counter() - t0

    def _bias(self, t, W: np.ndarray, W_hat: np.ndarray, blocks: list) -> np.ndarray | None:
        """The corrected bias of ``t``, or None (no bias input to correct)."""
        m = np.concatenate([mean_output_error(W[rows], W_hat[rows], *blk.cross.mean())
                            for rows, blk in zip(t.group_rows(), blocks)])
        current = numpy_helper.to_array(self.weights[t.bias]) if t.bias in self.weights else None
        if t.bias and current is None:      # a bias computed by the graph: leave it
            return None
        return corrected(t, current, m)

    def _new_entry(self, bits: int) -> dict:
        return {"qtype": self.recipe.qtype, "dtype": f"int{bits}", "qmethod": self.recipe.qmethod}

    def _fallback(self, t, troubles: list, n_blocks: int) -> str:
        """Say why some row blocks were rounded by min/max; returns the layer's method."""
        kind, reason = troubles[0]
        short = SHORT_REASONS.get(reason, "solver failed")
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
