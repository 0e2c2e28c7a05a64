"""Accuracy of quantized models against the options beyond the fixed recipe.

Model: the pretrained captcha recogniser ``common.onnx`` of the PyPI package
``ddddocr``, read with that package's own preprocessing (grayscale, height 64
with the aspect kept, / 255) and decoding (arg-max per step, repeats and
blanks dropped, its ``CHARSET_BETA``). Data: noise-free 4-digit captchas of
the ``captcha`` package, 64 for calibration and 500 for the test (fixed seeds).
Also the built-in digits CNN at the same widths.

For W4 / W3 / W2, per channel (asymmetric) and in groups of 8 input channels,
it prints the exact-match accuracy, the SQNR of the outputs against the float
model's on the test set, and the quantize time of: plain min/max
rounding, the fixed recipe, each option alone, and --quality best; at W3 also
the widths chosen per layer under --avg-bits 3. Convolutions only (--ops conv)
unless --ops says otherwise.

    python3 bench/bench_quality.py [--bits 4,3,2] [--qmethods channel,group8]
                                   [--settings documented,best,...] [--ops conv]
"""
from __future__ import annotations

import argparse
import copy
import os
import sys
import time
from dataclasses import replace

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path[:0] = [HERE, ROOT]
import models  # noqa: E402

from mivra import export, pipeline  # noqa: E402
from mivra.api.session import ort_session  # noqa: E402
from mivra.engine.recipe import QUALITY_BEST  # noqa: E402

SETTINGS = {
    "min/max": dict(method="minmax"),
    "fixed recipe": {},
    "+sequential": dict(sequential=True),
    "+bias correction": dict(bias_correction=True),
    "+asym groups": dict(asym_groups=True),
    "+rounds 8": dict(rounds=8),
    "seq+bias": dict(sequential=True, bias_correction=True),
    "seq+rounds8": dict(sequential=True, rounds=8),
    "best": dict(QUALITY_BEST),
    "best+avg-bits": dict(QUALITY_BEST, avg_bits=None),   # avg_bits = the row's width
}


def decode(out: np.ndarray, charset) -> str:
    idx = out[:, 0, :].argmax(-1) if out.shape[1] == 1 else out[0].argmax(-1)
    text, prev = [], None
    for i in map(int, idx):
        if i != prev and i != 0:
            text.append(charset[i])
        prev = i
    return "".join(text)


def captcha_outputs(model, tests) -> list:
    sess = ort_session(model)
    name = sess.get_inputs()[0].name
    return [sess.run(None, {name: x})[0] for _, x in tests]


def captcha_accuracy(model, tests, outputs=None) -> float:
    from ddddocr.charsets import CHARSET_BETA

    outs = outputs if outputs is not None else captcha_outputs(model, tests)
    return float(np.mean([decode(o, CHARSET_BETA) == t for (t, _), o in zip(tests, outs)]))


def sqnr_db(ref: list, outs: list) -> float:
    """Output signal-to-quantization-noise ratio against the float model, in dB."""
    num = sum(float(np.sum(r.astype(np.float64) ** 2)) for r in ref)
    den = sum(float(np.sum((r.astype(np.float64) - o) ** 2)) for r, o in zip(ref, outs))
    return 10 * np.log10(num / den) if den > 0 else float("inf")


def quantized_model(job):
    return export.export_fake_quant(job.model, job.quant_tab, job.quantized, job.biases)


def run_setting(base_job, overrides: dict, bits: int):
    opts = replace(base_job.opts, bits=bits, **overrides)
    if "avg_bits" in overrides:
        opts = replace(opts, avg_bits=float(bits))
    job = copy.copy(base_job)
    job.opts = opts
    t0 = time.perf_counter()
    pipeline.quantize(job, warn=lambda line: None)
    return job, time.perf_counter() - t0


def captcha_table(args) -> None:
    work = os.path.join(ROOT, "build", "bench_quality")
    listing = os.path.join(work, "cal", "list.txt")
    if not os.path.exists(listing):
        _, imgs = models.captcha_images(64, seed=1)
        models.write_list(os.path.join(work, "cal"), [[models.recogniser_input(im)] for im in imgs])
    texts, imgs = models.captcha_images(500, seed=2)
    tests = [(t, models.recogniser_input(im)) for t, im in zip(texts, imgs)]
    path = models.ddddocr_model("common.onnx")
    print(f"captcha recogniser {os.path.basename(path)}: 64 calibration / {len(tests)} test captchas, "
          f"ops {','.join(args.ops)}")
    rows = []
    ref = None
    for qmethod in args.qmethods:
        job = pipeline.prepare(pipeline.Options(model=path, dataset=listing, qmethod=qmethod,
                                                qtype="asym", ops=tuple(args.ops)))
        if ref is None:
            ref = captcha_outputs(job.model, tests)
            print(f"float: {100 * captcha_accuracy(None, tests, ref):.1f} %")
        for bits in args.bits:
            for name in args.settings:
                if name == "+asym groups" and qmethod == "channel":
                    continue
                if name == "best+avg-bits" and bits not in (3, 2):
                    continue
                qjob, secs = run_setting(job, SETTINGS[name], bits)
                outs = captcha_outputs(quantized_model(qjob), tests)
                acc = captcha_accuracy(None, tests, outs)
                widths = ""
                if name == "best+avg-bits":
                    q = [s for s in qjob.stats if s.bits is not None]
                    mean = sum(s.float_bytes * s.bits for s in q) / sum(s.float_bytes for s in q)
                    widths = f" widths {','.join(str(s.bits) for s in q)} (mean {mean:.2f} bits)"
                rows.append((f"W{bits}", qmethod, name, f"{100 * acc:.1f} %",
                             f"{sqnr_db(ref, outs):.1f}", f"{secs:.1f}"))
                print("  ".join(rows[-1]) + widths, flush=True)
    from mivra.report import table
    print()
    print(table(["bits", "qmethod", "setting", "exact", "SQNR dB", "quantize s"], rows))


def digits_table(args) -> None:
    from mivra import demo

    model_path, list_path = demo.prepare_cache(demo.cache_dir())
    _, _, x_te, y_te = demo.digits_split()
    job = pipeline.prepare(pipeline.Options(model=model_path, dataset=list_path, qtype="asym"))
    print(f"digits CNN: float {100 * demo.accuracy(job.model, x_te, y_te):.1f} %")
    for bits in args.bits:
        for name in ("min/max", "fixed recipe", "best"):
            qjob, secs = run_setting(job, SETTINGS[name], bits)
            print(f"  W{bits} {name}: {100 * demo.accuracy(quantized_model(qjob), x_te, y_te):.1f} % "
                  f"({secs:.1f} s)", flush=True)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--bits", default="4,3,2")
    ap.add_argument("--qmethods", default="channel,group8")
    ap.add_argument("--settings", default=",".join(SETTINGS))
    ap.add_argument("--ops", default="conv")
    ap.add_argument("--skip-digits", action="store_true")
    a = ap.parse_args()
    a.bits = [int(b) for b in a.bits.split(",")]
    a.qmethods = a.qmethods.split(",")
    a.settings = a.settings.split(",")
    a.ops = a.ops.split(",")
    if not a.skip_digits:
        digits_table(a)
    captcha_table(a)


if __name__ == "__main__":
    main()
