"""Shrink search: Quantizer.get_scale_and_zero (its default choice of how many
candidates share one product with h, and forced 3-candidate stacks) against
the same search run one candidate at a time in a Python loop over the module's
primitives. The results must agree (bit for bit wherever the products sum in
the same order).

    python3 bench/bench_shrink_search.py [C D groupsize grid]   (default: a small and a mid layer)
"""
import os
import sys
import time

import torch

# run from a checkout: the package lives in the repository root
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.dirname(HERE)]
from common import random_problem  # noqa: E402

from mivra.api import gdq_quant as G


def sequential(q, xmin, xmax, x, h, gs, best, scale, zero):
    best, scale, zero = best.clone(), scale.clone(), zero.clone()
    bestp = torch.ones([x.shape[0]], dtype=xmin.dtype)
    for i in range(int(q.maxshrink * q.grid)):
        p = 1 - i / q.grid
        s1, z1 = q.get_scale_zero_by_minmax(p * xmax, p * xmin)
        err = G.cal_quant_err_scale_zero(x, s1, z1, None, None, q.sym, q.min_bound, q.max_bound,
                                         gs, h, x0=x, zero_no_shift=q.zero_no_shift)
        tmp = err < best
        if tmp.any():
            best[tmp] = err[tmp]
            scale[tmp], zero[tmp] = s1[tmp], z1[tmp]
            bestp[tmp] = p
    return scale, zero, best, bestp


def case(C, D, gs, grid):
    x, h = random_problem(C, D, 128)
    q = G.Quantizer()
    q.configure(grid=grid)
    xmin, xmax = q.get_minmax(x, gs)
    s, z = q.get_scale_zero_by_minmax(xmax, xmin)
    best = G.cal_quant_err_scale_zero(x, s, z, None, None, False, -8, 7, gs, h, zero_no_shift=True)
    q.get_scale_and_zero(xmin[:2], xmax[:2], x[:2], h, best=best[:2], scale=s[:2], zero=z[:2],
                         groupsize=gs)  # warm-up
    t0 = time.perf_counter()
    mine = q.get_scale_and_zero(xmin, xmax, x, h, best=best, scale=s, zero=z, groupsize=gs)
    t1 = time.perf_counter()
    ref = sequential(q, xmin, xmax, x, h, gs, best, s, z)
    t2 = time.perf_counter()
    G._arm_fault("shrink_small_stacks", 1)  # stacks of 3 candidates whatever the device
    stacked = q.get_scale_and_zero(xmin, xmax, x, h, best=best, scale=s, zero=z, groupsize=gs)
    t3 = time.perf_counter()
    if not all(torch.equal(a, b) for a, b in zip(stacked, mine)):
        print("  3-stacked evaluation differs from the default one")
    same = all(torch.equal(a, b) for a, b in zip(mine, ref))
    if same:
        verdict = "identical"
    else:
        # A stacked product may sum in another order than a single one; the
        # errors then differ in the last bits, which can only swap near-ties.
        rel = ((mine[2] - ref[2]).abs() / ref[2].abs()).max().item()
        rows = (mine[3] != ref[3]).sum().item()
        verdict = f"errors differ by at most {rel:.1e} (relative), factor differs in {rows}/{C} rows"
    print(f"C={C} D={D} groupsize={gs} steps={int(q.maxshrink * grid)}: module {t1 - t0:.3f} s "
          f"(3-stacked {t3 - t2:.3f} s), python loop one at a time {t2 - t1:.3f} s, "
          f"speed-up x{(t2 - t1) / (t1 - t0):.2f}, {verdict}")
    return same or rel < 1e-5


if __name__ == "__main__":
    if len(sys.argv) >= 5:
        cases = [tuple(int(v) for v in sys.argv[1:5])]
    else:
        cases = [(32, 27, -1, 200), (64, 576, 64, 200), (256, 2304, 288, 50)]
    sys.exit(0 if all([case(*c) for c in cases]) else 1)
