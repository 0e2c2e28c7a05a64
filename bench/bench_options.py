"""The quality options against the plain pass on every benchmark model, in one run.

For the captcha recogniser (exact-match accuracy on 500 captchas), the detector
(SQNR of its outputs against the float model's on 32 captchas it did not
calibrate on), the built-in digits CNN (accuracy) and, through
``bench_encoder.py``, the sentence encoder (cosine, neighbour agreement,
Spearman), each at W4 asymmetric per channel with every supported kind: the
default pass and ``--quality best``, each with float and with 8-bit
activations. Each run is a child process (wall time, peak RSS); the QDQ model
it writes is scored with onnxruntime.

    python3 bench/bench_options.py [--models captcha,detector,digits,encoder] [--work DIR]
"""
from __future__ import annotations

import argparse
import os
import subprocess
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path[:0] = [HERE, ROOT]
import models  # noqa: E402
from bench_activations import captcha_task, digits_task, run_all  # noqa: E402
from bench_model import prepare  # noqa: E402
from common import run_child  # noqa: E402

RUNS = {"default": [], "best": ["--quality", "best"],
        "default A8": ["--act-bits", "8"], "best A8": ["--quality", "best", "--act-bits", "8"]}


def detector_task(work: str):
    """(model, calibration list, evaluate(path) -> (SQNR dB of all outputs, ms per image))."""
    model, listing = prepare("detector", work, 64)
    _, imgs = models.captcha_images(32, seed=3)
    xs = [models.detector_input(im) for im in imgs]
    ref, _ = run_all(model, xs)

    def evaluate(path):
        outs, ms = run_all(path, xs)
        signal = sum(float(np.sum(np.square(r, dtype=np.float64))) for r in ref)
        noise = sum(float(np.sum(np.square(o - r, dtype=np.float64))) for o, r in zip(outs, ref))
        return 10 * np.log10(signal / noise), ms
    return model, listing, evaluate


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--models", default="captcha,detector,digits,encoder")
    ap.add_argument("--work", default=os.path.join(ROOT, "build", "bench_options"))
    args = ap.parse_args()
    tasks = {"captcha": (captcha_task, "exact %"), "detector": (detector_task, "SQNR dB"),
             "digits": (digits_task, "accuracy %")}
    rows = []
    for name in args.models.split(","):
        if name == "encoder":
            continue
        task, metric = tasks[name]
        model, listing, evaluate = task(args.work)
        for label, options in RUNS.items():
            out = os.path.join(args.work, name, label.replace(" ", "_") + ".onnx")
            os.makedirs(os.path.dirname(out), exist_ok=True)
            cmd = [sys.executable, "-m", "mivra", "quantize", model, "--dataset", listing, "--bits", "4",
                   "--qtype", "asym", *options, "--out", out + ".out", "--export-qdq", out]
            code, wall, rss, err = run_child(cmd)
            if code:
                sys.exit(f"{name} {label}: failed\n{err}")
            score, _ = evaluate(out)
            score = score if metric == "SQNR dB" else 100 * score
            rows.append([name, label, f"{score:.2f} {metric}", f"{wall:.1f}", f"{rss:.0f}"])
            print("  ".join(rows[-1]), flush=True)
    from mivra.report import table

    print()
    print(table(["model", "run", "quality", "quantize s", "peak RSS MiB"], rows), flush=True)
    if "encoder" in args.models.split(","):
        subprocess.run([sys.executable, os.path.join(HERE, "bench_encoder.py"), "--calib", "unpadded",
                        "--configs", "w4c,w4c-best,w4ca8,w4ca8-best"], check=True)


if __name__ == "__main__":
    main()
