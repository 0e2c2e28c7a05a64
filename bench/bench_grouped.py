"""A grouped convolution solved group by group (one decoupleQ per group, as
the Python layer does) against one decoupleQ for the whole layer (the
statistics a stack (g, D, D), one startquant for all groups): time of the
statistics (add_batch) and of the solve (startquant, W4 asymmetric, per
channel), and the share of integer weights the two ways agree on.

Layers: depthwise 960 channels 3x3 on 64 images of 14x14 (960 groups of
1 x 9 weights), and 256 -> 256 channels in 32 groups 3x3 on 64 images of
28x28 (32 groups of 8 x 72).

Usage: python3 bench/bench_grouped.py [--threads N] [--separate-only]
  --separate-only  only the group-by-group way (it runs on a module without
                   grouped statistics too, for a before/after comparison)
"""
import sys
import time

import numpy as np
import torch
from torch import nn

from mivra.api import gdq_quant as g

LAYERS = [("depthwise", 960, 960, 960, 14), ("grouped", 256, 256, 32, 28)]
SOLVE = dict(groupsize=-1, symmetric=False, max_iter_num=4, inner_iters_for_round=50,
             iters_before_round=50, dev="cpu", lr=0.001, actorder=True, round_fn="gptq")


def inputs(cin, hw, n=64, seed=0):
    """ReLU'd images whose channels and pixels are correlated."""
    rng = np.random.default_rng(seed)
    z = rng.standard_normal((n, cin, hw, hw)).astype(np.float32)
    z += 0.7 * np.roll(z, 1, axis=1) + 0.3 * np.roll(z, 1, axis=3)
    return torch.tensor(np.maximum(z, 0.0))


def solve(layer, batch):
    """(seconds of add_batch, seconds of startquant, integer weights)."""
    d = g.decoupleQ(layer)
    t0 = time.perf_counter()
    d.add_batch(batch, None, None)
    t1 = time.perf_counter()
    d.quantizer = g.Quantizer()
    d.quantizer.configure(bits=4, sym=False)
    w_int = d.startquant(**SOLVE)[2]
    return t1 - t0, time.perf_counter() - t1, w_int


def main():
    args = sys.argv[1:]
    if "--threads" in args:
        torch.set_num_threads(int(args[args.index("--threads") + 1]))
    print(f"{torch.get_num_threads()} threads")
    for name, cin, cout, groups, hw in LAYERS:
        torch.manual_seed(0)
        conv = nn.Conv2d(cin, cout, 3, groups=groups, bias=False)
        x, cg, r = inputs(cin, hw), cin // groups, cout // groups
        stats = solve_time = 0.0
        parts = []
        for j in range(groups):  # the layer's rows and input channels of group j alone
            part = nn.Conv2d(cg, r, 3, bias=False)
            part.weight.data = conv.weight.data[j * r:(j + 1) * r].clone()
            a, b, w = solve(part, x[:, j * cg:(j + 1) * cg])
            stats, solve_time, parts = stats + a, solve_time + b, parts + [w]
        print(f"\n{name}: {groups} groups of {r} x {cg * 9} weights")
        print(f"  separate calls  statistics {stats:8.3f} s  solve {solve_time:8.3f} s")
        if "--separate-only" in args:
            continue
        a, b, w = solve(conv, x)
        same = (w == torch.cat(parts)).double().mean().item()
        print(f"  one call        statistics {a:8.3f} s  solve {b:8.3f} s")
        print(f"  speed-up        statistics {stats / a:8.1f} x  solve {solve_time / b:8.1f} x;"
              f" integer weights equal {100 * same:.3f} %")


if __name__ == "__main__":
    main()
