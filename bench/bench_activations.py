"""Integer activations: accuracy, inference time and quantizer cost of complete
W8A8 / W4A8 / W4A16 models, beside onnxruntime's own ``quantize_static``.

Models: the captcha recogniser ``common.onnx`` of ``ddddocr`` (64 calibration
and 500 test captchas of the ``captcha`` package; exact-match accuracy) and the
built-in digits CNN (its calibration set; accuracy on scikit-learn's test
digits). For each model, in one run:

* float;
* ``quantize_static`` (QDQ, per-channel symmetric INT8 weights, UINT8
  activations) with each of its calibrators MinMax, Entropy and Percentile (the
  model converted to opset 13 first, which it needs);
* this command line: W8A8 and W4A8 (symmetric per-channel weights, every
  supported kind), each also with ``--quality best``, and W4A16 with
  ``--quality best``; the
  range rule is ``--act-calib`` (default: each of minmax, percentile, mse).

Every model is scored as onnxruntime runs its QDQ file with its default
optimizations (what a user deploys: integer kernels where they apply), one
sample at a time; the inference time is the mean over the test samples after a
warm-up, on the CPUs this process may use. Quantizers run in their own
processes (``common.run_child``): wall time and peak RSS.

    python3 bench/bench_activations.py [--models captcha,digits] [--act-calib minmax,percentile,mse]
                                       [--work DIR]
"""
from __future__ import annotations

import argparse
import json
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path[:0] = [HERE, ROOT]
import models  # noqa: E402
from common import run_child  # noqa: E402

# onnxruntime's quantize_static as a child process: argv model, list of .npy files, method, out
PEER = """import sys, numpy as np, onnx
from onnx import version_converter
from onnxruntime.quantization import (CalibrationDataReader, CalibrationMethod, QuantFormat,
                                      QuantType, quantize_static)
src, listing, method, out = sys.argv[1:5]
m = onnx.load(src)
if max(o.version for o in m.opset_import if o.domain in ("", "ai.onnx")) < 13:
    m = version_converter.convert_version(m, 13)
    src = out + ".opset13.onnx"
    onnx.save(m, src)
name = m.graph.input[0].name
rank = len(m.graph.input[0].type.tensor_type.shape.dim)
files = [l.split()[0] for l in open(listing) if l.strip() and not l.startswith("#")]
folder = listing.rsplit("/", 1)[0]
class Reader(CalibrationDataReader):
    def __init__(self):
        self.it = iter(files)
    def get_next(self):
        f = next(self.it, None)
        if f is None:
            return None
        x = np.load(folder + "/" + f)
        return {name: x if x.ndim == rank else x[None]}      # a sample without its batch axis
quantize_static(src, out, Reader(), quant_format=QuantFormat.QDQ, per_channel=True,
                activation_type=QuantType.QUInt8, weight_type=QuantType.QInt8,
                calibrate_method=getattr(CalibrationMethod, method))
"""


def captcha_task(work: str):
    """(model path, calibration list, evaluate(path) -> (accuracy, ms per sample))."""
    from bench_quality import captcha_accuracy

    listing = os.path.join(work, "captcha", "cal", "list.txt")
    if not os.path.exists(listing):
        _, imgs = models.captcha_images(64, seed=1)
        models.write_list(os.path.dirname(listing), [[models.recogniser_input(im)] for im in imgs])
    texts, imgs = models.captcha_images(500, seed=2)
    tests = [(t, models.recogniser_input(im)) for t, im in zip(texts, imgs)]

    def evaluate(path):
        outs, ms = run_all(path, [x for _, x in tests])
        return captcha_accuracy(None, tests, outs), ms
    return models.ddddocr_model("common.onnx"), listing, evaluate


def digits_task(work: str):
    from mivra import demo

    model, listing = demo.prepare_cache(demo.cache_dir())
    _, _, x_te, y_te = demo.digits_split()

    def evaluate(path):
        outs, ms = run_all(path, [x[None] for x in x_te])
        return float(np.mean([o.argmax() == y for o, y in zip(outs, y_te)])), ms
    return model, listing, evaluate


def run_all(path: str, xs: list) -> tuple[list, float]:
    """Outputs of the model at ``path`` (onnxruntime, default optimizations) on each
    sample, and the mean milliseconds per sample after a warm-up."""
    from mivra.api.session import ort_session

    sess = ort_session(path)
    name = sess.get_inputs()[0].name
    for x in xs[:5]:
        sess.run(None, {name: x})
    t = time.perf_counter()
    outs = [sess.run(None, {name: x})[0] for x in xs]
    return outs, 1000 * (time.perf_counter() - t) / len(xs)


def ours(name, options):
    return name, ["--qtype", "sym", *options]


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--models", default="captcha,digits")
    ap.add_argument("--act-calib", default="minmax,percentile,mse")
    ap.add_argument("--peers", default="MinMax,Entropy,Percentile")
    ap.add_argument("--work", default=os.path.join(ROOT, "build", "bench_activations"))
    args = ap.parse_args()
    tasks = {"captcha": captcha_task, "digits": digits_task}
    rows = []
    for model_name in args.models.split(","):
        work = os.path.join(args.work, model_name)
        os.makedirs(work, exist_ok=True)
        model, listing, evaluate = tasks[model_name](args.work)
        acc, ms = evaluate(model)
        rows.append([model_name, "float", f"{100 * acc:.1f} %", f"{ms:.2f}", "-", "-"])
        print("  ".join(rows[-1]), flush=True)
        runs = []
        for calib in args.act_calib.split(","):
            a = ["--act-calib", calib]
            runs += [ours(f"W8A8 {calib}", ["--bits", "8", "--act-bits", "8", *a]),
                     ours(f"W8A8 best {calib}", ["--bits", "8", "--act-bits", "8", "--quality", "best", *a]),
                     ours(f"W4A8 {calib}", ["--bits", "4", "--act-bits", "8", *a]),
                     ours(f"W4A8 best {calib}", ["--bits", "4", "--act-bits", "8", "--quality", "best", *a])]
        runs.append(ours("W4A16 best", ["--bits", "4", "--act-bits", "16", "--quality", "best"]))
        for label, options in [(f"quantize_static {p}", p) for p in args.peers.split(",")] + runs:
            out = os.path.join(work, label.replace(" ", "_") + ".onnx")
            if isinstance(options, str):
                cmd = [sys.executable, "-c", PEER, model, listing, options, out]
            else:
                cmd = [sys.executable, "-m", "mivra", "quantize", model, "--dataset", listing, *options,
                       "--out", out + ".out", "--export-qdq", out]
            code, wall, rss, err = run_child(cmd)
            if code != 0:
                rows.append([model_name, label, "failed", "-", f"{wall:.1f}", f"{rss:.0f}"])
                print("  ".join(rows[-1]), err.strip().splitlines()[-1:], flush=True)
                continue
            try:
                acc, ms = evaluate(out)
                rows.append([model_name, label, f"{100 * acc:.1f} %", f"{ms:.2f}", f"{wall:.1f}", f"{rss:.0f}"])
            except Exception as e:          # a model onnxruntime refuses
                rows.append([model_name, label, f"refused ({str(e).splitlines()[0][:60]})", "-",
                             f"{wall:.1f}", f"{rss:.0f}"])
            print("  ".join(rows[-1]), flush=True)
    from mivra.report import table

    print()
    print(table(["model", "method", "accuracy", "ms / sample", "quantize s", "peak RSS MiB"], rows))
    with open(os.path.join(args.work, "results.json"), "w") as fh:
        json.dump(rows, fh, indent=1)


if __name__ == "__main__":
    main()
