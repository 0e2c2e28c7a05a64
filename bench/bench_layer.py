"""Per-layer cost of the solver, stage by stage, for 3x3 convolutions from
64 x 576 to 512 x 4608 weights (rows x columns). Every time is also given as a
multiple of one (C x D) @ (D x D) float32 product timed in the same run, so
that numbers from different machines compare.

Stages: hessian (add_batch on about D input vectors), first_estimate (min/max
parameters and integers), gptq_pass (act-order GPTQ rounding), param_search
(the thorough find_params of the first loop iteration), rounding_steps (the
rounding inside the loop), scale_steps (closed-form scale/zero), other (the
rest of startquant: copies, damping, result).

Within the rounding stages, gptq_factor (the float64 damping ladder, once
per layer) and gptq_columns (the column loops) are listed as well.

Usage: python3 bench/bench_layer.py [--threads N] [64x576 128x1152 ...]
       (default: all four sizes)
"""
import math
import os
import sys
import time

import numpy as np
import torch
from torch import nn

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.dirname(HERE)]
from common import matmul_seconds  # noqa: E402

from mivra.api import gdq_quant as g  # noqa: E402

SIZES = ["64x576", "128x1152", "256x2304", "512x4608"]
STAGES = ["hessian", "first_estimate", "gptq_pass", "param_search", "rounding_steps",
          "scale_steps", "other"]
NESTED = ["gptq_factor", "gptq_columns"]


def layer_and_inputs(C, D, seed=0):
    cin = D // 9
    torch.manual_seed(seed)
    layer = nn.Conv2d(cin, C, 3, bias=False)
    hw = 10  # 8 x 8 = 64 patches per image
    n = math.ceil(D / 64)
    rng = np.random.default_rng(seed)
    z = rng.standard_normal((n, cin, hw, hw)).astype(np.float32)
    z += 0.7 * np.roll(z, 1, axis=1) + 0.3 * np.roll(z, 1, axis=3)
    return layer, torch.tensor(np.maximum(z, 0.0))


def bench(C, D):
    layer, x = layer_and_inputs(C, D)
    unit = matmul_seconds(C, D)
    timed = hasattr(g, "_stage_timing")
    d = g.decoupleQ(layer)
    d.quantizer = g.Quantizer()
    d.quantizer.configure(bits=4, sym=False)
    t0 = time.perf_counter()
    d.add_batch(x, None, None)
    t1 = time.perf_counter()
    if timed:
        g._stage_timing(True)
        g._stage_times()
    d.startquant(-1, False, 4, 50, 50, "cpu", 0.001, actorder=True, round_fn="gptq")
    t2 = time.perf_counter()
    stages = {"hessian": t1 - t0}
    if timed:
        stages.update(g._stage_times())
        g._stage_timing(False)
        stages["other"] = (t2 - t1) - sum(v for k, v in stages.items()
                                          if k not in ("hessian", *NESTED))
    stages["total"] = t2 - t0
    return unit, stages, d.nsamples


def main():
    args = sys.argv[1:]
    if "--threads" in args:
        i = args.index("--threads")
        torch.set_num_threads(int(args[i + 1]))
        del args[i:i + 2]
    sizes = args or SIZES
    print(f"{torch.get_num_threads()} threads; times in s and in units of one (CxD)@(DxD) "
          "float32 product")
    if not hasattr(g, "_stage_timing"):
        print("(module without _stage_timing: only hessian and total are reported)")
    for s in sizes:
        C, D = (int(v) for v in s.split("x"))
        unit, st, n = bench(C, D)
        print(f"\n{C} x {D}  ({n} input vectors; product unit {unit * 1e3:.2f} ms)")
        for k in STAGES + ["total"]:
            if k in st:
                print(f"  {k:15s} {st[k]:9.3f} s  {st[k] / unit:9.1f} x")
        for k in NESTED:
            if k in st:
                print(f"    ({k:13s} {st[k]:9.3f} s  {st[k] / unit:9.1f} x, within the above)")


if __name__ == "__main__":
    main()
