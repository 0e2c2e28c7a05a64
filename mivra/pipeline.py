"""One quantization job: model + calibration set in, filled ``quant_tab`` and
per-layer statistics out.  Used by the command line and the built-in example.
"""
from __future__ import annotations

import time
from dataclasses import dataclass, field, replace

import numpy as np

from . import checks, export, scheme
from .calib import build_attrs, load_calibration, model_dims, sample_lines
from .engine.mixed import WIDTHS, knapsack, stored_bytes
from .engine.recipe import DEFAULT_ROUNDS, Recipe
from .engine.targets import KINDS, Target, apply_exclusions, find_targets, initializer_nbytes
from .errors import UserError, first_line


@dataclass
class Options:
    model: str
    dataset: str
    bits: int = 4
    qmethod: str = "channel"
    qtype: str = "sym"
    method: str = "gdq"              # "gdq" (this quantizer) or "minmax" (plain rounding)
    mean: list = field(default_factory=list)
    std: list = field(default_factory=list)
    layout: list = field(default_factory=list)
    rgb2bgr: list = field(default_factory=list)
    shape: list = field(default_factory=list)
    exclude: list = field(default_factory=list)
    exclude_first_last: bool = False
    ops: tuple = KINDS               # kinds of layer to quantize
    # options beyond the library's recipe
    rounds: int = DEFAULT_ROUNDS     # alternation rounds of the solver
    asym_groups: bool = False        # group-wise with a zero point per group
    sequential: bool = False         # fit each layer on the partly quantized model's inputs
    bias_correction: bool = False
    avg_bits: float | None = None    # widths per layer from WIDTHS under this mean bit width ...
    max_size: int | None = None      # ... or under this many bytes of weights
    minmax_table: bool = True        # keep min/max rounding's table (job.minmax_tab) to compare
    act_bits: int | None = None      # quantize the quantized layers' activations to 8 or 16 bits
    act_calib: str = "minmax"        # range rule of the activations (engine.activations)
    act_type: str = "asym"           # "asym": unsigned with a zero point; "sym": signed, zero point 0
    act_min_sqnr: float | None = None  # 8-bit activations rounded worse than this (dB): 16 bits


@dataclass
class LayerStats:
    layer: Target
    qmethod: str = "float"
    method: str = "float"            # "gdq", "minmax" or "minmax (fallback: ...)"
    bits: int | None = None
    container: str = "FLOAT"
    err: float = float("nan")        # Hessian-weighted error, relative to w H w^T
    err_minmax: float = float("nan")
    seconds: float | None = None     # statistics + solve
    solve_seconds: float | None = None
    vectors: float = 0               # calibration input vectors behind the statistics
    note: str | None = None
    float_bytes: int = 0
    quant_bytes: int = 0


@dataclass
class Job:
    opts: Options
    ir: object
    model: object                    # the normalised onnx.ModelProto the outputs derive from
    layers: list
    param: dict
    feeds: dict
    quant_tab: dict = field(default_factory=dict)       # quantized weights only
    minmax_tab: dict = field(default_factory=dict)
    stats: list = field(default_factory=list)
    seconds: float = 0.0
    outputs: dict = field(default_factory=dict)      # float model outputs on the calibration set
    timings: dict = field(default_factory=dict)
    warnings: list = field(default_factory=list)
    skipped: list = field(default_factory=list)      # (node, op, reason) of layers left float
    biases: dict = field(default_factory=dict)       # node output -> corrected bias
    acts: dict = field(default_factory=dict)         # activation tensor -> ActParams
    act_sqnr: dict = field(default_factory=dict)     # activation tensor -> SQNR dB of its rounding

    @property
    def quantized(self) -> list:
        return list(dict.fromkeys(L.weight for L in self.layers if not L.excluded))

    @property
    def excluded(self) -> list:
        return list(dict.fromkeys(L.weight for L in self.layers if L.excluded))


def check_options(opts: Options) -> None:
    if not scheme.MIN_BITS <= opts.bits <= scheme.MAX_BITS:
        raise UserError(f"--bits {opts.bits}", "not a bit width the quantizer supports",
                        "give an integer from 2 to 8")
    if not scheme.valid_qmethod(opts.qmethod):
        raise UserError(f"--qmethod {opts.qmethod}", "unknown quantization method",
                        "give channel or groupN with N a positive integer, e.g. group32")
    if opts.qtype not in ("sym", "asym"):
        raise UserError(f"--qtype {opts.qtype}", "unknown quantization type", "give sym or asym")
    if opts.rounds < 0:
        raise UserError(f"--rounds {opts.rounds}", "a negative number of rounds", "give 0 or more")
    if opts.avg_bits is not None and not WIDTHS[0] <= opts.avg_bits <= WIDTHS[-1]:
        raise UserError(f"--avg-bits {opts.avg_bits:g}", "outside the widths layers can take",
                        f"give a mean width from {WIDTHS[0]} to {WIDTHS[-1]}")
    if opts.avg_bits is not None and opts.max_size is not None:
        raise UserError("--avg-bits and --max-size", "two budgets for one run", "give one of them")
    if opts.max_size is not None and opts.max_size <= 0:
        raise UserError(f"--max-size {opts.max_size}", "not a positive size",
                        "give the size budget in bytes")
    bad = [k for k in opts.ops if k not in KINDS]
    if bad or not opts.ops:
        raise UserError(f"--ops {','.join(opts.ops)}", "unknown kind of layer",
                        f"give some of {','.join(KINDS)}, separated by commas")
    if opts.method not in ("gdq", "minmax"):
        raise UserError(f"--method {opts.method}", "unknown method", "give gdq or minmax")
    from .engine.activations import CALIBRATIONS

    if opts.act_bits not in (None, 8, 16):
        raise UserError(f"--act-bits {opts.act_bits}", "activations are quantized to 8 or 16 bits",
                        "give 8 or 16, or leave the activations float")
    if opts.act_calib not in CALIBRATIONS:
        raise UserError(f"--act-calib {opts.act_calib}", "unknown range rule",
                        f"give one of {', '.join(CALIBRATIONS)}")


def load_ir(path: str):
    import os

    from .api.ir import IR

    if not os.path.exists(path):
        raise UserError(path, "model file not found", "check the path of MODEL.onnx")
    if not os.path.isfile(path):
        raise UserError(path, "not a regular file", "give the path of an .onnx model file")
    from .api.model_file import DataSizeError

    try:
        return IR(path)
    except DataSizeError as e:
        raise UserError(f"model {path}", str(e), "fix or re-export the model") from None
    except (OSError, ValueError) as e:
        raise UserError(path, f"cannot load the model ({first_line(e)})",
                        "give a valid ONNX model file") from None


def prepare(opts: Options) -> Job | None:
    """Check everything a run needs before any work: None when there is nothing to quantize."""
    import os

    check_options(opts)
    if not os.path.exists(opts.dataset):
        raise UserError(opts.dataset, "calibration list not found", "check the path given to --dataset")
    if not os.path.isfile(opts.dataset):
        raise UserError(opts.dataset, "the calibration list is not a regular file",
                        "give --dataset a text file listing one sample per line")
    ir = load_ir(opts.model)
    model = ir.model
    layers, skipped = find_targets(model, opts.ops)
    if not layers:
        return None
    apply_exclusions(layers, opts.exclude, opts.exclude_first_last)
    attrs = build_attrs(model, list(ir.inputs), opts.mean, opts.std, opts.layout,
                        opts.rgb2bgr, opts.shape)
    sess = checks.check_model(model, layers, opts.bits, opts.qmethod)
    _, feeds = load_calibration(opts.dataset, attrs, model_dims(model, list(ir.inputs)))
    checks.check_runs(sess, feeds, f"line {sample_lines(opts.dataset)[0]} of {opts.dataset}")
    param = {"inputs_meta": {"dataset": os.path.abspath(opts.dataset), "attrs": attrs},
             "qmethod": opts.qmethod, "dtype_w": f"int{opts.bits}"}
    return Job(opts=opts, ir=ir, model=model, layers=layers, param=param, feeds=feeds,
               skipped=skipped)


def recipe_of(opts: Options, layer_bits: dict | None = None) -> Recipe:
    return Recipe(bits=opts.bits, qmethod=opts.qmethod, qtype=opts.qtype, method=opts.method,
                  rounds=opts.rounds, asym_groups=opts.asym_groups, sequential=opts.sequential,
                  bias_correction=opts.bias_correction, layer_bits=dict(layer_bits or {}),
                  minmax_table=opts.minmax_table, act_bits=opts.act_bits, act_calib=opts.act_calib,
                  act_symmetric=opts.act_type == "sym", act_min_sqnr=opts.act_min_sqnr)


def plan_widths(job: Job) -> dict:
    """Bit width per weight under the job's budget (``avg_bits`` or ``max_size``):
    each layer's error at every width of WIDTHS from a quick solve, then the
    knapsack. Layers that stay float count at their float size."""
    opts = job.opts
    from .engine.layer import scheme_of
    from .engine.quant_pass import quantize_model

    probe = replace(recipe_of(opts), probe_widths=WIDTHS, sequential=False, bias_correction=False,
                    act_bits=None)
    res = quantize_model(job.ir, job.feeds, job.layers, probe)
    seen, layers = set(), []
    for r in res.layers:
        if not r.layer.excluded and r.layer.weight not in seen:
            seen.add(r.layer.weight)
            layers.append(r)
    costs, errors = [], []
    for r in layers:
        t = r.layer
        n = int(np.prod(t.shape))
        gs, sym = scheme_of(t, opts.qmethod, opts.qtype, opts.asym_groups)
        n_scales = t.rows * (1 if gs == -1 else n // t.rows // gs)
        if opts.avg_bits is not None:
            costs.append([n * b for b in WIDTHS])
        else:
            costs.append([stored_bytes(n, n_scales, b, not sym) for b in WIDTHS])
        errors.append([r.probe[b] for b in WIDTHS])
    if opts.avg_bits is not None:
        budget, what = opts.avg_bits * sum(c[0] / WIDTHS[0] for c in costs), f"--avg-bits {opts.avg_bits:g}"
    else:
        rest = sum(b for name, b in initializer_nbytes(job.model).items() if name not in seen)
        budget, what = opts.max_size - rest, f"--max-size {opts.max_size}"
    choice = knapsack(costs, errors, budget)
    if choice is None:
        need = sum(min(c) for c in costs) + (0 if opts.avg_bits is not None else rest)
        unit = "bits" if opts.avg_bits is not None else "bytes"
        raise UserError(what, f"below what {WIDTHS[0]}-bit weights need ({need:.0f} {unit}"
                        f"{' of weights' if unit == 'bits' else ''})", "raise the budget")
    return {r.layer.weight: WIDTHS[k] for r, k in zip(layers, choice)}


def _warn(line: str) -> None:
    import sys

    sys.stderr.write(f"mivra-gdq: {line}\n")


def quantize(job: Job, warn=_warn, progress=None) -> Job:
    """Quantize the job's layers: fills ``job.quant_tab``, ``job.minmax_tab``,
    ``job.stats``, ``job.outputs`` (the float model's outputs on the
    calibration set) and ``job.timings``."""
    from .engine.quant_pass import quantize_model   # torch: only once the checks have passed

    t0 = time.perf_counter()
    layer_bits = {}
    if job.opts.avg_bits is not None or job.opts.max_size is not None:
        layer_bits = plan_widths(job)
    res = quantize_model(job.ir, job.feeds, job.layers, recipe_of(job.opts, layer_bits), warn=warn,
                         progress=progress)
    job.seconds = time.perf_counter() - t0
    job.quant_tab = res.tab("entry")
    job.minmax_tab = res.tab("minmax_entry")
    job.outputs = res.outputs
    job.timings = res.timings
    job.warnings = res.warnings
    job.biases = res.biases
    job.acts, job.act_sqnr = res.acts, res.act_sqnr
    floats = initializer_nbytes(job.model)
    job.stats = []
    for r in res.layers:
        L = r.layer
        s = LayerStats(layer=L, float_bytes=floats[L.weight], method=r.method,
                       bits=r.bits, err=r.err, err_minmax=r.err_minmax, seconds=r.seconds,
                       solve_seconds=r.solve_seconds, vectors=r.vectors, note=r.note)
        if r.entry is not None:
            s.qmethod = r.entry.get("qmethod", job.opts.qmethod)
            s.container, s.quant_bytes = export.storage(r.entry, export.integer_kernels(job.acts))
        else:
            s.quant_bytes = s.float_bytes
        job.stats.append(s)
    return job


def _floats(a) -> np.ndarray:
    """The values of ``a`` in float64 (float32 widened exactly), flat."""
    return np.asarray(a).astype(np.float64).ravel()


def quant_tab_json(job: Job) -> dict:
    """``quant_tab`` for its JSON file: per quantized weight its node, shape and
    parameters (number lists as flat arrays; ``outputs.json_text`` writes them)."""
    node_of = {L.weight: L.node for L in job.layers}
    out = {}
    for name, e in job.quant_tab.items():
        out[name] = {
            "node": node_of[name],
            "shape": list(np.shape(e["w_int"])),
            "dtype": e["dtype"],
            "qtype": e["qtype"],
            "qmethod": e["qmethod"],
            "scale": _floats(e["scale"]),
            "zero_point": np.asarray(e["zero_point"]).astype(np.int64).ravel(),
            "min": _floats(e["min"]),
            "max": _floats(e["max"]),
        }
    return out
