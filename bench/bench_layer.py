"""Per-layer cost of the solver, stage by stage, against its floor.

The floor of a layer of C x D weights is the thorough shrink search of the
first alternation step: 160 float32 (C x D) @ (D x D) products. Every stage
is given in units of one such product, timed in the same run, and the whole
startquant as a multiple of the floor (160 units), so that numbers from
different machines compare. The Hessian (add_batch, a float64 X X^T) is
reported beside it.

Layers (out x in x kh x kw): 480x480x1x1, 60x480x1x3, 240x240x1x1, 64x64x3x3
(256 x 576 weights) and 512x512x3x3 (512 x 4608).

Stages: hessian (add_batch), first_estimate (min/max parameters and integers),
gptq_pass (act-order GPTQ rounding), param_search (the thorough find_params of
the first loop iteration), rounding_steps (the rounding inside the loop),
scale_steps (closed-form scale/zero), other (the rest of startquant: copies,
damping, result). Within the rounding stages, gptq_factor (the float64
damping ladder, once per layer) and gptq_columns (the column loops) are listed
as well.

Usage: python3 bench/bench_layer.py [--threads N] [--repeat N] [--save FILE | --check FILE]
       [OUTxINxKHxKW ...]
  --repeat N    best of N runs of every step (default 1)
  --save FILE   stores every layer's results (integer weights, output scale and
                zero, row errors) in FILE
  --check FILE  compares them with those stored in FILE: share of equal integer
                weights (>= 99.5 % required) and largest relative difference of
                a row error (<= 1e-4 required); exits 1 when a layer fails
"""
import os
import sys
import time

import torch

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.dirname(HERE)]
from common import conv_layer_and_inputs, matmul_seconds  # noqa: E402

from mivra.api import gdq_quant as g  # noqa: E402

LAYERS = ["480x480x1x1", "60x480x1x3", "240x240x1x1", "256x64x3x3", "512x512x3x3"]
STAGES = ["hessian", "first_estimate", "gptq_pass", "param_search", "rounding_steps",
          "scale_steps", "other"]
NESTED = ["gptq_factor", "gptq_columns"]
FLOOR_PRODUCTS = 160
MIN_MATCH, MAX_REL = 0.995, 1e-4


def bench(shape, repeat):
    """Best of `repeat` runs of add_batch and of startquant (each on a copy of
    the same H), with the stage times of the best startquant."""
    layer, x = conv_layer_and_inputs(*shape)
    C, D = layer.weight.shape[0], layer.weight[0].numel()
    unit = matmul_seconds(C, D, repeat=5)
    timed = hasattr(g, "_stage_timing")
    hessian, best, result = float("inf"), None, None
    for _ in range(repeat):
        d = g.decoupleQ(layer)
        t0 = time.perf_counter()
        d.add_batch(x, None, None)
        hessian = min(hessian, time.perf_counter() - t0)
    H = d.H
    for _ in range(repeat):
        d.H = H.clone()
        d.quantizer = g.Quantizer()
        d.quantizer.configure(bits=4, sym=False)
        if timed:
            g._stage_timing(True)
            g._stage_times()
        t1 = time.perf_counter()
        out = d.startquant(-1, False, 4, 50, 50, "cpu", 0.001, actorder=True, round_fn="gptq")
        t2 = time.perf_counter()
        stages = g._stage_times() if timed else {}
        if timed:
            g._stage_timing(False)
            stages["other"] = (t2 - t1) - sum(v for k, v in stages.items() if k not in NESTED)
        stages["startquant"] = t2 - t1
        if best is None or stages["startquant"] < best["startquant"]:
            best = stages
        result = result or dict(zip(("scale_out", "zero_out", "w_int", "err"), out))
    best["hessian"] = hessian
    return C, D, unit, best, d.nsamples, result


def compare(name, mine, ref):
    match = (mine["w_int"] == ref["w_int"]).double().mean().item()
    rel = ((mine["err"].double() - ref["err"].double()).abs()
           / ref["err"].double().abs().clamp_min(1e-30)).max().item()
    ok = match >= MIN_MATCH and rel <= MAX_REL
    print(f"  against the stored results: integer weights equal {100 * match:.3f} %, "
          f"largest relative row-error difference {rel:.2e}  {'ok' if ok else 'FAILED'}")
    return ok


def main():
    args = sys.argv[1:]
    opts = {}
    for flag in ("--threads", "--save", "--check", "--repeat"):
        if flag in args:
            i = args.index(flag)
            opts[flag] = args[i + 1]
            del args[i:i + 2]
    if "--threads" in opts:
        torch.set_num_threads(int(opts["--threads"]))
    layers = args or LAYERS
    stored = torch.load(opts["--check"]) if "--check" in opts else None
    print(f"{torch.get_num_threads()} threads; times in s and in units of one (CxD)@(DxD) "
          f"float32 product; floor = {FLOOR_PRODUCTS} units")
    if not hasattr(g, "_stage_timing"):
        print("(module without _stage_timing: only hessian and startquant are reported)")
    saved, ok, summary = {}, True, []
    for name in layers:
        shape = tuple(int(v) for v in name.split("x"))
        C, D, unit, st, n, result = bench(shape, int(opts.get("--repeat", 1)))
        floor = FLOOR_PRODUCTS * unit
        print(f"\n{name}: {C} x {D} weights ({n} input vectors; product unit {unit * 1e3:.2f} ms, "
              f"floor {floor:.3f} s)")
        for k in STAGES + ["startquant"]:
            if k in st:
                print(f"  {k:15s} {st[k]:9.3f} s  {st[k] / unit:9.1f} x")
        for k in NESTED:
            if k in st:
                print(f"    ({k:13s} {st[k]:9.3f} s  {st[k] / unit:9.1f} x, within the above)")
        ratio = st["startquant"] / floor
        print(f"  startquant / floor: {ratio:.2f}")
        summary.append((name, C, D, st["startquant"], floor, ratio))
        saved[name] = result
        if stored is not None and name in stored:
            ok &= compare(name, result, stored[name])
    print(f"\n{'layer':14s} {'C x D':>11s} {'startquant':>11s} {'floor':>9s} {'ratio':>6s}")
    for name, C, D, t, floor, ratio in summary:
        print(f"{name:14s} {f'{C}x{D}':>11s} {t:10.3f}s {floor:8.3f}s {ratio:6.2f}")
    if "--save" in opts:
        torch.save(saved, opts["--save"])
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
