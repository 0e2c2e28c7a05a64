"""One quantization job: model + calibration set in, filled ``quant_tab`` and
per-layer statistics out.  Used by the command line and the built-in example.
"""
from __future__ import annotations

import time
from dataclasses import dataclass, field

import numpy as np

from . import checks, export, scheme
from .calib import build_attrs, load_calibration, sample_lines
from .engine.recipe import Recipe
from .engine.targets import KINDS, Target, apply_exclusions, find_targets, initializer_arrays
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
    bad = [k for k in opts.ops if k not in KINDS]
    if bad or not opts.ops:
        raise UserError(f"--ops {','.join(opts.ops)}", "unknown kind of layer",
                        f"give some of {','.join(KINDS)}, separated by commas")
    if opts.method not in ("gdq", "minmax"):
        raise UserError(f"--method {opts.method}", "unknown method", "give gdq or minmax")


def load_ir(path: str):
    import os

    from .api.ir import IR

    if not os.path.exists(path):
        raise UserError(path, "model file not found", "check the path of MODEL.onnx")
    if not os.path.isfile(path):
        raise UserError(path, "not a regular file", "give the path of an .onnx model file")
    try:
        return IR(path)
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
    _, feeds = load_calibration(opts.dataset, attrs)
    checks.check_runs(sess, feeds, f"line {sample_lines(opts.dataset)[0]} of {opts.dataset}")
    param = {"inputs_meta": {"dataset": os.path.abspath(opts.dataset), "attrs": attrs},
             "qmethod": opts.qmethod, "dtype_w": f"int{opts.bits}"}
    return Job(opts=opts, ir=ir, model=model, layers=layers, param=param, feeds=feeds,
               skipped=skipped)


def recipe_of(opts: Options) -> Recipe:
    return Recipe(bits=opts.bits, qmethod=opts.qmethod, qtype=opts.qtype, method=opts.method)


def _warn(line: str) -> None:
    import sys

    sys.stderr.write(f"mivra-gdq: {line}\n")


def quantize(job: Job, warn=_warn, progress=None) -> Job:
    """Quantize the job's layers: fills ``job.quant_tab``, ``job.minmax_tab``,
    ``job.stats``, ``job.outputs`` (the float model's outputs on the
    calibration set) and ``job.timings``."""
    from .engine.quant_pass import quantize_model   # torch: only once the checks have passed

    t0 = time.perf_counter()
    res = quantize_model(job.ir, job.feeds, job.layers, recipe_of(job.opts), warn=warn,
                         progress=progress)
    job.seconds = time.perf_counter() - t0
    job.quant_tab = res.tab("entry")
    job.minmax_tab = res.tab("minmax_entry")
    job.outputs = res.outputs
    job.timings = res.timings
    job.warnings = res.warnings
    floats = initializer_arrays(job.model, [L.weight for L in job.layers])
    job.stats = []
    for r in res.layers:
        L = r.layer
        s = LayerStats(layer=L, float_bytes=int(floats[L.weight].nbytes), method=r.method,
                       bits=r.bits, err=r.err, err_minmax=r.err_minmax, seconds=r.seconds,
                       solve_seconds=r.solve_seconds, vectors=r.vectors, note=r.note)
        if r.entry is not None:
            s.qmethod = r.entry.get("qmethod", job.opts.qmethod)
            s.container, s.quant_bytes = export.storage(r.entry)
        else:
            s.quant_bytes = s.float_bytes
        job.stats.append(s)
    return job


def quant_tab_json(job: Job) -> dict:
    """``quant_tab`` as JSON: per quantized weight its node, shape and parameters."""
    node_of = {L.weight: L.node for L in job.layers}
    out = {}
    for name, e in job.quant_tab.items():
        out[name] = {
            "node": node_of[name],
            "shape": list(np.shape(e["w_int"])),
            "dtype": e["dtype"],
            "qtype": e["qtype"],
            "qmethod": e["qmethod"],
            "scale": [float(v) for v in e["scale"]],
            "zero_point": [int(v) for v in e["zero_point"]],
            "min": [float(v) for v in np.ravel(e["min"])],
            "max": [float(v) for v in np.ravel(e["max"])],
        }
    return out
