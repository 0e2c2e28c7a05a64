"""The whole model: convolutions, grouped/depthwise convolutions, Gemm and MatMul.

1. The pretrained captcha recogniser ``common.onnx`` (``ddddocr``; 21 Convs, an
   LSTM, a Gemm holding most of the weights): size of the QDQ model and
   exact-match accuracy at W4 and W3 (asymmetric, per channel) with
   ``--ops conv`` against every supported kind (the quality benchmark's data).
2. A small network with depthwise convolutions and Linear layers, trained
   with torch on scikit-learn's digits and exported to ONNX by torch: per-layer
   Hessian-weighted error of the solver against min/max rounding, and the
   test accuracy.

    python3 bench/bench_whole_model.py [--skip-captcha] [--skip-digits]
"""
from __future__ import annotations

import argparse
import io
import os
import sys


HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path[:0] = [HERE, ROOT]
import bench_quality as bq  # noqa: E402
import models  # noqa: E402

from mivra import export, pipeline  # noqa: E402
from mivra.engine.targets import KINDS  # noqa: E402
from mivra.report import human_bytes, table  # noqa: E402


def captcha(args) -> None:
    work = os.path.join(ROOT, "build", "bench_quality")
    listing = os.path.join(work, "cal", "list.txt")
    if not os.path.exists(listing):
        _, imgs = models.captcha_images(64, seed=1)
        models.write_list(os.path.join(work, "cal"), [[models.recogniser_input(im)] for im in imgs])
    texts, imgs = models.captcha_images(500, seed=2)
    tests = [(t, models.recogniser_input(im)) for t, im in zip(texts, imgs)]
    path = models.ddddocr_model("common.onnx")
    rows = []
    for ops in (("conv",), KINDS):
        job = pipeline.prepare(pipeline.Options(model=path, dataset=listing, qtype="asym", ops=ops))
        for bits in (4, 3):
            qjob, secs = bq.run_setting(job, {}, bits)
            q, _ = export.export_qdq(qjob.model, qjob.quant_tab, qjob.quantized)
            acc = bq.captcha_accuracy(bq.quantized_model(qjob), tests)
            rows.append([",".join(ops), f"W{bits}", len(qjob.quant_tab),
                         human_bytes(os.path.getsize(path)), human_bytes(q.ByteSize()),
                         f"{100 * acc:.1f} %", f"{secs:.1f}"])
            print("  ".join(map(str, rows[-1])), flush=True)
    print(f"float: {100 * bq.captcha_accuracy(job.model, tests):.1f} %")
    print(table(["ops", "bits", "layers", "float model", "QDQ model", "exact", "quantize s"], rows))


def small_net():
    import torch
    from torch import nn

    torch.manual_seed(0)
    return nn.Sequential(
        nn.Conv2d(1, 16, 3, padding=1), nn.ReLU(),
        nn.Conv2d(16, 16, 3, padding=1, groups=16), nn.Conv2d(16, 32, 1), nn.ReLU(),
        nn.Conv2d(32, 32, 3, stride=2, padding=1, groups=32), nn.Conv2d(32, 32, 1), nn.ReLU(),
        nn.Flatten(), nn.Linear(32 * 4 * 4, 64), nn.ReLU(), nn.Linear(64, 10))


def digits(args) -> None:
    import onnx
    import torch

    from mivra import demo

    x_tr, y_tr, x_te, y_te = demo.digits_split()
    net = small_net()
    opt = torch.optim.Adam(net.parameters(), lr=3e-3)
    X, Y = torch.from_numpy(x_tr), torch.from_numpy(y_tr)
    g = torch.Generator().manual_seed(0)
    for _ in range(15):
        for idx in torch.randperm(len(Y), generator=g).split(64):
            opt.zero_grad()
            torch.nn.functional.cross_entropy(net(X[idx]), Y[idx]).backward()
            opt.step()
    net.eval()
    buf = io.BytesIO()
    torch.onnx.export(net, (torch.zeros(1, 1, 8, 8),), buf, input_names=["image"],
                      output_names=["logits"], dynamic_axes={"image": {0: "N"}, "logits": {0: "N"}},
                      dynamo=False)
    work = os.path.join(ROOT, "build", "bench_whole_model")
    os.makedirs(work, exist_ok=True)
    path = os.path.join(work, "digits_small.onnx")
    onnx.save(onnx.load_from_string(buf.getvalue()), path)
    listing = models.write_list(os.path.join(work, "cal"), [[x_tr[i][None]] for i in range(128)])
    job = pipeline.prepare(pipeline.Options(model=path, dataset=listing, qtype="asym"))
    print(f"small network (torch export, {len(job.layers)} layers): float "
          f"{100 * demo.accuracy(job.model, x_te, y_te):.1f} %")
    for bits in (4, 3):
        qjob, secs = bq.run_setting(job, {}, bits)
        mjob, _ = bq.run_setting(job, {"method": "minmax"}, bits)
        rows = [[s.layer.node, s.layer.kind, "x".join(map(str, s.layer.shape)), f"{s.err:.3e}",
                 f"{s.err_minmax:.3e}", f"{s.err / s.err_minmax:.3f}"] for s in qjob.stats]
        print(f"W{bits}: accuracy {100 * demo.accuracy(bq.quantized_model(qjob), x_te, y_te):.1f} % "
              f"(min/max {100 * demo.accuracy(bq.quantized_model(mjob), x_te, y_te):.1f} %), "
              f"{secs:.1f} s")
        print(table(["layer", "kind", "weight", "H-err", "H-err min/max", "ratio"], rows))


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--skip-captcha", action="store_true")
    ap.add_argument("--skip-digits", action="store_true")
    args = ap.parse_args()
    if not args.skip_digits:
        digits(args)
    if not args.skip_captcha:
        captcha(args)


if __name__ == "__main__":
    main()
