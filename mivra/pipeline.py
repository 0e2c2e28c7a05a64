"""One quantization job: model + calibration set in, filled ``quant_tab`` and
per-layer statistics out.  Used by the command line and the built-in example.
"""
from __future__ import annotations

import copy
import re
import time
from dataclasses import dataclass, field

import numpy as np

from . import baseline, checks, export
from .calib import build_attrs, load_calibration, sample_lines
from .layers import (ConvLayer, apply_exclusions, find_conv_layers, hessian_errors,
                     initializer_arrays)
from .errors import UserError, first_line

QMETHOD_RE = re.compile(r"^(channel|group[1-9][0-9]*)$")


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


@dataclass
class LayerStats:
    layer: ConvLayer
    qmethod: str = "float"
    container: str = "FLOAT"
    err: float = float("nan")        # Hessian-weighted error, relative to w H w^T
    err_minmax: float = float("nan")
    seconds: float | None = None
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

    @property
    def quantized(self) -> list:
        return [L.weight for L in self.layers if not L.excluded]

    @property
    def excluded(self) -> list:
        return [L.weight for L in self.layers if L.excluded]


def check_options(opts: Options) -> None:
    if not 2 <= opts.bits <= 8:
        raise UserError(f"--bits {opts.bits}", "not a bit width the quantizer supports",
                        "give an integer from 2 to 8")
    if not QMETHOD_RE.match(opts.qmethod):
        raise UserError(f"--qmethod {opts.qmethod}", "unknown quantization method",
                        "give channel or groupN with N a positive integer, e.g. group32")
    if opts.qtype not in ("sym", "asym"):
        raise UserError(f"--qtype {opts.qtype}", "unknown quantization type", "give sym or asym")
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
    layers = find_conv_layers(model)
    if not layers:
        return None
    apply_exclusions(layers, opts.exclude, opts.exclude_first_last)
    attrs = build_attrs(model, list(ir.inputs), opts.mean, opts.std, opts.layout,
                        opts.rgb2bgr, opts.shape)
    sess = checks.check_model(model, layers, opts.bits, opts.qmethod)
    _, feeds = load_calibration(opts.dataset, attrs)
    checks.check_activations(sess, layers, feeds,
                             [f"line {n} of {opts.dataset}" for n in sample_lines(opts.dataset)])
    param = {"inputs_meta": {"dataset": os.path.abspath(opts.dataset), "attrs": attrs},
             "qmethod": opts.qmethod, "dtype_w": f"int{opts.bits}"}
    return Job(opts=opts, ir=ir, model=model, layers=layers, param=param, feeds=feeds)


def new_quant_tab(job: Job) -> dict:
    """One entry per quantizable weight (excluded ones too: the quantizer expects
    every ungrouped convolution in the table)."""
    qtab = {}
    for L in job.layers:
        qtab[L.weight] = {"qtype": job.opts.qtype, "dtype": f"int{job.opts.bits}",
                          "qmethod": job.opts.qmethod}
    return qtab


def _run_gdq(job: Job, qtab: dict) -> dict:
    """Run the native quantizer; returns per-weight seconds (empty when unknown).

    A layer's time is measured from the creation of its session to the next
    layer's: its quantization plus its pass over the calibration set.
    """
    try:
        from .api import gdq_quant
        from .api import session as session_mod
    except ImportError as e:
        raise UserError("mivra.api.gdq_quant", f"the native quantizer is not available ({e})",
                        "build it with: make build, or use --method minmax") from None
    stamps = []
    base = session_mod.Session

    class TimedSession(base):
        def __init__(self, ir, layer, *args, **kwargs):
            node = layer.graph.node[0]
            stamps.append((time.perf_counter(),
                           node.input[1] if node.op_type == "Conv" and len(node.input) > 1 else None))
            super().__init__(ir, layer, *args, **kwargs)

    # The quantizer looks the session class up by name in its own module.
    patched = [m for m in (session_mod, gdq_quant) if getattr(m, "Session", None) is base]
    for m in patched:
        m.Session = TimedSession
    try:
        gdq_quant.GdqQuant(job.ir, job.param, qtab).run()
    finally:
        for m in patched:
            m.Session = base
    stamps.append((time.perf_counter(), None))
    return {w: stamps[i + 1][0] - t for i, (t, w) in enumerate(stamps[:-1]) if w is not None}


def _run_minmax(job: Job, qtab: dict, names) -> dict:
    arrays = initializer_arrays(job.model, names)
    seconds = {}
    for name in names:
        t0 = time.perf_counter()
        baseline.fill_quant_tab_minmax({name: arrays[name]}, qtab, job.opts.bits)
        seconds[name] = time.perf_counter() - t0
    return seconds


def quantize(job: Job, with_errors: bool = True) -> Job:
    """Fill ``job.quant_tab`` (and the min/max baseline) and the per-layer statistics."""
    t0 = time.perf_counter()
    names = job.quantized
    qtab = new_quant_tab(job)
    if job.opts.method == "gdq":
        seconds = _run_gdq(job, qtab)
    else:
        seconds = _run_minmax(job, qtab, names)
    job.seconds = time.perf_counter() - t0
    job.quant_tab = {n: qtab[n] for n in names}
    missing = [n for n in names if "w_int" not in job.quant_tab[n]]
    if missing:
        raise RuntimeError(f"the quantizer left weight {missing[0]} unquantized")
    if job.opts.method == "minmax":
        job.minmax_tab = job.quant_tab
    else:
        mtab = {n: dict(v) for n, v in new_quant_tab(job).items() if n in names}
        baseline.fill_quant_tab_minmax(initializer_arrays(job.model, names), mtab, job.opts.bits)
        job.minmax_tab = mtab

    floats = initializer_arrays(job.model, [L.weight for L in job.layers])
    errs = {}
    if with_errors and names:
        errs = hessian_errors(job.model, job.layers, job.feeds, {
            n: (floats[n], [export.dequantize_entry(job.quant_tab[n]),
                            export.dequantize_entry(job.minmax_tab[n])]) for n in names})
    job.stats = []
    for L in job.layers:
        s = LayerStats(layer=L, float_bytes=int(floats[L.weight].nbytes))
        if not L.excluded:
            e = job.quant_tab[L.weight]
            s.qmethod = e.get("qmethod", job.opts.qmethod)
            s.container, s.quant_bytes = export.storage(e)
            s.seconds = seconds.get(L.weight)
            if L.weight in errs:
                s.err, s.err_minmax = errs[L.weight]
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


def copy_tab(tab: dict) -> dict:
    return {k: copy.copy(v) for k, v in tab.items()}
