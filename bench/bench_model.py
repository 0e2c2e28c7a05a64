"""End to end: ``mivra-gdq quantize`` on real models, against its GEMM floor and
against itself with other options.

For each model the command line runs in a subprocess (W4, asymmetric, per
channel, every supported kind, 64 calibration samples) started from a small
launcher (``common.run_child``), and the benchmark prints, in one run:

* the default pass: wall time, breakdown (from summary.json), peak RSS, and
  the floor: the sum over quantized layers of the float64 X X^T of the layer's
  input vectors (per group of a grouped convolution) plus 160 float32
  (rows x cols)(cols x cols) products -- the work of the statistics and of the
  shrink search, the largest parts of the solver -- each timed with the same
  torch in this process;
* ``--quality best``: its time and peak RSS over the default's (targets 2 and 1.5);
* for models with grouped or depthwise convolutions, the default over
  ``--ops conv`` (target 1.3);
* with ``--samples-high N``: the default's peak RSS with N calibration samples
  over that with 64 (target 1.2).

Models: the captcha recogniser and the detector of ``ddddocr``, a synthetic
set of convolutions, and two networks built in torch (``nets``): MobileNetV2-
and ResNet-50-shaped, 224 x 224 images.

    python3 bench/bench_model.py [captcha detector synthetic mobilenet resnet50]
                                 [--samples 64] [--samples-high 256] [--runs default,best,conv]
                                 [--work DIR]
"""
from __future__ import annotations

import argparse
import json
import os
import sys
import time

import numpy as np
import torch

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path[:0] = [HERE, ROOT]
import models  # noqa: E402
from common import run_child  # noqa: E402

SEARCH_STEPS = 160
RUNS = {"default": [], "best": ["--quality", "best"], "conv": ["--ops", "conv"]}


def prepare(name: str, work: str, n: int) -> tuple[str, str]:
    """(model path, calibration list of ``n`` samples) of a benchmark model, cached under ``work``."""
    folder = os.path.join(work, name)
    listing = os.path.join(folder, f"cal{n}", "list.txt")
    if name == "synthetic":
        import onnx

        m, shapes = models.synthetic_model()
        path = os.path.join(folder, "synthetic.onnx")
        os.makedirs(folder, exist_ok=True)
        onnx.save(m, path)
        if not os.path.exists(listing):
            models.write_list(os.path.dirname(listing), models.synthetic_samples(shapes, n))
        return path, listing
    if name in ("mobilenet", "resnet50"):
        import nets

        path = nets.export_net(name, os.path.join(folder, name + ".onnx"))
        if not os.path.exists(listing):
            models.write_list(os.path.dirname(listing), nets.image_samples(n))
        return path, listing
    path = models.ddddocr_model("common.onnx" if name == "captcha" else "common_det.onnx")
    if not os.path.exists(listing):
        _, imgs = models.captcha_images(n, seed=1)
        prep = models.recogniser_input if name == "captcha" else models.detector_input
        models.write_list(os.path.dirname(listing), [[prep(im)] for im in imgs])
    return path, listing


def run_cli(model: str, listing: str, out: str, extra=()) -> tuple[float, float, dict]:
    """(wall seconds, peak RSS in MiB, summary.json) of one command-line run."""
    cmd = [sys.executable, "-m", "mivra", "quantize", model, "--dataset", listing, "--bits", "4",
           "--qtype", "asym", "--out", out, *extra]
    code, wall, rss, err = run_child(cmd)
    if code != 0:
        sys.exit(f"{model}: mivra-gdq failed:\n{err}")
    with open(os.path.join(out, "summary.json")) as fh:
        return wall, rss, json.load(fh)


def best_of(fn, repeat=3) -> float:
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best


def product_seconds(rows: int, cols: int) -> float:
    a, b = torch.randn(rows, cols), torch.randn(cols, cols)
    return best_of(lambda: a @ b)


def xxt_seconds(D: int, vectors: float, groups: int = 1) -> float:
    """X X^T over ``vectors`` float64 columns (per group), in chunks of at most 2^25 elements."""
    chunk = max(1, min(int(vectors), (1 << 25) // max(D * groups, 1)))
    X = torch.randn(groups, D, chunk, dtype=torch.float64)
    return best_of(lambda: torch.bmm(X, X.transpose(1, 2)), 2) * vectors / chunk


def floor_seconds(summary: dict) -> tuple[float, list]:
    """(floor, [(solve / its 160 products, node, shape) of layers of >= 256 columns])."""
    floor, worst = 0.0, []
    for L in summary["layers"]:
        if L["excluded"] or L.get("kind") == "gather":
            continue
        g, C = L["groups"], L["rows"]
        D = int(np.prod(L["shape"])) // C        # columns (per group of a grouped convolution)
        search = SEARCH_STEPS * product_seconds(C, D)
        floor += search + xxt_seconds(D, L["vectors"], g)
        if D >= 256 and L["solve_seconds"]:
            worst.append((L["solve_seconds"] / search, L["node"], f"{C}x{D}"))
    return floor, worst


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("models", nargs="*", default=["captcha", "detector", "synthetic", "mobilenet",
                                                  "resnet50"])
    ap.add_argument("--samples", type=int, default=64)
    ap.add_argument("--samples-high", type=int, default=0,
                    help="also run the default with this many samples and compare peak RSS")
    ap.add_argument("--runs", default="default,best,conv")
    ap.add_argument("--work", default=os.path.join(ROOT, "build", "bench_model"))
    args = ap.parse_args()
    torch.set_num_threads(min(torch.get_num_threads(), os.cpu_count() or 1))
    runs = args.runs.split(",")
    rows = []
    for name in args.models:
        model, listing = prepare(name, args.work, args.samples)
        res = {}
        for run in runs:
            if run == "conv" and "default" in res and not any(
                    L.get("kind") == "grouped" for L in res["default"][2]["layers"]):
                continue
            res[run] = run_cli(model, listing, os.path.join(args.work, name, "out_" + run), RUNS[run])
        wall, rss, summary = res.get("default", next(iter(res.values())))
        floor, worst = floor_seconds(summary)
        t = summary["timings"]
        print(f"== {name}: {len(summary['layers'])} layers, {args.samples} samples")
        print(f"default: wall {wall:.1f} s   floor {floor:.1f} s   wall/floor {wall / floor:.2f}"
              f"   peak RSS {rss:.0f} MiB")
        parts = ["load", "forward", "hessian", "solve", "error_table", "write"]
        print("  " + "  ".join(f"{k} {t.get(k, 0):.1f}" for k in parts) +
              f"  (process start and imports {wall - t['total']:.1f})")
        solver = {k[len("solver."):]: v for k, v in t.items() if k.startswith("solver.")}
        print("  solver stages: " + "  ".join(f"{k} {v:.1f}" for k, v in solver.items()))
        row = {"model": name, "wall": wall, "floor": floor, "rss": rss}
        if "best" in res and "default" in res:
            bw, br, _ = res["best"]
            row.update(best_wall=bw, best_rss=br)
            print(f"--quality best: wall {bw:.1f} s ({bw / wall:.2f}x, target <= 2), "
                  f"peak RSS {br:.0f} MiB ({br / rss:.2f}x, target <= 1.5)")
        if "conv" in res and "default" in res:
            cw, cr, _ = res["conv"]
            row.update(conv_wall=cw, conv_rss=cr)
            print(f"--ops conv: wall {cw:.1f} s; all kinds / conv {wall / cw:.2f}x (target <= 1.3)")
        if args.samples_high:
            model, high = prepare(name, args.work, args.samples_high)
            hw, hr, _ = run_cli(model, high, os.path.join(args.work, name, "out_high"))
            row.update(high_wall=hw, high_rss=hr)
            print(f"{args.samples_high} samples: wall {hw:.1f} s, peak RSS {hr:.0f} MiB "
                  f"({hr / rss:.2f}x that of {args.samples}, target <= 1.2)")
        if worst:
            worst.sort(reverse=True)
            r, node, shape = worst[0]
            print(f"  solver / 160 products on layers of >= 256 columns: max {r:.2f} ({node} {shape}),"
                  f" median {np.median([w[0] for w in worst]):.2f}")
        rows.append(row)
        sys.stdout.flush()
    with open(os.path.join(args.work, "results.json"), "w") as fh:
        json.dump(rows, fh, indent=1)


if __name__ == "__main__":
    main()
