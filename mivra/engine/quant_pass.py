"""The command line's quantization pass.

One walk over the model's nodes (``stream.Streams``): before a quantized
convolution runs, its inputs for the whole calibration set are at hand; their
second moment H is accumulated and the layer is solved at once, then the walk
goes on. The float model's graph outputs are kept for the report, and each
layer's Hessian-weighted error (of the solution and of plain min/max rounding)
is measured on the same H, so the calibration set goes through the model once.

A weight shared by several convolutions is solved once, on the union of its
users' inputs, when its last user is reached. Excluded layers are not solved.
All groups of a grouped convolution are solved in one call, each on its own
statistics (H is (g, D, D)). A layer or group whose statistics leave the
solver nothing to work with (inputs all zero, non-finite statistics, no
positive-definite factor) is quantized by plain min/max rounding with one
warning line (see ``fallback``).
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
from .activations import RangeStats
from .bias import corrected
from .fallback import fallback_note, solver_failure
from .float_target import Means, PairedMoments, mean_output_error, output_error, target_weights
from .layer import (Moments, RowCounts, Solution, error_energy, input_batches, native, scheme_of,
                    solve_gdq, solve_minmax)
from .recipe import Recipe
from .samples import SampleList
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
    biases: dict = field(default_factory=dict)     # bias holder's output -> corrected bias
    acts: dict = field(default_factory=dict)       # activation tensor -> ActParams
    act_sqnr: dict = field(default_factory=dict)   # activation tensor -> SQNR (dB) of its rounding

    def tab(self, which: str = "entry") -> dict:
        return {r.layer.weight: getattr(r, which) for r in self.layers
                if getattr(r, which) is not None}


def _device() -> str:
    return "cuda" if torch.cuda.is_available() else "cpu"


@dataclass
class LayerStats:
    """Statistics of one layer (with a leading group axis for a grouped convolution).

    The plain pass accumulates H of the float inputs with the library's
    add_batch (and their means for a bias correction); the sequential pass
    accumulates H~, H and C of the paired inputs from one set of patches."""
    solve: Moments | None = None      # H the solver sees: of the float inputs, or of the
                                      # partly quantized model's in the sequential pass
    float: Moments | None = None      # H of the float inputs when that differs
    cross: object = None              # Cross: x x~^T and the means (sequential, bias correction)
    paired: PairedMoments | None = None
    means: Means | None = None

    def finish(self) -> "LayerStats":
        """Turn the accumulators into the moments the solve reads."""
        if self.paired is not None:
            self.solve, self.float, self.cross = self.paired.result()
        elif self.means is not None:
            self.cross = self.means.result()
        self.paired = self.means = None
        return self

    def troubles(self, groups: int) -> dict:
        """{group: (kind, reason)} of the groups left to min/max rounding."""
        out = self.float.troubles(groups) if self.float else {}
        out.update(self.solve.troubles(groups))
        return dict(sorted(out.items()))


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
        self.seen: dict = {}          # statistics of the last layer solved alone, by its inputs
        self.pending: dict = {}       # layer output -> its error table, waiting for the output
        self.biases: dict = {}
        self.acts: dict = {}
        self.act_sqnr: dict = {}
        self.clamped = _clamped_outputs(ir.model.graph, self.by_output) if recipe.act_bits else {}
        self.gates = _gate_outputs(ir.model.graph, self.by_output) if recipe.act_bits else set()
        self.timings = Counter()
        self.warnings: list = []

    def run(self, progress=None) -> PassResult:
        torch.set_num_threads(available_cpus())
        gq = native()
        gq._stage_timing(True)
        gq._stage_times()          # start from zero
        streams = Streams(self.ir, self.feeds, quantized=self.recipe.sequential)
        try:
            streams.walk(self._before, progress, self._stops(),
                         self._after if self.recipe.act_bits or self.recipe.sequential else None)
        finally:
            stages = gq._stage_times()
            gq._stage_timing(False)
        self.timings["forward"] = streams.seconds
        for k, v in stages.items():
            self.timings["solver." + k] += v
        return PassResult(layers=[self.results[L.output] for L in self.layers],
                          outputs=streams.outputs, timings=dict(self.timings),
                          warnings=self.warnings, biases=self.biases,
                          acts={k: v for k, v in self.acts.items() if v is not None},
                          act_sqnr=self.act_sqnr)

    def _stops(self) -> set:
        """First outputs of the nodes the hooks run at: the layers quantized and,
        when the quantized stream runs, any other reader of their weights and the
        holders of their biases (whose initializers that stream replaces)."""
        stops = set(self.by_output) | set(self.clamped.values()) | self.gates
        if self.recipe.sequential:
            active = list(self.by_output.values())
            weights = {L.weight for L in active}
            stops |= {L.bias_holder for L in active}
            stops |= {n.output[0] for n in self.ir.model.graph.node
                      if n.output and weights & set(n.input)}
        return stops

    # -- per node -----------------------------------------------------------

    def _before(self, node, streams: Streams) -> None:
        t = self.by_output.get(node.output[0] if node.output else None)
        if t is None:
            return
        t0 = time.perf_counter()
        if self.recipe.act_bits and t.kind != "gather":
            self._quantize_activation(t.input, streams)
        alone = self.users_left[t.weight] == 1 and t.weight not in self.stats
        from_output = alone and self._energy_from_output(t)
        key = (t.statistics_key(), from_output)
        if alone and key in self.seen:     # the same inputs seen the same way (Q, K, V)
            self.stats[t.weight] = self.seen[key]
        elif t.kind == "gather":
            counts = self.stats.setdefault(t.weight, RowCounts(t.rows))
            for idx in streams.float[t.input]:
                counts.add(idx)
        else:
            self._accumulate(t, streams, from_output)
        self.timings["hessian"] += time.perf_counter() - t0
        self.users_left[t.weight] -= 1
        if self.users_left[t.weight] == 0:
            st = self.stats.pop(t.weight)
            if t.kind != "gather":
                st = st.finish()
            # statistics holding this layer's own |W x|^2 serve no other layer
            if alone and getattr(getattr(st, "cross", None), "energy", None) is None:
                self.seen = {key: st}
            self._quantize(t, st, streams, from_output)
        self.results[t.output].seconds = time.perf_counter() - t0

    def _energy_from_output(self, t) -> bool:
        """Whether the sequential pass's error table takes the float output
        energy mean |W x|^2 from the layer's own output once it has run (its
        output less its bias is W x), saving the float inputs' H: a layer
        alone on its weight, solved at one width."""
        r = self.recipe
        return (r.sequential and not r.probe_widths and t.kind in ("conv", "grouped", "matmul")
                and (not t.bias or t.bias in self.weights))

    def _accumulate(self, t, streams: Streams, from_output: bool = False) -> None:
        """Add the layer's inputs to its statistics."""
        r = self.recipe
        if r.sequential:
            st = self.stats.setdefault(t.weight, LayerStats(
                paired=PairedMoments(not from_output, means=r.bias_correction)))
        else:
            st = self.stats.setdefault(t.weight, LayerStats(
                solve=Moments(), means=Means() if r.bias_correction else None))
        quant = streams.quant[t.input] if r.sequential else None
        W = None
        if st.paired is not None and self.users_left[t.weight] == 1:
            Wm = t.matrix(numpy_helper.to_array(self.weights[t.weight]))
            if Wm.shape[0] // t.groups < Wm.shape[1] // 2:     # W C and |W x|^2 cost less than C and H
                W = torch.from_numpy(np.asarray(Wm, np.float64))
                W = W.view(t.groups, -1, W.shape[1]) if t.groups > 1 else W
        for (layer, x), batch_q in input_batches(t, streams.float[t.input], quant):
            if st.paired is not None:
                st.paired.add(layer, x, batch_q[1], W)
                continue
            st.solve.add(layer, x)
            if st.means is not None:
                st.means.add(layer, x)

    def _after(self, node, streams: Streams) -> None:
        name = node.output[0] if node.output else None
        t = self.by_output.get(name)
        if name in self.pending:
            t0 = time.perf_counter()
            energy = self._output_energy(t, streams.float[name])
            self._set_errors(*self.pending.pop(name), energy)
            self.timings["error_table"] += time.perf_counter() - t0
        if not self.recipe.act_bits:
            return
        if t is not None and t.kind != "gather" and name not in self.clamped:
            self._quantize_activation(name, streams)
        elif name in self.clamped.values() or name in self.gates:
            self._quantize_activation(name, streams)

    def _quantize_activation(self, name: str, streams: Streams) -> None:
        """The range of activation ``name`` from the float stream and, in the
        sequential pass, its rounding applied to the quantized stream, so that
        later layers are solved on the inputs the quantized model gives them."""
        if name in self.acts or name not in streams.float:
            return
        samples = streams.float[name]
        if not len(samples) or samples[0].dtype != np.float32:
            return
        r = self.recipe
        t0 = time.perf_counter()
        rs = RangeStats()
        for x in samples:
            rs.add_range(x)
        if rs.nonfinite:
            line = (f"warning: activation {name}: {rs.nonfinite} value(s) are NaN or infinite on the "
                    "calibration set, so it has no range; it stays float")
            self.warnings.append(line)
            self.warn(line)
            self.acts[name] = None
            return
        if r.act_calib != "minmax":         # the other rules read the histogram
            for x in samples:
                rs.add_histogram(x)
        p = rs.params(r.act_calib, r.act_bits, r.act_symmetric)
        sqnr = _rounding_sqnr(samples, p)
        if r.act_min_sqnr is not None and p.bits < 16 and sqnr < r.act_min_sqnr:
            p = rs.params(r.act_calib, 16, r.act_symmetric)     # a hard tensor: 16 bits
            sqnr = _rounding_sqnr(samples, p)
        self.acts[name], self.act_sqnr[name] = p, sqnr
        if streams.quant is not None:
            streams.quant[name] = SampleList(p.fake_quant(x) for x in streams.quant[name])
        self.timings["activations"] += time.perf_counter() - t0

    # -- solving --------------------------------------------------------------

    def _solve(self, t, W: np.ndarray, st, bits: int, rounds: int) -> tuple:
        """(solution, min/max solution, troubles {group: (kind, reason)}) of ``t``."""
        r = self.recipe
        gs, sym = scheme_of(t, r.qmethod, r.qtype, r.asym_groups)
        mm = solve_minmax(W, bits, gs, sym)
        if r.method != "gdq":
            return mm, mm, {}
        if t.kind == "gather":
            return self._solve_rows(W, st, bits, gs, sym, rounds, mm), mm, {}
        troubles = st.troubles(t.groups)
        ok = [g for g in range(t.groups) if g not in troubles]
        if not ok:
            return mm, mm, troubles
        rows = t.rows_of(ok)
        solve = st.solve.groups(ok)
        try:
            target = W[rows]
            if r.sequential and r.float_target:
                target = target_weights(W[rows], st.cross.weighted(W[rows], ok), solve.H, solve.n)
            part = solve_gdq(target, solve, bits, gs, sym, rounds, _device())
        except (ValueError, RuntimeError) as e:
            return mm, mm, {**troubles, **{g: ("bad", solver_failure(e)) for g in ok}}
        return (part if len(ok) == t.groups else mm.with_rows(rows, part)), mm, troubles

    def _solve_rows(self, W: np.ndarray, counts: RowCounts, bits: int, gs: int, sym: bool,
                    rounds: int, mm: Solution) -> Solution:
        """An embedding table: the rows the calibration set reads by the solver
        with H = I (each row's own squared error), the others by min/max (``mm``)."""
        read = counts.read()
        if not len(read):
            return mm
        eye = Moments(H=torch.eye(W.shape[1], dtype=torch.float64), n=float(counts.total()))
        return mm.with_rows(read, solve_gdq(W[read], eye, bits, gs, sym, rounds, _device()))

    def _errors(self, t, W: np.ndarray, W_hats: list, st, troubles: dict,
                energy: torch.Tensor | None = None) -> tuple[list, float]:
        """(error of each of W_hats, output energy) of ``t`` over the groups the
        solver could take (the others have nothing to measure); ``energy``: the
        output energy as measured on the layer's outputs, if it was."""
        if t.kind == "gather":
            return st.errors(W, W_hats)
        ok = [g for g in range(t.groups) if g not in troubles]
        if not ok:
            return [0.0] * len(W_hats), 0.0
        rows = t.rows_of(ok)
        W, W_hats = W[rows], [Wh[rows] for Wh in W_hats]
        if self.recipe.sequential:
            energy = st.cross.energy if energy is None else energy
            if t.groups > 1 and energy is not None:     # per group: the groups solved
                energy = energy[ok]
            return output_error(W, W_hats, st.float.groups(ok).H if st.float else None,
                                st.cross.weighted(W, ok), st.solve.groups(ok).H, energy)
        return error_energy(W, W_hats, st.solve.groups(ok).H)

    def _probe(self, t, st) -> None:
        """The relative error of a quick solve at each probed width."""
        r = self.recipe
        W = t.matrix(numpy_helper.to_array(self.weights[t.weight]))
        W_hats, troubles = [], {}
        for bits in r.probe_widths:
            sol, _, troubles = self._solve(t, W, st, bits, r.probe_rounds)
            W_hats.append(sol.dequantized())
        err, base = self._errors(t, W, W_hats, st, troubles)
        probe = {bits: float(e / base) if base > 0 else 0.0 for bits, e in zip(r.probe_widths, err)}
        for user in (u for u in self.layers if u.weight == t.weight and not u.excluded):
            self.results[user.output].probe = probe

    def _quantize(self, t, st, streams: Streams, from_output: bool = False) -> None:
        r = self.recipe
        if r.probe_widths:
            return self._probe(t, st)
        W = t.matrix(numpy_helper.to_array(self.weights[t.weight]))
        bits = r.bits_of(t.weight)
        t0 = time.perf_counter()
        sol, mm, troubles = self._solve(t, W, st, bits, r.rounds)
        solve_seconds = time.perf_counter() - t0
        self.timings["solve"] += solve_seconds
        method = r.method if not troubles else self._fallback(t, troubles)
        W_hat = sol.dequantized()
        if r.sequential:
            streams.replaced[t.weight] = t.stored(W_hat)
        bias = (self._bias(t, W, W_hat, st)
                if r.bias_correction and t.kind != "gather" and st.cross is not None else None)

        t0 = time.perf_counter()
        entry = sol.entry(self._new_entry(bits), t)
        mm_entry = mm.entry(self._new_entry(bits), t) if r.minmax_table else None
        for user in (u for u in self.layers if u.weight == t.weight and not u.excluded):
            res = self.results[user.output]
            res.bits, res.method, res.entry, res.minmax_entry = bits, method, entry, mm_entry
            res.solve_seconds = solve_seconds
            res.vectors = st.total() if t.kind == "gather" else st.solve.n
            if t.kind == "grouped" and r.qmethod != "channel":
                res.note = "group-wise scales do not apply to grouped convolutions: per channel"
            if bias is not None:
                self.biases[user.bias_holder] = streams.biases[user.bias_holder] = bias
        table = (t, W, [W_hat, mm.dequantized()], st, troubles)
        if from_output:
            self.pending[t.output] = table
        else:
            self._set_errors(*table)
        self.timings["error_table"] += time.perf_counter() - t0

    def _set_errors(self, t, W: np.ndarray, W_hats: list, st, troubles: dict, energy=None) -> None:
        """The error of the solution and of min/max rounding (``W_hats``) relative
        to the output energy, on every reader of the weight."""
        (err, err_mm), base = self._errors(t, W, W_hats, st, troubles, energy)
        rel = (err / base, err_mm / base) if base > 0 else (math.nan, math.nan)
        for user in (u for u in self.layers if u.weight == t.weight and not u.excluded):
            self.results[user.output].err, self.results[user.output].err_minmax = rel

    def _output_energy(self, t, outputs) -> torch.Tensor:
        """mean |W x|^2 of a layer from its float outputs (per group): for a
        convolution each output position less the bias is W x of one patch,
        for a matrix product each row of the output is W x of one input row.
        Samples holding NaN are skipped, as the statistics skip them."""
        b = numpy_helper.to_array(self.weights[t.bias]) if t.bias else None
        total, n = np.zeros(t.groups), 0
        for y in outputs:                   # float32 squares, pairwise sums per row
            y = np.asarray(y, np.float32)
            if np.isnan(y).any():
                continue
            if t.kind == "matmul":
                total += np.square(y.reshape(-1, y.shape[-1])).sum(-1).sum(dtype=np.float64)
                n += y.size // y.shape[-1]
                continue
            y = y.reshape(y.shape[0], y.shape[1], -1)
            if b is not None:
                y = y - b.astype(np.float32)[None, :, None]
            per_channel = np.square(y).sum(-1).sum(0, dtype=np.float64)
            total += per_channel.reshape(t.groups, -1).sum(1)
            n += y.size // y.shape[1]
        energy = torch.from_numpy(total / max(n, 1))
        return energy if t.groups > 1 else energy.sum()

    def _bias(self, t, W: np.ndarray, W_hat: np.ndarray, st) -> np.ndarray | None:
        """The corrected bias of ``t``, or None (no bias input to correct)."""
        m = mean_output_error(W, W_hat, *st.cross.mean())
        current = numpy_helper.to_array(self.weights[t.bias]) if t.bias in self.weights else None
        if t.bias and current is None:      # a bias computed by the graph: leave it
            return None
        return corrected(t, current, m)

    def _new_entry(self, bits: int) -> dict:
        return {"qtype": self.recipe.qtype, "dtype": f"int{bits}", "qmethod": self.recipe.qmethod}

    def _fallback(self, t, troubles: dict) -> str:
        """Say why some groups were rounded by min/max; returns the layer's method."""
        line, method = fallback_note(t.node, troubles, t.groups)
        self.warnings.append(line)
        self.warn(line)
        return method


def _rounding_sqnr(samples, p) -> float:
    """10 log10(|x|^2 / |x - x^|^2) of rounding ``samples`` with ``p``, in dB."""
    signal = noise = 0.0
    for x in samples:                   # float32 squares, float64 sums
        x = np.asarray(x, np.float32).reshape(-1)
        d = p.fake_quant(x)
        d -= x
        signal += float(np.square(x).sum(dtype=np.float64))
        noise += float(np.square(d).sum(dtype=np.float64))
    return 10 * math.log10(signal / noise) if noise > 0 and signal > 0 else math.inf


def quantize_model(ir, feeds: dict, layers: list, recipe: Recipe, warn=None,
                   progress=None) -> PassResult:
    """Quantize the non-excluded layers of ``layers`` (Targets of ``ir``'s
    model) with ``recipe`` on the calibration ``feeds`` ({input: samples})."""
    return QuantPass(ir, feeds, layers, recipe, warn).run(progress)


# Activation functions onnxruntime removes before a QuantizeLinear whose range
# they cannot change (its grid starts at 0, or lies inside the clip range).
CLAMPS = frozenset({"Relu", "Clip"})


def _clamped_outputs(graph, by_output: dict) -> dict:
    """{layer output: clamp output} for the layers whose output only a Relu or
    Clip reads: their output is not rounded itself, the clamp's is, so the
    layer and its clamp run as one integer kernel that rounds once, on the
    clamp's range."""
    readers = Counter(x for node in graph.node for x in node.input)
    outputs = {o.name for o in graph.output}
    out = {}
    for node in graph.node:
        x = node.input[0] if node.input else None
        t = by_output.get(x)
        if (node.op_type in CLAMPS and t is not None and t.kind != "gather" and readers[x] == 1
                and x not in outputs):
            out[x] = node.output[0]
    return out


def _gate_outputs(graph, by_output: dict) -> set:
    """Outputs of the Sigmoids that read a quantized layer's output (the gate
    of a swish x * sigmoid(x)): rounded too, onnxruntime runs the Sigmoid and
    the Mul after it as integer kernels instead of leaving the integer domain."""
    return {node.output[0] for node in graph.node
            if node.op_type == "Sigmoid" and node.input and node.input[0] in by_output
            and by_output[node.input[0]].kind != "gather"}
