"""End to end: ``mivra-gdq quantize`` on real models against its GEMM floor.

For each model the command line runs in a subprocess (W4, asymmetric, per
channel, 64 calibration samples), and the benchmark prints its wall time, its
breakdown (from summary.json), its peak RSS, then the same with the QDQ export
and the report, and the
floor: the sum over quantized layers of the float64 X X^T of the layer's input
vectors plus 160 float32 (rows x cols)(cols x cols) products -- the work of
the statistics and of the shrink search, the largest parts of the solver --
each timed with the same torch in this process. Targets: the whole command
within 2x the floor; the solver within 1.3x of its 160 products on every layer
of >= 256 columns.

    python3 bench/bench_model.py [captcha detector synthetic] [--samples 64] [--work DIR]
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np
import torch

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path[:0] = [HERE, ROOT]
import models  # noqa: E402

SEARCH_STEPS = 160


def prepare(name: str, work: str, n: int) -> tuple[str, str]:
    """(model path, calibration list) of a benchmark model, cached under ``work``."""
    folder = os.path.join(work, name)
    listing = os.path.join(folder, "cal", "list.txt")
    if name == "synthetic":
        import onnx

        m, shapes = models.synthetic_model()
        path = os.path.join(folder, "synthetic.onnx")
        os.makedirs(folder, exist_ok=True)
        onnx.save(m, path)
        if not os.path.exists(listing):
            models.write_list(os.path.join(folder, "cal"), models.synthetic_samples(shapes, n))
        return path, listing
    path = models.ddddocr_model("common.onnx" if name == "captcha" else "common_det.onnx")
    if not os.path.exists(listing):
        _, imgs = models.captcha_images(n, seed=1)
        prep = models.recogniser_input if name == "captcha" else models.detector_input
        models.write_list(os.path.join(folder, "cal"), [[prep(im)] for im in imgs])
    return path, listing


def run_cli(model: str, listing: str, out: str, extra=()) -> tuple[float, float]:
    """(wall seconds, peak RSS in MiB) of one command-line run."""
    cmd = [sys.executable, "-m", "mivra", "quantize", model, "--dataset", listing, "--bits", "4",
           "--qtype", "asym", "--out", out, *extra]
    env = dict(os.environ, PYTHONPATH=ROOT)
    t0 = time.perf_counter()
    p = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                         stdin=subprocess.DEVNULL)
    _, status, usage = os.wait4(p.pid, 0)
    wall = time.perf_counter() - t0
    if status != 0:
        sys.exit(f"{model}: mivra-gdq failed:\n{p.stderr.read().decode()}")
    return wall, usage.ru_maxrss / 1024.0


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


def xxt_seconds(D: int, vectors: float) -> float:
    """X X^T over ``vectors`` float64 columns, in chunks of at most 2^25 elements."""
    chunk = max(1, min(int(vectors), (1 << 25) // max(D, 1)))
    X = torch.randn(D, chunk, dtype=torch.float64)
    return best_of(lambda: X @ X.T, 2) * vectors / chunk


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("models", nargs="*", default=["captcha", "detector", "synthetic"])
    ap.add_argument("--samples", type=int, default=64)
    ap.add_argument("--work", default=os.path.join(ROOT, "build", "bench_model"))
    args = ap.parse_args()
    torch.set_num_threads(min(torch.get_num_threads(), os.cpu_count() or 1))
    for name in args.models:
        model, listing = prepare(name, args.work, args.samples)
        out = os.path.join(args.work, name, "out")
        wall, rss = run_cli(model, listing, out)
        with open(os.path.join(out, "summary.json")) as fh:
            summary = json.load(fh)
        full = os.path.join(args.work, name, "out_full")
        wall_full, rss_full = run_cli(model, listing, full,
                                      ["--export-qdq", os.path.join(full, "q.onnx"), "--report"])
        with open(os.path.join(full, "summary.json")) as fh:
            t_full = json.load(fh)["timings"]
        floor = 0.0
        worst = []
        for L in summary["layers"]:
            if L["excluded"]:
                continue
            C, D = L["shape"][0], int(np.prod(L["shape"][1:]))
            search = SEARCH_STEPS * product_seconds(C, D)
            floor += search + xxt_seconds(D, L["vectors"])
            if D >= 256 and L["solve_seconds"]:
                worst.append((L["solve_seconds"] / search, L["node"], f"{C}x{D}"))
        t = summary["timings"]
        print(f"== {name}: {len(summary['layers'])} layers, {args.samples} samples")
        print(f"wall {wall:.1f} s   floor {floor:.1f} s   wall/floor {wall / floor:.2f} (target <= 2)"
              f"   peak RSS {rss:.0f} MiB")
        solver = {k[len("solver."):]: v for k, v in t.items() if k.startswith("solver.")}
        parts = ["load", "forward", "hessian", "solve", "error_table", "write"]
        print("  " + "  ".join(f"{k} {t.get(k, 0):.1f}" for k in parts) +
              f"  (process start and imports {wall - t['total']:.1f})")
        print("  solver stages: " + "  ".join(f"{k} {v:.1f}" for k, v in solver.items()))
        print(f"  with --export-qdq and --report: wall {wall_full:.1f} s, export "
              f"{t_full.get('export', 0):.1f}, report {t_full.get('report', 0):.1f}, "
              f"peak RSS {rss_full:.0f} MiB")
        if worst:
            worst.sort(reverse=True)
            r, node, shape = worst[0]
            print(f"  solver / 160 products on layers of >= 256 columns: max {r:.2f} ({node} {shape}),"
                  f" median {np.median([w[0] for w in worst]):.2f} (target <= 1.3)")


if __name__ == "__main__":
    main()
