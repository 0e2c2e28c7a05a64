"""Command line: ``mivra-gdq quantize ...`` and ``mivra-gdq demo``."""
from __future__ import annotations

import argparse
import os
import signal
import sys

from . import outputs
from .engine.recipe import DEFAULT_ROUNDS, QUALITY_BEST
from .engine.targets import KINDS
from .errors import Interrupted, UserError, one_line
from .outputs import StagedOutputs

PROG = "mivra-gdq"


class _Parser(argparse.ArgumentParser):
    """Bad arguments: one line on stderr and exit status 2."""

    def error(self, message):
        sys.stderr.write(f"{PROG}: error: {one_line(message)}; see {self.prog} --help\n")
        sys.exit(2)


def _bits(text):
    try:
        b = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected an integer from 2 to 8, got {text!r}") from None
    if not 2 <= b <= 8:
        raise argparse.ArgumentTypeError(f"expected an integer from 2 to 8, got {b}")
    return b


def build_parser() -> argparse.ArgumentParser:
    p = _Parser(prog=PROG, description="Hessian-weighted low-bit weight quantization of ONNX CNNs.")
    sub = p.add_subparsers(dest="command", metavar="{quantize,demo}")
    sub.required = True

    q = sub.add_parser("quantize", help="quantize the convolution weights of an ONNX model",
                       description="Quantize the weights of MODEL's convolutions and matrix products with the "
                                   "calibration samples listed in LIST.")
    q.add_argument("model", metavar="MODEL.onnx")
    q.add_argument("--dataset", required=True, metavar="LIST.txt",
                   help="calibration list: one sample per line, one path (.npy or image) per "
                        "model input, relative to the list's folder")
    cal = q.add_argument_group("calibration preprocessing (per input: INPUT=VALUE; "
                               "a bare VALUE applies to every input)")
    cal.add_argument("--mean", action="append", default=[], metavar="[INPUT=]M[,M...]",
                     help="per-channel mean subtracted from the samples (default 0)")
    cal.add_argument("--std", action="append", default=[], metavar="[INPUT=]S[,S...]",
                     help="per-channel divisor after the mean (default 1)")
    cal.add_argument("--layout", action="append", default=[], metavar="[INPUT=]nchw|nhwc",
                     help="layout of the model input (default nchw)")
    cal.add_argument("--rgb2bgr", action="append", nargs="?", const="*", default=[], metavar="INPUT",
                     help="feed images as BGR (all inputs, or the one named)")
    cal.add_argument("--shape", action="append", default=[], metavar="[INPUT=]D,D,...",
                     help="concrete shape for an input with symbolic dims (batch 1)")
    qq = q.add_argument_group("quantization")
    qq.add_argument("--bits", type=_bits, default=4, help="weight bit width, 2..8 (default 4)")
    qq.add_argument("--qmethod", default="channel", metavar="channel|groupN",
                    help="one scale per output channel, or per N input channels "
                         "(N*kh*kw weights; symmetric) (default channel)")
    qq.add_argument("--qtype", choices=("sym", "asym"), default="sym",
                    help="per-channel symmetry (default sym)")
    qq.add_argument("--method", choices=("gdq", "minmax"), default="gdq",
                    help="gdq: this quantizer (default); minmax: plain min/max rounding")
    qq.add_argument("--ops", default=",".join(KINDS), metavar="KIND[,KIND...]",
                    help="kinds of layer to quantize: conv (ungrouped Conv), grouped (grouped and "
                         "depthwise Conv, per channel), gemm (Gemm with a constant B), matmul "
                         "(MatMul with a constant 2-D right operand), gather (embedding tables: "
                         "Gather of rows of a constant 2-D table) (default: all)")
    qq.add_argument("--exclude", action="append", default=[], metavar="NAME[,NAME...]",
                    help="keep these layers float: node or weight names or fnmatch patterns")
    qq.add_argument("--exclude-first-last", action="store_true",
                    help="keep the first and the last quantizable layer float")
    b = q.add_argument_group("quality (options beyond the fixed recipe; default off)")
    b.add_argument("--quality", choices=("default", "best"), default="default",
                   help="best: the options below that help on every model measured (" + ", ".join(
                       f"--{k.replace('_', '-')}" + ("" if v is True else f" {v}")
                       for k, v in QUALITY_BEST.items()) + ")")
    b.add_argument("--sequential", action="store_true", default=None,
                   help="fit each layer on the inputs of the model whose earlier layers are "
                        "quantized, to the float model's outputs")
    b.add_argument("--bias-correction", action="store_true", default=None,
                   help="fold each layer's mean output error on the calibration set into its bias")
    b.add_argument("--asym-groups", action="store_true", default=None,
                   help="group-wise with a zero point per group (default: symmetric groups)")
    b.add_argument("--rounds", type=int, default=None, metavar="N",
                   help=f"alternation rounds of the solver (default {DEFAULT_ROUNDS})")
    b.add_argument("--avg-bits", type=float, default=None, metavar="B",
                   help="choose a width from 2, 3, 4, 8 per layer for the least error at this "
                        "mean width (--bits is then ignored)")
    b.add_argument("--max-size", type=int, default=None, metavar="BYTES",
                   help="the same under a size: weights packed at their widths with their "
                        "scales, plus the weights that stay float")
    a = q.add_argument_group("activations (default: float)")
    a.add_argument("--act-bits", type=int, choices=(8, 16), default=None,
                   help="quantize the inputs and outputs of the quantized layers per tensor to "
                        "8 or 16 bits (QuantizeLinear/DequantizeLinear pairs in the QDQ model, in "
                        "the layout onnxruntime fuses into integer kernels); with --sequential "
                        "the weights are fitted to the rounded inputs")
    a.add_argument("--act-calib", choices=("minmax", "entropy", "percentile", "mse"),
                   default="minmax", help="range of each activation: its whole range, the least "
                   "KL divergence, the 99.999th percentile, or the least squared error (default minmax)")
    a.add_argument("--act-type", choices=("asym", "sym"), default="asym",
                   help="asym: unsigned with a zero point (default); sym: signed, zero point 0")
    a.add_argument("--act-min-sqnr", type=float, default=None, metavar="DB",
                   help="hard tensors: an 8-bit activation whose rounding keeps less than DB of "
                        "signal-to-noise on the calibration set takes 16 bits (listed in the summary)")
    o = q.add_argument_group("outputs")
    o.add_argument("--out", default="mivra_out", metavar="DIR",
                   help="folder for quant_tab.json, weights.npz, summary.json and the "
                        "report (default mivra_out)")
    o.add_argument("--export-qdq", metavar="OUT.onnx",
                   help="write the QDQ model (INT4 weights for <= 4 bits, INT8 above; per-channel "
                        "weights INT8 with 8-bit activations, for onnxruntime's integer kernels)")
    o.add_argument("--matmul-nbits", action="store_true",
                   help="in the QDQ model, MatMul weights of <= 4 bits in groups of a power of "
                        "two >= 16 become onnxruntime's MatMulNBits (no dequantized copy at run time)")
    o.add_argument("--export-fake-quant", metavar="OUT.onnx",
                   help="write the float model carrying the dequantized weights")
    o.add_argument("--report", action="store_true",
                   help="compare float and quantized models on the calibration set "
                        "(report.json, layer_error.png in DIR)")

    d = sub.add_parser("demo", help="train a small digits CNN and quantize it at 4, 3 and 2 bits")
    d.add_argument("--cache", metavar="DIR", default=None,
                   help="folder for the trained model and calibration data "
                        "(default $MIVRA_CACHE or ~/.cache/mivra/demo)")
    d.add_argument("--bits", default="4,3,2", metavar="B[,B...]", help="bit widths (default 4,3,2)")
    d.add_argument("--retrain", action="store_true", help="train again even when cached")
    return p


def _split_names(values):
    out = []
    for v in values:
        out.extend(t for t in v.split(",") if t)
    return out


OUT_FILES = ("quant_tab.json", "weights.npz", "summary.json")
REPORT_FILES = ("report.json", "layer_error.png")


def _output_files(args) -> list:
    """(label, path) of every file the run may write: an exported model may
    come with its external data file, OUT.onnx.data."""
    from .export import data_path

    names = OUT_FILES + (REPORT_FILES if args.report else ())
    files = [(f"--out {args.out} ({name})", os.path.join(args.out, name)) for name in names]
    for opt in ("export_qdq", "export_fake_quant"):
        path = getattr(args, opt)
        if path is not None:
            label = f"--{opt.replace('_', '-')} {path}"
            files.append((label, path))
            files.append((f"{label} (its external data {data_path(path)})", data_path(path)))
    return files


def _external_data(model: str, folder: str) -> list:
    """The external data files the model names (they lie in its folder)."""
    try:
        import onnx

        found = []
        for t in onnx.load(model, load_external_data=False).graph.initializer:
            loc = {e.key: e.value for e in t.external_data}.get("location")
            if loc:
                found.append(os.path.join(folder, loc))
        return found
    except Exception:
        return []       # an unreadable model is reported when it is loaded


def _input_files(args, outputs) -> list:
    """(label, path) of the files the run reads and must never overwrite: the
    model and its external data, the calibration list and its samples.  Only
    an output that exists already can be one of them, so the model and the
    list are read for their data files only when there is such an output (for
    the model's data files, one in the model's folder, where they lie)."""
    files = [("the model", args.model), ("the calibration list", args.dataset)]
    existing = [os.path.abspath(path) for _, path in outputs if os.path.isfile(path)]
    if not existing:
        return files
    folder = os.path.dirname(os.path.abspath(args.model))
    if any(os.path.commonpath([folder, p]) == folder for p in existing):
        files += [("the model's external data", p) for p in _external_data(args.model, folder)]
    try:
        from .api.mivra_utils import get_input_paths

        files += [("a calibration sample", p) for sample in get_input_paths(args.dataset) for p in sample]
    except (OSError, ValueError):
        pass            # an unreadable list is reported when it is loaded
    return files


def _check_output_paths(args):
    if os.path.exists(args.out) and not os.path.isdir(args.out):
        raise UserError(f"--out {args.out}", "exists and is not a folder", "give a folder path")
    files = _output_files(args)
    outputs.check_outputs(files, _input_files(args, files))


def _strip_inferred(model, keep):
    """Drop the value_info that shape inference added while loading: outputs stay as lean as the input."""
    vi = [v for v in model.graph.value_info if v.name in keep]
    del model.graph.value_info[:]
    model.graph.value_info.extend(vi)
    return model


def _report(job, n, args) -> tuple[dict, dict]:
    """Float model (outputs kept by the pass), this quantizer and min/max rounding
    on the calibration set: (metrics per output, report.json content).

    The quantized models run as fake-quant models: their float weights are
    bit for bit what DequantizeLinear makes of the QDQ model's, and
    onnxruntime runs them without dequantizing every weight on every call."""
    from . import report

    m_ours = _fake_quant_metrics(job, job.quant_tab, job.biases, job.acts)
    m_mm = _fake_quant_metrics(job, job.minmax_tab, None, job.acts)
    metrics = {k: {"ours": m_ours[k], "minmax": m_mm[k]} for k in job.outputs}
    rep = {
        "bits": args.bits, "qmethod": args.qmethod, "qtype": args.qtype, "method": args.method,
        "calibration_samples": n,
        "outputs": {k: {side: {mk: report.json_number(mv) for mk, mv in d.items()}
                        for side, d in v.items()} for k, v in metrics.items()},
        "layers": report.layer_json(job),
    }
    return metrics, rep


def _fake_quant_metrics(job, tab: dict, biases, acts=None) -> dict:
    """``report.model_metrics`` of the fake-quant model of ``tab``: built in
    memory, or, when it would reach ``export.EXTERNAL_DATA_BYTES``, written
    with external data to a temporary folder (one weight at a time) and
    loaded by onnxruntime from there."""
    import tempfile

    from . import export, report

    parts = export.fake_quant_parts(job.model, tab, job.quantized, biases, acts)
    if not export.use_external_data(parts):
        return report.model_metrics(parts.model(), job.feeds, job.outputs)
    with tempfile.TemporaryDirectory(prefix="mivra_report_") as folder:
        path = os.path.join(folder, "fake_quant.onnx")
        try:
            export.write_model(parts, path, external=True)
        except OSError as e:
            raise UserError(f"the report's temporary model in {folder}",
                            f"cannot write it ({e.strerror or e})",
                            "free space in the temporary folder (TMPDIR) or drop --report") from None
        return report.model_metrics(path, job.feeds, job.outputs)


def _matmul_hint(job) -> str | None:
    """A hint for models whose quantized layers are mostly matrix products
    (transformers) quantized in symmetric groups: zero points per group keep
    them closer to the float model."""
    quantized = [L for L in job.layers if not L.excluded]
    products = sum(L.kind in ("matmul", "gemm") for L in quantized)
    if (2 * products <= len(quantized) or not job.opts.qmethod.startswith("group")
            or job.opts.asym_groups or job.opts.method != "gdq"):
        return None
    return ("hint: most layers are matrix products (a transformer?): --asym-groups, or "
            "--quality best, gives each group a zero point, which keeps such models closer to "
            "the float model")


def _quality(args) -> dict:
    """The quality options: --quality best's set, overridden by explicit flags."""
    out = dict(QUALITY_BEST) if args.quality == "best" else {}
    for key in ("sequential", "bias_correction", "asym_groups", "rounds"):
        if getattr(args, key) is not None:
            out[key] = getattr(args, key)
    return out


def cmd_quantize(args) -> int:
    import time

    import numpy as np

    from . import export, report
    from .pipeline import Options, prepare, quant_tab_json, quantize

    clock = time.perf_counter
    t_start = clock()
    if args.matmul_nbits and not args.export_qdq:
        raise UserError("--matmul-nbits", "it only applies to the QDQ model",
                        "add --export-qdq OUT.onnx or drop --matmul-nbits")
    opts = Options(model=args.model, dataset=args.dataset, bits=args.bits, qmethod=args.qmethod,
                   qtype=args.qtype, method=args.method, mean=args.mean, std=args.std,
                   layout=args.layout, rgb2bgr=args.rgb2bgr, shape=args.shape,
                   exclude=_split_names(args.exclude), exclude_first_last=args.exclude_first_last,
                   ops=tuple(_split_names([args.ops])), avg_bits=args.avg_bits,
                   max_size=args.max_size, minmax_table=args.report, act_bits=args.act_bits,
                   act_calib=args.act_calib, act_type=args.act_type,
                   act_min_sqnr=args.act_min_sqnr, **_quality(args))
    _check_output_paths(args)
    job = prepare(opts)
    if job is None:
        print(f"{args.model}: the model has no layers of the kinds {args.ops} to quantize; "
              "nothing to do")
        return 0
    timings = {"load": clock() - t_start}
    n = len(next(iter(job.feeds.values())))
    print(f"quantizing {len(job.quantized)} of {len(job.layers)} layers of {args.model} "
          f"to {args.bits} bits ({args.qmethod}, {args.qtype}, {args.method}) "
          f"with {n} calibration samples")
    if job.excluded:
        print("kept float: " + ", ".join(L.node for L in job.layers if L.excluded))
    hint = _matmul_hint(job)
    if hint:
        print(hint)
    from tqdm import tqdm

    # one step per node of the walk; shown only on a terminal
    with tqdm(total=len(job.model.graph.node), desc="quantizing", ncols=100, disable=None,
              leave=False, file=sys.stderr) as bar:
        quantize(job, progress=bar.update)
    timings.update(job.timings)

    t0 = clock()
    keep_vi = job.ir.source_value_info
    qdq, info = export.qdq_parts(job.model, job.quant_tab, job.quantized, job.biases,
                                 matmul_nbits=args.matmul_nbits, acts=job.acts)
    _strip_inferred(qdq.header, keep_vi)
    fake = None
    if args.export_fake_quant:
        fake = export.fake_quant_parts(job.model, job.quant_tab, job.quantized, job.biases,
                                       job.acts)
        _strip_inferred(fake.header, keep_vi)
    # Outputs take external data (OUT.onnx.data) when the input model had it,
    # and whenever they would reach the protobuf limit.
    external_in = job.ir.external_data
    qdq_size = qdq.byte_size()
    timings["export"] = clock() - t0
    notes = []
    if info["opset_to"] != info["opset_from"]:
        notes.append(f"QDQ model: opset raised from {info['opset_from']} to {info['opset_to']} "
                     f"({'QDQ with INT4, INT16 or blocked data' if info['opset_to'] >= 21 else 'per-axis QDQ'}"
                     " needs it)")
    metrics = rep = None
    if args.report:
        t0 = clock()
        metrics, rep = _report(job, n, args)
        timings["report"] = clock() - t0
    size_before = job.ir.stored_bytes
    written = []
    with StagedOutputs() as out:
        t0 = clock()
        out.write_json(os.path.join(args.out, "quant_tab.json"), quant_tab_json(job),
                       compact_values=True)

        def write_npz(tmp):
            with open(tmp, "wb") as fh:
                np.savez(fh, **{k: np.asarray(v["w_int"]) for k, v in job.quant_tab.items()})
        out.write_with(os.path.join(args.out, "weights.npz"), write_npz)
        t_models = clock()
        if args.export_qdq:
            qdq_size = export.write_model(qdq, args.export_qdq,
                                          export.use_external_data(qdq, external_in), out)
        qdq = None
        if fake is not None:
            export.write_model(fake, args.export_fake_quant,
                               export.use_external_data(fake, external_in), out)
            fake = None
        t_models = clock() - t_models
        timings["export"] += t_models
        if rep is not None:
            out.write_json(os.path.join(args.out, "report.json"), rep)
            out.write_with(os.path.join(args.out, "layer_error.png"),
                           lambda tmp: report.plot_layer_errors(job, tmp))
        timings["write"] = clock() - t0 - t_models      # the other files
        timings["total"] = clock() - t_start
        summary = {
            "model": os.path.abspath(args.model), "bits": args.bits, "qmethod": args.qmethod,
            "qtype": args.qtype, "method": args.method, "calibration_samples": n,
            "seconds": job.seconds, "excluded": job.excluded,
            "model_bytes": size_before, "qdq_model_bytes": qdq_size,
            "qdq_opset": info["opset_to"], "layers": report.layer_json(job),
            "warnings": job.warnings, "timings": timings,
            "activations": report.act_json(job),
            "not_quantized": [{"node": n, "op": op, "reason": why} for n, op, why in job.skipped],
        }
        out.write_json(os.path.join(args.out, "summary.json"), summary)
        written = out.commit()

    print()
    print(report.layer_table(job))
    once = {s.layer.weight: s for s in job.stats}.values()      # a shared weight counts once
    fb = sum(s.float_bytes for s in once)
    qb = sum(s.quant_bytes for s in once)
    print(f"weights of these layers: {report.human_bytes(fb)} -> {report.human_bytes(qb)} "
          f"({qb / fb:.3f} of float)" if fb else "")
    print(f"model on disk: {report.human_bytes(size_before)} -> {report.human_bytes(qdq_size)} "
          f"(QDQ model)")
    print(f"time: {job.seconds:.1f} s quantizing, {timings['total']:.1f} s in all")
    print("H-err: Hessian-weighted weight error relative to w H w^T; min/max: plain min/max rounding")
    for node, op, why in job.skipped:
        print(f"{node} ({op}): {why}")
    for line in report.act_lines(job):
        print(line)
    for note in notes:
        print(note)
    if metrics is not None:
        print()
        label = "mivra" if args.method == "gdq" else "min/max"
        print(report.metrics_table(metrics, label))
    print()
    print("wrote: " + ", ".join(written))
    return 0


def cmd_demo(args) -> int:
    from .demo import run_demo

    try:
        bits = [int(b) for b in args.bits.split(",") if b]
    except ValueError:
        bits = []
    if not bits or not all(2 <= b <= 8 for b in bits):
        raise UserError(f"--bits {args.bits}", "expected bit widths from 2 to 8",
                        "give them separated by commas, e.g. --bits 4,3,2")
    return run_demo(cache=args.cache, bits=bits, retrain=args.retrain)


def _install_signal_handlers() -> dict:
    """SIGINT, SIGTERM and SIGHUP stop the run cleanly (staged outputs removed,
    exit status 128 + signal); SIGXFSZ is ignored (as CPython does at start-up,
    made sure of here) so that a write beyond the file-size limit fails with an
    error the run reports instead of killing it.
    Returns the handlers replaced."""
    import threading

    if threading.current_thread() is not threading.main_thread():
        return {}
    old = {sig: signal.getsignal(sig) for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP,
                                                  signal.SIGXFSZ)}
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        if old[sig] is not signal.SIG_IGN:      # nohup's choice stands
            signal.signal(sig, outputs.interrupt)
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    return old


def main(argv=None) -> int:
    old_handlers = _install_signal_handlers()
    try:
        return _main(argv)
    finally:
        for sig, handler in old_handlers.items():
            signal.signal(sig, handler)


def _main(argv) -> int:
    try:
        args = build_parser().parse_args(argv)
        if args.command == "quantize":
            return cmd_quantize(args)
        return cmd_demo(args)
    except UserError as e:
        sys.stderr.write(f"{PROG}: error: {e}\n")
        return 2
    except KeyboardInterrupt as e:
        signum = e.signum if isinstance(e, Interrupted) else signal.SIGINT
        sys.stderr.write(f"{PROG}: interrupted by {signal.Signals(signum).name}\n")
        return 128 + signum


if __name__ == "__main__":
    sys.exit(main())
